#pragma once

#include "message_link.h"

#include <QObject>
#include <QString>
#include <functional>
#include <memory>

// Whether this process was started as the connection process (kConnectionProcessArgument first).
bool isConnectionProcess(int argc, char** argv);

// Makes the session that serves the window over `link`; it lives until the process ends.
using SessionFactory = std::function<std::unique_ptr<QObject>(MessageLink& link)>;

// The connection process's life: confined first (confinement.h; with the paths the window names
// as --read-path=PATH and --write-path=PATH arguments), then a Qt core event loop (GLib's, which the SPICE
// library needs) with the link on its socket and the session made by `makeSession`, Ready sent.
// Ends when the window closes its end (status 0) or breaks the protocol (1); refuses to run
// unconfined (2). Call it before any other Qt object exists.
int runConnectionProcess(int argc, char** argv, const SessionFactory& makeSession);
