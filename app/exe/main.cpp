#include "args.h"
#include "connection_host.h"
#include "connection_launcher.h"
#include "connection_process.h"
#include "connection_settings.h"
#include "hotkeys.h"
#include "instance.h"
#include "log.h"
#include "session_client.h"
#include "sigpipe.h"
#include "spiceviewer.h"

#include <QAbstractEventDispatcher>
#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace
{

// Whether `word` is one of our options that takes the next word as its value.
bool takesValue(const std::string& word)
{
    if (word == "-h" || word == "-p" || word == "-n" || word == "-k")
        return true;
    if (word.size() < 3 || word.compare(0, 2, "--") != 0 || word.find('=') != std::string::npos)
        return false;
    for (const char* name :
         {"--host", "--port", "--name", "--key", "--tls-port", "--password-file", "--ca-file",
          "--host-subject", "--proxy", "--hotkeys", "--kiosk-quit", "--auto-resize"})
        if (std::string(name).compare(0, word.size(), word) == 0)
            return true;
    return false;
}

// Qt's xcb plugin takes "--name VALUE" as its own -name option, so a title given that way would
// never reach us; Qt leaves "--name=VALUE" alone and getopt reads it the same.
void joinNameOption(int& argc, char** argv)
{
    static std::vector<std::string> joined;
    joined.reserve(size_t(argc)); // the words handed out must not move
    bool valueNext = false;
    int out = 1;
    for (int i = 1; i < argc; ++i) {
        const std::string word = argv[i];
        if (!valueNext && word == "--name" && i + 1 < argc) {
            joined.push_back(word + "=" + argv[++i]);
            argv[out++] = joined.back().data();
            continue;
        }
        valueNext = !valueNext && takesValue(word);
        argv[out++] = argv[i];
    }
    argc = out;
    argv[argc] = nullptr;
}

// The window paints with Qt's raster engine only, but Qt's X11 platform loads its GLX integration,
// and with it Mesa and LLVM, for the first window (about 0.1 s). A user who asks for OpenGL through
// Qt's own variables keeps it.
void leaveOpenGLUnloaded()
{
    for (const char* name : {"QT_XCB_GL_INTEGRATION", "QT_OPENGL", "QT_XCB_FORCE_SOFTWARE_OPENGL"})
        if (qEnvironmentVariableIsSet(name))
            return;
    qputenv("QT_XCB_GL_INTEGRATION", "none");
}

// Without a session bus in the environment or in the runtime directory, the D-Bus library runs
// dbus-launch to look for one, on the way to the first window (Qt's accessibility asks for the
// bus). Where no dbus-launch is installed that can only fail: it fails at once instead.
void skipHopelessBusLookup()
{
    if (qEnvironmentVariableIsSet("DBUS_SESSION_BUS_ADDRESS") ||
        QFileInfo::exists(qEnvironmentVariable("XDG_RUNTIME_DIR") + QStringLiteral("/bus")) ||
        QFileInfo::exists(QStringLiteral("/usr/bin/dbus-launch")) ||
        !QStandardPaths::findExecutable(QStringLiteral("dbus-launch")).isEmpty())
        return;
    qputenv("DBUS_SESSION_BUS_ADDRESS", "disabled:");
}

constexpr int kProbeWaitMs = 500;
constexpr int kHandOverWaitMs = 30000;
// How long a start waits for a simultaneous one that won the lock to begin listening.
constexpr int kRoleDeadlineMs = 10000;

// The connection file's hotkeys, then the command line's over them.
Hotkeys hotkeysFor(const ConnectionSettings& connection)
{
    Hotkeys hotkeys;
    QString error;
    const std::pair<const char*, QString> fromFile[] = {{"toggle-fullscreen", connection.toggleFullscreen},
                                                        {"release-cursor", connection.releaseCursor},
                                                        {"secure-attention", connection.secureAttention},
                                                        {"smartcard-insert", connection.smartcardInsert},
                                                        {"smartcard-remove", connection.smartcardRemove}};
    for (const auto& [name, value] : fromFile)
        if (!value.isEmpty() && !parseHotkeys(QString("%1=%2").arg(name, value), hotkeys, error))
            Logger(WARN) << "The connection's hotkey " << name << " is not used: " << error;
    parseHotkeys(QString::fromLocal8Bit(get_args()->hotkeys), hotkeys,
                 error); // checked with the command line
    return hotkeys;
}

class ViewerActivation : public ActivationTarget
{
public:
    ViewerActivation(SpiceViewer* viewer, SessionClient* session) : viewer(viewer), session(session) {}
    int checkReconnect() override { return viewer->checkReconnect(); }
    void onReactivate(QString key) override { viewer->onReactivate(key); }
    bool isWindowVisible() const override { return viewer->isVisible(); }
    void showWindow() override { viewer->show(); }
    unsigned long windowId() override { return viewer->winId(); }
    bool useConnection(const ConnectionSettings& connection, HandOver kind) override
    {
        if (kind == HandOver::NewServer)
            Logger(INFO) << "Switching to " << connection.describe();
        else
            Logger(INFO) << "Other connection settings for " << connection.describe() << "; connecting again";
        viewer->setHotkeys(hotkeysFor(connection));
        if (connection.fullscreen)
            viewer->setFullScreen(true);
        session->connectTo(connection);
        return true;
    }

private:
    SpiceViewer* viewer;
    SessionClient* session;
};

int handOver(QLocalSocket& probe)
{
    Logger(INFO) << "应用程序已在运行，尝试激活主窗口...";
    // With its connection: the running instance moves to it when it names another server.
    QByteArray message = packActivation(QString::fromUtf8(get_args()->key), currentConnection());
    probe.write(message);
    probe.waitForBytesWritten(kHandOverWaitMs);
    probe.disconnectFromServer();
    return 0;
}

bool startListening(QLocalServer& server)
{
    // Only our own user may talk to the instance.
    server.setSocketOptions(QLocalServer::UserAccessOption);
    const QString path = instanceSocketPath();
    if (server.listen(path))
        return true;
    if (server.serverError() == QAbstractSocket::AddressInUseError) {
        QLocalServer::removeServer(path);
        if (server.listen(path))
            return true;
    }
    Logger(ERROR) << "无法启动本地服务器:" << server.errorString();
    return false;
}

// The connection process: the SPICE session, confined, without a display, serving the window
// that started it over its socket.
int connectionProcess(int argc, char** argv)
{
    setLogDebug(argc > 2 && std::strcmp(argv[2], "--debug") == 0);
    return runConnectionProcess(argc, argv,
                                [](MessageLink& link) { return std::make_unique<ConnectionHost>(link); });
}

} // namespace

int main(int argc, char** argv)
{
    // Before anything of the window's: the same program started as its connection process.
    if (isConnectionProcess(argc, argv))
        return connectionProcess(argc, argv);
    keepWindowPrivate();
    // Answered before Qt, which needs a display.
    if (versionAsked(argc, argv)) {
        printVersion();
        return 0;
    }
    joinNameOption(argc, argv);
    leaveOpenGLUnloaded();
    // A later start only hands over, without a window: it probes with a plain application object,
    // and the GUI (the X connection, its plugins) is built once this process is the instance. Qt's
    // own options are removed by the GUI object alone, so a line that may hold them builds it first.
    const bool guiFirst = !onlyOwnOptions(argc, argv);
    std::unique_ptr<QCoreApplication> app(guiFirst ? new QApplication(argc, argv)
                                                   : new QCoreApplication(argc, argv));
    if (!log_init()) {
        std::printf("log init failed\n");
        std::fflush(stdout);
        return -1;
    }
    Logger(INFO) << "version: " << programVersion();
    Logger(INFO) << "run-time Qt version: " << qVersion();
    parse_cmd(argc, argv);

    QLockFile instanceLock(instanceLockPath());
    {
        QLocalSocket probe;
        switch (decideStartRole(probe, instanceLock, kProbeWaitMs, kRoleDeadlineMs)) {
        case StartRole::Forward:
            return handOver(probe);
        case StartRole::ForeignOwner:
            Logger(ERROR) << "The name " << SERVER_NAME << " is held by another user's process; nothing sent";
            return 1;
        case StartRole::LockDenied:
            Logger(ERROR) << "Cannot take the single-instance lock " << instanceLockPath();
            return 1;
        case StartRole::Timeout:
            Logger(ERROR) << "Another start holds the single-instance lock but does not answer";
            return 1;
        case StartRole::Serve:
            break;
        }
    }
    // SPICE_PROXY is checked once it is used: a start that only hands over its key does not need it.
    ProxyAddress proxy;
    QString proxyError;
    if (!currentConnection().proxy.isEmpty() && !parseProxy(currentConnection().proxy, proxy, proxyError)) {
        Logger(ERROR) << (currentConnection().proxyFromEnvironment ? "SPICE_PROXY: " : "") << proxyError;
        return 1;
    }

    // The SPICE library delivers everything through the GLib main context, which only Qt's GLib
    // event dispatcher runs; without it the viewer would wait for ever, silently.
    QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance();
    if (!dispatcher || !dispatcher->inherits("QEventDispatcherGlib")) {
        Logger(ERROR) << "Qt runs without its GLib event loop (QT_NO_GLIB is set?); the SPICE library "
                         "needs it. Unset QT_NO_GLIB and start again.";
        return 1;
    }

    skipHopelessBusLookup();
    // The connection process starts, and connects, while the window's GUI is built: its session
    // needs nothing of it, and what it reports waits on the socket until the window listens. The
    // client outlives the window, which shows the surface blocks it maps.
    SessionClient session;
    if (!session.startEarly())
        return 1;
    if (!guiFirst) {
        app.reset();
        app.reset(new QApplication(argc, argv));
    }
    QLocalServer server;
    if (!startListening(server))
        return 1;
    if (!session.start())
        return 1;
    installSigpipeHandler();
    SpiceViewer viewer;
    viewer.setSession(&session);
    viewer.setHotkeys(hotkeysFor(currentConnection()));
    if (get_args()->kiosk)
        viewer.setKiosk(get_args()->kiosk_quit);
    else if (currentConnection().fullscreen)
        viewer.setFullScreen(true);
    ViewerActivation activation(&viewer, &session);
    QObject::connect(&server, &QLocalServer::newConnection, &server, ActivationHandler(&server, &activation),
                     Qt::DirectConnection);
    // A key alone is sent without a window; a kiosk is always shown.
    if (get_args()->key[0] == 0 || get_args()->kiosk)
        viewer.show();
    // The icon's SVG engine waits until the window shows the picture.
    QObject::connect(
        &viewer, &SpiceViewer::firstPicturePainted, app.get(),
        [] { QApplication::setWindowIcon(QIcon(QStringLiteral(":/res/vantrel.svg"))); },
        Qt::QueuedConnection);
    return app->exec();
}
