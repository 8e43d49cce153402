// The window and the session together, on real library sessions and channels whose links a server
// of this test holds; channel events are raised by the test. The session runs behind the
// connection process's host and the window talks to it through its client, over a socket pair in
// this process: the protocol carries everything as in the program. The inputs channel's senders
// are recorders that, as the library does, drop every call until the channel has opened.
#include "agent.h"
#include "args.h"
#include "capture.h"
#include "connection_host.h"
#include "connection_process.h"
#include "connection_settings.h"
#include "devicesmenu.h"
#include "hotkeys.h"
#include "keybar.h"
#include "memshare.h"
#include "monitorwindow.h"
#include "session.h"
#include "session_testing.h"
#include "spiceviewer.h"
#include "usb_tree.h"
#include <QClipboard>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QTcpServer>
#include <QtTest>
#include <functional>
#include <random>
#include <set>
#include <sys/socket.h>

namespace seam
{
QStringList sent;                   // calls that would have reached the server
QStringList dropped;                // calls the library would have dropped
std::set<const void*> openChannels; // opened by raise() below, as the library does before its handlers

void record(SpiceInputsChannel* channel, const QString& call)
{
    (openChannels.count(channel) ? sent : dropped) << call;
}
} // namespace seam

// Defined in the executable, these win over the library's senders.
extern "C" {
void spice_inputs_channel_position(SpiceInputsChannel* c, gint x, gint y, gint display, gint state)
{
    seam::record(c, QStringLiteral("position(%1,%2,%3,%4)").arg(x).arg(y).arg(display).arg(state));
}
void spice_inputs_channel_button_press(SpiceInputsChannel* c, gint button, gint state)
{
    seam::record(c, QStringLiteral("button_press(%1,%2)").arg(button).arg(state));
}
void spice_inputs_channel_button_release(SpiceInputsChannel* c, gint button, gint state)
{
    seam::record(c, QStringLiteral("button_release(%1,%2)").arg(button).arg(state));
}
void spice_inputs_channel_key_press(SpiceInputsChannel* c, guint scancode)
{
    seam::record(c, QStringLiteral("key_press(0x%1)").arg(scancode, 0, 16));
}
void spice_inputs_channel_key_release(SpiceInputsChannel* c, guint scancode)
{
    seam::record(c, QStringLiteral("key_release(0x%1)").arg(scancode, 0, 16));
}
}

// The connection process's host and the window's client, joined by a socket pair; or, without the
// host, the test itself speaking for the connection process on that end.
struct Hosted {
    int ends[2] = {-1, -1};
    std::unique_ptr<MessageLink> processEnd;
    std::unique_ptr<ConnectionHost> host;
    SessionClient client;
    std::vector<wire::Message> heard; // what the window sent, when the test speaks for the process
    int said = 0;
    explicit Hosted(bool hosting = true)
    {
        socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends);
        processEnd.reset(new MessageLink(ends[0], wire::Side::Window));
        if (hosting)
            host.reset(new ConnectionHost(*processEnd));
        else
            processEnd->setHandler([this](wire::Message& m) { heard.push_back(std::move(m)); });
        client.attach(ends[1]);
    }
    // As the process: the messages, then a title by which the window tells it took them all; what
    // the window queued meanwhile has run too, as its next turn would run it.
    template <class... M> bool say(M&&... messages)
    {
        const QString mark = QStringLiteral("said %1").arg(++said);
        (processEnd->send(std::forward<M>(messages)), ...);
        processEnd->send(wire::TitleChanged{mark});
        // Woken by the socket, not by polling: thousands of these run in a test.
        QTimer wake;
        wake.start(100);
        QElapsedTimer since;
        since.start();
        while (client.title() != mark && since.elapsed() < 5000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents();
        return client.title() == mark;
    }
    // The session, once the client's start has reached the host.
    Session& session()
    {
        if (!QTest::qWaitFor([this] { return host->session() != nullptr; }))
            qFatal("no session");
        return *host->session();
    }
    SpiceAgent& record() { return SessionTesting::record(session()); }
    // Returns once the host has acted on everything the client sent before: an empty key logs a line.
    void sync(const CoutCapture& log)
    {
        const auto lines = [&log] { return QString::fromStdString(log.text()).count("sendKey empty"); };
        const int before = lines();
        client.injectKey(QString());
        if (!QTest::qWaitFor([&] { return lines() > before; }))
            qFatal("the host did not answer");
    }
};

class TestViewer : public QObject
{
    Q_OBJECT
    static void raise(gpointer channel, SpiceChannelEvent e)
    {
        if (e == SPICE_CHANNEL_OPENED)
            seam::openChannels.insert(channel);
        else
            seam::openChannels.erase(channel);
        g_signal_emit_by_name(channel, "channel-event", e);
    }
    // Handlers on `instance` with the agent as data: counted by blocking them, then let go.
    static guint handlersFor(gpointer instance, SpiceAgent* agent)
    {
        const guint n =
            g_signal_handlers_block_matched(instance, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, agent);
        g_signal_handlers_unblock_matched(instance, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr, agent);
        return n;
    }

    void blocksAndClicks(std::vector<SpiceChannel*>& channels)
    {
        Hosted hosted;
        SpiceViewer viewer;
        viewer.setSession(&hosted.client);
        QVERIFY(hosted.client.start());
        SpiceAgent& agent = hosted.record();
        QVector<QPair<int, SurfacePixels>> others;
        SurfacePixels shown;    // the first monitor's block as the window maps it, held as a window does
        uint32_t lastOfOld = 0; // the old block's last pixel as the new one came
        int otherChanges = 0;
        connect(&hosted.client, &SessionClient::otherSurfaceCreated, this,
                [&](int display, const SurfacePixels& block) {
                    others.append({display, block});
                });
        connect(&hosted.client, &SessionClient::surfaceCreated, this, [&](const SurfacePixels& block) {
            lastOfOld = shown ? reinterpret_cast<const uint32_t*>(shown.get())[47 * 64 + 63] : 0;
            shown = block;
        });
        connect(&hosted.client, &SessionClient::otherSurfaceChanged, this, [&] { ++otherChanges; });
        SpiceChannel* first = spice_channel_new(agent.session.get(), SPICE_CHANNEL_DISPLAY, 0);
        SpiceChannel* second = spice_channel_new(agent.session.get(), SPICE_CHANNEL_DISPLAY, 1);
        std::vector<uint32_t> pixels(64 * 48, 0xff336699), small(32 * 16, 0xff102030);
        // Blocks mapped in this process (descriptors would count the failing links' sockets too).
        const auto blocks = [] {
            QFile maps("/proc/self/maps");
            return maps.open(QIODevice::ReadOnly) ? maps.readAll().count("memfd:sharemem") : -1;
        };
        const int before = blocks();
        display_create(SPICE_DISPLAY_CHANNEL(second), 32, 32, 16, 128, 0, small.data(), &agent);
        display_create(SPICE_DISPLAY_CHANNEL(first), 32, 64, 48, 256, 0, pixels.data(), &agent);
        display_update(SPICE_DISPLAY_CHANNEL(first), 0, 0, 64, 48, &agent);
        display_update(SPICE_DISPLAY_CHANNEL(second), 0, 0, 8, 4, &agent);
        QTRY_COMPARE(otherChanges, 1);
        QCOMPARE(others.size(), 1);
        QCOMPARE(others[0].first, 1);
        // The window's own read-only mappings of the session's blocks.
        const auto* otherBlock = reinterpret_cast<const uint32_t*>(others[0].second.get());
        QVERIFY(otherBlock && shown && shown.get() != agent.shm_data);
        QCOMPARE(otherBlock[3 * 32 + 7], 0xff102030u); // copied into its own block
        QCOMPARE(otherBlock[4 * 32], 0u);
        QCOMPARE(blocks(), before + 4); // each mapped by the session and by the window
        // A resize: a new block; the window's mapping of the old one whole until it let go of it.
        const void* old = shown.get();
        display_create(SPICE_DISPLAY_CHANNEL(first), 32, 64, 40, 256, 0, pixels.data(), &agent);
        QTRY_VERIFY(shown.get() != old);
        QCOMPARE(lastOfOld, 0xff336699u);
        QTRY_COMPARE(blocks(), before + 4);
        // Input goes out: one click, the first picture's; a position on the second display.
        seam::sent.clear();
        raise(agent.main, SPICE_CHANNEL_OPENED);
        SpiceChannel* inputs = spice_channel_new(agent.session.get(), SPICE_CHANNEL_INPUTS, 0);
        raise(inputs, SPICE_CHANNEL_OPENED);
        hosted.client.pointerAt(QPoint(5, 6), 1);
        QTRY_COMPARE(seam::sent.join(' '),
                     "position(32,24,0,0) button_press(1,1) button_release(1,1) position(5,6,1,0)");
        // The session's own reconnection after a drop: its first picture gets no click.
        hosted.session().setReconnectOnDrop(true);
        SpiceSession* dropped = agent.session.get();
        raise(agent.main, SPICE_CHANNEL_CLOSED);
        QTRY_VERIFY_WITH_TIMEOUT(agent.session.get() != dropped, 3000);
        SpiceChannel* again = spice_channel_new(agent.session.get(), SPICE_CHANNEL_DISPLAY, 0);
        display_create(SPICE_DISPLAY_CHANNEL(again), 32, 64, 48, 256, 0, pixels.data(), &agent);
        QCOMPARE(int(agent.pending.size()), 0);
        channels = {first, second, inputs, again};
    }

    // A surface of one colour in a block of its own, as the process makes one; this process keeps no
    // mapping of it: the blocks mapped here are the window's.
    static wire::SurfaceCreated surfaceOf(uint32_t display, uint32_t flags, int width, int height,
                                          uint32_t colour, int pixelFormat = 32, int padding = 0)
    {
        const int bytes = pixelFormat == 16 || pixelFormat == 80 ? 2 : 4;
        wire::SurfaceCreated s;
        s.surface = display, s.flags = flags, s.width = width, s.height = height;
        s.stride = width * bytes + padding, s.format = bytes * 8, s.pixelFormat = pixelFormat;
        const size_t size = size_t(s.stride) * size_t(height);
        int fd = -1;
        auto* block = static_cast<unsigned char*>(create_memshare(long(size), &fd));
        for (size_t i = 0; i < size; ++i)
            block[i] = uint8_t(colour >> (8 * (i % 4)));
        free_memshare(block, size);
        wire::sealSurfaceBlock(fd);
        s.block = wire::UniqueFd(fd);
        return s;
    }
    static int mappedBlocks()
    {
        QFile maps("/proc/self/maps");
        return maps.open(QIODevice::ReadOnly) ? maps.readAll().count("memfd:sharemem") : -1;
    }
    // Every window of the viewer painted now; what each monitor window shows at its centre, by the
    // guest monitor's id.
    static QMap<int, QRgb> paintAll(SpiceViewer& viewer)
    {
        QMap<int, QRgb> centres;
        viewer.grab();
        for (QWidget* widget : QApplication::topLevelWidgets())
            if (auto* window = qobject_cast<MonitorWindow*>(widget)) {
                const QImage painted = window->grab().toImage();
                centres.insert(window->monitor().id, painted.pixel(painted.rect().center()));
            }
        return centres;
    }

private Q_SLOTS:
    // Input waits for the inputs channel; a session that fails is replaced by the next activation, and
    // nothing of the old one stays behind.
    void inputWaitsAndReconnectsLeaveNothingBehind()
    {
        QTcpServer server; // holds every link, never answering
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray port = QByteArray::number(server.serverPort());
        const char* argv[] = {"spice-client", "-h", "127.0.0.1", "-p", port.constData(), "-k", "41"};
        QCOMPARE(parseArgs(7, const_cast<char**>(argv), *get_args()).status, ParseResult::Ok);
        currentConnection().host = "127.0.0.1";
        currentConnection().port = port;
        CoutCapture log;
        Hosted hosted; // outlives the window, which shows its blocks
        SpiceViewer viewer;
        viewer.setSession(&hosted.client);
        QVERIFY(hosted.client.start());
        SpiceAgent& agent = hosted.record();
        QCOMPARE(sessionPhase(&agent), SessionPhase::Connecting);
        // Activations while it comes up leave the session alone.
        SpiceSession* first = agent.session.get();
        for (int i = 0; i < 4; ++i)
            QCOMPARE(viewer.checkReconnect(), 1);
        hosted.sync(log);
        QCOMPARE(QString::fromStdString(log.text()).count("SPICE session is still connecting; left alone"),
                 4);
        QCOMPARE(agent.session.get(), first);
        // The session announces new channels at once: the session layer's own handler takes them.
        SpiceChannel* display = spice_channel_new(agent.session.get(), SPICE_CHANNEL_DISPLAY, 1);
        std::vector<uint32_t> pixels(64 * 48, 0xff336699);
        display_create(SPICE_DISPLAY_CHANNEL(display), 32, 64, 48, 256, 0, pixels.data(), &agent);
        display_update(SPICE_DISPLAY_CHANNEL(display), 0, 0, 64, 48, &agent);
        // A second display announced later: positions still name the display shown.
        SpiceChannel* other = spice_channel_new(agent.session.get(), SPICE_CHANNEL_DISPLAY, 2);
        viewer.onReactivate("1000030");
        QTest::keyClick(&viewer, Qt::Key_B);
        // A key pressed while input waits, then the window hidden: its release waits behind it.
        viewer.show();
        QTest::keyPress(&viewer, Qt::Key_D);
        viewer.hide();
        hosted.sync(log);
        raise(agent.main, SPICE_CHANNEL_OPENED);
        QCOMPARE(sessionPhase(&agent), SessionPhase::Open);
        QVERIFY(seam::sent.isEmpty());
        QVERIFY(log.text().find("sendKey success") == std::string::npos);
        // Once the inputs channel opens, all goes out in order: the centre click, -k, the handed-over key, B.
        SpiceChannel* inputs = spice_channel_new(agent.session.get(), SPICE_CHANNEL_INPUTS, 0);
        raise(inputs, SPICE_CHANNEL_OPENED);
        QCOMPARE(sessionPhase(&agent), SessionPhase::InputsReady);
        QCOMPARE(seam::sent.join(' '),
                 "position(32,24,1,0) button_press(1,1) button_release(1,1) key_press(0x1e) "
                 "key_release(0x1e) key_press(0x3b) key_release(0x3b) key_press(0x30) "
                 "key_release(0x30) key_press(0x20) key_release(0x20)");
        QVERIFY(seam::dropped.isEmpty());
        QVERIFY(log.text().find("sendKey success 41 65") < log.text().find("sendKey success 1000030"));
        // Modifiers added for a shortcut go with its key, whatever its release carries and whether
        // the user let them go first; none goes out twice.
        seam::sent.clear();
        const auto key = [&](int qtKey, Qt::KeyboardModifiers modifiers, bool press) {
            hosted.session().key(KeyInput{0, qtKey, false, uint32_t(modifiers)}, press);
        };
        key(Qt::Key_R, Qt::MetaModifier, true);
        key(Qt::Key_R, Qt::NoModifier, false); // Meta's release was kept by the desktop
        key(Qt::Key_R, Qt::MetaModifier, true);
        key(Qt::Key_Meta, Qt::NoModifier, false);
        key(Qt::Key_R, Qt::NoModifier, false);
        key(Qt::Key_Delete, Qt::ControlModifier | Qt::AltModifier, true);
        key(Qt::Key_Delete, Qt::ControlModifier | Qt::AltModifier, false);
        QCOMPARE(seam::sent.join(' '),
                 "key_press(0x15b) key_press(0x13) key_release(0x13) key_release(0x15b) "
                 "key_press(0x15b) key_press(0x13) key_release(0x15b) key_release(0x13) "
                 "key_press(0x1d) key_press(0x38) key_press(0x153) key_release(0x153) key_release(0x38) "
                 "key_release(0x1d)");
        QVERIFY(agent.pressed.isEmpty());
        // A hotkey's own key is never sent: Ctrl+Alt+End sends Ctrl+Alt+Del. The menu's Print Screen.
        seam::sent.clear();
        QTest::keyClick(&viewer, Qt::Key_End, Qt::ControlModifier | Qt::AltModifier);
        hosted.client.sendScancodes(localDesktopKeys().constLast().scancodes);
        QTRY_COMPARE(seam::sent.join(' '),
                     "key_press(0x1d) key_press(0x38) key_press(0x1d) key_press(0x38) "
                     "key_press(0x153) key_release(0x153) key_release(0x38) key_release(0x1d) "
                     "key_press(0x137) key_release(0x137)");
        // A key held when the channel goes is not released into a closed channel on hide.
        QTest::keyPress(&viewer, Qt::Key_C);
        QTRY_VERIFY(seam::sent.contains("key_press(0x2e)"));
        raise(inputs, SPICE_CHANNEL_CLOSED);
        viewer.show();
        viewer.hide();
        hosted.sync(log);
        QVERIFY(seam::dropped.isEmpty());
        QVERIFY(agent.pressed.isEmpty());
        // Bounded: the oldest waiting inputs go, with a warning.
        for (int i = 0; i < kMaxPendingInput; ++i)
            viewer.sendKey("41");
        hosted.sync(log);
        QCOMPARE(int(agent.pending.size()), kMaxPendingInput);
        QVERIFY(log.text().find("[WARN] Too much input waiting") != std::string::npos);
        agent.pending.clear();
        g_object_unref(display);
        g_object_unref(other);
        g_object_unref(inputs);

        // The server ends its links and refuses new ones: each session fails, the next start replaces it.
        server.close();
        viewer.onReactivate("41"); // waits for the session that will work
        for (int cycle = 0; cycle < 3; ++cycle) {
            SpiceSession* old = agent.session.get();
            SpiceChannel* oldMain = SPICE_CHANNEL(g_object_ref(agent.main));
            bool finalized = false;
            g_object_weak_ref(
                G_OBJECT(old), [](gpointer done, GObject*) { *static_cast<bool*>(done) = true; }, &finalized);
            QTRY_COMPARE(sessionPhase(&agent), SessionPhase::Failed);
            viewer.show();
            QCOMPARE(viewer.checkReconnect(), 1);
            QTRY_VERIFY(agent.session.get() != old);
            QCOMPARE(handlersFor(agent.session.get(), &agent), 3u);
            QCOMPARE(handlersFor(oldMain, &agent) + handlersFor(old, &agent), 0u);
            raise(oldMain, SPICE_CHANNEL_CLOSED); // late, from the old session: changes nothing
            hosted.sync(log);
            QVERIFY(viewer.isVisible());
            QVERIFY(sessionPhase(&agent) != SessionPhase::Closed); // connecting, or refused by now
            g_object_unref(oldMain);
            QTRY_VERIFY(finalized);
        }
        QCOMPARE(int(agent.pending.size()), 2); // the handed-over key, press and release
        QCOMPARE(QString::fromStdString(log.text()).count("Key 41 now waits for the new session"), 3);
        // Each re-creation says it started (the server's refusal shows later); none while connecting.
        QCOMPARE(QString::fromStdString(log.text()).count("SPICE session reconnected successfully\n"), 3);
        QCOMPARE(QString::fromStdString(log.text()).count("Reconnect result: "), 3);
        QCOMPARE(QString::fromStdString(log.text()).count("Reconnect result: 1\n"), 3);
        agent.pending.clear();
        // Retrying on its own (a kiosk), each retry says so; a surface refused on the way is no
        // picture: the wait still grows. A session that failed before it was told to retry (a
        // kiosk's first connection fails before its window is up) starts retrying then.
        QTRY_COMPARE(sessionPhase(&agent), SessionPhase::Failed);
        QString words; // the session's own; the window adds its sentences
        connect(&hosted.client, &SessionClient::connectionError, this,
                [&](const QString& text) { words = text; });
        const size_t retrying = log.text().size();
        hosted.session().setReconnectOnDrop(true);
        QTRY_VERIFY(log.text().find("No connection; retry 1 in 1000 ms") != std::string::npos);
        SpiceChannel* refused = spice_channel_new(agent.session.get(), SPICE_CHANNEL_DISPLAY, 0);
        display_create(SPICE_DISPLAY_CHANNEL(refused), 32, 64, 48, 16, 0, pixels.data(), &agent);
        QTRY_VERIFY(log.text().find("No connection; retry 2 in 2000 ms") != std::string::npos);
        QVERIFY(log.text().find("Retry 1: connecting to 127.0.0.1 port " + port.toStdString()) !=
                std::string::npos);
        QVERIFY(log.text().find("reconnected successfully", retrying) == std::string::npos);
        QTRY_COMPARE(words, "Cannot connect to 127.0.0.1 port " + port + ": connection refused");
        g_object_unref(refused);
    }
    // Each display channel's surface in a block of its own; a replaced block stays readable until the
    // window has let go of it; the centre click only for the first picture after a start, not after
    // a resize or the session's own reconnection; positions name the display channel they are on.
    void surfacesBlocksAndClicks()
    {
        QTcpServer server;
        QVERIFY(server.listen(QHostAddress::LocalHost));
        const QByteArray port = QByteArray::number(server.serverPort());
        const char* argv[] = {"spice-client", "-h", "127.0.0.1", "-p", port.constData()};
        QCOMPARE(parseArgs(5, const_cast<char**>(argv), *get_args()).status, ParseResult::Ok);
        // The channels go after the session, as the library's do.
        std::vector<SpiceChannel*> channels;
        blocksAndClicks(channels);
        for (SpiceChannel* channel : channels)
            g_object_unref(channel);
    }
    // A window the user sized keeps its size, even when the news of its own fitting comes in the same
    // batch as the user's resize (a busy machine): Qt then resizes the widget once, with the event of
    // the fitting.
    void userSizeWinsOverLateFitNews()
    {
        SessionClient client;
        SpiceViewer viewer;
        viewer.setSession(&client);
        viewer.show();
        QVERIFY(QTest::qWaitForWindowExposed(&viewer));
        Q_EMIT client.followsWindowChanged(true);
        const auto guestAt = [](int w, int h) {
            return QVector<GuestMonitor>{{0, 0, QRect(0, 0, w, h), -1}};
        };
        Q_EMIT client.guestMonitorsChanged(guestAt(640, 480)); // the window fits the guest at once
        QCOMPARE(viewer.size(), QSize(640, 480));
        viewer.windowHandle()->resize(700, 500); // by the user, before the fitting's news came
        QTRY_COMPARE(viewer.size(), QSize(700, 500));
        Q_EMIT client.guestMonitorsChanged(guestAt(600, 400));
        QCOMPARE(viewer.size(), QSize(700, 500));
    }
    // A connection process that sends what the window cannot accept (this test started again as one
    // that breaks the protocol as TEST_CHILD says) is ended with one ERROR and replaced, at the next
    // start, by the window's ways to try again, or by itself; nothing of it stays in the window, whose
    // words say only that the connection broke.
    void aProcessBreakingTheProtocolIsEndedAndReplaced()
    {
        CoutCapture log;
        SessionClient client;
        SpiceViewer viewer;
        viewer.setSession(&client);
        QSignalSpy closed(&client, &SessionClient::closed);
        const auto errors = [&log] { return QString::fromStdString(log.text()).count("[ERROR]"); };
        auto* button = viewer.findChild<QPushButton*>("tryAgain");
        QMenu* menu = viewer.findChild<KeyBar*>()->menu();
        QAction* entry = nullptr;
        for (QAction* action : menu->actions())
            if (action->text() == "Try again")
                entry = action;
        QVERIFY(entry);
        const std::function<void()> ways[] = {[&] { QVERIFY(client.start()); },
                                              [&] { QTest::mouseClick(button, Qt::LeftButton); },
                                              [&] { QTest::keyClick(&viewer, Qt::Key_Return); },
                                              [&] {
                                                  Q_EMIT menu->aboutToShow();
                                                  QVERIFY(entry->isVisible());
                                                  entry->trigger();
                                              }};
        QStringList descriptors;
        const char* faults[] = {"random", "short block", "lying length", "random"};
        for (int i = 0; i < 4; ++i) {
            qputenv("TEST_CHILD", faults[i]);
            if (i == 1) // after the first, which sets up what the process keeps for good
                descriptors = openDescriptors();
            viewer.show(); // hidden by the end of the last process
            QCOMPARE(button->isVisible(), i > 0);
            ways[i]();
            QKeyEvent press(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0, 0, "a");
            QKeyEvent repeat(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, 38, 0, 0, "a", true);
            if (i == 0) // held while the process ends: its repeats are not this session's
                QApplication::sendEvent(&viewer, &press);
            QTRY_COMPARE(closed.count(), i + 1);
            QApplication::sendEvent(&viewer, &repeat);
            QVERIFY(!client.keyHeld(keyInput(repeat)));
            QCOMPARE(QString::fromStdString(log.text())
                         .count("[ERROR] The connection process sent a message the window cannot accept ("),
                     i + 1);
            QCOMPARE(viewer.shownWords(),
                     "The connection to the remote machine broke.\nPress Enter or choose Try again.");
            QCOMPARE(errors(), i + 1);
        }
        QCOMPARE(descriptorsLeftSince(descriptors), QStringList());
        // A kiosk's: the next one comes by itself.
        client.setReconnectOnDrop(true);
        client.checkReconnect();
        QTRY_COMPARE(errors(), 5);
        qputenv("TEST_CHILD", "well-behaved");
        QTRY_VERIFY_WITH_TIMEOUT(client.title() == "well-behaved", 5000);
        QCOMPARE(errors(), 5);
        QVERIFY(log.text().find("A new connection process in 1000 ms") != std::string::npos);
        qunsetenv("TEST_CHILD");
    }
    // Each window paints from a block for as long as it shows it, whichever display is the first and
    // however surfaces come, are replaced and go; each monitor window shows its own surface's part.
    void windowsHoldTheBlocksTheyPaint()
    {
        Hosted child(false);
        SpiceViewer viewer;
        viewer.setSession(&child.client);
        viewer.show();
        using wire::SurfaceCreated;
        const auto monitor = [](uint32_t id, uint32_t display, int x) {
            return wire::Monitor{id, display, {x, 0, 32, 16}, -1};
        };
        const QRgb a = 0xff102030, b = 0xff405060, c = 0xff708090, d = 0xffa0b0c0, e = 0xffd0e0f0;
        struct Step {
            const char* what;
            std::function<wire::Message()> message;
            QMap<int, QRgb> shown; // by monitor
        };
        const Step steps[] = {
            {"the first surface", [&] { return surfaceOf(0, SurfaceCreated::First, 64, 16, a); }, {}},
            {"another display's", [&] { return surfaceOf(1, 0, 32, 16, b); }, {}},
            {"monitors on both",
             [&] {
                 return wire::MonitorsChanged{{monitor(0, 0, 0), monitor(1, 0, 32), monitor(2, 1, 0)}};
             },
             {{1, a}, {2, b}}},
            {"display 1 becomes the first",
             [&] { return surfaceOf(1, SurfaceCreated::First, 32, 16, c); },
             {{1, a}, {2, c}}},
            {"a change on display 0",
             [] {
                 return wire::SurfaceChanged{0, {{0, 0, 64, 16}}};
             },
             {{1, a}, {2, c}}},
            {"display 0 the first again",
             [&] { return surfaceOf(0, SurfaceCreated::First, 64, 16, d); },
             {{1, d}, {2, c}}},
            {"display 1 replaced", [&] { return surfaceOf(1, 0, 32, 16, e); }, {{1, d}, {2, e}}},
            {"monitors swap displays",
             [&] {
                 return wire::MonitorsChanged{{monitor(0, 0, 0), monitor(1, 1, 0), monitor(2, 0, 32)}};
             },
             {{1, e}, {2, d}}},
            {"display 1 gone", [] { return wire::SurfaceGone{1}; }, {{1, 0xff000000}, {2, d}}},
            {"display 1 again, as the first",
             [&] { return surfaceOf(1, SurfaceCreated::First, 32, 16, a); },
             {{1, a}, {2, d}}},
            {"display 0 gone", [] { return wire::SurfaceGone{0}; }, {{1, a}, {2, 0xff000000}}},
        };
        for (const Step& step : steps) {
            QVERIFY2(child.say(step.message()), step.what);
            const QMap<int, QRgb> centres = paintAll(viewer);
            for (auto it = step.shown.begin(); it != step.shown.end(); ++it)
                QVERIFY2(centres.value(it.key()) == it.value(),
                         qPrintable(QStringLiteral("%1: monitor %2 shows %3")
                                        .arg(step.what)
                                        .arg(it.key())
                                        .arg(centres.value(it.key()), 0, 16)));
        }
        // A list that names a monitor twice makes one window of it (beside the one of the monitor
        // just turned off).
        const auto windows = [] {
            const QWidgetList all = QApplication::topLevelWidgets();
            return std::count_if(all.begin(), all.end(),
                                 [](QWidget* w) { return qobject_cast<MonitorWindow*>(w); });
        };
        QCOMPARE(windows(), 2);
        QVERIFY(child.say(wire::MonitorsChanged{{monitor(0, 1, 0), monitor(1, 1, 0), monitor(1, 1, 0)}}));
        QCOMPARE(windows(), 2);
    }
    // While no window is shown, the window shares no clipboard, whatever the process asks or offers:
    // its requests get nothing, its offers stay out, and what the viewer put on the local clipboard
    // goes without the process's word. Shown again, requests are answered.
    void noClipboardWhileNoWindowIsShown()
    {
        Hosted child(false);
        SpiceViewer viewer;
        viewer.setSession(&child.client);
        QClipboard* local = QGuiApplication::clipboard();
        const auto answer = [&]() -> QByteArray {
            child.heard.clear();
            const auto data = [&] {
                for (const wire::Message& m : child.heard)
                    if (auto* d = std::get_if<wire::ClipboardData>(&m))
                        return d->data;
                return QByteArray("(none)");
            };
            child.say(wire::ClipboardRequest{wire::ClipboardSelection, SharedClipboard::Text});
            return QTest::qWaitFor([&] { return data() != "(none)"; }) ? data() : "(none)";
        };
        const auto offer = [&] {
            return child.say(wire::ClipboardOffer{wire::ClipboardSelection, {SharedClipboard::Text}});
        };
        viewer.show();
        QVERIFY(offer());
        QVERIFY(child.say(wire::ClipboardData{wire::ClipboardSelection, SharedClipboard::Text, "remote"}));
        QCOMPARE(local->text(), "remote");
        viewer.hide();
        QCOMPARE(local->text(), "");
        local->setText("password");
        const QMimeData* copied = local->mimeData();
        QCOMPARE(answer(), "");
        QCOMPARE(answer(), "");
        QVERIFY(offer());
        QCOMPARE(local->mimeData(), copied);
        viewer.show();
        QCOMPARE(answer(), "password");
    }
    // Thousands of short random sequences of what a process may send, each message well formed and
    // true to the ones before it, into the window and its monitor windows, painted after each: all
    // are taken, and once the process is gone the window holds no more descriptors or blocks than
    // before. A failure names its seed.
    void randomTruthfulSequences()
    {
        const QStringList descriptors = openDescriptors();
        const int blocks = mappedBlocks();
        for (uint32_t seed = 1; seed <= 8; ++seed) {
            std::mt19937 random(seed);
            const auto below = [&random](int n) { return int(random() % uint32_t(n)); };
            const auto text = [&](int length) {
                QString words;
                for (int i = below(length + 1); i > 0; --i)
                    words += QChar(below(4) ? 'a' + below(26) : 0x20ac);
                return words;
            };
            QSize known[4]; // what the window was told of displays 0..3
            const auto someDisplay = [&] {
                for (int tries = 0; tries < 8; ++tries)
                    if (const int display = below(4); known[display].isValid())
                        return display;
                return -1;
            };
            const auto inside = [&](const QSize& size) {
                const int x = below(size.width()), y = below(size.height());
                return wire::Rect{x, y, 1 + below(size.width() - x), 1 + below(size.height() - y)};
            };
            const QString types[] = {SharedClipboard::Text, SharedClipboard::Image, "text/html"};
            const int formats[] = {32, 96, 16, 80};
            Hosted child(false);
            QSignalSpy gone(&child.client, &SessionClient::connectionBroke);
            SpiceViewer viewer;
            viewer.setSession(&child.client);
            viewer.show();
            for (int sequence = 0; sequence < 250; ++sequence) {
                for (int n = 1 + below(6); n > 0; --n) {
                    wire::Message m = wire::Ready{};
                    const int display = someDisplay();
                    switch (below(21)) {
                    case 0:
                    case 1: {
                        const int made = below(4);
                        known[made] = QSize(1 + below(80), 1 + below(60));
                        m = surfaceOf(uint32_t(made), uint32_t(below(4)), known[made].width(),
                                      known[made].height(), random(), formats[below(4)], 4 * below(3));
                        break;
                    }
                    case 2:
                    case 3:
                    case 4:
                        if (display >= 0) {
                            wire::SurfaceChanged changed{uint32_t(display), {}};
                            for (int i = below(4); i >= 0; --i)
                                changed.rects.append(inside(known[display]));
                            m = changed;
                        }
                        break;
                    case 5:
                        if (display >= 0) {
                            known[display] = QSize();
                            m = wire::SurfaceGone{uint32_t(display)};
                        }
                        break;
                    case 6:
                    case 7: {
                        wire::MonitorsChanged list;
                        for (int i = below(5); i > 0; --i)
                            if (const int on = someDisplay(); on >= 0)
                                list.monitors.append(
                                    {uint32_t(below(5)), uint32_t(on), inside(known[on]), below(3) - 1});
                        m = list;
                        break;
                    }
                    case 8:
                        m = wire::TitleChanged{text(20)};
                        break;
                    case 9:
                        m = wire::MouseModeChanged{bool(below(2))};
                        break;
                    case 10:
                        m = below(2) ? wire::Message(wire::ConnectionError{text(30)})
                                     : wire::Message(wire::PasswordRequest{bool(below(2)), text(10)});
                        break;
                    case 11:
                        m = below(3) ? wire::Message(wire::AgentChanged{uint32_t(below(4))})
                                     : wire::Message(wire::PhaseChanged{uint8_t(below(6))});
                        break;
                    case 12: {
                        const int64_t total = below(1 << 20);
                        m = below(2) ? wire::Message(wire::TransferProgress{below(int(total) + 1), total})
                                     : wire::Message(wire::TransferFinished{bool(below(2)), text(30)});
                        break;
                    }
                    case 13:
                        if (below(3))
                            m = below(2) ? wire::Message(wire::Cleared{}) : wire::Message(wire::Closed{});
                        break;
                    case 14: {
                        wire::ClipboardOffer offer{uint8_t(below(2)), {}};
                        for (const QString& type : types)
                            if (below(2))
                                offer.types.append(type);
                        m = offer;
                        break;
                    }
                    case 15:
                        m = wire::ClipboardRequest{uint8_t(below(2)), types[below(3)]};
                        break;
                    case 16:
                        m = wire::ClipboardData{uint8_t(below(2)), types[below(3)], text(40).toUtf8()};
                        break;
                    case 17:
                        m = wire::ClipboardRelease{uint8_t(below(2))};
                        break;
                    case 18: {
                        wire::DevicesChanged devices{uint8_t(below(DevicesStatus::UsbCount)),
                                                     below(5),
                                                     uint32_t(below(DevicesStatus::AllFlags + 1)),
                                                     text(9),
                                                     {}};
                        for (int i = below(4); i > 0; --i)
                            devices.devices.append({uint32_t(below(3)), bool(below(2)),
                                                    uint8_t(below(SharedDevice::StateCount)), text(8),
                                                    text(20)});
                        m = devices;
                        break;
                    }
                    default: // the user shows or hides the window meanwhile
                        viewer.setVisible(!viewer.isVisible());
                        continue;
                    }
                    child.processEnd->send(m);
                }
                QVERIFY2(child.say(), qPrintable(QStringLiteral("seed %1").arg(seed)));
                paintAll(viewer);
            }
            child.processEnd.reset(); // the process goes
            QVERIFY(QTest::qWaitFor([&] { return !gone.isEmpty(); }));
            QVERIFY2(mappedBlocks() == blocks, qPrintable(QStringLiteral("seed %1: blocks left").arg(seed)));
        }
        QCOMPARE(descriptorsLeftSince(descriptors), QStringList());
    }
    // The devices menu says what the process said of the devices, and why one cannot go; the sign
    // shows while the remote machine records or holds a card; a kiosk opens no chooser; a process
    // that ends takes the sign along.
    void devicesMenuAndSigns()
    {
        currentConnection().usbFilter = "0x03,-1";
        currentConnection().usbFilterSource = "F";
        Hosted child(false);
        SpiceViewer viewer;
        viewer.setSession(&child.client);
        currentConnection() = ConnectionSettings();
        viewer.show();
        const auto menu = [&viewer] { return viewer.devicesShown().join('\n'); };
        auto* sign = viewer.findChild<QLabel*>("deviceSign");
        QVERIFY(menu().contains("The USB filter of F is not valid"));
        QVERIFY(menu().contains("Shared folder: not connected (disabled)"));
        QVERIFY(sign->isHidden());

        const uint32_t recording =
            DevicesStatus::RecordChannel | DevicesStatus::Microphone | DevicesStatus::Recording;
        QVERIFY(child.say(wire::DevicesChanged{DevicesStatus::UsbNoServerSupport,
                                               0,
                                               recording,
                                               {},
                                               {{7, true, SharedDevice::Failed, "a.iso", "no such file"}}}));
        for (const char* line : {"The remote machine offers no USB redirection (disabled)",
                                 "The remote machine offers no shared folder (disabled)", "[x] Microphone",
                                 "[ ] Eject CD image a.iso (no such file)"})
            QVERIFY2(menu().contains(line), qPrintable(menu()));
        QVERIFY(!menu().contains("Share a CD image"));
        QVERIFY(!sign->isHidden() && sign->text().contains("Microphone on"));

        const uint32_t card =
            DevicesStatus::FolderChannel | DevicesStatus::SoftwareCard | DevicesStatus::CardInserted;
        QVERIFY(child.say(wire::DevicesChanged{DevicesStatus::UsbReady, 2, card, {}, {}}));
        for (const char* line : {"Share a CD image…", "Share a folder…", "Share a folder read-only…",
                                 "[ ] Microphone (the remote machine has none)", "Remove the smartcard",
                                 "No local USB device (disabled)"})
            QVERIFY2(menu().contains(line), qPrintable(menu()));
        QVERIFY(sign->text() == "Smartcard in use");
        viewer.setKiosk(false);
        QVERIFY(!menu().contains("Share a"));

        child.processEnd.reset();
        QVERIFY(QTest::qWaitFor([&] { return sign->isHidden(); }));
    }
    // Local USB devices (a made-up sysfs, nodes that are /dev/null) go to the process as opened
    // descriptors: those of the redirect-on-connect filter when the session offers USB, a plugged one
    // that the filter allows only while a window of the viewer is active, none of a broken filter's;
    // an unplugged one is given back; the menu shows each with its state.
    void usbDevicesFollowTheFiltersAndTheFocus()
    {
        QTemporaryDir tmp;
        const QString sys = tmp.path() + "/sys", dev = tmp.path() + "/dev";
        QVERIFY(QDir().mkpath(dev + "/bus/usb/001"));
        for (int address : {2, 3, 4, 5})
            QVERIFY(
                QFile::link("/dev/null", dev + QString("/bus/usb/001/%1").arg(address, 3, 10, QChar('0'))));
        const auto device = [&](const QString& name, int address, const char* deviceClass) {
            plug(sys, name, attributes(1, address, "0781:5581", deviceClass) + ";product=Stick " + name);
        };
        device("1-1", 2, "08");
        device("1-2", 3, "03"); // a keyboard: the default filter keeps it
        int ends[2];
        QVERIFY(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, ends) == 0);
        Hosted child(false);
        QWidget window;
        ConnectionSettings settings;
        settings.usbRedirectOnConnect = "0x08,-1,-1,-1,1";
        DevicesMenu menu(&window, &child.client, settings, new UsbMonitor(sys, ends[1], &window), dev);
        const auto sent = [&] {
            QStringList said;
            for (const wire::Message& m : child.heard)
                if (auto* usb = std::get_if<wire::UsbRedirect>(&m))
                    said << QString("redirect %1 %2").arg(usb->id).arg(usb->name);
                else if (auto* back = std::get_if<wire::DeviceRelease>(&m))
                    said << QString("release %1").arg(back->id);
            return said;
        };
        QVERIFY(child.say(wire::DevicesChanged{DevicesStatus::UsbReady, 2, 0, {}, {}}));
        QTRY_COMPARE(sent(), QStringList{"redirect 1 Stick 1-1"});
        QVERIFY(child.say(wire::DevicesChanged{
            DevicesStatus::UsbReady, 2, 0, {}, {{1, false, SharedDevice::Redirected, "Stick 1-1", {}}}}));
        QVERIFY(menu.describe().contains("[x] Stick 1-1"));
        QVERIFY(menu.describe().contains("[ ] Stick 1-2"));

        const auto plugIn = [&](const QString& name, int address) {
            device(name, address, "08");
            const QByteArray event = "add@/devices/usb1/" + name.toLatin1() + '\0' + "ACTION=add" + '\0' +
                                     "SUBSYSTEM=usb" + '\0' + "DEVTYPE=usb_device" + '\0';
            QVERIFY(::write(ends[0], event.constData(), size_t(event.size())) == event.size());
            QTRY_VERIFY(menu.describe().join(' ').contains("Stick " + name));
        };
        bool focused = false;
        menu.setFocusCheck([&focused] { return focused; });
        plugIn("1-3", 4); // while no window of the viewer has the focus: it stays here
        focused = true;
        plugIn("1-4", 5);
        QTRY_COMPARE(sent(), QStringList({"redirect 1 Stick 1-1", "redirect 2 Stick 1-4"}));

        QVERIFY(QFile::remove(sys + "/bus/usb/devices/1-1"));
        const QByteArray gone =
            uevent("remove@/devices/usb1/1-1\0ACTION=remove\0SUBSYSTEM=usb\0DEVTYPE=usb_device\0");
        QVERIFY(::write(ends[0], gone.constData(), size_t(gone.size())) == gone.size());
        QTRY_COMPARE(sent().last(), QString("release 1"));
        ::close(ends[0]);
    }
    // In full screen the bar comes when the pointer rests at the top edge and goes when it leaves.
    void keyBar()
    {
        SpiceViewer viewer;
        viewer.setFullScreen(true);
        viewer.show();
        auto* bar = viewer.findChild<KeyBar*>();
        QTest::mouseMove(&viewer, QPoint(300, 0));
        QTRY_VERIFY(bar->isVisible());
        QTest::mouseMove(&viewer, QPoint(300, 200));
        QVERIFY(!bar->isVisible());
    }
};

// This test as a connection process that breaks the protocol as TEST_CHILD says, or behaves.
int brokenConnectionProcess(int argc, char** argv)
{
    return runConnectionProcess(argc, argv, [](MessageLink& link) {
        const QByteArray fault = qgetenv("TEST_CHILD");
        QTimer::singleShot(0, &link, [&link, fault] {
            wire::Message surface; // holds the block while it is sent
            wire::Encoded bad;
            if (fault == "random") {
                bad.datagram = QByteArray("\x13\x37 not a message");
            } else if (fault == "short block") { // 64 x 48 pixels in 100 bytes
                int fd = -1;
                free_memshare(create_memshare(100, &fd), 100);
                wire::sealSurfaceBlock(fd);
                wire::SurfaceCreated created;
                created.width = 64, created.height = 48, created.stride = 256, created.format = 32;
                created.pixelFormat = 32, created.block = wire::UniqueFd(fd);
                surface = std::move(created);
                bad = wire::encode(surface);
            } else if (fault == "lying length") {
                bad = wire::encode(wire::TitleChanged{QStringLiteral("title")});
                bad.datagram.chop(2);
            } else {
                link.send(wire::TitleChanged{QString::fromUtf8(fault)});
                return;
            }
            wire::sendEncoded(wire::kConnectionSocketFd, bad);
        });
        return std::unique_ptr<QObject>();
    });
}

int main(int argc, char** argv)
{
    if (isConnectionProcess(argc, argv))
        return brokenConnectionProcess(argc, argv);
    QApplication app(argc, argv);
    TestViewer test;
    return QTest::qExec(&test, argc, argv);
}
#include "test_viewer.moc"
