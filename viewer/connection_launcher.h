#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QStringList>
#include <sys/types.h>

// Keeps the window's memory and environment (the X display and its cookie) from the user's other
// processes, a connection process taken over among them: /proc/PID/mem, environ and the like open
// for root alone, no ptrace, no core file. Called first thing by the window.
bool keepWindowPrivate();

// Starts the connection process (this executable again, through /proc/self/exe, so that an
// upgrade of the installed file cannot mix two versions) and watches it until it ends. The child
// gets its socket as descriptor 3, /dev/null as 0, the log (this process's 1 and 2) and nothing
// else; no X display; it dies with this process, and its end is reaped here on the event loop.
// Start it from the main thread: the kernel ties the child's death signal to the starting thread.
class ConnectionLauncher : public QObject
{
    Q_OBJECT

public:
    explicit ConnectionLauncher(QObject* parent = nullptr);
    // A child still running is killed and reaped.
    ~ConnectionLauncher() override;

    // Starts a child with `arguments` after the mode argument. On success *socket is the window's
    // end of the pair (the caller's to close); false with the reason in words otherwise, or when a
    // child runs already. Its end is watched from now on, or, with `watchNow` false, from watch():
    // a child started before the application object that will run the event loop.
    bool start(const QStringList& arguments, int* socket, QString* error, bool watchNow = true);
    void watch();
    bool running() const { return pidfd >= 0; }
    pid_t pid() const { return child; }
    // Signals the running child by its pidfd, never a process that took its pid later.
    bool signal(int sig);

Q_SIGNALS:
    // The child ended and is reaped: "exited with status N" or "signal N".
    void ended(const QString& how);

private:
    void reap(bool wait);

    pid_t child = 0;
    int pidfd = -1;
    QSocketNotifier* watcher = nullptr;
};
