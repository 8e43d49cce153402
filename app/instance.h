#pragma once

#include <QByteArray>
#include <QString>
#include <optional>
#include <sys/types.h>

class QLocalServer;
class QLocalSocket;

extern const QString SERVER_NAME;
extern const QString APP_ACTION_ACTIVATE;

// Largest activation message accepted; a message of this system is under 100 bytes.
constexpr qint64 kMaxActivationMessage = 64 * 1024;
// How long a connection may take to deliver its message, in total.
constexpr int kActivationWaitMs = 500;

#include "connection_settings.h"

// The message of a later start that also hands over its connection, so that the running instance
// can move to its server. It holds the password: it only travels on the user-only socket.
QByteArray packActivation(const QString& key, const ConnectionSettings& connection);
// The connection a message hands over; nullopt for messages without one (older versions) or
// without a usable host and port.
std::optional<ConnectionSettings> parseHandedConnection(const QByteArray& message);

// What an activation message asks for: nullopt when it is not to be acted on,
// otherwise the key to inject (empty: show and raise the window).
std::optional<QString> parseActivation(const QByteArray& message);

// The user id of the process at the other end of a connected unix socket.
std::optional<uid_t> peerUid(int socketDescriptor);

// What the activation handler acts on; the viewer window in the program, a recorder in tests.
class ActivationTarget
{
public:
    virtual ~ActivationTarget() = default;
    virtual int checkReconnect() = 0;
    virtual void onReactivate(QString key) = 0;
    virtual bool isWindowVisible() const = 0;
    virtual void showWindow() = 0;
    virtual unsigned long windowId() = 0;
    // A later start handed over a connection for another server (NewServer) or other link settings
    // for the running one (NewSettings): true when the target now connects with it; false leaves
    // everything to the usual activation.
    virtual bool useConnection(const ConnectionSettings& connection, HandOver kind)
    {
        (void)connection;
        (void)kind;
        return false;
    }
};

// Connected to QLocalServer::newConnection: takes one pending connection and acts on its message
// once it has arrived, from the event loop.
class ActivationHandler
{
public:
    ActivationHandler(QLocalServer* server, ActivationTarget* target) : server(server), target(target) {}
    void operator()() const;

private:
    QLocalServer* server;
    ActivationTarget* target;
};

void activate_window(int window);
void x11_windowmap(int window);
void x11_windowunmap(int window);

class QLockFile;

enum class StartRole {
    Forward,      // an instance of ours answered: hand it the message and end
    Serve,        // nobody answered and this process holds the lock: become the instance
    ForeignOwner, // the name is answered by another user's process: send nothing
    LockDenied,   // the lock file belongs to someone we may not displace
    Timeout,      // another start held the lock but never began to listen
};

// Probes for a running instance; when none answers, the lock beside the socket decides which of
// several simultaneous starts listens, and the others keep probing until it does.
StartRole decideStartRole(QLocalSocket& probe, QLockFile& lock, int probeWaitMs, int deadlineMs);
// Where the socket named SERVER_NAME and its lock live: the user's private runtime directory when
// there is one, else the temporary directory.
QString instanceDirectory();
QString instanceSocketPath();
QString instanceLockPath();
