"""Hardening of the single instance: another local user on either side of the socket, malformed
and hostile input on the socket, many simultaneous starts, and starts in quick succession."""

import os
import pwd
import socket
import stat
import subprocess
import sys
import time
import unittest

import harness
from harness import E2ETestCase, count, viewer_env

SOCKET_NAME = "SpiceViewerForSingleInstance"
OTHER_USER = "spicetest"
SECOND_START = "应用程序已在运行，尝试激活主窗口..."
NEW_CONNECTION = "检测到新的连接请求。"
ACTIVATION = "收到激活指令，正在激活主窗口。"
FOREIGN = "is held by another user's process; nothing sent"
REFUSED = "Activation request from another user refused"

# Run as the other user: connects to the socket and, if that works, writes one message and
# waits for the instance to drop the connection.
RAW_SEND = r"""
import socket, sys
s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
s.settimeout(10)
try:
    s.connect(sys.argv[1])
except OSError as e:
    print("connect-error", e.errno)
    sys.exit(0)
try:
    s.sendall(sys.argv[2].encode())
    s.shutdown(socket.SHUT_WR)
    s.recv(1)
except (BrokenPipeError, ConnectionResetError):
    pass  # dropped by the instance before it was all written
print("connected")
"""


def listening_unix(pid, folder):
    """Paths of the listening unix sockets of `pid` bound inside `folder`. Qt binds in a
    temporary folder beside the name and renames the socket into place, so the bound path is
    not the name itself."""
    inodes = harness._socket_inodes(pid)
    paths = []
    with open("/proc/net/unix") as f:
        next(f)
        for line in f:
            cols = line.split()
            # Num RefCount Protocol Flags Type St Inode [Path]; flag 0x10000: accepting.
            if (len(cols) >= 8 and int(cols[6]) in inodes and int(cols[3], 16) & 0x10000
                    and cols[7].startswith(folder + "/")):
                paths.append(cols[7])
    return paths


class InstanceCase(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.display = self.env.start_xvfb(1280, 1024)
        self.xs = self.env.start_xspice(1024, 768, audio=False)
        self.hp = ["-h", "127.0.0.1", "-p", self.xs.port]
        self.sock = self.env.path(SOCKET_NAME)

    def start(self, extra=(), name="viewer"):
        return self.env.run_viewer(self.hp + list(extra), self.display, name=name)

    def forward(self, key, instance, name="second"):
        """A normal second start with `key`; waits until `instance` has acted on it."""
        since = len(instance.log_lines())
        v = self.start(["-k", key] if key else [], name=name)
        self.assertEqual(v.wait_exit(20), 0, v.log_text())
        self.assertIn(SECOND_START, v.log_text())
        instance.wait_for_log("onReactivate %s" % key if key else ACTIVATION, 15, since)
        return since

    def start_instance(self, extra=()):
        v = self.start(extra, name="instance")
        v.wait_for_log("连接已建立", 15)
        harness.wait_until(lambda: os.path.exists(self.sock) and
                           listening_unix(v.pid, self.env.dir), 10, what="instance socket")
        return v


class OtherUserTest(InstanceCase):
    def setUp(self):
        if os.geteuid() != 0:
            raise unittest.SkipTest("needs root to create and act as a second local user")
        try:
            pwd.getpwnam(OTHER_USER)
        except KeyError:
            r = subprocess.run(["useradd", "-M", "-s", "/usr/sbin/nologin", OTHER_USER],
                               stdin=subprocess.DEVNULL, capture_output=True, text=True,
                               timeout=30)
            if r.returncode != 0 and "already exists" not in r.stderr:
                raise unittest.SkipTest("cannot create user %s: %s" % (OTHER_USER, r.stderr))
        self.other = pwd.getpwnam(OTHER_USER)
        super().setUp()
        # Both users share TMPDIR, as users of one /tmp do.
        os.chmod(self.env.dir, 0o1777)
        self.other_dirs = {}
        for sub in ("home", "runtime", "config", "cache", "data"):
            path = self.env.path("other-" + sub)
            os.makedirs(path, mode=0o700)
            os.chown(path, self.other.pw_uid, self.other.pw_gid)
            self.other_dirs[sub] = path
        # Xvfb accepts the other user's clients too.
        r = subprocess.run(["xhost", "+si:localuser:" + OTHER_USER],
                           env=dict(self.env.base_env(), DISPLAY=self.display),
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
        self.assertEqual(r.returncode, 0, r.stderr)

    def as_other(self, argv):
        # The change of user clears the harness's parent-death signal: setpriv sets it again.
        return ["setpriv", "--reuid=%d" % self.other.pw_uid, "--regid=%d" % self.other.pw_gid,
                "--init-groups", "--pdeathsig", "KILL", "--"] + argv

    def other_env(self):
        e = viewer_env(self.env, self.display)
        e.update({"HOME": self.other_dirs["home"], "XDG_RUNTIME_DIR": self.other_dirs["runtime"],
                  "XDG_CONFIG_HOME": self.other_dirs["config"],
                  "XDG_CACHE_HOME": self.other_dirs["cache"],
                  "XDG_DATA_HOME": self.other_dirs["data"], "USER": OTHER_USER,
                  "LOGNAME": OTHER_USER})
        return e

    def start_other(self, extra=(), name="other"):
        self.env._seq += 1
        proc = self.env.spawn("%s-%d" % (name, self.env._seq),
                              self.as_other([harness.viewer_path()] + [str(a) for a in self.hp]
                                            + list(extra)), env=self.other_env())
        return self.env._adopt(harness.Viewer, proc, self.display)

    def raw_send_as_other(self, message):
        r = subprocess.run(self.as_other([sys.executable, "-c", RAW_SEND, self.sock, message]),
                           env=self.other_env(), stdin=subprocess.DEVNULL, capture_output=True,
                           text=True, timeout=30)
        self.assertEqual(r.returncode, 0, r.stderr)
        return r.stdout.strip()

    def test_instance_of_another_user_gets_nothing(self):
        other = self.start_other()
        other.wait_for_log("连接已建立", 15)
        owid = other.window(15)
        harness.wait_until(lambda: os.path.exists(self.sock) and
                           listening_unix(other.pid, self.env.dir), 10, what="other's socket")
        self.assertEqual(os.stat(self.sock).st_uid, self.other.pw_uid)
        since = len(other.log_lines())
        mine = self.start(name="mine")
        self.assertEqual(mine.wait_exit(20), 1, mine.log_text())
        errors = [l for l in mine.log_lines() if "[ERROR]" in l]
        self.assertEqual(len(errors), 1, mine.log_text())
        self.assertIn(FOREIGN, errors[0])
        self.assertNotIn(SECOND_START, mine.log_text())
        self.assertNotIn("连接已建立", mine.log_text())
        # The other user's own second start is handled after whatever our start caused.
        follow = self.start_other(["-k", "4a"], name="other-second")
        self.assertEqual(follow.wait_exit(20), 0, follow.log_text())
        other.wait_for_log("onReactivate 4a", 15, since)
        lines = other.log_lines()[since:]
        self.assertEqual(count(lines, ACTIVATION), 1, lines)
        self.assertEqual(count(lines, "onReactivate"), 1, lines)
        self.assertEqual(harness.find_windows(self.display, name="^SpiceViewer$"), [owid])

    def test_start_of_another_user_is_refused(self):
        mine = self.start_instance()
        wid = mine.window(15)
        since = len(mine.log_lines())
        other = self.start_other(["-k", "4b"])
        self.assertEqual(other.wait_exit(30), 1, other.log_text())
        errors = [l for l in other.log_lines() if "[ERROR]" in l]
        self.assertEqual(len(errors), 1, other.log_text())
        # Refused at once, not after waiting out a start that holds the lock.
        self.assertIn(FOREIGN, errors[0])
        self.assertNotIn("连接已建立", other.log_text())
        self.forward("4c", mine)
        lines = mine.log_lines()[since:]
        self.assertEqual(count(lines, NEW_CONNECTION), 1, lines)
        self.assertNotIn("onReactivate 4b", "\n".join(lines))
        self.assertEqual(harness.find_windows(self.display, name="^SpiceViewer$"), [wid])

    def test_raw_message_of_another_user_is_not_acted_on(self):
        mine = self.start_instance(["-k", "41"])
        since = len(mine.log_lines())
        message = '{"command":"activate","key":"4d"}'
        # The socket is only ours: the other user cannot even connect.
        mode = stat.S_IMODE(os.stat(self.sock).st_mode)
        self.assertEqual(mode & 0o077, 0, oct(mode))
        self.assertEqual(self.raw_send_as_other(message), "connect-error 13")
        self.forward("4e", mine)
        lines = mine.log_lines()[since:]
        self.assertEqual(count(lines, NEW_CONNECTION), 1, lines)
        # Where file modes do not protect the socket, the peer's user id still does.
        since = len(mine.log_lines())
        os.chmod(self.sock, 0o777)
        self.assertEqual(self.raw_send_as_other(message), "connected")
        mine.wait_for_log(REFUSED, 10, since)
        self.forward("4f", mine)
        lines = mine.log_lines()[since:]
        self.assertEqual(count(lines, NEW_CONNECTION), 2, lines)
        self.assertEqual(count(lines, ACTIVATION), 1, lines)
        self.assertNotIn("onReactivate 4d", "\n".join(mine.log_lines()))
        self.assertEqual(harness.find_windows(self.display, pid=mine.pid), [])


class BadInputTest(InstanceCase):
    def connect(self):
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        s.settimeout(10)
        s.connect(self.sock)
        return s

    def send(self, data, pieces=1, gap=0.0):
        s = self.connect()
        try:
            step = max(1, -(-len(data) // pieces))
            try:
                for i in range(0, len(data), step):
                    s.sendall(data[i:i + step])
                    if gap:
                        time.sleep(gap)
                s.shutdown(socket.SHUT_WR)
            except (BrokenPipeError, ConnectionResetError):
                pass  # the instance stopped reading a message too large for it
            # Read until the instance drops us, so the message was handled before we go on.
            try:
                while s.recv(4096):
                    pass
            except OSError:
                pass
        finally:
            s.close()

    def test_malformed_messages_are_ignored_and_instance_keeps_answering(self):
        # Started with a key, so the window stays hidden until a message shows it.
        inst = self.start_instance(["-k", "41"])
        inst.wait_for_log("sendKey success 41 65", 20)
        keys = iter("%x" % k for k in range(0x42, 0x60))

        def expect(label, data, acted_on=0, **kw):
            with self.subTest(label):
                since = len(inst.log_lines())
                self.send(data, **kw)
                key = next(keys)
                self.forward(key, inst)
                lines = inst.log_lines()[since:]
                self.assertEqual(count(lines, NEW_CONNECTION), 2, lines)
                self.assertEqual(count(lines, ACTIVATION), 1 + acted_on, lines)
                self.assertTrue(inst.running())
                return lines

        expect("not json", b"activate please")
        expect("json array", b'["activate", "4a"]')
        expect("wrong-case command", b'{"command":"Activate","key":"4a"}')
        expect("no command", b'{"key":"4a"}')
        expect("empty", b"")
        expect("nul bytes", b"\0" * 100)
        lines = expect("in pieces", b'{"command":"activate","key":"5a"}', 1, pieces=3, gap=0.1)
        self.assertEqual(count(lines, "onReactivate 5a"), 1, lines)
        pad = b"7" * (1 << 20)
        expect("1 MB", b'{"command":"activate","key":"5b","pad":"' + pad + b'"}')
        self.assertNotIn("onReactivate 5b", inst.log_text())
        self.assertEqual(harness.find_windows(self.display, pid=inst.pid), [])

        # Peers that never finish: the handler gives up on them while they stay connected,
        # so the next start is still served.
        for label, data in (("silent", b""), ("unfinished", b'{"command":"activate","key":"5c"')):
            with self.subTest(label):
                since = len(inst.log_lines())
                s = self.connect()
                try:
                    if data:
                        s.sendall(data)
                    inst.wait_for_log(NEW_CONNECTION, 10, since)
                    self.forward(next(keys), inst)
                    lines = inst.log_lines()[since:]
                    self.assertEqual(count(lines, NEW_CONNECTION), 2, lines)
                    self.assertEqual(count(lines, ACTIVATION), 1, lines)
                    # The instance has already dropped the idle peer.
                    s.settimeout(10)
                    try:
                        self.assertEqual(s.recv(1), b"")
                    except ConnectionResetError:
                        pass
                finally:
                    s.close()
        self.assertNotIn("onReactivate 5c", inst.log_text())

        # A key that is not a string is no key: the message shows the window.
        with self.subTest("key not a string"):
            since = len(inst.log_lines())
            self.send(b'{"command":"activate","key":41}')
            inst.wait_for_log(ACTIVATION, 10, since)
            wid = inst.window(10)
            self.assertTrue(harness.window_geometry(self.display, wid).mapped)
            self.assertEqual(count(inst.log_lines()[since:], "onReactivate"), 0)
        self.forward(next(keys), inst)
        self.assertTrue(inst.running())


class ConcurrencyTest(InstanceCase):
    def test_simultaneous_starts_agree_on_one_instance(self):
        rec = self.env.start_recorder(self.xs.display)
        keys = ["%x" % k for k in range(0x41, 0x55)]
        self.assertEqual(len(keys), 20)
        gate = self.env.path("go")
        # Each start waits for the gate file, then becomes the viewer (exec keeps the pid).
        script = 'while [ ! -e "$0" ]; do sleep 0.005; done; shift; exec "$@"'
        starts = {}
        for key in keys:
            argv = ["sh", "-c", script, gate, "--", harness.viewer_path()] + \
                   [str(a) for a in self.hp] + ["-k", key]
            proc = self.env.spawn("start-%s" % key, argv, env=viewer_env(self.env, self.display))
            starts[key] = self.env._adopt(harness.Viewer, proc, self.display)
        open(gate, "w").close()

        def settled():
            return sum(1 for v in starts.values() if v.running()) <= 1 and \
                all("version: 0.0.1" in v.log_text() for v in starts.values())
        harness.wait_until(settled, 90, 0.1, "all but one start to end")
        running = [k for k, v in starts.items() if v.running()]
        self.assertEqual(len(running), 1, {k: v.returncode for k, v in starts.items()})
        own = running[0]
        inst = starts[own]
        for key, v in starts.items():
            if key == own:
                continue
            self.assertEqual(v.returncode, 0, "%s: %s" % (key, v.log_text()))
            self.assertEqual(count(v.log_lines(), SECOND_START), 1, v.log_text())
        self.assertNotIn(SECOND_START, inst.log_text())
        # Exactly one process listens on the name, and it is the one left running.
        self.assertEqual(len(listening_unix(inst.pid, self.env.dir)), 1)
        self.assertTrue(os.path.exists(self.sock))
        # Every forwarded key acted on exactly once; the instance's own key is not among them.
        others = [k for k in keys if k != own]
        harness.wait_until(
            lambda: all(("onReactivate " + k) in inst.log_text() for k in others), 20, 0.1,
            "every forwarded key to arrive")
        lines = inst.log_lines()
        for key in keys:
            got = sum(1 for l in lines if l.endswith("] onReactivate " + key))
            self.assertEqual(got, 0 if key == own else 1, key)
        self.assertEqual(count(lines, ACTIVATION), 19)
        self.assertEqual(count(lines, NEW_CONNECTION), 19)
        # The server got each letter A..T, its own key with the first picture, the others
        # when they were forwarded.
        codes = {harness.keycode_of(self.xs.display, chr(k).lower()): chr(k)
                 for k in range(0x41, 0x55)}
        self.assertEqual(len(codes), 20)

        def pressed():
            got = [e.code for e in rec.events("key") if e.action == "press"]
            return set(got) == set(codes) and got
        try:
            got = harness.wait_until(pressed, 20, 0.1, "every key on the server")
        except harness.HarnessTimeout:
            got = [e.code for e in rec.events("key") if e.action == "press"]
            self.fail("keys missing on the server: %s" % sorted(
                codes[c] for c in set(codes) - set(got)))
        self.assertEqual(sorted(got), sorted(codes))
        self.assertEqual(harness.find_windows(self.display, pid=inst.pid), [])

    def test_two_quick_second_starts_are_handled_in_order(self):
        inst = self.start_instance()
        inst.window(15)
        since = len(inst.log_lines())
        b = self.start(["-k", "41"], name="b")
        b.wait_for_log(SECOND_START, 20)
        c = self.start(["-k", "42"], name="c")
        self.assertEqual(b.wait_exit(20), 0, b.log_text())
        self.assertEqual(c.wait_exit(20), 0, c.log_text())
        self.assertIn(SECOND_START, c.log_text())
        inst.wait_for_log("onReactivate 42", 15, since)
        lines = inst.log_lines()[since:]
        order = [l.split("] ", 1)[1] for l in lines if "] onReactivate " in l]
        self.assertEqual(order, ["onReactivate 41", "onReactivate 42"])
        self.assertEqual(count(lines, ACTIVATION), 2)


if __name__ == "__main__":
    unittest.main(verbosity=2)
