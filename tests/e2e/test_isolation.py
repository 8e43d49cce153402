"""A server whose data the library cannot read ends only the connection process; the window stays,
says so and recovers, through any number of such ends; the connection process is confined."""
import contextlib, os, pathlib, re
from harness import E2E, FaultProxy, Recorder, user_namespaces, wait

ENDED = r"\[ERROR\] The connection process ended \(signal \d+\) after the server sent data it could not read"


def stat(pid):  # a process's stat line; empty once it has gone (it may go while /proc is read)
    with contextlib.suppress(FileNotFoundError, ProcessLookupError):
        return pathlib.Path("/proc/%s/stat" % pid).read_text(errors="replace")
    return ""


def usage(pid):  # (descriptors, threads, resident KiB, zombie children) of a process
    status = pathlib.Path("/proc/%d/status" % pid).read_text()
    zombies = [c for c in os.listdir("/proc") if c.isdigit() and re.search(r"\) Z %d " % pid, stat(c))]
    return (len(os.listdir("/proc/%d/fd" % pid)), len(os.listdir("/proc/%d/task" % pid)),
            int(re.search(r"VmRSS:\s*(\d+)", status)[1]), len(zombies))


class Isolation(E2E):
    def test_faults_end_only_the_connection_process(self):
        server = self.env.xspice()
        Recorder(server)  # a picture to tell from the black of a window without one
        fault = FaultProxy(self.env, server.port, 1e-3, 2, same=True)  # aborts the library, every link
        hp = ("-h", "127.0.0.1", "-p", fault.port)
        v = self.env.viewer(*hp, "--kiosk")
        v.faulty_children = True
        with self.subTest("a kiosk stays over the screen, says so, and the picture comes back by itself"):
            v.wait_log(ENDED + "; reconnecting…", timeout=30)
            window = v.window()
            # Words in white on black, told from a picture by how dark the window is; meanwhile each
            # new process's links break the same way, so they stay until the fault is taken away.
            wait(lambda: (g := v.screenshot().convert("L")).getextrema()[1] > 200 and
                 g.histogram()[0] > g.width * g.height * 0.9, 15, "the words on the window")
            fault.rate = 0  # the next process's links pass unchanged
            v.wait_picture(server, timeout=30)
            self.assertEqual(v.window(), window)
            self.assertEqual(len(re.findall(ENDED, v.log)), v.count("A new connection process in"))  # each once
        with self.subTest("the connection process: its own descriptors, no display, no new privileges, filtered"):
            child = v.child()
            fds = {}
            for fd in os.listdir("/proc/%d/fd" % child):
                with contextlib.suppress(FileNotFoundError):  # closed meanwhile
                    fds[int(fd)] = os.readlink("/proc/%d/fd/%s" % (child, fd))
            self.assertEqual((fds[0], fds[1], fds[2]), ("/dev/null", v.p.log, v.p.log))
            self.assertTrue(fds[3].startswith("socket:"), fds)
            # Beyond them only what it made itself: sockets to the server, pipes, events, blocks.
            self.assertEqual([t for fd, t in fds.items() if fd > 3 and not re.match(
                r"(socket|pipe|anon_inode):|/memfd:|/dev/(snd|shm)/", t)], [])
            env = pathlib.Path("/proc/%d/environ" % child).read_bytes().split(b"\0")
            self.assertFalse([e for e in env if e.startswith((b"DISPLAY=", b"XAUTHORITY="))])
            status = pathlib.Path("/proc/%d/status" % child).read_text()
            self.assertRegex(status, r"NoNewPrivs:\s+1")
            self.assertRegex(status, r"Seccomp:\s+2")
            # confined (confinement.h): no capability though the viewer runs as root, namespaces of its own
            self.assertEqual(re.findall(r"^Cap(?:Prm|Eff|Bnd|Amb):\s+([0-9a-f]+)$", status, re.M), ["0" * 16] * 4)
            if user_namespaces():  # else one WARN line says so (a chroot makes none)
                self.assertEqual([os.readlink("/proc/%d/ns/%s" % (child, n)) == os.readlink("/proc/%d/ns/%s" % (v.pid, n))
                                  for n in ("user", "mnt", "ipc", "net")], [False] * 4)
        v.stop()
        with self.subTest("twenty later starts into the fault: the window's descriptors, threads, memory flat"):
            fault.rate = 1e-3
            # a sanitized build keeps freed memory aside for a while, which would read as growth
            v = self.env.viewer(*hp, env={"ASAN_OPTIONS": "detect_leaks=0:quarantine_size_mb=0"})
            v.faulty_children = True
            seen, ends = [], lambda: len(re.findall(ENDED + "; the next start reconnects", v.log))
            slow = lambda: v.count("no answer within")  # a loaded machine may time a link out instead
            for cycle in range(20):
                while ends() <= cycle:
                    n = slow()
                    if cycle or n:
                        self.assertEqual(self.env.run(*hp)[0], 0)
                    wait(lambda: ends() > cycle or slow() > n, 30, "the connection process's end %d" % (cycle + 1))
                seen.append(wait(lambda: (u := usage(v.pid))[3] == 0 and u, what="its end reaped"))
            self.assertEqual(len(re.findall(r"\[ERROR\]", v.log)), 20 + slow())
            # No growth; a thread of the name lookups' pool may end when idle, with its descriptor.
            self.assertEqual([max(s[0] - seen[5][0], 0) + max(s[1] - seen[5][1], 0) for s in seen[5:]], [0] * 15,
                             seen)
            self.assertLess(seen[-1][2] - seen[5][2], 4096, seen)  # KiB
            fault.rate = 0
            self.assertEqual(self.env.run(*hp)[0], 0)
            v.wait_picture(server)
            # each later start re-created the session in a new connection process, and said so
            self.assertEqual([v.count(line) for line in ("SPICE session reconnected successfully",
                                                         "Reconnect result: 1")], [20, 20])
