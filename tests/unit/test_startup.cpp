// Start-up: the command line, the log line's form and the activation message of later starts.
#include "args.h"
#include "capture.h"
#include "connection_settings.h"
#include "hotkeys.h"
#include "instance.h"
#include "log.h"
#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

// A command line (split at blanks; '' an empty word, {N} N characters) and what it gives: the fields
// set, or the status (TooLong: option, limit). New options add rows; abbreviations must stay unique.
const std::pair<const char*, const char*> kRows[] = {
    {"-h 10.0.0.2 -p5901 --name=Desk --ke 41", "host=10.0.0.2 port=5901 name=Desk key=41"},
    {"-h10.0.0.2 --port 5901 --na=Desk -k 41", "host=10.0.0.2 port=5901 name=Desk key=41"},
    {"--host=10.0.0.2 -p 5901 -nDesk --key=41", "host=10.0.0.2 port=5901 name=Desk key=41"},
    {"--ho=a --po 1", "Usage"}, // --host or --host-subject
    {"-h far.example -h h -p 1", "host=h port=1"},
    {"", "Usage"},
    {"-h a -p 1 -e", "Usage"},
    {"-h a -p 1 -x", "Usage"},
    {"-h a -p", "Usage"},
    {"-h a one two -p 1", "Usage"},
    {"-h a -p 1 --proxy http://p:3 f.vv", "host=a port=1 proxy=http://p:3 source=f.vv"},
    {"-", "source=-"},
    {"-p 5900", "MissingHostOrPort"},
    {"-h a", "MissingHostOrPort"},
    {"-h '' -p 5900", "MissingHostOrPort"},
    {"-h {23} -p 1", "host={23} port=1"},
    {"-h {24} -p 1", "TooLong host 23"},
    {"-h h -p {7}", "host=h port={7}"},
    {"-h h -p {8}", "TooLong port 7"},
    {"-h h -p 1 -n {63}", "host=h port=1 name={63}"},
    {"-h h -p 1 -n {64}", "TooLong name 63"},
    {"-h h -p 1 -k {23}", "host=h port=1 key={23}"},
    {"-h h -p 1 -k {24}", "TooLong key 23"},
    {"-h h --tls-port 5902 --password-file /p --ca-file=/ca --host-subject CN=x,O=y",
     "host=h tls-port=5902 password-file=/p ca-file=/ca host-subject=CN=x,O=y"},
    {"-h h -p 1 --tls=2", "host=h port=1 tls-port=2"},
    {"-h h --password-file /p", "MissingHostOrPort"},
    {"-h h --tls-port {8}", "TooLong tls-port 7"},
    {"-h h -p 1 --ca-file {4095} --password-file {4095}",
     "host=h port=1 password-file={4095} ca-file={4095}"},
    {"-h h -p 1 --password-file {4096}", "TooLong password-file 4095"},
    {"-h h -p 1 --ca-file {4096}", "TooLong ca-file 4095"},
    {"-h h -p 1 --host-subject {255}", "host=h port=1 host-subject={255}"},
    {"-h h -p 1 --host-subject {256}", "TooLong host-subject 255"},
    {"-h h -p 1 -f --hotkeys release-cursor=ctrl+alt+r,toggle-fullscreen=",
     "host=h port=1 hotkeys=release-cursor=ctrl+alt+r,toggle-fullscreen= full-screen"},
    {"-h h -p 1 --kiosk --kiosk-quit on-disconnect", "host=h port=1 full-screen kiosk kiosk-quit"},
    {"-h h -p 1 --hotkeys release-cursor=shift+f13x", "BadValue hotkeys"},
    {"-h h -p 1 --hotkeys release-cursor=f12+shift", "BadValue hotkeys"},
    {"-h h -p 1 --hotkeys fullscreen=f11", "BadValue hotkeys"},
    {"-h h -p 1 --kiosk-quit always", "BadValue kiosk-quit"},
    {"-h h -p 1 --debug", "host=h port=1 debug"},
    {"-h h -x --vers -p 1", "Version"},
    {"-h h -p 1 --auto-resize never --no-center-click", "host=h port=1 auto-resize-never no-center-click"},
    {"-h h -p 1 --auto=always", "host=h port=1"},
    {"-h h -p 1 --auto-resize sometimes", "BadValue auto-resize"},
    {"-h h -p 1 --usb-filter 3,-1,-1", "BadValue usb-filter"},
    {"-h h -p 1 --usb-redirect-on-connect '0x03,-1,-1,-1,0|x'", "BadValue usb-redirect-on-connect"},
    {"-h h -p 1 --share-cd a --share-cd b --share-cd c --share-cd d --share-cd e", "BadValue share-cd"},
    {"-h h -p 1 --hotkeys smartcard-insert=ctrl+f5,smartcard-remove=",
     "host=h port=1 hotkeys=smartcard-insert=ctrl+f5,smartcard-remove="},
};

// Whether a line holds only our own options (a later start then hands over without building the
// GUI), or words Qt's GUI object might take for its own (it must remove them before we parse).
const std::pair<const char*, bool> kOwnOnlyRows[] = {
    {"-h h -p 1 -k 41 -n Desk --kiosk --hotkeys=menu=f9 --no-c f.vv -", true},
    {"--ho=h --po 1 --name=Desk -n -h", true},
    {"-platform xcb -h h -p 1", false},
    {"-h h -p 1 --display :1", false},
    {"-h h -p 1 --name Desk", false}, // the X11 platform's -name
    {"-p5900 -h h", false},           // "-platform" reads the same way
    {"-h h -p 1 -n -reverse", false},
    {"-h h -p 1 --style=fusion", false},
    {"-h h -p 1 -- f.vv", false},
};

// A command line beside a file F (its lines split at '|'), SPICE_PROXY, and the settings used or the
// error (the scenario test_consoles.py has the rest of the errors, as a user meets them).
const char* const kPve =
    "[virt-viewer]|type=spice|host=pvespiceproxy:5e0e21f3:100:pve::6a5c2f0b9e7d41c3a8f2e6d0b1c4a7e9|"
    "tls-port=61000|password=one-time|ca=-----BEGIN CERTIFICATE-----\\nMIIB\\n-----END "
    "CERTIFICATE-----\\n|host-subject=OU=PVE Cluster Node,O=Proxmox,CN=pve|delete-this-file=1|"
    "proxy=http://192.0.2.1:3128|secure-attention=Ctrl+Alt+Ins|release-cursor=Ctrl+Alt+R|"
    "toggle-fullscreen=Shift+F11|title=VM 100 - vm1|enable-usbredir=0|enable-smartcard=1|color-depth=24|"
    "enable-usb-autoshare=0|usb-filter=0x08,-1,-1,-1,1|usb-redirect-on-connect=bad|smartcard-insert=Shift+F5";
const char* const kConnectionRows[][4] = {
    {"F", kPve, "",
     "host=pvespiceproxy:5e0e21f3:100:pve::6a5c2f0b9e7d41c3a8f2e6d0b1c4a7e9 tls=61000 ca=59 subject=OU=PVE "
     "Cluster Node,O=Proxmox,CN=pve proxy=http://192.0.2.1:3128 secure=all title=VM 100 - vm1 "
     "keys=Ctrl+Alt+RShift+F11Ctrl+Alt+InsShift+F5 ignored=color-depth "
     "devices=nousb;noauto;filter:0x08,-1,-1,-1,1 from F;onconnect:bad;smartcard password delete"},
    {"-h h -p 2 --tls-port 3 -n T --ca-file /c --host-subject S --proxy p:9 --usb-filter -1,-1,-1,-1,0 "
     "--no-microphone --share-cd /a.iso --share-dir-ro /d --smartcard-db /db --smartcard-certs x,y,z F",
     kPve, "ftp://unused",
     "host=h port=2 tls=3 cafile=/c subject=S proxy=p:9 secure=all title=T "
     "keys=Ctrl+Alt+RShift+F11Ctrl+Alt+InsShift+F5 ignored=color-depth "
     "devices=nousb;noauto;filter:-1,-1,-1,-1,0;onconnect:bad;smartcard;db:/db;certs:x,y,z;cd:/a.iso;dir:/"
     "d(ro);"
     "nomic password delete"},
    {"-h h -p 1", "", "ftp://checked-where-used", "host=h port=1 proxy=ftp://checked-where-used environment"},
    {"-h h -p 1 --proxy http://u:pw@p:9", "", "",
     "--proxy holds a user name and password, which every user could read in the process list; give them "
     "in the connection file's proxy key or in SPICE_PROXY instead"},
    {"F",
     "# oVirt| [virt-viewer] |type = spice|host=10.0.0.5|port=5900|tls-port=5901|fullscreen=true|"
     "secure-channels=main;inputs;display;cursor;playback|[ovirt]|host=engine",
     "http://e:1",
     "host=10.0.0.5 port=5900 tls=5901 proxy=http://e:1 secure=main,inputs,display,cursor,playback "
     "ignored=[ovirt] fullscreen environment"},
    {"spice://[::1]?port=1&tls-port=2", "", "", "host=::1 port=1 tls=2"},
    {"spice+tls://h.example:5901", "", "", "host=h.example tls=5901 secure=all"},
    {"-p 7 spice://h", "", "", "host=h port=7"},
    {"spice://h:1?password=x", "", "",
     "The address holds a password, which every user could read in the process "
     "list; give it with --password-file instead"},
    {"spice://h?tls-port=0", "", "",
     "The address is not usable: tls-port \"0\" is not a port number (1 to 65535)"},
    {"spice://h", "", "", "The address: no port or tls-port"},
    {"F", "[virt-viewer]|host=h|port=1", "", "F: no type=spice in the [virt-viewer] group"},
    {"F", "[virt-viewer]|type=spice|host=h|tls-port=x1", "",
     "F line 4: tls-port \"x1\" is not a port number (1 to 65535)"},
    {"F", "[virt-viewer]|type=spice|host=h|port=1|password=caf\xe9", "",
     "F line 5: not UTF-8 text (save the file as UTF-8)"},
    {"F", "[virt-viewer]|fullscreen=yes", "", "F line 2: fullscreen \"yes\" is neither 0 nor 1"},
    {"F", "[virt-viewer|type=spice", "", "F line 1: a group name without its closing ]"},
    {"F", "[virt-viewer]|password", "", "F line 2: not a KEY=VALUE line"},

};

// A proxy as written and the form the library is given, or the start of why it is refused (never with
// its password).
const std::pair<const char*, const char*> kProxies[] = {
    {"127.0.0.1:3128", "http://127.0.0.1:3128"},
    {"proxy:3128", "http://proxy:3128"}, // the library alone takes "proxy" for a scheme and goes direct
    {" http://proxy ", "http://proxy:3128"},
    {"HTTPS://[::1]/", "https://[::1]:3129"},
    {"u:p w/%41ä@h:1", "http://u:p w/%41ä@h:1"}, // as written: the library decodes nothing
    {"http://u:p@ss@h:1", "proxy \"http://h:1\" has a user name or password with @ or :"},
    {"http://u:p:ss@h:1", "proxy \"http://h:1\" has a user name or password with @ or :"},
    {"http://u@h:1", "proxy \"http://h:1\" has a user name without a password"},
    {"socks5://h:1", "proxy \"socks5://h:1\" is not an http:// or https:// address"},
    {"http://h:1/x", "proxy \"http://h:1/x\" is not [http://][USER:PASSWORD@]HOST[:PORT]"},
    {"h:99999", "proxy \"h:99999\" has no port number (1 to 65535) after its host"},
    {"http://:1", "proxy \"http://:1\" names no host"},
};

// The device settings that differ from the defaults.
QString devices(const ConnectionSettings& s)
{
    QStringList d;
    const auto add = [&d](bool on, const QString& text) {
        if (on)
            d << text;
    };
    add(!s.usb, "nousb");
    add(!s.usbAutoShare, "noauto");
    add(!s.usbFilter.isEmpty(),
        "filter:" + s.usbFilter + (s.usbFilterSource.isEmpty() ? "" : " from " + s.usbFilterSource));
    add(!s.usbRedirectOnConnect.isEmpty(), "onconnect:" + s.usbRedirectOnConnect);
    add(s.smartcard, "smartcard");
    add(!s.smartcardDb.isEmpty(), "db:" + s.smartcardDb);
    add(!s.smartcardCerts.isEmpty(), "certs:" + s.smartcardCerts.join(','));
    add(!s.sharedCds.isEmpty(), "cd:" + s.sharedCds.join(','));
    add(!s.sharedDir.isEmpty(), "dir:" + s.sharedDir + (s.sharedDirReadOnly ? "(ro)" : ""));
    add(!s.microphone, "nomic");
    return d.join(';');
}

QString expand(QString text)
{
    for (QRegularExpressionMatch m; (m = QRegularExpression("\\{(\\d+)\\}").match(text)).hasMatch();)
        text.replace(m.capturedStart(), m.capturedLength(), QString(m.captured(1).toInt(), 'x'));
    return text;
}

// A peer writing each piece once the handler has read the one before, then staying until hung up on.
// A foreign one is nobody: a thread may take other credentials for itself.
void peer(const QString& name, const QByteArray& pieces, bool foreign)
{
    if (foreign && (syscall(SYS_setresgid, -1, 65534, -1) || syscall(SYS_setresuid, -1, 65534, -1)))
        return;
    QLocalSocket socket;
    socket.connectToServer(name);
    for (const QByteArray& piece : pieces.split('|')) {
        socket.write(piece);
        socket.waitForBytesWritten();
        for (int unread = 1; ioctl(socket.socketDescriptor(), SIOCOUTQ, &unread) == 0 && unread > 0;)
            usleep(1000);
    }
    socket.waitForReadyRead(10000); // the handler never writes: this waits for it to hang up
}

// The handler acts on this test, which records what it is asked to do.
class TestStartup : public QObject, ActivationTarget
{
    Q_OBJECT
    QStringList calls;
    int checkReconnect() override
    {
        calls << "checkReconnect";
        return 1;
    }
    void onReactivate(QString key) override { calls << "onReactivate:" + key; }
    bool isWindowVisible() const override { return false; }
    void showWindow() override { calls << "show"; }
    unsigned long windowId() override { return 0; }
    bool useConnection(const ConnectionSettings& to, HandOver kind) override
    {
        calls << (kind == HandOver::NewServer ? "switch:" : "settings:") + to.describe();
        return true;
    }

private Q_SLOTS:
    void init()
    {
        calls.clear();
        currentConnection() = ConnectionSettings();
        currentConnection().host = "h";
        currentConnection().port = "1";
        currentConnection().password = "old";
    }
    // What a peer sends, in pieces split at '|', and what the handler makes of it.
    void activation_data()
    {
        QTest::addColumn<QByteArray>("pieces");
        QTest::addColumn<QString>("calls");
        const auto row = [](const char* name, const QByteArray& pieces, const char* calls) {
            QTest::newRow(name) << pieces << QString(calls);
        };
        row("key", R"({"command":"activate","key":"41"})", "checkReconnect onReactivate:41");
        row("no key", R"({"command":"activate","key":""})", "checkReconnect show");
        row("split", R"({"command":"acti|vate","key":"41"})", "checkReconnect onReactivate:41");
        row("split in a character", "{\"command\":\"activate\",\"key\":\"\xc3|\xa9\"}",
            "checkReconnect onReactivate:é");
        row("wrong case", R"({"command":"Activate","key":"41"})", "");
        row("array", R"(["activate","41"])", "");
        row("not JSON", "activate 41", "");
        row("escaped NUL", R"({"command":"activate\u0000","key":"41"})", "");
        row("NUL byte", QByteArray("{\"command\":\"activate\0\"}", 24), "");
        row("numeric key", R"({"command":"activate","key":65})", "checkReconnect show");
        row("oversized", R"({"command":"activate","key":")" + QByteArray(70000, '4') + R"("})", "");
        row("silent", "", "");
        row("another user", R"({"command":"activate","key":"41"})", ""); // sent as nobody
        row("another server", R"({"command":"activate","key":"41","connection":{"host":"h","tls-port":"2"}})",
            "switch:h TLS port 2 onReactivate:41 show");
        // The running server is h port 1 with the password "old".
        const auto handed = [](const char* connection) {
            return R"({"command":"activate","key":"41","connection":{"host":"h","port":"1",)" +
                   QByteArray(connection) + "}}";
        };
        row("other password", handed(R"("password":"new","password-given":true)"),
            "settings:h port 1 onReactivate:41");
        row("a launcher's key", handed(R"("password":"","proxy":"p:3","proxy-from-environment":true)"),
            "checkReconnect onReactivate:41");
        row("same password", handed(R"("password":"old","password-given":true)"),
            "checkReconnect onReactivate:41");
        row("another server, unusable SPICE_PROXY",
            R"({"command":"activate","key":"41","connection":{"host":"x","port":"1","proxy":"ftp://p"}})",
            "checkReconnect onReactivate:41");
    }
    void activation()
    {
        QFETCH(QByteArray, pieces);
        const bool foreign = QTest::currentDataTag() == QByteArray("another user");
        if (foreign && geteuid() != 0)
            QSKIP("only root can connect as another user");
        QLocalServer server;
        server.setSocketOptions(QLocalServer::WorldAccessOption); // the handler alone must refuse
        QVERIFY(server.listen(QDir::temp().filePath("test_activation-%1").arg(getpid())));
        std::thread(peer, server.fullServerName(), pieces, foreign).detach(); // gone once hung up on
        QVERIFY(server.waitForNewConnection(5000));
        ActivationHandler(&server, this)();
        // Nothing is waited for on the spot: the connection is read from the event loop.
        const auto connections = [&] { return server.findChildren<QLocalSocket*>(); };
        QCOMPARE(connections().size() == 1 && connections()[0]->state() == QLocalSocket::ConnectedState,
                 !foreign);
        QVERIFY(calls.isEmpty());
        QTRY_VERIFY(connections().isEmpty()); // bounded: every connection ends
        QTEST(calls.join(' '), "calls");
    }
    static ParseResult parseLine(const QString& line, AppArgs& a)
    {
        QByteArrayList words = ("spice-client " + expand(line)).trimmed().toUtf8().split(' ');
        std::vector<char*> argv;
        for (QByteArray& word : words)
            argv.push_back(word == "''" ? word.data() + 2 : word.data()); // '' is an empty word
        argv.push_back(nullptr);
        memset(&a, 'x', sizeof a); // a record used before: nothing of it may remain
        return parseArgs(int(words.size()), argv.data(), a);
    }
    void connection()
    {
        for (const auto& [line, file, environment, expected] : kConnectionRows) {
            AppArgs a;
            parseLine(line, a);                // its status is the parse test's
            const char* const contents = file; // a lambda may not capture a structured binding
            ConnectionInput input{&a, a.source, environment,
                                  [&](const QString& path, QByteArray& bytes, QString& why) {
                                      bytes = QByteArray(contents).replace('|', '\n');
                                      why = "No such file or directory";
                                      return path == "F";
                                  }};
            ResolvedConnection r;
            QString got;
            if (resolveConnection(input, r, got)) {
                const ConnectionSettings& s = r.settings;
                QStringList f; // the fields set
                f << "host=" + s.host << "port=" + s.port << "tls=" + s.tlsPort << "cafile=" + s.caFile
                  << "ca=" + QString::number(s.ca.size()) << "subject=" + s.hostSubject << "proxy=" + s.proxy
                  << "secure=" + s.secureChannels.join(',') << "title=" + s.title
                  << "keys=" + s.releaseCursor + s.toggleFullscreen + s.secureAttention + s.smartcardInsert +
                         s.smartcardRemove
                  << "ignored=" + r.ignored.join(',') << "devices=" + devices(s)
                  << (s.password == "one-time" ? "password" : "") << (s.fullscreen ? "fullscreen" : "")
                  << (r.deleteThisFile && r.file == "F" ? "delete" : "")
                  << (s.proxyFromEnvironment ? "environment" : "");
                got = f.filter(QRegularExpression("^[a-z]+(=[^0]|$)")).join(' ');
            }
            QCOMPARE(QString(line) + ": " + got, QString(line) + ": " + expected);
        }
        // A megabyte of keys nobody knows: a few are named, the rest counted.
        QByteArray big = "[virt-viewer]\ntype=spice\n";
        int keys = 0;
        while (big.size() < (1 << 20) - 16)
            big += "k" + QByteArray::number(keys++) + "=\n";
        ConnectionFile file;
        QString error;
        QVERIFY(parseConnectionFile(big + "k0=\n[x]\n", "F", file, error));
        QCOMPARE(file.ignored.size(), kMaxIgnoredNamed);
        QCOMPARE(file.moreIgnored, keys + 1 - kMaxIgnoredNamed);
    }
    void proxies()
    {
        for (const auto& [proxy, expected] : kProxies) {
            ProxyAddress address;
            QString got;
            const QString want = QString::fromUtf8(expected);
            got = parseProxy(QString::fromUtf8(proxy), address, got) ? address.text(true)
                                                                     : got.left(want.size());
            QCOMPARE(QString(proxy) + ": " + got, QString(proxy) + ": " + want);
        }
    }
    void ownOptionsOnly()
    {
        for (const auto& [line, expected] : kOwnOnlyRows) {
            QByteArrayList words = QByteArray("spice-client ").append(line).split(' ');
            std::vector<char*> argv;
            for (QByteArray& word : words)
                argv.push_back(word.data());
            QVERIFY2(onlyOwnOptions(int(argv.size()), argv.data()) == expected, line);
        }
    }
    void parse()
    {
        for (const auto& [line, expected] : kRows) {
            AppArgs a;
            const ParseResult r = parseLine(line, a);
            QString got =
                QStringList{"", "Usage", "MissingHostOrPort", "TooLong", "BadValue", "Version"}[r.status];
            if (r.status == ParseResult::BadValue)
                got += QString(" ") + r.tooLongOption.c_str();
            if (r.status == ParseResult::TooLong)
                got += QString(" %1 %2").arg(r.tooLongOption.c_str()).arg(r.tooLongLimit);
            if (r.status == ParseResult::Ok) { // the fields set; a new option adds its own
                got =
                    QStringList{
                        QString("host=") + a.host,         QString("port=") + a.port,
                        QString("name=") + a.name,         QString("key=") + a.key,
                        QString("tls-port=") + a.tls_port, QString("password-file=") + a.password_file,
                        QString("ca-file=") + a.ca_file,   QString("host-subject=") + a.host_subject,
                        QString("proxy=") + a.proxy,       QString("source=") + a.source,
                        QString("hotkeys=") + a.hotkeys}
                        .filter(QRegularExpression("=."))
                        .join(' ');
                for (const auto& [set, flag] : {std::pair(a.full_screen, " full-screen"),
                                                {a.kiosk, " kiosk"},
                                                {a.kiosk_quit, " kiosk-quit"},
                                                {a.debug, " debug"},
                                                {a.auto_resize_never, " auto-resize-never"},
                                                {a.no_center_click, " no-center-click"}})
                    got += set ? flag : "";
            }
            QCOMPARE(QString(line) + ": " + got, QString(line) + ": " + expand(expected));
        }
    }
    void hotkeys()
    {
        Hotkeys keys;
        QString error;
        QVERIFY(parseHotkeys("toggle-fullscreen=,release-cursor=Ctrl+Alt+R,secure-attention=Ctrl+Alt+Ins",
                             keys, error));
        QCOMPARE(keys.toggleFullScreen.text() + "|" + keys.releaseCursor.text() + "|" +
                     keys.secureAttention.text() + "|" + keys.menu.text(),
                 QString("|Ctrl+Alt+R|Ctrl+Alt+Insert|Shift+F9"));        // an empty value turns one off
        QVERIFY(!parseHotkeys("menu=shift+f9,menu=ctrl++", keys, error)); // nothing of it is taken
        QCOMPARE(error, QString("unknown key \"\" in \"ctrl++\""));
        QCOMPARE(keys.menu.text(), QString("Shift+F9"));
        // Shift down, F11 (native 95) down, Shift up, F11 repeats and goes up; then F11 alone.
        HotkeyFilter filter;
        bool kept = false;
        QCOMPARE(filter.press(Qt::Key_Shift, Qt::ShiftModifier, 50, false, kept), HotkeyAction::None);
        QVERIFY(!kept);
        QCOMPARE(filter.press(Qt::Key_F11, Qt::ShiftModifier, 95, false, kept),
                 HotkeyAction::ToggleFullScreen);
        QVERIFY(kept && !filter.release(Qt::Key_Shift, 50, false));
        QCOMPARE(filter.press(Qt::Key_F11, Qt::NoModifier, 95, true, kept), HotkeyAction::None);
        QVERIFY(kept && filter.release(Qt::Key_F11, 95, true) && filter.release(Qt::Key_F11, 95, false));
        QCOMPARE(filter.press(Qt::Key_F11, Qt::ControlModifier | Qt::ShiftModifier, 95, false, kept),
                 HotkeyAction::None);
        QVERIFY(!kept && !filter.release(Qt::Key_F11, 95, false));
        // Its releases went elsewhere (the focus moved meanwhile): a new press of its key is a press,
        // of the hotkey again or of the key alone.
        QCOMPARE(filter.press(Qt::Key_F11, Qt::ShiftModifier, 95, false, kept),
                 HotkeyAction::ToggleFullScreen);
        QCOMPARE(filter.press(Qt::Key_F11, Qt::ShiftModifier, 95, false, kept),
                 HotkeyAction::ToggleFullScreen);
        QCOMPARE(filter.press(Qt::Key_F11, Qt::NoModifier, 95, false, kept), HotkeyAction::None);
        QVERIFY(!kept && !filter.release(Qt::Key_F11, 95, false));
        // Every hotkey is kept, whatever the window holds at the time.
        QCOMPARE(filter.press(Qt::Key_F12, Qt::ShiftModifier, 96, false, kept), HotkeyAction::ReleaseCursor);
        QVERIFY(kept && filter.release(Qt::Key_F12, 96, false));
    }
    void logLines()
    {
        {
            CoutCapture quiet; // DEBUG lines may name the user's files: off until asked for
            Logger(DEBUG) << "copying /home/u/secret.pdf";
            QCOMPARE(QString::fromStdString(quiet.text()), QString());
        }
        setLogDebug(true);
        const std::pair<int, QString> levels[] = {{INFO, "INFO"},   {WARN, "WARN"}, {ERROR, "ERROR"},
                                                  {DEBUG, "DEBUG"}, {4, "UNKNOWN"}, {-1, "UNKNOWN"}};
        for (const auto& [level, name] : levels) {
            CoutCapture capture;
            Logger(LogLevel(level)) << "a " << 42 << QString::fromUtf8(" 连接已关闭");
            const QString text = QString::fromStdString(capture.text());
            QCOMPARE(text.mid(19), QString(" [%1] a 42 连接已关闭\n").arg(name));
            const QDateTime at = QDateTime::fromString(text.left(19), "yyyy-MM-dd HH:mm:ss"); // local time
            QVERIFY2(qAbs(at.toSecsSinceEpoch() - QDateTime::currentSecsSinceEpoch()) <= 2, qPrintable(text));
        }
    }
};

QTEST_GUILESS_MAIN(TestStartup)
#include "test_startup.moc"
