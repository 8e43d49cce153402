#pragma once

#include <QString>
#include <spice-client.h>
#include <string>

struct ConnectionSettings;
class SessionViewer;

// Gives a new session what the library still uses of the connection: the server's name and the
// password.
void applyConnectionSettings(SpiceSession* session, const ConnectionSettings& settings);

// Why a connection failed, in words, from the main channel's error event and the error the
// channel keeps (null when the library gave none).
std::string connectionFailureCause(SpiceChannelEvent event, const GError* error);

// The whole sentence: host, port (and proxy) and cause.
std::string connectionFailureMessage(const ConnectionSettings& settings, SpiceChannelEvent event,
                                     const GError* error);

// A session still connecting after `seconds`: the server or the proxy took the connection and never
// answered.
std::string noAnswerMessage(const ConnectionSettings& settings, int seconds);

// Why `channel` could not be given a socket, in words: its next error event says this cause.
void setConnectFailure(SpiceChannel* channel, const QString& cause);

// Logs the failure of the main channel and has the window say it.
void reportConnectionFailure(SpiceChannel* channel, SpiceChannelEvent event, SessionViewer* viewer);
void reportConnectionFailure(SpiceChannelEvent event, const GError* error, SessionViewer* viewer);
void reportConnectionFailure(const std::string& message, SessionViewer* viewer);
