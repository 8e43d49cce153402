#include "sigpipe.h"

#include "log.h"

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace
{

// The SIGPIPE handler only writes a byte here; the event loop writes the log line.
int sigpipeFds[2] = {-1, -1};

void logPendingSigpipes()
{
    char buffer[64];
    ssize_t count;
    while ((count = read(sigpipeFds[0], buffer, sizeof buffer)) > 0) {
        for (ssize_t i = 0; i < count; ++i)
            Logger(INFO) << "Received SIGPIPE. Ignoring.";
    }
}

} // namespace

void sigpipe_handler(int)
{
    int saved = errno;
    char byte = 1;
    if (sigpipeFds[1] >= 0) {
        ssize_t ignored = write(sigpipeFds[1], &byte, 1);
        (void)ignored;
    }
    errno = saved;
}

void installSigpipeHandler()
{
    static QSocketNotifier* notifier = nullptr;
    if (!notifier) {
        if (pipe2(sigpipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
            return;
        // Lives as long as the process, like the handler itself.
        notifier = new QSocketNotifier(sigpipeFds[0], QSocketNotifier::Read);
        QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { logPendingSigpipes(); });
    }
    struct sigaction action {
    };
    action.sa_handler = sigpipe_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &action, nullptr);
}
