// The session layer's own parts: the surface block and its copy, descriptor passing, the TLS link,
// and the key and button tables, whose properties hold across all their entries.
#include "agent.h"
#include "capture.h"
#include "connection_settings.h"
#include "fdpass.h"
#include "geometry.h"
#include "input.h"
#include "keycodes.h"
#include "memshare.h"
#include "session_viewer.h"
#include "surface_format.h"
#include "tls_link.h"
#include <QSslKey>
#include <QTcpServer>
#include <QtTest>
#include <X11/Xlib.h>
#include <X11/keysym.h>
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <numeric>
#include <sys/socket.h>
#include <sys/wait.h>

// Second bytes of the E0 keys a PC keyboard and its common extras send in set 1.
const QSet<unsigned> kKnownE0{0x10, 0x19, 0x1C, 0x1D, 0x20, 0x21, 0x22, 0x24, 0x2E, 0x30,
                              0x32, 0x35, 0x37, 0x38, 0x46, 0x47, 0x48, 0x49, 0x4B, 0x4D,
                              0x4F, 0x50, 0x51, 0x52, 0x53, 0x5B, 0x5C, 0x5D, 0x5E, 0x5F,
                              0x63, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x6B, 0x6C, 0x6D};

const auto phys = [](int key) { return x11KeycodeToScancode(uint32_t(key) + 8); }; // Linux keycode
// One byte, or 0x100 plus the second byte of an E0 key; never a break code.
const auto wellFormed = [](unsigned code) { return (code & 0x80) == 0 && code < 0x200; };

// The real surface handlers tell this test, their viewer, what they do; they only compare display
// channels' addresses, so two stand-ins do.
class TestSpiceClient : public QObject, SessionViewer
{
    Q_OBJECT
    SpiceDisplayChannel* const channel[2] = {(SpiceDisplayChannel*)&blocks, (SpiceDisplayChannel*)&updates};
    SpiceAgent agent;
    std::vector<uint8_t> pixels = std::vector<uint8_t>(1 << 16);
    QVector<void*> blocks;
    QVector<QRect> updates;
    CoutCapture log;
    void create(int format, int width, int height, int stride)
    {
        std::iota(pixels.begin(), pixels.end(), 1);
        display_create(channel[0], format, width, height, stride, 0, pixels.data(), &agent);
    }
    void update(int n, int x, int y, int w, int h) { display_update(channel[n], x, y, w, h, &agent); }
    bool blank() const { return *std::max_element(agent.shm_data, agent.shm_data + agent.shmSize) == 0; }
    void setTitle(const QString&) override {}
    void screenSettingsChanged(void* block, ScreenInitInfo&) override { blocks << block; }
    void updateImage(Rect* r) override { updates << QRect(r->x, r->y, r->width, r->height); }
    void clearDisplay() override {}
    void closeWindow() override {}

private Q_SLOTS:
    void initTestCase() { agent.viewer = this; }
    void init() { updates.clear(); }
    void cleanup() { releaseSurfaceBlock(&agent); }
    void blocksAreSizedWithoutOverflowOrLeak()
    {
        const std::tuple<const char*, int, int, int, int, bool> rows[] = {
            {"16-bit, padded rows", 16, 101, 10, 204, true},
            {"unknown format: a black block", 8, 100, 10, 100, true},
            {"at the cap", 32, 8192, 8192, 32768, true},
            {"a row over the cap", 32, 8192, 8193, 32768, false},
            {"height x stride wraps 32 bits", 32, 65536, 65537, 262144, false},
            {"width x 4 wraps 32 bits", 32, 1 << 30, 1, 64, false},
            {"rows shorter than their pixels", 32, 100, 10, 399, false},
            {"negative width", 32, -4, 10, 40, false},
        };
        const int before = openDescriptorCount();
        for (const auto& [name, format, width, height, stride, accepted] : rows) {
            create(32, 4, 4, 16);
            create(format, width, height, stride); // the first block goes, whatever comes
            QVERIFY2(blocks.last() == agent.shm_data && bool(agent.shm_data) == accepted, name);
            QVERIFY2(openDescriptorCount() == before + int(accepted), name);
            QVERIFY2(!accepted || !agent.shm_data[size_t(height) * stride - 1], name); // mapped to its end
        }
        for (long size : {-1L, 0L, 1L << 62}) { // blocks that cannot be made
            int fd = 123;
            QVERIFY(!create_memshare(size, &fd) && fd == -1);
        }
        releaseSurfaceBlock(&agent);
        QCOMPARE(openDescriptorCount(), before);
    }
    // The copy keeps each format's pixel size and row stride, and the block shows as the server's colours:
    // each format's pure red, as the protocol lays it out, must read as red.
    void copyKeepsStridePixelSizeAndColour()
    {
        const std::tuple<int, int, int, quint32> formats[] = {
            {32, 4, 0, 0x00ff0000}, {96, 4, 28, 0x80ff0000}, {16, 2, 6, 0x7c00}, {80, 2, 2, 0xf800}};
        for (auto [format, bpp, padding, red] : formats) {
            const int width = 37, height = 23, stride = width * bpp + padding;
            create(format, width, height, stride);
            memcpy(&pixels[20 * stride + 30 * bpp], &red, size_t(bpp));
            update(0, 30, 20, 50, 50); // past the right and the bottom
            QCOMPARE(updates.last(), QRect(30, 20, 7, 3));
            std::vector<uint8_t> expected(size_t(height * stride));
            for (int y = 20; y < height; ++y)
                std::copy_n(&pixels[y * stride + 30 * bpp], 7 * bpp, &expected[y * stride + 30 * bpp]);
            const bool copied = std::equal(expected.begin(), expected.end(), agent.shm_data);
            const QImage shown(agent.shm_data, width, height, stride, qtImageFormat(format));
            QVERIFY2(copied && shown.depth() == 8 * bpp && shown.pixel(30, 20) == qRgb(255, 0, 0),
                     QByteArray::number(format));
        }
    }
    void updatesReadOnlyTheCurrentSurface()
    {
        update(0, 0, 0, 10, 10); // before any surface
        create(32, 10, 10, 40);
        update(1, 0, 0, 10, 10); // another display's rectangle
        QVERIFY(updates.isEmpty() && blank());
        display_destroy(channel[0], &agent); // the library frees its pixels: nothing may read them
        pixels.assign(pixels.size(), 0xee);
        update(0, 0, 0, 10, 10);
        QVERIFY(blank());
        create(32, 10, 10, 39); // refused: the block is released, and with it any place to copy to
        update(0, 0, 0, 10, 10);
        QCOMPARE(updates.size(), 1);
    }
    // A child that knows the block only through the message sees every byte of it; a refused message
    // closes whatever descriptors it brought and hands none out.
    void descriptorPassing()
    {
        const size_t size = (1u << 20) + 4093;
        int pair[2], fd = -1, status = -1;
        socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        if (fork() == 0) {
            alarm(10);
            if (char byte; recv_fd(pair[1], &fd, 1, &byte, 1) != 0)
                _exit(1);
            const auto* block = static_cast<const uint8_t*>(get_memshare(size, fd));
            for (size_t i = 0; i < size; ++i)
                if (block[i] != uint8_t(i * 7 + i / 4093))
                    _exit(2);
            _exit(0);
        }
        auto* block = static_cast<uint8_t*>(create_memshare(long(size), &fd));
        for (size_t i = 0; i < size; ++i)
            block[i] = uint8_t(i * 7 + i / 4093);
        QCOMPARE(send_fd(pair[0], &fd, 1, block, 1), 0);
        QVERIFY(wait(&status) > 0 && status == 0);
        // Descriptors sent (copies of a socket; 0: plain data), room asked for, credentials along, error.
        const std::tuple<int, int, int, const char*> rows[] = {
            {0, 1, 0, "received message without descriptors"},
            {2, 16, 1, "received unexpected control message"},
            {0, 16, 1, "received unexpected control message"},
            {1, 3, 0, "received wrong number of descriptors"},
            {2, 1, 0, "received wrong number of descriptors"}, // alignment padding holds the extra one
            {4, 2, 0, "received descriptors were truncated"},
        };
        for (const auto& [sent, room, credentials, error] : rows) {
            setsockopt(pair[1], SOL_SOCKET, SO_PASSCRED, &credentials, sizeof credentials);
            const int before = openDescriptorCount();
            std::vector<int> fds(size_t(sent), pair[0]), got(size_t(room), -1);
            char byte = 'm';
            QVERIFY(sent ? send_fd(pair[0], fds.data(), sent, &byte, 1) == 0 : write(pair[0], &byte, 1) == 1);
            CoutCapture log;
            QCOMPARE(recv_fd(pair[1], got.data(), room, &byte, 1), -1);
            QVERIFY2(log.text().find(error) != std::string::npos, error);
            QVERIFY2(openDescriptorCount() == before && got == std::vector<int>(size_t(room), -1), error);
        }
        close(pair[0]);
        close(pair[1]);
    }
    // A TLS link relays both ways on its socket pair; deleted while linked (its session goes), it
    // closes both ends and says nothing: its socket, destroyed last, still says "disconnected".
    void tlsLinkRelaysAndGoesWithItsOwner()
    {
        QTemporaryDir dir;
        const QString key = dir.filePath("key.pem"), cert = dir.filePath("cert.pem");
        QProcess openssl;
        openssl.start("openssl",
                      {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
                       "-subj", "/CN=127.0.0.1", "-days", "2", "-keyout", key, "-out", cert});
        QVERIFY(openssl.waitForFinished(30000) && openssl.exitCode() == 0);
        struct Server : QTcpServer {
            QSslSocket socket;
            QByteArray got;
            void incomingConnection(qintptr fd) override
            {
                socket.setSocketDescriptor(fd);
                socket.startServerEncryption();
            }
        } server;
        server.socket.setLocalCertificate(cert);
        server.socket.setPrivateKey(key, QSsl::Ec);
        connect(&server.socket, &QSslSocket::encrypted, this,
                [&server] { server.socket.write("from the server"); });
        connect(&server.socket, &QIODevice::readyRead, this,
                [&server] { server.got += server.socket.readAll(); });
        QVERIFY(server.listen(QHostAddress::LocalHost));

        const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in at{};
        at.sin_family = AF_INET;
        at.sin_port = htons(server.serverPort());
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        QCOMPARE(::connect(tcp, reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
        ConnectionSettings settings;
        settings.host = "127.0.0.1";
        QFile anchor(cert);
        QVERIFY(anchor.open(QIODevice::ReadOnly));
        settings.ca = anchor.readAll();
        auto* link = new TlsLink(tcp, settings);
        int plain = -1;
        QString refused;
        link->ready = [&plain](int fd) { plain = fd; };
        link->refused = [&refused](const QString& words) { refused = words; };
        QTRY_VERIFY2(plain >= 0 || !refused.isEmpty(), "the handshake");
        QVERIFY2(plain >= 0, qPrintable(refused));
        QByteArray down;
        const auto take = [&down, plain] {
            char buffer[256];
            const ssize_t n = recv(plain, buffer, sizeof buffer, MSG_DONTWAIT);
            down += n > 0 ? QByteArray(buffer, int(n)) : QByteArray();
            return n;
        };
        QTRY_VERIFY((take(), down == "from the server"));
        QCOMPARE(send(plain, "from the library", 16, 0), ssize_t(16));
        QTRY_COMPARE(server.got, QByteArray("from the library"));

        delete link;
        QTRY_COMPARE(server.socket.state(), QAbstractSocket::UnconnectedState);
        QTRY_COMPARE(take(), ssize_t(0)); // the library's end reads the end
        QVERIFY(refused.isEmpty());
        close(plain);
    }

    void physicalTable()
    {
        QHash<unsigned, uint32_t> owner;
        for (uint32_t keycode = 0; keycode < 300; ++keycode) {
            const unsigned code = x11KeycodeToScancode(keycode);
            const QByteArray where = "X keycode " + QByteArray::number(keycode);
            QVERIFY2(code == 0 || (keycode > 8 && keycode < 256), where + ": outside evdev's keycodes");
            if (code == 0)
                continue;
            QVERIFY2(wellFormed(code) && (code < 0x100 || kKnownE0.contains(code & 0xFF)), where);
            QVERIFY2(!owner.contains(code),
                     where + " shares its code with " + QByteArray::number(owner[code]));
            owner.insert(code, keycode);
        }
        // Every key of a 105-key keyboard has its code: Escape to keypad ., the ISO key, F11, F12,
        // keypad Enter, right Ctrl, keypad /, Print, AltGr, the navigation block, Pause, Windows, Menu.
        for (auto [first, last] : {std::pair{1, 83}, {86, 88}, {96, 100}, {102, 111}, {119, 119}, {125, 127}})
            for (int key = first; key <= last; ++key)
                QVERIFY2(phys(key) != 0, QByteArray::number(key));
        // Left and right modifiers: Ctrl, Shift, Alt, Windows.
        for (auto [left, right] : {std::pair{29, 97}, {42, 54}, {56, 100}, {125, 126}})
            QVERIFY(phys(left) != phys(right));
    }
    // The same key gives the same code: every key of a US keyboard, as X describes it, that the Qt
    // tables know is sent as the code of that very key, whichever table the event goes through.
    void qtKeysAreTheirPhysicalKeys()
    {
        const QString xkb = "/usr/share/X11/xkb/";
        const auto read = [&](const QString& name) {
            QFile file(xkb + name);
            return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
        };
        QHash<QString, uint32_t> keycodes;
        for (auto it = QRegularExpression(R"(<(\w+)>\s*=\s*(\d+);)").globalMatch(read("keycodes/evdev"));
             it.hasNext();) {
            const QRegularExpressionMatch m = it.next();
            keycodes.insert(m.captured(1), m.captured(2).toUInt());
        }
        // Qt's names of the keys X names otherwise; a keypad key's Qt key comes with its flag.
        const QHash<QString, int> named{{"Escape", Qt::Key_Escape},
                                        {"Tab", Qt::Key_Tab},
                                        {"ISO_Left_Tab", Qt::Key_Backtab},
                                        {"BackSpace", Qt::Key_Backspace},
                                        {"Return", Qt::Key_Return},
                                        {"Insert", Qt::Key_Insert},
                                        {"Delete", Qt::Key_Delete},
                                        {"Pause", Qt::Key_Pause},
                                        {"Print", Qt::Key_Print},
                                        {"Home", Qt::Key_Home},
                                        {"End", Qt::Key_End},
                                        {"Left", Qt::Key_Left},
                                        {"Up", Qt::Key_Up},
                                        {"Right", Qt::Key_Right},
                                        {"Down", Qt::Key_Down},
                                        {"Prior", Qt::Key_PageUp},
                                        {"Next", Qt::Key_PageDown},
                                        {"Shift_L", Qt::Key_Shift},
                                        {"Control_L", Qt::Key_Control},
                                        {"Alt_L", Qt::Key_Alt},
                                        {"Caps_Lock", Qt::Key_CapsLock},
                                        {"Num_Lock", Qt::Key_NumLock},
                                        {"Scroll_Lock", Qt::Key_ScrollLock},
                                        {"Menu", Qt::Key_Menu},
                                        {"Divide", Qt::Key_Slash},
                                        {"Multiply", Qt::Key_Asterisk},
                                        {"Subtract", Qt::Key_Minus},
                                        {"Add", Qt::Key_Plus},
                                        {"Enter", Qt::Key_Enter},
                                        {"Equal", Qt::Key_Equal},
                                        {"Decimal", Qt::Key_Period}};
        const QStringList operators{"Divide", "Multiply", "Subtract", "Add", "Enter", "Equal", "Decimal"};
        QHash<int, unsigned> main, pad, checked;
        initScanCodeMap(main);
        initKeypadScanCodeMap(pad);
        const QRegularExpression key(R"(key\s*<(\w+)>\s*\{(?:[^\[]|\[Group\d\])*\[([^\]]*)\])");
        // The sections a plain "pc105+us" keyboard is made of.
        const std::pair<const char*, const char*> sections[] = {
            {"symbols/us", "basic"},   {"symbols/pc", "pc105"},         {"symbols/pc", "editing"},
            {"symbols/keypad", "x11"}, {"symbols/keypad", "operators"}, {"symbols/srvr_ctrl", "fkey2vt"}};
        for (const auto& [file, section] : sections) {
            const QString text = read(file);
            const int start = text.indexOf(QString("xkb_symbols \"%1\"").arg(section));
            QVERIFY2(start >= 0, section);
            const QString block = text.mid(start, text.indexOf("xkb_symbols", start + 1) - start);
            for (auto it = key.globalMatch(block); it.hasNext();) {
                const QRegularExpressionMatch m = it.next();
                const unsigned code = x11KeycodeToScancode(keycodes.value(m.captured(1)));
                for (QString sym : m.captured(2).split(',')) {
                    sym = sym.trimmed();
                    const bool keypad = sym.startsWith("KP_");
                    const KeySym value = XStringToKeysym(sym.toLatin1());
                    // Keypad keys whose symbol NumLock decides (KP_Home) go as that symbol's key.
                    int qt = keypad && !operators.contains(sym.mid(3))
                                 ? 0
                                 : named.value(keypad ? sym.mid(3) : sym);
                    if (!qt && value >= 0x20 && value < 0x7F)
                        qt = QChar(char(value)).toUpper().unicode();
                    if (!qt && value >= XK_F1 && value <= XK_F24)
                        qt = Qt::Key_F1 + int(value - XK_F1);
                    if (keypad && sym.size() == 4 && sym[3].isDigit())
                        qt = Qt::Key_0 + sym[3].digitValue();
                    QHash<int, unsigned>& table = keypad ? pad : main;
                    // The first key X puts a symbol on is the US key; later files repeat it elsewhere.
                    if (!code || !qt || !table.contains(qt) || checked.contains(qt | (keypad << 30)))
                        continue;
                    checked.insert(qt | (keypad << 30), code);
                    QVERIFY2(table.value(qt) == code, qPrintable(sym + " on <" + m.captured(1) + ">"));
                    // The multiplication sign has no key of its own: the keypad's * stands for it.
                    if (sym == "KP_Multiply")
                        QCOMPARE(main.value(Qt::Key_multiply), code);
                }
            }
        }
        QVERIFY2(checked.size() > 100, QByteArray::number(checked.size())); // the layout was read
    }
    void qtKeyAndButtonTables()
    {
        QHash<int, unsigned> main{{0x7FFFFFF0, 0x55}, {Qt::Key_A, 0xFFFF}}, pad{{Qt::Key_A, 3}};
        initScanCodeMap(main);
        initKeypadScanCodeMap(pad);
        QVERIFY(!main.contains(0x7FFFFFF0) && !pad.contains(Qt::Key_A)); // a refill starts empty
        for (auto* table : {&main, &pad})
            for (auto it = table->cbegin(); it != table->cend(); ++it)
                QVERIFY2(wellFormed(*it), QByteArray::number(it.key(), 16));
        // One Qt button gives the SPICE button whose state bit its mask sets; masks add bit by bit.
        for (int qt : {1, 2, 4})
            QCOMPARE(QtButtonsMaskToSpice(qt), 1 << (QtButtonToSpice(qt) - 1));
        for (int other : {0, 3, 8, 16, -1})
            QCOMPARE(QtButtonToSpice(other), 0);
        QCOMPARE(QtButtonsMaskToSpice(0x1F), 7); // back and forward have no SPICE bit
    }
};

QTEST_GUILESS_MAIN(TestSpiceClient)
#include "test_spiceclient.moc"
