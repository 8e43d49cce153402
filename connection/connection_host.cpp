#include "connection_host.h"

#include "args.h"
#include "connection_settings.h"
#include "devices.h"
#include "filecopy.h"
#include "log.h"
#include "session.h"

#include <QCoreApplication>
#include <QPoint>
#include <QTimer>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// The shortest time between two messages of changed rectangles while changes keep coming.
constexpr int kCoalesceMs = 4;

bool sameMonitors(const QVector<wire::Monitor>& a, const QVector<wire::Monitor>& b)
{
    if (a.size() != b.size())
        return false;
    for (int i = 0; i < a.size(); ++i)
        if (a[i].id != b[i].id || a[i].surface != b[i].surface || a[i].screen != b[i].screen ||
            a[i].area.x != b[i].area.x || a[i].area.y != b[i].area.y || a[i].area.width != b[i].area.width ||
            a[i].area.height != b[i].area.height)
            return false;
    return true;
}

QStringList toList(const QVector<QString>& types)
{
    return QStringList(types.begin(), types.end());
}

} // namespace

ConnectionHost::ConnectionHost(MessageLink& link, QObject* parent)
    : QObject(parent), link(link), warmUp(new LibraryWarmUp)
{
    flushTimer.setSingleShot(true);
    flushTimer.setTimerType(Qt::PreciseTimer);
    connect(&flushTimer, &QTimer::timeout, this, &ConnectionHost::flush);
    link.setHandler([this](wire::Message& message) { receive(message); });
}

ConnectionHost::~ConnectionHost()
{
    // What the session says as it goes reaches nobody.
    if (hosted)
        hosted->disconnect(this);
    hosted.reset();
    for (const OpenedFile& file : qAsConst(files))
        close(file.fd);
}

void ConnectionHost::applyOptions(uint32_t flags)
{
    options = flags;
    // What the session is built with; set before the first Connect makes it.
    AppArgs* args = get_args();
    args->no_clipboard = !(flags & wire::SetOptions::Clipboard);
    args->no_file_copy = !(flags & wire::SetOptions::FileCopy);
    args->share_primary = flags & wire::SetOptions::SharePrimary;
    args->auto_resize_never = !(flags & wire::SetOptions::AutoResize);
    args->no_center_click = !(flags & wire::SetOptions::CenterClick);
    if (hosted) {
        hosted->setReconnectOnDrop(flags & wire::SetOptions::ReconnectOnDrop);
        hosted->setKeysByPosition(flags & wire::SetOptions::KeysByPosition);
    }
}

void ConnectionHost::connectSession(wire::Connect& message)
{
    const ConnectionSettings settings = wire::settingsFromWire(message.settings);
    if (message.kind != wire::Connect::SwitchServer)
        currentConnection() = settings;
    if (message.kind == wire::Connect::Start) {
        // The start's key goes out with the first picture, once per window.
        for (const wire::Setting& setting : qAsConst(message.settings))
            if (setting.name == "key")
                qstrncpy(get_args()->key, setting.value.constData(), sizeof get_args()->key);
    }
    if (!hosted) {
        hosted.reset(new Session);
        relaySignals();
        applyOptions(options);
    }
    send(wire::PhaseChanged{uint8_t(SessionPhase::Connecting)});
    switch (message.kind) {
    case wire::Connect::Start:
    case wire::Connect::Recover:
        if (!hosted->start(message.kind == wire::Connect::Start)) {
            Logger(ERROR) << "Cannot create the SPICE session";
            QCoreApplication::exit(1);
        }
        break;
    case wire::Connect::Reconnect:
        hosted->checkReconnect();
        break;
    case wire::Connect::SwitchServer:
        hosted->connectTo(settings);
        break;
    }
}

void ConnectionHost::receive(wire::Message& message)
{
    if (auto* options = std::get_if<wire::SetOptions>(&message))
        return applyOptions(options->flags);
    if (auto* connect = std::get_if<wire::Connect>(&message))
        return connectSession(*connect);
    if (auto* add = std::get_if<wire::FileCopyAdd>(&message)) {
        files.append({add->name, add->file.release()});
        return;
    }
    if (!hosted)
        return; // nothing to act on before the first Connect
    if (auto* given = std::get_if<wire::SocketGiven>(&message))
        return hosted->giveSocket(given->request, given->socket.release());
    if (auto* failed = std::get_if<wire::SocketFailed>(&message))
        return hosted->refuseSocket(failed->request, failed->words);
    Session& s = *hosted;
    std::visit(
        [&s, this](auto& m) {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, wire::Key>)
                s.key(KeyInput{m.nativeScanCode, m.key, m.keypad, m.modifiers}, m.press);
            else if constexpr (std::is_same_v<T, wire::InjectKey>)
                s.injectKey(m.text);
            else if constexpr (std::is_same_v<T, wire::PointerAt>)
                s.pointerAt(QPoint(m.x, m.y), m.display);
            else if constexpr (std::is_same_v<T, wire::PointerBy>)
                s.pointerBy(QPoint(m.dx, m.dy));
            else if constexpr (std::is_same_v<T, wire::Button>)
                s.button(m.qtButton, m.press, m.doubleClick);
            else if constexpr (std::is_same_v<T, wire::Wheel>)
                s.wheel(m.notches);
            else if constexpr (std::is_same_v<T, wire::Scancodes>)
                s.sendScancodes(QVector<uint>(m.codes.begin(), m.codes.end()));
            else if constexpr (std::is_same_v<T, wire::ReleaseAll>)
                s.releaseAll();
            else if constexpr (std::is_same_v<T, wire::MonitorsConfig>) {
                ClientLayout layout;
                for (const wire::Rect& r : qAsConst(m.screens))
                    layout.screens.append(QRect(r.x, r.y, r.width, r.height));
                layout.screen = m.screen;
                layout.fullScreen = m.fullScreen;
                for (const wire::WindowState& w : qAsConst(m.windows))
                    layout.windows.append(
                        {w.monitor, QSize(w.width, w.height), ClientWindow::State(w.state)});
                s.setClientLayout(layout);
            } else if constexpr (std::is_same_v<T, wire::FileCopyStart>) {
                s.copyFiles(std::exchange(files, {}));
            } else if constexpr (std::is_same_v<T, wire::FileCopyCancel>)
                s.cancelCopy();
            else if constexpr (std::is_same_v<T, wire::PasswordAnswer>) {
                if (m.given)
                    s.answerPassword(QString::fromUtf8(m.password));
                else
                    s.declinePassword();
            } else if constexpr (std::is_same_v<T, wire::WindowShown>)
                s.setWindowShown(m.shown);
            else if constexpr (std::is_same_v<T, wire::UsbRedirect>)
                s.devices().redirectUsb(m.id, m.name, m.device.release());
            else if constexpr (std::is_same_v<T, wire::CdShare>)
                s.devices().shareCd(m.id, m.path);
            else if constexpr (std::is_same_v<T, wire::DeviceRelease>)
                s.devices().release(m.id);
            else if constexpr (std::is_same_v<T, wire::FolderShare>)
                s.devices().shareFolder(m.path, m.readOnly);
            else if constexpr (std::is_same_v<T, wire::MicrophoneSwitch>)
                s.devices().setMicrophone(m.on);
            else if constexpr (std::is_same_v<T, wire::SmartcardSwitch>)
                s.devices().smartcard(m.insert);
            else if constexpr (std::is_same_v<T, wire::ClipboardOffer>)
                s.offerLocalClipboard(m.selection, toList(m.types));
            else if constexpr (std::is_same_v<T, wire::ClipboardRelease>)
                s.offerLocalClipboard(m.selection, {});
            else if constexpr (std::is_same_v<T, wire::ClipboardRequest>)
                s.requestRemoteClipboard(m.selection, m.mimeType);
            else if constexpr (std::is_same_v<T, wire::ClipboardData>)
                s.answerClipboardRequest(m.selection, m.mimeType, m.data);
        },
        message);
}

void ConnectionHost::relaySignals()
{
    Session* s = hosted.get();
    connect(s, &Session::surfaceCreated, this,
            [this](void* pixels, ScreenInitInfo info) { surfaceCreated(true, pixels, info); });
    connect(s, &Session::otherSurfaceCreated, this,
            [this](int, void* pixels, ScreenInitInfo info) { surfaceCreated(false, pixels, info); });
    connect(s, &Session::surfaceChanged, this, [this](Rect rect) { surfaceChanged(firstDisplay, rect); });
    connect(s, &Session::otherSurfaceChanged, this, &ConnectionHost::surfaceChanged);
    connect(s, &Session::surfaceCleared, this, [this] { send(wire::Cleared{}); });
    connect(s, &Session::opened, this, [this] { send(wire::PhaseChanged{uint8_t(SessionPhase::Open)}); });
    connect(s, &Session::closed, this, [this] {
        send(wire::PhaseChanged{uint8_t(SessionPhase::Closed)});
        send(wire::Closed{});
    });
    connect(s, &Session::titleChanged, this,
            [this](const QString& title) { send(wire::TitleChanged{title}); });
    connect(s, &Session::serverMouseChanged, this,
            [this](bool server) { send(wire::MouseModeChanged{server}); });
    connect(s, &Session::connectionError, this, [this](const QString& text) {
        send(wire::PhaseChanged{uint8_t(SessionPhase::Failed)});
        send(wire::ConnectionError{text});
    });
    connect(s, &Session::transferProgress, this, [this](qint64 done, qint64 total) {
        send(wire::TransferProgress{qBound<qint64>(0, done, qMax<qint64>(total, 0)), qMax<qint64>(total, 0)});
    });
    connect(s, &Session::transferFinished, this, [this](bool ok, const QString& text) {
        send(wire::TransferFinished{ok, text});
    });
    connect(s, &Session::remoteClipboardOffered, this, [this](int selection, const QStringList& types) {
        send(wire::ClipboardOffer{uint8_t(selection), QVector<QString>(types.begin(), types.end())});
    });
    connect(s, &Session::remoteClipboardData, this,
            [this](int selection, const QString& type, const QByteArray& data) {
                send(wire::ClipboardData{uint8_t(selection), type, data});
            });
    connect(s, &Session::localClipboardRequested, this, [this](int selection, const QString& type) {
        send(wire::ClipboardRequest{uint8_t(selection), type});
    });
    connect(s, &Session::passwordWanted, this, [this](const QString& server, bool refused) {
        send(wire::PasswordRequest{refused, server});
    });
    connect(s, &Session::guestMonitorsChanged, this, [this](const QVector<GuestMonitor>& list) {
        monitors = list;
        monitorsPending = true;
        scheduleFlush();
    });
    connect(s, &Session::devicesChanged, this, [this](const DevicesStatus& status) {
        wire::DevicesChanged message{status.usb, status.freeUsbChannels, status.flags, status.folder, {}};
        for (const SharedDevice& d : status.devices.mid(0, wire::kMaxDevices))
            message.devices.append({d.id, d.cd, d.state, d.name.left(wire::kMaxTitleBytes / 4),
                                    d.words.left(wire::kMaxWordsBytes / 4)});
        send(message);
    });
    connect(s, &Session::socketWanted, this, [this](uint32_t request, bool tls) {
        send(wire::SocketRequest{request, tls});
    });
    connect(s, &Session::followsWindowChanged, this, [this](bool on) {
        send(wire::AgentChanged{on ? uint32_t(wire::AgentChanged::FollowsWindows) : 0});
    });
}

void ConnectionHost::send(const wire::Message& message)
{
    flush();
    link.send(message);
}

void ConnectionHost::releaseLater(uint32_t serial)
{
    // The session retires a replaced block after it announced the new one.
    if (serial)
        QTimer::singleShot(0, this, [this, serial] {
            if (hosted)
                hosted->releaseSurface(serial);
        });
}

void ConnectionHost::surfaceCreated(bool first, const void* pixels, const ScreenInitInfo& info)
{
    const int id = info.display;
    if (id < 0 || id >= wire::kMaxSurfaces) {
        Logger(WARN) << "Display channel #" << id << " is not shown: at most " << wire::kMaxSurfaces;
        return;
    }
    if (first)
        firstDisplay = id;
    releaseLater(serials.take(id));
    flush();
    changed.erase(id);
    // The block can neither shrink nor grow once the window maps it.
    if (pixels && info.fd >= 0 && !wire::sealSurfaceBlock(info.fd)) {
        Logger(ERROR) << "Display channel #" << id
                      << ": its block cannot be sealed: " << std::strerror(errno);
        pixels = nullptr;
    }
    if (!pixels || info.fd < 0) {
        if (announced.remove(id))
            link.send(wire::SurfaceGone{uint32_t(id)});
        monitorsPending = true;
        scheduleFlush();
        return;
    }
    wire::SurfaceCreated message;
    message.surface = uint32_t(id);
    message.flags = (first ? uint32_t(wire::SurfaceCreated::First) : 0u) |
                    (info.fresh ? uint32_t(wire::SurfaceCreated::Fresh) : 0u);
    message.width = info.width;
    message.height = info.height;
    message.stride = info.stride;
    message.format = info.format;
    message.pixelFormat = info.pixelFormat;
    message.block = wire::UniqueFd(fcntl(info.fd, F_DUPFD_CLOEXEC, 0));
    link.send(std::move(message));
    announced.insert(id, QSize(info.width, info.height));
    serials.insert(id, info.serial);
    monitorsPending = true;
    scheduleFlush();
}

void ConnectionHost::surfaceChanged(int display, const Rect& rect)
{
    if (!announced.contains(display))
        return;
    // An empty change still tells the window that the surface's first picture is there.
    const bool empty = rect.width <= 0 || rect.height <= 0;
    QVector<wire::Rect>& rects = changed[display];
    rects.append(empty ? wire::Rect{} : wire::Rect{rect.x, rect.y, rect.width, rect.height});
    if (rects.size() >= wire::kMaxRects)
        flush();
    else
        scheduleFlush();
}

void ConnectionHost::scheduleFlush()
{
    if (flushTimer.isActive())
        return;
    const qint64 since = lastFlush.isValid() ? lastFlush.elapsed() : kCoalesceMs;
    flushTimer.start(since >= kCoalesceMs ? 0 : int(kCoalesceMs - since));
}

void ConnectionHost::flush()
{
    flushTimer.stop();
    for (auto& [display, rects] : changed) {
        if (!rects.isEmpty()) {
            link.send(wire::SurfaceChanged{uint32_t(display), std::exchange(rects, {})});
            lastFlush.start();
        }
    }
    changed.clear();
    if (!std::exchange(monitorsPending, false))
        return;
    // Only monitors on surfaces the window knows, inside them: the rest follow their surface.
    QVector<wire::Monitor> list;
    for (const GuestMonitor& m : qAsConst(monitors)) {
        const QSize size = announced.value(m.display);
        if (m.id < 0 || !QRect(QPoint(0, 0), size).contains(m.rect) || m.rect.isEmpty())
            continue;
        list.append({uint32_t(m.id),
                     uint32_t(m.display),
                     {m.rect.x(), m.rect.y(), m.rect.width(), m.rect.height()},
                     m.screen < wire::kMaxMonitors ? m.screen : -1});
    }
    if (list.size() > wire::kMaxMonitors)
        list.resize(wire::kMaxMonitors);
    if (sameMonitors(list, sentMonitors))
        return;
    sentMonitors = list;
    link.send(wire::MonitorsChanged{list});
}
