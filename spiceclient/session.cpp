#include "session.h"

#include "agent.h"
#include "args.h"
#include "connection_settings.h"
#include "guestagent.h"
#include "input.h"
#include "keycodes.h"
#include "log.h"
#include "session_viewer.h"

#include <Qt>
#include <dlfcn.h>

namespace
{
constexpr int kFirstRetryMs = 1000;
constexpr int kLongestRetryMs = 5000;
} // namespace

// What the library's handlers report, turned into the session's signals.
class Session::Relay : public SessionViewer
{
public:
    explicit Relay(Session* session) : session(session) {}
    void setTitle(const QString& title) override { Q_EMIT session->titleChanged(title); }
    void screenSettingsChanged(void* pixels, ScreenInitInfo& info) override
    {
        Q_EMIT session->surfaceCreated(pixels, info);
    }
    void updateImage(Rect* rect) override { Q_EMIT session->surfaceChanged(*rect); }
    void clearDisplay() override { Q_EMIT session->surfaceCleared(); }
    void closeWindow() override { Q_EMIT session->closed(); }
    void mouseModeChanged(bool server) override { Q_EMIT session->serverMouseChanged(server); }
    void showConnectionError(const QString& text) override { Q_EMIT session->connectionError(text); }

private:
    Session* session;
};

LibraryWarmUp::LibraryWarmUp()
{
    // Only a library built with GStreamer brings it along; without it there is nothing to set up.
    using InitCheck = int (*)(int*, char***, void**);
    if (auto init = reinterpret_cast<InitCheck>(dlsym(RTLD_DEFAULT, "gst_init_check")))
        thread = std::thread([init] { init(nullptr, nullptr, nullptr); });
}

LibraryWarmUp::~LibraryWarmUp()
{
    if (thread.joinable())
        thread.join();
}

Session::Session(QObject* parent) : QObject(parent), relay(new Relay(this)), agent(new SpiceAgent)
{
    agent->viewer = relay.get();
    const AppArgs* args = get_args();
    guest.reset(new GuestAgent({!args->no_clipboard, !args->no_file_copy, args->share_primary}));
    agent->guest = guest.get();
    connect(guest.get(), &GuestAgent::transferProgress, this, &Session::transferProgress);
    connect(guest.get(), &GuestAgent::transferFinished, this, &Session::transferFinished);
    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, [this] {
        if (!alive())
            checkReconnect();
    });
    connect(this, &Session::closed, this, &Session::scheduleReconnect);
    connect(this, &Session::connectionError, this, &Session::scheduleReconnect);
    connect(this, &Session::surfaceCreated, this, [this] { retries = 0; });
    connect(this, &Session::titleChanged, this, [this](const QString& title) { currentTitle = title; });
}

void Session::scheduleReconnect()
{
    if (!reconnectOnDrop || retryTimer->isActive())
        return;
    const int delay = qMin(kFirstRetryMs << qMin(retries, 8), kLongestRetryMs);
    ++retries;
    Logger(INFO) << "Connection lost; reconnecting in " << delay << " ms";
    retryTimer->start(delay);
}

Session::~Session()
{
    // Nothing of the library may reach the record once it is gone.
    guest->detach();
    agent->guest = nullptr;
    agent->channelSignals.clear();
    if (SpiceSession* session = agent->session.get()) {
        g_signal_handlers_disconnect_matched(session, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr,
                                             agent.get());
        closeSession(session);
    }
    forgetChannels(agent.get());
    releaseSurfaceBlock(agent.get());
    agent->viewer = nullptr;
}

bool Session::start()
{
    return connect_spice(agent.get()) == 0;
}

int Session::checkReconnect()
{
    Logger(INFO) << "Checking SPICE connection status";
    if (alive()) {
        if (phase() == SessionPhase::Connecting)
            Logger(INFO) << "SPICE session is still connecting; left alone";
        else
            Logger(INFO) << "SPICE connection is active";
        return 1;
    }
    Logger(INFO) << "SPICE connection is inactive, attempting to reconnect";
    // What was held on the old session cannot be released there any more.
    agent->heldKeys.clear();
    return recreate();
}

int Session::switchServer()
{
    // spice-server lets go of a client's keys when its link closes; releasing them first keeps
    // the old server clean whatever it does.
    releaseAll();
    Q_EMIT titleChanged(currentConnection().title);
    return recreate();
}

int Session::recreate()
{
    Q_EMIT surfaceCleared();
    const int result = reconnect_spice(agent.get());
    Logger(INFO) << "Reconnect result: " << result;
    return result;
}

SessionPhase Session::phase() const
{
    return sessionPhase(agent.get());
}

bool Session::alive() const
{
    return sessionAlive(agent.get());
}

void Session::key(const KeyInput& input, bool press)
{
    KM_EVENT event{};
    event.type = press ? kKeyPress : kKeyRelease;
    event.modifiers = input.modifiers;
    event.key = input.key;
    event.keypad = input.keypad;
    // The physical key, whatever the local layout makes of it: the remote layout decides.
    event.scancode = keysByPosition ? x11KeycodeToScancode(input.nativeScanCode) : 0;
    if (!event.scancode && input.nativeScanCode) {
        // By symbol, a release must undo what its press sent, even when the layout now reads the
        // key differently (Shift let go before the key, a dead key, a layout switch).
        const int sent = input.key | (input.keypad ? int(Qt::KeypadModifier) : 0);
        int key = sent;
        if (press) {
            key = *agent->heldKeys.insert(input.nativeScanCode,
                                          agent->heldKeys.value(input.nativeScanCode, sent));
        } else if (agent->heldKeys.contains(input.nativeScanCode)) {
            key = agent->heldKeys.take(input.nativeScanCode);
        }
        event.key = key & ~int(Qt::KeypadModifier);
        event.keypad = (key & int(Qt::KeypadModifier)) != 0;
    }
    syncKeyMouse(event, agent.get());
}

void Session::injectKey(const QString& text)
{
    injectQtKey(agent.get(), text);
}

void Session::pointerAt(const QPoint& surfacePoint)
{
    KM_EVENT event{};
    event.type = kMouseMove;
    event.x = surfacePoint.x();
    event.y = surfacePoint.y();
    event.buttons = agent->buttons;
    syncKeyMouse(event, agent.get());
}

void Session::pointerBy(const QPoint& delta)
{
    KM_EVENT event{};
    event.type = kMouseMove;
    event.relative = true;
    event.x = delta.x();
    event.y = delta.y();
    event.buttons = agent->buttons;
    syncKeyMouse(event, agent.get());
}

void Session::button(int qtButton, bool press, bool doubleClick)
{
    if (press) {
        agent->buttons |= qtButton;
    } else {
        if (!(agent->buttons & qtButton))
            return;
        agent->buttons &= ~qtButton;
    }
    KM_EVENT event{};
    event.type = !press ? kMouseButtonRelease : doubleClick ? kMouseButtonDblClick : kMouseButtonPress;
    event.button = qtButton;
    event.buttons = agent->buttons;
    syncKeyMouse(event, agent.get());
}

void Session::wheel(int notches)
{
    for (int i = 0; i < qAbs(notches); ++i) {
        KM_EVENT event{};
        event.type = kWheel;
        event.wheel_up = notches > 0;
        event.buttons = agent->buttons;
        syncKeyMouse(event, agent.get());
    }
}

void Session::sendScancodes(const QVector<uint>& codes)
{
    KM_EVENT event{};
    event.type = kKeyPress;
    for (uint code : codes) {
        event.scancode = code;
        syncKeyMouse(event, agent.get());
    }
    event.type = kKeyRelease;
    for (auto code = codes.crbegin(); code != codes.crend(); ++code) {
        event.scancode = *code;
        syncKeyMouse(event, agent.get());
    }
}

void Session::releaseAll()
{
    for (int qtButton : {int(Qt::LeftButton), int(Qt::RightButton), int(Qt::MiddleButton)})
        button(qtButton, false);
    agent->buttons = 0;
    releasePressedKeys(agent.get());
}

int Session::heldButtons() const
{
    return agent->buttons;
}

bool Session::copyFiles(const QStringList& paths)
{
    return guest->copyFiles(paths);
}

bool Session::copying() const
{
    return guest->copying();
}

void Session::cancelCopy()
{
    guest->cancelCopy();
}
