"""The user's devices in a QEMU guest (device_guest.c reports what it sees): a CD image, a shared
folder, the microphone and a software smartcard; the devices menu and the hotkeys that change them."""
import os, pathlib, signal
from devices import Guest, Pulse, cd_image, folder, md5, nss_db
from harness import E2E, wait
from Xlib import X

SHIFT, F7, F8, F9, ESCAPE = 50, 73, 74, 75, 9
HELLO = b"read through the shared folder\n"


def connection_file(env, guest, *lines):
    path = env.path("console-%d.vv" % guest.port)
    pathlib.Path(path).write_text("\n".join(["[virt-viewer]", "type=spice", "host=127.0.0.1",
                                             "port=%d" % guest.port] + list(lines)) + "\n")
    return path


def chord(v, *keys):
    [v.key(k) for k in keys]
    [v.key(k, False) for k in reversed(keys)]


def recorded(guest, since, windows=4):  # what the guest reports of its next recording windows
    audio = lambda: [l for l in guest.lines()[since:] if l.startswith("audio ") and "capture" not in l]
    wait(lambda: len(audio()) >= windows, 30, "%d windows of the guest's recording" % windows)
    return set(audio())


def devices_menu(v, then=""):  # opens the keys menu, its devices menu, and types `then` there
    since, windows = len(v.log.splitlines()), len(v.windows())
    v.focus()
    chord(v, SHIFT, F9)
    v.wait_log("Menu of keys open", since)
    v.type("d")
    shown = v.wait_log(r"Devices menu: (.*)", since)[1]
    wait(lambda: len(v.windows()) >= windows + 2, 15, "the devices menu on the screen")  # it has the keys
    if then:
        v.type(then)  # the entry's action closes both menus
    else:
        chord(v, ESCAPE), chord(v, ESCAPE)
    return shown


class Devices(E2E):
    def test_cd_folder_microphone_and_card_reach_the_guest(self):
        pulse, guest = Pulse(self.env), Guest(self.env)
        iso = self.env.path("disc.iso")
        disc = cd_image(iso)
        shared = folder(self.env.path("shared"), {"hello.txt": HELLO})
        db = nss_db(self.env.path("db"))[len("sql:"):]
        args = (connection_file(self.env, guest, "enable-smartcard=1"), "--share-cd", iso, "--share-dir", shared,
                "--smartcard-db", db, "--smartcard-certs", "alice,bob,carol")
        since = guest.mark()
        v = self.env.viewer(*args, env=pulse.env)
        with self.subTest("each device is in the guest: the CD's bytes, the folder, 440 Hz, the card"):
            self.assertEqual(guest.wait(r"^cd present \d+ (\w+)$", 60, since)[1], disc)
            self.assertEqual(guest.wait(r"^webdav get (\d+) (\w+)$", 30, since).groups(), ("200", md5(HELLO)))
            guest.wait(r"^webdav put 201$", 30, since)
            self.assertTrue(os.path.exists(os.path.join(shared, "written.txt")))
            # A whole window of the tone at 440 Hz, within 10 (the first holds its start; on a loaded
            # machine a window may hold a gap in the stream, and count wrong)
            guest.wait(r"^audio (43[1-9]|44\d) [1-9]\d{4,}$", 30, since)
            guest.wait(r"^card present [0-9a-f]{8,}$", 30, since)
            v.wait_log(r"Device sign: ● Microphone on  ·  Smartcard in use|Device sign: Smartcard in use  ·")
        with self.subTest("the smartcard hotkeys remove and insert the card"):
            v.focus()
            since = guest.mark()
            chord(v, SHIFT, F8)
            guest.wait(r"^card absent$", 15, since)
            chord(v, SHIFT, F7)
            guest.wait(r"^card present [0-9a-f]{8,}$", 15, since)
        with self.subTest("the menu's switch leaves the guest recording silence"):
            self.assertIn("[x] Microphone", devices_menu(v, "m"))
            v.wait_log("Microphone turned off from the menu")
            guest.wait(r"^audio 0 0$", 15, guest.mark())  # the windows in flight have passed
            self.assertEqual(recorded(guest, guest.mark()), {"audio 0 0"})
        with self.subTest("a new connection process shares the CD again"):
            since = guest.mark()
            os.kill(v.child(), signal.SIGKILL)
            guest.wait(r"^cd gone$", 15, since)
            self.env.viewer(*args, env=pulse.env)  # a later start: it hands over and the window reconnects
            self.assertEqual(guest.wait(r"^cd present \d+ (\w+)$", 60, since)[1], disc)
        with self.subTest("the menu ejects the CD"):
            self.assertIn("[x] Eject CD image disc.iso", devices_menu(v, "e"))
            guest.wait(r"^cd gone$", 15, since)
        with self.subTest("a CD image chosen in the menu's dialog comes through a new connection process"):
            second = self.env.path("second.iso")
            disc = cd_image(second, 1 << 20, seed=1)
            since = guest.mark()
            devices_menu(v, "c")
            name = lambda w: w.get_full_property(v.x.intern_atom("_NET_WM_NAME"), 0)
            dialog = wait(lambda: [w for w in v.windows() if (p := name(w)) and p.value == b"Share a CD image"],
                          15, "the file dialog")[0]
            dialog.set_input_focus(X.RevertToParent, X.CurrentTime)
            v.type(second + "\r")
            v.wait_log("A new connection process, which may open what was just chosen")
            self.assertEqual(guest.wait(r"^cd present \d+ (\w+)$", 60, since)[1], disc)

    def test_without_usb_redirection_read_only_folder_no_microphone(self):
        pulse, guest = Pulse(self.env), Guest(self.env, usbredir=0)
        iso = self.env.path("disc.iso")
        cd_image(iso, 2048)
        shared = folder(self.env.path("shared"), {"hello.txt": HELLO})
        since = guest.mark()
        v = self.env.viewer(connection_file(self.env, guest, "usb-filter=0x03,-1"), "--share-dir-ro", shared,
                            "--share-cd", iso, "--no-microphone", env=pulse.env)
        guest.wait(r"^webdav get 200 ", 30, since)
        guest.wait(r"^webdav put 403$", 30, since)
        self.assertFalse(os.path.exists(os.path.join(shared, "written.txt")))
        v.wait_log(r"\[ERROR\] Cannot redirect disc.iso: the remote machine offers no USB redirection")
        shown = devices_menu(v)
        for words in ["The USB filter of %s is not valid" % self.env.path("console-%d.vv" % guest.port),
                      "The remote machine offers no USB redirection (disabled)", "[ ] Microphone"]:
            self.assertIn(words, shown)
        # The recording channel opened and was let go at once: the guest records silence.
        v.wait_log("Microphone off: the remote machine's recording channel is let go", timeout=30)
        self.assertEqual(recorded(guest, guest.mark()), {"audio 0 0"})
        self.assertEqual(v.count("Microphone on"), 0)
