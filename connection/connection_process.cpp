#include "connection_process.h"

#include "confinement.h"
#include "log.h"

#include <QCoreApplication>
#include <csignal>
#include <cstring>
#include <gst/gst.h>
#include <sys/socket.h>

namespace
{

// GStreamer checks its plugins against the registry in the user's cache, and writes it anew when
// they changed or it is missing: done here, before confinement, which leaves the cache read-only.
// Otherwise every start would load every plugin to scan it, inside the confined process.
void warmUpGStreamer()
{
    GError* error = nullptr;
    if (!gst_init_check(nullptr, nullptr, &error)) {
        Logger(WARN) << "GStreamer did not start: " << (error ? error->message : "?");
        g_clear_error(&error);
    }
}

// The paths the window names for the session (--read-path=, --write-path=).
Confinement confinementFor(int argc, char** argv)
{
    Confinement confinement;
    for (int i = 2; i < argc; ++i)
        for (auto [prefix, writable] : {std::pair{"--read-path=", false}, {"--write-path=", true}})
            if (std::strncmp(argv[i], prefix, std::strlen(prefix)) == 0)
                confinement.paths.push_back({argv[i] + std::strlen(prefix), writable});
    return confinement;
}

} // namespace

bool isConnectionProcess(int argc, char** argv)
{
    return argc >= 2 && std::strcmp(argv[1], wire::kConnectionProcessArgument) == 0;
}

int runConnectionProcess(int argc, char** argv, const SessionFactory& makeSession)
{
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(wire::kConnectionSocketFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_SEQPACKET) {
        Logger(ERROR) << "The connection process was started without its socket";
        return 2;
    }
    warmUpGStreamer();
    // The window opens every connection and hands it over: no network here at all.
    Confinement confinement = confinementFor(argc, argv);
    confinement.network = false;
    const QString refused = confine(confinement);
    if (!refused.isEmpty()) {
        Logger(ERROR) << "The connection process cannot confine itself (" << refused << "); it does not run";
        return 2;
    }
    // A window that went away is seen on the socket, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    MessageLink link(wire::kConnectionSocketFd, wire::Side::Window);
    QObject::connect(&link, &MessageLink::peerClosed, &app, [] { QCoreApplication::exit(0); });
    QObject::connect(&link, &MessageLink::violated, &app, [](const QString& reason) {
        Logger(ERROR) << "The window broke the protocol: " << reason;
        QCoreApplication::exit(1);
    });
    std::unique_ptr<QObject> session = makeSession(link);
    link.send(wire::Ready{});
    const int status = app.exec();
    session.reset();
    return status;
}
