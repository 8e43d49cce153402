"""Picture, sound, input and security on one Xspice (password, TLS), the viewer on a German layout."""
import array, contextlib, os, pathlib, subprocess, threading, time
from harness import E2E, Proxy, Recorder, tcp_held, wait
from Xlib import X

# X keycodes typed on the viewer's Xvfb, expected on Xspice as the same physical keys: A, Return,
# Ctrl; the E0 keys Home, Up, Left, Right, Down, End, PgUp, PgDn, Insert, Delete, keypad Enter and
# /; Y and Z (swapped by the layout), the ISO key beside left Shift, the key left of 1, AltGr, right
# Ctrl and Shift, both Windows keys, Menu, keypad 1, 7 and 5 with NumLock off, Print, F12.
KEYS = [38, 36, 37, 110, 111, 113, 114, 116, 115, 112, 117, 118, 119, 104, 106,
        29, 52, 94, 49, 108, 105, 62, 133, 134, 135, 87, 79, 84, 107, 96]
CHORDS = [[37, 64, 119], [133, 27]]  # Ctrl+Alt+Del, Win+R
PW = "e2e-Secret-7f3a"


def tone(env, fifo_dir, freq, timeout=20):  # plays `freq` on the server; what the sink plays loudly
    os.mkfifo(fifo := os.path.join(fifo_dir, "tone"))
    env.spawn(["sox", "-q", "-n", "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16", "-c", "2",
               fifo, "synth", 30, "sine", freq], "sox")
    p = env.spawn(["parec", "-d", "e2e.monitor", "--raw", "--format=s16le", "--rate=48000",
                   "--channels=2"], "parec", stdout=subprocess.PIPE)
    end = time.monotonic() + timeout
    while time.monotonic() < end:  # the monitor streams all the time, silence included
        w = array.array("h", p.stdout.read(96000))[0::2]  # half a second, left channel
        if min(max(w[i:i + 2400]) for i in range(0, 24000, 2400)) > 1000:
            # The median period between rising zero crossings: a loaded machine may drop a few samples.
            ups = [i for i, (a, b) in enumerate(zip(w, w[1:])) if a < 0 <= b]
            return round(48000 / sorted(b - a for a, b in zip(ups, ups[1:]))[len(ups) // 2 - 1], 1)
    raise AssertionError("no tone on the sink within %ss" % timeout)


def cmdlines():  # of every process
    for pid in os.listdir("/proc"):
        with contextlib.suppress(OSError):
            yield pathlib.Path("/proc", pid, "cmdline").read_bytes()


class Session(E2E):
    def test_picture_sound_input(self):
        sock = os.path.join(self.env.mkdir("pulse"), "native")  # later viewers play into its null sink
        self.env.spawn(["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                        "--use-pid-file=no", "--disable-shm=yes", "-L", "module-null-sink sink_name=e2e",
                        "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % sock],
                       "pulse", env={"PULSE_RUNTIME_PATH": self.env.path("pulse")})
        self.env.base["PULSE_SERVER"] = "unix:" + sock
        wait(lambda: not subprocess.run(["pactl", "info"], env=self.env.base, capture_output=True).returncode,
             15, "pulseaudio")
        server = self.env.xspice(1600, 900, password=PW, tls=True, audio=True)  # shown 800x450 at y 75
        rec, hp = Recorder(server), ("-h", "127.0.0.1", "-p", server.port)
        right, wrong = self.env.path("right"), self.env.path("wrong")
        pathlib.Path(right).write_text(PW + "\n")
        pathlib.Path(wrong).write_text("not-" + PW)
        subprocess.run(["setxkbmap", "-display", self.env.display, "de"], check=True)
        v = self.env.viewer(*hp, "--password-file", right)
        v.wait_log("Keys are sent by physical position")
        with self.subTest("picture letterboxed in the 800x600 window"):
            self.assertTrue(v.wait_picture(server)[1], "bars not black")
        with self.subTest("keys and chords arrive as the same physical keys, each once"):
            v.wait_log("inputs channel open", timeout=30)
            v.focus()
            v.wait_log("XGrabKeyboard result:0")
            m, sent = len(rec.events), []
            for chord in CHORDS:
                sent += [(k, True) for k in chord] + [(k, False) for k in reversed(chord)]
            sent += [(k, press) for k in KEYS for press in (True, False)]
            for k, press in sent:
                v.key(k, press)
            wait(lambda: len(rec.events) >= m + len(sent), what="the keys")
            self.assertEqual(rec.events[m:], [("key", k, press) for k, press in sent])
        with self.subTest("pointer: bars, edges of the picture, buttons, wheel, double-click, drag"):
            m = len(rec.events)
            for y in (30, 560):  # on the bars above and below the picture (75..524)
                v.pointer(400, y, 1)
                v.pointer(400, y, 1, False)
            # first and last pixel of the picture, its centre; the library merges moves that
            # follow each other closely, so one at a time
            for (x, y), at in [((0, 75), (0, 0)), ((799, 524), (1598, 898)), ((400, 300), (800, 450))]:
                v.pointer(x, y)
                rec.wait_event(("motion",) + at, m)
            buttons = (1, 2, 3, 3, 4, 5)  # 3 twice: a right double-click
            for b in buttons:
                v.pointer(400, 300, b)
                v.pointer(400, 300, b, False)
            want = [("motion", 0, 0), ("motion", 1598, 898), ("motion", 800, 450)]
            want += [("button", b, 800, 450, p) for b in buttons for p in (True, False)]
            wait(lambda: len(rec.events) >= m + len(want), what="the pointer events")
            self.assertEqual(rec.events[m:], want)
            v.pointer(400, 300, 1, True)
            v.pointer(400, 20, 1, False)  # a drag released on the bar: at the picture's top edge
            rec.wait_event(("button", 1, 800, 0, False), m)
        with self.subTest("a server resize shows the new size"):
            subprocess.run(["xrandr", "-d", server.display, "-s", "1280x1024"], check=True)
            self.assertTrue(v.wait_picture(server)[1], "bars not black")
        with self.subTest("a tone played on the server"):
            self.assertAlmostEqual(tone(self.env, server.fifo_dir, 440), 440, delta=4)
        with self.subTest("a key held when the window hides is released"):
            m = len(rec.events)
            v.key(38)
            rec.wait_key(38, since=m)
            v.close()
            rec.wait_key(38, False, since=m)
            v.key(38, False)
        with self.subTest("the password not in the output, nor typed keys"):
            v.stop()
            self.assertNotIn("keyEvent->key()", v.log)
            self.assertNotIn(PW, v.log)
        refused = r"\[ERROR\] Cannot connect to 127.0.0.1 port %d: password refused" % server.port
        with self.subTest("hidden: refused without a dialog, again for the same start; the right password shows"):
            v = self.env.viewer(*hp, "-k", "41", "--password-file", wrong)
            v.wait_log(refused)
            self.assertEqual(self.env.run(*hp, "-k", "41")[0], 0)
            wait(lambda: v.count("password refused") == 2, 15, "the second refusal")
            self.assertEqual((v.windows(), v.count("new display channel"), v.p.poll()), ([], 0, None))
            self.assertEqual(self.env.run(*hp, "--password-file", right)[0], 0)
            v.wait_picture(server)
            v.stop()
        with self.subTest("no password: a dialog asks, three times; then, and after Cancel, Return or the window's "
                          "button asks again; the typed one connects, kept nowhere; no input lost"):
            gate = threading.Event()
            gate.set()
            held = Proxy(self.env, server.port, {1: gate})  # main links wait while it is clear
            v, name = self.env.viewer("-h", "127.0.0.1", "-p", held.port), self.env.x.intern_atom("_NET_WM_NAME")
            dialogs = lambda: [w for w in v.windows() if b"Password" in w.get_full_property(name, 0).value]
            offered = lambda n: wait(lambda: v.count("The window offers to try again") == n, 15, "offer %d" % n)

            def dialog(refusals):  # the password dialog after that many refusals, focused
                wait(lambda: v.count("password refused") == refusals, 15, "refusal %d" % refusals)
                wait(dialogs, 15, "the password dialog")[0].set_input_focus(X.RevertToParent, X.CurrentTime)
            dialog(1)
            gate.clear()  # the next main link waits: no dialog comes back meanwhile
            v.type("not-it")
            v.key(36)  # Return, released as a person does: once the dialog has gone, on the window
            wait(lambda: not dialogs(), 15, "the dialog to go")
            v.focus()
            v.key(36, False)
            self.assertEqual(held.passed[1], 1, "the next main link went through before the release")
            gate.set()
            for refusals in (2, 3):
                dialog(refusals)
                v.type("not-it\r")
            offered(1)  # the third refused: no dialog, the words offer to try again
            v.focus()
            v.key(36)
            v.key(36, False)
            dialog(5)
            v.key(9)  # Escape: Cancel
            v.key(9, False)
            offered(2)
            button = wait(lambda: [w for w in v.window().query_tree().children
                                   if w.get_attributes().map_state == X.IsViewable], 15, "the button")[0]
            v.pointer(5, 5, 1, window=button)
            v.pointer(5, 5, 1, False, window=button)
            dialog(6)
            v.type(PW + "\r")
            v.wait_picture(server)
            self.assertEqual(v.count("password refused"), 6)
            self.assertFalse([c for c in cmdlines() if PW.encode() in c])
            v.stop()
            self.assertNotIn(PW, v.log)
            self.assertNotIn("[WARN] Dropped", v.log)
        with self.subTest("TLS: no plain connection (a counting proxy stands in), the key trace on demand"):
            plain, trace = Proxy(self.env, server.port), {"QT_LOGGING_RULES": "spice-client.keys.debug=true"}
            # the subject option lets a certificate made for 127.0.0.1 serve "localhost"
            v = self.env.viewer("-h", "localhost", "-p", plain.port, "--tls-port", server.tls_port,
                                "--ca-file", server.x509_dir + "/ca-cert.pem", "--password-file", right,
                                "--host-subject", "CN=127.0.0.1", env=trace)
            v.wait_picture(server, 12, 20)
            # the window opened them, the connection process (which may make no IP socket) holds them
            self.assertEqual((tcp_held(v.pid, server.tls_port), tcp_held(v.child(), server.tls_port) >= 3), (0, True))
            m = len(rec.events)
            v.focus()
            v.key(38)
            v.key(38, False)
            rec.wait_key(38, since=m)
            v.wait_log(r"keyEvent->key\(\)\s+65")
            self.assertEqual(sum(plain.links.values()), 0)
            v.stop()
        with self.subTest("a CA that did not sign the server's certificate, a TLS port that speaks no TLS, "
                          "a certificate for another subject or host"):
            ca, good = self.env.path("other.pem"), server.x509_dir + "/ca-cert.pem"
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=x",
                            "-keyout", ca + ".key", "-out", ca], check=True, capture_output=True)
            for host, port, more, reason in (("127.0.0.1", server.tls_port, ("--ca-file", ca), "certificate not trusted"),
                                             ("127.0.0.1", server.port, ("--ca-file", ca), "no TLS"),
                                             ("127.0.0.1", server.tls_port, ("--ca-file", good, "--host-subject",
                                                                             "CN=127.0.0.2"), "certificate not trusted"),
                                             ("localhost", server.tls_port, ("--ca-file", good), "certificate not trusted")):
                v = self.env.viewer("-h", host, "--tls-port", port, *more, "--password-file", right)
                v.wait_log(r"\[ERROR\] Cannot connect to %s TLS port %d: .*%s" % (host, port, reason))
                v.stop()
                self.assertEqual(v.count("new display channel"), 0)
