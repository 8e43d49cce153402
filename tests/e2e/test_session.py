"""Picture, sound and input in one server session: the letterboxed picture against the server's
own screen (also after a resize), a tone, keys with E0 scancodes, pointer mapping at the picture's
edges, clicks on the bars, buttons and wheel, and a key held while the window hides."""
import array, os, select, subprocess, time
from harness import E2E, wait

# Typed on the viewer's Xvfb, expected on Xspice: both number keys the evdev way. A, Return,
# Ctrl, then E0 keys: Home, Up, Left, Right, Down, End, PgUp, PgDn, Insert, Delete, keypad Enter
# and keypad /.
KEYS = [38, 36, 37, 110, 111, 113, 114, 116, 115, 112, 117, 118, 119, 104, 106]


def tone(env, timeout=20):
    """Frequency of the first half second in which the sink plays loudly throughout."""
    p = env.spawn(["parec", "-d", "e2e.monitor", "--raw", "--format=s16le", "--rate=48000",
                   "--channels=2"], "parec", stdout=subprocess.PIPE)
    left, rest, end = array.array("h"), b"", time.monotonic() + timeout
    while time.monotonic() < end:
        if select.select([p.stdout], [], [], 0.2)[0]:
            data = rest + os.read(p.stdout.fileno(), 1 << 16)
            left.extend(array.array("h", data[:len(data) & ~3])[0::2])
            rest = data[len(data) & ~3:]
        w = left[-24000:]
        if len(w) == 24000 and min(max(w[i:i + 2400]) for i in range(0, 24000, 2400)) > 1000:
            return 2 * sum(a < 0 <= b for a, b in zip(w, w[1:]))  # rising zero crossings
    raise AssertionError("no tone on the sink within %ss" % timeout)


class Session(E2E):
    def test_picture_sound_input(self):
        self.env.pulse()
        server = self.env.xspice(1600, 900, audio=True)
        rec = self.env.recorder(server)
        v = self.env.viewer("-h", "127.0.0.1", "-p", server.port)
        with self.subTest("picture letterboxed in the 800x600 window"):
            self.assertTrue(v.wait_picture(server)[1], "bars not black")
        with self.subTest("keys arrive as their keycodes"):
            v.focus()
            v.wait_log("XGrabKeyboard result:0")
            m = len(rec.events)
            for k in KEYS:
                v.key(k)
                v.key(k, False)
            wait(lambda: len(rec.events) >= m + 2 * len(KEYS), what="the keys")
            self.assertEqual(rec.events[m:], [("key", k, p) for k in KEYS for p in (True, False)])
        with self.subTest("pointer: edges of the picture, bars, buttons and wheel"):
            m = len(rec.events)
            for y in (30, 560):  # on the bars above and below the picture (75..524)
                v.pointer(400, y, 1)
                v.pointer(400, y, 1, False)
            # first and last pixel of the picture, its centre; the library merges moves that
            # follow each other closely, so one at a time
            for (x, y), at in [((0, 75), (0, 0)), ((799, 524), (1598, 898)),
                               ((400, 300), (800, 450))]:
                v.pointer(x, y)
                rec.wait_event(("motion",) + at, m)
            for b in (1, 2, 3, 4, 5):
                v.pointer(400, 300, b)
                v.pointer(400, 300, b, False)
            want = [("motion", 0, 0), ("motion", 1598, 898), ("motion", 800, 450)]
            want += [("button", b, 800, 450, p) for b in (1, 2, 3, 4, 5) for p in (True, False)]
            wait(lambda: len(rec.events) >= m + len(want), what="the pointer events")
            self.assertEqual(rec.events[m:], want)
        with self.subTest("a server resize shows the new size"):
            server.resize(1280, 1024)
            self.assertTrue(v.wait_picture(server)[1], "bars not black")
        with self.subTest("a tone played on the server"):
            server.play(440)
            self.assertAlmostEqual(tone(self.env), 440, delta=4)
        with self.subTest("a key held when the window hides is released"):
            m = len(rec.events)
            v.key(38)
            rec.wait_key(38, since=m)
            v.close_window()
            rec.wait_key(38, False, since=m)
            v.key(38, False)
