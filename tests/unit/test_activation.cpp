#include "capture.h"
#include "instance.h"

#include <QElapsedTimer>
#include <QJsonDocument>
#include <QLocalServer>
#include <QLocalSocket>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

class RecordingTarget : public ActivationTarget
{
public:
    int checkReconnect() override
    {
        calls << "checkReconnect";
        return 1;
    }
    void onReactivate(QString key) override { calls << "onReactivate " + key; }
    bool isWindowVisible() const override { return visible; }
    void showWindow() override
    {
        calls << "show";
        visible = true;
    }
    unsigned long windowId() override { return 0; }

    QStringList calls;
    bool visible = false;
};

} // namespace

class TestActivation : public QObject
{
    Q_OBJECT

    QTemporaryDir tmp;
    QByteArray oldTmp;

private Q_SLOTS:
    void initTestCase()
    {
        // The server name lives in the temporary directory: keep this run to itself.
        QVERIFY(tmp.isValid());
        qputenv("TMPDIR", tmp.path().toUtf8());
        unsetenv("DISPLAY"); // activate_window must cope without an X server
    }

    void messageIsCompactJsonInOrder()
    {
        char key[] = "1000030";
        QCOMPARE(packArguments(key), QByteArray("{\"command\":\"activate\",\"key\":\"1000030\"}"));
        QByteArray empty = packArguments(nullptr);
        QCOMPARE(empty, QByteArray("{\"command\":\"activate\",\"key\":\"\"}"));
        QCOMPARE(empty.size(), 31);
        char none[] = "";
        QCOMPARE(packArguments(none), empty);
    }

    void parsing_data()
    {
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("actedOn");
        QTest::addColumn<QString>("key");
        QTest::newRow("with key") << QByteArray("{\"command\":\"activate\",\"key\":\"41\"}") << true << "41";
        QTest::newRow("empty key") << QByteArray("{\"command\":\"activate\",\"key\":\"\"}") << true << "";
        QTest::newRow("no key member") << QByteArray("{\"command\":\"activate\"}") << true << "";
        QTest::newRow("numeric key is no key")
            << QByteArray("{\"command\":\"activate\",\"key\":65}") << true << "";
        QTest::newRow("extra members")
            << QByteArray("{\"x\":1,\"command\":\"activate\",\"key\":\"41\",\"y\":[]}") << true << "41";
        QTest::newRow("case differs")
            << QByteArray("{\"command\":\"Activate\",\"key\":\"41\"}") << false << "";
        QTest::newRow("other command") << QByteArray("{\"command\":\"quit\"}") << false << "";
        QTest::newRow("command not a string") << QByteArray("{\"command\":1}") << false << "";
        QTest::newRow("array") << QByteArray("[\"activate\"]") << false << "";
        QTest::newRow("not json") << QByteArray("activate") << false << "";
        QTest::newRow("cut") << QByteArray("{\"command\":\"activ") << false << "";
        QTest::newRow("empty") << QByteArray() << false << "";
    }
    void parsing()
    {
        QFETCH(QByteArray, message);
        QFETCH(bool, actedOn);
        QFETCH(QString, key);
        std::optional<QString> result = parseActivation(message);
        QCOMPARE(result.has_value(), actedOn);
        if (actedOn)
            QCOMPARE(*result, key);
    }

    void randomBytesNeverCrashTheParser()
    {
        QRandomGenerator random(1234);
        const QByteArray valid = "{\"command\":\"activate\",\"key\":\"41\"}";
        int actedOn = 0;
        for (int round = 0; round < 20000; ++round) {
            QByteArray bytes = valid;
            // Mutate a valid message as often as we make noise from scratch.
            if (round % 2) {
                bytes.resize(int(random.bounded(200)));
                for (char& c : bytes)
                    c = char(random.bounded(256));
            } else {
                for (int flips = int(random.bounded(1, 4)); flips > 0; --flips)
                    bytes[int(random.bounded(bytes.size()))] = char(random.bounded(256));
            }
            if (std::optional<QString> key = parseActivation(bytes)) {
                ++actedOn;
                QVERIFY(QJsonDocument::fromJson(bytes).isObject());
            }
        }
        QVERIFY(actedOn < 20000);
    }

    void peerIsOurOwnUser()
    {
        int pair[2];
        QCOMPARE(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        std::optional<uid_t> uid = peerUid(pair[0]);
        QVERIFY(uid.has_value());
        QCOMPARE(*uid, geteuid());
        close(pair[0]);
        close(pair[1]);
        QVERIFY(!peerUid(-1).has_value());
    }

    void handlerActsOnMessages_data()
    {
        QTest::addColumn<QList<QByteArray>>("pieces");
        QTest::addColumn<bool>("visibleBefore");
        QTest::addColumn<QStringList>("calls");
        QTest::newRow("key injects, window untouched")
            << QList<QByteArray>{"{\"command\":\"activate\",\"key\":\"41\"}"} << false
            << QStringList{"checkReconnect", "onReactivate 41"};
        QTest::newRow("no key shows a hidden window")
            << QList<QByteArray>{"{\"command\":\"activate\",\"key\":\"\"}"} << false
            << QStringList{"checkReconnect", "show"};
        QTest::newRow("visible window is not shown again")
            << QList<QByteArray>{"{\"command\":\"activate\",\"key\":\"\"}"} << true
            << QStringList{"checkReconnect"};
        QTest::newRow("message in pieces")
            << QList<QByteArray>{"{\"command\":\"acti", "vate\",\"key\":\"42\"}"} << false
            << QStringList{"checkReconnect", "onReactivate 42"};
        QTest::newRow("wrong command does nothing")
            << QList<QByteArray>{"{\"command\":\"ACTIVATE\",\"key\":\"41\"}"} << false << QStringList{};
        QTest::newRow("not json does nothing") << QList<QByteArray>{"hello"} << false << QStringList{};
        QTest::newRow("silent peer does nothing") << QList<QByteArray>{} << false << QStringList{};
        QTest::newRow("oversized does nothing")
            << QList<QByteArray>{QByteArray("{\"command\":\"activate\",\"key\":\"") + QByteArray(70000, 'a') +
                                 "\"}"}
            << false << QStringList{};
    }
    void handlerActsOnMessages()
    {
        QFETCH(QList<QByteArray>, pieces);
        QFETCH(bool, visibleBefore);
        QFETCH(QStringList, calls);

        QLocalServer server;
        server.setSocketOptions(QLocalServer::UserAccessOption);
        QVERIFY(server.listen(SERVER_NAME));
        RecordingTarget target;
        target.visible = visibleBefore;
        qint64 handlerMs = -1;
        ActivationHandler handler(&server, &target);
        QObject::connect(&server, &QLocalServer::newConnection, &server, [&] {
            QElapsedTimer clock;
            clock.start();
            handler();
            handlerMs = clock.elapsed();
        });

        // The peer writes from a child process so that the handler's blocking wait is real.
        pid_t child = fork();
        if (child == 0) {
            QLocalSocket socket;
            socket.connectToServer(SERVER_NAME);
            if (!socket.waitForConnected(2000))
                _exit(2);
            for (const QByteArray& piece : pieces) {
                socket.write(piece);
                socket.waitForBytesWritten(2000);
                usleep(50 * 1000);
            }
            usleep(800 * 1000); // stay connected past the handler's wait
            _exit(0);
        }
        CoutCapture capture;
        QTRY_VERIFY_WITH_TIMEOUT(handlerMs >= 0, 5000);
        int status = 0;
        waitpid(child, &status, 0);
        QCOMPARE(WEXITSTATUS(status), 0);
        QCOMPARE(target.calls, calls);
        QVERIFY(capture.lines().contains("[INFO] 检测到新的连接请求。"));
        QCOMPARE(capture.lines().contains("[INFO] 收到激活指令，正在激活主窗口。"), !calls.isEmpty());
        // However the peer behaves, the handler never waits much past its bound.
        QVERIFY2(handlerMs <= kActivationWaitMs + 100, QByteArray::number(handlerMs));
    }
};

QTEST_GUILESS_MAIN(TestActivation)
#include "test_activation.moc"
