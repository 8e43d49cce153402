"""Self-test of the end-to-end environment: SPICE server, recorder, sound server and the harness
itself, without the viewer."""

import math
import os
import signal
import socket
import struct
import subprocess
import tempfile
import time
import unittest

import harness
from harness import E2ETestCase

W, H = 1024, 768


def spice_link_reply(port, timeout=5.0):
    """Sends a SPICE link request for the main channel and returns the reply header's
    (magic, major, minor)."""
    mess = struct.pack("<IBBIII", 0, 1, 0, 0, 0, 18)
    header = struct.pack("<4sIII", b"REDQ", 2, 2, len(mess))
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(header + mess)
        data = b""
        while len(data) < 16:
            chunk = s.recv(16 - len(data))
            if not chunk:
                break
            data += chunk
    if len(data) < 16:
        return None
    magic, major, minor, _size = struct.unpack("<4sIII", data)
    return magic, major, minor


def sine_pcm(freq, seconds, rate=48000, amplitude=0.5):
    frames = []
    for i in range(int(rate * seconds)):
        v = int(amplitude * 32767 * math.sin(2 * math.pi * freq * i / rate))
        frames.append(struct.pack("<hh", v, v))
    return b"".join(frames)


class AnalysisTest(unittest.TestCase):
    def test_dominant_frequency_of_synthetic_tones(self):
        for freq in (440, 1000, 3000):
            pcm = b"\0" * 4000 + sine_pcm(freq, 0.5) + b"\0" * 4000
            self.assertAlmostEqual(harness.dominant_frequency(pcm), freq, delta=1.0)
        self.assertIsNone(harness.dominant_frequency(b"\0" * 48000))

    def test_rms_and_tone_power(self):
        pcm = sine_pcm(440, 0.5, amplitude=0.5)
        self.assertAlmostEqual(harness.rms(pcm), 0.5 / math.sqrt(2), delta=0.01)
        self.assertAlmostEqual(harness.tone_power(pcm, 440), 0.125, delta=0.02)
        self.assertLess(harness.tone_power(pcm, 880), 0.001)

    def test_frame_stamp_round_trip(self):
        from PIL import Image, ImageDraw
        img = Image.new("RGB", (400, 40), (90, 140, 200))
        n = 0xA5C3F1
        d = ImageDraw.Draw(img)
        for bit in range(24):
            one = (n >> (23 - bit)) & 1
            for row, white in ((0, one), (1, not one)):
                d.rectangle([bit * 16, row * 16, bit * 16 + 15, row * 16 + 15],
                            fill=(255, 255, 255) if white else (0, 0, 0))
        self.assertEqual(harness.read_frame_stamp(img), n)
        # A picture without a stamp must not read as a number.
        self.assertIsNone(harness.read_frame_stamp(Image.new("RGB", (400, 40), (90, 140, 200))))


class EnvTest(unittest.TestCase):
    def test_close_stops_processes_and_removes_folder(self):
        env = harness.Env("envtest.pass")
        proc = env.spawn("sleeper", ["sleep", "60"])
        env.spawn("tmpdir", ["sh", "-c", 'echo "$TMPDIR"']).wait_exit(5)
        with open(env.path("tmpdir.log")) as f:
            self.assertEqual(f.read().strip(), env.dir)
        env.close(failed=False)
        self.assertEqual(proc.returncode, -signal.SIGTERM)
        self.assertFalse(os.path.exists(env.dir))

    def test_failed_test_keeps_logs_and_kills_stubborn_process(self):
        with tempfile.TemporaryDirectory() as logs:
            old = os.environ.get("E2E_LOG_DIR")
            os.environ["E2E_LOG_DIR"] = logs
            try:
                env = harness.Env("envtest.fail")
                # Ignores SIGTERM: close() has to fall back to SIGKILL within its bound.
                proc = env.spawn("stubborn", ["sh", "-c", "trap '' TERM; echo started; "
                                              "while :; do sleep 0.1; done"])
                harness.wait_until(lambda: "started" in proc.log_text(), 5)
                os.mkfifo(env.path("a-fifo"))
                t0 = time.monotonic()
                env.close(failed=True)
                self.assertLess(time.monotonic() - t0, harness.STOP_TIMEOUT + 3)
            finally:
                if old is None:
                    os.environ.pop("E2E_LOG_DIR", None)
                else:
                    os.environ["E2E_LOG_DIR"] = old
            self.assertEqual(proc.returncode, -signal.SIGKILL)
            kept = os.listdir(logs)
            self.assertEqual(len(kept), 1)
            self.assertIn("stubborn.log", os.listdir(os.path.join(logs, kept[0])))
            self.assertNotIn("a-fifo", os.listdir(os.path.join(logs, kept[0])))

    def test_free_display_and_port_are_unused(self):
        n = harness.free_display()
        self.assertFalse(os.path.exists("/tmp/.X%d-lock" % n))
        self.assertNotEqual(harness.free_display(), n)
        port = harness.free_port()
        s = socket.socket()
        try:
            s.bind(("127.0.0.1", port))
        finally:
            s.close()


class StartFailureTest(E2ETestCase):
    def test_recorder_without_server_fails_fast_with_its_log(self):
        display = ":%d" % harness.free_display()
        t0 = time.monotonic()
        with self.assertRaises(harness.HarnessError) as cm:
            self.env.start_recorder(display)
        self.assertLess(time.monotonic() - t0, 5)
        self.assertIn("cannot open display", str(cm.exception))

    def test_missing_program_is_an_error(self):
        with self.assertRaises(harness.HarnessError):
            self.env.spawn("nothing", [self.env.path("no-such-program")])


class XspiceTest(E2ETestCase):
    def test_server_answers_on_display_and_port(self):
        t0 = time.monotonic()
        xs = self.env.start_xspice(W, H, audio=False)
        print("\nXspice up in %.2fs" % (time.monotonic() - t0))
        self.assertEqual(harness.screen_size(xs.display), (W, H))
        self.assertTrue(harness.tcp_listening(xs.pid, xs.port))
        self.assertEqual(spice_link_reply(xs.port), (b"REDQ", 2, 2))

    def test_killed_server_frees_port_and_restarts_on_it(self):
        xs = self.env.start_xspice(W, H, audio=False)
        port, first_pid = xs.port, xs.pid
        client = socket.create_connection(("127.0.0.1", port), timeout=5)
        try:
            harness.wait_until(lambda: harness.tcp_connections(os.getpid(), port), 5)
            self.assertEqual(xs.kill(), -signal.SIGKILL)
            self.assertFalse(harness.port_has_listener(port))
            client.settimeout(5)
            try:
                self.assertEqual(client.recv(1), b"")
            except ConnectionResetError:
                pass
            self.assertEqual(harness.tcp_connections(os.getpid(), port), [])
        finally:
            client.close()
        t0 = time.monotonic()
        xs.restart()
        print("\nXspice restart in %.2fs" % (time.monotonic() - t0))
        self.assertEqual(xs.port, port)
        self.assertNotEqual(xs.pid, first_pid)
        self.assertTrue(harness.tcp_listening(xs.pid, port))
        self.assertEqual(spice_link_reply(port), (b"REDQ", 2, 2))
        self.assertEqual(harness.screen_size(xs.display), (W, H))


class RecorderTest(E2ETestCase):
    def setUp(self):
        super().setUp()
        self.xs = self.env.start_xspice(W, H, audio=False)

    def test_picture_keys_clicks_and_repaint(self):
        region = (100, 500, 200, 150)
        colors = [(0, 255, 128), (128, 0, 255)]
        rec = self.env.start_recorder(self.xs.display, region=region, colors=colors)
        d = self.xs.display

        shot = harness.capture_root(d)
        self.assertEqual(harness.diff_stats(shot, harness.still_picture(W, H)), (0, 0))
        # ImageMagick reads the same picture: the fast capture path is not fooling itself.
        self.assertEqual(harness.diff_stats(harness.capture_root_import(d), shot), (0, 0))

        since = rec.mark()
        harness.xdotool(d, "key", "a")
        rec.wait_for_key(38, "press", since=since)
        rec.wait_for_key(38, "release", since=since)
        harness.xtest_key(d, 105)
        rec.wait_for_key(105, "release", since=since)
        keys = [(e.action, e.code) for e in rec.events()[since:] if e.kind == "key"]
        self.assertEqual(keys, [("press", 38), ("release", 38), ("press", 105), ("release", 105)])

        since = rec.mark()
        harness.xdotool(d, "mousemove", "300", "200", "click", "1")
        rec.wait_for_event(lambda e: e.kind == "button" and e.action == "release", since=since)
        evs = rec.events()[since:]
        self.assertIn(("motion", 300, 200), [(e.kind, e.x, e.y) for e in evs])
        buttons = [(e.action, e.code, e.x, e.y) for e in evs if e.kind == "button"]
        self.assertEqual(buttons, [("press", 1, 300, 200), ("release", 1, 300, 200)])

        x, y, w, h = region
        inside = (x, y, x + w, y + h)
        for color in colors:
            ev = rec.repaint()
            self.assertEqual((ev.x, ev.y, ev.w, ev.h, ev.color), (x, y, w, h, color))
            shot = harness.capture_root(d)
            self.assertEqual(shot.crop(inside).getcolors(), [(w * h, color)])
            expected = harness.still_picture(W, H)
            expected.paste(color, inside)
            self.assertEqual(harness.diff_stats(shot, expected), (0, 0))

    def test_animation_stamps_frame_numbers(self):
        for content in ("gradient", "tiles"):
            with self.subTest(content=content):
                rec = self.env.start_recorder(self.xs.display, animate=20, content=content,
                                              name="anim-" + content)
                harness.wait_until(lambda: len(rec.frames()) >= 5, 10)
                time.sleep(1.0)
                frames = rec.frames()
                shot = harness.capture_root(self.xs.display)
                after = rec.frames()
                stamp = harness.read_frame_stamp(shot)
                self.assertIsNotNone(stamp)
                # The captured frame lies between the last ones logged before and after.
                self.assertGreaterEqual(stamp, frames[-1][0])
                self.assertLessEqual(stamp, after[-1][0])
                # Paced near the requested rate: one second holds neither a burst nor a stall.
                t_end = frames[-1][1]
                last_second = [n for n, t in frames if t > t_end - 1.0]
                self.assertGreaterEqual(len(last_second), 12)
                self.assertLessEqual(len(last_second), 22)
                # The picture moves: two captures differ outside the stamp.
                a = harness.capture_root(self.xs.display, (0, 100, W, 200))
                time.sleep(0.2)
                b = harness.capture_root(self.xs.display, (0, 100, W, 200))
                self.assertGreater(harness.diff_stats(a, b)[0], 1.0)
                rec.stop()

    def test_takes_keyboard_focus_back(self):
        rec = self.env.start_recorder(self.xs.display)
        d = self.xs.display
        wid = harness.find_window(d, name="^recorder-1$")
        self.assertEqual(int(harness.xdotool(d, "getwindowfocus")), wid)
        since = rec.mark()
        harness.xdotool(d, "windowfocus", harness.root_window(d))
        rec.wait_for_event(lambda e: e.kind == "focus", since=since)
        harness.wait_until(lambda: int(harness.xdotool(d, "getwindowfocus")) == wid, 5)
        harness.xdotool(d, "key", "b")
        rec.wait_for_key(56, "release", since=since)

    def test_follows_screen_resize(self):
        rec = self.env.start_recorder(self.xs.display)
        self.xs.resize(800, 600)
        rec.wait_for_event(lambda e: e.kind == "screen" and (e.w, e.h) == (800, 600))
        shot = harness.capture_root(self.xs.display)
        self.assertEqual(shot.size, (800, 600))
        self.assertEqual(harness.diff_stats(shot, harness.still_picture(800, 600)), (0, 0))


class SoundTest(E2ETestCase):
    def test_tone_into_null_sink_records_at_its_frequency(self):
        t0 = time.monotonic()
        pulse = self.env.start_pulse()
        print("\npulseaudio up in %.2fs" % (time.monotonic() - t0))
        tone = self.env.path("tone.raw")
        subprocess.run(["sox", "-q", "-n", "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16",
                        "-c", "2", tone, "synth", "1.5", "sine", "440", "vol", "0.5"],
                       check=True, timeout=30, stdin=subprocess.DEVNULL)
        recording = pulse.start_recording()
        time.sleep(0.3)
        self.env.spawn("paplay", ["paplay", "--raw", "--format=s16le", "--rate=48000",
                                  "--channels=2", "-d", pulse.sink, tone],
                       env=pulse.client_env()).wait_exit(15)
        time.sleep(0.3)
        pcm = recording.stop()
        self.assertGreater(len(pcm), 48000 * 4)
        freq = harness.dominant_frequency(pcm)
        self.assertIsNotNone(freq)
        self.assertAlmostEqual(freq, 440, delta=5)
        self.assertGreater(harness.rms(pcm), 0.1)

    def test_server_reads_its_playback_fifo(self):
        xs = self.env.start_xspice(W, H, audio=True)
        self.assertTrue(os.path.isdir(xs.fifo_dir))
        sox = self.env.play_tone(xs, 440, 1.0)
        # The writer can only finish if the server opened the FIFO and drained it.
        self.assertEqual(sox.wait_exit(15), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
