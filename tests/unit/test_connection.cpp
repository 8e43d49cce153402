// The window's side of the connection process: its reader refuses whatever the other process may
// send wrongly, without a descriptor left behind; every message survives the trip; a full socket
// keeps order and descriptors; the child is reaped however it ends. The sockets the window opens
// for it: answers only to open requests, only connected TCP sockets.
#include "capture.h"
#include "channel_connector.h"
#include "connection_launcher.h"
#include "connection_process.h"
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
        return runConnectionProcess(argc, argv, [](MessageLink&) { return std::unique_ptr<QObject>(); });
    QCoreApplication app(argc, argv);
    TestConnection test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_connection.moc"
