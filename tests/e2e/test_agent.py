"""Clipboard and dropped files through the real guest agent on one Xspice."""
import contextlib, hashlib, io, os, pathlib, re, signal, subprocess
from PIL import Image
from Xlib import X, display as xdisplay
from harness import E2E, Recorder, drop_files, stop, wait

UTF8 = "Grüße, 日本語 ✓\nzweite Zeile"


class Agent(E2E):
    def put(self, display, data, target="UTF8_STRING", sel="clipboard"):  # served until replaced
        pathlib.Path(f := self.env.path("clip-%d" % len(self.env.procs))).write_bytes(data)
        return self.env.spawn(["xclip", "-quiet", "-selection", sel, "-t", target, "-i", f], "xclip",
                              env={"DISPLAY": display})

    def get(self, display, target="UTF8_STRING", sel="clipboard"):  # None: no answer yet
        # A large paste goes in pieces, each waited for by its owner a few seconds; on a loaded machine
        # an owner may give up on a slow xclip, which then waits for ever: that one is not an answer.
        # (20 MiB through the agent may take half a minute there: the bound leaves room for it.)
        with contextlib.suppress(subprocess.TimeoutExpired):
            return subprocess.run(["xclip", "-o", "-selection", sel, "-t", target, "-display", display],
                                  capture_output=True, timeout=45).stdout

    def grabs(self):  # (agent to viewer, viewer to agent, the log) as the agent logs them
        log = pathlib.Path(self.env.path("vdagent.log")).read_text(errors="replace")
        return log.count("sent clipboard grab"), log.count("received clipboard grab"), log

    def file(self, name, size, sparse=False):
        with open(p := self.env.path(name), "wb") as f:
            f.truncate(size) if sparse else f.write(os.urandom(size))
        return p

    def peak(self, v):  # the viewer's peak resident memory with its connection process's, bytes
        return sum(int(re.search(r"VmHWM:\s*(\d+)", pathlib.Path("/proc/%d/status" % pid).read_text())[1]) << 10
                   for pid in (v.pid, v.child()))

    def arrived(self, path):  # same bytes under the same name in the agent's folder
        there = pathlib.Path(self.server.files, os.path.basename(path))
        return there.exists() and there.stat().st_size == os.path.getsize(path) and \
            hashlib.sha1(there.read_bytes()).digest() == hashlib.sha1(pathlib.Path(path).read_bytes()).digest()

    def test_clipboard_and_files(self):
        self.server = server = self.env.xspice(agent=True)
        hp, here, there = ("-h", "127.0.0.1", "-p", server.port), self.env.display, server.display
        v = self.env.viewer(*hp)
        v.wait_log(r"\[INFO\] Guest agent connected", timeout=30)
        with self.subTest("text both ways, each copy one grab"):
            for text in ("plain ascii", UTF8, "x" * (20 << 20) + "y"):
                self.put(there, data := text.encode())
                wait(lambda: self.get(here) == data, 120, "the server's text on the viewer's display")
                self.put(here, back := text[::-1].encode())
                wait(lambda: self.get(there) == back, 120, "the viewer's text on the server")
            # The viewer grabs once per local copy (an echo of the agent's grabs would add more); the
            # agent's own grabs are not counted: it may fold two into one.
            self.assertEqual(self.grabs()[1], 3)
        with self.subTest("a clipboard whose owner goes empties the other side's"):
            released = lambda: self.grabs()[2].count("received clipboard release")
            n = released()
            stop([p for p in self.env.procs if p.args[0] == "xclip"][-1])  # the viewer's side
            wait(lambda: released() > n, 30, "the agent to hear of the release")  # behind the 20 MiB copies
            self.put(there, b"short-lived")
            wait(lambda: self.get(here) == b"short-lived", 10, "the server's text")
            stop(self.env.procs[-1])
            wait(lambda: self.get(here) == b"", 10, "the viewer's clipboard to empty")
        with self.subTest("the selection (PRIMARY) stays local"):
            self.put(there, b"selected", sel="primary")
            self.put(there, b"behind it")
            wait(lambda: self.get(here) == b"behind it", 20, "the text copied after the selection")
            self.assertNotEqual(self.get(here, sel="primary"), b"selected")
        with self.subTest("an image both ways, pixels equal; a BMP from the server arrives as PNG"):
            img = Image.radial_gradient("L").convert("RGB").resize((97, 61))

            def pixels(data):  # None until the image is there (the old owner may answer first)
                with contextlib.suppress(OSError):
                    return Image.open(io.BytesIO(data)).convert("RGB").tobytes()
            for src, dst, kind in ((there, here, "png"), (here, there, "png"), (there, here, "bmp")):
                img.save(buf := io.BytesIO(), kind)
                self.put(src, buf.getvalue(), "image/" + kind)
                wait(lambda: pixels(self.get(dst, "image/png")) == img.tobytes(), 30, "the image")
            self.assertEqual(self.grabs()[1], 4)
        with self.subTest("an SVG offered as BMP: nothing fetched until a paste, nothing decoded then"):
            asked = lambda: self.grabs()[2].count("received clipboard request")
            self.put(there, b"before the SVG")  # the image before leaves the viewer's clipboard
            wait(lambda: self.get(here) == b"before the SVG", 10, "the server's text")
            n, peak = asked(), self.peak(v)
            self.put(there, b'<svg xmlns="http://www.w3.org/2000/svg" width="12000" height="12000">'
                            b'<rect width="100%" height="100%" fill="red"/></svg>', "image/bmp")
            wait(lambda: b"image/png" in (self.get(here, "TARGETS") or b""), 10, "the offer on the viewer's display")
            self.assertEqual(asked(), n)
            self.assertEqual(self.get(here, "image/png"), b"")
            self.assertEqual(asked(), n + 1)
            self.assertLess(self.peak(v) - peak, 32 << 20)  # rendered, it would take 550 MiB
        with self.subTest("a closed window shares nothing either way; shown again, the local copy goes"):
            self.put(there, b"copied there")
            wait(lambda: self.get(here) == b"copied there", 10, "the server's text")
            n, grabs = len(v.log.splitlines()), self.grabs()[1]
            v.close()
            wait(lambda: self.get(here) == b"", 10, "the remote copy to leave the local clipboard")
            self.put(here, b"secret")
            self.put(there, b"paste-jacked")
            v.wait_log(r"\[INFO\] The remote machine's clipboard is not taken while no window is shown", n)
            self.assertEqual((self.get(here), self.get(there), self.grabs()[1]),
                             (b"secret", b"paste-jacked", grabs))
            self.assertEqual(self.env.run(*hp)[0], 0)  # a later start shows the window
            wait(lambda: self.get(there) == b"secret", 10, "the local clipboard offered again")
            self.put(here, b"after")
            wait(lambda: self.get(there) == b"after", 10, "a local copy once shown")
        with self.subTest("a file, a 50 MiB one with progress, three at once; no room for one of two"):
            for paths in ([self.file("one.bin", 100000)], [self.file("big.bin", 50 << 20)],
                          [self.file("f%d.txt" % i, 1000 + i) for i in range(3)]):
                n = len(v.log.splitlines())
                drop_files(self.env.x, v.window(), paths)
                v.wait_log(r"\[INFO\] %d files? copied to the remote machine" % len(paths), n, timeout=120)
                self.assertTrue(all(map(self.arrived, paths)))
            self.assertIn("file copy at 50%", v.log)
            drop_files(self.env.x, v.window(), [fits := self.file("fits.bin", 1000), self.file("huge", 1 << 40, 1)])
            v.wait_log(r"\[WARN\] 1 of 2 files copied; 1 failed: .*lack of free space", n)
            self.assertTrue(self.arrived(fits))
        with self.subTest("Escape during a copy reaches the remote machine; the strip's button cancels"):
            keys = Recorder(server)
            v.focus()
            n = len(v.log.splitlines())
            drop_files(self.env.x, v.window(), [first := self.file("first.bin", 1000),
                                                self.file("cancelled.bin", 50 << 20, sparse=True)])
            v.wait_log("file copy at 10%", n)
            wait(lambda: self.arrived(first), 10, "the first file")
            v.key(9)
            v.key(9, False)
            keys.wait_key(9, False)
            g = v.window().get_geometry()
            v.pointer(g.width - 40, g.height - 12, 1)
            v.pointer(g.width - 40, g.height - 12, 1, False)
            v.wait_log(r"\[INFO\] 1 of 2 files copied; 1 cancelled$", n)
            wait(lambda: "cancelled.bin" not in os.listdir(server.files), 10, "the partial file to go")
        v.stop()
        with self.subTest("the connection process killed with a key held, in a copy, in a paste: it alone "
                          "ends, one ERROR each; nothing stays pressed on the server"):
            # a sanitized build would take the SIGSEGV sent from outside for its own fault
            v = self.env.viewer(*hp, "--debug", env={"ASAN_OPTIONS": "detect_leaks=0:handle_segv=0"})
            self.addCleanup(v.stop)
            v.wait_log(r"\[INFO\] Guest agent connected", timeout=30)
            # Nothing local to offer: the offer a new process makes as it connects could take the
            # server's clipboard after the copy made there below (whichever the agent hears last).
            released = lambda: self.grabs()[2].count("received clipboard release")
            owner = self.put(here, b"gone")
            wait(lambda: self.get(there) == b"gone", 10, "the local copy there")
            n = released()
            stop(owner)
            wait(lambda: released() > n, 10, "the local clipboard released")

            def killed(sig, since):  # the window hides, says why once; a later start brings it back
                os.kill(v.child(), sig)
                v.wait_log(r"\[ERROR\] The connection process ended \(signal %d\)[^;\n]*; the next start" % sig, since)
                wait(lambda: not v.windows(), what="the window to hide")
                n = len(v.log.splitlines())
                self.assertEqual(self.env.run(*hp)[0], 0)
                v.wait_log(r"\[INFO\] Guest agent connected", n, timeout=30)
                return n
            v.focus()
            # no auto-repeat here: after the recovery its next press would be a new press of a held key
            self.env.x.change_keyboard_control(auto_repeat_mode=X.AutoRepeatModeOff)
            m = len(keys.events)
            v.key(38)  # held until after the recovery
            keys.wait_key(38, since=m)
            n = killed(signal.SIGSEGV, 0)
            keys.wait_key(38, False, since=m)
            with contextlib.closing(xdisplay.Display(there)) as d:
                down = [i * 8 + b for i, byte in enumerate(d.query_keymap()) for b in range(8) if byte >> b & 1]
                self.assertEqual(down, [], "keys down on the server; events since: %s" % keys.events[m:])
            v.key(38, False)
            drop_files(self.env.x, v.window(), [self.file("killed.bin", 50 << 20, sparse=True)])
            v.wait_log("file copy at 10%", n)
            n = killed(signal.SIGABRT, n)
            img = Image.new("RGB", (8, 8), "red")
            img.save(buf := io.BytesIO(), "png")
            self.put(there, buf.getvalue(), "image/png")
            wait(lambda: b"image/png" in (self.get(here, "TARGETS") or b""), 10, "the image's offer")
            os.kill(server.agent.pid, signal.SIGSTOP)  # the guest never answers the paste
            paste = subprocess.Popen(["xclip", "-o", "-selection", "clipboard", "-t", "image/png", "-display",
                                      here], stdout=subprocess.PIPE)
            v.wait_log(r"\[DEBUG\] remote clipboard 0 asked for type", n)  # --debug reaches the process
            killed(signal.SIGKILL, n)
            self.assertEqual(paste.communicate(timeout=10)[0], b"")
            os.kill(server.agent.pid, signal.SIGCONT)
            self.assertEqual(len(re.findall(r"\[ERROR\]", v.log)), 3)
            v.stop()
        with self.subTest("--no-clipboard: nothing crosses, the agent is told"):
            before = self.grabs()
            v = self.env.viewer(*hp, "--no-clipboard")
            v.wait_log("Guest agent connected: clipboard off", timeout=30)
            self.put(there, b"stays there")
            wait(lambda: self.grabs()[0] > before[0], what="the agent's grab")
            self.put(here, b"stays here")
            drop_files(self.env.x, v.window(), [self.file("barrier.bin", 1000)])  # behind the clipboard
            v.wait_log(r"1 file copied")
            now = self.grabs()
            self.assertEqual(now[1], before[1])
            self.assertNotIn("received clipboard request", now[2][len(before[2]):])
            self.assertIn(b"Set max clipboard: 0", pathlib.Path(self.env.path("vdagentd.log")).read_bytes())
            self.assertEqual((self.get(here), self.get(there)), (b"stays here", b"stays there"))
            v.stop()
        with self.subTest("--no-file-copy refuses with words; --share-primary shares the selection"):
            v = self.env.viewer(*hp, "--no-file-copy", "--share-primary")
            v.wait_log("Guest agent connected", timeout=30)
            self.put(there, b"selected", sel="primary")
            wait(lambda: self.get(here, sel="primary") == b"selected", 20, "the shared selection")
            drop_files(self.env.x, v.window(), [p := self.file("refused.bin", 1000)])
            v.wait_log(r"\[WARN\] Files cannot be copied: file copy is turned off")
            self.assertFalse(os.path.exists(os.path.join(server.files, "refused.bin")))
            v.stop()
        with self.subTest("the agent goes during a copy, a viewer starts without it: words, INFO lines"):
            v = self.env.viewer(*hp)
            v.wait_log("Guest agent connected", timeout=30)
            drop_files(self.env.x, v.window(), [self.file("lost.bin", 50 << 20)])
            v.wait_log("file copy at 10%")
            server.agent.terminate()
            v.wait_log(r"\[WARN\] File copy failed: \w")
            v.wait_log(r"\[INFO\] Guest agent disconnected")
            v.stop()
            v = self.env.viewer(*hp)
            v.wait_log(r"\[INFO\] No guest agent", timeout=30)
            drop_files(self.env.x, v.window(), [p])
            v.wait_log("Files cannot be copied: the remote machine runs no guest agent")
            self.assertNotIn("[ERROR]", v.log)
