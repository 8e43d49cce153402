// The window's side of the connection process: its reader refuses whatever the other process may
// send wrongly, without a descriptor left behind; every message survives the trip; the child is
// confined, sees only its own descriptors, dies with its parent, and is reaped however it ends. The
// sockets the window opens for it: answers only to open requests, only connected TCP sockets, and
// the proxy's CONNECT as an HTTP proxy sees it.
#include "capture.h"
#include "channel_connector.h"
#include "connection_launcher.h"
#include "connection_process.h"
#include "connection_settings.h"
#include "fdpass.h"
#include "memshare.h"
#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <array>
#include <cstring>
#include <linux/sched.h>
#include <netinet/in.h>
#include <poll.h>
#include <random>
#include <set>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>

using namespace wire;

namespace
{

long madeSocket(int domain)
{
    const int fd = socket(domain, SOCK_STREAM | SOCK_CLOEXEC, 0);
    return fd < 0 ? -1 : close(fd);
}

// What the confined child finds it may do: "name=errno ...", 0 where the call worked.
QString probeConfinement()
{
    char* const sh[] = {(char*)"sh", (char*)"-c", (char*)"exit 42", nullptr};
    const std::pair<const char*, std::function<long()>> probes[] = {
        {"execve", [&] { return execve("/bin/sh", sh, environ); }},
        {"ptrace", [] { return ptrace(PTRACE_TRACEME, 0, nullptr, nullptr); }},
        {"process_vm_readv",
         [] { return syscall(SYS_process_vm_readv, getppid(), nullptr, 0, nullptr, 0, 0); }},
        {"unshare", [] { return long(unshare(CLONE_NEWUSER)); }},
        {"clone",
         [] { // a namespace flag: the new process, should there be one, ends at once
             const long pid = syscall(SYS_clone, CLONE_NEWNET | SIGCHLD, 0, 0, 0, 0);
             return pid == 0 ? (_exit(0), 0L) : pid > 0 ? (waitpid(pid_t(pid), nullptr, 0), 0L) : pid;
         }},
        {"mount", [] { return long(mount("none", "/nonexistent", "tmpfs", 0, nullptr)); }}, // else ENOENT
        {"bpf", [] { return syscall(SYS_bpf, 0, nullptr, 0); }},
        {"init_module", [] { return syscall(SYS_init_module, nullptr, 0, ""); }},
        {"keyctl", [] { return syscall(SYS_keyctl, 0, 0, 0, 0, 0); }},
        {"io_uring_setup", [] { return syscall(SYS_io_uring_setup, 1, nullptr); }},
        {"TIOCSTI", [] { return long(ioctl(1, TIOCSTI, "x")); }},
        {"inet6", [] { return madeSocket(AF_INET6); }}, // the window connects
        {"unix", [] { return madeSocket(AF_UNIX); }},
        {"thread",
         [] { // threads are still made, clone3 refused or not
             std::thread([] {}).join();
             return 0L;
         }},
    };
    QStringList found;
    for (const auto& [name, call] : probes) {
        errno = 0;
        found << QStringLiteral("%1=%2").arg(name).arg(call() == -1 ? errno : 0);
    }
    return found.join(' ');
}

// What each open descriptor of a process (this one: "self") refers to.
std::map<int, QString> descriptorsOf(const QString& pid)
{
    std::map<int, QString> found;
    const QString dir = QStringLiteral("/proc/%1/fd/").arg(pid);
    for (const QString& name : QDir(dir).entryList(QDir::NoDotAndDotDot | QDir::System)) {
        char target[256] = {};
        found[name.toInt()] = readlink(qPrintable(dir + name), target, sizeof target - 1) > 0 ? target : "?";
    }
    return found;
}

int zombieChildren()
{
    int zombies = 0;
    for (const QString& pid : QDir("/proc").entryList(QDir::Dirs)) {
        QFile stat("/proc/" + pid + "/stat"); // "pid (name) state ppid ..."
        const QList<QByteArray> f = stat.open(QIODevice::ReadOnly)
                                        ? stat.readAll().split(')').value(1).split(' ')
                                        : QList<QByteArray>();
        zombies += f.value(1) == "Z" && f.value(2).toInt() == getpid();
    }
    return zombies;
}

// A block for a surface of `bytes` bytes, sealed as a connection process seals it.
UniqueFd block(long bytes, bool seal = true)
{
    int fd = -1;
    free_memshare(create_memshare(std::min(bytes, 1L << 20), &fd), size_t(std::min(bytes, 1L << 20)));
    if (ftruncate(fd, bytes) != 0 || (seal && !sealSurfaceBlock(fd)))
        qFatal("no block");
    return UniqueFd(fd);
}

SurfaceCreated surface(uint32_t id, int width, int height, UniqueFd fd, int stride = 0)
{
    SurfaceCreated s;
    s.surface = id, s.width = width, s.height = height, s.stride = stride ? stride : width * 4;
    s.format = s.pixelFormat = 32;
    s.block = std::move(fd);
    return s;
}

// A TCP socket connected to `server` (listening on 127.0.0.1), or only made.
UniqueFd tcpSocket(const QTcpServer* server = nullptr)
{
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(server ? server->serverPort() : 0);
    if (server && ::connect(fd.get(), reinterpret_cast<sockaddr*>(&to), sizeof to) != 0)
        qFatal("no connection to the test's server");
    return fd;
}

// A datagram made by hand, with borrowed descriptors.
Encoded raw(QByteArray datagram, std::vector<int> fds = {})
{
    Encoded e;
    e.datagram = std::move(datagram);
    e.fds = std::move(fds);
    return e;
}

} // namespace

class TestConnection : public QObject
{
    Q_OBJECT
    int pair[2] = {-1, -1};
    ReadOutcome trip(Reader& reader, const Encoded& message)
    {
        if (sendEncoded(pair[1], message) != SendResult::Sent)
            qFatal("not sent: %s", message.error);
        return reader.read(pair[0]);
    }

private Q_SLOTS:
    void initTestCase()
    {
        rlimit none{0, 0};
        setrlimit(RLIMIT_CORE, &none);    // the children killed below leave no core files
        prctl(PR_SET_CHILD_SUBREAPER, 1); // orphans come to this test, which reaps them
        signal(SIGPIPE, SIG_IGN);
    }
    void init() { QCOMPARE(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0); }
    void cleanup() { close(pair[0]), close(pair[1]); }

    void readerRefusesWhatIsMalformedAndLeaksNothing()
    {
        CoutCapture quiet;
        Reader reader(Side::ConnectionProcess);
        const int before = openDescriptorCount();
        QCOMPARE(trip(reader, encode(surface(0, 100, 100, block(40000)))).kind, ReadOutcome::Received);

        auto header = [](QByteArray d, int at, uint32_t value) {
            std::memcpy(d.data() + at, &value, at == 4 || at == 6 ? 2 : 4);
            return d;
        };
        const QByteArray title = encode(TitleChanged{QStringLiteral("t")}).datagram;
        QByteArray badText = title, nul = title;
        badText.replace(badText.size() - 1, 1, "\xC0");
        nul.replace(nul.size() - 1, 1, QByteArray(1, '\0'));
        int pipeEnds[2];
        QCOMPARE(pipe2(pipeEnds, O_CLOEXEC), 0);
        UniqueFd pipeIn(pipeEnds[0]), pipeOut(pipeEnds[1]), spare = block(4096), shortData = block(3, false);
        Encoded clip = encode(ClipboardData{ClipboardSelection, "text/plain", "four"});
        Message small = surface(1, 10, 10, block(400));
        const Encoded withBlock = encode(small);
        const std::pair<const char*, Encoded> malformed[] = {
            {"random bytes", raw("\x13\x37 not a message")},
            {"wrong magic", raw(header(title, 0, 0x1234))},
            {"another version", raw(header(title, 4, kVersion + 1))},
            {"unknown type", raw(header(title, 6, 999))},
            {"length beyond the bound", raw(header(title, 8, kMaxMessage * 2))},
            {"length short of the datagram", raw(header(title, 8, uint32_t(title.size() - kHeaderSize - 1)))},
            {"truncated",
             raw(header(title.left(title.size() - 1), 8, uint32_t(title.size() - kHeaderSize - 1)))},
            {"not UTF-8", raw(badText)},
            {"NUL in a text", raw(nul)},
            {"block missing", raw(withBlock.datagram)},
            {"descriptor on a message that takes none", raw(title, {pipeIn.get()})},
            {"two descriptors", raw(withBlock.datagram, {withBlock.fds[0], spare.get()})},
            {"clipboard data shorter than said", raw(clip.datagram, {shortData.get()})},
        };
        Message wrong[] = {
            ReleaseAll{}, // only the window sends it
            surface(1, 100, 100, block(39999)),
            surface(1, 100, 100, block(long(kMaxSurfaceBytes) + 4096)),
            surface(1, 100, 100, block(40000, false)), // may shrink
            surface(1, 100, 100, UniqueFd(dup(pipeIn.get()))),
            surface(1, 100, 100, block(40000), 399), // stride too small
            surface(kMaxSurfaces, 1, 1, block(4096)),
            SurfaceChanged{0, {{0, 0, 1, 1}, {90, 90, 20, 20}}},
            SurfaceChanged{3, {{0, 0, 1, 1}}}, // unknown surface
            MonitorsChanged{{{0, 0, {50, 0, 51, 100}}}},
            TransferProgress{5, 4},
        };
        // One byte beyond the bound, and well formed but for that: only the window sends so much.
        QByteArray over =
            encode(Connect{Connect::Start, {{"a", QByteArray(kMaxSettingValueBytes, 'x')}, {"b", {}}}})
                .datagram;
        const int more = int(kMaxMessage) + 1 - over.size();
        over = header(over + QByteArray(more, 'y'), over.size() - 4, uint32_t(more));
        Reader process(Side::Window);
        QCOMPARE(trip(process, raw(header(over, 8, uint32_t(over.size() - kHeaderSize)))).kind,
                 ReadOutcome::Violation);
        // A device that is no device node, and numbers of the process's own range.
        Message devices[] = {
            UsbRedirect{1, "pipe", UniqueFd(dup(pipeIn.get()))},
            UsbRedirect{0x80000001u, "null", UniqueFd(open("/dev/null", O_RDWR | O_CLOEXEC))},
            CdShare{0x80000000u, "/a.iso"}, CdShare{1, ""}};
        for (Message& message : devices)
            QCOMPARE(trip(process, encode(message)).kind, ReadOutcome::Violation);
        for (Message& m : devices)
            m = Message{};
        for (const auto& [what, message] : malformed)
            QVERIFY2(trip(reader, message).kind == ReadOutcome::Violation, what);
        for (const Message& message : wrong)
            QVERIFY2(trip(reader, encode(message)).kind == ReadOutcome::Violation,
                     qPrintable(QString::number(message.index())));

        // Mutated valid messages: each is refused or read as exactly what it says, never more.
        SurfaceChanged change{0, {{0, 0, 100, 100}, {5, 6, 7, 8}}};
        MonitorsChanged monitors{{{0, 0, {0, 0, 50, 100}}, {1, 0, {50, 0, 50, 100}}}};
        const QByteArray samples[] = {
            title,
            encode(change).datagram,
            encode(monitors).datagram,
            encode(PasswordRequest{true, "host é"}).datagram,
            encode(ClipboardOffer{PrimarySelection, {"text/plain", "image/png"}}).datagram,
            encode(AgentChanged{AgentChanged::Connected}).datagram};
        std::mt19937 random(26);
        for (int i = 0; i < 3000; ++i) {
            QByteArray d = samples[random() % std::size(samples)];
            std::vector<int> fds;
            if (i % 3 == 0) { // cut short, its length made to agree
                d = d.left(1 + int(random() % uint32_t(d.size() - 1)));
                if (d.size() >= int(kHeaderSize))
                    d = header(d, 8, uint32_t(d.size() - kHeaderSize));
            } else if (i % 3 == 1) {
                for (int n = 0; n < 3; ++n)
                    d[int(random() % uint32_t(d.size()))] = char(random());
            } else { // a right header on random bytes, now and then a descriptor
                d = header(d, 6, 64 + random() % 16).left(int(kHeaderSize));
                for (uint32_t n = random() % 64; n > 0; --n)
                    d += char(random());
                d = header(d, 8, uint32_t(d.size() - kHeaderSize));
                if (random() % 4 == 0)
                    fds.push_back(pipeIn.get());
            }
            ReadOutcome outcome = trip(reader, raw(d, fds));
            if (outcome.kind == ReadOutcome::Received && std::get_if<SurfaceGone>(&outcome.message))
                QCOMPARE(trip(reader, encode(surface(0, 100, 100, block(40000)))).kind,
                         ReadOutcome::Received);
            QVERIFY(outcome.kind == ReadOutcome::Violation ||
                    (outcome.kind == ReadOutcome::Received && fds.empty() &&
                     encode(outcome.message).datagram == d));
        }
        pipeIn.reset(), pipeOut.reset(), spare.reset(), shortData.reset(), small = Message{};
        clip.owned.clear();
        for (Message& m : wrong)
            m = Message{};
        QCOMPARE(openDescriptorCount(), before);
    }

    void everyMessageRoundTrips()
    {
        Reader window(Side::ConnectionProcess), process(Side::Window);
        UniqueFd pixels = block(64 * 48 * 4);
        uchar* writer =
            static_cast<uchar*>(mmap(nullptr, 64 * 48 * 4, PROT_WRITE, MAP_SHARED, pixels.get(), 0));
        writer[64 * 48 * 4 - 1] = 0xAB;
        munmap(writer, 64 * 48 * 4);
        UniqueFd file(memfd_create("dropped", MFD_CLOEXEC));
        QCOMPARE(write(file.get(), "content", 7), 7);
        QByteArray big(3 << 20, 'c');
        big[12345] = 'x';
        const QString longTitle(2000, QChar(0x20AC)), longest(kMaxTitleBytes / 3, QChar(0x20AC));
        QVector<wire::Rect> rects(kMaxRects, wire::Rect{63, 47, 1, 1});
        QVector<Setting> settings{{"host", "example.net"},
                                  {"ca", QByteArray(kMaxSettingValueBytes - 1024, 'p')}};
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        QVERIFY(process.sending(SocketRequest{7, true}) && process.sending(SocketRequest{8, false}));
        Message table[] = {Connect{Connect::SwitchServer, settings},
                           SetOptions{SetOptions::Clipboard | SetOptions::SharePrimary},
                           Key{38, 0x41, 0x02000000, true, true},
                           InjectKey{"1000030"},
                           PointerAt{1, -5, 7},
                           PointerBy{-3, 4},
                           Button{4, true, true},
                           Wheel{-2},
                           Scancodes{{0x1D, 0x138, 0x153}},
                           ReleaseAll{},
                           MonitorsConfig{{{0, 0, 1024, 768}}, 0, true, {{1, 640, 480, WindowState::Closed}}},
                           FileCopyAdd{"report é.pdf", std::move(file)},
                           FileCopyStart{},
                           FileCopyCancel{},
                           PasswordAnswer{true, "s3cr\xc3\xa9t"},
                           WindowShown{true},
                           UsbRedirect{3, "Stick", UniqueFd(open("/dev/null", O_RDWR | O_CLOEXEC))},
                           CdShare{4, "/srv/disc é.iso"},
                           DeviceRelease{4},
                           FolderShare{"/home/u/Documents", true},
                           MicrophoneSwitch{false},
                           SmartcardSwitch{true},
                           SocketGiven{7, tcpSocket(&server)},
                           SocketFailed{8, "proxy unreachable: connection refused"},
                           Ready{},
                           PhaseChanged{3},
                           surface(2, 64, 48, std::move(pixels)),
                           SurfaceChanged{2, rects},
                           MonitorsChanged{{{0, 2, {0, 0, 64, 48}, 1}}},
                           SurfaceGone{2},
                           TitleChanged{longTitle},
                           MouseModeChanged{true},
                           ConnectionError{"refused"},
                           Closed{},
                           AgentChanged{3},
                           TransferProgress{1, 1LL << 40},
                           TransferFinished{false, "1 of 2"},
                           PasswordRequest{false, "host"},
                           Cleared{},
                           DevicesChanged{DevicesStatus::UsbReady,
                                          2,
                                          DevicesStatus::Recording,
                                          "/home/u",
                                          {{4, true, SharedDevice::Failed, "disc é.iso", "no such file"}}},
                           SocketRequest{9, true},
                           ClipboardOffer{ClipboardSelection, {"text/plain"}},
                           ClipboardRequest{PrimarySelection, "image/png"},
                           ClipboardData{ClipboardSelection, "image/png", big},
                           ClipboardRelease{PrimarySelection}};
        std::set<size_t> kinds;
        for (Message& sent : table) {
            kinds.insert(sent.index());
            const Encoded encoded = encode(sent);
            QVERIFY2(!encoded.datagram.isEmpty(), encoded.error);
            const bool toWindow = std::visit([](auto& m) { return m.from != Side::Window; }, sent);
            ReadOutcome got = trip(toWindow ? window : process, encoded);
            QCOMPARE(got.kind, ReadOutcome::Received);
            QCOMPARE(got.message.index(), sent.index());
            QCOMPARE(encode(got.message).datagram, encoded.datagram);
            if (auto* s = std::get_if<SurfaceCreated>(&got.message)) {
                SurfaceView view(*s);
                QCOMPARE(view.pixels()[64 * 48 * 4 - 1], uchar(0xAB));
            } else if (auto* f = std::get_if<FileCopyAdd>(&got.message)) {
                char content[8] = {};
                QCOMPARE(pread(f->file.get(), content, 8, 0), 7L);
                QCOMPARE(QByteArray(content), QByteArray("content"));
            } else if (auto* c = std::get_if<ClipboardData>(&got.message)) {
                QCOMPARE(c->data, big);
            }
        }
        QCOMPARE(kinds.size(), std::variant_size_v<Message>);
        // Texts are cut at their bound on a character's edge, never refused for their length.
        Reader again(Side::ConnectionProcess);
        QCOMPARE(std::get<TitleChanged>(trip(again, encode(TitleChanged{longTitle})).message).title, longest);
    }

    // Socket answers go to open requests only, once, and carry a connected TCP socket; the window
    // takes a bounded number of requests, each number open once.
    void socketAnswersAreChecked()
    {
        CoutCapture quiet;
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        Reader process(Side::Window), window(Side::ConnectionProcess);
        int ends[2], pipeEnds[2];
        QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends), 0);
        QCOMPARE(pipe2(pipeEnds, O_CLOEXEC), 0);
        UniqueFd local(ends[0]), peer(ends[1]), pipeIn(pipeEnds[0]), pipeOut(pipeEnds[1]);
        const int before = openDescriptorCount();
        for (uint32_t n = 1; n <= 5; ++n)
            QVERIFY(process.sending(SocketRequest{n, n % 2 == 0}));
        QVERIFY(!process.sending(SocketRequest{2, false})); // open already: not sent
        // A refused answer closes its request too: the link is down after it anyway.
        const std::pair<Message, ReadOutcome::Kind> answers[] = {
            {SocketGiven{9, tcpSocket(&server)}, ReadOutcome::Violation}, // no such request
            {SocketFailed{9, "no"}, ReadOutcome::Violation},
            {SocketGiven{1, UniqueFd(dup(pipeIn.get()))}, ReadOutcome::Violation}, // not a socket
            {SocketGiven{2, UniqueFd(dup(local.get()))}, ReadOutcome::Violation},  // not TCP
            {SocketGiven{3, tcpSocket()}, ReadOutcome::Violation},                 // not connected
            {SocketGiven{4, tcpSocket(&server)}, ReadOutcome::Received},
            {SocketFailed{5, "connection refused"}, ReadOutcome::Received},
            {SocketGiven{4, tcpSocket(&server)}, ReadOutcome::Violation}, // answered already
            {SocketFailed{5, "timed out"}, ReadOutcome::Violation},
        };
        for (const auto& [message, kind] : answers) {
            const ReadOutcome got = trip(process, encode(message));
            QVERIFY2(got.kind == kind, qPrintable(QString::number(message.index()) + ": " + got.reason));
        }
        for (uint32_t n = 1; n <= uint32_t(kMaxSocketRequests); ++n)
            QCOMPARE(trip(window, encode(SocketRequest{n, false})).kind, ReadOutcome::Received);
        QCOMPARE(trip(window, encode(SocketRequest{kMaxSocketRequests + 1u, false})).kind,
                 ReadOutcome::Violation);
        QVERIFY(window.sending(SocketFailed{1, "words"}) && !window.sending(SocketFailed{1, "words"}));
        QCOMPARE(trip(window, encode(SocketRequest{2, true})).kind, ReadOutcome::Violation); // open
        QCOMPARE(trip(window, encode(SocketRequest{1, true})).kind, ReadOutcome::Received);
        for (auto& [message, kind] : answers)
            const_cast<Message&>(message) = Message{};
        QCOMPARE(openDescriptorCount(), before);
    }

    // The window's connections: through an HTTP proxy (CONNECT, the credentials, the answer read to
    // its end and not beyond), or direct; failures as their cause in words.
    void connectorSpeaksToTheProxy()
    {
        QTcpServer proxy;
        QVERIFY(proxy.listen(QHostAddress::LocalHost));
        QByteArray heard, answer;
        connect(&proxy, &QTcpServer::newConnection, this, [&] {
            QTcpSocket* client = proxy.nextPendingConnection();
            heard.clear();
            connect(client, &QTcpSocket::readyRead, client, [&, client] {
                heard += client->readAll();
                if (heard.endsWith("\r\n\r\n"))
                    answer.isEmpty() ? client->close() : void(client->write(answer));
            });
        });
        const QString at = QStringLiteral("127.0.0.1:%1").arg(proxy.serverPort());
        QTcpServer closed; // a port nobody listens on
        QVERIFY(closed.listen(QHostAddress::LocalHost));
        const QString nobody = QString::number(closed.serverPort());
        closed.close();
        const char* const okAnswer = "HTTP/1.1 200 Connection established\r\nVia: t\r\n\r\nSERVER FIRST";
        struct Case {
            QString proxy, answer, tlsPort, outcome, request;
        } cases[] = {
            {"u:pw@" + at, okAnswer, "5901", "SERVER FIRST",
             "CONNECT [::1]:5901 HTTP/1.0\r\nHost: [::1]:5901\r\nProxy-Authorization: Basic "
             "dTpwdw==\r\n\r\n"},
            {at, "HTTP/1.0 407 Proxy Authentication Required\r\n\r\n", "5901",
             "the proxy asks for a user name and password (HTTP 407)", "CONNECT [::1]:5901 HTTP/1.0\r\n"},
            {"http://u:pw@" + at, "HTTP/1.0 407 No\r\n\r\n", "5901",
             "the proxy refused the user name and password (HTTP 407)", ""},
            {at, "HTTP/1.0 403 Filtered\r\n\r\n", "5901", "the proxy refused the connection (HTTP 403)", ""},
            {at, "HTTP/1.0 502 Bad Gateway\r\n\r\n", "5901", "the proxy failed: 502 Bad Gateway", ""},
            {at, "", "5901", "the proxy failed: it closed the connection without an answer", ""},
            {"127.0.0.1:" + nobody, "", "5901", "proxy unreachable: connection refused", ""},
            {"https://" + at, "", "5901", "only an http:// proxy can be used, not https://", ""},
            {at, "", "", "the server has no TLS port", ""},
            {"", "", "5901", "connection refused", ""}, // direct, to the TLS port
        };
        ChannelConnector connector;
        for (const Case& c : cases) {
            ConnectionSettings settings;
            settings.host = c.proxy.isEmpty() ? QStringLiteral("127.0.0.1") : QStringLiteral("::1");
            settings.port = "5900", settings.tlsPort = c.proxy.isEmpty() ? nobody : c.tlsPort;
            settings.proxy = c.proxy;
            answer = c.answer.toUtf8();
            QString outcome;
            const auto opened = connect(&connector, &ChannelConnector::opened, this, [&](uint32_t, int fd) {
                UniqueFd socket(fd);
                char first[64] = {};
                pollfd ready{fd, POLLIN, 0};
                poll(&ready, 1, 5000);
                outcome = QString::fromUtf8(first, int(recv(fd, first, sizeof first, 0)));
            });
            const auto failed = connect(&connector, &ChannelConnector::failed, this,
                                        [&](uint32_t, const QString& words) { outcome = words; });
            connector.open(1, settings, true);
            QTRY_VERIFY2(!outcome.isEmpty(), qPrintable(c.proxy));
            QCOMPARE(outcome, c.outcome);
            QVERIFY2(heard.startsWith(c.request.toUtf8()), heard.constData());
            disconnect(opened), disconnect(failed);
        }
    }

    // Every connection setting the window has reaches the process, the password among them.
    void settingsSurviveTheTrip()
    {
        ConnectionSettings s;
        s.host = "host.example", s.port = "5900", s.tlsPort = "5901", s.password = "pw é";
        s.hasPasswordSource = true, s.ca = "-----BEGIN CERTIFICATE-----\n", s.caFile = "/etc/ca.pem";
        s.hostSubject = "CN=h", s.proxy = "http://proxy:3128", s.proxyFromEnvironment = true;
        s.secureChannels = QStringList{"main", "display"}, s.title = "Desk 7";
        Reader process(Side::Window);
        const ReadOutcome got = trip(process, encode(Connect{Connect::Start, settingsToWire(s)}));
        QCOMPARE(got.kind, ReadOutcome::Received);
        const ConnectionSettings back = settingsFromWire(std::get<Connect>(got.message).settings);
        const auto fields = [](const ConnectionSettings& c) {
            return QStringList{c.host,
                               c.port,
                               c.tlsPort,
                               QString::fromStdString(c.password),
                               QString::number(c.hasPasswordSource),
                               c.ca,
                               c.caFile,
                               c.hostSubject,
                               c.proxy,
                               QString::number(c.proxyFromEnvironment),
                               c.secureChannels.join('|'),
                               c.title};
        };
        QCOMPARE(fields(back), fields(s));
    }

    void aFullSocketKeepsOrderAndDescriptors()
    {
        MessageLink link(dup(pair[1]), Side::Window);
        Reader window(Side::ConnectionProcess);
        const QString pad(1000, 'p');
        for (int i = 0; i < 1000; ++i) // more than the socket holds: the rest waits in the link
            QVERIFY(link.send(TitleChanged{QString::number(i) + pad}));
        {
            UniqueFd pixels = block(4 * 4 * 4);
            QVERIFY(link.send(surface(0, 4, 4, std::move(pixels)))); // closed at once by the sender
        }
        setnoblocking(pair[0]);
        QStringList titles;
        bool mapped = false;
        QTRY_VERIFY([&] {
            for (ReadOutcome got; !mapped && (got = window.read(pair[0])).kind == ReadOutcome::Received;) {
                if (auto* title = std::get_if<TitleChanged>(&got.message))
                    titles << title->title.chopped(pad.size());
                else
                    mapped = SurfaceView(std::get<SurfaceCreated>(got.message)).pixels();
            }
            return mapped;
        }());
        QCOMPARE(titles.size(), 1000);
        QCOMPARE(titles.last(), QStringLiteral("999"));
        QCOMPARE(titles.indexOf("500"), 500);
    }

    void childIsConfinedAndSeesOnlyItsOwnDescriptors()
    {
        qputenv("DISPLAY", ":7"), qputenv("XAUTHORITY", "/tmp/key");
        int leaked[2];
        QCOMPARE(pipe(leaked), 0); // not close-on-exec, as a careless library leaves one
        ConnectionLauncher launcher;
        int socket = -1;
        QString error;
        QVERIFY2(launcher.start({"probe"}, &socket, &error), qPrintable(error));
        close(leaked[0]), close(leaked[1]);
        MessageLink link(socket, Side::ConnectionProcess);
        QString probed;
        bool ready = false;
        link.setHandler([&](Message& m) {
            ready = ready || std::get_if<Ready>(&m);
            if (auto* e = std::get_if<ConnectionError>(&m))
                probed = e->text;
        });
        QTRY_VERIFY(ready && !probed.isEmpty());

        const pid_t child = launcher.pid();
        auto fds = descriptorsOf(QString::number(child)), ours = descriptorsOf("self");
        QCOMPARE(fds[0], QStringLiteral("/dev/null"));
        QCOMPARE(fds[1], ours[1]);
        QCOMPARE(fds[2], ours[2]);
        QVERIFY(fds[3].startsWith("socket:"));
        for (auto fd = fds.upper_bound(3); fd != fds.end(); ++fd) // made by the child itself
            QVERIFY2(fd->second.startsWith("anon_inode:"), qPrintable(fd->second));
        QFile environ(QStringLiteral("/proc/%1/environ").arg(child)),
            status(QStringLiteral("/proc/%1/status").arg(child));
        QVERIFY(environ.open(QIODevice::ReadOnly) && status.open(QIODevice::ReadOnly));
        const QList<QByteArray> variables = environ.readAll().split('\0');
        QVERIFY(!variables.contains("DISPLAY=:7") && !variables.contains("XAUTHORITY=/tmp/key"));
        const QByteArray state = status.readAll();
        QVERIFY(state.contains("NoNewPrivs:\t1") && state.contains("Seccomp:\t2"));
        QCOMPARE(probed,
                 QStringLiteral("execve=1 ptrace=1 process_vm_readv=1 unshare=1 clone=1 mount=1 bpf=1 "
                                "init_module=1 keyctl=1 io_uring_setup=1 TIOCSTI=1 inet6=1 unix=0 thread=0"));

        QSignalSpy ended(&launcher, &ConnectionLauncher::ended);
        link.shutDown(); // the window lets go: the child ends by itself
        QVERIFY(ended.wait(5000));
        QCOMPARE(ended.at(0).at(0).toString(), QStringLiteral("exited with status 0"));
        qunsetenv("DISPLAY"), qunsetenv("XAUTHORITY");
    }

    void childDiesWithItsParent()
    {
        QProcess window;
        window.start(QCoreApplication::applicationFilePath(), {"--window-standin"});
        // Its first number is the child's (a log line may come before it).
        pid_t child = 0;
        while (child <= 0 && (window.canReadLine() || window.waitForReadyRead(10000)))
            child = window.readLine().trimmed().toInt();
        const int pidfd = int(syscall(SYS_pidfd_open, child, 0));
        QVERIFY(child > 0 && pidfd >= 0);
        const auto reap =
            qScopeGuard([&] { kill(child, SIGKILL), waitpid(child, nullptr, 0), close(pidfd); });
        pollfd gone{pidfd, POLLIN, 0};
        QCOMPARE(poll(&gone, 1, 0), 0);
        kill(pid_t(window.processId()), SIGKILL);
        QVERIFY(window.waitForFinished(5000));
        QCOMPARE(poll(&gone, 1, 10000), 1);
        siginfo_t info{};
        QCOMPARE(waitid(P_PIDFD, id_t(pidfd), &info, WEXITED), 0);
        QCOMPARE(info.si_status, SIGKILL);
    }

    void everyEndIsReapedAndSaidInWords()
    {
        ConnectionLauncher launcher;
        QSignalSpy ended(&launcher, &ConnectionLauncher::ended);
        int fdsBefore = 0;
        for (int cycle = 0; cycle < 21; ++cycle) {
            if (cycle == 1) // after the first, which sets up what a process keeps for good
                fdsBefore = openDescriptorCount();
            int socket = -1;
            QString error;
            QVERIFY2(launcher.start({}, &socket, &error), qPrintable(error));
            bool ready = false;
            {
                MessageLink link(socket, Side::ConnectionProcess);
                link.setHandler([&](Message& m) { ready = std::get_if<Ready>(&m) != nullptr; });
                QTRY_VERIFY(ready);
                const int sig = std::array{SIGSEGV, SIGABRT, SIGKILL, 0}[cycle % 4];
                if (sig)
                    QVERIFY(launcher.signal(sig));
                else
                    link.shutDown();
                QVERIFY(ended.wait(5000));
                QCOMPARE(ended.takeFirst().at(0).toString(),
                         sig ? QStringLiteral("signal %1").arg(sig) : QStringLiteral("exited with status 0"));
            }
            QVERIFY(!launcher.running());
        }
        QCOMPARE(openDescriptorCount(), fdsBefore);
        QCOMPARE(zombieChildren(), 0);
    }
};

int main(int argc, char** argv)
{
    if (isConnectionProcess(argc, argv))
        return runConnectionProcess(
            argc, argv, [mode = QByteArray(argc > 2 ? argv[2] : "")](MessageLink& link) {
                if (mode == "probe")
                    link.send(ConnectionError{probeConfinement()});
                if (mode == "linger") // deaf to the window's end: only its death signal ends it
                    QObject::disconnect(&link, &MessageLink::peerClosed, nullptr, nullptr);
                return std::unique_ptr<QObject>();
            });
    QCoreApplication app(argc, argv);
    if (argc > 1 && std::strcmp(argv[1], "--window-standin") == 0) { // a window with a running child
        ConnectionLauncher launcher;
        int socket;
        QString error;
        if (!launcher.start({"linger"}, &socket, &error))
            return 1;
        MessageLink link(socket, Side::ConnectionProcess);
        link.setHandler([&](Message&) { std::printf("%d\n", launcher.pid()), std::fflush(stdout); });
        return app.exec();
    }
    TestConnection test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_connection.moc"
