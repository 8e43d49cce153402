"""Server mouse mode against QEMU without a USB tablet (a PS/2 mouse: relative motion only), whose
guest (qemu_guest.c) reports on its serial port the scan codes and pointer events it receives."""
import os
import re
import unittest

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
        # Ctrl+Alt+Del as a chord: each make and break code once.
        keys = [(c, p) for c in (105, 108, 87, 127) for p in (True, False)]
        for code, press in keys + [(37, 1), (64, 1), (119, 1), (119, 0), (64, 0), (37, 0)]:
            v.key(code, press)
        raw = lambda: " ".join(re.findall(r"^key (\w\w)$", guest(), re.M))
        wait(lambda: raw().endswith("e0 1d e0 9d e0 38 e0 b8 4f cf e1 1d 45 e1 9d c5 "
                                    "1d 38 e0 53 e0 d3 b8 9d"), 15, "the scan codes")

        root = self.env.x.screen().root
        where = lambda: (lambda p: (p.root_x, p.root_y))(root.query_pointer())
        motion = lambda axis: sum(int(n) for n in re.findall(r"^rel %d (-?\d+)$" % axis, guest(),
                                                             re.M))
        v.pointer(400, 300, 1, True)
        v.pointer(400, 300, 1, False)
        wait(lambda: "Shift+F12" in v.title(), 10, "the release hint in the title")
        centre = where()  # the window's centre (the window is at 0, 0), where the pointer is kept
        moved = (motion(0), motion(1))
        v.pointer(centre[0] + 30, centre[1] + 20)
        wait(lambda: (motion(0), motion(1)) == (moved[0] + 30, moved[1] + 20), 10,
             "the guest's pointer to move by (30, 20)")
        wait(lambda: where() == centre, 5, "the pointer back at the window's centre")

        for code, press in ((50, True), (96, True), (96, False), (50, False)):  # Shift+F12
            v.key(code, press)
        wait(lambda: "Shift+F12" not in v.title(), 10, "the hint to leave the title")
        v.pointer(700, 500)
        self.assertEqual(where(), (700, 500))  # no longer held


if __name__ == "__main__":
    unittest.main()
