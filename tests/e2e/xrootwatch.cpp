// Watches the root window of a display and logs every _NET_ACTIVE_WINDOW request sent to it,
// the way a window manager would see it: "activate <window> <source> <timestamp>".
#include <X11/Xlib.h>
#include <csignal>
#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    const char* logPath = nullptr;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], "--log") == 0)
            logPath = argv[i + 1];
    if (!logPath) {
        std::fprintf(stderr, "usage: xrootwatch --log FILE\n");
        return 2;
    }
    Display* display = XOpenDisplay(nullptr);
    if (!display) {
        std::fprintf(stderr, "xrootwatch: cannot open display\n");
        return 1;
    }
    FILE* log = std::fopen(logPath, "a");
    if (!log)
        return 1;
    Window root = DefaultRootWindow(display);
    // Client messages sent with a substructure mask reach every client selecting either bit.
    XSelectInput(display, root, SubstructureNotifyMask);
    Atom activeWindow = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
    XSync(display, False);
    std::fprintf(log, "ready\n");
    std::fflush(log);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == ClientMessage && event.xclient.message_type == activeWindow) {
            std::fprintf(log, "activate %lu %ld %ld\n", event.xclient.window, event.xclient.data.l[0],
                         event.xclient.data.l[1]);
            std::fflush(log);
        }
    }
}
