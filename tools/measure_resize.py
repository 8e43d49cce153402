#!/usr/bin/python3
"""How long a window resize takes to reach the guest and come back as a 1:1 picture: the viewer beside
remote-viewer --auto-resize=always, one after the other, on one Xspice with the real agent.

Each client is resized by a drag of STEPS sizes 15 ms apart (as a window manager delivers them),
ending at one of three sizes; measured from the last step:

  asked     the monitors configuration reaches the agent (the agent pass-through's clock)
  guest     the guest's X screen has the new size (xrandr, polled)
  picture   the client's window shows the guest's new screen 1:1 (polled screenshots)

Not a test: run by hand with Debian's python after building spice-client:

  /usr/bin/python3 tools/measure_resize.py --build build [--rounds 3]
"""
import argparse, os, re, statistics, subprocess, sys, threading, time
from PIL import Image, ImageChops
from Xlib import X

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests", "e2e")]
import harness  # noqa: E402

SIZES = [(1100, 800), (800, 600), (1201, 901)]
STEPS = 8


class Peer(harness.Viewer):
    """remote-viewer on the test's display, found and resized as the viewer is."""
    def __init__(self, world, args):  # pylint: disable=super-init-not-called
        self.x = world.x
        self.p = world.spawn(["remote-viewer"] + list(args), "peer", dict(DISPLAY=world.display))
        self.pid = self.p.pid


def heads(server):
    out = subprocess.run(["xrandr", "-d", server.display, "--listmonitors"], capture_output=True, text=True).stdout
    return [tuple(map(int, m)) for m in re.findall(r"(\d+)/\d+x(\d+)/\d+\+\d+\+\d+", out)]


def shown(shot, screen):  # the guest's screen 1:1 in a window capture, centred across, anywhere down
    if screen.width > shot.width or screen.height > shot.height:
        return False
    x, mid = (shot.width - screen.width) // 2, screen.height // 2
    row = screen.crop((0, mid, screen.width, mid + 1)).tobytes()
    for y in range(shot.height - screen.height + 1):
        if shot.crop((x, y + mid, x + screen.width, y + mid + 1)).tobytes() == row and ImageChops.difference(
                shot.crop((x, y, x + screen.width, y + screen.height)), screen).getbbox() is None:
            return True
    return False


def capture(env, window):  # the window as on the screen (it may reach past the screen's edge)
    root, g = env.x.screen().root, window.get_geometry()
    at = root.translate_coords(window, 0, 0)
    x, y = max(at.x, 0), max(at.y, 0)
    w = min(at.x + g.width, env.x.screen().width_in_pixels) - x
    h = min(at.y + g.height, env.x.screen().height_in_pixels) - y
    data = root.get_image(x, y, w, h, X.ZPixmap, 0xFFFFFFFF).data
    return Image.frombytes("RGB", (w, h), data, "raw", "BGRX")


def measure(env, guest, client, rounds):
    window = harness.wait(client.windows, 20, "the window")[0]
    time.sleep(4)  # the agent connected, the first picture in
    rows = []
    for _ in range(rounds):
        for w, h in SIZES:
            n, before = len(guest.relay.configs), heads(guest)
            g = window.get_geometry()
            for i in range(1, STEPS + 1):  # a drag from where it is
                window.configure(width=g.width + (w - g.width) * i // STEPS,
                                 height=g.height + (h - g.height) * i // STEPS)
                env.x.sync()
                time.sleep(0.015)
            last = time.monotonic()
            changed = []  # when the guest's screen took a new size, polled beside the captures
            poller = threading.Thread(target=lambda: changed.append(poll(
                lambda: (m := heads(guest)) and m != before)))
            poller.start()
            frames = []
            while time.monotonic() - last < 2.0:
                frames.append((time.monotonic(), capture(env, window)))
            poller.join()
            screen = guest.screenshot()
            at_picture = next((t for t, shot in frames if shown(shot, screen)), float("nan"))
            asked = guest.relay.configs[n:]
            rows.append(((asked[-1][0] - last) if asked else float("nan"), changed[0] - last, at_picture - last,
                         len(asked)))
            time.sleep(1)
    return rows


def poll(pred, timeout=3):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        if pred():
            return time.monotonic()
        time.sleep(0.005)
    return float("nan")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--build", default="build")
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    os.environ["SPICE_CLIENT"] = os.path.abspath(os.path.join(args.build, "spice-client"))
    env = harness.Env("measure-resize")
    try:
        guest = env.xspice(agent=True)
        harness.Recorder(guest)
        clients = {
            "spice-client": lambda: env.viewer("-h", "127.0.0.1", "-p", guest.port),
            "remote-viewer": lambda: Peer(env, ["--auto-resize=always", "spice://127.0.0.1:%d" % guest.port]),
        }
        print("%-14s %8s %8s %8s %6s  (seconds from the last drag step; medians of %d)"
              % ("client", "asked", "guest", "picture", "asks", args.rounds * len(SIZES)))
        for name, start in clients.items():
            client = start()
            rows = measure(env, guest, client, args.rounds)
            client.stop()
            med = [statistics.median(r[i] for r in rows) for i in range(3)]
            print("%-14s %8.3f %8.3f %8.3f %6.1f" % (name, *med, statistics.mean(r[3] for r in rows)))
            time.sleep(2)
    finally:
        env.close(False)


if __name__ == "__main__":
    main()
