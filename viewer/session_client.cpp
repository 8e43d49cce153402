#include "session_client.h"

#include "args.h"
#include "connection_settings.h"
#include "log.h"
#include "message_link.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

constexpr int kFirstRestartMs = 1000;
constexpr int kLongestRestartMs = 5000;
constexpr int kEndGraceMs = 1000;

// Signals of a process that failed by itself, rather than one ended from outside.
bool crashSignal(const QString& how)
{
    for (int sig : {SIGSEGV, SIGABRT, SIGBUS, SIGILL, SIGFPE, SIGTRAP})
        if (how == QStringLiteral("signal %1").arg(sig))
            return true;
    return false;
}

// The settings as the connection process gets them. A CA file is read here and handed over as its
// bytes: the confined process cannot open the user's files.
QVector<wire::Setting> settingsFor(const ConnectionSettings& connection)
{
    QVector<wire::Setting> settings = wire::settingsToWire(connection);
    QFile file(connection.caFile);
    if (connection.caFile.isEmpty() || !connection.ca.isEmpty() || !file.open(QIODevice::ReadOnly) ||
        file.size() > wire::kMaxSettingValueBytes)
        return settings; // the library says why it cannot use it
    const QByteArray ca = file.readAll();
    for (wire::Setting& setting : settings)
        if (setting.name == QLatin1String("ca"))
            setting.value = ca;
        else if (setting.name == QLatin1String("ca-file"))
            setting.value.clear();
    return settings;
}

qint64 keyOf(const KeyInput& key)
{
    return key.nativeScanCode ? qint64(key.nativeScanCode) : -qint64(key.key) - 1;
}

} // namespace

SessionClient::SessionClient(QObject* parent) : QObject(parent)
{
    restartTimer.setSingleShot(true);
    connect(&restartTimer, &QTimer::timeout, this, [this] {
        if (!link)
            launch(wire::Connect::Recover);
    });
    connect(&launcher, &ConnectionLauncher::ended, this, &SessionClient::ended);
    connect(&connector, &ChannelConnector::opened, this, [this](uint32_t request, int fd) {
        Logger(DEBUG) << "Socket " << request << " handed to the connection process";
        send(wire::SocketGiven{request, wire::UniqueFd(fd)});
    });
    connect(&connector, &ChannelConnector::failed, this, [this](uint32_t request, const QString& words) {
        Logger(DEBUG) << "Socket " << request << " not opened: " << words;
        send(wire::SocketFailed{request, words});
    });
}

SessionClient::~SessionClient()
{
    if (earlySocket >= 0)
        close(earlySocket);
    delete link; // the process sees its end, then the launcher ends it
    link = nullptr;
}

void SessionClient::attach(int socket)
{
    attached = true;
    openLink(socket);
}

void SessionClient::openLink(int socket)
{
    serverSpoke = false;
    violation.clear();
    link = new MessageLink(socket, wire::Side::ConnectionProcess, this);
    link->setHandler([this](wire::Message& message) { receive(message); });
    connect(link, &MessageLink::violated, this, &SessionClient::linkDown);
    connect(link, &MessageLink::peerClosed, this, [this] { linkDown(QString()); });
}

void SessionClient::dropLink()
{
    connector.cancelAll(); // asked by that process alone
    if (!link)
        return;
    link->disconnect(this);
    link->shutDown();
    link->deleteLater(); // this may run inside its handler
    link = nullptr;
}

QStringList SessionClient::reachablePaths() const
{
    // The connection's CD images, folder and smartcard database, and those the menu chose since; a
    // process sees no other file, and none chosen after it started.
    const ConnectionSettings& settings = currentConnection();
    QStringList paths;
    const auto add = [&paths](const QString& path, bool writable) {
        if (!path.isEmpty())
            paths << (writable ? QStringLiteral("--write-path=") : QStringLiteral("--read-path=")) +
                         QFileInfo(path).absoluteFilePath();
    };
    for (const QString& cd : settings.sharedCds)
        add(cd, false);
    for (const auto& [id, wish] : deviceWishes)
        add(wish.path, false);
    add(settings.sharedDir, !settings.sharedDirReadOnly);
    if (folderChosen)
        add(folder, !folderReadOnly);
    if (settings.smartcard) // NSS names the database "sql:DIR" or just DIR
        add(QString(settings.smartcardDb).remove(QRegularExpression(QStringLiteral("^[a-z]+:"))), false);
    return paths;
}

bool SessionClient::spawn()
{
    QString error;
    QStringList arguments = granted = reachablePaths();
    if (logDebug())
        arguments.prepend(QStringLiteral("--debug")); // the process looks for it first
    if (!launcher.start(arguments, &earlySocket, &error, false)) {
        if (!launcher.running())
            Logger(ERROR) << "Cannot start the connection process: " << error;
        return false;
    }
    Logger(DEBUG) << "Connection process " << launcher.pid() << " started";
    return true;
}

bool SessionClient::startEarly()
{
    currentTitle = currentConnection().title;
    if (!spawn())
        return false;
    // Written straight to the socket, whose other end has all the room they need: no event loop yet.
    wire::Connect connect;
    connect.kind = wire::Connect::Start;
    connect.settings = settingsFor(currentConnection());
    connect.settings.append({"key", QByteArray(get_args()->key)});
    startKeySent = true;
    for (const wire::Message& message : {wire::Message(optionsMessage()), wire::Message(connect)})
        if (wire::sendEncoded(earlySocket, wire::encode(message)) != wire::SendResult::Sent)
            Logger(ERROR) << "The connection process was not told what to connect to";
    return true;
}

bool SessionClient::launch(uint8_t kind)
{
    restartTimer.stop();
    if (!link && !attached) {
        if (!spawn())
            return false;
        launcher.watch();
        openLink(std::exchange(earlySocket, -1));
    }
    if (!link)
        return false;
    sendOptions();
    sendConnect(kind);
    // What the new process must know of the window before it is asked anything.
    send(wire::WindowShown{windowShown});
    if (haveLayout)
        setClientLayout(layout);
    for (int selection : {SharedClipboard::Clipboard, SharedClipboard::Primary})
        if (!localOffers[selection].isEmpty())
            offerLocalClipboard(selection, localOffers[selection]);
    return true;
}

void SessionClient::sendOptions()
{
    send(optionsMessage());
}

wire::SetOptions SessionClient::optionsMessage() const
{
    const AppArgs* args = get_args();
    const std::pair<bool, uint32_t> options[] = {{reconnectOnDrop, wire::SetOptions::ReconnectOnDrop},
                                                 {keysByPosition, wire::SetOptions::KeysByPosition},
                                                 {!args->no_clipboard, wire::SetOptions::Clipboard},
                                                 {!args->no_file_copy, wire::SetOptions::FileCopy},
                                                 {args->share_primary, wire::SetOptions::SharePrimary},
                                                 {!args->auto_resize_never, wire::SetOptions::AutoResize},
                                                 {!args->no_center_click, wire::SetOptions::CenterClick}};
    uint32_t flags = 0;
    for (const auto& [on, flag] : options)
        flags |= on ? flag : 0;
    return wire::SetOptions{flags};
}

void SessionClient::sendConnect(uint8_t kind)
{
    wire::Connect message;
    message.kind = kind;
    message.settings = settingsFor(currentConnection());
    if (kind == wire::Connect::Start && !std::exchange(startKeySent, true))
        message.settings.append({"key", QByteArray(get_args()->key)});
    send(message);
    sendDeviceWishes();
}

void SessionClient::sendDeviceWishes()
{
    for (const auto& [id, wish] : deviceWishes) {
        if (wish.fd)
            send(wire::UsbRedirect{id, wish.name, wire::UniqueFd(fcntl(wish.fd.get(), F_DUPFD_CLOEXEC, 3))});
        else
            send(wire::CdShare{id, wish.path});
    }
    if (folderChosen)
        send(wire::FolderShare{folder, folderReadOnly});
    if (microphoneChosen >= 0)
        send(wire::MicrophoneSwitch{microphoneChosen == 1});
}

void SessionClient::redirectUsb(uint32_t id, const QString& name, int fd)
{
    wire::UniqueFd device(fd);
    if (deviceWishes.count(id) || id >= 0x80000000u)
        return;
    send(wire::UsbRedirect{id, name, wire::UniqueFd(fcntl(fd, F_DUPFD_CLOEXEC, 3))});
    deviceWishes[id] = {name, {}, std::move(device)};
}

void SessionClient::shareCd(uint32_t id, const QString& path)
{
    if (deviceWishes.count(id) || id >= 0x80000000u)
        return;
    deviceWishes[id] = {QFileInfo(path).fileName(), path, {}};
    if (!renewForNewFiles())
        send(wire::CdShare{id, path});
}

bool SessionClient::renewForNewFiles()
{
    // A running process opens no file it was not named at its start: a new one, named them, takes
    // over (it is told every wish as it starts).
    if (attached || !link || !launcher.running() || reachablePaths() == granted)
        return false;
    Logger(INFO) << "A new connection process, which may open what was just chosen";
    renewing = true;
    releaseAll();
    linkDown(QString());
    return true;
}

void SessionClient::releaseDevice(uint32_t id)
{
    // A CD image of the connection's, ejected, stays out of later processes; the others keep their
    // numbers (the process numbers them by their place).
    QStringList& cds = currentConnection().sharedCds;
    if (id >= 0x80000000u && id - 0x80000000u < uint32_t(cds.size()))
        cds[int(id - 0x80000000u)].clear();
    deviceWishes.erase(id);
    send(wire::DeviceRelease{id});
}

void SessionClient::shareFolder(const QString& path, bool readOnly)
{
    folderChosen = true;
    folder = path;
    folderReadOnly = readOnly;
    if (!renewForNewFiles())
        send(wire::FolderShare{path, readOnly});
}

void SessionClient::setMicrophone(bool on)
{
    microphoneChosen = on ? 1 : 0;
    send(wire::MicrophoneSwitch{on});
}

void SessionClient::smartcard(bool insert)
{
    send(wire::SmartcardSwitch{insert});
}

bool SessionClient::send(const wire::Message& message)
{
    return link && link->send(message);
}

bool SessionClient::start()
{
    if (earlySocket < 0) {
        currentTitle = currentConnection().title;
        return launch(wire::Connect::Start);
    }
    launcher.watch();
    openLink(std::exchange(earlySocket, -1));
    return true;
}

int SessionClient::checkReconnect()
{
    if (!link)
        return launch(wire::Connect::Reconnect) ? 1 : 0;
    sendConnect(wire::Connect::Reconnect);
    return 1;
}

int SessionClient::connectTo(const ConnectionSettings& settings)
{
    // What is held goes with the old server's session.
    keysDown.clear();
    buttons = 0;
    currentConnection() = settings;
    currentTitle = settings.title;
    Q_EMIT titleChanged(currentTitle);
    if (!link)
        return launch(wire::Connect::SwitchServer) ? 1 : 0;
    sendConnect(wire::Connect::SwitchServer);
    return 1;
}

void SessionClient::setReconnectOnDrop(bool on)
{
    reconnectOnDrop = on;
    if (link)
        sendOptions();
}

void SessionClient::setKeysByPosition(bool byPosition)
{
    keysByPosition = byPosition;
    if (link)
        sendOptions();
}

void SessionClient::key(const KeyInput& key, bool press)
{
    if (press)
        keysDown.insert(keyOf(key));
    else
        keysDown.remove(keyOf(key));
    send(wire::Key{key.nativeScanCode, key.key, key.modifiers, key.keypad, press});
}

bool SessionClient::keyHeld(const KeyInput& key) const
{
    return keysDown.contains(keyOf(key));
}

void SessionClient::injectKey(const QString& text)
{
    send(wire::InjectKey{text});
}

void SessionClient::pointerAt(const QPoint& surfacePoint, int display)
{
    send(wire::PointerAt{display, surfacePoint.x(), surfacePoint.y()});
}

void SessionClient::pointerBy(const QPoint& delta)
{
    send(wire::PointerBy{delta.x(), delta.y()});
}

void SessionClient::button(int qtButton, bool press, bool doubleClick)
{
    if (press) {
        buttons |= qtButton;
    } else {
        if (!(buttons & qtButton))
            return;
        buttons &= ~qtButton;
    }
    send(wire::Button{qtButton, press, doubleClick});
}

void SessionClient::wheel(int notches)
{
    send(wire::Wheel{notches});
}

void SessionClient::sendScancodes(const QVector<uint>& codes)
{
    for (int at = 0; at < codes.size(); at += wire::kMaxScancodes)
        send(wire::Scancodes{QVector<uint32_t>(
            codes.begin() + at, codes.begin() + qMin(codes.size(), at + wire::kMaxScancodes))});
}

void SessionClient::releaseAll()
{
    keysDown.clear();
    buttons = 0;
    send(wire::ReleaseAll{});
}

bool SessionClient::copyFiles(const QStringList& paths)
{
    QString why;
    if (copyRunning)
        why = tr("Files cannot be copied while a copy runs; drop them again when it has ended");
    else if (!link)
        why = tr("Files cannot be copied: there is no connection");
    else if (paths.isEmpty())
        why = tr("Nothing to copy");
    std::vector<wire::UniqueFd> opened;
    for (const QString& path : paths) {
        if (!why.isEmpty())
            break;
        // Opened here: the connection process reaches no file by its name.
        wire::UniqueFd fd(
            QFileInfo(path).isFile() ? open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC) : -1);
        if (!fd)
            why = tr("Files cannot be copied: only readable files can be copied, not folders");
        opened.push_back(std::move(fd));
    }
    if (!why.isEmpty()) {
        Logger(WARN) << why;
        Q_EMIT transferFinished(false, why);
        return false;
    }
    for (int i = 0; i < paths.size(); ++i)
        send(wire::FileCopyAdd{QFileInfo(paths[i]).fileName(), std::move(opened[size_t(i)])});
    copyRunning = send(wire::FileCopyStart{});
    return copyRunning;
}

void SessionClient::cancelCopy()
{
    send(wire::FileCopyCancel{});
}

void SessionClient::setWindowShown(bool someWindowShown)
{
    // What the remote side put on the local clipboard goes with the last window, not on the
    // process's word.
    if (std::exchange(windowShown, someWindowShown) && !someWindowShown)
        for (int selection : {SharedClipboard::Clipboard, SharedClipboard::Primary})
            if (clipboardShared(selection))
                Q_EMIT remoteClipboardOffered(selection, {});
    send(wire::WindowShown{someWindowShown});
}

bool SessionClient::clipboardShared(int selection) const
{
    const AppArgs* args = get_args();
    return !args->no_clipboard && (selection == SharedClipboard::Clipboard ||
                                   (selection == SharedClipboard::Primary && args->share_primary));
}

void SessionClient::offerLocalClipboard(int selection, const QStringList& types)
{
    if (selection < 0 || selection >= wire::SelectionCount)
        return;
    localOffers[selection] = types;
    send(wire::ClipboardOffer{uint8_t(selection), QVector<QString>(types.begin(), types.end())});
}

void SessionClient::answerClipboardRequest(int selection, const QString& type, const QByteArray& data)
{
    if (selection < 0 || selection >= wire::SelectionCount)
        return;
    if (size_t(data.size()) > wire::kMaxClipboardBytes) {
        Logger(WARN) << "The clipboard's data is over " << wire::kMaxClipboardBytes
                     << " bytes: the remote machine gets nothing";
        send(wire::ClipboardData{uint8_t(selection), type, {}});
        return;
    }
    send(wire::ClipboardData{uint8_t(selection), type, data});
}

void SessionClient::requestRemoteClipboard(int selection, const QString& type)
{
    if (selection >= 0 && selection < wire::SelectionCount &&
        send(wire::ClipboardRequest{uint8_t(selection), type}))
        remoteAsked.insert({selection, type});
    else
        Q_EMIT remoteClipboardData(selection, type, {});
}

void SessionClient::answerPassword(const QString& password)
{
    // Kept with the connection: a new connection process gets it too.
    currentConnection().password = password.toStdString();
    currentConnection().hasPasswordSource = true;
    send(wire::PasswordAnswer{true, password.toUtf8().left(wire::kMaxPasswordBytes)});
}

void SessionClient::declinePassword()
{
    send(wire::PasswordAnswer{false, {}});
}

void SessionClient::setClientLayout(const ClientLayout& client)
{
    layout = client;
    haveLayout = true;
    wire::MonitorsConfig message;
    for (const QRect& r : client.screens.mid(0, wire::kMaxMonitors))
        message.screens.append({r.x(), r.y(), r.width(), r.height()});
    message.screen = client.screen;
    message.fullScreen = client.fullScreen;
    for (const ClientWindow& w : client.windows.mid(0, wire::kMaxMonitors))
        message.windows.append(
            {w.monitor, qMax(0, w.size.width()), qMax(0, w.size.height()), uint8_t(w.state)});
    send(message);
}

void SessionClient::surfaceGone(int display)
{
    const Surface surface = surfaces.take(display);
    ScreenInitInfo none{0, 0, 0, surface.info.format, surface.info.pixelFormat};
    none.display = display;
    if (display == firstDisplay)
        Q_EMIT surfaceCreated(nullptr, none);
    else
        Q_EMIT otherSurfaceCreated(display, nullptr, none);
}

void SessionClient::receive(wire::Message& message)
{
    if (auto* s = std::get_if<wire::SurfaceCreated>(&message)) {
        const int display = int(s->surface);
        ScreenInitInfo info{s->height, s->width, s->stride, s->format, s->pixelFormat};
        info.display = display;
        info.fresh = s->flags & wire::SurfaceCreated::Fresh;
        auto view = std::make_shared<const wire::SurfaceView>(*s);
        const SurfacePixels pixels = view->pixels() ? SurfacePixels(view, view->pixels()) : nullptr;
        // Another display may become the first: the old first's surface stays, now as another's.
        if (s->flags & wire::SurfaceCreated::First)
            firstDisplay = display;
        surfaces.insert(display, {pixels, info});
        if (display == firstDisplay)
            Q_EMIT surfaceCreated(pixels, info);
        else
            Q_EMIT otherSurfaceCreated(display, pixels, info);
    } else if (auto* c = std::get_if<wire::SurfaceChanged>(&message)) {
        restarts = 0; // a picture: the next end starts the wait afresh
        const int display = int(c->surface);
        for (const wire::Rect& r : qAsConst(c->rects)) {
            if (display == firstDisplay)
                Q_EMIT surfaceChanged(Rect{r.x, r.y, r.width, r.height});
            else
                Q_EMIT otherSurfaceChanged(display, Rect{r.x, r.y, r.width, r.height});
        }
    } else if (auto* g = std::get_if<wire::SurfaceGone>(&message)) {
        surfaceGone(int(g->surface));
    } else if (auto* m = std::get_if<wire::MonitorsChanged>(&message)) {
        monitors.clear();
        for (const wire::Monitor& w : qAsConst(m->monitors))
            monitors.append({int(w.id), int(w.surface),
                             QRect(w.area.x, w.area.y, w.area.width, w.area.height), w.screen});
        Q_EMIT guestMonitorsChanged(monitors);
    } else if (auto* p = std::get_if<wire::PhaseChanged>(&message)) {
        serverSpoke = serverSpoke || p->phase == uint8_t(SessionPhase::Open);
    } else if (auto* t = std::get_if<wire::TitleChanged>(&message)) {
        currentTitle = t->title;
        Q_EMIT titleChanged(t->title);
    } else if (auto* mouse = std::get_if<wire::MouseModeChanged>(&message)) {
        serverMouse = mouse->server;
        Q_EMIT serverMouseChanged(mouse->server);
    } else if (auto* e = std::get_if<wire::ConnectionError>(&message)) {
        Q_EMIT connectionError(e->text);
    } else if (std::get_if<wire::Closed>(&message)) {
        Q_EMIT closed();
    } else if (std::get_if<wire::Cleared>(&message)) {
        Q_EMIT surfaceCleared();
    } else if (auto* a = std::get_if<wire::AgentChanged>(&message)) {
        Q_EMIT followsWindowChanged(a->flags & wire::AgentChanged::FollowsWindows);
    } else if (auto* progress = std::get_if<wire::TransferProgress>(&message)) {
        Q_EMIT transferProgress(progress->done, progress->total);
    } else if (auto* d = std::get_if<wire::DevicesChanged>(&message)) {
        deviceStatus = DevicesStatus();
        deviceStatus.usb = d->usb;
        deviceStatus.freeUsbChannels = d->freeUsbChannels;
        deviceStatus.flags = d->flags;
        deviceStatus.folder = d->folder;
        for (const wire::DeviceItem& item : qAsConst(d->devices))
            deviceStatus.devices.append({item.id, item.cd, item.state, item.name, item.words});
        Q_EMIT devicesChanged(deviceStatus);
    } else if (auto* f = std::get_if<wire::TransferFinished>(&message)) {
        copyRunning = false;
        Q_EMIT transferFinished(f->ok, f->text);
    } else if (auto* r = std::get_if<wire::PasswordRequest>(&message)) {
        Q_EMIT passwordWanted(r->server, r->retry);
    } else if (auto* o = std::get_if<wire::ClipboardOffer>(&message)) {
        // While no window is shown nothing crosses, whatever the process says.
        if (windowShown)
            Q_EMIT remoteClipboardOffered(o->selection, QStringList(o->types.begin(), o->types.end()));
    } else if (auto* rel = std::get_if<wire::ClipboardRelease>(&message)) {
        Q_EMIT remoteClipboardOffered(rel->selection, {});
    } else if (auto* q = std::get_if<wire::ClipboardRequest>(&message)) {
        if (windowShown)
            Q_EMIT localClipboardRequested(q->selection, q->mimeType);
        else
            send(wire::ClipboardData{q->selection, q->mimeType, {}});
    } else if (auto* wanted = std::get_if<wire::SocketRequest>(&message)) {
        connector.open(wanted->request, currentConnection(), wanted->tls);
    } else if (auto* d = std::get_if<wire::ClipboardData>(&message)) {
        remoteAsked.remove({d->selection, d->mimeType});
        Q_EMIT remoteClipboardData(d->selection, d->mimeType, d->data);
    }
}

void SessionClient::linkDown(const QString& refused)
{
    violation = refused;
    dropLink();
    if (attached)
        return ended(QStringLiteral("its socket closed"));
    // Whatever it still does, it does it no more; its end is heard from the launcher. One that
    // closed its end has a moment to end by itself, and so to say how.
    const qint64 pid = launcher.pid();
    if (!refused.isEmpty())
        launcher.signal(SIGKILL);
    else
        QTimer::singleShot(kEndGraceMs, this, [this, pid] {
            if (launcher.pid() == pid)
                launcher.signal(SIGKILL);
        });
}

void SessionClient::ended(const QString& how)
{
    dropLink(); // ended before its socket said so
    const bool renewed = std::exchange(renewing, false) && violation.isEmpty();
    QString words;
    if (renewed)
        Logger(INFO) << "The connection process ended (" << how << ") for a new one";
    else if (!violation.isEmpty())
        words = tr("The connection process sent a message the window cannot accept (%1) and was ended")
                    .arg(violation);
    else if (crashSignal(how) && serverSpoke)
        words = tr("The connection process ended (%1) after the server sent data it could not read").arg(how);
    else
        words = tr("The connection process ended (%1)").arg(how);
    if (!renewed)
        Logger(ERROR) << words
                      << (reconnectOnDrop ? tr("; reconnecting…") : tr("; the next start reconnects"));
    violation.clear();

    // What the window's side held of that process goes with it; the server let go of the keys and
    // buttons when its link closed.
    if (!keysDown.isEmpty() || buttons)
        Logger(INFO) << "Released " << keysDown.size() << " keys and the buttons held with it";
    keysDown.clear();
    buttons = 0;
    // The user reads what broke; how the process ended is for the log.
    if (std::exchange(copyRunning, false))
        Q_EMIT transferFinished(false, tr("File copy failed: the connection to the remote machine broke"));
    for (const auto& [selection, type] : std::exchange(remoteAsked, {}))
        Q_EMIT remoteClipboardData(selection, type, {});
    for (int selection : {SharedClipboard::Clipboard, SharedClipboard::Primary})
        if (clipboardShared(selection))
            Q_EMIT remoteClipboardOffered(selection, {});
    // Its surfaces are read no more: the next process's replace them.
    for (int display : surfaces.keys())
        surfaceGone(display);
    if (!std::exchange(monitors, {}).isEmpty())
        Q_EMIT guestMonitorsChanged({});
    if (std::exchange(serverMouse, false))
        Q_EMIT serverMouseChanged(false);
    // Nothing is shared, recorded or forwarded by a process that is gone.
    deviceStatus = DevicesStatus();
    Q_EMIT devicesChanged(deviceStatus);
    Q_EMIT surfaceCleared();
    if (renewed) {
        launch(wire::Connect::Recover);
        return;
    }
    Q_EMIT connectionBroke();
    if (!reconnectOnDrop) {
        Q_EMIT closed();
        return;
    }
    const int delay = qMin(kFirstRestartMs << qMin(restarts, 8), kLongestRestartMs);
    ++restarts;
    Logger(INFO) << "A new connection process in " << delay << " ms";
    restartTimer.start(delay);
}
