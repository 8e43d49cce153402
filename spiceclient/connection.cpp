#include "connection.h"

#include "args.h"
#include "log.h"
#include "session_viewer.h"

void applyConnectionSettings(SpiceSession* session, const AppArgs& args, const std::string& password)
{
    g_object_set(session, "host", args.host, nullptr);
    if (args.port[0])
        g_object_set(session, "port", args.port, nullptr);
    if (args.tls_port[0]) {
        g_object_set(session, "tls-port", args.tls_port, nullptr);
        // No channel may fall back to plain TCP, where the password and the screen travel in clear.
        const char* all[] = {"all", nullptr};
        g_object_set(session, "secure-channels", all, nullptr);
    }
    if (!password.empty())
        g_object_set(session, "password", password.c_str(), nullptr);
    if (args.ca_file[0])
        g_object_set(session, "ca-file", args.ca_file, nullptr);
    if (args.host_subject[0])
        g_object_set(session, "cert-subject", args.host_subject, nullptr);
}

std::string connectionFailureCause(SpiceChannelEvent event, const GError* error)
{
    // The library gives its reasons as GIO and resolver errors when the socket cannot be opened;
    // past that point only the event tells what went wrong.
    if (error && error->domain == G_RESOLVER_ERROR)
        return "host name not found";
    if (error && error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_CONNECTION_REFUSED:
            return "connection refused";
        case G_IO_ERROR_HOST_UNREACHABLE:
        case G_IO_ERROR_NETWORK_UNREACHABLE:
            return "host unreachable";
        case G_IO_ERROR_TIMED_OUT:
            return "timed out";
        default:
            break;
        }
    }
    switch (event) {
    case SPICE_CHANNEL_ERROR_AUTH:
        return "password refused";
    case SPICE_CHANNEL_ERROR_TLS:
        // A failed certificate check and a port that does not speak TLS look the same from here.
        return "certificate not trusted, or no TLS on that port";
    case SPICE_CHANNEL_ERROR_LINK:
        return "link refused (not a SPICE server?)";
    case SPICE_CHANNEL_ERROR_IO:
        return "connection lost";
    default:
        break;
    }
    if (error && error->message && error->message[0])
        return error->message;
    return "error " + std::to_string(int(event));
}

std::string connectionFailureMessage(const AppArgs& args, SpiceChannelEvent event, const GError* error)
{
    // With a TLS port every channel uses it; the plain port is not tried.
    std::string where = std::string(args.host) + (args.tls_port[0] ? " TLS port " : " port ") +
                        (args.tls_port[0] ? args.tls_port : args.port);
    std::string message = "Cannot connect to " + where + ": " + connectionFailureCause(event, error);
    if (event == SPICE_CHANNEL_ERROR_AUTH && !args.password_file[0])
        message += " (no password given: see --password-file)";
    return message;
}

void reportConnectionFailure(SpiceChannel* channel, SpiceChannelEvent event, SessionViewer* viewer)
{
    reportConnectionFailure(event, channel ? spice_channel_get_error(channel) : nullptr, viewer);
}

void reportConnectionFailure(SpiceChannelEvent event, const GError* error, SessionViewer* viewer)
{
    const std::string message = connectionFailureMessage(*get_args(), event, error);
    Logger(ERROR) << message;
    if (viewer)
        viewer->showConnectionError(QString::fromStdString(message) +
                                    QStringLiteral(".\nThe next start of spice-client tries again."));
}
