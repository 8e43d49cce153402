"""Key injection, window activation and re-creating a dropped session, against a real server."""

import os
import re
import time
import unittest

import harness
from harness import E2ETestCase, wait_until

F1 = 67   # X keycode of set-1 scancode 0x3B on the server
A = 38


def key_events(recorder, code, since=0):
    return [(e.action, e.code) for e in recorder.events()[since:] if e.kind == "key" and e.code == code]


class RootWatch:
    """Logs the _NET_ACTIVE_WINDOW requests that reach the viewer display's root window."""

    def __init__(self, env, display):
        self.log = env.path("rootwatch-%s.log" % display[1:])
        exe = os.environ.get("XROOTWATCH")
        if not exe:
            raise unittest.SkipTest("XROOTWATCH is not set")
        environment = env.base_env()
        environment["DISPLAY"] = display
        self.proc = env.spawn("rootwatch", [exe, "--log", self.log], env=environment)
        wait_until(lambda: "ready" in self.lines(), 10, 0.05, "root watcher ready")

    def lines(self):
        try:
            with open(self.log) as f:
                return f.read().split("\n")[:-1]
        except OSError:
            return []

    def activations(self):
        return [tuple(int(v) for v in line.split()[1:]) for line in self.lines()
                if line.startswith("activate ")]


class Desk(E2ETestCase):
    """One SPICE server with the recorder, one Xvfb for the viewer."""

    server_size = (1024, 768)

    def setUp(self):
        super().setUp()
        self.xspice = self.env.start_xspice(*self.server_size, audio=False)
        self.recorder = self.env.start_recorder(self.xspice.display)
        self.display = self.env.start_xvfb(1280, 1024)

    def viewer_binary(self):
        return None

    extra_env = None

    def start(self, *args, name="viewer"):
        return self.env.run_viewer(["-h", "127.0.0.1", "-p", self.xspice.port] + list(args),
                                   self.display, name=name, exe=self.viewer_binary(),
                                   extra_env=self.extra_env)

    def second_start(self, *args):
        second = self.start(*args, name="second")
        status = second.wait_exit(20)
        self.assertEqual(status, 0, second.log_tail())
        self.assertTrue(any("应用程序已在运行，尝试激活主窗口..." in l for l in second.log_lines()))
        return second

    def visible_windows(self, viewer):
        return harness.find_windows(self.display, pid=viewer.pid, visible=True)

    def focus(self, viewer):
        wid = viewer.window(timeout=15)
        harness.xdotool(self.display, "windowfocus", str(wid))
        return wid


class TestKeyInjection(Desk):
    def test_first_start_key_is_sent_once_with_the_first_picture_and_never_again(self):
        viewer = self.start("-k", "1000030")
        viewer.wait_for_log("sendKey success 1000030 16777264", timeout=30)
        self.recorder.wait_for_key(F1, "release", timeout=10)
        time.sleep(1.0)
        self.assertEqual(key_events(self.recorder, F1), [("press", F1), ("release", F1)])
        # It went out with the first picture: after the surface, never before it.
        log = viewer.log_lines()
        surface = next(i for i, l in enumerate(log) if "new display channel, creating window" in l)
        sent = next(i for i, l in enumerate(log) if "sendKey success" in l)
        self.assertLess(surface, sent)
        self.assertEqual(self.visible_windows(viewer), [], "a start with a key must stay hidden")

        # Drop the session and bring it back: the command-line key is not sent again.
        self.xspice.kill()
        viewer.wait_for_log("连接已关闭", timeout=20)
        self.xspice.restart()
        recorder = self.env.start_recorder(self.xspice.display)
        mark = len(viewer.log_lines())
        self.second_start()
        viewer.wait_for_log("SPICE session reconnected successfully", timeout=20, since=mark)
        viewer.wait_for_log("new display channel, creating window", timeout=30, since=mark)
        # The new session works (its centre click arrives) but carries no F1.
        recorder.wait_for_event(lambda e: e.kind == "button" and e.action == "release", 20)
        time.sleep(1.0)
        self.assertEqual(key_events(recorder, F1), [])
        self.assertEqual(sum("sendKey success 1000030" in l for l in viewer.log_lines()), 1)

    def test_second_start_key_reaches_the_server_and_a_hidden_window_stays_hidden(self):
        viewer = self.start("-k", "1000030")
        viewer.wait_for_log("sendKey success 1000030", timeout=30)
        mark = self.recorder.mark()
        self.second_start("-k", "41")
        viewer.wait_for_log("onReactivate 41", timeout=10)
        viewer.wait_for_log("sendKey success 41 65", timeout=10)
        self.recorder.wait_for_key(A, "release", timeout=10, since=mark)
        self.assertEqual(key_events(self.recorder, A, mark), [("press", A), ("release", A)])
        time.sleep(0.5)
        self.assertEqual(self.visible_windows(viewer), [])

    def test_second_start_key_does_not_raise_a_visible_window(self):
        watch = RootWatch(self.env, self.display)
        viewer = self.start()
        viewer.wait_for_log("new display channel, creating window", timeout=30)
        viewer.window(timeout=15)
        mark = self.recorder.mark()
        self.second_start("-k", "41")
        viewer.wait_for_log("sendKey success 41 65", timeout=10)
        self.recorder.wait_for_key(A, "release", timeout=10, since=mark)
        time.sleep(0.5)
        self.assertEqual(watch.activations(), [])
        self.assertEqual(len(self.visible_windows(viewer)), 1)


class TestActivation(Desk):
    def test_second_start_without_key_shows_the_window_and_asks_for_activation(self):
        watch = RootWatch(self.env, self.display)
        viewer = self.start("-k", "1000030")
        viewer.wait_for_log("sendKey success 1000030", timeout=30)
        self.assertEqual(self.visible_windows(viewer), [])
        self.second_start()
        viewer.wait_for_log("收到激活指令，正在激活主窗口。", timeout=10)
        wid = wait_until(lambda: self.visible_windows(viewer), 10, 0.1, "viewer window shown")[0]
        activations = wait_until(watch.activations, 10, 0.1, "_NET_ACTIVE_WINDOW request")
        window, source, timestamp = activations[0]
        self.assertEqual(window, wid)
        self.assertEqual(source, 2)      # a pager's request, which window managers honour
        self.assertEqual(timestamp, 0)   # CurrentTime
        self.assertEqual(len(activations), 1)


class TestReconnection(Desk):
    cycles = 20

    def run_cycles(self, viewer):
        viewer.wait_for_log("new display channel, creating window", timeout=60)
        wid = viewer.window(timeout=30)
        fds = []
        for cycle in range(self.cycles):
            with self.subTest(cycle=cycle):
                mark = len(viewer.log_lines())
                self.xspice.kill()
                viewer.wait_for_log("连接已关闭", timeout=30, since=mark)
                viewer.wait_for_log("Clearing display content", timeout=10, since=mark)
                wait_until(lambda: not self.visible_windows(viewer), 10, 0.1, "window hidden")
                self.assertTrue(viewer.running())

                self.xspice.restart()
                # The recorder was a client of the killed server; the new one needs its own.
                self.recorder = self.env.start_recorder(self.xspice.display)
                mark = len(viewer.log_lines())
                self.second_start()
                viewer.wait_for_log("SPICE connection is inactive, attempting to reconnect",
                                    timeout=10, since=mark)
                viewer.wait_for_log("Reconnect result: 1", timeout=10, since=mark)
                viewer.wait_for_log("连接已建立", timeout=30, since=mark)
                viewer.wait_for_log("new inputs channel (#0), input", timeout=30, since=mark)
                viewer.wait_for_log("new display channel, creating window", timeout=30, since=mark)
                wait_until(lambda: self.visible_windows(viewer), 10, 0.1, "window shown again")

                # The picture is back: the recorder's orange block shows in the window.
                def picture_back():
                    shot = harness.capture_window(self.display, wid)
                    return shot.getpixel((shot.width // 2, shot.height // 2)) != (0, 0, 0)
                wait_until(picture_back, 20, 0.2, "picture after reconnection")

                # Keys reach the new session.
                harness.xdotool(self.display, "windowfocus", str(wid))
                viewer.wait_for_log("Window activated", timeout=10, since=mark)
                rec_mark = self.recorder.mark()
                key_a = harness.keycode_of(self.display, "a")
                harness.xtest_key(self.display, key_a)
                self.recorder.wait_for_key(A, "release", timeout=10, since=rec_mark)
                fds.append(harness.open_fds(viewer.pid))
        # Descriptors settle after the first cycles and then stay put.
        self.assertLessEqual(max(fds[5:]) - fds[4], 2, "descriptors grow: %s" % fds)
        log = "\n".join(viewer.log_lines())
        self.assertNotIn("AddressSanitizer", log)
        self.assertNotIn("runtime error:", log)
        self.assertTrue(viewer.running())

    def test_twenty_cycles_of_server_loss_and_return(self):
        self.run_cycles(self.start())


@unittest.skipUnless(os.environ.get("SPICE_CLIENT_ASAN"), "no AddressSanitizer build")
class TestReconnectionUnderSanitizers(TestReconnection):
    # The sanitizers report into the log; what the libraries still hold at exit is not checked.
    extra_env = {"ASAN_OPTIONS": "detect_leaks=0", "UBSAN_OPTIONS": "print_stacktrace=1"}

    def viewer_binary(self):
        return os.environ["SPICE_CLIENT_ASAN"]


if __name__ == "__main__":
    unittest.main()
