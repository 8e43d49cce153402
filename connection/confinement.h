#pragma once

#include <QString>
#include <string>
#include <vector>

// A path the window names for one session: a shared CD image or folder, a smartcard database.
struct ReachablePath {
    std::string path;
    bool writable = false;
};

struct Confinement {
    std::vector<ReachablePath> paths;
    // Off: a network namespace of its own with nothing in it, no IP socket, and no TCP where
    // Landlock can refuse it. For a process that is handed every socket it uses.
    bool network = true;
};

// Confines this process for good, before it reads anything a server sent. In a user namespace of
// its own (new mount and IPC namespaces, a network namespace when asked) it sees a file system
// made of what it needs to run and `paths`: the libraries, /usr, the parts of /etc that GLib,
// GStreamer, PulseAudio, name lookups and TLS read, GStreamer's registry, the PulseAudio and pcscd
// sockets; nothing of the user's home or /tmp, no other socket. Landlock allows reading exactly
// that and writing only the writable `paths` (and /dev/null), and scopes abstract sockets and
// signals to the process. Every capability goes, also for root. Last, a seccomp allow-list: the
// system calls decoding, audio, TLS and GLib make; no fork (threads only), no signal to another
// process, no exec. Call it while the process has one thread: a user namespace needs that.
//
// Each tool the kernel lacks is one WARN line, and the rest still holds. An empty string, or why
// the process could not be confined (it must not go on).
QString confine(const Confinement& confinement);
