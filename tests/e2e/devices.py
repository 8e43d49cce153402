"""Device redirection against QEMU: a guest (device_guest.c) that reports on its serial port what it
sees of a USB CD, the shared folder's WebDAV port, its line-in and a smartcard reader; and what a
client needs to bring those in: a private PulseAudio with a tone, a CD image, a folder, an NSS
database with certificates."""
import gzip, hashlib, os, pathlib, random, re, shutil, subprocess, tempfile, time
from harness import cpio, debian_kernel, free_port, wait

# Drivers /init loads, each after what it depends on. The HDA codec driver comes before the
# controller's, whose codec probe asks for it (there is no modprobe to load it then).
MODULES = ["xhci-pci", "usb-storage", "sr_mod", "virtio_pci", "virtio_console", "snd-hda-codec-generic",
           "snd-hda-intel"]


def image():
    """(kernel, initrd), built once into E2E_CACHE_DIR/device-guest-HASH (of what goes into /init)"""
    source = os.path.join(os.path.dirname(__file__), "device_guest.c")
    key = hashlib.md5(pathlib.Path(source).read_bytes() + " ".join(MODULES).encode()).hexdigest()[:10]
    cache = os.path.join(os.environ.get("E2E_CACHE_DIR", "/tmp/e2e-cache"), "device-guest-" + key)
    kernel, initrd = os.path.join(cache, "vmlinuz"), os.path.join(cache, "initrd.gz")
    if os.path.exists(kernel) and os.path.exists(initrd):
        return kernel, initrd
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as tmp:
        vmlinuz, tree = debian_kernel(tmp)
        init = os.path.join(tmp, "init")
        subprocess.run(["gcc", "-static", "-Os", "-o", init, source, "-lm", "-lpthread"], check=True,
                       capture_output=True)
        found = {p.stem.replace("-", "_"): p for p in pathlib.Path(tree).rglob("*.ko")}
        order = []
        def add(name):  # its dependencies first, as its .modinfo names them
            path = found[name.replace("-", "_")]
            info = path.read_bytes()
            at = info.index(b"\0depends=") + 9
            for dep in filter(None, info[at:info.index(b"\0", at)].decode().split(",")):
                add(dep)
            if path not in order:
                order.append(path)
        for name in MODULES:
            add(name)
        entries = [(d, 0o40755, b"") for d in ("dev", "proc", "sys")]
        entries += [("init", 0o100755, pathlib.Path(init).read_bytes())]
        entries += [(p.name, 0o100644, p.read_bytes()) for p in order]
        entries += [("modules", 0o100644, "".join("/%s\n" % p.name for p in order).encode())]
        with gzip.open(initrd + ".part", "wb") as f:
            f.write(cpio(entries))
        shutil.copy(vmlinuz, kernel)
        os.replace(initrd + ".part", initrd)
    return kernel, initrd


class Guest:
    """QEMU (TCG) with a SPICE server on a free port (self.port) and every back end: `usbredir` USB
    redirection channels (0: a server without USB redirection), a smartcard reader (usb-ccid with
    ccid-card-passthru), the WebDAV port, HDA line-in and output on the SPICE audio back end. The
    guest GETs `get` and PUTs `put` each time the WebDAV port opens. Waits for "ready": self.boot is
    the seconds it took."""
    def __init__(self, env, usbredir=1, get="/hello.txt", put="/written.txt", timeout=120):
        kernel, initrd = image()
        self.port, self.serial = free_port(), env.path("serial-%d.log" % len(env.procs))
        usb = ["-device", "qemu-xhci,id=usb"]
        for i in range(usbredir):
            usb += ["-chardev", "spicevmc,name=usbredir,id=redir%d" % i,
                    "-device", "usb-redir,chardev=redir%d,bus=usb.0" % i]
        usb += ["-device", "usb-ccid,bus=usb.0", "-chardev", "spicevmc,name=smartcard,id=card",
                "-device", "ccid-card-passthru,chardev=card"]
        webdav = ["-device", "virtio-serial-pci", "-chardev", "spiceport,name=org.spice-space.webdav.0,id=webdav",
                  "-device", "virtserialport,chardev=webdav,name=org.spice-space.webdav.0"]
        sound = ["-audiodev", "spice,id=snd", "-device", "intel-hda", "-device", "hda-duplex,audiodev=snd,mixer=off"]
        started = time.monotonic()
        self.proc = env.spawn(["qemu-system-x86_64", "-m", "256", "-nic", "none", "-kernel", kernel, "-initrd", initrd,
                               "-append", "quiet devtest.get=%s devtest.put=%s" % (get, put), "-vga", "qxl",
                               "-display", "none", "-spice", "port=%d,addr=127.0.0.1,disable-ticketing=on" % self.port,
                               "-serial", "file:" + self.serial] + usb + webdav + sound, "qemu")
        self.wait(r"^ready$", timeout)
        self.boot = time.monotonic() - started

    def lines(self):  # whole lines so far
        text = os.path.exists(self.serial) and pathlib.Path(self.serial).read_text(errors="replace") or ""
        return text.split("\n")[:-1]

    def mark(self):  # for wait(..., since=mark()): only what the guest says from now on
        return len(self.lines())

    def wait(self, regex, timeout=30, since=0):
        """The match of `regex` in a line the guest said after the `since`th"""
        def said():
            ended = self.proc.poll() is not None
            if m := next(filter(None, (re.search(regex, l) for l in self.lines()[since:])), None):
                return m
            assert not ended, "QEMU ended (%s); see %s" % (self.proc.returncode, self.proc.log)
        return wait(said, timeout, "%r from the guest" % regex)


class Pulse:
    """A private PulseAudio in its own runtime folder: a null sink with a sine playing into it, the
    sink's monitor the default source (where a client records from). self.env: what a client needs."""
    def __init__(self, env, frequency=440):
        run = env.mkdir("pulse-%d" % len(env.procs))
        sock, script = os.path.join(run, "native"), os.path.join(run, "default.pa")
        pathlib.Path(script).write_text(  # the socket last: once it is there, the rest is done
            "load-module module-null-sink sink_name=tone rate=48000 channels=2\n"
            "load-module module-sine sink=tone frequency=%d\n"
            "set-default-source tone.monitor\n"
            "load-module module-native-protocol-unix socket=%s auth-anonymous=1\n" % (frequency, sock))
        self.proc = env.spawn(["pulseaudio", "-n", "-F", script, "--daemonize=no", "--exit-idle-time=-1",
                               "--disallow-exit", "--use-pid-file=no", "--disable-shm=yes"], "pulse",
                              env=dict(HOME=run, XDG_RUNTIME_DIR=run, PULSE_RUNTIME_PATH=run))
        wait(lambda: os.path.exists(sock) or self.proc.poll() is not None, 20, "PulseAudio")
        assert self.proc.poll() is None, "PulseAudio ended; see " + self.proc.log
        self.env = dict(PULSE_SERVER="unix:" + sock)


def md5(data): return hashlib.md5(data).hexdigest()


def cd_image(path, size=3 << 20, seed=0):
    """A file of `size` random bytes (whole 2048-byte sectors) as a CD image; its md5"""
    assert size % 2048 == 0
    data = random.Random(seed).randbytes(size)
    pathlib.Path(path).write_bytes(data)
    return md5(data)


def folder(path, files):
    """A folder holding `files` ({name: bytes}); its path"""
    os.makedirs(path, exist_ok=True)
    for name, data in files.items():
        pathlib.Path(path, name).write_bytes(data)
    return path


def nss_db(path, names=("alice", "bob", "carol")):
    """An NSS database holding a self-signed certificate (and its key) per name; "sql:PATH" """
    os.makedirs(path, exist_ok=True)
    certutil = lambda *args: subprocess.run(["certutil", "-d", "sql:" + path] + list(args), check=True,
                                            capture_output=True)
    certutil("-N", "--empty-password")
    noise = os.path.join(path, "noise")
    for name in names:
        pathlib.Path(noise).write_bytes(os.urandom(64))
        certutil("-S", "-n", name, "-s", "CN=" + name, "-x", "-t", "CT,CT,CT", "-k", "rsa", "-g", "2048", "-z", noise)
    os.unlink(noise)
    return "sql:" + path
