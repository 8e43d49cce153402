// X client for end-to-end tests. It runs inside the SPICE server's X display, covers the whole
// screen with a known picture, logs every input event it receives and can change the picture on
// demand (SIGUSR1) or continuously (--animate), so a test can check both directions of a viewer.
//
// The picture and the frame stamp are mirrored by tests/e2e/harness.py; change both together.

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <sys/select.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

namespace
{

struct Rgb {
    int r, g, b;
};

struct Options {
    std::string logPath;
    std::string display;
    std::string name = "xrecorder";
    bool regionSet = false;
    int rx = 0, ry = 0, rw = 200, rh = 150;
    std::vector<Rgb> colors{{0x00, 0xff, 0x80}, {0x80, 0x00, 0xff}};
    double fps = 0;
    bool tiles = false;
    bool noAutoRepeat = false;
};

FILE* g_log = nullptr;
int g_sigPipe[2] = {-1, -1};

void logLine(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    vfprintf(g_log, fmt, ap);
    va_end(ap);
    fputc('\n', g_log);
    fflush(g_log);
}

double monotonicNow()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec / 1e9;
}

void onSignal(int sig)
{
    const int saved = errno;
    const char c = static_cast<char>(sig);
    (void)!write(g_sigPipe[1], &c, 1);
    errno = saved;
}

[[noreturn]] void usage(const char* msg)
{
    fprintf(stderr,
            "xrecorder: %s\n"
            "usage: xrecorder --log FILE [--display DPY] [--name NAME]\n"
            "                 [--region X,Y,W,H] [--colors RRGGBB[,RRGGBB...]]\n"
            "                 [--animate FPS] [--content gradient|tiles] [--no-autorepeat]\n",
            msg);
    exit(2);
}

bool parseColor(const std::string& s, Rgb* out)
{
    if (s.size() != 6)
        return false;
    char* end = nullptr;
    const unsigned long v = strtoul(s.c_str(), &end, 16);
    if (*end)
        return false;
    *out = {int((v >> 16) & 0xff), int((v >> 8) & 0xff), int(v & 0xff)};
    return true;
}

Options parseArgs(int argc, char** argv)
{
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc)
                usage(("missing value for " + a).c_str());
            return argv[++i];
        };
        if (a == "--log") {
            o.logPath = next();
        } else if (a == "--display") {
            o.display = next();
        } else if (a == "--name") {
            o.name = next();
        } else if (a == "--region") {
            const std::string v = next();
            if (sscanf(v.c_str(), "%d,%d,%d,%d", &o.rx, &o.ry, &o.rw, &o.rh) != 4 || o.rw <= 0 || o.rh <= 0)
                usage("bad --region");
            o.regionSet = true;
        } else if (a == "--colors" || a == "--color") {
            o.colors.clear();
            std::string v = next();
            size_t pos = 0;
            while (pos <= v.size()) {
                const size_t comma = v.find(',', pos);
                const std::string part =
                    v.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                Rgb c{};
                if (!parseColor(part, &c))
                    usage("bad --colors");
                o.colors.push_back(c);
                if (comma == std::string::npos)
                    break;
                pos = comma + 1;
            }
        } else if (a == "--animate") {
            o.fps = atof(next().c_str());
            if (o.fps <= 0 || o.fps > 1000)
                usage("bad --animate");
        } else if (a == "--content") {
            const std::string v = next();
            if (v != "gradient" && v != "tiles")
                usage("bad --content");
            o.tiles = v == "tiles";
        } else if (a == "--no-autorepeat") {
            o.noAutoRepeat = true;
        } else {
            usage(("unknown argument " + a).c_str());
        }
    }
    if (o.logPath.empty())
        usage("--log is required");
    return o;
}

// The still picture: eight colour bars over the top two thirds, a grey ramp below, and two big
// blocks of their own colours placed asymmetrically so that a flipped or shifted copy is caught.
Rgb patternPixel(int x, int y, int w, int h)
{
    static const Rgb bars[8] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    const int bw = w / 8, bh = h / 6, bx = w / 16, by = h / 12;
    if (x >= bx && x < bx + bw && y >= by && y < by + bh)
        return {255, 128, 0};
    if (x >= w - bx - bw && x < w - bx && y >= h - by - bh && y < h - by)
        return {0, 128, 128};
    if (y < h * 2 / 3)
        return bars[x * 8 / w];
    const int g = w > 1 ? x * 255 / (w - 1) : 0;
    return {g, g, g};
}

// Moving picture, periodic in x with period w. "gradient" is smooth in both directions, which the
// SPICE server takes for video; "tiles" has hard edges, which it sends as plain images.
Rgb animPixel(int x, int y, int w, int h, bool tiles)
{
    const int period = w > 0 ? w : 1;
    const int p = (x % period + period) % period;
    if (tiles) {
        uint32_t v = static_cast<uint32_t>(p / 32) * 2654435761u ^ static_cast<uint32_t>(y / 32) * 40503u;
        v ^= v >> 13;
        v *= 0x5bd1e995u;
        v ^= v >> 15;
        return {int(v & 0xff), int((v >> 8) & 0xff), int((v >> 16) & 0xff)};
    }
    const int tri = p * 2 < period ? p * 510 / period : (period - p) * 510 / period;
    const int r = tri > 255 ? 255 : tri;
    const int g = h > 1 ? y * 255 / (h - 1) : 0;
    const int b = 255 - r / 2 - g / 2;
    return {r, g, b};
}

constexpr int kStampBits = 24;
constexpr int kStampSquare = 16;

class Recorder
{
public:
    Recorder(Display* dpy, const Options& opts) : dpy_(dpy), opts_(opts) {}

    bool init()
    {
        screen_ = DefaultScreen(dpy_);
        root_ = RootWindow(dpy_, screen_);
        visual_ = DefaultVisual(dpy_, screen_);
        depth_ = DefaultDepth(dpy_, screen_);
        if (visual_->c_class != TrueColor || depth_ < 24) {
            fprintf(stderr, "xrecorder: need a 24-bit TrueColor visual\n");
            return false;
        }
        width_ = DisplayWidth(dpy_, screen_);
        height_ = DisplayHeight(dpy_, screen_);
        if (!opts_.regionSet) {
            opts_.rx = width_ / 2 - opts_.rw / 2;
            opts_.ry = height_ / 2 - opts_.rh / 2;
        }

        XSetWindowAttributes attrs{};
        attrs.override_redirect = True;
        attrs.background_pixmap = None;
        attrs.event_mask = KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                           PointerMotionMask | ExposureMask | FocusChangeMask | StructureNotifyMask;
        win_ = XCreateWindow(dpy_, root_, 0, 0, width_, height_, 0, depth_, InputOutput, visual_,
                             CWOverrideRedirect | CWBackPixmap | CWEventMask, &attrs);
        XStoreName(dpy_, win_, opts_.name.c_str());
        const long pid = getpid();
        XChangeProperty(dpy_, win_, XInternAtom(dpy_, "_NET_WM_PID", False), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&pid), 1);
        // Root size changes (xrandr) must resize the picture with it.
        XSelectInput(dpy_, root_, StructureNotifyMask);
        gc_ = XCreateGC(dpy_, win_, 0, nullptr);
        if (opts_.noAutoRepeat)
            XAutoRepeatOff(dpy_);
        buildImages();
        XMapRaised(dpy_, win_);
        return true;
    }

    int run()
    {
        const int xfd = ConnectionNumber(dpy_);
        const double period = opts_.fps > 0 ? 1.0 / opts_.fps : 0;
        double nextFrame = monotonicNow();
        for (;;) {
            while (XPending(dpy_)) {
                XEvent ev;
                XNextEvent(dpy_, &ev);
                handleEvent(ev);
            }
            if (quit_)
                return 0;

            timeval tv{};
            timeval* tvp = nullptr;
            if (period > 0 && ready_) {
                const double now = monotonicNow();
                if (now >= nextFrame) {
                    paintFrame();
                    // A late frame is dropped rather than caught up, so the rate stays bounded.
                    nextFrame += period;
                    if (nextFrame < now)
                        nextFrame = now + period;
                    continue;
                }
                const double wait = nextFrame - now;
                tv.tv_sec = static_cast<time_t>(wait);
                tv.tv_usec = static_cast<suseconds_t>((wait - tv.tv_sec) * 1e6);
                tvp = &tv;
            }
            fd_set fds;
            FD_ZERO(&fds);
            FD_SET(xfd, &fds);
            FD_SET(g_sigPipe[0], &fds);
            const int maxfd = xfd > g_sigPipe[0] ? xfd : g_sigPipe[0];
            const int n = select(maxfd + 1, &fds, nullptr, nullptr, tvp);
            if (n < 0 && errno != EINTR) {
                perror("xrecorder: select");
                return 1;
            }
            if (n > 0 && FD_ISSET(g_sigPipe[0], &fds)) {
                char buf[64];
                const ssize_t got = read(g_sigPipe[0], buf, sizeof buf);
                for (ssize_t i = 0; i < got; ++i) {
                    if (buf[i] == SIGUSR1)
                        repaintRegion();
                    else
                        quit_ = true;
                }
            }
        }
    }

    void shutdown()
    {
        if (opts_.noAutoRepeat)
            XAutoRepeatOn(dpy_);
        XSync(dpy_, False);
    }

private:
    unsigned long pixelOf(const Rgb& c) const
    {
        auto place = [](int v, unsigned long mask) {
            int shift = 0;
            while (mask && !(mask & 1)) {
                mask >>= 1;
                ++shift;
            }
            return (static_cast<unsigned long>(v) & mask) << shift;
        };
        return place(c.r, visual_->red_mask) | place(c.g, visual_->green_mask) |
               place(c.b, visual_->blue_mask);
    }

    XImage* makeImage(int w, int h)
    {
        char* data = static_cast<char*>(malloc(static_cast<size_t>(w) * h * 4));
        XImage* img = XCreateImage(dpy_, visual_, depth_, ZPixmap, 0, data, w, h, 32, 0);
        if (!img) {
            fprintf(stderr, "xrecorder: XCreateImage failed\n");
            exit(1);
        }
        return img;
    }

    void buildImages()
    {
        if (still_)
            XDestroyImage(still_);
        if (anim_)
            XDestroyImage(anim_);
        still_ = makeImage(width_, height_);
        for (int y = 0; y < height_; ++y)
            for (int x = 0; x < width_; ++x)
                XPutPixel(still_, x, y, pixelOf(patternPixel(x, y, width_, height_)));
        anim_ = nullptr;
        if (opts_.fps > 0) {
            // Twice as wide as the screen: a frame is a window into it at a moving offset.
            anim_ = makeImage(width_ * 2, height_);
            for (int y = 0; y < height_; ++y)
                for (int x = 0; x < width_ * 2; ++x)
                    XPutPixel(anim_, x, y, pixelOf(animPixel(x, y, width_, height_, opts_.tiles)));
        }
    }

    void fillRegionIfSet()
    {
        if (repaints_ == 0)
            return;
        const Rgb& c = opts_.colors[(repaints_ - 1) % opts_.colors.size()];
        XSetForeground(dpy_, gc_, pixelOf(c));
        XFillRectangle(dpy_, win_, gc_, opts_.rx, opts_.ry, opts_.rw, opts_.rh);
    }

    void paintStill()
    {
        XPutImage(dpy_, win_, gc_, still_, 0, 0, 0, 0, width_, height_);
        fillRegionIfSet();
        XSync(dpy_, False);
    }

    // The stamp goes into the image itself so that no screen state ever shows a frame without
    // its number: row 0 holds the bits (white = 1, most significant first), row 1 their inverse.
    void paintFrame()
    {
        ++frame_;
        const int shift = static_cast<int>((frame_ * 8) % width_);
        const int stampW = kStampBits * kStampSquare;
        for (int bit = 0; bit < kStampBits; ++bit) {
            const bool one = (frame_ >> (kStampBits - 1 - bit)) & 1;
            for (int row = 0; row < 2; ++row) {
                const bool white = row == 0 ? one : !one;
                const unsigned long px = pixelOf(white ? Rgb{255, 255, 255} : Rgb{0, 0, 0});
                for (int dy = 0; dy < kStampSquare; ++dy)
                    for (int dx = 0; dx < kStampSquare; ++dx)
                        if (shift + bit * kStampSquare + dx < 2 * width_ && row * kStampSquare + dy < height_)
                            XPutPixel(anim_, shift + bit * kStampSquare + dx, row * kStampSquare + dy, px);
            }
        }
        // Both times: when the frame was handed to the server and when the server had it.
        const double submitted = monotonicNow();
        XPutImage(dpy_, win_, gc_, anim_, shift, 0, 0, 0, width_, height_);
        fillRegionIfSet();
        XSync(dpy_, False);
        logLine("frame %ld %.6f %.6f", frame_, submitted, monotonicNow());
        for (int y = 0; y < 2 * kStampSquare && y < height_; ++y)
            for (int x = shift; x < shift + stampW && x < 2 * width_; ++x)
                XPutPixel(anim_, x, y, pixelOf(animPixel(x, y, width_, height_, opts_.tiles)));
    }

    void repaintRegion()
    {
        ++repaints_;
        const Rgb& c = opts_.colors[(repaints_ - 1) % opts_.colors.size()];
        fillRegionIfSet();
        XSync(dpy_, False);
        logLine("repaint %ld %d %d %d %d %02x%02x%02x %.6f", repaints_, opts_.rx, opts_.ry, opts_.rw,
                opts_.rh, c.r, c.g, c.b, monotonicNow());
    }

    void takeFocus() { XSetInputFocus(dpy_, win_, RevertToParent, CurrentTime); }

    void handleEvent(XEvent& ev)
    {
        switch (ev.type) {
        case KeyPress:
            logLine("key press %u", ev.xkey.keycode);
            break;
        case KeyRelease:
            logLine("key release %u", ev.xkey.keycode);
            break;
        case ButtonPress:
            logLine("button press %u %d %d", ev.xbutton.button, ev.xbutton.x, ev.xbutton.y);
            break;
        case ButtonRelease:
            logLine("button release %u %d %d", ev.xbutton.button, ev.xbutton.x, ev.xbutton.y);
            break;
        case MotionNotify:
            logLine("motion %d %d", ev.xmotion.x, ev.xmotion.y);
            break;
        case MappingNotify:
            // The core keymap changes when the first key arrives through the server.
            XRefreshKeyboardMapping(&ev.xmapping);
            break;
        case MapNotify:
            if (ev.xmap.window == win_) {
                mapped_ = true;
                takeFocus();
            }
            break;
        case FocusOut:
            // Grabs hand the focus back by themselves; pointer/inferior details are no loss.
            if (ev.xfocus.window == win_ && ev.xfocus.mode != NotifyGrab && ev.xfocus.mode != NotifyUngrab &&
                ev.xfocus.detail != NotifyPointer && ev.xfocus.detail != NotifyInferior && mapped_) {
                takeFocus();
                logLine("focus retaken");
            }
            break;
        case Expose:
            if (ev.xexpose.window == win_ && ev.xexpose.count == 0) {
                // While animating the next frame repaints everything anyway.
                if (!(ready_ && opts_.fps > 0))
                    paintStill();
                if (!ready_ && mapped_) {
                    ready_ = true;
                    logLine("ready");
                }
            }
            break;
        case ConfigureNotify:
            if (ev.xconfigure.window == root_ &&
                (ev.xconfigure.width != width_ || ev.xconfigure.height != height_)) {
                width_ = ev.xconfigure.width;
                height_ = ev.xconfigure.height;
                XMoveResizeWindow(dpy_, win_, 0, 0, width_, height_);
                buildImages();
                paintStill();
                logLine("screen %d %d", width_, height_);
            }
            break;
        default:
            break;
        }
    }

    Display* dpy_;
    Options opts_;
    int screen_ = 0;
    Window root_ = 0, win_ = 0;
    Visual* visual_ = nullptr;
    int depth_ = 0;
    int width_ = 0, height_ = 0;
    GC gc_ = nullptr;
    XImage* still_ = nullptr;
    XImage* anim_ = nullptr;
    bool mapped_ = false;
    bool ready_ = false;
    bool quit_ = false;
    long frame_ = 0;
    long repaints_ = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const Options opts = parseArgs(argc, argv);
    g_log = fopen(opts.logPath.c_str(), "a");
    if (!g_log) {
        perror(("xrecorder: " + opts.logPath).c_str());
        return 1;
    }
    if (pipe(g_sigPipe) != 0) {
        perror("xrecorder: pipe");
        return 1;
    }
    struct sigaction sa {
    };
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGUSR1, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);

    Display* dpy = XOpenDisplay(opts.display.empty() ? nullptr : opts.display.c_str());
    if (!dpy) {
        fprintf(stderr, "xrecorder: cannot open display %s\n",
                opts.display.empty() ? "(DISPLAY)" : opts.display.c_str());
        return 1;
    }
    Recorder rec(dpy, opts);
    if (!rec.init())
        return 1;
    const int rc = rec.run();
    rec.shutdown();
    XCloseDisplay(dpy);
    logLine("exit");
    fclose(g_log);
    return rc;
}
