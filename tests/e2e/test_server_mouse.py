"""Server mouse mode against QEMU without a USB tablet (a PS/2 mouse: relative motion only), whose
guest (qemu_guest.c) reports on its serial port the scan codes and pointer events it receives."""
import os
import re

import qemu_guest
from harness import E2E, free_port, wait


class ServerMouse(E2E):
    def test_a_click_holds_the_pointer_motion_moves_the_guest_shift_f12_lets_go(self):
        cache = os.environ.get("E2E_CACHE_DIR") or self.env.path("cache")
        kernel, initrd = qemu_guest.build(os.path.join(cache, "qemu-guest"))
        port, serial = free_port(), self.env.path("serial.log")
        self.env.spawn(["qemu-system-x86_64", "-m", "256", "-nic", "none", "-kernel", kernel,
                        "-initrd", initrd, "-append", "quiet", "-vga", "qxl", "-display", "none",
                        "-spice", "port=%d,addr=127.0.0.1,disable-ticketing=on" % port,
                        "-serial", "file:" + serial], "qemu")
        guest = lambda: os.path.exists(serial) and open(serial).read() or ""
        wait(lambda: "Mouse" in guest(), 120, "the guest's mouse")
        v = self.env.viewer("-h", "127.0.0.1", "-p", port)
        v.wait_log("Mouse mode: server", timeout=30)
        v.wait_log("inputs channel open", timeout=30)
        v.focus()
        wait(lambda: v.screenshot().getbbox(), 30, "the guest's screen")

        # Right Ctrl, AltGr, keypad 1 (NumLock off), Pause (whose own sequence QEMU makes), then
        # Ctrl+Alt+Del as a chord: each make and break code once. One key at a time: the PS/2
        # queue is short and the guest, emulated, drains it slowly.
        raw = lambda: " ".join(re.findall(r"^key (\w\w)$", guest(), re.M))
        expected = ""
        steps = [(105, 1, "e0 1d"), (105, 0, "e0 9d"), (108, 1, "e0 38"), (108, 0, "e0 b8"), (87, 1, "4f"),
                 (87, 0, "cf"), (127, 1, "e1 1d 45 e1 9d c5"), (127, 0, ""), (37, 1, "1d"), (64, 1, "38"),
                 (119, 1, "e0 53"), (119, 0, "e0 d3"), (64, 0, "b8"), (37, 0, "9d")]
        for code, press, codes in steps:
            v.key(code, press)
            expected = (expected + " " + codes).strip()
            wait(lambda: raw().endswith(expected), 10, "the scan codes " + expected)

        root = self.env.x.screen().root
        where = lambda: (lambda p: (p.root_x, p.root_y))(root.query_pointer())
        motion = lambda: tuple(sum(map(int, re.findall(r"^rel %d (-?\d+)$" % axis, guest(), re.M)))
                               for axis in (0, 1))
        v.pointer(400, 300, 1, True)
        wait(lambda: "Shift+F12" in v.title(), 10, "the release hint in the title")
        centre = where()  # the window's centre (the window is at 0, 0), where the pointer is kept
        v.pointer(*centre, 1, False)
        moved = motion()
        v.pointer(centre[0] + 30, centre[1] + 20)
        wait(lambda: motion() == (moved[0] + 30, moved[1] + 20), 10, "the guest's pointer to move")
        wait(lambda: where() == centre, 5, "the pointer back at the window's centre")

        for code, press in ((50, True), (96, True), (96, False), (50, False)):  # Shift+F12
            v.key(code, press)
        wait(lambda: "Shift+F12" not in v.title(), 10, "the hint to leave the title")
        v.pointer(700, 500)
        self.assertEqual(where(), (700, 500))  # no longer held
