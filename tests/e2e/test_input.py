"""Keyboard and mouse, end to end: keys, buttons and pointer moves typed with XTEST into the viewer's
window on its own X display arrive at the recording client inside the SPICE server (Xspice) as the
X keycodes and buttons a PC keyboard and mouse give there. Also the X keyboard grab that follows the
window's activation, keys released when the focus leaves, and releases that match their presses
when the layout reads the key differently.

Keycodes: the viewer's Xvfb and Xspice both use the evdev keycodes, so a plain key arrives with the
keycode it was typed with. Qt does not tell left from right modifiers: the right ones arrive as the
left ones."""

import select
import subprocess
import sys
import threading
import unittest

import harness
from harness import E2ETestCase, HarnessError, HarnessTimeout

SERVER_W, SERVER_H = 1600, 900
# The 800x600 window shows the 1600x900 screen at half size between two 75-pixel black bars.
WINDOW_W, WINDOW_H = 800, 600
PICTURE_TOP, PICTURE_BOTTOM = 75, 525  # first row of the picture, first row of the lower bar
SCALE = 2

# Keycodes of the US keymap (the same numbers on Xvfb and Xspice).
SHIFT, CTRL, ALT, WIN = 50, 37, 64, 133
SHIFT_R, CTRL_R, ALT_R = 62, 105, 108
A, B, C, E, Q, R, Y, Z, M = 38, 56, 54, 26, 24, 27, 29, 52, 58
DIGIT = {1: 10, 2: 11, 5: 14, 7: 16, 0: 19}
F1, F4, F12 = 67, 70, 96
ESCAPE, TAB, BACKSPACE, RETURN, SPACE = 9, 23, 22, 36, 65
HOME, UP, PGUP, LEFT, RIGHT, END, DOWN, PGDN, INSERT, DELETE, MENU = (
    110, 111, 112, 113, 114, 115, 116, 117, 118, 119, 135)
MINUS, EQUAL, BRACKETLEFT, SEMICOLON, APOSTROPHE, GRAVE, BACKSLASH = 20, 21, 34, 47, 48, 49, 51
COMMA, PERIOD, SLASH = 59, 60, 61
CAPS, NUMLOCK = 66, 77
KP_ENTER, KP_DIVIDE, KP_MULTIPLY, KP_SUBTRACT, KP_ADD = 104, 106, 63, 82, 86
KP_7, KP_0, KP_DECIMAL = 79, 90, 91

# A second X client on the viewer's display: it asks for the keyboard grab, owns a window that can
# take the focus away from the viewer and turns the server's autorepeat off (a held key must stay
# one press). Its own process, because Xlib ends the process on a lost connection. One command per
# line, one "ok ..." line back.
OTHER_CLIENT = r"""
import ctypes, sys, time
from ctypes import byref, c_char_p, c_int, c_uint, c_ulong, c_void_p
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = c_void_p
x.XOpenDisplay.argtypes = [c_char_p]
x.XDefaultRootWindow.restype = c_ulong
x.XDefaultRootWindow.argtypes = [c_void_p]
x.XCreateSimpleWindow.restype = c_ulong
x.XCreateSimpleWindow.argtypes = [c_void_p, c_ulong, c_int, c_int, c_uint, c_uint, c_uint,
                                  c_ulong, c_ulong]
x.XStoreName.argtypes = [c_void_p, c_ulong, c_char_p]
x.XMapRaised.argtypes = [c_void_p, c_ulong]
x.XSync.argtypes = [c_void_p, c_int]
x.XGrabKeyboard.argtypes = [c_void_p, c_ulong, c_int, c_int, c_int, c_ulong]
x.XUngrabKeyboard.argtypes = [c_void_p, c_ulong]
x.XSetInputFocus.argtypes = [c_void_p, c_ulong, c_int, c_ulong]
x.XAutoRepeatOff.argtypes = [c_void_p]
class Attrs(ctypes.Structure):
    _fields_ = [("x", c_int), ("y", c_int), ("width", c_int), ("height", c_int),
                ("border_width", c_int), ("depth", c_int), ("visual", c_void_p), ("root", c_ulong),
                ("class_", c_int), ("bit_gravity", c_int), ("win_gravity", c_int),
                ("backing_store", c_int), ("backing_planes", c_ulong), ("backing_pixel", c_ulong),
                ("save_under", c_int), ("colormap", c_ulong), ("map_installed", c_int),
                ("map_state", c_int), ("all_event_masks", c_ulong), ("your_event_mask", c_ulong),
                ("do_not_propagate_mask", c_ulong), ("override_redirect", c_int),
                ("screen", c_void_p)]
x.XGetWindowAttributes.argtypes = [c_void_p, c_ulong, ctypes.POINTER(Attrs)]
HANDLER = ctypes.CFUNCTYPE(c_int, c_void_p, c_void_p)
errors = []
def on_error(_d, _e):
    errors.append(1)
    return 0
handler = HANDLER(on_error)
x.XSetErrorHandler(handler)
d = x.XOpenDisplay(sys.argv[1].encode())
if not d:
    print("err cannot open display", flush=True)
    sys.exit(1)
root = x.XDefaultRootWindow(d)
x.XAutoRepeatOff(d)
x.XSync(d, 0)
print("ok hello", flush=True)
for line in sys.stdin:
    cmd = line.split()
    if not cmd:
        continue
    del errors[:]
    reply = "ok"
    if cmd[0] == "quit":
        break
    elif cmd[0] == "grab":
        # GrabModeAsync for both, CurrentTime. A grab that succeeds is given back at once.
        result = x.XGrabKeyboard(d, root, 1, 1, 1, 0)
        if result == 0:
            x.XUngrabKeyboard(d, 0)
        x.XSync(d, 0)
        reply = "ok %d" % result
    elif cmd[0] == "window":
        w = x.XCreateSimpleWindow(d, root, 1000, 800, 120, 90, 0, 0, 0x336699)
        x.XStoreName(d, w, b"other-client")
        x.XMapRaised(d, w)
        attrs = Attrs()
        deadline = time.monotonic() + 10
        while True:
            x.XSync(d, 0)
            x.XGetWindowAttributes(d, w, byref(attrs))
            if attrs.map_state == 2 or time.monotonic() > deadline:
                break
            time.sleep(0.02)
        reply = "ok %d" % w if attrs.map_state == 2 else "err window not viewable"
    elif cmd[0] == "focus":
        x.XSetInputFocus(d, int(cmd[1]), 2, 0)  # RevertToParent, CurrentTime
        x.XSync(d, 0)
    else:
        reply = "err unknown command"
    if errors and reply.startswith("ok"):
        reply = "err X error"
    print(reply, flush=True)
"""


class OtherClient:
    """The second X client (see OTHER_CLIENT) on one display."""

    def __init__(self, display):
        preexec = (harness._child_setup_pdeathsig
                   if threading.current_thread() is threading.main_thread() else None)
        self.proc = subprocess.Popen([sys.executable, "-c", OTHER_CLIENT, display],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, text=True, preexec_fn=preexec)
        self._check(self._reply())

    def _reply(self, timeout=15.0):
        ready, _, _ = select.select([self.proc.stdout], [], [], timeout)
        if not ready:
            raise HarnessTimeout("the second X client did not answer")
        line = self.proc.stdout.readline()
        if not line:
            raise HarnessError("the second X client ended")
        return line.split()

    @staticmethod
    def _check(reply):
        if not reply or reply[0] != "ok":
            raise HarnessError("second X client: %s" % " ".join(reply))
        return reply[1:]

    def command(self, text):
        self.proc.stdin.write(text + "\n")
        self.proc.stdin.flush()
        return self._check(self._reply())

    def grab_keyboard(self):
        """XGrabKeyboard's result: 0 GrabSuccess (the grab is given back at once), 1 AlreadyGrabbed."""
        return int(self.command("grab")[0])

    def create_window(self):
        return int(self.command("window")[0])

    def focus(self, wid):
        self.command("focus %d" % wid)

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write("quit\n")
                self.proc.stdin.flush()
                self.proc.wait(timeout=5)
            except (OSError, subprocess.TimeoutExpired):
                self.proc.kill()
                self.proc.wait()
        self.proc.stdin.close()
        self.proc.stdout.close()


def tap(kc):
    return [(kc, "press"), (kc, "release")]


def arrives(*codes):
    """Each code pressed and released in turn, as a tap gives."""
    out = []
    for code in codes:
        out += [("press", code), ("release", code)]
    return out


def chord(modifiers, kc):
    """Modifiers pressed in order, a key tapped, modifiers released in reverse order."""
    return ([(m, "press") for m in modifiers] + tap(kc)
            + [(m, "release") for m in reversed(modifiers)])


def chord_arrives(modifiers, code):
    return ([("press", m) for m in modifiers] + arrives(code)
            + [("release", m) for m in reversed(modifiers)])


class InputCase(E2ETestCase):
    """A 1600x900 Xspice with the recorder, the viewer's 800x600 window on its own Xvfb, showing
    the picture, active and holding the keyboard grab."""

    viewer_env = None

    def setUp(self):
        super().setUp()
        self.xs = self.env.start_xspice(SERVER_W, SERVER_H, audio=False)
        self.rec = self.env.start_recorder(self.xs.display, no_autorepeat=True)
        self.d = self.env.start_xvfb(1280, 1024)
        self.other = OtherClient(self.d)
        self.addCleanup(self.other.close)
        self.viewer = self.env.run_viewer(["-h", "127.0.0.1", "-p", self.xs.port, "-n", "input"],
                                          self.d, extra_env=self.viewer_env)
        self.wid = self.viewer.window(timeout=20)
        g = harness.window_geometry(self.d, self.wid)
        self.assertEqual((g.x, g.y, g.w, g.h), (0, 0, WINDOW_W, WINDOW_H))
        self.viewer.wait_for_log("new inputs channel (#0), input", 20)
        # The first picture is painted: the middle of the magenta bar (surface 900,250).
        harness.wait_until(lambda: harness.color_close(
            harness.capture_window(self.d, self.wid, (446, 196, 8, 8)).getpixel((4, 4)),
            (255, 0, 255)), 20, 0.1, "the picture in the viewer's window")
        self.activate()

    def activate(self):
        """Gives the viewer's window the focus (there is no window manager) and waits until it
        is active and holds the grab."""
        since = len(self.viewer.log_lines())
        harness.xdotool(self.d, "windowfocus", self.wid)
        self.viewer.wait_for_log("Window activated", 10, since)
        self.viewer.wait_for_log("XGrabKeyboard result:0", 10, since)

    def key_events(self, since):
        return [(e.action, e.code) for e in self.rec.events()[since:] if e.kind == "key"]

    def type_keys(self, steps, count, timeout=10.0):
        """Plays (keycode, press|release) steps on the viewer's display; returns the key events
        the recorder got, once there are `count` of them (or the timeout passed)."""
        since = self.rec.mark()
        for kc, action in steps:
            harness.xtest_key(self.d, kc, action)
        try:
            harness.wait_until(lambda: len(self.key_events(since)) >= count, timeout, 0.02)
        except HarnessTimeout:
            pass
        return self.key_events(since)

    def assert_arrives(self, steps, expected, what):
        got = self.type_keys(steps, len(expected))
        self.assertEqual(got, expected, what)

    def assert_nothing_held(self, events):
        down = set()
        for action, code in events:
            if action == "press":
                down.add(code)
            else:
                down.discard(code)
        self.assertEqual(down, set(), "keys left pressed on the server: %s" % events)


class KeyboardTest(InputCase):
    def test_keys_arrive_as_their_keycodes(self):
        cases = [
            ("letters", tap(A) + tap(Z) + tap(Q) + tap(M), arrives(A, Z, Q, M)),
            ("digits", tap(DIGIT[1]) + tap(DIGIT[0]) + tap(DIGIT[5]),
             arrives(DIGIT[1], DIGIT[0], DIGIT[5])),
            ("function keys", tap(F1) + tap(F12), arrives(F1, F12)),
            ("arrows", tap(UP) + tap(DOWN) + tap(LEFT) + tap(RIGHT), arrives(UP, DOWN, LEFT, RIGHT)),
            ("navigation", tap(HOME) + tap(END) + tap(PGUP) + tap(PGDN) + tap(INSERT) + tap(DELETE),
             arrives(HOME, END, PGUP, PGDN, INSERT, DELETE)),
            ("editing", tap(ESCAPE) + tap(TAB) + tap(BACKSPACE) + tap(RETURN) + tap(SPACE),
             arrives(ESCAPE, TAB, BACKSPACE, RETURN, SPACE)),
            ("punctuation", sum((tap(k) for k in (MINUS, EQUAL, BRACKETLEFT, SEMICOLON, APOSTROPHE,
                                                  GRAVE, BACKSLASH, COMMA, PERIOD, SLASH)), []),
             arrives(MINUS, EQUAL, BRACKETLEFT, SEMICOLON, APOSTROPHE, GRAVE, BACKSLASH, COMMA,
                     PERIOD, SLASH)),
            ("menu", tap(MENU), arrives(MENU)),
            ("modifiers alone", tap(SHIFT) + tap(CTRL) + tap(ALT), arrives(SHIFT, CTRL, ALT)),
            ("right modifiers as the left ones", tap(SHIFT_R) + tap(CTRL_R) + tap(ALT_R),
             arrives(SHIFT, CTRL, ALT)),
            ("shift+1", chord([SHIFT], DIGIT[1]), chord_arrives([SHIFT], DIGIT[1])),
            ("shift+2", chord([SHIFT], DIGIT[2]), chord_arrives([SHIFT], DIGIT[2])),
            ("shift+slash", chord([SHIFT], SLASH), chord_arrives([SHIFT], SLASH)),
            ("shift+semicolon", chord([SHIFT], SEMICOLON), chord_arrives([SHIFT], SEMICOLON)),
            ("shift+minus", chord([SHIFT], MINUS), chord_arrives([SHIFT], MINUS)),
            ("shift+a", chord([SHIFT], A), chord_arrives([SHIFT], A)),
            ("shift+tab", chord([SHIFT], TAB), chord_arrives([SHIFT], TAB)),
            ("right shift+7", chord([SHIFT_R], DIGIT[7]), chord_arrives([SHIFT], DIGIT[7])),
            ("ctrl+c", chord([CTRL], C), chord_arrives([CTRL], C)),
            ("alt+f4", chord([ALT], F4), chord_arrives([ALT], F4)),
            ("ctrl+shift+escape", chord([CTRL, SHIFT], ESCAPE), chord_arrives([CTRL, SHIFT], ESCAPE)),
            ("caps lock around a letter", tap(CAPS) + tap(A) + tap(CAPS), arrives(CAPS, A, CAPS)),
            # The keypad keeps its own keys: Enter and the operators are not the main block's.
            ("keypad enter and operators",
             tap(KP_ENTER) + tap(KP_DIVIDE) + tap(KP_MULTIPLY) + tap(KP_SUBTRACT) + tap(KP_ADD),
             arrives(KP_ENTER, KP_DIVIDE, KP_MULTIPLY, KP_SUBTRACT, KP_ADD)),
            ("keypad digits under num lock",
             tap(NUMLOCK) + tap(KP_7) + tap(KP_0) + tap(KP_DECIMAL) + tap(NUMLOCK),
             arrives(NUMLOCK, KP_7, KP_0, KP_DECIMAL, NUMLOCK)),
            # Last, so that a late extra event of any case above shows up here.
            ("a final plain key", tap(B), arrives(B)),
        ]
        for what, steps, expected in cases:
            with self.subTest(what):
                self.assert_arrives(steps, expected, what)

    def test_ctrl_alt_del_is_sent_whole(self):
        since_log = len(self.viewer.log_lines())
        got = self.type_keys([(CTRL, "press"), (ALT, "press"), (DELETE, "press")], 3)
        self.assertEqual(got, [("press", CTRL), ("press", ALT), ("press", DELETE)])
        self.viewer.wait_for_log("Ctrl+Alt+Del pressed", 10, since_log)

        # The release repeats the presses, then lets go of Delete, Alt and Ctrl in that order.
        # The server keeps one press of a key that is already down, so the repeats may be folded.
        since = self.rec.mark()
        harness.xtest_key(self.d, DELETE, "release")
        self.rec.wait_for_key(CTRL, "release", since=since)
        self.viewer.wait_for_log("Ctrl+Alt+Del released", 10, since_log)
        harness.xtest_key(self.d, ALT, "release")
        harness.xtest_key(self.d, CTRL, "release")
        after = self.type_keys(tap(B), 2)
        events = got + self.key_events(since)
        self.assertEqual(after[-2:], arrives(B))
        releases = [code for action, code in events if action == "release" and code != B]
        self.assertEqual(releases[:3], [DELETE, ALT, CTRL], events)
        # Every press of Delete happens with Ctrl and Alt down, and nothing stays down.
        down = set()
        for action, code in events:
            if action == "press":
                if code == DELETE:
                    self.assertTrue({CTRL, ALT} <= down, events)
                down.add(code)
            else:
                self.assertIn(code, down, "release of a key that is not down: %s" % events)
                down.discard(code)
        self.assertEqual(down, set(), events)
        self.assertEqual(set(code for _action, code in events), {CTRL, ALT, DELETE, B})

    def test_win_r_and_win_e_are_sent_whole(self):
        for letter, name in ((R, "Win+R"), (E, "Win+E")):
            with self.subTest(name):
                since_log = len(self.viewer.log_lines())
                got = self.type_keys(chord([WIN], letter), 4)
                self.assertEqual(got, [("press", WIN), ("press", letter), ("release", letter),
                                       ("release", WIN)])
                self.viewer.wait_for_log(name + " pressed", 10, since_log)
                self.viewer.wait_for_log(name + " released", 10, since_log)
        self.assert_arrives(tap(B), arrives(B), "a plain key after the shortcuts")

    def test_release_matches_press_when_the_layout_reads_the_key_differently(self):
        # US: Shift+1 reads "!" when pressed and "1" when released; both are the same key.
        self.assert_arrives([(SHIFT, "press"), (DIGIT[1], "press"), (SHIFT, "release"),
                             (DIGIT[1], "release")],
                            [("press", SHIFT), ("press", DIGIT[1]), ("release", SHIFT),
                             ("release", DIGIT[1])], "shift let go before 1")

        # German layout on the viewer's display: Shift+7 is "/", which the table places on the
        # US slash key, while a plain 7 is the 7 key.
        r = subprocess.run(["setxkbmap", "-display", self.d, "de"], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=20)
        self.assertEqual(r.returncode, 0, r.stderr)

        # The viewer follows the new keymap once Y reads as "z".
        def layout_followed():
            got = self.type_keys(tap(Y), 2)
            self.assertIn(got, (arrives(Y), arrives(Z)))
            return got == arrives(Z)
        harness.wait_until(layout_followed, 15, 0.2, "the viewer to read the German layout")

        # Pressed as "/" (slash key), released as "7": the release is the slash key's.
        self.assert_arrives([(SHIFT, "press"), (DIGIT[7], "press"), (SHIFT, "release"),
                             (DIGIT[7], "release")],
                            [("press", SHIFT), ("press", SLASH), ("release", SHIFT),
                             ("release", SLASH)], "shift let go before 7")
        # Pressed as "7", released as "/": the release is the 7 key's.
        self.assert_arrives([(DIGIT[7], "press"), (SHIFT, "press"), (DIGIT[7], "release"),
                             (SHIFT, "release")],
                            [("press", DIGIT[7]), ("press", SHIFT), ("release", DIGIT[7]),
                             ("release", SHIFT)], "shift pressed while 7 is down")
        self.assert_arrives(tap(B), arrives(B), "a plain key afterwards")


class FocusTest(InputCase):
    def test_keyboard_grab_follows_activation(self):
        # While the viewer is active nobody else gets the keyboard.
        self.assertEqual(self.other.grab_keyboard(), 1)

        since = len(self.viewer.log_lines())
        other_window = self.other.create_window()
        self.other.focus(other_window)
        self.viewer.wait_for_log("Window deactivated", 10, since)
        self.viewer.wait_for_log("XUngrabKeyboard called", 10, since)
        # The viewer's request is on its way to the server; ours may be served first.
        harness.wait_until(lambda: self.other.grab_keyboard() == 0, 10, 0.1,
                           "the keyboard to be free for another client")

        # Keys typed now go to the other window, not to the server.
        since_keys = self.rec.mark()
        harness.xtest_key(self.d, A)
        self.activate()
        self.assertEqual(self.other.grab_keyboard(), 1)
        got = self.type_keys(tap(B), 2)
        self.assertEqual(got, arrives(B), "a key typed while the viewer was inactive arrived")
        self.assertEqual(self.key_events(since_keys), arrives(B))

    def test_keys_held_when_the_focus_leaves_are_released(self):
        got = self.type_keys([(SHIFT, "press"), (A, "press")], 2)
        self.assertEqual(got, [("press", SHIFT), ("press", A)])

        since = self.rec.mark()
        since_log = len(self.viewer.log_lines())
        other_window = self.other.create_window()
        self.other.focus(other_window)
        self.viewer.wait_for_log("Window deactivated", 10, since_log)
        harness.wait_until(lambda: len(self.key_events(since)) >= 2, 10, 0.02,
                           "the held keys to be released on the server")
        released = self.key_events(since)
        self.assertEqual(sorted(released), [("release", A), ("release", SHIFT)])

        # The real releases go to the other window; nothing more reaches the server.
        harness.xtest_key(self.d, A, "release")
        harness.xtest_key(self.d, SHIFT, "release")
        self.activate()
        self.type_keys(tap(B), 2)
        self.assertEqual(self.key_events(since), released + arrives(B))
        self.assert_nothing_held(got + self.key_events(since))


class PointerTest(InputCase):
    # spice-client-glib says which mouse mode its main channel asks for only in its debug output.
    viewer_env = {"SPICE_DEBUG": "1"}

    def motions(self, since):
        return [(e.x, e.y) for e in self.rec.events()[since:] if e.kind == "motion"]

    def move(self, x, y):
        harness.xtest_motion(self.d, x, y)

    def test_pointer_positions_buttons_and_wheel(self):
        # Xspice offers the client mouse mode and the viewer's session asks for it (2 = client):
        # positions are absolute surface points, which the server ignores in server mode.
        self.viewer.wait_for_log("request mouse mode 2", 10)

        for window, surface in (((400, 375), (800, 600)),
                                ((0, PICTURE_TOP), (0, 0)),  # the picture's first pixel
                                ((WINDOW_W - 1, PICTURE_BOTTOM - 1),  # and its last one
                                 (SERVER_W - 2, SERVER_H - 2)),
                                ((123, 301), (246, 452)),
                                ((10, 100), (20, 50))):
            with self.subTest(window=window):
                since = self.rec.mark()
                self.move(*window)
                self.rec.wait_for_event(lambda e: e.kind == "motion", since=since)
                self.assertEqual(self.motions(since), [surface])
                self.assertEqual([e.kind for e in self.rec.events()[since:]], ["motion"])

        # Moves and clicks on the bars arrive as nothing; the next move inside is the first event.
        bars = ((400, 20), (400, 560), (WINDOW_W - 1, PICTURE_BOTTOM), (0, PICTURE_TOP - 1))
        for n, (x, y) in enumerate(bars):
            with self.subTest(bar=(x, y)):
                since = self.rec.mark()
                self.move(x, y)
                harness.xtest_button(self.d, 1)
                harness.xtest_button(self.d, 3)
                marker = (300 + 10 * n, 300)
                self.move(*marker)
                # Events keep their order on the way: whatever the bar sent would come first.
                self.rec.wait_for_event(lambda e: e.kind == "motion", since=since)
                self.assertEqual([(e.kind, e.x, e.y) for e in self.rec.events()[since:]],
                                 [("motion", marker[0] * SCALE, (marker[1] - PICTURE_TOP) * SCALE)])

        # Buttons and wheel at one point: left, middle, right are X buttons 1, 2, 3; the wheel
        # up and down are 4 and 5. Each press comes with its release.
        since = self.rec.mark()
        self.move(10, 100)
        self.rec.wait_for_event(lambda e: e.kind == "motion" and (e.x, e.y) == (20, 50),
                                since=since)
        for button in (1, 2, 3, 4, 5):
            with self.subTest(button=button):
                since = self.rec.mark()
                harness.xtest_button(self.d, button)
                self.rec.wait_for_event(lambda e: e.kind == "button" and e.action == "release",
                                        since=since)
                self.assertEqual([(e.kind, e.action, e.code, e.x, e.y)
                                  for e in self.rec.events()[since:]],
                                 [("button", "press", button, 20, 50),
                                  ("button", "release", button, 20, 50)])

        # A drag: the button stays down across moves and comes up at the end.
        since = self.rec.mark()
        self.move(100, 200)
        harness.xtest_button(self.d, 1, "press")
        self.move(300, 400)
        harness.xtest_button(self.d, 1, "release")
        self.rec.wait_for_event(lambda e: e.kind == "button" and e.action == "release",
                                since=since)
        self.assertEqual([(e.kind, e.action, e.code, e.x, e.y) for e in self.rec.events()[since:]],
                         [("motion", None, None, 200, 250),
                          ("button", "press", 1, 200, 250),
                          ("motion", None, None, 600, 650),
                          ("button", "release", 1, 600, 650)])


if __name__ == "__main__":
    unittest.main(verbosity=2)
