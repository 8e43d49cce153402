// Start-up: the command line, the log line's form and the activation message of later starts.
#include "args.h"
#include "capture.h"
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
    {"-h a stray -p 1", "Usage"},
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
};

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

private Q_SLOTS:
    void init() { calls.clear(); }
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
    void parse()
    {
        for (const auto& [line, expected] : kRows) {
            QByteArrayList words = ("spice-client " + expand(line)).trimmed().toUtf8().split(' ');
            std::vector<char*> argv;
            for (QByteArray& word : words)
                argv.push_back(word == "''" ? word.data() + 2 : word.data()); // '' is an empty word
            argv.push_back(nullptr);
            AppArgs a;
            memset(&a, 'x', sizeof a); // a record used before: nothing of it may remain
            const ParseResult r = parseArgs(int(words.size()), argv.data(), a);
            QString got = QStringList{"", "Usage", "MissingHostOrPort", "TooLong", "BadValue"}[r.status];
            if (r.status == ParseResult::BadValue)
                got += QString(" ") + r.tooLongOption.c_str();
            if (r.status == ParseResult::TooLong)
                got += QString(" %1 %2").arg(r.tooLongOption.c_str()).arg(r.tooLongLimit);
            if (r.status == ParseResult::Ok) // the fields set; a new option adds its own
                got =
                    QStringList{
                        QString("host=") + a.host,         QString("port=") + a.port,
                        QString("name=") + a.name,         QString("key=") + a.key,
                        QString("tls-port=") + a.tls_port, QString("password-file=") + a.password_file,
                        QString("ca-file=") + a.ca_file,   QString("host-subject=") + a.host_subject,
                        QString("hotkeys=") + a.hotkeys}
                        .filter(QRegularExpression("=."))
                        .join(' ');
            for (const auto& [set, flag] : {std::pair(a.full_screen, " full-screen"),
                                            {a.kiosk, " kiosk"},
                                            {a.kiosk_quit, " kiosk-quit"}})
                got += r.status == ParseResult::Ok && set ? flag : "";
            QCOMPARE(QString(line) + ": " + got, QString(line) + ": " + expand(expected));
        }
    }
    void hotkeys()
    {
        Hotkeys keys;
        QString error;
        QVERIFY(parseHotkeys("toggle-fullscreen=,release-cursor=Ctrl+Alt+R", keys, error));
        QCOMPARE(keys.toggleFullScreen.text() + "|" + keys.releaseCursor.text() + "|" +
                     keys.secureAttention.text() + "|" + keys.menu.text(),
                 QString("|Ctrl+Alt+R|Ctrl+Alt+End|Shift+F9"));           // an empty value turns one off
        QVERIFY(!parseHotkeys("menu=shift+f9,menu=ctrl++", keys, error)); // nothing of it is taken
        QCOMPARE(error, QString("unknown key \"\" in \"ctrl++\""));
        QCOMPARE(keys.menu.text(), QString("Shift+F9"));
        // Shift down, F11 (native 95) down, Shift up, F11 repeats and goes up; then F11 alone.
        HotkeyFilter filter;
        bool kept = false;
        QCOMPARE(filter.press(Qt::Key_Shift, Qt::ShiftModifier, 50, kept), HotkeyAction::None);
        QVERIFY(!kept);
        QCOMPARE(filter.press(Qt::Key_F11, Qt::ShiftModifier, 95, kept), HotkeyAction::ToggleFullScreen);
        QVERIFY(kept && !filter.release(Qt::Key_Shift, 50, false));
        QCOMPARE(filter.press(Qt::Key_F11, Qt::NoModifier, 95, kept), HotkeyAction::None);
        QVERIFY(kept && filter.release(Qt::Key_F11, 95, true) && filter.release(Qt::Key_F11, 95, false));
        QCOMPARE(filter.press(Qt::Key_F11, Qt::ControlModifier | Qt::ShiftModifier, 95, kept),
                 HotkeyAction::None);
        QVERIFY(!kept && !filter.release(Qt::Key_F11, 95, false));
        filter.setActive(HotkeyAction::ReleaseCursor, false); // nothing held: Shift+F12 is the guest's
        QCOMPARE(filter.press(Qt::Key_F12, Qt::ShiftModifier, 96, kept), HotkeyAction::None);
        QVERIFY(!kept);
        // The menu's keys as a PC keyboard sends them.
        QStringList menu;
        for (const KeyMenuEntry& entry : localDesktopKeys()) {
            QStringList codes;
            for (uint code : entry.scancodes)
                codes << QString::number(code, 16);
            menu << entry.label + ":" + codes.join(' ');
        }
        QCOMPARE(menu.mid(0, 3) + menu.mid(11),
                 QStringList({"Ctrl+Alt+Del:1d 38 153", "Ctrl+Alt+Backspace:1d 38 e", "Ctrl+Alt+F1:1d 38 3b",
                              "Ctrl+Alt+F10:1d 38 44", "Ctrl+Alt+F11:1d 38 57", "Ctrl+Alt+F12:1d 38 58",
                              "Print Screen:137"}));
    }
    void logLines()
    {
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
