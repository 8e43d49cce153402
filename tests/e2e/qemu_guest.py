"""The tests' QEMU guest: Debian's kernel and an initramfs whose /init is qemu_guest.c, with the
PS/2 mouse and evdev modules. Built from Debian packages (apt-get download) once per build dir."""
import glob
import gzip
import os
import shutil
import subprocess
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))


def _cpio(entries):
    """A newc archive of (name, mode, data) entries, as the kernel unpacks it."""
    out = bytearray()
    for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
        fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0)
        out += b"070701" + "".join("%08X" % f for f in fields).encode() + name.encode() + b"\0"
        out += b"\0" * (-len(out) % 4) + data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)


def build(cache_dir):
    """Returns (kernel, initrd), building them into cache_dir when missing."""
    kernel, initrd = os.path.join(cache_dir, "vmlinuz"), os.path.join(cache_dir, "initrd.gz")
    if os.path.exists(kernel) and os.path.exists(initrd):
        return kernel, initrd
    os.makedirs(cache_dir, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache_dir) as tmp:
        depends = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], check=True,
                                 capture_output=True, text=True).stdout
        package = next(line.split()[-1] for line in depends.splitlines() if "Depends:" in line)
        subprocess.run(["apt-get", "download", package], cwd=tmp, check=True, capture_output=True)
        subprocess.run(["dpkg-deb", "-x", glob.glob(os.path.join(tmp, "*.deb"))[0], tmp], check=True)
        subprocess.run(["gcc", "-static", "-Os", "-o", os.path.join(tmp, "init"),
                        os.path.join(HERE, "qemu_guest.c")], check=True)
        modules = glob.glob(os.path.join(tmp, "lib/modules/*/kernel/drivers/input"))[0]
        entries = [("dev", 0o40755, b"")]
        for name, path in (("init", "init"), ("psmouse.ko", modules + "/mouse/psmouse.ko"),
                           ("evdev.ko", modules + "/evdev.ko")):
            with open(os.path.join(tmp, path), "rb") as f:
                entries.append((name, 0o100755, f.read()))
        with gzip.open(initrd + ".part", "wb") as f:
            f.write(_cpio(entries))
        shutil.copy(glob.glob(os.path.join(tmp, "boot/vmlinuz-*"))[0], kernel)
        os.replace(initrd + ".part", initrd)
    return kernel, initrd
