"""Long-lived X client used by harness.py, one process per display.

Runs in its own process because Xlib ends the whole process when its server goes away; the
harness only sees EOF on the pipe. Reads one command per line on stdin and answers one line on
stdout ("ok ..." or "err ..."), followed by raw bytes for "grab".

Commands:
  grab X Y W H       -> ok W H STRIDE BYTEORDER BPP RMASK GMASK BMASK, then STRIDE*H bytes
                        (a rectangle of the root window; clipped requests are an error)
  geom WID           -> ok X Y W H MAPSTATE  (position relative to the root)
  screen             -> ok W H
  key KEYCODE 0|1    -> ok     (XTEST key release/press)
  keysym NAME        -> ok KEYCODE   (0 if the keymap has no such key)
  button N 0|1       -> ok     (XTEST button release/press)
  motion X Y         -> ok     (XTEST absolute pointer motion)
  quit
"""

import ctypes
import sys
from ctypes import POINTER, Structure, byref, c_char_p, c_int, c_uint, c_ulong, c_void_p


class XImage(Structure):
    # Only the leading fields are read; the struct is never allocated on this side.
    _fields_ = [
        ("width", c_int), ("height", c_int), ("xoffset", c_int), ("format", c_int),
        ("data", c_void_p), ("byte_order", c_int), ("bitmap_unit", c_int),
        ("bitmap_bit_order", c_int), ("bitmap_pad", c_int), ("depth", c_int),
        ("bytes_per_line", c_int), ("bits_per_pixel", c_int),
        ("red_mask", c_ulong), ("green_mask", c_ulong), ("blue_mask", c_ulong),
    ]


class XWindowAttributes(Structure):
    _fields_ = [
        ("x", c_int), ("y", c_int), ("width", c_int), ("height", c_int),
        ("border_width", c_int), ("depth", c_int), ("visual", c_void_p), ("root", c_ulong),
        ("class_", c_int), ("bit_gravity", c_int), ("win_gravity", c_int),
        ("backing_store", c_int), ("backing_planes", c_ulong), ("backing_pixel", c_ulong),
        ("save_under", c_int), ("colormap", c_ulong), ("map_installed", c_int),
        ("map_state", c_int), ("all_event_masks", c_ulong),
        ("your_event_mask", c_ulong), ("do_not_propagate_mask", c_ulong),
        ("override_redirect", c_int), ("screen", c_void_p),
    ]


x11 = ctypes.CDLL("libX11.so.6")
xtst = ctypes.CDLL("libXtst.so.6")

x11.XOpenDisplay.restype = c_void_p
x11.XOpenDisplay.argtypes = [c_char_p]
x11.XDefaultRootWindow.restype = c_ulong
x11.XDefaultRootWindow.argtypes = [c_void_p]
x11.XGetImage.restype = POINTER(XImage)
x11.XGetImage.argtypes = [c_void_p, c_ulong, c_int, c_int, c_uint, c_uint, c_ulong, c_int]
x11.XDestroyImage.argtypes = [POINTER(XImage)]
x11.XSync.argtypes = [c_void_p, c_int]
x11.XGetGeometry.argtypes = [c_void_p, c_ulong, POINTER(c_ulong), POINTER(c_int), POINTER(c_int),
                             POINTER(c_uint), POINTER(c_uint), POINTER(c_uint), POINTER(c_uint)]
x11.XGetWindowAttributes.argtypes = [c_void_p, c_ulong, POINTER(XWindowAttributes)]
x11.XTranslateCoordinates.argtypes = [c_void_p, c_ulong, c_ulong, c_int, c_int,
                                      POINTER(c_int), POINTER(c_int), POINTER(c_ulong)]
x11.XStringToKeysym.restype = c_ulong
x11.XStringToKeysym.argtypes = [c_char_p]
x11.XKeysymToKeycode.restype = ctypes.c_ubyte
x11.XKeysymToKeycode.argtypes = [c_void_p, c_ulong]
xtst.XTestFakeKeyEvent.argtypes = [c_void_p, c_uint, c_int, c_ulong]
xtst.XTestFakeButtonEvent.argtypes = [c_void_p, c_uint, c_int, c_ulong]
xtst.XTestFakeMotionEvent.argtypes = [c_void_p, c_int, c_int, c_int, c_ulong]

ERROR_HANDLER = ctypes.CFUNCTYPE(c_int, c_void_p, c_void_p)
errors = []


class XErrorEvent(Structure):
    _fields_ = [("type", c_int), ("display", c_void_p), ("resourceid", c_ulong),
                ("serial", c_ulong), ("error_code", ctypes.c_ubyte),
                ("request_code", ctypes.c_ubyte), ("minor_code", ctypes.c_ubyte)]


def _on_error(_dpy, event):
    # Recorded and answered as "err"; the default handler would end the process.
    errors.append(ctypes.cast(event, POINTER(XErrorEvent)).contents.error_code)
    return 0


_handler = ERROR_HANDLER(_on_error)
x11.XSetErrorHandler(_handler)


def main():
    dpy = x11.XOpenDisplay(sys.argv[1].encode())
    out = sys.stdout.buffer
    if not dpy:
        out.write(b"err cannot open display\n")
        out.flush()
        return 1
    root = x11.XDefaultRootWindow(dpy)
    out.write(b"ok hello\n")
    out.flush()
    for raw in sys.stdin.buffer:
        parts = raw.decode().split()
        if not parts:
            continue
        cmd, args = parts[0], parts[1:]
        del errors[:]
        reply = b"ok"
        payload = b""
        try:
            if cmd == "quit":
                break
            if cmd == "grab":
                x, y, w, h = (int(a) for a in args)
                img = x11.XGetImage(dpy, root, x, y, w, h, c_ulong(-1).value, 2)
                x11.XSync(dpy, 0)
                if not img or errors:
                    reply = b"err XGetImage failed %r" % (errors,)
                else:
                    im = img.contents
                    payload = ctypes.string_at(im.data, im.bytes_per_line * im.height)
                    reply = b"ok %d %d %d %d %d %d %d %d" % (
                        im.width, im.height, im.bytes_per_line, im.byte_order,
                        im.bits_per_pixel, im.red_mask, im.green_mask, im.blue_mask)
                    x11.XDestroyImage(img)
            elif cmd == "geom":
                wid = int(args[0], 0)
                attrs = XWindowAttributes()
                ok = x11.XGetWindowAttributes(dpy, wid, byref(attrs))
                rx, ry, child = c_int(), c_int(), c_ulong()
                x11.XTranslateCoordinates(dpy, wid, root, 0, 0, byref(rx), byref(ry), byref(child))
                x11.XSync(dpy, 0)
                if not ok or errors:
                    reply = b"err no such window"
                else:
                    reply = b"ok %d %d %d %d %d" % (rx.value, ry.value, attrs.width, attrs.height,
                                                    attrs.map_state)
            elif cmd == "screen":
                # A round trip: the size cached in Display is stale after an xrandr change.
                rroot, gx, gy = c_ulong(), c_int(), c_int()
                gw, gh, gb, gd = c_uint(), c_uint(), c_uint(), c_uint()
                x11.XGetGeometry(dpy, root, byref(rroot), byref(gx), byref(gy), byref(gw),
                                 byref(gh), byref(gb), byref(gd))
                reply = b"ok %d %d" % (gw.value, gh.value)
            elif cmd == "key":
                xtst.XTestFakeKeyEvent(dpy, int(args[0]), int(args[1]), 0)
                x11.XSync(dpy, 0)
            elif cmd == "keysym":
                sym = x11.XStringToKeysym(args[0].encode())
                reply = b"ok %d" % (x11.XKeysymToKeycode(dpy, sym) if sym else 0)
            elif cmd == "button":
                xtst.XTestFakeButtonEvent(dpy, int(args[0]), int(args[1]), 0)
                x11.XSync(dpy, 0)
            elif cmd == "motion":
                xtst.XTestFakeMotionEvent(dpy, -1, int(args[0]), int(args[1]), 0)
                x11.XSync(dpy, 0)
            else:
                reply = b"err unknown command"
            if errors and reply.startswith(b"ok"):
                reply = b"err X error %r" % (errors,)
        except (ValueError, IndexError) as e:
            reply = b"err %s" % str(e).encode()
        out.write(reply + b"\n")
        out.write(payload)
        out.flush()
    return 0


if __name__ == "__main__":
    sys.exit(main())
