#pragma once

#include <spice-client.h>
#include <string>

struct ConnectionSettings;
class SessionViewer;

// Points a new session at the server of the command line: address, ports, password and what the
// server's certificate must satisfy. With a TLS port every channel goes over TLS.
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

// Logs the failure of the main channel and has the window say it.
void reportConnectionFailure(SpiceChannel* channel, SpiceChannelEvent event, SessionViewer* viewer);
void reportConnectionFailure(SpiceChannelEvent event, const GError* error, SessionViewer* viewer);
void reportConnectionFailure(const std::string& message, SessionViewer* viewer);
