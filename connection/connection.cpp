#include "connection.h"

#include "connection_settings.h"
#include "log.h"
#include "session_viewer.h"

void applyConnectionSettings(SpiceSession* session, const ConnectionSettings& settings)
{
    // The library opens no connection and runs no TLS on the sockets it is handed (channel_sockets.h):
    // ports, proxy, secure channels and the certificate's checks are not its business any more.
    g_object_set(session, "host", settings.host.toUtf8().constData(), nullptr);
    if (!settings.password.empty())
        g_object_set(session, "password", settings.password.c_str(), nullptr);
}

std::string connectionFailureCause(SpiceChannelEvent event, const GError* error)
{
    // The socket comes from the window, which says itself why it has none; from the link on, the
    // event tells what went wrong.
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

std::string connectionFailureMessage(const ConnectionSettings& settings, SpiceChannelEvent event,
                                     const GError* error)
{
    std::string message = "Cannot connect to " + settings.describe().toStdString() + ": " +
                          connectionFailureCause(event, error);
    if (event == SPICE_CHANNEL_ERROR_AUTH && !settings.hasPasswordSource)
        message += " (no password given: see --password-file)";
    return message;
}

namespace
{
constexpr const char* kConnectFailure = "spiceclient-connect-failure";
} // namespace

void setConnectFailure(SpiceChannel* channel, const QString& cause)
{
    g_object_set_data_full(G_OBJECT(channel), kConnectFailure, g_strdup(cause.toUtf8().constData()), g_free);
}

void reportConnectionFailure(SpiceChannel* channel, SpiceChannelEvent event, SessionViewer* viewer)
{
    if (char* cause =
            channel ? static_cast<char*>(g_object_steal_data(G_OBJECT(channel), kConnectFailure)) : nullptr) {
        const std::string message =
            "Cannot connect to " + currentConnection().describe().toStdString() + ": " + cause;
        g_free(cause);
        return reportConnectionFailure(message, viewer);
    }
    reportConnectionFailure(event, channel ? spice_channel_get_error(channel) : nullptr, viewer);
}

void reportConnectionFailure(SpiceChannelEvent event, const GError* error, SessionViewer* viewer)
{
    reportConnectionFailure(connectionFailureMessage(currentConnection(), event, error), viewer);
}

std::string noAnswerMessage(const ConnectionSettings& settings, int seconds)
{
    // The library gives no error: the server, or the proxy, took the connection and stays silent.
    const std::string within = " within " + std::to_string(seconds) + " seconds";
    return "Cannot connect to " + settings.describe().toStdString() + ": " +
           (settings.proxy.isEmpty() ? "timed out, no answer" + within
                                     : "no answer through the proxy" + within);
}

void reportConnectionFailure(const std::string& message, SessionViewer* viewer)
{
    Logger(ERROR) << message;
    if (viewer)
        viewer->showConnectionError(QString::fromStdString(message));
}
