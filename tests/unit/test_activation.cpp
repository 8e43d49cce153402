#include "instance.h"
#include <QLocalServer>
#include <QLocalSocket>
#include <QtTest>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

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
class TestActivation : public QObject, ActivationTarget
{
    Q_OBJECT
    QStringList calls;
    int checkReconnect() override { return calls << "checkReconnect", 1; }
    void onReactivate(QString key) override { calls << "onReactivate:" + key; }
    bool isWindowVisible() const override { return false; }
    void showWindow() override { calls << "show"; }
    unsigned long windowId() override { return 0; }

private Q_SLOTS:
    void init() { calls.clear(); }
    // What a peer sends, in pieces split at '|', and what the handler makes of it.
    void handler_data()
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
    void handler()
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
        QElapsedTimer clock;
        clock.start();
        ActivationHandler(&server, this)();
        QVERIFY2(clock.elapsed() < 2 * kActivationWaitMs, QByteArray::number(clock.elapsed())); // bounded
        QTEST(calls.join(' '), "calls");
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "test_activation.moc"
