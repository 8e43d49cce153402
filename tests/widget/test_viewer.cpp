// The window and the session layer together, on real library sessions and channels whose links are
// held by a server that accepts and never answers; channel events are raised by the test, and the
// inputs channel's senders are the seam that drops calls until the channel has opened.
#include "agent.h"
#include "args.h"
#include "capture.h"
#include "inputs_seam.h"
#include "spiceviewer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QtTest>
#include <vector>

namespace
{

void raise(gpointer channel, SpiceChannelEvent event)
{
    g_signal_emit_by_name(channel, "channel-event", event);
}

// Handlers on `instance` with the agent as data: counted by blocking them, then let go.
guint handlersFor(gpointer instance, SpiceAgent* agent)
{
    const guint count =
        g_signal_handlers_block_matched(instance, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, agent);
    g_signal_handlers_unblock_matched(instance, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, agent);
    return count;
}

} // namespace

class TestViewer : public QObject
{
    Q_OBJECT

    QTcpServer silent; // takes every link and never answers it, or ends it at once
    bool hold = true;
    std::vector<QTcpSocket*> held;

    void startArgs(const char* key)
    {
        const QByteArray port = QByteArray::number(silent.serverPort());
        std::vector<const char*> argv{"spice-client", "-h", "127.0.0.1", "-p", port.constData()};
        if (key)
            argv.insert(argv.end(), {"-k", key});
        QCOMPARE(parse_args(int(argv.size()), const_cast<char**>(argv.data()), *get_args()).status,
                 ParseResult::Ok);
    }
    SpiceChannel* addChannel(SpiceAgent& agent, int type)
    {
        // The session announces it at once: the session layer's own handler takes it.
        return spice_channel_new(agent.session.get(), type, 0);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QVERIFY(silent.listen(QHostAddress::LocalHost));
        connect(&silent, &QTcpServer::newConnection, this, [this] {
            while (QTcpSocket* s = silent.nextPendingConnection())
                hold ? held.push_back(s) : s->abort();
        });
    }
    void init() { seam::sent.clear(), seam::dropped.clear(); }

    // Everything meant for the server waits, in order, until the inputs channel is open.
    void inputWaitsForTheInputsChannel()
    {
        startArgs("41");
        CoutCapture log;
        SpiceAgent agent; // outlives the window, which releases its block
        SpiceViewer viewer;
        agent.viewer = &viewer, viewer.agent = &agent;
        QCOMPARE(connect_spice(&agent), 0);
        QCOMPARE(session_phase(&agent), SessionPhase::Connecting);
        // Activations while it comes up leave the session alone.
        SpiceSession* first = agent.session.get();
        for (int i = 0; i < 4; ++i)
            QCOMPARE(viewer.checkReconnect(), 1);
        QCOMPARE(agent.session.get(), first);
        SpiceChannel* display = addChannel(agent, SPICE_CHANNEL_DISPLAY);
        std::vector<uint32_t> pixels(64 * 48, 0xff336699);
        display_create(SPICE_DISPLAY_CHANNEL(display), 32, 64, 48, 256, 0, pixels.data(), &agent);
        display_update(SPICE_DISPLAY_CHANNEL(display), 0, 0, 64, 48, &agent);
        viewer.onReactivate("1000030");
        QTest::keyClick(&viewer, Qt::Key_B);
        raise(agent.main, SPICE_CHANNEL_OPENED);
        QCOMPARE(session_phase(&agent), SessionPhase::Open);
        QVERIFY(seam::sent.isEmpty());
        QVERIFY(log.text().find("sendKey success") == std::string::npos);

        SpiceChannel* inputs = addChannel(agent, SPICE_CHANNEL_INPUTS);
        raise(inputs, SPICE_CHANNEL_OPENED);
        QCOMPARE(session_phase(&agent), SessionPhase::InputsReady);
        const QStringList expected{"position(32,24,0,0)", "button_press(1,1)", "button_release(1,1)",
                                   "key_press(0x1e)",     "key_release(0x1e)", "key_press(0x3b)",
                                   "key_release(0x3b)",   "key_press(0x30)",   "key_release(0x30)"};
        QCOMPARE(seam::sent, expected);
        QVERIFY(seam::dropped.isEmpty());
        QCOMPARE(log.text().find("sendKey success 41 65") < log.text().find("sendKey success 1000030"), true);

        // A key held when the channel goes is not released into a closed channel on hide.
        QTest::keyPress(&viewer, Qt::Key_C);
        raise(inputs, SPICE_CHANNEL_CLOSED);
        viewer.show(), viewer.hide();
        QVERIFY(seam::dropped.isEmpty());
        QVERIFY(agent.pressed.isEmpty());

        // Bounded: the oldest waiting inputs go, with a warning.
        for (int i = 0; i < kMaxPendingInput; ++i)
            viewer.sendKey("41");
        QCOMPARE(int(agent.pending.size()), kMaxPendingInput);
        QVERIFY(log.text().find("[WARN] Too much input waiting") != std::string::npos);
        agent.pending.clear();
        g_object_unref(display), g_object_unref(inputs);
    }

    // A session whose server ends the link fails; the next activation replaces it, and nothing of
    // the old one stays behind.
    void reconnectDropsTheOldSession()
    {
        startArgs(nullptr);
        hold = false;
        for (QTcpSocket* s : std::exchange(held, {}))
            s->abort();
        CoutCapture log;
        SpiceAgent agent;
        SpiceViewer viewer;
        agent.viewer = &viewer, viewer.agent = &agent;
        QCOMPARE(connect_spice(&agent), 0);
        viewer.onReactivate("41"); // waits for the session that will work
        for (int cycle = 0; cycle < 3; ++cycle) {
            SpiceSession* old = agent.session.get();
            SpiceChannel* oldMain = SPICE_CHANNEL(g_object_ref(agent.main));
            bool finalized = false;
            g_object_weak_ref(
                G_OBJECT(old), [](gpointer done, GObject*) { *static_cast<bool*>(done) = true; }, &finalized);
            QTRY_COMPARE(session_phase(&agent), SessionPhase::Failed);
            viewer.show();
            QCOMPARE(viewer.checkReconnect(), 1);
            QVERIFY(agent.session.get() != old);
            QCOMPARE(handlersFor(agent.session.get(), &agent), 3u);
            QCOMPARE(handlersFor(oldMain, &agent), 0u);
            raise(oldMain, SPICE_CHANNEL_CLOSED); // late, from the old session: changes nothing
            QVERIFY(viewer.isVisible());
            QCOMPARE(session_phase(&agent), SessionPhase::Connecting);
            g_object_unref(oldMain);
            QTRY_VERIFY(finalized);
        }
        QCOMPARE(int(agent.pending.size()), 2); // the handed-over key, press and release
        QCOMPARE(QString::fromStdString(log.text()).count("Key 41 now waits for the new session"), 3);
        agent.pending.clear();
    }
};

QTEST_MAIN(TestViewer)
#include "test_viewer.moc"
