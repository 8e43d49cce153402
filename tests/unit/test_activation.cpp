#include "instance.h"

#include <QLocalServer>
#include <QtTest>
#include <X11/Xlib.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>

struct RecordingTarget : ActivationTarget {
    int checkReconnect() override { return calls << "checkReconnect", 1; }
    void onReactivate(QString key) override { calls << "onReactivate " + key; }
    bool isWindowVisible() const override { return false; }
    void showWindow() override { calls << "show"; }
    unsigned long windowId() override { return 0; }
    QStringList calls;
};

// A peer in its own process (as `uid` unless -1) writing each piece once the handler has read the
// one before, then staying until the handler hangs up.
[[noreturn]] void peer(const QByteArray& path, const QByteArrayList& pieces, int uid)
{
    alarm(10);
    sockaddr_un address{AF_UNIX, {}};
    path.toStdString().copy(address.sun_path, sizeof address.sun_path - 1);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if ((uid >= 0 && (setgid(uid) || setuid(uid))) || connect(sock, (sockaddr*)&address, sizeof address))
        _exit(2);
    for (const QByteArray& piece : pieces) {
        send(sock, piece.constData(), size_t(piece.size()), MSG_NOSIGNAL);
        for (int unread = 1; ioctl(sock, SIOCOUTQ, &unread) == 0 && unread > 0;)
            usleep(1000);
    }
    for (char byte; read(sock, &byte, 1) > 0;) {
    }
    _exit(0);
}

class TestActivation : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void initTestCase()
    {
        XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    } // as Qt's xcb does

    void messageRoundTrip()
    {
        for (QByteArray key : {QByteArray("41"), QByteArray(""), QByteArray("é\"\\{")})
            QCOMPARE(parseActivation(packArguments(key.data())), std::optional(QString::fromUtf8(key)));
        QCOMPARE(parseActivation(packArguments(nullptr)), std::optional(QString()));
    }

    void handler_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QStringList>("calls");
        QTest::addColumn<int>("uid");
        const QByteArray key = R"({"command":"activate","key":"41"})";
        const QStringList acted{"checkReconnect", "onReactivate 41"}, shown{"checkReconnect", "show"}, none;
        QTest::newRow("key") << QByteArrayList{key} << acted << -1;
        QTest::newRow("no key") << QByteArrayList{R"({"command":"activate","key":""})"} << shown << -1;
        QTest::newRow("numeric key") << QByteArrayList{R"({"command":"activate","key":65})"} << shown << -1;
        QTest::newRow("split") << QByteArrayList{key.left(12), key.mid(12)} << acted << -1;
        QTest::newRow("split in a character")
            << QByteArrayList{"{\"command\":\"activate\",\"key\":\"\xc3", "\xa9\"}"}
            << QStringList{"checkReconnect", "onReactivate é"} << -1;
        QTest::newRow("wrong case") << QByteArrayList{QByteArray(key).replace('a', 'A')} << none << -1;
        QTest::newRow("array") << QByteArrayList{R"(["activate","41"])"} << none << -1;
        QTest::newRow("not JSON") << QByteArrayList{"activate 41"} << none << -1;
        QTest::newRow("escaped NUL") << QByteArrayList{QByteArray(key).replace("te\"", "te\\u0000\"")} << none
                                     << -1;
        QTest::newRow("NUL byte") << QByteArrayList{QByteArray(key).replace("te\"", QByteArray("te\0\"", 4))}
                                  << none << -1;
        QTest::newRow("oversized") << QByteArrayList{QByteArray(key).replace("41", QByteArray(70000, '4'))}
                                   << none << -1;
        QTest::newRow("silent") << QByteArrayList{} << none << -1;
        QTest::newRow("another user") << QByteArrayList{key} << none << 65534;
    }
    void handler()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QStringList, calls);
        QFETCH(int, uid);
        if (uid >= 0 && geteuid() != 0)
            QSKIP("only root can connect as another user");
        QTemporaryDir dir;
        QFile::setPermissions(dir.path(),
                              QFile::permissions(dir.path()) | QFile::ReadOther | QFile::ExeOther);
        QLocalServer server;
        server.setSocketOptions(QLocalServer::WorldAccessOption); // the handler alone must refuse
        QVERIFY(server.listen(dir.filePath("activation")));
        RecordingTarget target;
        qint64 handlerMs = -1;
        connect(&server, &QLocalServer::newConnection, this, [&] {
            QElapsedTimer clock;
            clock.start();
            ActivationHandler(&server, &target)();
            handlerMs = clock.elapsed();
        });
        const pid_t child = fork();
        if (child == 0)
            peer(QFile::encodeName(server.fullServerName()), pieces, uid);
        int status = -1;
        QTRY_VERIFY_WITH_TIMEOUT(handlerMs >= 0, 5000);
        QCOMPARE(waitpid(child, &status, 0), child);
        QCOMPARE(status, 0);
        QCOMPARE(target.calls, calls);
        QVERIFY2(handlerMs <= kActivationWaitMs + 200,
                 qPrintable(QString::number(handlerMs))); // bounded wait
    }

    // Activation is asked of the window manager through the root window, for readable windows only.
    void onlyReadableWindowsAreActivated()
    {
        Display* display = XOpenDisplay(nullptr);
        QVERIFY(display);
        const Window root = DefaultRootWindow(display);
        XSelectInput(display, root, SubstructureNotifyMask);
        const Window live = XCreateSimpleWindow(display, root, 0, 0, 9, 9, 0, 0, 0);
        const Window gone = XCreateSimpleWindow(display, root, 0, 0, 9, 9, 0, 0, 0);
        XDestroyWindow(display, gone);
        XSync(display, False);
        for (Window window : {gone, Window(0x7ffffff0), live}) // each call is done with the server on return
            activate_window(int(window));
        const Atom active = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        XEvent event{};
        bool got = false; // the check takes the event off the queue, the macro checks twice
        QTRY_VERIFY_WITH_TIMEOUT(got || (got = XCheckTypedEvent(display, ClientMessage, &event)), 5000);
        QCOMPARE(event.xclient.message_type, active);
        QCOMPARE(event.xclient.window, live);
        QCOMPARE(event.xclient.data.l[0], 2L); // as a pager asks: not refused as focus stealing
        XCloseDisplay(display);
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "test_activation.moc"
