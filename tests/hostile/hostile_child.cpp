// A connection process taken over by its server, as far as a test can play one. "window ARGS" is a
// stand-in for the window: private as the window makes itself, it starts this program again with
// the real launcher, as its connection process, which confines itself with the real function and
// then tries what code run by a hostile server would want. Each attempt is one line:
// "PROBE name DONE" or "PROBE name refused: why"; "CONTROL name ..." for what must still work.
// ARGS (key=value): secret (a 0600 file in the home folder), home, port (a TCP listener on
// 127.0.0.1), display (a number) and cookie (hex) of an X server, victim (another process of the
// user), read (a file named read-only), write (a folder named writable), rootfile (0000, root's);
// without=userns|landlock hides that tool of the kernel from the child.
#include "confinement.h"
#include "connection_launcher.h"
#include "connection_protocol.h"

#include <QCoreApplication>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <seccomp.h>
#include <string>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace
{

std::map<std::string, std::string> arguments(int argc, char** argv, int from)
{
    std::map<std::string, std::string> found;
    for (int i = from; i < argc; ++i)
        if (const char* equals = std::strchr(argv[i], '='))
            found[std::string(argv[i], size_t(equals - argv[i]))] = equals + 1;
    return found;
}

// What an attempt gives: empty when it did what it tried, else why not.
using Attempt = std::function<std::string()>;

std::string why(int error = errno)
{
    return std::strerror(error);
}

void report(const char* kind, const char* name, const Attempt& attempt)
{
    errno = 0;
    const std::string refused = attempt();
    std::printf("%s %s %s%s\n", kind, name, refused.empty() ? "DONE" : "refused: ", refused.c_str());
    std::fflush(stdout);
}

std::string openFile(const std::string& path, int flags, bool read = false)
{
    const int fd = open(path.c_str(), flags | O_CLOEXEC, 0600);
    if (fd < 0)
        return why();
    char byte;
    const std::string result = !read || ::read(fd, &byte, 1) == 1 ? "" : "nothing read: " + why();
    close(fd);
    return result;
}

int connectTo(int family, const sockaddr* address, socklen_t length)
{
    const int fd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && connect(fd, address, length) == 0)
        return fd;
    const int error = errno;
    if (fd >= 0)
        close(fd);
    errno = error;
    return -1;
}

int connectTcp(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(uint16_t(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return connectTo(AF_INET, reinterpret_cast<sockaddr*>(&address), sizeof address);
}

int connectUnix(const std::string& path, bool abstract)
{
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + abstract, path.data(), path.size());
    return connectTo(AF_UNIX, reinterpret_cast<sockaddr*>(&address),
                     socklen_t(offsetof(sockaddr_un, sun_path) + abstract + path.size()));
}

// X's connection setup with the cookie; the server's first byte is 1 for a client it accepts.
std::string authenticate(int fd, const std::string& hex)
{
    const std::string name = "MIT-MAGIC-COOKIE-1";
    std::string cookie;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        cookie += char(std::stoi(hex.substr(i, 2), nullptr, 16));
    std::string setup = {'l', 0, 11, 0, 0, 0, char(name.size()), 0, char(cookie.size()), 0, 0, 0};
    setup += name + std::string((4 - name.size() % 4) % 4, '\0') + cookie;
    pollfd answer{fd, POLLIN, 0};
    char status = 0;
    const bool accepted = write(fd, setup.data(), setup.size()) == ssize_t(setup.size()) &&
                          poll(&answer, 1, 5000) == 1 && read(fd, &status, 1) == 1 && status == 1;
    close(fd);
    return accepted ? "" : "connected, not accepted";
}

// Its X display through each way an X client goes: the socket in /tmp, the abstract one, TCP.
std::string reachDisplay(const std::string& display, const std::string& cookie)
{
    const std::string socket = "/tmp/.X11-unix/X" + display;
    const std::pair<const char*, std::function<int()>> routes[] = {
        {"socket", [&] { return connectUnix(socket, false); }},
        {"abstract", [&] { return connectUnix(socket, true); }},
        {"tcp", [&] { return connectTcp(6000 + std::stoi(display)); }}};
    std::string refused;
    for (const auto& [route, reach] : routes) {
        const int fd = reach();
        const std::string result = fd < 0 ? why() : authenticate(fd, cookie);
        if (result.empty())
            return {};
        refused += std::string(refused.empty() ? "" : ", ") + route + " " + result;
    }
    return refused;
}

std::string capabilities()
{
    FILE* status = std::fopen("/proc/self/status", "re");
    if (!status)
        return "status unreadable: " + why();
    std::string held;
    char line[256];
    while (std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "Cap", 3) == 0 && std::strspn(line + 8, "0\t\n") != std::strlen(line + 8))
            held += line;
    std::fclose(status);
    return held.empty() ? "none held" : "";
}

// A kernel without user namespaces or without Landlock, as far as this process can tell.
void withoutTool(const std::string& tool)
{
    if (tool.empty())
        return;
    scmp_filter_ctx filter = seccomp_init(SCMP_ACT_ALLOW);
    if (tool == "userns")
        seccomp_rule_add(filter, SCMP_ACT_ERRNO(EPERM), SCMP_SYS(unshare), 0);
    else
        seccomp_rule_add(filter, SCMP_ACT_ERRNO(ENOSYS), SCMP_SYS(landlock_create_ruleset), 0);
    seccomp_load(filter);
    seccomp_release(filter);
}

void hostile(std::map<std::string, std::string> a)
{
    withoutTool(a["without"]);
    const Confinement confinement{{{a["read"], false}, {a["write"], true}}, false};
    const QString error = confine(confinement);
    std::printf("CONFINED %s\n", error.isEmpty() ? "yes" : qPrintable(error));
    std::fflush(stdout);

    report("CONTROL", "read-named-file", [&] { return openFile(a["read"], O_RDONLY, true); });
    report("CONTROL", "write-named-folder",
           [&] { return openFile(a["write"] + "/by-child", O_WRONLY | O_CREAT); });
    report("PROBE", "write-named-read-only-file", [&] { return openFile(a["read"], O_WRONLY); });
    report("PROBE", "read-home-secret", [&] { return openFile(a["secret"], O_RDONLY, true); });
    report("PROBE", "write-home",
           [&] { return openFile(a["home"] + "/.bashrc", O_WRONLY | O_APPEND | O_CREAT); });
    report("PROBE", "tcp-connect", [&] {
        const int fd = connectTcp(std::stoi(a["port"]));
        return fd < 0 ? why() : (close(fd), "");
    });
    report("PROBE", "x-display", [&] { return reachDisplay(a["display"], a["cookie"]); });
    const std::string window = "/proc/" + a["window"];
    report("PROBE", "window-environ", [&] { return openFile(window + "/environ", O_RDONLY, true); });
    report("PROBE", "window-mem", [&] { return openFile(window + "/mem", O_RDWR); });
    report("PROBE", "signal-other-process",
           [&] { return kill(std::stoi(a["victim"]), SIGKILL) == 0 ? "" : why(); });
    report("PROBE", "signal-window", [&] { return kill(std::stoi(a["window"]), SIGCONT) == 0 ? "" : why(); });
    report("PROBE", "clear-death-signal", [] { return prctl(PR_SET_PDEATHSIG, 0) == 0 ? "" : why(); });
    report("PROBE", "fork", [] {
        const pid_t pid = fork();
        if (pid == 0) { // one that would outlive the window
            setsid();
            std::printf("GRANDCHILD %d\n", getpid());
            std::fflush(stdout);
            for (;;)
                pause();
        }
        return pid > 0 ? "" : why();
    });
    report("PROBE", "capabilities-held", capabilities);
    report("PROBE", "raw-socket", [] {
        const int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        return fd < 0 ? why() : (close(fd), "");
    });
    report("PROBE", "read-root-file-0000", [&] { return openFile(a["rootfile"], O_RDONLY); });
    std::printf("READY\n"); // and it tries to stay
    std::fflush(stdout);
    for (;;)
        pause();
}

} // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], wire::kConnectionProcessArgument) == 0) {
        hostile(arguments(argc, argv, 2));
        return 0;
    }
    if (argc < 2 || std::strcmp(argv[1], "window") != 0) {
        std::fprintf(stderr, "usage: %s window key=value...\n", argv[0]);
        return 2;
    }
    keepWindowPrivate();
    QCoreApplication app(argc, argv);
    QStringList forwarded{QStringLiteral("window=%1").arg(getpid())};
    for (int i = 2; i < argc; ++i)
        forwarded << QString::fromLocal8Bit(argv[i]);
    ConnectionLauncher launcher;
    int socket = -1;
    QString error;
    if (!launcher.start(forwarded, &socket, &error)) {
        std::printf("NOT STARTED %s\n", qPrintable(error));
        return 1;
    }
    std::printf("CHILD %d\n", launcher.pid());
    std::fflush(stdout);
    QObject::connect(&launcher, &ConnectionLauncher::ended, [](const QString& how) {
        std::printf("ENDED %s\n", qPrintable(how));
        std::fflush(stdout);
    });
    return app.exec();
}
