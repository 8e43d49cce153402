#!/usr/bin/python3
"""How fast a launcher's click shows the remote desktop: the viewer beside remote-viewer.

One Xspice (1024x768, with its sound channel; a private PulseAudio plays) shows one flat colour. The clients take turns on a private 800x600 Xvfb
without a window manager, where the viewer's default window covers the whole screen and
remote-viewer runs full screen, so that both put the centre of the remote picture at the centre of
the screen:

  picture   from the exec of `spice-client -h HOST -p PORT` (`remote-viewer --full-screen
            spice://HOST:PORT`) until the screen's centre shows the remote colour (the pixel is
            read from the Xvfb about every 2 ms)
  key       (viewer only) from the exec of a first start with `-k 41` until the server's X display
            reports the key press (the window stays hidden; the key goes out with the first picture)
  handover  (viewer only) from the exec of a later start, while an instance shows the picture,
            until it has ended: with `-k 41` and without a key

Every client starts once before the rounds (not counted): the first start of a GStreamer program
in a new home builds its plugin registry, as it does once per machine for a user. The machine is
shared with whatever else runs, so the clients alternate within each round and medians are given;
compare them within a run, never across runs. Not a test: run by hand with Debian's python
(python3-xlib, PIL) after building spice-client:

  /usr/bin/python3 tools/measure_startup.py --build build [--rounds 5] [--baseline OTHER/spice-client]
"""
import argparse, os, shutil, statistics, subprocess, sys, threading, time
from Xlib import X, display as xdisplay

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests", "e2e")]
import harness  # noqa: E402

SERVER_W, SERVER_H = 1024, 768
SCREEN_W, SCREEN_H = 800, 600
COLOUR = (0xFF, 0x80, 0x00)
KEYCODE_A = 38  # what Xspice makes of the -k key 41 (Qt::Key_A)


def spawn(env, argv, display):
    """Started as a launcher would, without the harness's wrapper; (process, time of the exec)."""
    log = open(env.path("measure.log"), "ab")
    environment = dict(env.base, DISPLAY=display, GTK_CSD="0", NO_AT_BRIDGE="1")
    t0 = time.monotonic()
    p = subprocess.Popen([str(a) for a in argv], stdout=log, stderr=log, stdin=subprocess.DEVNULL,
                         env=environment, cwd=env.dir)
    log.close()
    return p, t0


class Bench:
    def __init__(self, env, args):
        self.env, self.args = env, args
        sock = os.path.join(env.mkdir("pulse"), "native")
        env.spawn(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                   "--use-pid-file=no", "--disable-shm=yes", "-L", "module-null-sink sink_name=measure",
                   "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % sock],
                  "pulse", env={"PULSE_RUNTIME_PATH": env.path("pulse")})
        env.base["PULSE_SERVER"] = "unix:" + sock
        harness.wait(lambda: not subprocess.run(["pactl", "info"], env=env.base, capture_output=True).returncode,
                     15, "pulseaudio")
        self.server = env.xspice(SERVER_W, SERVER_H, audio=True)
        self.sx = xdisplay.Display(self.server.display)
        root = self.sx.screen().root
        root.change_attributes(background_pixel=COLOUR[0] << 16 | COLOUR[1] << 8 | COLOUR[2],
                               event_mask=X.KeyPressMask)
        root.clear_area()
        root.set_input_focus(X.RevertToParent, X.CurrentTime)
        self.sx.sync()
        self.display = env.xserver(["Xvfb", "-screen", "0", "%dx%dx24" % (SCREEN_W, SCREEN_H), "-ac"],
                                   "xvfb-clients")
        self.x = xdisplay.Display(self.display)
        self.hp = ["-h", "127.0.0.1", "-p", self.server.port]

    def centre_lit(self):
        data = self.x.screen().root.get_image(SCREEN_W // 2, SCREEN_H // 2, 1, 1, X.ZPixmap, 0xFFFFFFFF).data
        b, g, r = data[0], data[1], data[2]
        return all(abs(a - c) <= 48 for a, c in zip((r, g, b), COLOUR))

    def picture(self, argv, keep=False):
        """Seconds from exec to the remote colour at the screen's centre."""
        if self.centre_lit():
            raise RuntimeError("the screen's centre is lit before the client starts")
        p, t0 = spawn(self.env, argv, self.display)
        try:
            while not self.centre_lit():
                if p.poll() is not None or time.monotonic() - t0 > 30:
                    raise RuntimeError("%s showed no picture (status %s)" % (argv[0], p.poll()))
                time.sleep(0.002)
            seconds = time.monotonic() - t0
        finally:
            if not keep:
                harness.stop(p)
                harness.wait(lambda: not self.centre_lit(), 10, "the picture to go")
        return (seconds, p) if keep else seconds

    def key(self, exe):
        """Seconds from exec of a first start with -k until the server has the key press."""
        while self.sx.pending_events():
            self.sx.next_event()
        p, t0 = spawn(self.env, [exe] + self.hp + ["-k", "41"], self.display)
        try:
            while True:
                while self.sx.pending_events():
                    e = self.sx.next_event()
                    if e.type == X.KeyPress and e.detail == KEYCODE_A:
                        return time.monotonic() - t0
                if p.poll() is not None or time.monotonic() - t0 > 30:
                    raise RuntimeError("the key never arrived (status %s)" % p.poll())
                time.sleep(0.002)
        finally:
            harness.stop(p)

    def handover(self, exe, key):
        """Seconds from exec of a later start to its end, while an instance shows the picture."""
        _, instance = self.picture([exe] + self.hp, keep=True)
        try:
            times = []
            for _ in range(self.args.handovers):
                p, t0 = spawn(self.env, [exe] + self.hp + (["-k", "41"] if key else []), self.display)
                # A blocking wait: with a timeout, Python polls at intervals of up to 50 ms.
                watchdog = threading.Timer(30, p.kill)
                watchdog.start()
                status = p.wait()
                times.append(time.monotonic() - t0)
                watchdog.cancel()
                if status != 0:
                    raise RuntimeError("a later start ended with status %d" % status)
            return statistics.median(times)
        finally:
            harness.stop(instance)
            harness.wait(lambda: not self.centre_lit(), 10, "the picture to go")


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(HERE, "..", "build"), help="build folder with spice-client")
    p.add_argument("--viewer", help="viewer executable (default: BUILD/spice-client)")
    p.add_argument("--baseline", help="another spice-client build measured in the same rounds")
    p.add_argument("--rounds", type=int, default=5, help="alternations of the clients")
    p.add_argument("--handovers", type=int, default=3, help="later starts per round and kind")
    args = p.parse_args()
    viewer = os.path.abspath(args.viewer or os.path.join(args.build, "spice-client"))
    builds = [("viewer", viewer)] + ([("baseline", os.path.abspath(args.baseline))] if args.baseline else [])
    for _, exe in builds:
        if not os.access(exe, os.X_OK):
            sys.exit("not built: %s" % exe)
    if not shutil.which("remote-viewer"):
        sys.exit("remote-viewer is not installed (Debian package virt-viewer)")
    print("%s; %d cores; load average before: %s" % (time.strftime("%Y-%m-%d %H:%M"), os.cpu_count(),
                                                     " ".join(open("/proc/loadavg").read().split()[:3])))
    env = harness.Env("measure_startup")
    try:
        bench = Bench(env, args)
        url = "spice://127.0.0.1:%d" % bench.server.port
        remote = ["remote-viewer", "--full-screen", url]
        for _, exe in builds:  # the warm-up starts
            bench.picture([exe] + bench.hp)
        bench.picture(remote)
        figures = {}
        for rnd in range(args.rounds):
            runs = [("remote-viewer picture", lambda: bench.picture(remote))]
            for name, exe in builds:
                runs = [("%s picture" % name, lambda exe=exe: bench.picture([exe] + bench.hp))] + runs
                runs += [("%s -k key at the server" % name, lambda exe=exe: bench.key(exe)),
                         ("%s hand-over" % name, lambda exe=exe: bench.handover(exe, False)),
                         ("%s hand-over -k" % name, lambda exe=exe: bench.handover(exe, True))]
            for label, run in runs:
                figures.setdefault(label, []).append(run())
            print("round %d: %s" % (rnd + 1, ", ".join("%s %.0f ms" % (label, v[-1] * 1000)
                                                       for label, v in figures.items())), flush=True)
        print("\nmedians of %d rounds (ms), min-max:" % args.rounds)
        for label, values in figures.items():
            print("  %-34s %5.0f   %.0f-%.0f" % (label, statistics.median(values) * 1000, min(values) * 1000,
                                                  max(values) * 1000))
        peer = statistics.median(figures["remote-viewer picture"])
        for name, _ in builds:
            print("  %s picture / remote-viewer picture: %.2f"
                  % (name, statistics.median(figures["%s picture" % name]) / peer))
        bench.sx.close()
        bench.x.close()
    except Exception:
        with open(env.path("measure.log"), errors="replace") as log:
            print("the clients' last output:\n" + "".join(log.readlines()[-30:]))
        raise
    finally:
        env.close(False)
    print("load average after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))


if __name__ == "__main__":
    main()
