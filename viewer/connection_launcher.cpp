#include "connection_launcher.h"

#include "connection_protocol.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace
{

// What the child must not see: the X display (and its key) belong to the window alone, and so does
// the proxy, through which the window opens the child's connections.
bool keptFromChild(const char* entry)
{
    for (const char* name :
         {"DISPLAY=", "XAUTHORITY=", "WAYLAND_DISPLAY=", "GST_REGISTRY_FORK=", "SPICE_PROXY="})
        if (std::strncmp(entry, name, std::strlen(name)) == 0)
            return true;
    return false;
}

// Between fork and exec the window's other threads may hold any lock: system calls only.
[[noreturn]] void becomeChild(pid_t parent, int socket, int devnull, char* const* argv, char* const* envp)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    struct sigaction standard {
    };
    standard.sa_handler = SIG_DFL;
    for (int sig = 1; sig < NSIG; ++sig)
        sigaction(sig, &standard, nullptr);
    // Out of the terminal's process group: Ctrl+C ends the window, and the child with it.
    setsid();
    // Dies with the window; a window that died before this line is seen as a new parent.
    if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || getppid() != parent)
        _exit(127);
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        _exit(127);
    // Out of the way of the descriptors about to be placed.
    const int high = 1 << 10;
    socket = fcntl(socket, F_DUPFD, high);
    devnull = fcntl(devnull, F_DUPFD, high);
    if (socket < 0 || devnull < 0 || dup2(devnull, 0) != 0 || dup2(socket, wire::kConnectionSocketFd) < 0)
        _exit(127);
    for (int log : {1, 2})
        if (fcntl(log, F_SETFD, 0) != 0)
            dup2(devnull, log); // never leave 1 or 2 free for a file the child opens
    if (syscall(SYS_close_range, wire::kConnectionSocketFd + 1, ~0u, 0) != 0) {
        rlimit limit{};
        getrlimit(RLIMIT_NOFILE, &limit);
        for (rlim_t fd = wire::kConnectionSocketFd + 1; fd < limit.rlim_cur; ++fd)
            close(int(fd));
    }
    execve("/proc/self/exe", argv, envp);
    _exit(127);
}

} // namespace

bool keepWindowPrivate()
{
    return prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) == 0;
}

ConnectionLauncher::ConnectionLauncher(QObject* parent) : QObject(parent) {}

ConnectionLauncher::~ConnectionLauncher()
{
    if (running()) {
        blockSignals(true); // nobody hears of an end they caused by letting go
        signal(SIGKILL);
        reap(true);
    }
}

bool ConnectionLauncher::start(const QStringList& arguments, int* socket, QString* error, bool watchNow)
{
    const auto failed = [error](const QString& why) {
        *error = why;
        return false;
    };
    if (running())
        return failed(QStringLiteral("a connection process runs already"));

    // Everything the child needs is made before fork: it may not allocate.
    std::vector<std::string> words{program_invocation_name, wire::kConnectionProcessArgument};
    for (const QString& argument : arguments)
        words.push_back(argument.toStdString());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    static char noRegistryFork[] = "GST_REGISTRY_FORK=no"; // the plugin scanner is a program
    std::vector<char*> envp{noRegistryFork};
    for (char** entry = environ; *entry; ++entry)
        if (!keptFromChild(*entry))
            envp.push_back(*entry);
    envp.push_back(nullptr);

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        return failed(QStringLiteral("socketpair: %1").arg(std::strerror(errno)));
    const int devnull = open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t parent = getpid();
    const pid_t forked = devnull < 0 ? -1 : fork();
    if (forked == 0)
        becomeChild(parent, pair[1], devnull, argv.data(), envp.data());
    const int forkError = errno;
    close(pair[1]);
    if (devnull >= 0)
        close(devnull);
    if (forked < 0) {
        close(pair[0]);
        return failed(QStringLiteral("fork: %1").arg(std::strerror(forkError)));
    }

    const int fd = int(syscall(SYS_pidfd_open, forked, 0));
    if (fd < 0) {
        const int pidfdError = errno;
        kill(forked, SIGKILL);
        waitpid(forked, nullptr, 0);
        close(pair[0]);
        return failed(QStringLiteral("pidfd_open: %1").arg(std::strerror(pidfdError)));
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    child = forked;
    pidfd = fd;
    *socket = pair[0];
    if (watchNow)
        watch();
    return true;
}

void ConnectionLauncher::watch()
{
    if (!running() || watcher)
        return;
    watcher = new QSocketNotifier(pidfd, QSocketNotifier::Read, this);
    connect(watcher, &QSocketNotifier::activated, this, [this] { reap(false); });
    reap(false); // it may have ended already
}

bool ConnectionLauncher::signal(int sig)
{
    return running() && syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0) == 0;
}

void ConnectionLauncher::reap(bool wait)
{
    siginfo_t info{};
    if (waitid(P_PIDFD, id_t(pidfd), &info, WEXITED | (wait ? 0 : WNOHANG)) != 0 || info.si_pid == 0)
        return; // not ended yet
    delete watcher;
    watcher = nullptr;
    close(pidfd);
    pidfd = -1;
    child = 0;
    const QString how = info.si_code == CLD_EXITED
                            ? QStringLiteral("exited with status %1").arg(info.si_status)
                            : QStringLiteral("signal %1").arg(info.si_status);
    Q_EMIT ended(how);
}
