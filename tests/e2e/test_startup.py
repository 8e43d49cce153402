"""Start-up and the single instance in one server session, races made to happen by a proxy."""
import os, pathlib, re, signal, socket, threading
from harness import E2E, KC, Proxy, Recorder, wait

FORWARD, OPENED, ACTIVATION = "应用程序已在运行，尝试激活主窗口...", "连接已建立", "收到激活指令"
glx = lambda viewer: "libGLX_mesa" in pathlib.Path("/proc/%d/maps" % viewer.pid).read_text()  # OpenGL loaded


class Startup(E2E):
    def forward(self, key, instance, port=None, **kw):  # a start with `key` for the same server: status 0
        status, out = self.env.run(*self.hp[:3], port or self.hp[3], "-k", key, **kw)
        self.assertEqual((status, out.count(FORWARD)), (0, 1), out)
        instance.wait_log("(?m)onReactivate %s$" % key)

    def test_instance(self):
        env, server = self.env, self.env.xspice(1600, 900)
        rec, self.hp = Recorder(server), ("-h", "127.0.0.1", "-p", server.port)
        silent, own = socket.create_server(("127.0.0.1", 0)), env.mkdir("own")  # takes links, never answers
        env.socks.append(silent)
        mute = env.viewer(*self.hp, "--proxy", "127.0.0.1:%d" % silent.getsockname()[1],
                          env={"TMPDIR": own, "XDG_RUNTIME_DIR": own})  # an instance of its own, for 10 s
        with self.subTest("argument errors and unreadable password files: status 1, said once"):
            open(env.path("empty"), "w").close()
            pw = ("-h", "127.0.0.1", "-p", "1", "--password-file")
            for args, said in [((), "Usage:"), (("--host", "127.0.0.1"), "Usage:"),
                               (pw + (env.path("missing"),), r"\[ERROR\] .*missing.*No such file"),
                               (pw + (env.path("empty"),), r"\[ERROR\] .*empty.*first line is empty")]:
                status, out = env.run(*args)
                self.assertEqual((status, out.count("Usage:")), (1, said.count("Usage:")), out)
                self.assertRegex(out, said)
            self.assertEqual(env.run("-platform", "xcb", "--vers"), (0, "spice-client 0.0.1\n"))
        with self.subTest("a closed port (a kiosk, retrying) and an unknown host: the ERROR, the words centred"):
            for host, port, cause in (("127.0.0.1", 1, "connection refused"),
                                      ("no.such.host.invalid", 5900, "host name not found")):
                v = env.viewer("-h", host, "-p", port, *["--kiosk"] * (port == 1))
                v.wait_log(r"on_channel_event invoked20\n.*\[ERROR\] Cannot connect to %s port %d: %s"
                           % (host, port, cause))
                box = wait(lambda: v.screenshot().getbbox(), 10, "words in the window")
                w, h = v.screenshot().size
                self.assertTrue(0 < box[0] and box[2] < w and h // 4 < box[1] and box[3] < h * 3 // 4, box)
                if port == 1:  # each retry says it is one; its outcome is the failure, said once
                    v.wait_log(r"No connection; retry 2 in 2000 ms")
                    retry = v.log.split("Retry 1: connecting to 127.0.0.1 port 1\n")[1].split("retry 2 in")[0]
                    self.assertEqual(re.findall(r"\[ERROR\] (.*)", retry),
                                     ["Cannot connect to 127.0.0.1 port 1: connection refused"])
                    self.assertNotRegex(v.log, "reconnected successfully|Reconnect result")
                v.stop()
        for i in range(20):
            with self.subTest("fresh start %d delivers its key" % i):
                m, fresh = len(rec.events), env.mkdir("fresh%d" % i)
                v = env.viewer(*self.hp, "-k", "41", env={"TMPDIR": fresh, "XDG_RUNTIME_DIR": fresh})
                v.wait_log("sendKey success 41")
                rec.wait_key(KC["a"], since=m, timeout=3)
                v.stop()
        m, gate = len(rec.events), threading.Event()
        held = Proxy(env, server.port, {3: gate})
        with self.subTest("a second start forwards while the inputs link is held, keys wait"):
            v = env.viewer("-h", "127.0.0.1", "-p", held.port, "-k", "41")
            wait(lambda: held.links[3], what="the inputs link")
            self.forward("42", v, held.port)  # handed over while the inputs link is held
            gate.set()
            rec.wait_event(("button", 1, 800, 450, True), m)  # the centre click, after the link
            rec.wait_key(KC["b"], since=m)
            rec.wait_key(KC["a"], since=m)  # -k goes with the first picture, which may come later
            v.stop()
        n, gate = len(rec.events), threading.Event()
        held = Proxy(env, server.port, {3: gate})
        with self.subTest("a key pressed while the inputs link is held, then the window closed"):
            v = env.viewer("-h", "127.0.0.1", "-p", held.port)
            wait(lambda: held.links[3], what="the inputs link")
            v.focus()
            v.key(KC["e"])
            v.close()
            wait(lambda: not v.windows(), what="the window to hide")
            v.key(KC["e"], False)
            self.forward("46", v, held.port)  # behind whatever the key left queued
            gate.set()
            rec.wait_key(KC["f"], since=n)
            self.assertIn([rec.keys(KC["e"], p, since=n) for p in (True, False)], ([0, 0], [1, 1]))
            v.stop()
        with self.subTest("without Qt's GLib event loop the SPICE library cannot run: refused"):
            status, out = env.run(*self.hp, env={"QT_NO_GLIB": "1", "TMPDIR": env.mkdir("noglib"),
                                                 "XDG_RUNTIME_DIR": env.path("noglib")})
            self.assertEqual(status, 1, out)
            self.assertRegex(out, r"\[ERROR\] Qt runs without its GLib event loop")
        first = env.viewer("-platform", "xcb", "--name", "Desk 7", *self.hp)
        with self.subTest("Qt's options removed, --name kept; no OpenGL; SIGPIPE logged and survived"):
            first.wait_log(OPENED)
            self.assertEqual(first.title(), "Desk 7")
            icon = self.env.x.intern_atom("_NET_WM_ICON")  # set once the picture is shown
            wait(lambda: first.window().get_full_property(icon, 0), what="the window's icon")
            self.assertFalse(glx(first), "OpenGL loaded, never used")
            os.kill(first.pid, signal.SIGPIPE)
            first.wait_log("Received SIGPIPE. Ignoring.")
        with self.subTest("a second start forwards to the connected instance, without X or a window"):
            self.forward("43", first, env={"DISPLAY": None})
            rec.wait_key(KC["c"], since=m)
            self.assertEqual(len(first.windows()), 1)
        with self.subTest("a killed instance's socket taken over; activations wait for its start"):
            first.stop(signal.SIGKILL)
            gate = threading.Event()
            slow = Proxy(env, server.port, dict.fromkeys(range(1, 7), gate))
            second = env.viewer("-h", "127.0.0.1", "-p", slow.port, env={"QT_XCB_GL_INTEGRATION": "xcb_glx"})
            wait(lambda: slow.links[1], what="the main link")
            self.assertEqual([env.run(*self.hp[:3], slow.port)[0] for _ in range(4)], [0] * 4)
            gate.set()
            second.wait_log("new inputs channel")
            self.assertTrue(glx(second), "OpenGL taken from a user who asked for it")
            lines = [l for l in second.log.splitlines() if ACTIVATION in l or OPENED in l]
            self.assertEqual([(OPENED in l) for l in lines], [False] * 4 + [True], lines)
            self.assertEqual(slow.links[1], 1, "main channels opened")
            self.forward("44", second, slow.port)
            rec.wait_key(KC["d"], since=m)
            keys = [rec.keys(KC[c], since=m) for c in "abcd"]
            self.assertEqual((keys, FORWARD in second.log), ([1] * 4, False))
        with self.subTest("a listen failure other than address-in-use"):
            long = env.mkdir("d" * 100)  # no room for the socket's name in sun_path
            status, out = env.run(*self.hp, env={"TMPDIR": long, "XDG_RUNTIME_DIR": long})
            self.assertEqual(status, 1, out)
            self.assertRegex(out, r"\[ERROR\] 无法启动本地服务器:")
        with self.subTest("20 simultaneous starts: one instance, each key once"):
            second.stop()
            dirs, m = {"TMPDIR": env.mkdir("t"), "XDG_RUNTIME_DIR": env.mkdir("r")}, len(rec.events)
            keys = "abcdefghijklmnopqrst"
            starts = [env.viewer(*self.hp, "-k", "%x" % ord(k.upper()), env=dirs) for k in keys]
            wait(lambda: sum(v.p.poll() is None for v in starts) <= 1, 60, "all but one to end")
            self.assertEqual(sorted(str(v.p.poll()) for v in starts), ["0"] * 19 + ["None"])
            wait(lambda: all(rec.keys(KC[k], since=m) for k in keys), 20, "every key")
            self.assertEqual([rec.keys(KC[k], since=m) for k in keys], [1] * 20)
        user = env.user()
        with self.subTest("another user's instance: ERROR, status 1, nothing sent"):
            [v.stop() for v in starts]
            other = env.viewer(*self.hp, user=user, env={"XDG_RUNTIME_DIR": None})
            other.wait_log(OPENED)
            wait(lambda: os.path.exists(env.path("SpiceViewerForSingleInstance")))
            status, out = env.run(*self.hp, "-k", "55", env={"XDG_RUNTIME_DIR": None})
            self.assertEqual((status, out.count("[ERROR]")), (1, 1), out)
            self.forward("56", other, user=user, env={"XDG_RUNTIME_DIR": None})
            rec.wait_key(KC["v"])
            self.assertEqual((rec.keys(KC["u"]), other.count(ACTIVATION)), (0, 1))
        with self.subTest("two users on one TMPDIR, each with a runtime directory"):
            other.stop()
            theirs = {"XDG_RUNTIME_DIR": env.mkdir("run-" + user.pw_name, user)}
            mine = env.viewer(*self.hp)
            their = env.viewer("-h", "127.0.0.1", "-p", (port := env.xspice().port), user=user, env=theirs)
            mine.wait_log(OPENED)
            their.wait_log(OPENED)
            self.forward("57", mine)
            self.forward("58", their, port, user=user, env=theirs)
            self.assertEqual((mine.count("Reactivate 58"), their.count("Reactivate 57")), (0, 0))
        with self.subTest("a proxy that takes the connection and never answers: said so"):
            mute.wait_log(r"(?m)\[ERROR\] Cannot connect to 127.0.0.1 port %d through the proxy http://127.0.0.1:%d: "
                          "no answer through the proxy within 10 seconds$" % (server.port, silent.getsockname()[1]))
            mute.stop()
