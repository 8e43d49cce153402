"""Full screen, hotkeys, the key menu and the kiosk under openbox (which carries out the full-screen state)
and under twm (which does not)."""
import subprocess
from harness import E2E, Recorder, grab, stop, wait
from Xlib import X, Xatom
from Xlib.ext import xtest
from Xlib.protocol.event import ClientMessage

SCREEN = (0, 0, 1280, 1024)  # the viewer's Xvfb
SHIFT, CTRL, ALT, F9, F11, F12, END, DOWN, RETURN, ESCAPE, A = 50, 37, 64, 75, 95, 96, 115, 116, 36, 9, 38
# The hotkeys as a user presses them: toggle-fullscreen, release-cursor, menu, secure-attention
HOTKEYS = [[SHIFT, F11], [SHIFT, F12], [SHIFT, F9], [CTRL, ALT, END]]
# The menu's entries in order, as Xspice shows them: Ctrl+Alt+Del, +Backspace, +F1..F12, Print
MENU = [[CTRL, ALT, k] for k in [119, 22] + list(range(67, 77)) + [95, 96]] + [[107]]


class FullScreen(E2E):
    def place(self, v, w=None):  # (x, y, width, height) on the screen, full-screen state
        w, x = w or v.window(), self.env.x
        g, at = w.get_geometry(), x.screen().root.translate_coords(w, 0, 0)
        state = w.get_full_property(x.intern_atom("_NET_WM_STATE"), 4)
        return (at.x, at.y, g.width, g.height), x.intern_atom("_NET_WM_STATE_FULLSCREEN") in (state.value if state else [])

    def kiosk_over(self, w):  # viewable, active, over the screen, and another client cannot take the keyboard
        x = self.env.x
        active = x.screen().root.get_full_property(x.intern_atom("_NET_ACTIVE_WINDOW"), Xatom.WINDOW)
        return w.get_attributes().map_state == X.IsViewable and active and active.value[0] == w.id and \
            self.place(None, w) == (SCREEN, True) and self.keyboard_taken()

    def keyboard_taken(self):  # another client's keyboard grab fails
        x = self.env.x
        if (probe := x.screen().root.grab_keyboard(False, X.GrabModeAsync, X.GrabModeAsync, X.CurrentTime)) == 0:
            x.ungrab_keyboard(X.CurrentTime)
            x.sync()
        return probe == X.AlreadyGrabbed

    def taken_away(self, kind, w):  # as xdotool, a pager, a user or a new window does it; once done
        x, atom = self.env.x, self.env.x.intern_atom
        root = x.screen().root
        root.change_attributes(event_mask=X.PropertyChangeMask | X.SubstructureNotifyMask)
        x.sync()
        [x.next_event() for _ in range(x.pending_events())]  # what came before
        desktop = root.get_full_property(atom("_NET_CURRENT_DESKTOP"), Xatom.CARDINAL).value[0]
        target, name, data = {"iconify": (w, "WM_CHANGE_STATE", [3]),  # IconicState, as XIconifyWindow
                              "hidden": (w, "_NET_WM_STATE", [1, atom("_NET_WM_STATE_HIDDEN"), 0, 1]),
                              "show desktop": (root, "_NET_SHOWING_DESKTOP", [1]),
                              "desktop": (root, "_NET_CURRENT_DESKTOP", [(desktop + 1) % 4])}.get(kind, (None, 0, 0))
        if target:
            root.send_event(ClientMessage(window=target, client_type=atom(name), data=(32, (data + [0] * 5)[:5])),
                            event_mask=X.SubstructureRedirectMask | X.SubstructureNotifyMask)
        elif kind == "alt+wheel":  # openbox's binding on a window: Alt + wheel down, the next desktop
            xtest.fake_input(x, X.MotionNotify, x=SCREEN[2] // 2, y=SCREEN[3] // 2)
            for event, detail in [(X.KeyPress, ALT), (X.ButtonPress, 5), (X.ButtonRelease, 5), (X.KeyRelease, ALT)]:
                xtest.fake_input(x, event, detail)
        else:  # a window raised over it takes the focus
            root.create_window(100, 100, 400, 300, 0, X.CopyFromParent).map()
        x.sync()
        # once the focus moved; after a desktop switch once openbox's desktop popup, shown with it, went
        popup = []
        def done(e):
            if kind not in ("desktop", "alt+wheel"):
                return e.type == X.PropertyNotify and e.atom == atom("_NET_ACTIVE_WINDOW")
            popup.extend([e.window.id] if e.type == X.MapNotify else [])
            return e.type == X.UnmapNotify and e.window.id in popup
        wait(lambda: any(done(x.next_event()) for _ in range(x.pending_events())), what=kind)
        return root.get_full_property(atom("_NET_CURRENT_DESKTOP"), Xatom.CARDINAL).value[0] != desktop

    def type(self, v, *codes):  # pressed in order, released in reverse
        [v.key(k) for k in codes]
        [v.key(k, False) for k in reversed(codes)]

    def test_full_screen_menu_kiosk(self):
        wm = self.env.window_manager()
        server = self.env.xspice(1024, 768)
        rec, hp = Recorder(server), ("-h", "127.0.0.1", "-p", server.port)
        # Xorg itself would take Ctrl+Alt+F1..F12 (a virtual-terminal switch it cannot make)
        subprocess.run(["setxkbmap", "-display", server.display, "-option", "srvrkeys:none"], check=True)
        vv = self.env.path("console.vv")  # full screen from a connection file
        open(vv, "w").write("[virt-viewer]\ntype=spice\nhost=127.0.0.1\nport=%d\nfullscreen=1\n" % server.port)
        v = self.env.viewer(vv, "--hotkeys", "secure-attention=")
        with self.subTest("full screen covers the screen, the picture letterboxed at 1.25"):
            _, black, box = v.wait_picture(server)
            self.assertEqual(self.place(v), (SCREEN, True))
            self.assertEqual((black, box), (True, (0, 32, 1280, 992)))
        with self.subTest("Shift+F11 back to the earlier geometry and again; F11 never sent"):
            v.wait_log("inputs channel open", timeout=30)
            v.focus()
            v.wait_log("XGrabKeyboard result:0")
            m = len(rec.events)
            self.type(v, SHIFT, F11)
            # started in full screen: a window of the remote desktop's size, where the screen has room
            window = wait(lambda: (p := self.place(v))[0][2:] == (1024, 768) and not p[1] and p, what="a window")
            self.type(v, SHIFT, F11)
            wait(lambda: self.place(v) == (SCREEN, True), what="full screen again")
            self.type(v, SHIFT, F11)
            wait(lambda: self.place(v) == window, what="the window as it was")
            self.type(v, A)  # a sentinel: what came before it has arrived
            rec.wait_key(A, False, m)
            self.assertEqual(rec.keys(F11, True, m) + rec.keys(F11, False, m), 0)
            self.assertEqual((rec.keys(SHIFT, True, m), rec.keys(A, True, m)), (3, 1))
        with self.subTest("an empty hotkey lets its keys through"):
            m = len(rec.events)
            self.type(v, CTRL, ALT, END)
            rec.wait_key(CTRL, False, m)
            self.assertEqual(rec.events[m:], [("key", k, p) for k, p in
                                              [(CTRL, 1), (ALT, 1), (END, 1), (END, 0), (ALT, 0), (CTRL, 0)]])
        with self.subTest("each entry of the menu (Shift+F9, arrows, Return) once"):
            for i, keys in enumerate(MENU):
                m, n = len(rec.events), v.count("Menu of keys open")
                self.type(v, SHIFT, F9)
                wait(lambda: v.count("Menu of keys open") > n, what="the menu")
                [self.type(v, DOWN) for _ in range(i)]
                self.type(v, RETURN)
                self.type(v, A)
                rec.wait_key(A, False, m)
                want = [(SHIFT, 1), (SHIFT, 0)] + [(k, 1) for k in keys] + [(k, 0) for k in reversed(keys)]
                self.assertEqual(rec.events[m:], [("key", k, p) for k, p in want + [(A, 1), (A, 0)]])
        v.stop()
        m = len(rec.events)
        v = self.env.viewer(*hp, "--kiosk", "-k", "41")  # shown all the same, its key sent once
        v.wait_picture(server)
        v.wait_log("inputs channel open", timeout=30)
        rec.wait_key(A, False, m)
        with self.subTest("kiosk: the server gone, full screen with the words, nothing behind shows"):
            server.kill()
            v.wait_log("Connection lost")
            self.assertEqual(self.place(v), (SCREEN, True))
            # the whole display is the window: black, the picture gone, the words on it (which change
            # as the retries go: the display and the window are compared once they hold still)
            wait(lambda: (s := grab(self.env.x.screen().root)).getpixel((0, 40)) == (0, 0, 0) and s.getbbox()
                 and s.tobytes() == v.screenshot().tobytes(), what="the words on black, the window the whole display")
        with self.subTest("kiosk: the server back, the picture within 5 s, a key arrives; no way out"):
            server.start()
            rec = Recorder(server)
            v.wait_picture(server, timeout=5 + 10)
            v.focus()
            v.close()
            for keys in HOTKEYS:  # none of a hotkey's own keys reaches the remote machine
                n = v.count("Menu of keys open")
                self.type(v, *keys)
                if keys[-1] == F9:
                    wait(lambda: v.count("Menu of keys open") > n, what="the menu")
                    self.type(v, ESCAPE)
            self.type(v, A)
            rec.wait_key(A, False)
            self.assertEqual(self.place(v), (SCREEN, True))
            self.assertEqual([rec.keys(k[-1]) + rec.keys(k[-1], False) for k in HOTKEYS], [0] * len(HOTKEYS))
            self.assertEqual((rec.keys(119), rec.keys(119, False)), (1, 1))  # secure attention: Ctrl+Alt+Del
            self.assertEqual(rec.keys(A), 1)  # the typed one: -k went out with the first picture only
        with self.subTest("kiosk: minimised, the desktop shown, a window over it, another desktop shown "
                          "(as a pager does, and Alt+wheel): back, active, grabbing"):
            w = v.window()
            wait(lambda: self.kiosk_over(w), what="the kiosk holding the keyboard")
            for kind in ("iconify", "hidden", "show desktop", "window", "desktop", "alt+wheel"):
                switched = self.taken_away(kind, w)
                wait(lambda: self.kiosk_over(w), 3, "the kiosk back after " + kind)
                self.assertEqual(switched, kind in ("desktop", "alt+wheel"), kind)
        with self.subTest("--kiosk-quit on-disconnect: 0 after a disconnect, 1 after a failed start"):
            v.stop()
            q = self.env.viewer(*hp, "--kiosk", "--kiosk-quit", "on-disconnect")
            q.wait_picture(server)
            server.kill()
            self.assertEqual(q.p.wait(15), 0)
            self.assertEqual(self.env.run(*hp, "--kiosk", "--kiosk-quit", "on-disconnect")[0], 1)
        with self.subTest("under twm (no full-screen state): kiosk and -f cover the screen undecorated; "
                          "the kiosk stays over a window mapped later"):
            stop(wm)
            self.env.window_manager("twm")
            root = self.env.x.screen().root
            top = lambda: [c for c in root.query_tree().children if c.get_attributes().map_state == X.IsViewable][-1]
            for args in (["--kiosk"], ["-f"]):
                v = self.env.viewer(*hp, *args)
                w = v.window()  # a child of the root: not in a frame of twm's
                self.assertEqual((self.place(v, w)[0], w.query_tree().parent), (SCREEN, root))
                v.wait_log("XGrabKeyboard result:0")  # taken without a window manager's help
                self.assertTrue(self.keyboard_taken())
                if args == ["--kiosk"]:  # twm maps it in a frame over everything
                    later = root.create_window(100, 100, 400, 300, 0, X.CopyFromParent)
                    later.map()
                    wait(lambda: later.get_attributes().map_state == X.IsViewable, what="the later window")
                    wait(lambda: top() == w, 3, "the kiosk over the later window")
                    self.assertEqual(self.place(v, w)[0], SCREEN)
                    self.assertTrue(self.keyboard_taken())
                v.stop()
