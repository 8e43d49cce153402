#!/usr/bin/python3
"""The viewer beside remote-viewer on the same server, one after the other, several times.

One Xspice (1920x1080) shows tools/peer_painter.py's animation: the whole screen repainted FPS
times a second, each frame carrying its number as a 24-bit stamp in its top-left corner (content
"echo": only the stamp changes, as a typed character would). Each client in turn connects (Xspice
serves one at a time), shows the picture on a private 1920x1200 Xvfb, and is measured for a fixed
time after a warm-up:

  cpu/s       CPU seconds per second of the client process (utime + stime, all its threads) and of
              the processes it runs (the viewer's connection process)
  shown/s     distinct frame numbers read from the client's window per second (the stamp is
              grabbed from the Xvfb root many times a second; a frame counts when first seen)
  server/s    frames the painter handed to the X server per second in the same span
  lat50/lat90 from a frame's hand-over to the server until first seen in the client (up to
              one sampling interval included)
  xvfb/s      the same as cpu/s for the client's X server (its share of the drawing)
  xspice/s    the same for the SPICE server (Xorg + spiceqxl)

The viewer runs at 1920x1080 (1:1) and at its default 800x600 (scaled); remote-viewer full screen
(1:1 below its header bar) and in an 800x600 window (its picture is found where two captures
differ); with --baseline, another build of the viewer at both sizes. With --wm, openbox manages
the client's display and the viewer can run full screen too (viewerfs): with --screen 1600x1000,
both clients' full screen scales the picture (remote-viewer's is found where captures differ). Not a test: run by hand with
Debian's python (python3-xlib, PIL) after building spice-client:

  /usr/bin/python3 tools/compare_peer.py --build build [--rounds 2] [--seconds 20]
                   [--content tiles,gradient,echo] [--baseline OTHER/spice-client] [--json out.json]
                   [--screen 1600x1000 --wm --clients viewerfs,remote]
"""
import argparse, json, os, shutil, socket, statistics, struct, subprocess, sys, threading, time
from PIL import Image, ImageChops
from Xlib import X, Xatom, display as xdisplay
from Xlib.error import XError

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [HERE, os.path.join(HERE, "..", "tests", "e2e")]
import harness  # noqa: E402
from peer_painter import STAMP_W, STAMP_H, read_stamp  # noqa: E402

SERVER_W, SERVER_H = 1920, 1080
XVFB_W, XVFB_H = 1920, 1200


def cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return float("nan")


def tree_cpu_seconds(pid):
    """cpu_seconds of `pid` and of every process below it that runs now."""
    total, todo = 0.0, [pid]
    while todo:
        p = todo.pop()
        total += cpu_seconds(p)
        try:
            for task in os.listdir("/proc/%d/task" % p):
                with open("/proc/%d/task/%s/children" % (p, task)) as f:
                    todo += [int(c) for c in f.read().split()]
        except OSError:
            pass
    return total


def server_pid(display):  # the peer of its socket (started with -displayfd, it has no lock file)
    with socket.socket(socket.AF_UNIX) as s:
        s.connect("/tmp/.X11-unix/X" + display[1:])
        return struct.unpack("3i", s.getsockopt(socket.SOL_SOCKET, socket.SO_PEERCRED, 12))[0]


def machine_busy():
    """(busy jiffies, total jiffies) of the whole machine from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    return sum(fields) - fields[3] - fields[4], sum(fields)


def percentile(values, q):
    return sorted(values)[min(len(values) - 1, int(q * len(values)))] if values else float("nan")


def capture(x, region):
    """region=(x, y, w, h) of the root of Xlib display `x` as a PIL image."""
    data = x.screen().root.get_image(*region, X.ZPixmap, 0xFFFFFFFF).data
    return Image.frombytes("RGB", region[2:], data, "raw", "BGRX")


def halt(p):
    if p.poll() is None:
        p.terminate()
        try:
            p.wait(5)
        except subprocess.TimeoutExpired:
            p.kill()
            p.wait()


def collect(pipe, lines):
    for line in pipe:
        lines.append(line)


class Sampler(threading.Thread):
    """Grabs the stamp region from the client's X display as fast as it can (with a short
    pause) and keeps (time, frame number or None)."""
    def __init__(self, display, x, y, scale, pause=0.003):
        super().__init__(daemon=True)
        self.x = xdisplay.Display(display)
        self.region = (x, y, int(STAMP_W * scale) + 2, int(STAMP_H * scale) + 2)
        self.scale, self.pause, self.samples, self.error = scale, pause, [], None
        self._halt = threading.Event()
        self.start()

    def run(self):
        try:
            while not self._halt.is_set():
                img = capture(self.x, self.region)
                self.samples.append((time.monotonic(), read_stamp(img, self.scale)))
                time.sleep(self.pause)
        except Exception as e:  # pylint: disable=broad-except
            self.error = e
        self.x.close()

    def stop(self):
        self._halt.set()
        self.join(10)

    def first_seen(self):
        """{frame number: time first read}."""
        seen = {}
        for t, n in self.samples:
            if n is not None:
                seen.setdefault(n, t)
        return seen


class Bench:
    def __init__(self, args, env):
        self.args, self.env = args, env
        self.xs = env.xspice(SERVER_W, SERVER_H)
        self.xs_pid = server_pid(self.xs.display)
        self.display = env.xserver(["Xvfb", "-screen", "0", "%dx%dx24" % (XVFB_W, XVFB_H), "-ac"],
                                   "xvfb-peer")
        self.xvfb_pid = server_pid(self.display)
        self.x = xdisplay.Display(self.display)
        if args.wm:  # carries out the full-screen state
            env.spawn(["openbox", "--sm-disable", "--config-file", "/etc/xdg/openbox/rc.xml"], "openbox",
                      env={"DISPLAY": self.display})
            check = self.x.intern_atom("_NET_SUPPORTING_WM_CHECK")
            harness.wait(lambda: self.x.screen().root.get_full_property(check, Xatom.WINDOW), 15, "openbox")
        self.painter = self.frames = None

    def start_painter(self, content):
        if self.painter:
            halt(self.painter)
        fps = self.args.fps if self.args.fps else 10 if content == "echo" else 30
        self.painter = self.env.spawn(
            [sys.executable, os.path.join(HERE, "peer_painter.py"), self.xs.display, content, fps],
            "painter-" + content, stdout=subprocess.PIPE)
        self.frames = []
        threading.Thread(target=collect, args=(self.painter.stdout, self.frames),
                         daemon=True).start()

    def submitted(self):
        return {int(n): float(t) for n, t in (line.split() for line in list(self.frames))}

    # --- clients ---------------------------------------------------------------------------

    def window(self, pid):
        """The mapped top-level window of process `pid` on the client's display."""
        atom = self.x.intern_atom("_NET_WM_PID")

        def find():
            root = self.x.screen().root  # a window manager lists its clients
            managed = root.get_full_property(self.x.intern_atom("_NET_CLIENT_LIST"), Xatom.WINDOW)
            tops = [self.x.create_resource_object("window", w) for w in managed.value] if managed \
                else root.query_tree().children
            for w in tops:
                try:
                    p = w.get_full_property(atom, Xatom.CARDINAL)
                    if p and p.value[0] == pid and w.get_attributes().map_state == X.IsViewable:
                        return w
                except XError:  # gone meanwhile
                    pass
            return None
        return harness.wait(find, 30, "a window of process %d" % pid)

    def geometry(self, w):
        g, c = w.get_geometry(), self.x.screen().root.translate_coords(w, 0, 0)
        return (c.x, c.y, g.width, g.height)

    def place(self, w, size):
        w.configure(x=0, y=0, width=size[0], height=size[1])
        self.x.sync()
        harness.wait(lambda: self.geometry(w)[2:] == size, 10, "the window's size %s" % (size,))

    def start_viewer(self, size, exe=None):
        proc = self.env.spawn([exe or self.args.viewer, "-h", "127.0.0.1", "-p", self.xs.port],
                              "viewer", env={"DISPLAY": self.display})
        self.place(self.window(proc.pid), size)
        # Aspect kept, centred: the same arithmetic as the window's.
        sw, sh = SERVER_W, SERVER_H
        if size[1] * sw // sh <= size[0]:
            fw, fh = size[1] * sw // sh, size[1]
        else:
            fw, fh = size[0], size[0] * sh // sw
        return proc, ((size[0] - fw) // 2, (size[1] - fh) // 2, fw, fh), fw / sw

    def start_viewer_fs(self):
        proc = self.env.spawn([self.args.viewer, "-h", "127.0.0.1", "-p", self.xs.port, "-f"], "viewer",
                              env={"DISPLAY": self.display})
        harness.wait(lambda: self.geometry(self.window(proc.pid)) == (0, 0, XVFB_W, XVFB_H), 10,
                     "the viewer to cover the screen")
        s = min(XVFB_W / SERVER_W, XVFB_H / SERVER_H)
        fw, fh = round(SERVER_W * s), round(SERVER_H * s)
        return proc, ((XVFB_W - fw) // 2, (XVFB_H - fh) // 2, fw, fh), fw / SERVER_W

    def start_remote_viewer(self, size=None):
        """Full screen, or in a window of `size` (without a window manager, GTK's own
        decorations would make the window keep its own size: GTK_CSD=0)."""
        argv = ["remote-viewer", "--auto-resize=never", "spice://127.0.0.1:%d" % self.xs.port]
        proc = self.env.spawn(argv + ([] if size else ["--full-screen"]), "remote-viewer",
                              env={"DISPLAY": self.display, "GTK_CSD": "0", "NO_AT_BRIDGE": "1"})
        w = self.window(proc.pid)
        if not size and XVFB_W >= SERVER_W:
            return proc, (0, 0, XVFB_W, XVFB_H), 1.0
        if not size:  # scaled to the screen
            rect = harness.wait(lambda: self.picture_rect(w), 30, "remote-viewer's picture")
            return proc, rect, rect[2] / SERVER_W
        self.place(w, size)
        rect = harness.wait(lambda: self.picture_rect(w), 30, "remote-viewer's picture")
        return proc, rect, rect[2] / SERVER_W

    def picture_rect(self, w):
        """(x, y, w, h) in root coordinates of the moving picture inside window `w`: two
        captures apart in time differ only there."""
        x, y, ww, wh = self.geometry(w)
        x, y = max(0, x), max(0, y)
        region = (x, y, min(ww, XVFB_W - x), min(wh, XVFB_H - y))
        a = capture(self.x, region)
        time.sleep(0.15)
        box = ImageChops.difference(a, capture(self.x, region)).getbbox()
        if not box:
            return None
        x0, y0, x1, y1 = box
        # The picture keeps the server's aspect ratio; a box far from it is not settled yet.
        if abs((x1 - x0) * SERVER_H - (y1 - y0) * SERVER_W) > 4 * SERVER_W:
            return None
        return (x + x0, y + y0, x1 - x0, y1 - y0)

    def locate_stamp(self, rect, scale):
        """The root position of the stamp inside rect: the rows of the picture's top edge are
        searched, as a client may put a bar above its picture."""
        x, y, w, h = rect
        sh = int(STAMP_H * scale) + 2

        def find():
            img = capture(self.x, (x, y, min(w, int(STAMP_W * scale) + 4), min(h, 400)))
            return next(((x, y + dy) for dy in range(img.size[1] - sh)
                         if read_stamp(img, scale, 0, dy) is not None), None)
        return harness.wait(find, 30, "a readable frame stamp on %s" % self.display)

    def measure(self, label, start):
        """Starts a client, waits for its picture, warms up, measures, stops it."""
        proc, rect, scale = start()
        sampler = None
        try:
            sampler = Sampler(self.display, *self.locate_stamp(rect, scale), scale)
            time.sleep(self.args.warmup)
            pids = (proc.pid, self.xvfb_pid, self.xs_pid)
            cpu0, busy0, t0 = [tree_cpu_seconds(pids[0])] + [cpu_seconds(p) for p in pids[1:]], \
                machine_busy(), time.monotonic()
            time.sleep(self.args.seconds)
            cpu1, busy1, t1 = [tree_cpu_seconds(pids[0])] + [cpu_seconds(p) for p in pids[1:]], \
                machine_busy(), time.monotonic()
            sampler.stop()
            if sampler.error:
                raise sampler.error
            if proc.poll() is not None:
                raise RuntimeError("%s ended during the measurement (%s)" % (label, proc.poll()))
        finally:
            if sampler and sampler.is_alive():
                sampler.stop()
            halt(proc)
        span = t1 - t0
        submitted = self.submitted()
        shown = {n: t for n, t in sampler.first_seen().items() if t0 <= t < t1}
        latency = [t - submitted[n] for n, t in shown.items() if n in submitted]
        in_span = [s for s in sampler.samples if t0 <= s[0] < t1]
        return {
            "client": label,
            "seconds": span,
            "cpu": (cpu1[0] - cpu0[0]) / span,
            "xvfb": (cpu1[1] - cpu0[1]) / span,
            "xspice": (cpu1[2] - cpu0[2]) / span,
            "server_fps": sum(1 for t in submitted.values() if t0 <= t < t1) / span,
            "shown_fps": len(shown) / span,
            "lat50": percentile(latency, 0.5),
            "lat90": percentile(latency, 0.9),
            "samples_per_s": len(in_span) / span,
            "unreadable": sum(1 for _t, n in in_span if n is None) / max(1, len(in_span)),
            "machine_busy": (busy1[0] - busy0[0]) / max(1, busy1[1] - busy0[1]),
        }

    def clients(self):
        """{key: (label, start)} in the order they take turns."""
        c = {"viewer1": ("viewer 1920x1080", lambda: self.start_viewer((1920, 1080))),
             "remote": ("remote-viewer 1:1" if XVFB_W >= SERVER_W else "remote-viewer full scr.",
                        self.start_remote_viewer),
             "viewer800": ("viewer 800x600", lambda: self.start_viewer((800, 600))),
             "remote800": ("remote-viewer 800x600", lambda: self.start_remote_viewer((800, 600)))}
        if self.args.wm:
            c["viewerfs"] = ("viewer full screen", self.start_viewer_fs)
        if self.args.baseline:
            base = self.args.baseline
            c["base1"] = ("baseline 1920x1080", lambda: self.start_viewer((1920, 1080), base))
            c["base800"] = ("baseline 800x600", lambda: self.start_viewer((800, 600), base))
        return c


ROW = "%-21s %5s %6s %7s %8s %7s %7s %6s %8s %7s %9s %5s"


def print_table(content, rows):
    print("\ncontent=%s" % content)
    print(ROW % ("client", "round", "cpu/s", "shown/s", "server/s", "lat50ms", "lat90ms",
                 "xvfb/s", "cpu+xvfb", "xspice/s", "samples/s", "busy"))

    def line(client, rnd, get):
        return ROW % (client, rnd, "%.3f" % get("cpu"), "%.1f" % get("shown_fps"),
                      "%.1f" % get("server_fps"), "%.0f" % (get("lat50") * 1000),
                      "%.0f" % (get("lat90") * 1000), "%.3f" % get("xvfb"),
                      "%.3f" % (get("cpu") + get("xvfb")), "%.3f" % get("xspice"),
                      "%.0f" % get("samples_per_s"), "%.0f%%" % (100 * get("machine_busy")))
    for r in rows:
        print(line(r["client"], r["round"], lambda k, r=r: r[k]))
    print("mean:")
    for client in dict.fromkeys(r["client"] for r in rows):
        mine = [r for r in rows if r["client"] == client]
        print(line(client, "all", lambda k, mine=mine: statistics.mean(r[k] for r in mine)))
    sys.stdout.flush()


def main():
    global XVFB_W, XVFB_H
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(HERE, "..", "build"),
                   help="build folder with spice-client")
    p.add_argument("--viewer", help="viewer executable (default: BUILD/spice-client)")
    p.add_argument("--rounds", type=int, default=2, help="alternations of the clients")
    p.add_argument("--seconds", type=float, default=20.0, help="measured time per client run")
    p.add_argument("--warmup", type=float, default=5.0, help="time before measuring")
    p.add_argument("--fps", type=int, default=0,
                   help="frames per second the painter paints (default: 30, echo 10)")
    p.add_argument("--content", default="tiles",
                   help="comma-separated: tiles (sent as images), gradient (sent as video), "
                   "echo (only the stamp changes; without remote800)")
    p.add_argument("--clients", default="",
                   help="comma-separated subset of: viewer1, remote, viewer800, remote800, "
                   "base1, base800 (the last two need --baseline), viewerfs (needs --wm)")
    p.add_argument("--screen", default="%dx%d" % (XVFB_W, XVFB_H), help="size of the client's display")
    p.add_argument("--wm", action="store_true", help="openbox on the client's display")
    p.add_argument("--baseline", help="another spice-client build (say, before a change) measured "
                   "beside the others, at both window sizes")
    p.add_argument("--json", help="also write every run's figures here")
    args = p.parse_args()
    XVFB_W, XVFB_H = map(int, args.screen.split("x"))
    args.viewer = os.path.abspath(args.viewer or os.path.join(args.build, "spice-client"))
    args.baseline = args.baseline and os.path.abspath(args.baseline)
    for exe in (args.viewer,) + ((args.baseline,) if args.baseline else ()):
        if not os.access(exe, os.X_OK):
            sys.exit("not built: %s" % exe)
    if not shutil.which("remote-viewer"):
        sys.exit("remote-viewer is not installed (Debian package virt-viewer)")

    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), "?")
    print("%s; %d cores (%s)" % (time.strftime("%Y-%m-%d %H:%M"), os.cpu_count(), model))
    others = subprocess.run(["pgrep", "-c", "-x", "Xorg|Xvfb"], capture_output=True, text=True)
    print("X servers already running (others' tests): %s" % others.stdout.strip())
    print("load average before: %s" % open("/proc/loadavg").read().split()[:3])
    results, env = {}, harness.Env("compare_peer")
    try:
        bench = Bench(args, env)
        clients = bench.clients()
        for content in args.content.split(","):
            # remote-viewer's scaled picture is found by its motion, which echo has too little of
            keys = args.clients.split(",") if args.clients else [
                k for k in clients if not (content == "echo" and k == "remote800")]
            bench.start_painter(content)
            rows = []
            for rnd in range(args.rounds):
                for label, start in (clients[k] for k in keys):
                    r = bench.measure(label, start)
                    r["round"] = rnd + 1
                    rows.append(r)
                    print("  %s round %d: cpu %.3f/s, shown %.1f/s of %.1f/s sent"
                          % (label, rnd + 1, r["cpu"], r["shown_fps"], r["server_fps"]),
                          flush=True)
            results[content] = rows
            print_table(content, rows)
        halt(bench.painter)
        bench.x.close()
    finally:
        env.close(False)
    print("load average after: %s" % open("/proc/loadavg").read().split()[:3])
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
