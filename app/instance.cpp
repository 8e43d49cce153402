#include "instance.h"

#include "connection_settings.h"
#include "log.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QThread>
#include <QTimer>
#include <QX11Info>
#include <X11/Xlib.h>
#include <cstdio>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

const QString SERVER_NAME = QStringLiteral("SpiceViewerForSingleInstance");
const QString APP_ACTION_ACTIVATE = QStringLiteral("activate");

std::optional<QString> parseActivation(const QByteArray& message)
{
    QJsonDocument document = QJsonDocument::fromJson(message);
    if (!document.isObject())
        return std::nullopt;
    QJsonObject object = document.object();
    if (object.value(QStringLiteral("command")).toString() != APP_ACTION_ACTIVATE)
        return std::nullopt;
    return object.value(QStringLiteral("key")).toString();
}

namespace
{

// The text members of a handed-over connection, by their names in connection files.
const std::pair<const char*, QString ConnectionSettings::*> kTextMembers[] = {
    {"host", &ConnectionSettings::host},
    {"port", &ConnectionSettings::port},
    {"tls-port", &ConnectionSettings::tlsPort},
    {"ca-file", &ConnectionSettings::caFile},
    {"host-subject", &ConnectionSettings::hostSubject},
    {"proxy", &ConnectionSettings::proxy},
    {"title", &ConnectionSettings::title},
    {"release-cursor", &ConnectionSettings::releaseCursor},
    {"toggle-fullscreen", &ConnectionSettings::toggleFullscreen},
    {"secure-attention", &ConnectionSettings::secureAttention},
    {"smartcard-insert", &ConnectionSettings::smartcardInsert},
    {"smartcard-remove", &ConnectionSettings::smartcardRemove},
};

} // namespace

QByteArray packActivation(const QString& key, const ConnectionSettings& connection)
{
    QJsonObject handed;
    for (const auto& [name, member] : kTextMembers)
        handed.insert(QString::fromLatin1(name), connection.*member);
    // The running instance has another working directory.
    if (!connection.caFile.isEmpty())
        handed.insert(QStringLiteral("ca-file"), QFileInfo(connection.caFile).absoluteFilePath());
    handed.insert(QStringLiteral("password"), QString::fromStdString(connection.password));
    handed.insert(QStringLiteral("password-given"), connection.hasPasswordSource);
    handed.insert(QStringLiteral("ca"), QString::fromUtf8(connection.ca));
    handed.insert(QStringLiteral("secure-channels"), QJsonArray::fromStringList(connection.secureChannels));
    handed.insert(QStringLiteral("fullscreen"), connection.fullscreen);
    handed.insert(QStringLiteral("proxy-from-environment"), connection.proxyFromEnvironment);
    QJsonObject object;
    object.insert(QStringLiteral("command"), APP_ACTION_ACTIVATE);
    object.insert(QStringLiteral("key"), key);
    object.insert(QStringLiteral("connection"), handed);
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<ConnectionSettings> parseHandedConnection(const QByteArray& message)
{
    const QJsonObject handed =
        QJsonDocument::fromJson(message).object().value(QStringLiteral("connection")).toObject();
    ConnectionSettings connection;
    for (const auto& [name, member] : kTextMembers)
        connection.*member = handed.value(QString::fromLatin1(name)).toString();
    if (connection.host.isEmpty() || (connection.port.isEmpty() && connection.tlsPort.isEmpty()))
        return std::nullopt;
    connection.password = handed.value(QStringLiteral("password")).toString().toStdString();
    connection.hasPasswordSource = handed.value(QStringLiteral("password-given")).toBool();
    connection.ca = handed.value(QStringLiteral("ca")).toString().toUtf8();
    for (const QJsonValue& channel : handed.value(QStringLiteral("secure-channels")).toArray())
        connection.secureChannels << channel.toString();
    connection.fullscreen = handed.value(QStringLiteral("fullscreen")).toBool();
    connection.proxyFromEnvironment = handed.value(QStringLiteral("proxy-from-environment")).toBool();
    return connection;
}

std::optional<uid_t> peerUid(int socketDescriptor)
{
    if (socketDescriptor < 0)
        return std::nullopt;
    struct ucred credentials {
    };
    socklen_t length = sizeof credentials;
    if (getsockopt(socketDescriptor, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
        length != sizeof credentials)
        return std::nullopt;
    return credentials.uid;
}

namespace
{

// Reads one activation message as it arrives, without waiting on the spot: a local process that
// connects and writes slowly, or nothing, must not hold up the picture and the input. The message
// has kActivationWaitMs in all; a peer that hangs up ends it early.
class ActivationReader : public QObject
{
public:
    ActivationReader(QLocalSocket* connection, ActivationTarget* target)
        : QObject(connection), connection(connection), target(target)
    {
        deadline.setSingleShot(true);
        connect(&deadline, &QTimer::timeout, this, &ActivationReader::finish);
        connect(connection, &QLocalSocket::readyRead, this, &ActivationReader::read);
        connect(connection, &QLocalSocket::disconnected, this, [this] {
            read(); // what came with the hang-up
            finish();
        });
        deadline.start(kActivationWaitMs);
        read();
    }

private:
    void read()
    {
        if (done)
            return;
        if (message.size() + connection->bytesAvailable() > kMaxActivationMessage) {
            finish();
            return;
        }
        message += connection->readAll();
        // Senders write one compact object: once it parses, the message is whole.
        if (!QJsonDocument::fromJson(message).isObject())
            return;
        finish();
        if (std::optional<QString> key = parseActivation(message))
            act(*key, parseHandedConnection(message));
    }
    void act(const QString& key, const std::optional<ConnectionSettings>& connection)
    {
        Logger(INFO) << "收到激活指令，正在激活主窗口。";
        HandOver kind = connection ? handOverKind(currentConnection(), *connection) : HandOver::KeyOnly;
        ProxyAddress proxy;
        QString error;
        // The later start's SPICE_PROXY is checked here, where it would be used.
        if (kind != HandOver::KeyOnly && !connection->proxy.isEmpty() &&
            !parseProxy(connection->proxy, proxy, error)) {
            Logger(ERROR) << "A later start's connection is not used: "
                          << (connection->proxyFromEnvironment ? "SPICE_PROXY: " : "") << error;
            kind = HandOver::KeyOnly;
        }
        const bool moved = kind != HandOver::KeyOnly && target->useConnection(*connection, kind);
        if (!moved)
            target->checkReconnect();
        if (!key.isEmpty())
            target->onReactivate(key);
        // Another server: the window moves there and comes to the front, key or not.
        if ((moved && kind == HandOver::NewServer) || key.isEmpty()) {
            if (!target->isWindowVisible())
                target->showWindow();
            activate_window(int(target->windowId()));
        }
    }
    void finish()
    {
        if (std::exchange(done, true))
            return;
        deadline.stop();
        connection->disconnectFromServer();
        connection->deleteLater();
    }

    QLocalSocket* connection;
    ActivationTarget* target;
    QByteArray message;
    QTimer deadline;
    bool done = false;
};

} // namespace

void ActivationHandler::operator()() const
{
    Logger(INFO) << "检测到新的连接请求。";
    QLocalSocket* connection = server->nextPendingConnection();
    if (!connection)
        return;

    std::optional<uid_t> uid = peerUid(int(connection->socketDescriptor()));
    if (!uid || *uid != geteuid()) {
        Logger(ERROR) << "Activation request from another user refused";
        connection->disconnectFromServer();
        connection->deleteLater();
        return;
    }
    new ActivationReader(connection, target); // goes with the connection
}

void activate_window(int window)
{
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::printf("无法连接 X Server\n");
        std::fflush(stdout);
        return;
    }
    XWindowAttributes attributes{};
    // A window that cannot be read (gone, or not ours) is not worth asking about.
    if (XGetWindowAttributes(display, Window(unsigned(window)), &attributes) == 0) {
        XCloseDisplay(display);
        return;
    }
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.serial = 0;
    event.xclient.send_event = False;
    event.xclient.display = display;
    event.xclient.window = Window(unsigned(window));
    event.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = 2;
    event.xclient.data.l[1] = CurrentTime;
    event.xclient.data.l[2] = 0;
    Window root = attributes.root ? attributes.root : DefaultRootWindow(display);
    XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XCloseDisplay(display);
}

void x11_windowmap(int window)
{
    if (window == 0 || !QX11Info::display())
        return;
    XMapWindow(QX11Info::display(), Window(unsigned(window)));
    XFlush(QX11Info::display());
}

void x11_windowunmap(int window)
{
    if (window == 0 || !QX11Info::display())
        return;
    XUnmapWindow(QX11Info::display(), Window(unsigned(window)));
    XFlush(QX11Info::display());
}

QString instanceDirectory()
{
    // The login manager makes the runtime directory for this user alone; on a shared machine the
    // temporary directory is everybody's, and the first user to take the name there would hold it.
    const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
    struct stat info {
    };
    if (!runtime.isEmpty() && runtime.startsWith('/') && stat(runtime.constData(), &info) == 0 &&
        S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & 077) == 0)
        return QString::fromLocal8Bit(runtime);
    return QDir::tempPath();
}

QString instanceSocketPath()
{
    return QDir(instanceDirectory()).filePath(SERVER_NAME);
}

QString instanceLockPath()
{
    return instanceSocketPath() + QStringLiteral(".lock");
}

StartRole decideStartRole(QLocalSocket& probe, QLockFile& lock, int probeWaitMs, int deadlineMs)
{
    // Only a dead owner makes the lock stale; a long-running instance keeps it.
    lock.setStaleLockTime(0);
    QElapsedTimer clock;
    clock.start();
    for (;;) {
        probe.connectToServer(instanceSocketPath(), QIODevice::ReadWrite);
        if (probe.waitForConnected(probeWaitMs)) {
            std::optional<uid_t> uid = peerUid(int(probe.socketDescriptor()));
            if (!uid || *uid != geteuid()) {
                probe.abort();
                return StartRole::ForeignOwner;
            }
            return StartRole::Forward;
        }
        // The name exists but we may not connect: another user's instance holds it.
        if (probe.error() == QLocalSocket::SocketAccessError) {
            probe.abort();
            return StartRole::ForeignOwner;
        }
        probe.abort();
        if (lock.tryLock(0))
            return StartRole::Serve;
        // Anything but "held by a live process" means we can never take it.
        if (lock.error() != QLockFile::LockFailedError)
            return StartRole::LockDenied;
        if (clock.elapsed() > deadlineMs)
            return StartRole::Timeout;
        QThread::msleep(20);
    }
}
