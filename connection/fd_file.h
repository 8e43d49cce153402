#pragma once

#include <QString>
#include <gio/gio.h>

// A GFile over a regular file the window opened and handed over: the library reads it and names
// it to the guest agent by `name`, without this process opening anything by path. Takes the
// descriptor (closed with the last reference).
GFile* fdFileNew(int fd, const QString& name);
