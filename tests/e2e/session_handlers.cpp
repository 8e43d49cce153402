// The session layer in-process against a real SPICE server (port in SPICE_TEST_PORT): after any
// number of re-creations the session carries exactly one of each handler, the old session is
// really released, and the record's channels always belong to the current session.
#include "agent.h"
#include "args.h"
#include "session_viewer.h"

#include <QtTest>
#include <cstring>

namespace
{

struct StateViewer : SessionViewer {
    void setTitle(const QString& t) override { title = t; }
    void screenSettingsChanged(void* pixels, ScreenInitInfo&) override { surfaces += pixels ? 1 : 0; }
    void updateImage(Rect*) override { ++updates; }
    void clearDisplay() override {}
    void closeWindow() override {}

    QString title;
    bool open = false;
    int surfaces = 0;
    int updates = 0;
};

// How many handlers of `signal` on `instance` call `function` with `data`, counted by GObject.
guint handlerCount(gpointer instance, const char* signal, gpointer function, gpointer data)
{
    guint id = g_signal_lookup(signal, G_OBJECT_TYPE(instance));
    auto mask = GSignalMatchType(G_SIGNAL_MATCH_ID | G_SIGNAL_MATCH_FUNC | G_SIGNAL_MATCH_DATA);
    guint count = g_signal_handlers_block_matched(instance, mask, id, 0, nullptr, function, data);
    g_signal_handlers_unblock_matched(instance, mask, id, 0, nullptr, function, data);
    return count;
}

SpiceSession* sessionOf(gpointer channel)
{
    SpiceSession* session = nullptr;
    g_object_get(channel, "spice-session", &session, nullptr);
    if (session)
        g_object_unref(session); // still owned by the channel
    return session;
}

} // namespace

class TestSessionHandlers : public QObject
{
    Q_OBJECT

    StateViewer viewer;
    SpiceAgent agent;

    void checkWiring()
    {
        SpiceSession* session = agent.session.get();
        QVERIFY(session);
        QCOMPARE(handlerCount(session, "channel-new", (gpointer)channel_new, &agent), 1u);
        QCOMPARE(handlerCount(session, "channel-destroy", (gpointer)channel_destroy, &agent), 1u);
        QCOMPARE(handlerCount(session, "disconnected", (gpointer)connection_destroy, &agent), 1u);
    }

    void waitForChannels()
    {
        QTRY_VERIFY_WITH_TIMEOUT(viewer.open, 20000);
        QTRY_VERIFY_WITH_TIMEOUT(agent.inputs && agent.display && agent.main && agent.shm_data, 20000);
        SpiceSession* session = agent.session.get();
        QCOMPARE(sessionOf(agent.inputs), session);
        QCOMPARE(sessionOf(agent.display), session);
        QCOMPARE(sessionOf(agent.main), session);
    }

private Q_SLOTS:
    void initTestCase()
    {
        QByteArray port = qgetenv("SPICE_TEST_PORT");
        if (port.isEmpty())
            QSKIP("SPICE_TEST_PORT is not set");
        AppArgs* args = get_args();
        std::memset(args, 0, sizeof *args);
        std::strcpy(args->host, "127.0.0.1");
        std::strncpy(args->port, port.constData(), sizeof args->port - 1);
        std::strcpy(args->name, "Session probe");
        agent.viewer = &viewer;
    }

    void connectsAndWiresOnce()
    {
        QCOMPARE(connect_spice(&agent), 0);
        QCOMPARE(viewer.title, QString("Session probe"));
        checkWiring();
        waitForChannels();
    }

    void everyReconnectionReplacesTheSession()
    {
        for (int round = 0; round < 6; ++round) {
            gpointer old = agent.session.get();
            bool oldReleased = false;
            g_object_weak_ref(
                G_OBJECT(old), [](gpointer flag, GObject*) { *static_cast<bool*>(flag) = true; },
                &oldReleased);
            viewer.open = false;
            const int surfacesBefore = viewer.surfaces;

            QCOMPARE(reconnect_spice(&agent), 1);
            QVERIFY(agent.session.get() != old);
            checkWiring();
            // Until the new session announces them, the record names no channel at all.
            QVERIFY(!agent.inputs || sessionOf(agent.inputs) == agent.session.get());
            waitForChannels();
            QTRY_VERIFY_WITH_TIMEOUT(viewer.surfaces > surfacesBefore, 20000);
            // Nothing keeps the old session alive: it is finalized, not leaked.
            QTRY_VERIFY_WITH_TIMEOUT(oldReleased, 20000);
        }
    }
};

QTEST_GUILESS_MAIN(TestSessionHandlers)
#include "session_handlers.moc"
