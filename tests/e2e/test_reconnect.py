"""The sanitizer build through server restarts: picture and keys come back, descriptors do not grow; each
later start that re-creates the dropped session says so in the lines launchers read."""
import os, signal
from harness import E2E, KC, Recorder, wait


class Reconnect(E2E):
    def test_cycles(self):
        server = self.env.xspice()
        hp = ("-h", "127.0.0.1", "-p", server.port)
        v = self.env.viewer(*hp, asan=True)
        v.wait_log("连接已建立", timeout=30)
        fds = []
        for cycle, key in enumerate("abcdef"):  # killed or stopped, brought back by a second start
            with self.subTest(cycle=cycle):
                closed = v.count("连接已关闭")
                server.kill(signal.SIGKILL if cycle % 2 else signal.SIGTERM)
                wait(lambda: v.count("连接已关闭") > closed and not v.windows(), what="hiding")
                if not cycle:  # the server still down: the re-creation starts (1), the refusal comes later
                    n = len(v.log.splitlines())
                    self.assertEqual(self.env.run(*hp, asan=True)[0], 0)
                    v.wait_log(r"Reconnect result: 1\n[\s\S]*\[ERROR\] Cannot connect to 127\.0\.0\.1 port %d: "
                               "connection refused" % server.port, n)
                server.start()
                rec = Recorder(server)
                status, out = self.env.run(*hp, "-k", "%x" % ord(key.upper()), asan=True)
                self.assertEqual(status, 0, out)
                rec.wait_key(KC[key], timeout=30)
                self.assertEqual(self.env.run(*hp, asan=True)[0], 0)  # to a live session: left alone
                wait(lambda: v.count("SPICE connection is active") == cycle + 1, what="the live session's line")
                v.wait_picture(server, timeout=30)
                fds.append(len(os.listdir("/proc/%d/fd" % v.pid)))
        # a leak grows with the cycles; one that was closing as it was counted may be gone by the next
        self.assertLessEqual(max(fds[1:]), fds[1], "open descriptors after each cycle: %s" % fds)
        self.assertEqual([v.count(line) for line in ("SPICE session reconnected successfully", "Reconnect result: 1",
                                                     "Reconnect result")], [7, 7, 7])
