"""The viewer's picture against the server's own screen: scaled with its aspect ratio kept, centred
on black, following changes, window resizes and new server screen sizes, and gone (window hidden,
process alive) when the server dies."""

import os
import time
import unittest

from PIL import Image, ImageChops

import harness
from harness import E2ETestCase

# Smoothing filters differ a little between the viewer (pixman, box placed to 1/32 pixel) and the
# reference (PIL's exact area average): measured here, mean under 0.4, 99th percentile at most 3,
# single pixels at hard edges up to about 100, picture border mean under 0.2.
MEAN_TOLERANCE = 1.5
P99_TOLERANCE = 8
EDGE_MEAN_TOLERANCE = 3.0

PICTURE_TIMEOUT = 20.0


def fitted(sw, sh, ww, wh):
    """The largest size of aspect sw:sh that fits ww x wh (sizes truncated, as the window does)."""
    if wh * sw // sh <= ww:
        return wh * sw // sh, wh
    return ww, ww * sh // sw


def expected_window(screen, ww, wh):
    """What a ww x wh window should show of `screen`, and where the picture sits (x, y, w, h)."""
    sw, sh = screen.size
    fw, fh = fitted(sw, sh, ww, wh)
    x, y = (ww - fw) // 2, (wh - fh) // 2
    img = Image.new("RGB", (ww, wh))
    img.paste(screen.resize((fw, fh), Image.BOX), (x, y))
    return img, (x, y, fw, fh)


def diff_histogram(a, b):
    """Histogram (256 bins) of the largest channel difference per pixel."""
    d = ImageChops.difference(a, b)
    r, g, b_ = d.split()
    return ImageChops.lighter(ImageChops.lighter(r, g), b_).histogram()


def percentile(hist, q):
    total = sum(hist)
    limit = total * q
    seen = 0
    for value, count in enumerate(hist):
        seen += count
        if seen >= limit:
            return value
    return 255


def mean_of(hist):
    total = sum(hist)
    return sum(v * c for v, c in enumerate(hist)) / total if total else 0.0


class Comparison:
    """How a captured window compares with the expected one."""

    def __init__(self, shot, expected, rect):
        self.shot, self.expected, self.rect = shot, expected, rect
        x, y, w, h = rect
        ww, wh = shot.size
        box = (x, y, x + w, y + h)
        hist = diff_histogram(shot.crop(box), expected.crop(box))
        self.mean = mean_of(hist)
        self.p99 = percentile(hist, 0.99)
        self.max = max(v for v, c in enumerate(hist) if c)
        # The picture's outermost rows and columns: a picture one pixel off its place shows here.
        ring = [(x, y, x + w, y + 1), (x, y + h - 1, x + w, y + h),
                (x, y, x + 1, y + h), (x + w - 1, y, x + w, y + h)]
        ring_hist = [0] * 256
        for r in ring:
            for v, c in enumerate(diff_histogram(shot.crop(r), expected.crop(r))):
                ring_hist[v] += c
        self.edge_mean = mean_of(ring_hist)
        # Everything outside the picture must be exactly black.
        bars = [(0, 0, ww, y), (0, y + h, ww, wh), (0, y, x, y + h), (x + w, y, ww, y + h)]
        self.bars = [b for b in bars if b[2] > b[0] and b[3] > b[1]]
        self.bars_black = all(shot.crop(b).getextrema() == ((0, 0),) * 3 for b in self.bars)

    def ok(self):
        return (self.shot.size == self.expected.size and self.bars_black
                and self.mean < MEAN_TOLERANCE and self.p99 <= P99_TOLERANCE
                and self.edge_mean < EDGE_MEAN_TOLERANCE)

    def __str__(self):
        return ("window %s, picture at %s: mean %.2f, 99th percentile %d, max %d, edge mean %.2f, "
                "bars black %s" % (self.shot.size, self.rect, self.mean, self.p99, self.max,
                                   self.edge_mean, self.bars_black))


class DisplayCase(E2ETestCase):
    def start(self, width, height, recorder_args=None, exe=None, extra_env=None):
        self.xs = self.env.start_xspice(width, height, audio=False)
        self.rec = self.env.start_recorder(self.xs.display, **(recorder_args or {}))
        self.display = self.env.start_xvfb(1600, 1200)
        self.viewer = self.env.run_viewer(["-h", "127.0.0.1", "-p", self.xs.port], self.display,
                                          exe=exe, extra_env=extra_env)
        self.viewer.wait_for_log("new display channel, creating window", 30)
        self.wid = self.viewer.window(30)
        return self.viewer

    def compare_now(self):
        """Captures both screens and compares; returns the Comparison."""
        screen = harness.capture_root(self.xs.display)
        shot = harness.capture_window(self.display, self.wid)
        expected, rect = expected_window(screen, *shot.size)
        return Comparison(shot, expected, rect)

    def wait_for_match(self, size=None, timeout=PICTURE_TIMEOUT):
        """Waits until the window shows the server's screen (and has `size`, if given); fails
        with the last comparison otherwise."""
        last = [None]

        def matches():
            c = self.compare_now()
            last[0] = c
            return c if c.ok() and (size is None or c.shot.size == size) else None
        try:
            result = harness.wait_until(matches, timeout, 0.3, "the picture to match")
        except harness.HarnessTimeout:
            c = last[0]
            if c is not None:
                c.shot.save(self.env.path("window.png"))
                c.expected.save(self.env.path("expected.png"))
            self.fail("the window never showed the server's screen: %s" % c)
        print("\n  %s" % result, end="")
        return result


class LetterboxTest(DisplayCase):
    def test_wide_screen_in_window_then_window_resized(self):
        self.start(1600, 900)
        c = self.wait_for_match(size=(800, 600))
        # 1600x900 in 800x600: halved, bars of 75 rows above and below.
        self.assertEqual(c.rect, (0, 75, 800, 450))
        self.assertEqual(len(c.bars), 2)

        # A wide window makes the screen the taller shape: bars left and right.
        harness.xdotool(self.display, "windowsize", self.wid, 1200, 400)
        harness.wait_until(lambda: harness.window_geometry(self.display, self.wid)[2:4]
                           == (1200, 400), 10)
        c = self.wait_for_match(size=(1200, 400))
        self.assertEqual(c.rect, (244, 0, 711, 400))

        # A square window: back to bars above and below, with a non-integer scale.
        harness.xdotool(self.display, "windowsize", self.wid, 700, 700)
        c = self.wait_for_match(size=(700, 700))
        self.assertEqual(c.rect, (0, 153, 700, 393))

    def test_screen_taller_than_window(self):
        # 1280x1024 (5:4) is narrower than the 4:3 window.
        self.start(1280, 1024)
        c = self.wait_for_match(size=(800, 600))
        self.assertEqual(c.rect, (25, 0, 750, 600))
        self.assertEqual(len(c.bars), 2)


class ChangeTest(DisplayCase):
    def test_repaint_shows_at_the_scaled_place(self):
        region = (1000, 200, 240, 180)
        colors = [(0x00, 0xFF, 0x80), (0x80, 0x00, 0xFF)]
        self.start(1600, 900, {"region": region, "colors": colors})
        self.wait_for_match(size=(800, 600))
        # The block in window pixels (halved, 75 rows down), less a border where it blends.
        x, y, w, h = region
        inner = (x // 2 + 2, 75 + y // 2 + 2, (x + w) // 2 - 2, 75 + (y + h) // 2 - 2)
        for color in colors:
            ev = self.rec.repaint()
            self.assertEqual(ev.color, color)

            def shown():
                shot = harness.capture_window(self.display, self.wid, (inner[0], inner[1],
                                                                       inner[2] - inner[0],
                                                                       inner[3] - inner[1]))
                return shot.getextrema() == tuple((c, c) for c in color)
            harness.wait_until(shown, PICTURE_TIMEOUT, 0.1,
                               "the repainted block in the window")
            # And nothing else moved: the whole window still matches the server's screen.
            self.wait_for_match(size=(800, 600))

    def test_follows_new_server_screen_size(self):
        self.start(1600, 900)
        self.wait_for_match(size=(800, 600))
        for (w, h), rect in (((1280, 1024), (25, 0, 750, 600)),
                             ((800, 600), (0, 0, 800, 600)),
                             ((1024, 768), (0, 0, 800, 600))):
            since = len(self.viewer.log_lines())
            mark = self.rec.mark()
            self.xs.resize(w, h)
            self.viewer.wait_for_log("new display channel, creating window", 20, since=since)
            self.rec.wait_for_event(lambda e: e.kind == "screen" and (e.w, e.h) == (w, h),
                                    10, since=mark)
            c = self.wait_for_match(size=(800, 600))
            self.assertEqual(c.rect, rect)
            if (w, h) == (800, 600):
                # Same size as the window: shown pixel for pixel.
                self.assertEqual((c.mean, c.max), (0, 0))


class ServerLossTest(DisplayCase):
    extra_env = None

    def viewer_binary(self):
        return None

    def test_killed_server_hides_window_and_viewer_lives_on(self):
        viewer = self.start(1024, 768, exe=self.viewer_binary(), extra_env=self.extra_env)
        self.wait_for_match(size=(800, 600))
        since = len(viewer.log_lines())
        self.xs.kill()
        viewer.wait_for_log("连接已关闭", 20, since=since)
        viewer.wait_for_log("Clearing display content", 20, since=since)
        harness.wait_until(lambda: not harness.window_geometry(self.display, self.wid).mapped,
                           20, 0.1, "the window to be unmapped")
        # Still there a while later, and still answering its X connection.
        time.sleep(2.0)
        self.assertTrue(viewer.running(), viewer.log_tail())
        self.assertFalse(harness.window_geometry(self.display, self.wid).mapped)
        log = viewer.log_text()
        self.assertNotIn("AddressSanitizer", log)
        self.assertNotIn("runtime error:", log)


@unittest.skipUnless(os.environ.get("SPICE_CLIENT_ASAN"), "no AddressSanitizer build")
class ServerLossUnderSanitizersTest(ServerLossTest):
    # Errors go to the log; what the libraries still hold at exit is not checked.
    extra_env = {"ASAN_OPTIONS": "detect_leaks=0", "UBSAN_OPTIONS": "print_stacktrace=1"}

    def viewer_binary(self):
        return os.environ["SPICE_CLIENT_ASAN"]


if __name__ == "__main__":
    unittest.main(verbosity=2)
