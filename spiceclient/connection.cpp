#include "connection.h"

#include "connection_settings.h"
#include "log.h"
#include "session_viewer.h"

#include <vector>

void applyConnectionSettings(SpiceSession* session, const ConnectionSettings& settings)
{
    g_object_set(session, "host", settings.host.toUtf8().constData(), nullptr);
    if (!settings.port.isEmpty())
        g_object_set(session, "port", settings.port.toUtf8().constData(), nullptr);
    if (!settings.tlsPort.isEmpty())
        g_object_set(session, "tls-port", settings.tlsPort.toUtf8().constData(), nullptr);
    if (!settings.secureChannels.isEmpty()) {
        // Listed channels never fall back to plain TCP, where the password and the screen travel in clear.
        std::vector<QByteArray> names;
        std::vector<const char*> list;
        for (const QString& name : settings.secureChannels)
            names.push_back(name.toUtf8());
        for (const QByteArray& name : names)
            list.push_back(name.constData());
        list.push_back(nullptr);
        g_object_set(session, "secure-channels", list.data(), nullptr);
    }
    if (!settings.password.empty())
        g_object_set(session, "password", settings.password.c_str(), nullptr);
    if (!settings.ca.isEmpty()) {
        // Handed over in memory: the trust anchor is never written where others could swap it.
        GByteArray* ca = g_byte_array_new();
        g_byte_array_append(ca, reinterpret_cast<const guint8*>(settings.ca.constData()),
                            guint(settings.ca.size()));
        g_object_set(session, "ca", ca, nullptr);
        g_byte_array_unref(ca);
    }
    if (!settings.caFile.isEmpty())
        g_object_set(session, "ca-file", settings.caFile.toLocal8Bit().constData(), nullptr);
    if (!settings.hostSubject.isEmpty())
        g_object_set(session, "cert-subject", settings.hostSubject.toUtf8().constData(), nullptr);
    // The proxy resolves the server's name itself: Proxmox names hosts only its proxy knows. It goes
    // in the one form the library reads as it was checked; an empty one says "direct", or the
    // library would take this process's SPICE_PROXY, which a later start's settings never name.
    g_object_set(session, "proxy", proxyForLibrary(settings.proxy).toUtf8().constData(), nullptr);
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

namespace
{

// Through a proxy, a socket error before the proxy answers is about the proxy itself.
std::string proxyFailureCause(SpiceChannelEvent event, const GError* error)
{
    if (error->domain == G_IO_ERROR) {
        switch (error->code) {
        case G_IO_ERROR_PROXY_NEED_AUTH:
            return "the proxy asks for a user name and password (HTTP 407)";
        case G_IO_ERROR_PROXY_AUTH_FAILED:
            return "the proxy refused the user name and password (HTTP 407)";
        case G_IO_ERROR_PROXY_NOT_ALLOWED:
            return "the proxy refused the connection (HTTP 403)";
        case G_IO_ERROR_PROXY_FAILED:
            return std::string("the proxy failed: ") + error->message;
        default:
            break;
        }
    }
    if (event == SPICE_CHANNEL_ERROR_CONNECT &&
        (error->domain == G_IO_ERROR || error->domain == G_RESOLVER_ERROR))
        return "proxy unreachable: " + connectionFailureCause(event, error);
    return connectionFailureCause(event, error);
}

} // namespace

std::string connectionFailureMessage(const ConnectionSettings& settings, SpiceChannelEvent event,
                                     const GError* error)
{
    const std::string cause = settings.proxy.isEmpty() || !error ? connectionFailureCause(event, error)
                                                                 : proxyFailureCause(event, error);
    std::string message = "Cannot connect to " + settings.describe().toStdString() + ": " + cause;
    if (event == SPICE_CHANNEL_ERROR_AUTH && !settings.hasPasswordSource)
        message += " (no password given: see --password-file)";
    return message;
}

void reportConnectionFailure(SpiceChannel* channel, SpiceChannelEvent event, SessionViewer* viewer)
{
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
