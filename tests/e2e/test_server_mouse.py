"""Server mouse mode against QEMU without a USB tablet (PS/2: relative motion only); the guest
(qemu_guest.c) reports on its serial port the scan codes and pointer events it receives."""
import gzip, os, pathlib, re, shutil, subprocess, tempfile
from harness import E2E, cpio, debian_kernel, free_port, wait


def guest(cache):
    """(kernel, initrd): Debian's kernel, /init from qemu_guest.c, the PS/2 mouse and evdev modules."""
    kernel, initrd = os.path.join(cache, "vmlinuz"), os.path.join(cache, "initrd.gz")
    if os.path.exists(kernel) and os.path.exists(initrd):
        return kernel, initrd
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as tmp:
        vmlinuz, modules = debian_kernel(tmp)
        subprocess.run(["gcc", "-static", "-Os", "-o", "init", os.path.join(os.path.dirname(__file__), "qemu_guest.c")],
                       cwd=tmp, check=True, capture_output=True)
        files = {"init": "init", "psmouse.ko": modules + "/drivers/input/mouse/psmouse.ko",
                 "evdev.ko": modules + "/drivers/input/evdev.ko"}
        entries = [("dev", 0o40755, b"")]
        entries += [(name, 0o100755, pathlib.Path(tmp, path).read_bytes()) for name, path in files.items()]
        with gzip.open(initrd + ".part", "wb") as f:
            f.write(cpio(entries))
        shutil.copy(vmlinuz, kernel)
        os.replace(initrd + ".part", initrd)
    return kernel, initrd


class ServerMouse(E2E):
    def test_a_click_holds_the_pointer_motion_moves_the_guest_shift_f12_lets_go(self):
        kernel, initrd = guest(os.path.join(os.environ.get("E2E_CACHE_DIR", "/tmp/e2e-cache"), "qemu-guest"))
        port, serial = free_port(), self.env.path("serial.log")
        self.env.spawn(["qemu-system-x86_64", "-m", "256", "-nic", "none", "-kernel", kernel,
                        "-initrd", initrd, "-append", "quiet", "-vga", "qxl", "-display", "none",
                        "-spice", "port=%d,addr=127.0.0.1,disable-ticketing=on" % port,
                        "-serial", "file:" + serial], "qemu")
        said = lambda: os.path.exists(serial) and open(serial).read() or ""
        wait(lambda: "Mouse" in said(), 120, "the guest's mouse")
        v = self.env.viewer("-h", "127.0.0.1", "-p", port)
        v.wait_log("Mouse mode: server", timeout=30)
        v.wait_log("inputs channel open", timeout=30)
        v.focus()
        wait(lambda: v.screenshot().getbbox(), 30, "the guest's screen")
        # Right Ctrl, AltGr, keypad 1 (NumLock off), Pause (whose own sequence QEMU makes), then
        # Ctrl+Alt+Del as a chord: each make and break code once. One key at a time: the PS/2
        # queue is short and the guest, emulated, drains it slowly.
        raw = lambda: " ".join(re.findall(r"^key (\w\w)$", said(), re.M))
        expected = ""
        steps = [(105, 1, "e0 1d"), (105, 0, "e0 9d"), (108, 1, "e0 38"), (108, 0, "e0 b8"), (87, 1, "4f"),
                 (87, 0, "cf"), (127, 1, "e1 1d 45 e1 9d c5"), (127, 0, ""), (37, 1, "1d"), (64, 1, "38"),
                 (119, 1, "e0 53"), (119, 0, "e0 d3"), (64, 0, "b8"), (37, 0, "9d")]
        for code, press, codes in steps:
            v.key(code, press)
            expected = (expected + " " + codes).strip()
            wait(lambda: raw().endswith(expected), 10, "the scan codes " + expected)
        # The menu (Shift+F9: its Shift goes out, then is let go) sends Ctrl+Alt+F1 and Print Screen
        # as the physical keys would (QEMU's keyboard breaks Print as e0 aa e0 b7).
        for downs, codes in ((2, "1d 38 3b bb b8 9d"), (14, "e0 2a e0 37 e0 aa e0 b7")):
            for code, press in [(50, 1), (75, 1), (75, 0), (50, 0)] + [(116, 1), (116, 0)] * downs + [(36, 1)]:
                v.key(code, press)
            v.key(36, 0)
            expected += " 2a aa " + codes
            wait(lambda: raw().endswith(expected), 10, "the scan codes " + expected)
        # No hotkey's own key reaches the guest, nothing held: release-cursor, the menu (closed with
        # Escape), secure attention (which sends Ctrl+Alt+Del of its own); full screen's in client mode.
        n = len(raw().split())
        for keys in ([50, 96], [50, 75], [37, 64, 115]):
            menus = v.count("Menu of keys open")
            [v.key(k) for k in keys] + [v.key(k, False) for k in reversed(keys)]
            if keys[-1] == 75:
                wait(lambda: v.count("Menu of keys open") > menus, what="the menu")
                v.key(9), v.key(9, False)
        v.key(38), v.key(38, False)  # a sentinel: A
        wait(lambda: raw().endswith("1e 9e"), 10, "the sentinel")
        sent = raw().split()[n:]
        pairs = {a + " " + b for a, b in zip(sent, sent[1:])}  # F12, F9 and End, made or broken
        self.assertFalse({"58", "d8", "43", "c3"} & set(sent) or {"e0 4f", "e0 cf"} & pairs, sent)
        self.assertIn("e0 53 e0 d3", " ".join(sent))  # secure attention's Del
        expected = raw()
        root = self.env.x.screen().root
        where = lambda: (lambda p: (p.root_x, p.root_y))(root.query_pointer())
        motion = lambda: tuple(sum(map(int, re.findall(r"^rel %d (-?\d+)$" % axis, said(), re.M)))
                               for axis in (0, 1))
        hint = "SpiceViewer (Press Shift+F12 to release pointer)"
        self.assertEqual(v.title(), "SpiceViewer")
        v.pointer(400, 300, 1, True)
        wait(lambda: v.title() == hint, 10, "the release hint after the name in the title")
        centre = where()  # the window's centre (the window is at 0, 0), where the pointer is kept
        v.pointer(*centre, 1, False)
        moved = motion()
        v.pointer(centre[0] + 30, centre[1] + 20)
        wait(lambda: motion() == (moved[0] + 30, moved[1] + 20), 10, "the guest's pointer to move")
        wait(lambda: where() == centre, 5, "the pointer back at the window's centre")
        for code, press in ((50, True), (96, True), (96, False), (50, False)):  # Shift+F12
            v.key(code, press)
        wait(lambda: v.title() == "SpiceViewer", 10, "the hint to leave the title, the name to stay")
        v.pointer(700, 500)
        self.assertEqual(where(), (700, 500))  # no longer held
