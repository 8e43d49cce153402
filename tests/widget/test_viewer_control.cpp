// The window's own controls: key injection from text, the connection state, re-creating the
// session, and the window's life. The inputs-channel senders are recorders defined here.
#include "agent.h"
#include "args.h"
#include "capture.h"
#include "input.h"
#include "inputs_seam.h"
#include "spiceviewer.h"

#include <QCloseEvent>
#include <QFrame>
#include <QRandomGenerator>
#include <QtTest>
#include <cstring>

namespace
{

QStringList sent;

void record(SpiceInputsChannel*, const QString& call)
{
    sent << call;
}

} // namespace

class TestViewerControl : public QObject
{
    Q_OBJECT

    char fakeChannels[2] = {};

    void wireInputs(SpiceAgent& agent)
    {
        agent.display = reinterpret_cast<SpiceDisplayChannel*>(&fakeChannels[0]);
        agent.inputs = reinterpret_cast<SpiceInputsChannel*>(&fakeChannels[1]);
    }

private Q_SLOTS:
    void initTestCase()
    {
        setInputsRecorder(record);
        initScanCodeMap(scanCodeHash);
        initKeypadScanCodeMap(keypadScanCodeHash);
    }
    void init() { sent.clear(); }

    void sendKeyText_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QStringList>("keys");
        QTest::addColumn<QStringList>("log");
        QTest::newRow("F1") << "1000030" << QStringList{"key_press(0x3b)", "key_release(0x3b)"}
                            << QStringList{"[INFO] sendKey 1000030",
                                           "[INFO] sendKey success 1000030 16777264"};
        QTest::newRow("A") << "41" << QStringList{"key_press(0x1e)", "key_release(0x1e)"}
                           << QStringList{"[INFO] sendKey 41", "[INFO] sendKey success 41 65"};
        QTest::newRow("F1 is hexadecimal 241")
            << "F1" << QStringList{"key_press(0x0)", "key_release(0x0)"}
            << QStringList{"[INFO] sendKey F1", "[INFO] sendKey success F1 241"};
        QTest::newRow("not hexadecimal")
            << "G" << QStringList{}
            << QStringList{"[INFO] sendKey G", "[ERROR] Failed to convert key string: G"};
        QTest::newRow("empty") << "" << QStringList{}
                               << QStringList{"[INFO] sendKey ", "[INFO] sendKey empty"};
        QTest::newRow("above 7FFFFFFF")
            << "80000000" << QStringList{"key_press(0x0)", "key_release(0x0)"}
            << QStringList{"[INFO] sendKey 80000000", "[INFO] sendKey success 80000000 -2147483648"};
        QTest::newRow("too wide") << "100000000" << QStringList{}
                                  << QStringList{"[INFO] sendKey 100000000",
                                                 "[ERROR] Failed to convert key string: 100000000"};
    }
    void sendKeyText()
    {
        QFETCH(QString, text);
        QFETCH(QStringList, keys);
        QFETCH(QStringList, log);
        SpiceViewer viewer;
        SpiceAgent agent;
        wireInputs(agent);
        viewer.agent = &agent;
        CoutCapture capture;
        viewer.sendKey(text);
        QCOMPARE(sent, keys);
        QCOMPARE(capture.lines(), log);
    }

    // Whatever text arrives from a second start, one key goes out pressed and released, or nothing.
    void sendKeyWithRandomText()
    {
        SpiceViewer viewer;
        SpiceAgent agent;
        wireInputs(agent);
        viewer.agent = &agent;
        QRandomGenerator random(77);
        const QString alphabet = QStringLiteral("0123456789abcdefABCDEFxX+- g\u00e9\u4e2d\t");
        CoutCapture capture;
        for (int round = 0; round < 5000; ++round) {
            QString text;
            for (int n = int(random.bounded(12)); n > 0; --n)
                text += alphabet[int(random.bounded(alphabet.size()))];
            sent.clear();
            viewer.sendKey(text);
            bool ok = false;
            text.toUInt(&ok, 16);
            if (ok && !text.isEmpty()) {
                QCOMPARE(sent.size(), 2);
                QVERIFY(sent[0].startsWith("key_press(") && sent[1].startsWith("key_release("));
                QCOMPARE(sent[0].mid(10), sent[1].mid(12));
            } else {
                QVERIFY2(sent.isEmpty(), qPrintable(text));
            }
        }
    }

    void noAgentMeansNothingSent()
    {
        SpiceViewer viewer;
        CoutCapture capture;
        viewer.sendKey("41");
        QVERIFY(sent.isEmpty());
        QCOMPARE(viewer.checkReconnect(), 0);
        QCOMPARE(capture.lines().mid(2),
                 QStringList({"[INFO] Checking SPICE connection status",
                              "[INFO] SPICE connection is inactive, attempting to reconnect",
                              "[ERROR] SPICE agent not initialized"}));
    }

    void checkReconnectFollowsTheConnectionState()
    {
        SpiceViewer viewer;
        SpiceAgent agent;
        viewer.agent = &agent;
        std::vector<uint8_t> pixels(16 * 16 * 4, 0x7f);
        agent.viewer = &viewer;
        display_create(reinterpret_cast<SpiceDisplayChannel*>(&fakeChannels[0]), 32, 16, 16, 64, 0,
                       pixels.data(), &agent);
        display_update(reinterpret_cast<SpiceDisplayChannel*>(&fakeChannels[0]), 0, 0, 16, 16, &agent);
        QVERIFY(viewer.hasPicture());

        viewer.UpdateSpiceState(true);
        {
            CoutCapture capture;
            QCOMPARE(viewer.checkReconnect(), 1);
            QCOMPARE(capture.lines(), QStringList({"[INFO] Checking SPICE connection status",
                                                   "[INFO] SPICE connection is active"}));
            QVERIFY(viewer.hasPicture()); // a live connection keeps its picture
        }
        viewer.UpdateSpiceState(false);
        {
            CoutCapture capture;
            // No session was ever made, so the reconnection fails: the picture is cleared first all the same.
            QCOMPARE(viewer.checkReconnect(), 0);
            QCOMPARE(capture.lines(),
                     QStringList({"[INFO] Checking SPICE connection status",
                                  "[INFO] SPICE connection is inactive, attempting to reconnect",
                                  "[INFO] Clearing display content",
                                  "[INFO] Attempting to reconnect SPICE session",
                                  "[ERROR] SPICE session not initialized", "[INFO] Reconnect result: 0"}));
            QVERIFY(!viewer.hasPicture());
            QVERIFY(!viewer.spiceConnected());
        }
        agent.viewer = nullptr;
    }

    void commandLineKeyGoesOutOnceWithTheFirstPicture()
    {
        std::strcpy(get_args()->key, "1000030");
        SpiceViewer viewer;
        SpiceAgent agent;
        agent.viewer = &viewer;
        viewer.agent = &agent;
        auto* channel = reinterpret_cast<SpiceDisplayChannel*>(&fakeChannels[0]);
        std::vector<uint8_t> pixels(32 * 32 * 4, 0x40);
        CoutCapture capture;
        display_create(channel, 32, 32, 32, 128, 0, pixels.data(), &agent);
        display_update(channel, 0, 0, 32, 32, &agent);
        QVERIFY(sent.filter("(0x3b)").isEmpty()); // no inputs channel yet: the key waits
        agent.inputs = reinterpret_cast<SpiceInputsChannel*>(&fakeChannels[1]);
        display_update(channel, 0, 0, 4, 4, &agent);
        QCOMPARE(sent.filter("(0x3b)"), QStringList({"key_press(0x3b)", "key_release(0x3b)"}));
        // Later updates, a new surface and a cleared picture never send it again.
        display_update(channel, 4, 4, 4, 4, &agent);
        viewer.clearDisplay();
        display_create(channel, 32, 32, 32, 128, 0, pixels.data(), &agent);
        display_update(channel, 0, 0, 32, 32, &agent);
        display_update(channel, 0, 0, 8, 8, &agent);
        QCOMPARE(sent.filter("(0x3b)").size(), 2);
        std::memset(get_args()->key, 0, sizeof get_args()->key);
        agent.viewer = nullptr;
    }

    void reactivationKeyWaitsForASessionThatCanTakeIt()
    {
        SpiceViewer viewer;
        SpiceAgent agent;
        agent.viewer = &viewer;
        viewer.agent = &agent;
        viewer.onReactivate("41"); // no session yet
        QVERIFY(sent.isEmpty());
        auto* channel = reinterpret_cast<SpiceDisplayChannel*>(&fakeChannels[0]);
        std::vector<uint8_t> pixels(8 * 8 * 4);
        wireInputs(agent);
        display_create(channel, 32, 8, 8, 32, 0, pixels.data(), &agent);
        display_update(channel, 0, 0, 8, 8, &agent);
        QCOMPARE(sent.filter("(0x1e)"), QStringList({"key_press(0x1e)", "key_release(0x1e)"}));
        sent.clear();
        viewer.onReactivate("42"); // a working session takes it at once
        QCOMPARE(sent.filter("(0x30)"), QStringList({"key_press(0x30)", "key_release(0x30)"}));
        agent.viewer = nullptr;
    }

    void keysStillGoOutOnASurfaceThatCannotBeShown()
    {
        SpiceViewer viewer;
        SpiceAgent agent;
        agent.viewer = &viewer;
        viewer.agent = &agent;
        viewer.onReactivate("41");
        auto* channel = reinterpret_cast<SpiceDisplayChannel*>(&fakeChannels[0]);
        std::vector<uint8_t> pixels(8 * 8);
        wireInputs(agent);
        CoutCapture capture;
        display_create(channel, 8, 8, 8, 8, 0, pixels.data(), &agent); // an 8-bit surface: shown black
        display_update(channel, 0, 0, 8, 8, &agent);
        QVERIFY(!viewer.hasPicture());
        QCOMPARE(sent.filter("(0x1e)"), QStringList({"key_press(0x1e)", "key_release(0x1e)"}));
        agent.viewer = nullptr;
    }

    void windowBasics()
    {
        SpiceViewer viewer;
        QCOMPARE(viewer.size(), QSize(800, 600));
        QCOMPARE(viewer.windowTitle(), QString("SpiceViewer"));
        QVERIFY(viewer.findChild<QFrame*>());
        QVERIFY(!viewer.findChild<QFrame*>()->isVisible());
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        // A close request only hides the window; the object and the program stay.
        QVERIFY(!viewer.close());
        QVERIFY(!viewer.isVisible());
        viewer.show();
        QVERIFY(viewer.isVisible());
        QCOMPARE(viewer.size(), QSize(800, 600));
        viewer.setTitle("Office");
        QCOMPARE(viewer.windowTitle(), QString("Office"));
    }

    void destroyedBeforeAnySurface()
    {
        SpiceAgent agent;
        {
            SpiceViewer viewer;
            viewer.agent = &agent;
        }
        QVERIFY(!agent.shm_data);
        QCOMPARE(agent.shm_fd, -1);
    }

    void destroyingTheWindowReleasesTheBlockOnce()
    {
        SpiceAgent agent;
        {
            SpiceViewer viewer;
            viewer.agent = &agent;
            agent.viewer = &viewer;
            std::vector<uint8_t> pixels(64 * 64 * 4);
            display_create(reinterpret_cast<SpiceDisplayChannel*>(&fakeChannels[0]), 32, 64, 64, 256, 0,
                           pixels.data(), &agent);
            QVERIFY(agent.shm_data);
            agent.viewer = nullptr;
        }
        QVERIFY(!agent.shm_data);
        QCOMPARE(agent.shm_fd, -1);
    }
};

QTEST_MAIN(TestViewerControl)
#include "test_viewer_control.moc"
