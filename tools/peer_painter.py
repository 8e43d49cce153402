#!/usr/bin/python3
"""The animation compare_peer.py shows, run as a process of its own inside the SPICE server's X
display:  peer_painter.py DISPLAY tiles|gradient|echo FPS

tiles and gradient repaint the whole root window FPS times a second (a window moving 8 pixels a
frame over a picture twice the screen's width, put as bands of the X request size, as libX11 would);
echo paints only the stamp. Every frame carries its number in its top-left corner: STAMP_BITS
squares of STAMP_SQUARE pixels, white on top for a 1, the row below inverted, so that a torn or
absent stamp reads as None. Prints "N T" per frame: its number and when it was handed over
(CLOCK_MONOTONIC, the same clock as time.monotonic() in any process)."""
import sys, time
from PIL import Image, ImageChops
from Xlib import X, display as xdisplay

STAMP_BITS, STAMP_SQUARE = 24, 16
STAMP_W, STAMP_H = STAMP_BITS * STAMP_SQUARE, 2 * STAMP_SQUARE


def read_stamp(img, scale=1.0, x0=0, y0=0):
    """Frame number of a stamp whose corner is at (x0, y0) of `img`, drawn at `scale`; or None."""
    sq, value = STAMP_SQUARE, 0
    for bit in range(STAMP_BITS):
        cx = x0 + int((bit * sq + sq / 2) * scale)
        top = sum(img.getpixel((cx, y0 + int(sq / 2 * scale)))[:3]) > 3 * 128
        if top == (sum(img.getpixel((cx, y0 + int(sq * 1.5 * scale)))[:3]) > 3 * 128):
            return None
        value = (value << 1) | top
    return value


def picture(kind, w, h):
    """The moving picture, periodic in x with period w, 2w wide. Hard-edged tiles the server
    sends as images; a gradient smooth both ways it takes for video."""
    if kind == "tiles":
        tw, th = w // 32, (h + 31) // 32
        def tile(i):
            v = (i % tw * 2654435761 ^ i // tw * 40503) & 0xFFFFFFFF
            v = ((v ^ v >> 13) * 0x5BD1E995) & 0xFFFFFFFF
            v ^= v >> 15
            return (v & 0xFF, v >> 8 & 0xFF, v >> 16 & 0xFF)
        small = Image.new("RGB", (tw, th))
        small.putdata([tile(i) for i in range(tw * th)])
        one = small.resize((tw * 32, th * 32), Image.NEAREST)
        img = Image.new("RGB", (2 * w, h))
        img.paste(one, (0, 0))
        img.paste(one, (w, 0))
        return img
    tri = Image.new("L", (2 * w, 1))
    tri.putdata([min(255, (p * 510 if p * 2 < w else (w - p) * 510) // w)
                 for p in (x % w for x in range(2 * w))])
    ramp = Image.new("L", (1, h))
    ramp.putdata([y * 255 // (h - 1) for y in range(h)])
    r, g = tri.resize((2 * w, h)), ramp.resize((2 * w, h))
    return Image.merge("RGB", (r, g, ImageChops.invert(ImageChops.add(r, g, 2.0))))


def stamp_rows(n):
    """The stamp of frame n as STAMP_H rows of BGRX bytes."""
    white, black = b"\xff" * 4 * STAMP_SQUARE, b"\0" * 4 * STAMP_SQUARE
    bits = [(n >> (STAMP_BITS - 1 - b)) & 1 for b in range(STAMP_BITS)]
    top = b"".join(white if bit else black for bit in bits)
    bottom = b"".join(black if bit else white for bit in bits)
    return [top] * STAMP_SQUARE + [bottom] * STAMP_SQUARE


def main():
    dpy, kind, fps = sys.argv[1], sys.argv[2], float(sys.argv[3])
    d = xdisplay.Display(dpy)
    screen = d.screen()
    root, depth = screen.root, screen.root_depth
    w, h = screen.width_in_pixels, screen.height_in_pixels
    gc = root.create_gc()
    stride = 8 * w
    data = None if kind == "echo" else picture(kind, w, h).tobytes("raw", "BGRX")
    band = max(1, (d.display.info.max_request_length * 4 - 64) // (4 * w))
    period, n, due = 1.0 / fps, 0, time.monotonic()
    while True:
        due += period
        time.sleep(max(0.0, due - time.monotonic()))
        if time.monotonic() > due + period:  # late: dropped, not caught up
            due = time.monotonic()
        n += 1
        stamp = stamp_rows(n)
        t = time.monotonic()
        if kind == "echo":  # one image, one request: one drawing, as a typed glyph row
            root.put_image(gc, 0, 0, STAMP_W, STAMP_H, X.ZPixmap, depth, 0, b"".join(stamp))
        else:
            off = 4 * (n * 8 % w)
            rows = [data[y * stride + off:y * stride + off + 4 * w] for y in range(h)]
            for y in range(STAMP_H):
                rows[y] = stamp[y] + rows[y][4 * STAMP_W:]
            for y in range(0, h, band):
                root.put_image(gc, 0, y, w, min(band, h - y), X.ZPixmap, depth, 0,
                               b"".join(rows[y:y + band]))
                d.flush()  # python-xlib's send buffer grows by copying: keep it one band
        d.sync()
        print(n, "%.6f" % t, flush=True)


if __name__ == "__main__":
    main()
