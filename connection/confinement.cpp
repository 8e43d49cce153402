#include "confinement.h"

#include "log.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/landlock.h>
#include <linux/netlink.h>
#include <linux/securebits.h>
#include <sched.h>
#include <seccomp.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace
{

QString failed(const char* what, int error = errno)
{
    return QStringLiteral("%1: %2").arg(QLatin1String(what), QString::fromLocal8Bit(std::strerror(error)));
}

std::string variable(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// ---- What the process sees -------------------------------------------------------------------------

enum class Reach {
    Read,   // files and directories, read only
    Write,  // a writable path the window named
    Device, // a character device: read and written, never anything else
    Socket, // a socket or the directory holding it: in view, never opened as a file
};

struct Entry {
    std::string path;
    Reach reach;
};

// Of /etc, what the C library (names, users, time zone), OpenSSL and GnuTLS, PulseAudio and ALSA's
// configuration read; never /etc as a whole, which holds keys its owner may read (root's, when the
// viewer runs as root).
constexpr const char* kEtc[] = {"/etc/ld.so.cache",
                                "/etc/nsswitch.conf",
                                "/etc/passwd",
                                "/etc/group",
                                "/etc/hosts",
                                "/etc/host.conf",
                                "/etc/resolv.conf",
                                "/etc/gai.conf",
                                "/etc/services",
                                "/etc/protocols",
                                "/etc/localtime",
                                "/etc/timezone",
                                "/etc/machine-id",
                                "/etc/ssl/certs",
                                "/etc/ssl/openssl.cnf",
                                "/etc/ca-certificates.conf",
                                "/etc/pki/tls/certs",
                                "/etc/pki/ca-trust",
                                "/etc/gnutls",
                                "/etc/crypto-policies",
                                "/etc/pkcs11",
                                "/etc/pulse",
                                "/etc/alsa",
                                "/etc/asound.conf",
                                "/etc/gstreamer-1.0"};

// Paths in a colon-separated list (GStreamer's plugin paths).
void addList(std::vector<Entry>& entries, const std::string& list)
{
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(':', start), list.size());
        entries.push_back({list.substr(start, end - start), Reach::Read});
        start = end + 1;
    }
}

std::vector<Entry> entriesFor(const Confinement& confinement)
{
    std::vector<Entry> entries;
    for (const char* path : {"/usr", "/lib", "/lib64", "/lib32", "/libx32", "/bin", "/sbin"})
        entries.push_back({path, Reach::Read});
    for (const char* path : kEtc)
        entries.push_back({path, Reach::Read});
    entries.push_back({"/sys/devices/system/cpu", Reach::Read}); // how many processors there are
    for (const char* device : {"/dev/null", "/dev/zero", "/dev/full", "/dev/random", "/dev/urandom"})
        entries.push_back({device, Reach::Device});

    const std::string home = variable("HOME");
    const std::string cache =
        variable("XDG_CACHE_HOME").empty() ? home + "/.cache" : variable("XDG_CACHE_HOME");
    const std::string config =
        variable("XDG_CONFIG_HOME").empty() ? home + "/.config" : variable("XDG_CONFIG_HOME");
    const std::string data =
        variable("XDG_DATA_HOME").empty() ? home + "/.local/share" : variable("XDG_DATA_HOME");
    // GStreamer's registry (written before confinement, read here) and the plugins it names.
    for (const char* name : {"GST_REGISTRY_1_0", "GST_REGISTRY"})
        entries.push_back({variable(name), Reach::Read});
    entries.push_back({cache + "/gstreamer-1.0", Reach::Read});
    entries.push_back({data + "/gstreamer-1.0/plugins", Reach::Read});
    for (const char* name :
         {"GST_PLUGIN_PATH_1_0", "GST_PLUGIN_PATH", "GST_PLUGIN_SYSTEM_PATH_1_0", "GST_PLUGIN_SYSTEM_PATH"})
        addList(entries, variable(name));
    // PulseAudio's client configuration and cookie, and the library's own trust store.
    for (const std::string& path :
         {config + "/pulse", home + "/.pulse", home + "/.pulse-cookie", variable("PULSE_COOKIE"),
          variable("PULSE_CLIENTCONFIG"), home + "/.spicec/spice_truststore.pem"})
        entries.push_back({path, Reach::Read});

    // The sound server's socket, where the user's session has it or where PULSE_SERVER names it
    // ("unix:PATH" or a bare path, possibly after "{machine id}"), and pcscd's for smartcard readers.
    const std::string runtime = variable("XDG_RUNTIME_DIR");
    if (!runtime.empty())
        entries.push_back({runtime + "/pulse", Reach::Socket});
    entries.push_back({variable("PULSE_RUNTIME_PATH"), Reach::Socket});
    std::string servers = variable("PULSE_SERVER");
    for (size_t start = 0; start < servers.size();) {
        const size_t end = std::min(servers.find(' ', start), servers.size());
        std::string server = servers.substr(start, end - start);
        if (!server.empty() && server[0] == '{')
            server.erase(0, std::min(server.find('}'), server.size() - 1) + 1);
        if (server.compare(0, 5, "unix:") == 0)
            server.erase(0, 5);
        entries.push_back({server, Reach::Socket});
        start = end + 1;
    }
    entries.push_back({"/run/pcscd", Reach::Socket});
    entries.push_back({variable("PCSCLITE_CSOCK_NAME"), Reach::Socket});

    for (const ReachablePath& path : confinement.paths)
        entries.push_back({path.path, path.writable ? Reach::Write : Reach::Read});
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                                 [](const Entry& e) { return e.path.empty() || e.path[0] != '/'; }),
                  entries.end());
    return entries;
}

bool writeFile(const char* path, const std::string& text)
{
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool written = write(fd, text.data(), text.size()) == ssize_t(text.size());
    close(fd);
    return written;
}

// A user namespace of its own, in which the process is the same user; new mount and IPC namespaces
// and, when asked, a network namespace, owned by it. No PID namespace: after unshare() one would
// take only children, which the process never makes, and the kernel would refuse it new threads;
// as the first process of one made at its start, it would ignore every signal it has no handler
// for but SIGKILL, so a crash signal sent from outside would not end it. It cannot fork, signal
// another process or clear its death signal instead (the system-call filter).
bool enterNamespaces(bool network)
{
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER | CLONE_NEWNS | CLONE_NEWIPC | (network ? 0 : CLONE_NEWNET)) != 0)
        return false;
    writeFile("/proc/self/setgroups", "deny"); // gid_map is refused without it; older kernels lack it
    return writeFile("/proc/self/uid_map", std::to_string(uid) + ' ' + std::to_string(uid) + " 1\n") &&
           writeFile("/proc/self/gid_map", std::to_string(gid) + ' ' + std::to_string(gid) + " 1\n");
}

// Where an entry lives: `source` is what is bound (the symlink resolved), or `link` is a symlink to
// copy as it is (the merged /usr's /lib, /etc/localtime) since its target is in view anyway.
struct Placed {
    Entry entry;
    std::string source;
    std::string link;
    bool directory = false;
};

std::vector<Placed> place(const std::vector<Entry>& entries)
{
    std::vector<Placed> placed;
    for (const Entry& entry : entries) {
        char resolved[PATH_MAX];
        struct stat info {
        };
        if (!realpath(entry.path.c_str(), resolved) || stat(resolved, &info) != 0)
            continue; // not on this system
        Placed p{entry, resolved, {}, S_ISDIR(info.st_mode)};
        char target[PATH_MAX];
        const ssize_t length = readlink(entry.path.c_str(), target, sizeof target - 1);
        if (length > 0 && std::strncmp(resolved, "/usr/", 5) == 0)
            p.link.assign(target, size_t(length));
        placed.push_back(std::move(p));
    }
    // Parents before what they hold.
    std::sort(placed.begin(), placed.end(),
              [](const Placed& a, const Placed& b) { return a.entry.path < b.entry.path; });
    return placed;
}

bool makeDirectories(const std::string& path)
{
    if (path.size() < 2)
        return true; // the root
    size_t end = 0;
    do {
        end = path.find('/', end + 1);
        if (mkdir(path.substr(0, end).c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    } while (end != std::string::npos);
    return true;
}

bool makeMountPoint(const std::string& path, bool directory)
{
    if (access(path.c_str(), F_OK) == 0)
        return true; // inside something bound already
    if (directory)
        return makeDirectories(path);
    if (!makeDirectories(path.substr(0, path.rfind('/'))))
        return false;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    return fd >= 0 && close(fd) == 0;
}

// Read-only (or not), no set-user-ID programs, devices only where asked; on kernels without
// mount_setattr, by a remount that repeats the flags a less privileged namespace may not clear.
bool restrictMount(const char* path, bool readOnly, bool devices, bool recursive)
{
    mount_attr attr{};
    attr.attr_set = (readOnly ? MOUNT_ATTR_RDONLY : 0) | MOUNT_ATTR_NOSUID | (devices ? 0 : MOUNT_ATTR_NODEV);
    attr.attr_clr = readOnly ? 0 : MOUNT_ATTR_RDONLY; // under a read-only parent made so recursively
    if (mount_setattr(AT_FDCWD, path, recursive ? AT_RECURSIVE : 0, &attr, sizeof attr) == 0)
        return true;
    if (errno != ENOSYS)
        return false;
    struct statvfs current {
    };
    if (statvfs(path, &current) != 0)
        return false;
    unsigned long flags =
        MS_REMOUNT | MS_BIND | MS_NOSUID | (readOnly ? MS_RDONLY : 0) | (devices ? 0 : MS_NODEV);
    for (auto [kept, flag] : {std::pair{ST_NODEV, MS_NODEV},
                              {ST_NOEXEC, MS_NOEXEC},
                              {ST_NOATIME, MS_NOATIME},
                              {ST_NODIRATIME, MS_NODIRATIME},
                              {ST_RELATIME, MS_RELATIME}})
        if (current.f_flag & kept)
            flags |= flag;
    return mount(nullptr, path, nullptr, flags, nullptr) == 0;
}

// The process's own file system: a read-only tmpfs root holding bound copies of the entries (and
// /proc, a private /dev/shm, an empty /tmp); everything else of the machine is gone from view.
QString buildView(const std::vector<Placed>& placed)
{
    constexpr const char* kOld = "/.oldroot"; // the machine's tree while the new one is filled
    if (mount("tmpfs", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755") != 0)
        return failed("tmpfs");
    if (mkdir("/tmp/.oldroot", 0700) != 0 || syscall(SYS_pivot_root, "/tmp", "/tmp/.oldroot") != 0 ||
        chdir("/") != 0)
        return failed("pivot_root");
    std::vector<const Placed*> bound;
    for (const Placed& p : placed) {
        const std::string& path = p.entry.path;
        if (!p.link.empty()) {
            if (!makeDirectories(path.substr(0, path.rfind('/'))) ||
                symlink(p.link.c_str(), path.c_str()) != 0)
                return failed("symlink");
            continue;
        }
        // Already in view, as much as it needs.
        const bool covered = std::any_of(bound.begin(), bound.end(), [&](const Placed* b) {
            return path.compare(0, b->entry.path.size() + 1, b->entry.path + '/') == 0 &&
                   (b->entry.reach == p.entry.reach || p.entry.reach == Reach::Read);
        });
        if (covered)
            continue;
        if (!makeMountPoint(path, p.directory) ||
            mount((kOld + p.source).c_str(), path.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0)
            return failed(("bind " + path).c_str());
        bound.push_back(&p);
    }
    // The machine's /proc, in which Landlock leaves the process only its own directory. That one is
    // bound onto itself: the mount keeps the directory, and with it the inode the rule is tied to,
    // from being looked up anew.
    if (mkdir("/proc", 0755) != 0 ||
        mount((std::string(kOld) + "/proc").c_str(), "/proc", nullptr, MS_BIND | MS_REC, nullptr) != 0 ||
        mount("/proc/self", "/proc/self", nullptr, MS_BIND, nullptr) != 0)
        return failed("/proc");
    if (!makeDirectories("/dev/shm") ||
        mount("tmpfs", "/dev/shm", "tmpfs", MS_NOSUID | MS_NODEV | MS_NOEXEC, "mode=1777") != 0)
        return failed("/dev/shm");
    for (auto [link, target] : {std::pair{"/dev/fd", "/proc/self/fd"},
                                {"/dev/stdin", "/proc/self/fd/0"},
                                {"/dev/stdout", "/proc/self/fd/1"},
                                {"/dev/stderr", "/proc/self/fd/2"}})
        symlink(target, link);
    if ((mkdir("/tmp", 0755) != 0 && errno != EEXIST) || umount2(kOld, MNT_DETACH) != 0 || rmdir(kOld) != 0)
        return failed("old root");
    for (const Placed* p : bound) {
        const Reach reach = p->entry.reach;
        if (!restrictMount(p->entry.path.c_str(), reach != Reach::Write, reach == Reach::Device, true))
            return failed(("mount flags of " + p->entry.path).c_str());
    }
    if (!restrictMount("/proc", true, false, true) || !restrictMount("/", true, false, false))
        return failed("mount flags");
    return {};
}

// ---- Landlock -----------------------------------------------------------------------------------------

// Rights newer than this system's headers, as the kernel numbers them.
constexpr uint64_t kFsTruncate = 1ULL << 14; // ABI 3
constexpr uint64_t kFsIoctlDev = 1ULL << 15; // ABI 5
constexpr uint64_t kNetBindTcp = 1ULL << 0;  // ABI 4
constexpr uint64_t kNetConnectTcp = 1ULL << 1;
constexpr uint64_t kScopeAbstractUnixSocket = 1ULL << 0; // ABI 6
constexpr uint64_t kScopeSignal = 1ULL << 1;

// The ruleset's attributes as the newest kernels read them; older ones are given the leading part.
struct RulesetAttr {
    uint64_t fs = 0;
    uint64_t net = 0;
    uint64_t scoped = 0;
};

constexpr uint64_t kRead = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
constexpr uint64_t kWrite = kRead | LANDLOCK_ACCESS_FS_WRITE_FILE | kFsTruncate |
                            LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_MAKE_DIR |
                            LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                            LANDLOCK_ACCESS_FS_REFER;
constexpr uint64_t kFileRights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_READ_FILE |
                                 LANDLOCK_ACCESS_FS_WRITE_FILE | kFsTruncate | kFsIoctlDev;

int landlockAbi()
{
    const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi < 0 ? 0 : int(abi);
}

QString restrictFiles(int abi, const std::vector<Entry>& entries, bool network)
{
    RulesetAttr attr;
    attr.fs = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1; // every right of the first ABI
    if (abi >= 2)
        attr.fs |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        attr.fs |= kFsTruncate;
    if (abi >= 5)
        attr.fs |= kFsIoctlDev;
    if (abi >= 4 && !network)
        attr.net = kNetBindTcp | kNetConnectTcp; // handled, and allowed nowhere
    if (abi >= 6)
        attr.scoped = kScopeAbstractUnixSocket | kScopeSignal;
    const size_t size = abi >= 6 ? sizeof attr : abi >= 4 ? 2 * sizeof(uint64_t) : sizeof(uint64_t);
    const int ruleset = int(syscall(SYS_landlock_create_ruleset, &attr, size, 0));
    if (ruleset < 0)
        return failed("landlock_create_ruleset");
    std::vector<Entry> rules = entries;
    rules.push_back({"/proc/self", Reach::Read});
    rules.push_back({"/dev/shm", Reach::Write});
    for (const Entry& rule : rules) {
        if (rule.reach == Reach::Socket)
            continue; // a socket is reached by connect(), which Landlock leaves to the mount namespace
        const int fd = open(rule.path.c_str(), O_PATH | O_CLOEXEC);
        struct stat info {
        };
        if (fd < 0 || fstat(fd, &info) != 0) {
            if (fd >= 0)
                close(fd);
            continue;
        }
        landlock_path_beneath_attr beneath{};
        beneath.allowed_access = rule.reach == Reach::Read ? kRead
                                 : rule.reach == Reach::Write
                                     ? kWrite
                                     : LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_WRITE_FILE;
        beneath.allowed_access &= attr.fs & (S_ISDIR(info.st_mode) ? ~0ULL : kFileRights);
        beneath.parent_fd = fd;
        const long added = syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &beneath, 0);
        const int error = errno;
        close(fd);
        if (added != 0) {
            close(ruleset);
            return failed(("landlock_add_rule " + rule.path).c_str(), error);
        }
    }
    const long restricted = syscall(SYS_landlock_restrict_self, ruleset, 0);
    const int error = errno;
    close(ruleset);
    return restricted == 0 ? QString() : failed("landlock_restrict_self", error);
}

// ---- Capabilities ------------------------------------------------------------------------------------

// None left, none to be had again: the bounding and ambient sets emptied (in the process's own user
// namespace, or as root without one), every set cleared, and the rules that give root capabilities
// locked off.
QString dropCapabilities()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return failed("capget");
    const bool setpcap = data[0].effective & (1u << CAP_SETPCAP);
    if (setpcap) {
        prctl(PR_SET_SECUREBITS, SECBIT_KEEP_CAPS_LOCKED | SECBIT_NO_SETUID_FIXUP |
                                     SECBIT_NO_SETUID_FIXUP_LOCKED | SECBIT_NOROOT | SECBIT_NOROOT_LOCKED |
                                     SECBIT_NO_CAP_AMBIENT_RAISE | SECBIT_NO_CAP_AMBIENT_RAISE_LOCKED);
        for (int cap = 0; prctl(PR_CAPBSET_READ, cap) >= 0; ++cap)
            if (prctl(PR_CAPBSET_DROP, cap) != 0)
                return failed("PR_CAPBSET_DROP");
    }
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    std::memset(data, 0, sizeof data);
    if (syscall(SYS_capset, &header, data) != 0)
        return failed("capset");
    return {};
}

// ---- System calls ------------------------------------------------------------------------------------

// What decoding, audio (GStreamer, PulseAudio), TLS, GLib, Qt's core and the sanitizers call, found
// by tracing the process through every end-to-end scenario. Anything not named answers ENOSYS: the libraries
// take that for an older kernel and fall back.
constexpr const char* kAllowed[] = {
    // memory
    "brk", "mmap", "munmap", "mremap", "mprotect", "madvise", "msync", "mincore", "mlock", "munlock",
    "membarrier", "get_mempolicy",
    // files: which ones is Landlock's and the mount namespace's business
    "read", "write", "readv", "writev", "pread64", "pwrite64", "preadv", "pwritev", "preadv2", "pwritev2",
    "open", "openat", "close", "close_range", "lseek", "stat", "fstat", "lstat", "newfstatat", "statx",
    "statfs", "fstatfs", "access", "faccessat", "faccessat2", "readlink", "readlinkat", "getdents64",
    "getcwd", "fcntl", "dup", "dup2", "dup3", "ftruncate", "fallocate", "fsync", "fdatasync", "fadvise64",
    "flock", "mkdir", "mkdirat", "unlink", "unlinkat", "rmdir", "rename", "renameat", "renameat2", "umask",
    "fchmod", "fgetxattr", "flistxattr", "sendfile", "copy_file_range", "memfd_create",
    // waiting and events
    "pipe", "pipe2", "eventfd2", "timerfd_create", "timerfd_settime", "timerfd_gettime", "signalfd4", "poll",
    "ppoll", "select", "pselect6", "epoll_create1", "epoll_ctl", "epoll_wait", "epoll_pwait", "epoll_pwait2",
    "futex", "futex_waitv", "nanosleep", "clock_nanosleep", "clock_gettime", "clock_getres", "gettimeofday",
    "time", "sched_yield", "restart_syscall",
    // sockets (socket() itself is checked below)
    "socketpair", "connect", "bind", "listen", "accept", "accept4", "getsockname", "getpeername",
    "getsockopt", "setsockopt", "sendto", "recvfrom", "sendmsg", "recvmsg", "sendmmsg", "recvmmsg",
    "shutdown",
    // threads (clone is checked below) and their scheduling. GLib has a pool's new thread take the
    // scheduling of the thread that made the pool, by its thread number, which a filter cannot tell
    // from another process's: the scheduling of the user's other processes is the one thing left
    // that this reaches (a lower priority, no more)
    "set_robust_list", "get_robust_list", "set_tid_address", "rseq", "arch_prctl", "sched_getaffinity",
    "sched_getparam", "sched_getscheduler", "sched_get_priority_max", "sched_get_priority_min",
    "sched_getattr", "sched_setattr", "getpriority", "getcpu", "exit", "exit_group", "wait4", "waitid",
    // signals to itself (the senders are checked below)
    "rt_sigaction", "rt_sigprocmask", "rt_sigreturn", "rt_sigsuspend", "rt_sigtimedwait", "rt_sigpending",
    "sigaltstack",
    // who and where it is
    "getpid", "gettid", "getppid", "getuid", "geteuid", "getgid", "getegid", "getgroups", "getresuid",
    "getresgid", "uname", "sysinfo", "getrusage", "times", "getrandom", "capget"};

// Refused with EPERM: what a process taken over would reach for. Libraries that try get an error
// they handle (GStreamer then scans its plugins in the process, GIO gives up on a bus it would
// launch).
constexpr const char* kRefused[] = {
    // another program, another process
    "execve", "execveat", "fork", "vfork", "ptrace", "process_vm_readv", "process_vm_writev", "pidfd_open",
    "pidfd_getfd", "pidfd_send_signal", "kcmp", "tkill", "process_madvise",
    // namespaces, mounts and the shape of the file system
    "unshare", "setns", "mount", "umount2", "pivot_root", "chroot", "fsopen", "fsconfig", "fsmount", "fspick",
    "move_mount", "open_tree", "mount_setattr", "open_by_handle_at", "name_to_handle_at", "mknod", "mknodat",
    "chown", "fchown", "lchown", "fchownat", "link", "linkat", "symlink", "symlinkat",
    // identity and privileges, and the confinement itself
    "setuid", "setgid", "setreuid", "setregid", "setresuid", "setresgid", "setgroups", "setfsuid", "setfsgid",
    "capset", "seccomp", "landlock_create_ruleset", "landlock_add_rule", "landlock_restrict_self", "setsid",
    "setpgid",
    // the kernel and the machine's administration
    "init_module", "finit_module", "delete_module", "kexec_load", "kexec_file_load", "reboot", "swapon",
    "swapoff", "acct", "quotactl", "syslog", "iopl", "ioperm", "settimeofday", "clock_settime",
    "clock_adjtime", "adjtimex", "sethostname", "setdomainname", "vhangup", "uselib", "personality",
    // the way in for kernel exploits, never used by audio, GLib or decoding
    "bpf", "perf_event_open", "userfaultfd", "io_uring_setup", "io_uring_enter", "io_uring_register",
    "keyctl", "add_key", "request_key", "lookup_dcookie"};

// prctl options GLib (thread names), the sanitizers and PulseAudio use; the others answer ENOSYS,
// and these EPERM: the death signal that ends the process with the window above all.
constexpr int kPrctlAllowed[] = {PR_SET_NAME,         PR_GET_NAME,       PR_GET_DUMPABLE,   PR_CAPBSET_READ,
                                 PR_GET_NO_NEW_PRIVS, PR_GET_SECCOMP,    PR_GET_PDEATHSIG,  PR_SET_VMA,
                                 PR_GET_TIMERSLACK,   PR_SET_TIMERSLACK, PR_GET_SECUREBITS, PR_GET_KEEPCAPS};
constexpr int kPrctlRefused[] = {PR_SET_PDEATHSIG,  PR_SET_DUMPABLE,    PR_SET_SECCOMP,
                                 PR_SET_MM,         PR_SET_PTRACER,     PR_SET_CHILD_SUBREAPER,
                                 PR_SET_SECUREBITS, PR_SET_KEEPCAPS,    PR_CAP_AMBIENT,
                                 PR_CAPBSET_DROP,   PR_SET_NO_NEW_PRIVS};

constexpr unsigned long kNamespaceFlags[] = {CLONE_NEWNS,   CLONE_NEWCGROUP, CLONE_NEWUTS, CLONE_NEWIPC,
                                             CLONE_NEWUSER, CLONE_NEWPID,    CLONE_NEWNET};

// A comparison of a system call's argument (libseccomp's macros leave the second datum out).
scmp_arg_cmp arg(unsigned index, scmp_compare op, scmp_datum_t value, scmp_datum_t other = 0)
{
    return {index, op, value, other};
}

// Holds a libseccomp filter until it goes.
struct Filter {
    scmp_filter_ctx ctx = seccomp_init(SCMP_ACT_ERRNO(ENOSYS));
    ~Filter() { seccomp_release(ctx); }
};

QString filterSystemCalls(bool network)
{
    Filter filter;
    if (!filter.ctx)
        return QStringLiteral("seccomp_init failed");
    int rc = 0;
    const auto add = [&](uint32_t action, int nr, std::initializer_list<scmp_arg_cmp> args = {}) {
        if (rc == 0 && nr != __NR_SCMP_ERROR)
            rc = seccomp_rule_add_array(filter.ctx, action, nr, unsigned(args.size()), args.begin());
    };
    for (const char* name : kAllowed)
        add(SCMP_ACT_ALLOW, seccomp_syscall_resolve_name(name));
    for (const char* name : kRefused)
        add(SCMP_ACT_ERRNO(EPERM), seccomp_syscall_resolve_name(name));
    const auto perm = SCMP_ACT_ERRNO(EPERM);

    // Threads, never a process: a clone shares the thread group and makes no namespace. clone3
    // passes its flags in memory, out of a filter's sight: left to the default, ENOSYS, which makes
    // glibc use clone.
    unsigned long namespaces = 0;
    for (unsigned long flag : kNamespaceFlags) {
        namespaces |= flag;
        add(perm, SCMP_SYS(clone), {arg(0, SCMP_CMP_MASKED_EQ, flag, flag)});
    }
    add(SCMP_ACT_ALLOW, SCMP_SYS(clone),
        {arg(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD | namespaces, CLONE_THREAD)});
    add(perm, SCMP_SYS(clone), {arg(0, SCMP_CMP_MASKED_EQ, CLONE_THREAD, 0)});

    // Signals to itself alone: abort(), the sanitizers and GLib signal their own threads.
    const pid_t self = getpid();
    for (int nr :
         {SCMP_SYS(kill), SCMP_SYS(tgkill), SCMP_SYS(rt_sigqueueinfo), SCMP_SYS(rt_tgsigqueueinfo)}) {
        add(SCMP_ACT_ALLOW, nr, {arg(0, SCMP_CMP_EQ, scmp_datum_t(self))});
        add(perm, nr, {arg(0, SCMP_CMP_NE, scmp_datum_t(self))});
    }
    // Its own limits and scheduling (0: the caller), never another process's; a thread made with
    // the normal policy is given it by its number (glibc, for Qt's threads), which does no harm to
    // any process. The policy is compared first.
    add(SCMP_ACT_ALLOW, SCMP_SYS(sched_setscheduler), {arg(1, SCMP_CMP_EQ, SCHED_OTHER)});
    for (int nr : {SCMP_SYS(prlimit64), SCMP_SYS(sched_setaffinity), SCMP_SYS(sched_setscheduler),
                   SCMP_SYS(sched_setparam)}) {
        add(SCMP_ACT_ALLOW, nr, {arg(0, SCMP_CMP_EQ, 0)});
        add(perm, nr, {arg(0, SCMP_CMP_NE, 0)});
    }
    add(SCMP_ACT_ALLOW, SCMP_SYS(setpriority), {arg(1, SCMP_CMP_EQ, 0)});
    add(perm, SCMP_SYS(setpriority), {arg(1, SCMP_CMP_NE, 0)});
    // Times of a file it opened; by name (chmod, xattrs, inotify alike) Landlock would not see it.
    add(SCMP_ACT_ALLOW, SCMP_SYS(utimensat), {arg(1, SCMP_CMP_EQ, 0)});
    add(perm, SCMP_SYS(utimensat), {arg(1, SCMP_CMP_NE, 0)});

    for (int option : kPrctlAllowed)
        add(SCMP_ACT_ALLOW, SCMP_SYS(prctl), {arg(0, SCMP_CMP_EQ, scmp_datum_t(option))});
    for (int option : kPrctlRefused)
        add(perm, SCMP_SYS(prctl), {arg(0, SCMP_CMP_EQ, scmp_datum_t(option))});

    // Local sockets, the kernel's routing and device news (GIO's network monitor, libusb), and IP
    // sockets only with the network; another family answers ENOSYS.
    for (int family : {AF_UNIX, AF_INET, AF_INET6})
        add(network || family == AF_UNIX ? SCMP_ACT_ALLOW : perm, SCMP_SYS(socket),
            {arg(0, SCMP_CMP_EQ, scmp_datum_t(family))});
    for (int protocol : {NETLINK_ROUTE, NETLINK_KOBJECT_UEVENT})
        add(SCMP_ACT_ALLOW, SCMP_SYS(socket),
            {arg(0, SCMP_CMP_EQ, AF_NETLINK), arg(2, SCMP_CMP_EQ, scmp_datum_t(protocol))});

    // Typing into the terminal the log goes to would run commands in the user's shell. The request
    // is compared as the kernel reads it, 32 bits.
    for (unsigned long request : {TIOCSTI, TIOCLINUX})
        add(perm, SCMP_SYS(ioctl), {arg(1, SCMP_CMP_MASKED_EQ, 0xFFFFFFFFul, request)});
    add(SCMP_ACT_ALLOW, SCMP_SYS(ioctl), {arg(0, SCMP_CMP_GE, 0)}); // compared after the request

    // A system call of another ABI (the 32-bit entry points) kills: libseccomp's default.
    if (rc == 0)
        rc = seccomp_load(filter.ctx);
    return rc == 0 ? QString() : failed("seccomp", -rc);
}

} // namespace

QString confine(const Confinement& confinement)
{
    // The launcher set it before exec; set again for a process started some other way.
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0)
        return failed("no_new_privs");

    const std::vector<Entry> entries = entriesFor(confinement);
    // Resolved while the machine's tree is still in view.
    const std::vector<Placed> placed = place(entries);
    bool networkNamespace = false;
    if (!enterNamespaces(confinement.network)) {
        Logger(WARN) << "Confinement: no user namespace (" << std::strerror(errno)
                     << "): the connection process sees the whole file system, /tmp's X sockets and the "
                        "session bus included, as far as Landlock lets it";
    } else if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        Logger(WARN) << "Confinement: a user namespace without mounts (" << std::strerror(errno)
                     << "): the connection process sees the whole file system, as far as Landlock lets it";
        networkNamespace = !confinement.network;
    } else {
        networkNamespace = !confinement.network;
        const QString error = buildView(placed);
        if (!error.isEmpty())
            return error;
    }

    // Abstract sockets (the X server's @/tmp/.X11-unix/X0) belong to a network namespace; Landlock
    // ABI 6 keeps them out of reach without one.
    const int abi = landlockAbi();
    const bool abstractReachable = abi < 6 && !networkNamespace;
    if (abi == 0) {
        Logger(WARN) << "Confinement: this kernel has no Landlock: files are kept out of reach only by the "
                        "mount namespace"
                     << (abstractReachable ? "; the X server's abstract socket stays reachable" : "");
    } else {
        const QString error = restrictFiles(abi, entries, confinement.network);
        if (!error.isEmpty())
            return error;
        if (abstractReachable)
            Logger(WARN) << "Confinement: Landlock ABI " << abi
                         << " cannot scope abstract sockets and there is no network namespace: the X "
                            "server's stays reachable";
    }

    QString error = dropCapabilities();
    if (error.isEmpty())
        error = filterSystemCalls(confinement.network);
    return error;
}
