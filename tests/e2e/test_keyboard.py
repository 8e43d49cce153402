"""Keys by physical position, shortcuts once, every button: the viewer's display set to a German
layout, input by X keycode through XTEST, recorded inside Xspice (which turns a set-1 scan code
back into the X keycode of the same evdev key)."""
import subprocess

from harness import E2E, wait

# Y and Z (swapped by the German layout), the ISO key beside left Shift, the key left of 1, AltGr,
# right Ctrl, right Shift, both Windows keys, Menu, keypad 1, 7 and 5 with NumLock off, keypad
# Enter and /, Print, Delete, F12, A.
KEYS = [29, 52, 94, 49, 108, 105, 62, 133, 134, 135, 87, 79, 84, 104, 106, 107, 119, 96, 38]
CTRL, ALT, DELETE, WIN, R, A = 37, 64, 119, 133, 27, 38


class Keyboard(E2E):
    def setUp(self):
        super().setUp()
        server = self.env.xspice(1600, 900)  # in the 800x600 window: 800x450, bars above and below
        self.rec = self.env.recorder(server)
        subprocess.run(["setxkbmap", "-display", self.env.display, "de"], check=True)
        self.v = self.env.viewer("-h", "127.0.0.1", "-p", server.port)
        self.v.wait_log("Keys are sent by physical position")
        self.v.wait_log("inputs channel open", timeout=30)
        self.v.focus()
        self.v.wait_picture(server)  # pointer input needs the picture

    def keys(self, since):
        return [e for e in self.rec.events[since:] if e[0] == "key"]

    def test_every_key_arrives_as_the_same_physical_key(self):
        for code in KEYS:
            since = len(self.rec.events)
            self.v.key(code)
            self.v.key(code, False)
            self.rec.wait_key(code, False, since, timeout=5)
            self.assertEqual(self.keys(since), [("key", code, True), ("key", code, False)])

    def test_shortcuts_arrive_once(self):
        for chord in ([CTRL, ALT, DELETE], [WIN, R]):
            since = len(self.rec.events)
            for code in chord:
                self.v.key(code)
            for code in reversed(chord):
                self.v.key(code, False)
            self.v.key(A)  # whatever the chord sent has arrived before this
            self.v.key(A, False)
            self.rec.wait_key(A, False, since)
            self.assertEqual(self.keys(since), [("key", c, True) for c in chord]
                             + [("key", c, False) for c in reversed(chord)]
                             + [("key", A, True), ("key", A, False)])

    def test_double_click_and_a_drag_released_over_the_bar(self):
        buttons = lambda since: [(e[1], e[4]) for e in self.rec.events[since:] if e[0] == "button"]
        since = len(self.rec.events)
        for press in (True, False, True, False):
            self.v.pointer(400, 300, 3, press)
        wait(lambda: buttons(since).count((3, False)) == 2, 10, "two right releases")
        self.assertEqual(buttons(since), [(3, True), (3, False)] * 2)
        since = len(self.rec.events)
        self.v.pointer(400, 300, 1, True)
        self.v.pointer(400, 20, 1, False)  # on the bar above the picture
        self.rec.wait_event(("button", 1, 800, 0, False), since)  # at the picture's top edge
