#include "connection_process.h"

#include "log.h"

#include <QCoreApplication>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <linux/sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>

namespace
{

// Refused with EPERM, so that a library that tries gets an error it can handle (GStreamer then
// scans its plugins in the process, GIO gives up on a bus it would launch). Each is something a
// decoder taken over by the server would want and nothing of the session needs:
constexpr const char* kRefused[] = {
    // running another program (a shell)
    "execve", "execveat",
    // reaching into another process of the same user: the window above all
    "ptrace", "process_vm_readv", "process_vm_writev", "pidfd_getfd", "kcmp",
    // new namespaces (clone's flags are checked below), the kernel's widest surface for a user
    "unshare", "setns",
    // changing what the file system looks like
    "mount", "umount2", "pivot_root", "chroot", "fsopen", "fsconfig", "fsmount", "fspick", "move_mount",
    "open_tree", "mount_setattr", "open_by_handle_at", "name_to_handle_at",
    // the kernel itself and the machine's administration (a kiosk may run the viewer as root)
    "init_module", "finit_module", "delete_module", "kexec_load", "kexec_file_load", "reboot", "swapon",
    "swapoff", "acct", "quotactl", "syslog", "iopl", "ioperm", "settimeofday", "clock_settime",
    "clock_adjtime", "adjtimex", "sethostname", "setdomainname", "vhangup", "uselib",
    // interfaces that have been the way in for kernel exploits and that audio, GLib and decoding
    // never use
    "bpf", "perf_event_open", "userfaultfd", "io_uring_setup", "io_uring_enter", "io_uring_register",
    "keyctl", "add_key", "request_key", "lookup_dcookie"};

constexpr unsigned long kNamespaceFlags[] = {CLONE_NEWNS,   CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC,
                                             CLONE_NEWUSER, CLONE_NEWPID,    CLONE_NEWNET};

// Holds a libseccomp filter until it goes.
struct Filter {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ALLOW);
    ~Filter() { seccomp_release(ctx); }
};

} // namespace

bool isConnectionProcess(int argc, char** argv)
{
    return argc >= 2 && std::strcmp(argv[1], wire::kConnectionProcessArgument) == 0;
}

QString confineConnectionProcess()
{
    // The launcher set both before exec; set again for a process started some other way.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return QStringLiteral("no_new_privs: %1").arg(std::strerror(errno));

    // A deny-list: what GStreamer's plugins, PulseAudio and GLib call varies too much between
    // versions for a list of what is allowed. System calls of another ABI (32-bit entry points)
    // would slip past it, so they kill the process: libseccomp's default for a foreign architecture.
    Filter filter;
    if (!filter.ctx)
        return QStringLiteral("seccomp_init failed");
    int rc = 0;
    for (const char* name : kRefused) {
        const int nr = seccomp_syscall_resolve_name(name);
        if (nr != __NR_SCMP_ERROR && rc == 0)
            rc = seccomp_rule_add(filter.ctx, SCMP_ACT_ERRNO(EPERM), nr, 0);
    }
    for (unsigned long flag : kNamespaceFlags)
        if (rc == 0)
            rc = seccomp_rule_add(filter.ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(clone), 1,
                                  SCMP_A0(SCMP_CMP_MASKED_EQ, flag, flag));
    // clone3 passes its flags in memory, out of a filter's sight. ENOSYS makes glibc fall back to
    // clone, whose flags are checked above; threads go on being made that way.
    if (rc == 0)
        rc = seccomp_rule_add(filter.ctx, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(clone3), 0);
    // Every connection to the server is opened by the window and handed over: no IP socket is made
    // here, so nothing here can reach the network by itself.
    for (int domain : {AF_INET, AF_INET6})
        if (rc == 0)
            rc = seccomp_rule_add(filter.ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(socket), 1,
                                  SCMP_A0(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFul, scmp_datum_t(domain)));
    // Typing into the terminal the log goes to would run commands in the user's shell.
    for (unsigned long request : {TIOCSTI, TIOCLINUX})
        if (rc == 0)
            rc = seccomp_rule_add(filter.ctx, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(ioctl), 1,
                                  SCMP_A1(SCMP_CMP_MASKED_EQ, 0xFFFFFFFFul, request));
    if (rc == 0)
        rc = seccomp_load(filter.ctx);
    if (rc != 0)
        return QStringLiteral("seccomp: %1").arg(std::strerror(-rc));
    return {};
}

int runConnectionProcess(int argc, char** argv, const SessionFactory& makeSession)
{
    int type = 0;
    socklen_t length = sizeof type;
    if (getsockopt(wire::kConnectionSocketFd, SOL_SOCKET, SO_TYPE, &type, &length) != 0 ||
        type != SOCK_SEQPACKET) {
        Logger(ERROR) << "The connection process was started without its socket";
        return 2;
    }
    const QString refused = confineConnectionProcess();
    if (!refused.isEmpty()) {
        Logger(ERROR) << "The connection process cannot confine itself (" << refused << "); it does not run";
        return 2;
    }
    // A window that went away is seen on the socket, not as a signal.
    std::signal(SIGPIPE, SIG_IGN);

    QCoreApplication app(argc, argv);
    MessageLink link(wire::kConnectionSocketFd, wire::Side::Window);
    QObject::connect(&link, &MessageLink::peerClosed, &app, [] { QCoreApplication::exit(0); });
    QObject::connect(&link, &MessageLink::violated, &app, [](const QString& reason) {
        Logger(ERROR) << "The window broke the protocol: " << reason;
        QCoreApplication::exit(1);
    });
    std::unique_ptr<QObject> session = makeSession(link);
    link.send(wire::Ready{});
    const int status = app.exec();
    session.reset();
    return status;
}
