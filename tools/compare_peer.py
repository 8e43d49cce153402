#!/usr/bin/python3
"""The viewer beside remote-viewer on the same server, one after the other, several times.

One Xspice (1920x1080) runs the recorder's animation: the whole screen repainted FPS times a
second, each frame carrying its number as a 24-bit stamp in its top-left corner. Each client in
turn connects (Xspice serves one client at a time), shows the picture on a private Xvfb, and is
measured for a fixed time after a warm-up:

  cpu/s       CPU seconds per second of the client process (utime + stime, all its threads)
  shown/s     distinct frame numbers read from the client's window per second (the stamp is
              grabbed from the Xvfb root many times a second; a frame counts when first seen)
  server/s    frames the recorder handed to the X server per second in the same span
  lat50/lat90 time from a frame's hand-over to the server until first seen in the client
              (includes up to one sampling interval)
  xvfb/s      CPU seconds per second of the client's X server (its share of the drawing)
  xspice/s    CPU seconds per second of the SPICE server (Xorg + spiceqxl; encoding depends
              on what the client announced)

The viewer runs at 1920x1080 (1:1) and at its default 800x600 (scaled). remote-viewer runs full
screen on the 1920x1200 Xvfb, which shows the picture 1:1 below its header bar, and in an 800x600
window (its picture, about 790x444 inside its bars, is found where two captures differ). With
--baseline, another build of the viewer (say, before a change) takes its turns as well.

Not a test: run by hand, with Debian's python (PIL), after building spice-client and xrecorder:

  /usr/bin/python3 tools/compare_peer.py --build build [--rounds 2] [--seconds 20]
                   [--content tiles,gradient] [--baseline OTHER/spice-client] [--json out.json]

Nothing is asserted; the figures are printed as a table.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402

SERVER_W, SERVER_H = 1920, 1080
XVFB_W, XVFB_H = 1920, 1200
STAMP_W = harness.STAMP_BITS * harness.STAMP_SQUARE
STAMP_H = 2 * harness.STAMP_SQUARE


def read_stamp(img, scale):
    """Frame number of a stamp whose top-left corner is at (0, 0) of `img`, drawn at `scale`;
    None when torn or absent. At scale 1 this is harness.read_frame_stamp."""
    if scale == 1.0:
        return harness.read_frame_stamp(img)
    sq = harness.STAMP_SQUARE
    value = 0
    for bit in range(harness.STAMP_BITS):
        cx = int((bit * sq + sq / 2) * scale)
        top = sum(img.getpixel((cx, int(sq / 2 * scale)))[:3]) > 3 * 128
        bottom = sum(img.getpixel((cx, int((sq + sq / 2) * scale)))[:3]) > 3 * 128
        if top == bottom:
            return None
        value = (value << 1) | int(top)
    return value


class Sampler(threading.Thread):
    """Grabs the stamp region from the client's X display as fast as it can (with a short
    pause) and keeps (time, frame number or None)."""

    def __init__(self, display, x, y, scale, pause=0.003):
        super().__init__(daemon=True)
        self.client = harness.XClient(display)
        self.region = (x, y, int(STAMP_W * scale) + 2, int(STAMP_H * scale) + 2)
        self.scale = scale
        self.pause = pause
        self.samples = []
        self.error = None
        self._halt = threading.Event()

    def run(self):
        try:
            while not self._halt.is_set():
                img = self.client.grab(*self.region)
                t = time.monotonic()
                self.samples.append((t, read_stamp(img, self.scale)))
                time.sleep(self.pause)
        except Exception as e:  # pylint: disable=broad-except
            self.error = e

    def stop(self):
        self._halt.set()
        self.join(10)
        self.client.close()

    def first_seen(self):
        """{frame number: time first read}."""
        seen = {}
        for t, n in self.samples:
            if n is not None and n not in seen:
                seen[n] = t
        return seen


class StampPainter(threading.Thread):
    """Content "echo": only the frame stamp (384x32) is painted on the server's root window, FPS
    times a second, so that each change arrives after a quiet period, as a typed character does.
    Has the recorder's frames() and stop()."""

    def __init__(self, display, fps):
        super().__init__(daemon=True)
        from Xlib import display as xdisplay
        self.d = xdisplay.Display(display)
        screen = self.d.screen()
        self.root = screen.root
        self.gcs = [self.root.create_gc(foreground=screen.black_pixel)]
        self.period = 1.0 / fps
        self._frames = []
        self._halt = threading.Event()
        self.start()

    def run(self):
        from PIL import Image, ImageDraw
        sq = harness.STAMP_SQUARE
        n = 0
        while not self._halt.wait(self.period):
            n += 1
            # One image, one request: the server sends it as one drawing, as a typed glyph row.
            img = Image.new("RGB", (STAMP_W, STAMP_H))
            draw = ImageDraw.Draw(img)
            for bit in range(harness.STAMP_BITS):
                top = (n >> (harness.STAMP_BITS - 1 - bit)) & 1
                draw.rectangle((bit * sq, (1 - top) * sq, bit * sq + sq - 1, (2 - top) * sq - 1),
                               fill=(255, 255, 255))
            self.root.put_pil_image(self.gcs[0], 0, 0, img)
            self.d.sync()
            self._frames.append((n, time.monotonic()))

    def frames(self):
        return list(self._frames)

    def stop(self):
        self._halt.set()
        self.join(5)
        self.d.close()


def locate_stamp(display, rect, scale, timeout=30.0):
    """The root position of the stamp inside rect=(x, y, w, h) of `display`: the rows of the
    picture's top edge are searched, as a client may put a bar above its picture. Waits until a
    stamp is readable."""
    x, y, w, h = rect

    def find():
        img = harness.capture_root(display, (x, y, min(w, int(STAMP_W * scale) + 4),
                                             min(h, 400)))
        for dy in range(0, img.size[1] - int(STAMP_H * scale) - 1):
            sub = img.crop((0, dy, img.size[0], dy + int(STAMP_H * scale) + 2))
            if read_stamp(sub, scale) is not None:
                return (x, y + dy)
        return None
    return harness.wait_until(find, timeout, 0.2, "a readable frame stamp on %s" % display)


def proc_cpu(pid):
    try:
        return harness.cpu_seconds(pid)
    except OSError:
        return float("nan")


def machine_busy():
    """(busy jiffies, total jiffies) of the whole machine from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    idle = fields[3] + fields[4]
    return sum(fields) - idle, sum(fields)


def percentile(values, q):
    if not values:
        return float("nan")
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


class Bench:
    def __init__(self, args, env):
        self.args = args
        self.env = env
        self.xs = env.start_xspice(SERVER_W, SERVER_H, audio=False)
        self.display = env.start_xvfb(XVFB_W, XVFB_H)
        self.xvfb_pid = next(p.pid for p in env.procs if p.name == "xvfb-%s" % self.display[1:])
        self.rec = None

    def start_recorder(self, content):
        if self.rec:
            self.rec.stop()
        if content == "echo":
            self.rec = StampPainter(self.xs.display, self.args.fps)
            return
        self.rec = self.env.start_recorder(self.xs.display, animate=self.args.fps,
                                           content=content, name="recorder-" + content)

    # --- clients ---------------------------------------------------------------------------

    def start_viewer(self, size, exe=None):
        viewer = self.env.run_viewer(["-h", "127.0.0.1", "-p", self.xs.port], self.display,
                                     exe=exe or self.args.viewer)
        viewer.wait_for_log("new display channel, creating window", 30)
        wid = viewer.window(30)
        harness.xdotool(self.display, "windowmove", wid, 0, 0)
        harness.xdotool(self.display, "windowsize", wid, size[0], size[1])
        harness.wait_until(lambda: tuple(harness.window_geometry(self.display, wid)[:4])
                           == (0, 0, size[0], size[1]), 10, 0.1, "the viewer window's size")
        # Aspect kept, centred: the same arithmetic as the window's.
        sw, sh = SERVER_W, SERVER_H
        if size[1] * sw // sh <= size[0]:
            fw, fh = size[1] * sw // sh, size[1]
        else:
            fw, fh = size[0], size[0] * sh // sw
        rect = ((size[0] - fw) // 2, (size[1] - fh) // 2, fw, fh)
        return viewer, rect, fw / sw

    def start_remote_viewer(self):
        env = self.env.base_env()
        env["DISPLAY"] = self.display
        self.env._seq += 1
        proc = self.env.spawn("remote-viewer-%d" % self.env._seq,
                              ["remote-viewer", "--full-screen", "--auto-resize=never",
                               "spice://127.0.0.1:%d" % self.xs.port], env=env)
        harness.find_window(self.display, pid=proc.pid, timeout=30)
        return proc, (0, 0, XVFB_W, XVFB_H), 1.0

    def start_remote_viewer_window(self, size):
        """remote-viewer in a window of `size` (header bar included, as GTK draws it without a
        window manager); the picture is found where the widget's grey background ends."""
        env = self.env.base_env()
        env["DISPLAY"] = self.display
        # Without a window manager, GTK's own decorations make the window keep its own size.
        env["GTK_CSD"] = "0"
        self.env._seq += 1
        proc = self.env.spawn("remote-viewer-%d" % self.env._seq,
                              ["remote-viewer", "--auto-resize=never",
                               "spice://127.0.0.1:%d" % self.xs.port], env=env)
        wid = harness.find_window(self.display, pid=proc.pid, timeout=30)
        harness.xdotool(self.display, "windowmove", wid, 0, 0)
        harness.xdotool(self.display, "windowsize", wid, size[0], size[1])
        harness.wait_until(lambda: tuple(harness.window_geometry(self.display, wid)[2:4])
                           == tuple(size), 10, 0.1, "the remote-viewer window's size")
        rect = harness.wait_until(lambda: self.picture_rect(wid), 30, 0.3,
                                  "remote-viewer's picture")
        return proc, rect, rect[2] / SERVER_W

    def picture_rect(self, wid):
        """(x, y, w, h) in root coordinates of the moving picture inside window `wid`: two
        captures apart in time differ only there."""
        g = harness.window_geometry(self.display, wid)
        x, y = max(0, g.x), max(0, g.y)
        region = (x, y, min(g.w, XVFB_W - x), min(g.h, XVFB_H - y))
        a = harness.capture_root(self.display, region)
        time.sleep(0.15)
        b = harness.capture_root(self.display, region)
        from PIL import ImageChops
        box = ImageChops.difference(a, b).getbbox()
        if not box:
            return None
        x0, y0, x1, y1 = box
        # The picture keeps the server's aspect ratio; a box far from it is not settled yet.
        if abs((x1 - x0) * SERVER_H - (y1 - y0) * SERVER_W) > 4 * SERVER_W:
            return None
        return (x + x0, y + y0, x1 - x0, y1 - y0)

    def measure(self, label, start):
        """Starts a client, waits for its picture, warms up, measures, stops it."""
        proc, rect, scale = start()
        sampler = None
        try:
            x, y = locate_stamp(self.display, rect, scale)
            sampler = Sampler(self.display, x, y, scale)
            sampler.start()
            time.sleep(self.args.warmup)
            cpu0 = (proc_cpu(proc.pid), proc_cpu(self.xvfb_pid), proc_cpu(self.xs.pid))
            busy0 = machine_busy()
            t0 = time.monotonic()
            time.sleep(self.args.seconds)
            t1 = time.monotonic()
            cpu1 = (proc_cpu(proc.pid), proc_cpu(self.xvfb_pid), proc_cpu(self.xs.pid))
            busy1 = machine_busy()
            sampler.stop()
            if sampler.error:
                raise sampler.error
            if not proc.running():
                raise harness.HarnessError("%s ended during the measurement:\n%s"
                                           % (label, proc.log_tail()))
        finally:
            if sampler and sampler.is_alive():
                sampler.stop()
            proc.stop()
        span = t1 - t0
        submitted = {n: t for n, t in self.rec.frames()}
        seen = sampler.first_seen()
        shown = {n: t for n, t in seen.items() if t0 <= t < t1}
        sent = [n for n, t in submitted.items() if t0 <= t < t1]
        latency = [t - submitted[n] for n, t in shown.items() if n in submitted]
        in_span = [s for s in sampler.samples if t0 <= s[0] < t1]
        unreadable = sum(1 for _t, n in in_span if n is None)
        return {
            "client": label,
            "seconds": span,
            "cpu": (cpu1[0] - cpu0[0]) / span,
            "xvfb": (cpu1[1] - cpu0[1]) / span,
            "xspice": (cpu1[2] - cpu0[2]) / span,
            "server_fps": len(sent) / span,
            "shown_fps": len(shown) / span,
            "lat50": percentile(latency, 0.5),
            "lat90": percentile(latency, 0.9),
            "samples_per_s": len(in_span) / span,
            "unreadable": unreadable / max(1, len(in_span)),
            "machine_busy": (busy1[0] - busy0[0]) / max(1, busy1[1] - busy0[1]),
        }

    def clients(self):
        viewer_1to1 = ("viewer 1920x1080", lambda: self.start_viewer((1920, 1080)))
        viewer_small = ("viewer 800x600", lambda: self.start_viewer((800, 600)))
        remote = ("remote-viewer 1:1", self.start_remote_viewer)
        remote_small = ("remote-viewer 800x600", lambda: self.start_remote_viewer_window((800, 600)))
        clients = [viewer_1to1, remote, viewer_small, remote_small]
        if self.args.baseline:
            base = self.args.baseline
            clients += [("baseline 1920x1080", lambda: self.start_viewer((1920, 1080), base)),
                        ("baseline 800x600", lambda: self.start_viewer((800, 600), base))]
        return clients


ROW = "%-21s %5s %6s %7s %8s %7s %7s %6s %8s %7s %9s %5s"


def print_table(content, rows):
    print()
    print("content=%s" % content)
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
    root = os.path.abspath(os.path.join(HERE, ".."))
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(root, "build"),
                   help="build folder with spice-client and tests/e2e/xrecorder")
    p.add_argument("--viewer", help="viewer executable (default: BUILD/spice-client)")
    p.add_argument("--rounds", type=int, default=2, help="alternations of the clients")
    p.add_argument("--seconds", type=float, default=20.0, help="measured time per client run")
    p.add_argument("--warmup", type=float, default=5.0, help="time before measuring")
    p.add_argument("--fps", type=int, default=30, help="frames per second the recorder paints")
    p.add_argument("--content", default="tiles",
                   help="comma-separated: tiles (sent as images), gradient (sent as video), "
                   "echo (only the stamp changes, --fps 10; 1:1 clients only)")
    p.add_argument("--clients", default="",
                   help="comma-separated subset of: viewer1, remote, viewer800, remote800, "
                   "base1, base800 (the last two need --baseline)")
    p.add_argument("--baseline", help="another spice-client build (say, before a change) measured "
                   "beside the others, at both window sizes")
    p.add_argument("--json", help="also write every run's figures here")
    args = p.parse_args()
    args.build = os.path.abspath(args.build)
    args.viewer = os.path.abspath(args.viewer or os.path.join(args.build, "spice-client"))
    os.environ.setdefault("XRECORDER", os.path.join(args.build, "tests", "e2e", "xrecorder"))
    if args.baseline:
        args.baseline = os.path.abspath(args.baseline)
    for exe in (args.viewer, os.environ["XRECORDER"]) + ((args.baseline,) if args.baseline else ()):
        if not os.access(exe, os.X_OK):
            sys.exit("not built: %s" % exe)
    if subprocess.run(["which", "remote-viewer"], capture_output=True).returncode != 0:
        sys.exit("remote-viewer is not installed (Debian package virt-viewer)")

    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.startswith("model name")), "?")
    print("%s; %d cores (%s)" % (time.strftime("%Y-%m-%d %H:%M"), os.cpu_count(), model))
    others = subprocess.run(["pgrep", "-c", "-x", "Xorg|Xvfb"], capture_output=True, text=True)
    print("X servers already running (others' tests): %s" % others.stdout.strip())
    print("load average before: %s" % open("/proc/loadavg").read().split()[:3])
    results = {}
    with harness.Env("compare_peer") as env:
        bench = Bench(args, env)
        clients = bench.clients()
        if args.clients:
            keys = {"viewer1": 0, "remote": 1, "viewer800": 2, "remote800": 3, "base1": 4,
                    "base800": 5}
            clients = [clients[keys[k]] for k in args.clients.split(",")]
        for content in args.content.split(","):
            bench.start_recorder(content)
            rows = []
            for rnd in range(args.rounds):
                for label, start in clients:
                    r = bench.measure(label, start)
                    r["round"] = rnd + 1
                    rows.append(r)
                    print("  %s round %d: cpu %.3f/s, shown %.1f/s of %.1f/s sent"
                          % (label, rnd + 1, r["cpu"], r["shown_fps"], r["server_fps"]),
                          flush=True)
            results[content] = rows
            print_table(content, rows)
        bench.rec.stop()
    print("load average after: %s" % open("/proc/loadavg").read().split()[:3])
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
