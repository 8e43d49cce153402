"""The guest's monitors follow the viewer's windows through the real agent (Xspice with two heads),
and full screen on a client with two monitors (a second Xspice with two heads as the viewer's X server)."""
import re, subprocess
from PIL import ImageChops
from Xlib import Xatom
from Xlib import X
from Xlib.ext import xtest
from harness import E2E, Recorder, grab, wait

SHIFT, F11, ALT, TAB = 50, 95, 64, 23


def heads(server):  # the guest's monitors: (width, height, x, y)
    out = subprocess.run(["xrandr", "-d", server.display, "--listmonitors"], capture_output=True, text=True).stdout
    return [tuple(map(int, m)) for m in re.findall(r"(\d+)/\d+x(\d+)/\d+\+(\d+)\+(\d+)", out)]


def same(a, b):  # pixel for pixel
    return a.size == b.size and ImageChops.difference(a.convert("RGB"), b.convert("RGB")).getbbox() is None


def on(server, *args):
    return subprocess.run(["xrandr", "-d", server.display] + list(args), check=True, capture_output=True,
                          text=True).stdout


class Monitors(E2E):
    def asked(self, relay, since):  # the enabled monitors of each configuration asked for since
        return [[m for m in config if m[0]] for config in relay.monitors(since)]

    def size(self, w):
        g = w.get_geometry()
        return g.width, g.height

    def second_monitor(self, guest, v, mode):  # turned on right of the first: its window, titled " (2)"
        on(guest, "--addmode", "qxl-1", mode)
        on(guest, "--output", "qxl-1", "--mode", mode, "--right-of", "qxl-0")
        named = lambda w: w.get_full_property(v.x.intern_atom("_NET_WM_NAME"), 0).value.decode()
        return wait(lambda: [w for w in v.windows() if named(w).endswith(" (2)")], what="(2)")[0]

    def shows(self, w, guest, box):  # the window shows the guest's `box` 1:1, centred
        shot = grab(w)
        left, top = (shot.width - (box[2] - box[0])) // 2, (shot.height - (box[3] - box[1])) // 2
        return same(shot.crop((left, top, left + box[2] - box[0], top + box[3] - box[1])),
                    guest.screenshot().crop(box))

    def test_guest_follows_windows_and_client_monitors(self):
        guest = self.env.xspice(agent=True, heads=2)
        rec, relay, hp = Recorder(guest), guest.relay, ("-h", "127.0.0.1", "-p", guest.port)
        v = self.env.viewer(*hp)
        v.wait_log("resolution follows the window", timeout=30)
        with self.subTest("opens at the guest's size, 1:1; one click at the centre after connecting"):
            wait(lambda: self.size(v.window()) == (1024, 768), what="the window at the guest's size")
            rec.wait_event(("button", 1, 512, 384, False))
            clicks = len([e for e in rec.events if e[0] == "button"])
        with self.subTest("each resize: one configuration, the guest at that size, the picture 1:1"):
            for w, h in ((1100, 800), (800, 600), (1201, 901)):
                n, asks = len(relay.configs), v.count("Monitors configuration asked")
                v.window().configure(width=w, height=h)
                self.env.x.sync()
                wait(lambda: heads(guest) == [(w & ~7, h, 0, 0)], 30, "the guest at %dx%d" % (w, h))
                wait(lambda: self.shows(v.window(), guest, (0, 0, w & ~7, h)), 10, "the picture 1:1")
                # the server may hand a configuration to an agent that just came twice
                self.assertEqual((v.count("Monitors configuration asked") - asks, set(map(tuple, self.asked(relay, n)))),
                                 (1, {((w, h, 0, 0),)}))
            self.assertEqual(len([e for e in rec.events if e[0] == "button"]), clicks, "a click after a resize")
        with self.subTest("the guest's second monitor: its own window, clicks there, resized and closed alone"):
            n = len(relay.configs)
            second = self.second_monitor(guest, v, "800x600")
            first = [w for w in v.windows() if w != second][0]
            second.configure(x=480, y=424)  # no window manager: where the first one's lower right was
            # the first window's top band, left uncovered, shows the first monitor alone, 1:1
            wait(lambda: self.size(second) == (800, 600) and self.shows(second, guest, (1200, 0, 2000, 600)) and
                 same(grab(first).crop((0, 0, 1200, 400)), guest.screenshot().crop((0, 0, 1200, 400))),
                 10, "each window its monitor's picture")
            v.pointer(400, 300, 1, window=second)
            v.pointer(400, 300, 1, False, window=second)
            rec.wait_event(("button", 1, 1200 + 400, 300, False))
            second.configure(width=640, height=480)
            self.env.x.sync()
            wait(lambda: [m[:2] for m in heads(guest)] == [(1200, 901), (640, 480)], 30, "the second at 640x480")
            v.close(second)
            wait(lambda: heads(guest) == [(1200, 901, 0, 0)], 30, "the second monitor off")
            wait(lambda: len(v.windows()) == 1, what="its window gone")
            self.assertEqual(self.asked(relay, n), [[(1201, 901, 0, 0), (640, 480, 1201, 0)],
                                                    [(1201, 901, 0, 0)]])
        v.stop()
        with self.subTest("--auto-resize never, --no-center-click: nothing asked, no click, scaled as before"):
            n, m = len(relay.configs), len(rec.events)
            v = self.env.viewer(*hp, "--auto-resize", "never", "--no-center-click")
            v.wait_log(r"resolution stays as it is \(--auto-resize never\)", timeout=30)
            self.assertTrue(v.wait_picture(guest)[1])
            self.assertEqual(self.size(v.window()), (800, 600))
            v.window().configure(width=1100, height=800)
            self.assertTrue(v.wait_picture(guest)[1])
            v.stop()
            self.assertEqual((relay.configs[n:], [e for e in rec.events[m:] if e[0] == "button"]), ([], []))
        with self.subTest("full screen on two client monitors: two guest monitors of their sizes, 1:1"):
            client = self.env.xspice(1280, 1024, heads=2)
            on(client, "--addmode", "qxl-1", "1024x768")
            on(client, "--output", "qxl-1", "--mode", "1024x768", "--right-of", "qxl-0")
            # the driver tells the output connected once asked again (a query probes the outputs)
            wait(lambda: "qxl-1 connected 1024x768+1280+0" in on(client), what="the client's second monitor")
            self.env.openbox(client.display)
            before = heads(guest)[0][:2]
            v = self.env.viewer(*hp, "-f", display=client.display)
            wait(lambda: heads(guest) == [(1280, 1024, 0, 0), (1024, 768, 1280, 0)], 30, "two guest monitors")
            place = lambda w: (lambda g, at: (at.x, at.y, g.width, g.height))(
                w.get_geometry(), v.x.screen().root.translate_coords(w, 0, 0))
            wait(lambda: sorted(map(place, v.windows())) == [(0, 0, 1280, 1024), (1280, 0, 1024, 768)],
                 what="a full-screen window on each")
            for w in v.windows():
                state = w.get_full_property(v.x.intern_atom("_NET_WM_STATE"), Xatom.ATOM).value
                self.assertIn(v.x.intern_atom("_NET_WM_STATE_FULLSCREEN"), state)
            wait(lambda: same(client.screenshot().crop((0, 0, 2304, 768)), guest.screenshot().crop((0, 0, 2304, 768)))
                 and same(client.screenshot().crop((0, 0, 1280, 1024)), guest.screenshot().crop((0, 0, 1280, 1024))),
                 10, "both monitors 1:1")
        with self.subTest("leaving full screen: one window of the guest's size before, one guest monitor"):
            v.key(SHIFT)
            v.key(F11)
            v.key(F11, False)
            v.key(SHIFT, False)
            # the second window may go before the window manager gives the first its size back: the guest
            # may pass through the full-screen size on the way, so wait for where it ends
            wait(lambda: len(v.windows()) == 1 and self.size(v.window()) == before and
                 heads(guest) == [(before[0] & ~7, before[1], 0, 0)], 10, "one window, one guest monitor of its size")

    def frame(self, v, w):  # the window manager's frame around w: (x, y, width, height) on the screen
        f = w.query_tree().parent
        g, at = f.get_geometry(), v.x.screen().root.translate_coords(f, 0, 0)
        return at.x, at.y, g.width, g.height

    def drag(self, v, w, start, by, at):  # as a user with the mouse; at(dx, dy): the frame shows a drag by that
        root, move = v.x.screen().root, lambda x, y: (xtest.fake_input(v.x, X.MotionNotify, x=x, y=y), v.x.sync())

        def free():  # another client can take the keyboard (the probe lets go at once)
            if (probe := root.grab_keyboard(False, X.GrabModeAsync, X.GrabModeAsync, X.CurrentTime)) == 0:
                v.x.ungrab_keyboard(X.CurrentTime)
                v.x.sync()
            return probe == 0
        move(*start)
        wait(free, 10, "the viewer to let go of the keyboard with the pointer on the frame")
        before, steps = self.frame(v, w), iter(range(1, 1000))
        xtest.fake_input(v.x, X.ButtonPress, 1)

        def under_way():  # the pointer moves on a pixel at a time until the frame follows
            k = next(steps)
            move(start[0] + k * (by[0] > 0 or -1), start[1] + k * (by[1] > 0 or -1))
            return self.frame(v, w) != before
        wait(under_way, 10, "the drag to start")
        move(start[0] + by[0], start[1] + by[1])
        wait(lambda: at(*by), 10, "the frame dragged by %d,%d" % by)
        xtest.fake_input(v.x, X.ButtonRelease, 1)
        v.x.sync()

    def test_window_under_a_window_manager(self):
        """openbox frames the window: it opens smaller than the guest, is moved and resized by its frame"""
        self.env.openbox()
        guest = self.env.xspice(1280, 1024, agent=True, heads=2)  # as large as the viewer's screen
        rec, relay = Recorder(guest), guest.relay
        v = self.env.viewer("-h", "127.0.0.1", "-p", guest.port)
        v.wait_log("resolution follows the window", timeout=30)
        w = v.window()
        follows = lambda: (lambda s: heads(guest) == [(s[0] & ~7, s[1], 0, 0)] and s)(self.size(w))
        with self.subTest("opened smaller than the guest (the frame takes room): the guest takes its size"):
            width, height = wait(follows, 15, "the guest at the window's size")
            self.assertLess((width, height), (1280, 1024))
            wait(lambda: self.shows(w, guest, (0, 0, width & ~7, height)), 10, "the picture 1:1")
        with self.subTest("the guest's second monitor: its window right of the first, within the screen"):
            n = len(relay.configs)
            second = self.second_monitor(guest, v, "640x480")
            a, b = self.frame(v, w), wait(lambda: (f := self.frame(v, second))[2] > 1 and f, what="its frame")
            self.assertEqual((b[1], b[0] + b[2]), (a[1], 1280))  # beside it, pulled back within the screen
            v.close(second)
            wait(lambda: len(v.windows()) == 1, what="its window gone")
            wait(lambda: heads(guest) == [(width & ~7, height, 0, 0)], 30, "the second monitor off")
            self.assertEqual(self.asked(relay, n)[-1], [(width, height, 0, 0)])  # the window's, not the guest's
        with self.subTest("a drag on the title bar moves the window, one on its corner resizes it, the guest follows"):
            w.configure(x=100, y=100, width=900, height=700)  # away from the screen's edges, which resist
            wait(lambda: self.size(w) == (900, 700), 10, "the window away from the edges")
            x, y, fw, fh = self.frame(v, w)
            top = v.x.screen().root.translate_coords(w, 0, 0).y  # the title bar is above it
            # (the other way round, the title's press could come within a double click's time: maximise)
            self.drag(v, w, (x + 100, (y + top) // 2), (60, 40), lambda dx, dy: self.frame(v, w)[:2] == (x + dx, y + dy))
            x, y = x + 60, y + 40
            self.drag(v, w, (x + fw - 2, y + fh - 2), (-300, -200),
                      lambda dx, dy: self.frame(v, w) == (x, y, fw + dx, fh + dy))
            width, height = wait(follows, 15, "the guest at the new size")
            wait(lambda: self.shows(w, guest, (0, 0, width & ~7, height)), 10, "the picture 1:1")
        with self.subTest("over the picture the keyboard is the guest's: Alt+Tab reaches it"):
            n, m = len(v.log.splitlines()), len(rec.events)
            v.pointer(width // 2, height // 2)
            v.wait_log("XGrabKeyboard result:0", n)
            for code, press in ((ALT, True), (TAB, True), (TAB, False), (ALT, False)):
                v.key(code, press)
            rec.wait_key(ALT, False, m)
            self.assertEqual([e for e in rec.events[m:] if e[0] == "key"],
                             [("key", ALT, True), ("key", TAB, True), ("key", TAB, False), ("key", ALT, False)])
