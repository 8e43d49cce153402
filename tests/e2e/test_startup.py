"""Start-up of the real viewer: command line and exit statuses, the session it opens, the single
instance (second starts, a socket left by a killed instance, a socket that cannot be bound),
SIGPIPE, closing the window and starting with a key."""

import os
import re
import signal
import subprocess
import sys
import time
import unittest

import harness
from harness import E2ETestCase, count, viewer_env

SOCKET_NAME = "SpiceViewerForSingleInstance"
USAGE = [
    "spice-client: A spice client",
    "Usage: spice-client [options]...",
    "  -h, --host",
    "      Set address of spice server",
    "  -p, --port",
    "      Set port of spice server",
    "  -n, --name",
    "      Set title of spiceviewer window",
    "  -k, --key",
    "      Set Key and send to spice server",
    "  -e, --help",
    "      Print help and exit",
]
STAMP = r"\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}"
VERSION_LINE = re.compile("^%s \\[INFO\\] version: 0\\.0\\.1$" % STAMP)
QT_LINE = re.compile("^%s \\[INFO\\] run-time Qt version: 5\\.\\d+\\.\\d+$" % STAMP)
SECOND_START = "应用程序已在运行，尝试激活主窗口..."
NEW_CONNECTION = "检测到新的连接请求。"
ACTIVATION = "收到激活指令，正在激活主窗口。"

# Sends WM_PROTOCOLS/WM_DELETE_WINDOW to a window, as a window manager's close button does. Runs
# in its own process: Xlib ends the process on a protocol error.
CLOSE_REQUEST = r"""
import ctypes, sys
from ctypes import c_int, c_long, c_ulong, c_void_p, c_char_p
class Msg(ctypes.Structure):
    _fields_ = [("type", c_int), ("serial", c_ulong), ("send_event", c_int),
                ("display", c_void_p), ("window", c_ulong), ("message_type", c_ulong),
                ("format", c_int), ("l", c_long * 5)]
class XEvent(ctypes.Union):
    _fields_ = [("xclient", Msg), ("pad", c_long * 24)]
x = ctypes.CDLL("libX11.so.6")
x.XOpenDisplay.restype = c_void_p
x.XOpenDisplay.argtypes = [c_char_p]
x.XInternAtom.restype = c_ulong
x.XInternAtom.argtypes = [c_void_p, c_char_p, c_int]
x.XSendEvent.argtypes = [c_void_p, c_ulong, c_int, c_long, ctypes.POINTER(XEvent)]
x.XSync.argtypes = [c_void_p, c_int]
x.XCloseDisplay.argtypes = [c_void_p]
d = x.XOpenDisplay(sys.argv[1].encode())
if not d:
    sys.exit("cannot open display")
w = int(sys.argv[2])
ev = XEvent()
ev.xclient.type = 33  # ClientMessage
ev.xclient.window = w
ev.xclient.message_type = x.XInternAtom(d, b"WM_PROTOCOLS", 0)
ev.xclient.format = 32
ev.xclient.l[0] = x.XInternAtom(d, b"WM_DELETE_WINDOW", 0)
ev.xclient.l[1] = 0  # CurrentTime
if not x.XSendEvent(d, w, 0, 0, ctypes.byref(ev)):
    sys.exit("XSendEvent failed")
x.XSync(d, 0)
x.XCloseDisplay(d)
print("sent")
"""


def send_close_request(display, wid):
    r = subprocess.run([sys.executable, "-c", CLOSE_REQUEST, display, str(wid)],
                       stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=10)
    if r.returncode != 0 or "sent" not in r.stdout:
        raise harness.HarnessError("close request failed: %s %s" % (r.stdout, r.stderr))


class CommandLineTest(E2ETestCase):
    """Every way the command line ends the program, with stdout read apart from stderr."""

    def setUp(self):
        super().setUp()
        self.display = self.env.start_xvfb(640, 480)
        self.runs = 0

    def run_cli(self, args, timeout=20):
        """Runs the viewer to its end; returns (status, stdout lines, stderr text)."""
        self.runs += 1
        out = self.env.path("cli-%d.out" % self.runs)
        proc = self.env.spawn("cli-%d" % self.runs, [harness.viewer_path()] + list(args),
                              env=viewer_env(self.env, self.display), stdout_path=out)
        status = proc.wait_exit(timeout)
        with open(out, "rb") as f:
            lines = f.read().decode("utf-8", "replace").splitlines()
        return status, lines, proc.log_text()

    def assert_usage_exit(self, args, error=None):
        status, lines, _err = self.run_cli(args)
        self.assertEqual(status, 1, lines)
        # The two version lines come first, in the log's format, before anything is checked.
        self.assertRegex(lines[0], VERSION_LINE)
        self.assertRegex(lines[1], QT_LINE)
        rest = lines[2:]
        if error is not None:
            self.assertRegex(rest[0], "^%s \\[ERROR\\] %s$" % (STAMP, re.escape(error)))
            rest = rest[1:]
        self.assertEqual(rest, USAGE)
        return lines

    def test_argument_errors_print_usage_and_end_with_1(self):
        hp = ["-h", "127.0.0.1", "-p", "5900"]
        with self.subTest("no arguments"):
            self.assert_usage_exit([])
        for args in (["-e"], ["--help"], hp + ["-e"], hp + ["--help"], ["-e"] + hp,
                     hp + ["-k", "41", "--hel"]):
            with self.subTest("help", args=args):
                self.assert_usage_exit(args)
        for args in (hp + ["-x"], hp + ["--bogus"], ["-q"] + hp, hp + ["--host"]):
            with self.subTest("unknown option or missing value", args=args):
                self.assert_usage_exit(args)
        for args in (hp + ["extra"], ["stray"] + hp, hp + ["-n", "title", "more"]):
            with self.subTest("stray word", args=args):
                self.assert_usage_exit(args)
        for args in (["-h", "127.0.0.1"], ["-p", "5900"], ["-n", "title", "-k", "41"],
                     ["--host=127.0.0.1", "-k", "41"]):
            with self.subTest("missing host or port", args=args):
                self.assert_usage_exit(args, "No host or port found")
        long_values = [("host", "-h", 24, 23), ("port", "-p", 8, 7), ("name", "-n", 64, 63),
                       ("key", "-k", 24, 23)]
        for option, short, length, limit in long_values:
            error = "Value of option --%s is too long (at most %d characters)" % (option, limit)
            for args in ([short, "7" * length], ["--%s=%s" % (option, "7" * length)],
                         ["--%s" % option, "7" * (length + 40)]):
                full = [a for a in hp] + args
                with self.subTest("too long", args=full):
                    self.assert_usage_exit(full, error)
        # None of these got as far as the single-instance socket.
        self.assertFalse(os.path.exists(self.env.path(SOCKET_NAME)))

    def test_values_of_the_largest_length_are_kept_whole(self):
        host, port, name, key = "h" * 23, "1" * 7, "N" * 63, "4" * 23
        self.runs += 1
        out = self.env.path("max.out")
        proc = self.env.spawn("max", [harness.viewer_path(), "-platform", "offscreen",
                                      "--host", host, "--port=" + port, "-n", name, "-k", key],
                              env=viewer_env(self.env, self.display), stdout_path=out)
        expected = "host: %s, port: %s, name: %s, key: %s" % (host, port, name, key)

        def summary():
            with open(out, "rb") as f:
                text = f.read().decode("utf-8", "replace")
            if not proc.running() and expected not in text:
                raise harness.HarnessError("ended with %s:\n%s" % (proc.returncode, text))
            return expected in text
        harness.wait_until(summary, 15, what="summary line")
        with open(out) as f:
            self.assertNotIn("Usage:", f.read())


class QtOptionsTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.display = self.env.start_xvfb(1280, 1024)
        self.xs = self.env.start_xspice(1024, 768, audio=False)

    def test_qt_options_are_removed_before_parsing(self):
        port = str(self.xs.port)
        cases = [("platform", ["-platform", "offscreen", "-h", "127.0.0.1", "-p", port], False),
                 ("style", ["-h", "127.0.0.1", "-style", "fusion", "-p", port], True),
                 ("style=", ["-style=fusion", "-h", "127.0.0.1", "-p", port], True)]
        for label, args, on_xvfb in cases:
            with self.subTest(label):
                tmp = self.env.path("tmp-" + label)
                os.makedirs(tmp)
                v = self.env.run_viewer(args, self.display, extra_env={"TMPDIR": tmp})
                v.wait_for_log("host: 127.0.0.1, port: %s, name: , key: " % port, 15)
                v.wait_for_log("连接已建立", 15)
                self.assertNotIn("Usage:", v.log_text())
                if on_xvfb:
                    wid = v.window(15)
                    self.assertEqual(harness.xdotool(self.display, "getwindowname", wid).strip(),
                                     "SpiceViewer")
                else:
                    # Qt took "-platform offscreen" for itself: nothing is shown on the X display,
                    # although the session is up.
                    v.wait_for_log("new display channel (#0)", 15)
                    self.assertEqual(harness.find_windows(self.display, pid=v.pid), [])
                self.assertTrue(harness.tcp_connections(v.pid, self.xs.port))
                v.stop()


class InstanceTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.display = self.env.start_xvfb(1280, 1024)
        self.xs = self.env.start_xspice(1024, 768, audio=False)
        self.hp = ["-h", "127.0.0.1", "-p", self.xs.port]

    def start_instance(self, extra=(), tmpdir=None, name="viewer"):
        v = self.env.run_viewer(self.hp + list(extra), self.display,
                                extra_env={"TMPDIR": tmpdir} if tmpdir else None, name=name)
        return v

    def second_start(self, extra=(), tmpdir=None, name="second"):
        v = self.start_instance(extra, tmpdir, name)
        status = v.wait_exit(20)
        return v, status

    def test_session_connects_with_an_800x600_window_and_its_title(self):
        for label, extra, title in (("default", [], "SpiceViewer"),
                                    ("named", ["-n", "Remote desk 7"], "Remote desk 7"),
                                    # Qt's xcb plugin has a "--name" of its own.
                                    ("long option", ["--name", "Remote desk 8"], "Remote desk 8"),
                                    ("abbreviated", ["--na", "Remote desk 9"], "Remote desk 9")):
            with self.subTest(label):
                tmp = self.env.path("tmp-" + label)
                os.makedirs(tmp)
                v = self.start_instance(extra, tmp)
                harness.wait_until(lambda: harness.tcp_connections(v.pid, self.xs.port), 15,
                                   what="TCP connection to the SPICE server")
                v.wait_for_log("连接已建立", 15)
                wid = v.window(15)
                g = harness.window_geometry(self.display, wid)
                self.assertEqual((g.w, g.h, g.mapped), (800, 600, True))
                self.assertEqual(harness.xdotool(self.display, "getwindowname", wid).strip(),
                                 title)
                v.stop()

    def test_second_start_forwards_and_opens_no_window(self):
        first = self.start_instance()
        wid = first.window(15)
        first.wait_for_log("连接已建立", 15)
        since = len(first.log_lines())
        second, status = self.second_start()
        self.assertEqual(status, 0, second.log_text())
        lines = second.log_lines()
        self.assertEqual(count(lines, SECOND_START), 1, lines)
        self.assertRegex(lines[-1], "^%s \\[INFO\\] %s$" % (STAMP, re.escape(SECOND_START)))
        # It never opened a session of its own.
        self.assertEqual(count(lines, "连接已建立"), 0)
        first.wait_for_log(NEW_CONNECTION, 10, since)
        first.wait_for_log(ACTIVATION, 10, since)
        self.assertTrue(first.running())
        self.assertEqual(harness.find_windows(self.display, name="^SpiceViewer$"), [wid])
        self.assertEqual(harness.find_windows(self.display, pid=second.pid, visible=False), [])

    def test_socket_of_a_killed_instance_is_taken_over(self):
        first = self.start_instance()
        first.window(15)
        self.assertEqual(first.kill(), -signal.SIGKILL)
        sock = self.env.path(SOCKET_NAME)
        self.assertTrue(os.path.exists(sock), "a killed instance leaves its socket behind")
        takeover = self.start_instance(name="takeover")
        wid = takeover.window(15)
        harness.wait_until(lambda: harness.tcp_connections(takeover.pid, self.xs.port), 15,
                           what="TCP connection of the new instance")
        self.assertTrue(takeover.running())
        self.assertNotIn(SECOND_START, takeover.log_text())
        since = len(takeover.log_lines())
        third, status = self.second_start(["-k", "41"], name="third")
        self.assertEqual(status, 0, third.log_text())
        self.assertIn(SECOND_START, third.log_text())
        takeover.wait_for_log("onReactivate 41", 10, since)
        self.assertEqual(harness.find_windows(self.display, name="^SpiceViewer$"), [wid])

    def test_listen_failure_ends_with_1_and_no_window(self):
        # The socket path ($TMPDIR/SpiceViewerForSingleInstance) would not fit in sun_path.
        tmp = self.env.path("d" * 60, "e" * 60)
        os.makedirs(tmp)
        self.assertGreater(len(os.path.join(tmp, SOCKET_NAME)), 108)
        v = self.start_instance(tmpdir=tmp, name="nolisten")
        seen = []
        def ended():
            seen.extend(harness.find_windows(self.display, pid=v.pid))
            return not v.running()
        harness.wait_until(ended, 20, 0.02, "the viewer to end")
        self.assertEqual(v.wait_exit(1), 1, v.log_text())
        self.assertEqual(seen, [])
        errors = [l for l in v.log_lines() if "[ERROR]" in l]
        self.assertEqual(len(errors), 1, v.log_text())
        self.assertRegex(errors[0], "^%s \\[ERROR\\] 无法启动本地服务器:\\S" % STAMP)
        self.assertNotIn("连接已建立", v.log_text())

    def test_sigpipe_is_logged_and_ignored(self):
        first = self.start_instance()
        first.window(15)
        first.wait_for_log("连接已建立", 15)
        since = len(first.log_lines())
        for _ in range(2):
            os.kill(first.pid, signal.SIGPIPE)
            first.wait_for_log("Received SIGPIPE. Ignoring.", 10, since)
            since = len(first.log_lines())
        self.assertEqual(count(first.log_lines(), "Received SIGPIPE. Ignoring."), 2)
        self.assertTrue(first.running())
        second, status = self.second_start(["-k", "42"])
        self.assertEqual(status, 0)
        first.wait_for_log("onReactivate 42", 10, since)
        self.assertTrue(first.running())
        self.assertTrue(harness.tcp_connections(first.pid, self.xs.port))

    def test_close_request_hides_and_second_start_shows_again(self):
        first = self.start_instance()
        wid = first.window(15)
        first.wait_for_log("连接已建立", 15)
        send_close_request(self.display, wid)
        harness.wait_until(lambda: not harness.window_geometry(self.display, wid).mapped, 10,
                           what="the window to be unmapped")
        self.assertTrue(first.running())
        self.assertEqual(harness.find_windows(self.display, pid=first.pid), [])
        # Still unmapped a moment later, and the session is still up.
        time.sleep(0.5)
        self.assertFalse(harness.window_geometry(self.display, wid).mapped)
        self.assertTrue(harness.tcp_connections(first.pid, self.xs.port))
        second, status = self.second_start()
        self.assertEqual(status, 0)
        harness.wait_until(lambda: harness.window_geometry(self.display, wid).mapped, 10,
                           what="the window to be shown again")
        self.assertEqual(harness.find_windows(self.display, pid=first.pid), [wid])
        self.assertTrue(first.running())

    def test_start_with_key_never_shows_the_window(self):
        rec = self.env.start_recorder(self.xs.display)
        keycode = harness.keycode_of(self.xs.display, "a")
        self.assertNotEqual(keycode, 0)
        first = self.start_instance(["-k", "41"])
        first.wait_for_log("sendKey success 41 65", 20)
        rec.wait_for_key(keycode, "press", 10)
        rec.wait_for_key(keycode, "release", 10)
        self.assertEqual(harness.find_windows(self.display, pid=first.pid), [])
        time.sleep(1.0)
        self.assertTrue(first.running())
        self.assertEqual(harness.find_windows(self.display, pid=first.pid), [])
        self.assertEqual(count(first.log_lines(), "sendKey 41"), 1)
        presses = [e for e in rec.events("key") if e.action == "press" and e.code == keycode]
        self.assertEqual(len(presses), 1)


if __name__ == "__main__":
    unittest.main(verbosity=2)
