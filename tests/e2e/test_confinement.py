"""A connection process taken over by its server reaches nothing of the user. The hostile child
confines itself with the connection process's own function, started by the real launcher under a
stand-in window that keeps itself private as the window does, with the network switched off; then
it tries what such code would want, and stays. Run by a user of its own against a display that
wants its cookie (given to the child outright); as root, where only capabilities could help."""
import contextlib, os, pathlib, re, signal, socket, subprocess, unittest
from harness import E2E, user_namespaces, wait

# Every one must be refused.
PROBES = ["write-named-read-only-file", "read-home-secret", "write-home", "tcp-connect", "x-display",
          "window-environ", "window-mem", "signal-other-process", "signal-window", "clear-death-signal",
          "fork", "capabilities-held", "raw-socket", "read-root-file-0000"]


def x_accepts(display, cookie):  # the X server's answer to a connection setup with this cookie
    name, data = b"MIT-MAGIC-COOKIE-1", bytes.fromhex(cookie)
    with socket.socket(socket.AF_UNIX) as s:
        s.settimeout(5)
        # By its abstract name first, as Xlib does: X servers that start side by side may remove one
        # another's socket file.
        try:
            s.connect("\0/tmp/.X11-unix/X" + display[1:])
        except OSError:
            s.connect("/tmp/.X11-unix/X" + display[1:])
        s.sendall(b"l\0\x0b\0\0\0" + len(name).to_bytes(2, "little") + len(data).to_bytes(2, "little") +
                  b"\0\0" + name + b"\0\0" + data)
        return s.recv(1) == b"\x01"


def alive(pid):  # neither gone nor a zombie
    with contextlib.suppress(FileNotFoundError, ProcessLookupError):
        return pathlib.Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1].split()[0] != "Z"
    return False


class Confinement(E2E):
    def setUp(self):
        if not user_namespaces():
            raise unittest.SkipTest("this environment makes no user namespace (a chroot?): nothing to compare")
        super().setUp()
        self.exe = os.environ.get("HOSTILE_CHILD") or self.skipTest("HOSTILE_CHILD is not set")
        env, self.user = self.env, self.env.user()
        self.cookie = os.urandom(16).hex()
        self.auth = env.path("xauthority")
        subprocess.run(["xauth", "-f", self.auth, "add", ":0", "MIT-MAGIC-COOKIE-1", self.cookie], check=True,
                       capture_output=True)
        self.display = env.xserver(["Xvfb", "-screen", "0", "64x64x24", "-auth", self.auth], "xvfb-cookie")
        self.home = env.mkdir("home", self.user)
        pathlib.Path(secret := os.path.join(self.home, "id_rsa")).write_text("key\n")
        os.chmod(secret, 0o600)
        os.chown(secret, self.user.pw_uid, self.user.pw_gid)
        shared = env.mkdir("shared", self.user)
        pathlib.Path(root_file := os.path.join(shared, "root-only")).write_text("root\n")
        os.chmod(root_file, 0)
        pathlib.Path(image := env.path("cd.iso")).write_text("image\n")
        os.chown(image, self.user.pw_uid, self.user.pw_gid)
        self.listener = socket.create_server(("127.0.0.1", 0))
        env.socks.append(self.listener)
        self.victim = env.spawn(self.as_user(["sleep", "600"]), "victim")
        self.args = dict(secret=secret, home=self.home, port=self.listener.getsockname()[1],
                         display=self.display[1:], cookie=self.cookie, victim=self.victim.pid, read=image,
                         write=shared, rootfile=root_file)

    def as_user(self, argv):
        u = self.user
        return ["setpriv", "--reuid=%d" % u.pw_uid, "--regid=%d" % u.pw_gid, "--init-groups", "--"] + argv

    def attack(self, user):  # the stand-in's log once its child tried everything
        argv = [self.exe, "window"] + ["%s=%s" % kv for kv in self.args.items()]
        window = self.env.spawn(self.as_user(argv) if user else argv, "hostile-%d" % len(self.env.procs),
                                env=dict(HOME=self.home, DISPLAY=self.display, XAUTHORITY=self.auth))
        log = lambda: pathlib.Path(window.log).read_text()
        wait(lambda: "READY" in log() or window.poll() is not None, 60, "the child's attempts")
        results = dict(re.findall(r"^(?:PROBE|CONTROL) (\S+) (.*)$", log(), re.M))
        print("\n%s:\n%s" % ("as " + self.user.pw_name if user else "as root", log()))
        return window, log, results

    def check(self, user, warning=None, reachable=()):
        window, log, results = self.attack(user)
        self.assertIn("CONFINED yes", log())
        self.assertEqual(re.findall(r"\[WARN\] Confinement: (.*)", log()), [warning] if warning else [])
        with self.subTest("what the window names is there: a file to read, a folder to write"):
            self.assertEqual([results.get(c) for c in ("read-named-file", "write-named-folder")], ["DONE"] * 2)
        with self.subTest("every attempt is refused"):
            # what a missing tool leaves reachable may be reached; an X socket file that another X server
            # started beside this one removed is not there to reach
            self.assertLessEqual({p for p in PROBES if not results.get(p, "").startswith("refused")}, set(reachable),
                                 results)
            self.assertTrue(alive(self.victim.pid), "the other process was killed")
            self.listener.setblocking(False)
            self.assertRaises(BlockingIOError, self.listener.accept)
        with self.subTest("it ends with the window, and nothing it made stays"):
            pids = [int(p) for p in re.findall(r"^(?:CHILD|GRANDCHILD) (\d+)$", log(), re.M)]
            window.send_signal(signal.SIGKILL)
            try:
                wait(lambda: not any(map(alive, pids)), 10, "the child's end")
            finally:
                [os.kill(p, signal.SIGKILL) for p in pids if alive(p)]

    def test_a_user_reaches_nothing(self):
        self.assertTrue(x_accepts(self.display, self.cookie))  # the display, with its cookie
        self.assertFalse(x_accepts(self.display, os.urandom(16).hex()))
        self.check(user=True)

    def test_a_kernel_without_a_tool(self):  # one WARN line each; the rest holds
        # Landlock alone: the X server's socket in /tmp stays reachable, and a user's bounding set, which
        # only a namespace of its own lets it drop (it holds nothing, gains nothing: no exec)
        self.args["without"] = "userns"
        self.check(True, "no user namespace (Operation not permitted): the connection process sees the whole file "
                   "system, /tmp's X sockets and the session bus included, as far as Landlock lets it",
                   ["x-display", "capabilities-held"])
        self.args["without"] = "landlock"
        self.check(True, "this kernel has no Landlock: files are kept out of reach only by the mount namespace")

    def test_the_window_keeps_its_memory_and_environment(self):
        # The real window, waiting on a server that never answers, and another process of its user.
        v = self.env.viewer("-h", "127.0.0.1", "-p", self.args["port"], user=self.user, env={"XDG_RUNTIME_DIR": None})
        v.wait_log(r"\[INFO\] version: ")
        code = {"environ": "open('/proc/%d/environ', 'rb').read(1)", "mem": "open('/proc/%d/mem', 'r+b')"}
        opened = lambda pid: [subprocess.run(self.as_user(["/usr/bin/python3", "-c", c % pid]),
                                             capture_output=True).returncode == 0 for c in code.values()]
        self.assertEqual(opened(self.victim.pid), [True, True])  # a plain process of the user
        self.assertEqual(opened(v.pid), [False, False])
        v.stop()

    def test_root_holds_no_capability(self):
        os.chown(self.args["write"], 0, 0)  # root's own folder: only a capability reads its 0000 file
        self.check(user=False)


if __name__ == "__main__":
    unittest.main()
