#include "session.h"

#include "agent.h"
#include "args.h"
#include "channel_sockets.h"
#include "clipboard.h"
#include "connection_settings.h"
#include "devices.h"
#include "guestagent.h"
#include "input.h"
#include "keycodes.h"
#include "log.h"
#include "monitors.h"
#include "session_testing.h"
#include "session_viewer.h"

#include <Qt>
#include <dlfcn.h>
#include <utility>

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
    void passwordRefused() override { session->askPassword(); }
    void opened() override
    {
        session->isOpen = true;
        session->passwordTries = 0;
        session->awaitingPassword = false; // whatever was asked, the server took the session
        if (session->retryRunning > 0)
            Logger(INFO) << "Retry " << std::exchange(session->retryRunning, 0) << ": connected";
        Q_EMIT session->opened();
    }
    void otherSurfaceCreated(int display, void* pixels, ScreenInitInfo& info) override
    {
        Q_EMIT session->otherSurfaceCreated(display, pixels, info);
    }
    void otherSurfaceChanged(int display, Rect& rect) override
    {
        Q_EMIT session->otherSurfaceChanged(display, rect);
    }
    // Kept until the window says it reads the block no more: another process may map it.
    void blockRetired(const SurfaceBlock& block) override
    {
        if (block.data)
            session->retired.insert(block.serial, new SurfaceBlock(block));
        else
            freeSurfaceBlock(block);
    }

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

struct Session::Library {
    SpiceAgent agent;
};

SpiceAgent& SessionTesting::record(Session& session)
{
    return session.library->agent;
}

Session::Session(QObject* parent) : QObject(parent), relay(new Relay(this)), library(new Library)
{
    library->agent.viewer = relay.get();
    const AppArgs* args = get_args();
    guest.reset(new GuestAgent({!args->no_clipboard, !args->no_file_copy, args->share_primary}));
    library->agent.guest = guest.get();
    monitors.reset(new MonitorConfig(!args->auto_resize_never));
    library->agent.monitors = monitors.get();
    library->agent.centerClick = !args->no_center_click;
    deviceShare.reset(new Devices([this](const DevicesStatus& status) { Q_EMIT devicesChanged(status); }));
    library->agent.devices = deviceShare.get();
    sockets.reset(new ChannelSockets(&library->agent));
    library->agent.sockets = sockets.get();
    connect(sockets.get(), &ChannelSockets::wanted, this, &Session::socketWanted);
    connect(monitors.get(), &MonitorConfig::monitorsChanged, this, &Session::guestMonitorsChanged);
    connect(monitors.get(), &MonitorConfig::followsChanged, this, &Session::followsWindowChanged);
    connect(guest.get(), &GuestAgent::transferProgress, this, &Session::transferProgress);
    connect(guest.get(), &GuestAgent::transferFinished, this, &Session::transferFinished);
    if (ClipboardBridge* clipboard = guest->clipboardBridge()) {
        connect(clipboard, &ClipboardBridge::remoteOffered, this, &Session::remoteClipboardOffered);
        connect(clipboard, &ClipboardBridge::remoteData, this, &Session::remoteClipboardData);
        connect(clipboard, &ClipboardBridge::localWanted, this, &Session::localClipboardRequested);
    }
    retryTimer = new QTimer(this);
    retryTimer->setSingleShot(true);
    connect(retryTimer, &QTimer::timeout, this, &Session::retry);
    connect(this, &Session::closed, this, &Session::scheduleReconnect);
    connect(this, &Session::connectionError, this, &Session::scheduleReconnect);
    // Only a picture says the server works: a surface it announces may still be refused.
    connect(this, &Session::surfaceChanged, this, [this] { retries = 0; });
    connect(this, &Session::titleChanged, this, [this](const QString& title) { currentTitle = title; });
}

void Session::setReconnectOnDrop(bool on)
{
    reconnectOnDrop = on;
    // The first connection starts before the window has said it is a kiosk and may have failed already.
    const SessionPhase now = phase();
    if (on && (now == SessionPhase::Closed || now == SessionPhase::Failed))
        scheduleReconnect();
}

void Session::scheduleReconnect()
{
    // The retry's outcome, a drop or a failure, has been said by now.
    retryRunning = 0;
    if (!reconnectOnDrop || retryTimer->isActive() || awaitingPassword)
        return;
    const int delay = qMin(kFirstRetryMs << qMin(retries, 8), kLongestRetryMs);
    ++retries;
    Logger(INFO) << (isOpen ? "Connection lost; retry " : "No connection; retry ") << retries << " in "
                 << delay << " ms";
    retryTimer->start(delay);
}

void Session::retry()
{
    if (alive())
        return;
    retryRunning = retries;
    Logger(INFO) << "Retry " << retries << ": connecting to " << currentConnection().describe();
    library->agent.heldKeys.clear();
    recreate();
}

void Session::askPassword()
{
    if (passwordDeclined || passwordTries >= kMaxPasswordTries)
        return;
    awaitingPassword = true;
    const ConnectionSettings& connection = currentConnection();
    Q_EMIT passwordWanted(connection.describe(), !connection.password.empty());
}

void Session::answerPassword(const QString& password)
{
    // A later start's settings came meanwhile: the question is no longer open.
    if (!std::exchange(awaitingPassword, false))
        return;
    ++passwordTries;
    ConnectionSettings& connection = currentConnection();
    connection.password = password.toStdString();
    connection.hasPasswordSource = true;
    Logger(INFO) << "Password typed (try " << passwordTries << " of " << kMaxPasswordTries
                 << "); connecting again";
    library->agent.heldKeys.clear();
    recreate();
}

void Session::declinePassword()
{
    if (!std::exchange(awaitingPassword, false))
        return;
    passwordDeclined = true;
    scheduleReconnect();
}

Session::~Session()
{
    // Nothing of the library may reach the record once it is gone.
    deviceShare->detach();
    library->agent.devices = nullptr;
    guest->detach();
    library->agent.guest = nullptr;
    library->agent.channelSignals.clear();
    if (SpiceSession* session = library->agent.session.get()) {
        g_signal_handlers_disconnect_matched(session, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr,
                                             &library->agent);
        g_signal_handlers_disconnect_matched(session, G_SIGNAL_MATCH_DATA, 0, 0, nullptr, nullptr,
                                             sockets.get());
        closeSession(session);
    }
    library->agent.sockets = nullptr;
    sockets.reset();
    forgetChannels(&library->agent);
    library->agent.monitors = nullptr;
    releaseSurfaceBlock(&library->agent);
    library->agent.viewer = nullptr;
    for (SurfaceBlock* block : qAsConst(retired)) {
        freeSurfaceBlock(*block);
        delete block;
    }
}

bool Session::start(bool fresh)
{
    library->agent.freshSurface = fresh;
    return connect_spice(&library->agent) == 0;
}

int Session::checkReconnect()
{
    // A new start: a password may be asked for again.
    passwordTries = 0;
    passwordDeclined = false;
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
    library->agent.heldKeys.clear();
    library->agent.freshSurface = true;
    // Launchers and monitoring scripts read these two lines. Starting the connection is all that
    // is known here; whether the server answers shows later.
    const int result = recreate();
    if (result == 1)
        Logger(INFO) << "SPICE session reconnected successfully";
    Logger(INFO) << "Reconnect result: " << result;
    return result;
}

int Session::connectTo(const ConnectionSettings& settings)
{
    // spice-server lets go of a client's keys when its link closes; releasing them first keeps
    // the old server clean whatever it does.
    releaseAll();
    currentConnection() = settings;
    passwordTries = 0;
    passwordDeclined = awaitingPassword = false;
    Q_EMIT titleChanged(settings.title);
    library->agent.freshSurface = true;
    return recreate();
}

int Session::recreate()
{
    Q_EMIT surfaceCleared();
    isOpen = false;
    // A connection process's first session may come from an activation or a later start's settings.
    if (!library->agent.session)
        return connect_spice(&library->agent) == 0 ? 1 : 0;
    return reconnect_spice(&library->agent);
}

SessionPhase Session::phase() const
{
    return sessionPhase(&library->agent);
}

bool Session::alive() const
{
    return sessionAlive(&library->agent);
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
            key = *library->agent.heldKeys.insert(input.nativeScanCode,
                                                  library->agent.heldKeys.value(input.nativeScanCode, sent));
        } else if (library->agent.heldKeys.contains(input.nativeScanCode)) {
            key = library->agent.heldKeys.take(input.nativeScanCode);
        }
        event.key = key & ~int(Qt::KeypadModifier);
        event.keypad = (key & int(Qt::KeypadModifier)) != 0;
    }
    syncKeyMouse(event, &library->agent);
}

void Session::injectKey(const QString& text)
{
    injectQtKey(&library->agent, text);
}

void Session::pointerAt(const QPoint& surfacePoint, int display)
{
    KM_EVENT event{};
    event.type = kMouseMove;
    event.x = surfacePoint.x();
    event.y = surfacePoint.y();
    event.display = display;
    event.buttons = library->agent.buttons;
    syncKeyMouse(event, &library->agent);
}

void Session::pointerBy(const QPoint& delta)
{
    KM_EVENT event{};
    event.type = kMouseMove;
    event.relative = true;
    event.x = delta.x();
    event.y = delta.y();
    event.buttons = library->agent.buttons;
    syncKeyMouse(event, &library->agent);
}

void Session::button(int qtButton, bool press, bool doubleClick)
{
    if (press) {
        library->agent.buttons |= qtButton;
    } else {
        if (!(library->agent.buttons & qtButton))
            return;
        library->agent.buttons &= ~qtButton;
    }
    KM_EVENT event{};
    event.type = !press ? kMouseButtonRelease : doubleClick ? kMouseButtonDblClick : kMouseButtonPress;
    event.button = qtButton;
    event.buttons = library->agent.buttons;
    syncKeyMouse(event, &library->agent);
}

void Session::wheel(int notches)
{
    for (int i = 0; i < qAbs(notches); ++i) {
        KM_EVENT event{};
        event.type = kWheel;
        event.wheel_up = notches > 0;
        event.buttons = library->agent.buttons;
        syncKeyMouse(event, &library->agent);
    }
}

void Session::sendScancodes(const QVector<uint>& codes)
{
    KM_EVENT event{};
    event.type = kKeyPress;
    for (uint code : codes) {
        event.scancode = code;
        syncKeyMouse(event, &library->agent);
    }
    event.type = kKeyRelease;
    for (auto code = codes.crbegin(); code != codes.crend(); ++code) {
        event.scancode = *code;
        syncKeyMouse(event, &library->agent);
    }
}

void Session::releaseAll()
{
    for (int qtButton : {int(Qt::LeftButton), int(Qt::RightButton), int(Qt::MiddleButton)})
        button(qtButton, false);
    library->agent.buttons = 0;
    releasePressedKeys(&library->agent);
}

int Session::heldButtons() const
{
    return library->agent.buttons;
}

bool Session::copyFiles(const QVector<OpenedFile>& files)
{
    return guest->copyFiles(files);
}

bool Session::copying() const
{
    return guest->copying();
}

void Session::cancelCopy()
{
    guest->cancelCopy();
}

void Session::setWindowShown(bool someWindowShown)
{
    if (ClipboardBridge* clipboard = guest->clipboardBridge())
        clipboard->setShown(someWindowShown);
}

bool Session::clipboardShared(int selection) const
{
    const ClipboardBridge* clipboard = guest->clipboardBridge();
    return clipboard && clipboard->shared(selection);
}

void Session::offerLocalClipboard(int selection, const QStringList& types)
{
    if (ClipboardBridge* clipboard = guest->clipboardBridge())
        clipboard->localOffered(selection, types);
}

void Session::answerClipboardRequest(int selection, const QString& type, const QByteArray& data)
{
    if (ClipboardBridge* clipboard = guest->clipboardBridge())
        clipboard->localAnswered(selection, type, data);
}

void Session::requestRemoteClipboard(int selection, const QString& type)
{
    if (ClipboardBridge* clipboard = guest->clipboardBridge())
        clipboard->remoteWanted(selection, type);
    else
        Q_EMIT remoteClipboardData(selection, type, {});
}

void Session::setClientLayout(const ClientLayout& layout)
{
    monitors->setClientLayout(layout);
}

void Session::releaseSurface(uint32_t serial)
{
    if (SurfaceBlock* block = retired.take(serial)) {
        freeSurfaceBlock(*block);
        delete block;
    }
}

void Session::giveSocket(uint32_t request, int fd)
{
    sockets->given(request, fd);
}

void Session::refuseSocket(uint32_t request, const QString& words)
{
    sockets->failed(request, words);
}
