"""The viewer on a private Xvfb against Xspice, each test in its own TMPDIR; processes killed by PID."""
import collections, contextlib, ctypes, os, pathlib, pwd, re, select, shutil, signal, socket
import subprocess, tempfile, threading, time, unittest
from PIL import Image, ImageChops, ImageStat
from Xlib import X, Xatom, display as xdisplay
from Xlib.error import XError
from Xlib.ext import xtest
from Xlib.protocol.event import ClientMessage, SelectionNotify

TEMPLATE, TWMRC = (os.path.join(os.path.dirname(__file__), "..", "..", "scripts", f)
                   for f in ("xspice.conf.in", "demo.twmrc"))
REPORT = re.compile(r"CRITICAL|ERROR: \w+Sanitizer|runtime error:")  # fails the test
BARS = [0xFFFFFF, 0xFFFF00, 0x00FFFF, 0x00FF00, 0xFF00FF, 0xFF0000, 0x0000FF, 0x202020]
CERTS = """k='-newkey rsa:2048 -nodes -days 2'
openssl req -x509 $k -subj /CN=e2e-ca -keyout ca-key.pem -out ca-cert.pem
openssl req -x509 $k -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 \\
  -addext basicConstraints=CA:FALSE -CA ca-cert.pem -CAkey ca-key.pem -keyout server-key.pem \\
  -out server-cert.pem"""
# X keycodes Xspice gives the letters (set-1 scancode + 8)
KC = {c: k + i for row, k in (("qwertyuiop", 24), ("asdfghjkl", 38), ("zxcvbnm", 52))
      for i, c in enumerate(row)}

def wait(pred, timeout=15, what="condition"):
    end = time.monotonic() + timeout
    while not (value := pred()):
        if time.monotonic() > end:
            raise AssertionError("timed out after %ss waiting for %s" % (timeout, what))
        time.sleep(0.02)
    return value

def user_namespaces():  # whether this environment makes them (a chroot, for one, does not)
    return subprocess.run(["unshare", "-U", "true"], capture_output=True).returncode == 0


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]

def stop(p, sig=signal.SIGTERM):
    if p.poll() is None:
        p.send_signal(sig)
        with contextlib.suppress(subprocess.TimeoutExpired):
            return p.wait(5)
        p.kill()
    p.stdout and p.stdout.close()
    return p.wait()

def grab(window):
    g = window.get_geometry()
    data = window.get_image(0, 0, g.width, g.height, X.ZPixmap, 0xFFFFFFFF).data
    return Image.frombytes("RGB", (g.width, g.height), data, "raw", "BGRX")

def letterbox(window, screen):  # (mean difference in the centred aspect-kept box, bars black, box)
    (ww, wh), (sw, sh) = window.size, screen.size
    s = min(ww / sw, wh / sh)
    pw, ph = round(sw * s), round(sh * s)
    box = ((ww - pw) // 2, (wh - ph) // 2, (ww - pw) // 2 + pw, (wh - ph) // 2 + ph)
    diff = ImageChops.difference(window.crop(box), screen.resize((pw, ph), Image.BOX))
    bars = window.copy()
    bars.paste((0, 0, 0), box)
    return sum(ImageStat.Stat(diff).mean) / 3, bars.getbbox() is None, box

class Env:
    """One test's world: its TMPDIR, the viewer's Xvfb and every process it started."""
    def __init__(self, name):
        self.name, self.procs, self.socks, self.viewers = name, [], [], []
        self.dir = tempfile.mkdtemp(prefix="e2e-", dir="/tmp")  # short: socket paths < 108
        self.base = {k: v for k, v in os.environ.items() if k in ("PATH", "LANG", "USER")}
        self.base.update(TMPDIR=self.dir, HOME=self.dir, XDG_RUNTIME_DIR=self.mkdir("run"),
                         LC_ALL="C.UTF-8", QT_QPA_PLATFORM="xcb", ASAN_OPTIONS="detect_leaks=0")
        self.display = self.xserver(["Xvfb", "-screen", "0", "1280x1024x24", "-ac"], "xvfb")
        self.x = xdisplay.Display(self.display)
    def path(self, *parts): return os.path.join(self.dir, *parts)
    def window_manager(self, name="openbox", display=None):  # on a display, once it manages the screen
        # openbox carries out the full-screen state (EWMH); twm knows nothing of it
        argv, mark = {"openbox": (["--sm-disable", "--config-file", "/etc/xdg/openbox/rc.xml"],
                                  "_NET_SUPPORTING_WM_CHECK"),
                      "twm": (["-f", TWMRC], "_MIT_PRIORITY_COLORS")}[name]
        p = self.spawn([name] + argv, name, env=dict(DISPLAY=display or self.display))
        x = xdisplay.Display(display) if display else self.x
        atom = x.intern_atom(mark)
        wait(lambda: x.screen().root.get_full_property(atom, X.AnyPropertyType), 15, name)
        x is self.x or x.close()
        return p
    def openbox(self, display=None): return self.window_manager("openbox", display)
    def viewer(self, *args, **kw): return Viewer(self, args, **kw)
    def xspice(self, *args, **kw): return Xspice(self, *args, **kw)
    def run(self, *args, timeout=30, **kw):  # a start that ends by itself: (status, output)
        v = self.viewer(*args, name="run", **kw)
        wait(lambda: v.p.poll() is not None, timeout, "the start to end")
        return v.p.returncode, v.log
    def mkdir(self, name, user=None):
        os.makedirs(path := self.path(name), 0o700, exist_ok=True)
        os.chown(path, user.pw_uid if user else -1, user.pw_gid if user else -1)
        return path
    def spawn(self, argv, name, env=None, stdout=None, fds=(), stdin=subprocess.DEVNULL):
        """Starts argv with output to NAME.log; `env` adds to (a None value: removes from) base."""
        env = {k: v for k, v in dict(self.base, **(env or {})).items() if v is not None}
        with open(self.path(name + ".log"), "ab") as log:  # own session; PR_SET_PDEATHSIG: dies with us
            p = subprocess.Popen([str(a) for a in argv], stdin=stdin, stdout=stdout or log,
                                 stderr=log, env=env, cwd=self.dir, pass_fds=fds, start_new_session=True,
                                 preexec_fn=lambda: ctypes.CDLL(None).prctl(1, signal.SIGKILL))
        p.log = log.name
        self.procs.append(p)
        return p
    def xserver(self, argv, name):  # on a display number it picks itself: ":N"
        r, w = os.pipe()
        p = self.spawn(argv + ["-displayfd", w, "-noreset", "-nolisten", "tcp"], name, fds=(w,))
        os.close(w)
        with os.fdopen(r) as f:  # written once the server accepts clients
            number = select.select([f], [], [], 20)[0] and f.readline().strip()
        if not number:
            raise AssertionError("%s did not start; see %s" % (name, p.log))
        return ":" + number
    def user(self, name="spicetest"):  # created when missing; may write into this TMPDIR
        if subprocess.run(["id", name], capture_output=True).returncode:
            subprocess.run(["useradd", "-M", "-s", "/usr/sbin/nologin", name], check=True)
        os.chmod(self.dir, 0o1777)
        return pwd.getpwnam(name)
    def close(self, failed):
        self.x.close()
        [s.close() for s in self.socks]
        [stop(p) for p in reversed(self.procs)]
        if failed and (logs := os.environ.get("E2E_LOG_DIR")):
            shutil.copytree(self.dir, os.path.join(logs, self.name + time.strftime("-%H%M%S")),
                            ignore=lambda d, names: [n for n in names if not n.endswith(".log")])
        shutil.rmtree(self.dir, ignore_errors=True)

class Xspice:
    """Xorg + spiceqxl; tls: a private CA and a certificate for 127.0.0.1 in x509_dir."""
    def __init__(self, env, width=1024, height=768, password=None, tls=False, audio=False, agent=False, heads=1):
        self.env, self.port, n = env, free_port(), len(env.procs)
        self.tls_port, self.x509_dir = (free_port(), env.mkdir("x509-%d" % n)) if tls else (0, 0)
        self.fifo_dir = env.mkdir("fifo-%d" % n) if audio else None
        opts = [("SpicePassword", password) if password else ("SpiceDisableTicketing", "True")]
        if tls:
            opts += [("SpiceTlsPort", self.tls_port), ("SpiceX509Dir", self.x509_dir)]
            subprocess.run(["sh", "-ec", CERTS], cwd=self.x509_dir, check=True, capture_output=True)
        if agent:  # the guest agent, its copied files in self.files
            vd = {k: env.path("vd%d-%s" % (n, k)) for k in ("virtio", "uinput", "sock")}
            opts += [("SpiceVdagentEnabled", "True"), ("SpiceVdagentVirtioPath", vd["virtio"]),
                     ("SpiceVdagentUinputPath", vd["uinput"]), ("SpiceVdagentUid", os.getuid()),
                     ("SpiceVdagentGid", os.getgid())]
        with open(TEMPLATE) as f:
            text = "".join(l for l in f if audio or "@FIFO_DIR@" not in l)
        text = text.replace('Option "SpiceDisableTicketing" "True"',
                            "\n  ".join('Option "%s" "%s"' % o for o in opts))
        text = text.replace('"NumHeads" "1"', '"NumHeads" "%d"' % heads)
        values = dict(PORT=self.port, WIDTH=width, HEIGHT=height, FIFO_DIR=self.fifo_dir)
        text = re.sub(r"@(\w+)@", lambda m: str(values[m.group(1)]), text)
        self.conf, self.confdir = env.path("xspice-%d.conf" % n), env.mkdir("xspice-%d.d" % n)
        pathlib.Path(self.conf).write_text(text)
        pathlib.Path(self.confdir, "empty.conf").touch()  # else the system's is read
        self.start()
        if agent:
            self.files = env.mkdir("files-%d" % n)
            wait(lambda: os.path.exists(vd["virtio"]), what="the agent's virtio socket")
            self.relay = AgentRelay(env, vd["virtio"], env.path("agent-relay-%d.log" % n))
            env.spawn(["spice-vdagentd", "-d", "-f", "-x", "-X", "-S", vd["sock"], "-s", self.relay.path, "-u",
                       vd["uinput"]], "vdagentd")
            wait(lambda: os.path.exists(vd["sock"]), what="spice-vdagentd")
            self.agent = env.spawn(["spice-vdagent", "-d", "-x", "-s", vd["virtio"], "-S", vd["sock"], "-f",
                                    self.files, "-o", "0"], "vdagent", env=dict(DISPLAY=self.display))
    def start(self):  # again on the same port after kill()
        self.display = self.env.xserver(["Xorg", "-config", self.conf, "-configdir", self.confdir, "-logfile",
                                         self.env.path("xorg-%d.log" % len(self.env.procs))], "xspice")
        self.proc = self.env.procs[-1]  # listening on its port too by now
    def kill(self, sig=signal.SIGKILL):
        stop(self.proc, sig)
        files = [f % self.display[1:] for f in ("/tmp/.X%s-lock", "/tmp/.X11-unix/X%s")]
        [os.unlink(f) for f in files if os.path.exists(f)]  # a killed server leaves them behind
    def screenshot(self):
        with contextlib.closing(xdisplay.Display(self.display)) as d:
            return grab(d.screen().root)

class AgentRelay:
    """Between Xspice's agent socket and spice-vdagentd, which drops every monitors configuration
    that carries physical sizes (as spice-client-glib always sends it): strips them, passes every
    other byte unchanged. self.configs: (time, [(w, h, x, y), ...]) per configuration, 0x0 off."""
    def __init__(self, env, upstream, log):
        self.upstream, self.path, self.configs, self.log = upstream, upstream + "-relay", [], log
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.bind(self.path)
        self.sock.listen()
        env.socks.append(self.sock)
        threading.Thread(target=self._accept, args=(env.socks,), daemon=True).start()
    def _accept(self, socks):
        with contextlib.suppress(OSError):
            while True:
                socks.append(c := self.sock.accept()[0])
                socks.append(u := socket.socket(socket.AF_UNIX))
                u.connect(self.upstream)
                threading.Thread(target=_pump, args=(c, u, True), daemon=True).start()
                threading.Thread(target=self._rewrite, args=(u, c), daemon=True).start()
    def _rewrite(self, a, b):  # chunks: port, size, data; a message (20-byte header) may span chunks
        buf, left = b"", {}
        with _ends(a, b, True):
            while data := a.recv(1 << 16):
                buf += data
                out = []
                while len(buf) >= 8 and len(buf) >= 8 + (size := int.from_bytes(buf[4:8], "little")):
                    port, chunk, buf = buf[:4], buf[8:8 + size], buf[8 + size:]
                    if not left.get(port) and len(chunk) >= 20:
                        kind, length = int.from_bytes(chunk[4:8], "little"), int.from_bytes(chunk[16:20], "little")
                        left[port] = 20 + length
                        if kind == 2 and len(chunk) == 20 + length:  # VD_AGENT_MONITORS_CONFIG, whole
                            chunk = self._strip(chunk)
                            left[port] = len(chunk)
                    left[port] = max(left.get(port, 0) - len(chunk), 0)
                    out.append(port + len(chunk).to_bytes(4, "little") + chunk)
                b.sendall(b"".join(out))
    def _strip(self, msg):
        n, flags = int.from_bytes(msg[20:24], "little"), int.from_bytes(msg[24:28], "little")
        mons = [[int.from_bytes(msg[28 + 20 * i + 4 * j:32 + 20 * i + 4 * j], "little", signed=True)
                 for j in range(5)] for i in range(n)]  # height, width, depth, x, y
        self.configs.append((time.monotonic(), [(w, h, x, y) for h, w, _, x, y in mons]))
        with open(self.log, "a") as f:  # kept with a failed test's logs
            f.write("%.3f flags %d %s\n" % (self.configs[-1][0], flags, [m for m in self.configs[-1][1] if m[0]]))
        if not flags & 2:  # VD_AGENT_CONFIG_MONITORS_FLAG_PHYSICAL_SIZE
            return msg
        body = msg[20:24] + (flags & ~2).to_bytes(4, "little") + msg[28:28 + 20 * n]
        return msg[:16] + len(body).to_bytes(4, "little") + body
    def monitors(self, since=0):  # the configurations asked for since the `since`th
        return [c[1] for c in self.configs[since:]]

class Recorder(threading.Thread):
    """Paints the server's screen; records ("key", k, press), ("button", n, x, y, press), ("motion", x, y)"""
    def __init__(self, server):
        super().__init__(daemon=True)
        self.d, self.events = xdisplay.Display(server.display), []
        s = self.d.screen()
        self.size = w, h = s.width_in_pixels, s.height_in_pixels
        pm, self.win = s.root.create_pixmap(w, h, s.root_depth), s.root
        gc = pm.create_gc()
        for i in range(w):
            gc.change(foreground=BARS[i * 8 // w])
            pm.fill_rectangle(gc, i, 0, 1, h * 2 // 3)
            gc.change(foreground=i * 255 // w * 0x10101)
            pm.fill_rectangle(gc, i, h * 2 // 3, 1, h - h * 2 // 3)
        mask = X.KeyPressMask | X.KeyReleaseMask | X.ButtonPressMask | X.ButtonReleaseMask
        self.win.change_attributes(background_pixmap=pm, event_mask=mask | X.PointerMotionMask)
        self.win.clear_area()
        self.win.set_input_focus(X.RevertToParent, X.CurrentTime)
        self.win.warp_pointer(1, 1)  # away from the centre, where a client's first click goes
        self.d.sync()
        self.start()
    def run(self):
        with contextlib.suppress(Exception):  # until the server goes away
            while e := self.d.next_event():
                press = e.type in (X.KeyPress, X.ButtonPress)
                if e.type in (X.KeyPress, X.KeyRelease):
                    self.events.append(("key", e.detail, press))
                elif e.type in (X.ButtonPress, X.ButtonRelease):
                    self.events.append(("button", e.detail, e.root_x, e.root_y, press))
                elif e.type == X.MotionNotify:
                    self.events.append(("motion", e.root_x, e.root_y))
    def keys(self, code, press=True, since=0):
        return self.events[since:].count(("key", code, press))
    def wait_key(self, code, press=True, since=0, timeout=15):
        wait(lambda: self.keys(code, press, since), timeout, "key %d %s" % (code, press))
    def wait_event(self, event, since=0, timeout=15):
        wait(lambda: event in self.events[since:], timeout, str(event))

class Viewer:
    """The binary on the test's Xvfb, its output in a log; XTEST input into its window."""
    def __init__(self, world, args, asan=False, user=None, env=None, name="viewer", stdin=subprocess.DEVNULL,
                 display=None):  # another X server than the test's Xvfb: its name
        exe = os.environ.get("SPICE_CLIENT_ASAN" if asan else "SPICE_CLIENT")
        if not exe:
            raise unittest.SkipTest("SPICE_CLIENT%s is not set" % ("_ASAN" if asan else ""))
        argv = [exe] + list(args)
        if user:
            argv = ["setpriv", "--reuid=%d" % user.pw_uid, "--regid=%d" % user.pw_gid,
                    "--init-groups", "--pdeathsig", "KILL", "--"] + argv
        self.x = xdisplay.Display(display) if display else world.x
        world.viewers.append(self)
        self.p = world.spawn(argv, "%s-%d" % (name, len(world.procs)),
                             dict({"DISPLAY": display or world.display}, **(env or {})), stdin=stdin)
        self.pid = self.p.pid
    log = property(lambda self: pathlib.Path(self.p.log).read_text(encoding="utf-8", errors="replace"))
    def count(self, text): return sum(text in line for line in self.log.splitlines())
    def wait_log(self, regex, since=0, timeout=15):
        def found():
            m = re.search(regex, "\n".join(self.log.splitlines()[since:]))
            if not m and self.p.poll() is not None:
                raise AssertionError("viewer ended before %r:\n%s" % (regex, self.log))
            return m
        return wait(found, timeout, "%r in the viewer's log" % regex)
    def stop(self, sig=signal.SIGTERM): return stop(self.p, sig)
    def child(self, timeout=15):  # the connection process it runs now
        def find():
            for task in os.listdir("/proc/%d/task" % self.pid):  # threads and children may go meanwhile
                with contextlib.suppress(OSError):
                    for pid in pathlib.Path("/proc/%d/task/%s/children" % (self.pid, task)).read_text().split():
                        if b"--connection-process" in pathlib.Path("/proc/%s/cmdline" % pid).read_bytes():
                            return int(pid)
        return wait(find, timeout, "the connection process")
    faulty_children = False  # a connection process may report what it could not read, and die of it
    def check(self):
        child = re.compile(r"\(spice-client:(?!%d\))\d+\)" % self.pid)
        bad = [line for line in self.log.splitlines()
               if REPORT.search(line) and not (self.faulty_children and child.search(line))]
        assert not bad, "viewer %d reported:\n%s" % (self.pid, "\n".join(bad[:20]))
    def windows(self):  # mapped top-level windows
        def pid(w):
            with contextlib.suppress(XError):  # gone meanwhile: None
                p = w.get_full_property(self.x.intern_atom("_NET_WM_PID"), Xatom.CARDINAL)
                return p and w.get_attributes().map_state == X.IsViewable and p.value[0]
        root = self.x.screen().root  # a window manager lists its clients (a gone one: a stale list); the tops
        managed = root.get_full_property(self.x.intern_atom("_NET_CLIENT_LIST"), Xatom.WINDOW)
        tops = [self.x.create_resource_object("window", w) for w in managed.value] if managed else []
        return [w for w in tops + root.query_tree().children if pid(w) == self.pid]
    def window(self): return wait(self.windows, 15, "the viewer's window")[0]
    def screenshot(self): return grab(self.window())
    def wait_picture(self, server, within=1, timeout=15):  # letterbox() once it matches
        def shown():
            lb = letterbox(self.screenshot(), server.screenshot())
            return lb[0] < within and lb
        return wait(shown, timeout, "the server's picture in the window")
    def title(self):
        return self.window().get_full_property(self.x.intern_atom("_NET_WM_NAME"), 0).value.decode()
    def focus(self):
        self.window().set_input_focus(X.RevertToParent, X.CurrentTime)
        self.x.sync()
    def close(self, window=None):  # as a window manager's close button asks
        w, atom = window or self.window(), self.x.intern_atom
        w.send_event(ClientMessage(window=w, client_type=atom("WM_PROTOCOLS"),
                                   data=(32, [atom("WM_DELETE_WINDOW"), 0, 0, 0, 0])))
        self.x.sync()
    def key(self, code, press=True):
        xtest.fake_input(self.x, X.KeyPress if press else X.KeyRelease, code)
        self.x.sync()
    def type(self, text):  # Latin-1 text (keysym = code point) and "\r" as the keys of the layout in use
        with contextlib.closing(xdisplay.Display(self.x.get_display_name())) as now:  # its mapping as it is
            codes = [next((k, i) for k, i in now.keysym_to_keycodes(0xFF0D if c == "\r" else ord(c)) if i < 2)
                     for c in text]
        for code, shifted in codes:
            for k, press in [(50, True)] * shifted + [(code, True), (code, False)] + [(50, False)] * shifted:
                self.key(k, press)
    def pointer(self, x, y, button=None, press=True, window=None):  # to (x, y) of the window, `button` there
        g = self.x.screen().root.translate_coords(window or self.window(), x, y)
        xtest.fake_input(self.x, X.MotionNotify, x=g.x, y=g.y)
        if button:
            xtest.fake_input(self.x, X.ButtonPress if press else X.ButtonRelease, button)
        self.x.sync()

class Proxy:
    """self.port to `port`; holds links of the channel types in `hold` (main 1, inputs 3...) until
    that Event is set"""
    def __init__(self, env, port, hold=None):
        self.upstream, self.hold, self.socks = port, hold or {}, env.socks
        self.links, self.passed = collections.Counter(), collections.Counter()
        self.sock = socket.create_server(("127.0.0.1", 0))
        self.port = self.sock.getsockname()[1]
        self.socks.append(self.sock)
        threading.Thread(target=self._accept, daemon=True).start()
    def _accept(self):
        with contextlib.suppress(OSError):  # closed at the end of the test
            while True:
                self.socks.append(c := self.sock.accept()[0])
                threading.Thread(target=self._link, args=(c,), daemon=True).start()
    def _link(self, c):
        if len(head := c.recv(21, socket.MSG_WAITALL)) < 21:
            return
        self.links[head[20]] += 1
        if head[20] in self.hold:
            self.hold[head[20]].wait(60)
        self.passed[head[20]] += 1
        with contextlib.suppress(OSError):  # the server may be gone by now
            self.socks.append(u := socket.create_connection(("127.0.0.1", self.upstream)))
            u.sendall(head)
            threading.Thread(target=_pump, args=(u, c), daemon=True).start()
            _pump(c, u)

@contextlib.contextmanager
def _ends(a, b, whole):
    """Passes a's end on to b's peer: EOF as a half-close (whole: as a port closes, both ways); an
    error ends both ways (a peer that closes with data unread resets: swallowed, nobody would know)"""
    try:
        yield
        how = socket.SHUT_RDWR if whole else socket.SHUT_WR
    except OSError:
        how = socket.SHUT_RDWR
    for s in (b, a) if how == socket.SHUT_RDWR else (b,):
        with contextlib.suppress(OSError):
            s.shutdown(how)

def _pump(a, b, whole=False):
    with _ends(a, b, whole):
        while data := a.recv(1 << 16):
            b.sendall(data)

class E2E(unittest.TestCase):
    """`self.env`; fails on a viewer's CRITICAL line or sanitizer report; keeps failures' logs"""
    def setUp(self):
        self.env, r = Env(self.id().split(".", 1)[-1]), self._outcome.result
        failed = lambda: len(r.failures) + len(r.errors)
        self.addCleanup(lambda before=failed(): self.env.close(failed() > before))  # runs last
        self.addCleanup(lambda: [v.check() for v in self.env.viewers])

    @contextlib.contextmanager
    def subTest(self, msg=None, **params):
        # A viewer a failed step left running would take the next steps' starts as later starts.
        started = len(self.env.viewers)
        with super().subTest(msg, **params):
            try:
                yield
            except BaseException:
                for v in self.env.viewers[started:]:
                    v.stop()
                raise

class TinyProxy:
    """tinyproxy on a free port, its log in self.log; `auth` "USER PASS": wants it (407); `deny`: 403"""
    def __init__(self, env, auth=None, deny=False):
        self.port, n, deny_all = free_port(), len(env.procs), env.path("deny-all")
        self.log, conf = env.path("tinyproxy-%d.log" % n), env.path("tinyproxy-%d.conf" % n)
        pathlib.Path(deny_all).touch()
        lines = ["Port %d" % self.port, "Listen 127.0.0.1", "Allow 127.0.0.1", "LogLevel Connect",
                 'LogFile "%s"' % self.log, 'PidFile "%s"' % env.path("tinyproxy-%d.pid" % n)]
        lines += (["BasicAuth " + auth] if auth else []) + (['Filter "%s"' % deny_all, "FilterDefaultDeny Yes"]
                                                            if deny else [])
        pathlib.Path(conf).write_text("\n".join(lines) + "\n")
        env.spawn(["tinyproxy", "-d", "-c", conf], "tinyproxy")
        wait(lambda: not subprocess.run(["bash", "-c", "exec 3<>/dev/tcp/127.0.0.1/%d" % self.port],
                                        stderr=subprocess.DEVNULL).returncode, 10, "tinyproxy")

def established(port):  # TCP connections open to 127.0.0.1:port
    rows = [l.split() for l in pathlib.Path("/proc/net/tcp").read_text().splitlines()[1:]]
    return sum(r[2] == "0100007F:%04X" % port and r[3] == "01" for r in rows)

def tcp_held(pid, port):  # TCP connections open to 127.0.0.1:port among process pid's descriptors
    rows = [l.split() for f in ("tcp", "tcp6") for l in pathlib.Path("/proc/net/" + f).read_text().splitlines()[1:]]
    open_to = {"socket:[%s]" % r[9] for r in rows if r[2].endswith(":%04X" % port) and r[3] == "01"}
    fds = []
    for fd in os.listdir("/proc/%d/fd" % pid):
        with contextlib.suppress(OSError):  # closed meanwhile
            fds.append(os.readlink("/proc/%d/fd/%s" % (pid, fd)))
    return sum(fd in open_to for fd in fds)

def drop_files(x, target, paths, timeout=15):
    """Drops `paths` on the centre of window `target` as a file manager does (XDND, text/uri-list)"""
    atom, root = x.intern_atom, x.screen().root
    src = root.create_window(0, 0, 1, 1, 0, X.CopyFromParent)
    src.set_selection_owner(atom("XdndSelection"), X.CurrentTime)
    uris = "".join("file://%s\r\n" % p for p in paths).encode()
    g = target.get_geometry()
    pos = root.translate_coords(target, g.width // 2, g.height // 2)
    send = lambda name, data: target.send_event(ClientMessage(window=target, client_type=atom(name),
                                                              data=(32, [src.id] + data)))
    send("XdndEnter", [5 << 24, atom("text/uri-list"), 0, 0])
    send("XdndPosition", [0, pos.x << 16 | pos.y, X.CurrentTime, atom("XdndActionCopy")])
    x.flush()
    end, accepted = time.monotonic() + timeout, None
    while time.monotonic() < end:
        if not x.pending_events():
            time.sleep(0.01)
            continue
        e = x.next_event()
        if e.type == X.ClientMessage and e.client_type == atom("XdndStatus"):
            accepted = e.data[1][1] & 1
            send("XdndDrop" if accepted else "XdndLeave", [0, X.CurrentTime, 0, 0])
            x.flush()
            if not accepted:
                break
        elif e.type == X.SelectionRequest:
            e.requestor.change_property(e.property, e.target, 8, uris)
            e.requestor.send_event(SelectionNotify(time=e.time, requestor=e.requestor, selection=e.selection,
                                                   target=e.target, property=e.property))
            x.flush()
        elif e.type == X.ClientMessage and e.client_type == atom("XdndFinished"):
            break
    src.destroy()
    x.sync()
    assert accepted, "the window did not accept the drop"

import math, random

class FaultProxy(Proxy):
    """A Proxy that corrupts what the server sends on links of `channel` (display 2): within the
    first `span` bytes of each such link, each byte is changed with probability `rate`, the same
    bytes for the same `seed` (link n of the run uses seed-n; with `same`, seed-1 for every link).
    self.corrupted: bytes changed."""
    def __init__(self, env, port, rate, seed, span=4 << 20, channel=2, same=False):
        self.rate, self.seed, self.span, self.channel, self.corrupted = rate, seed, span, channel, 0
        self.same = same
        super().__init__(env, port)
    def _link(self, c):
        if len(head := c.recv(21, socket.MSG_WAITALL)) < 21:
            return
        self.links[head[20]] += 1
        with contextlib.suppress(OSError):  # the server may be gone by now
            self.socks.append(u := socket.create_connection(("127.0.0.1", self.upstream)))
            u.sendall(head)
            n = 1 if self.same else self.links[head[20]]
            down = (self._corrupt, (u, c, random.Random("%s-%d" % (self.seed, n)))) \
                if head[20] == self.channel else (_pump, (u, c))
            threading.Thread(target=down[0], args=down[1], daemon=True).start()
            _pump(c, u)
    def _gap(self, rng):  # bytes to the next changed one: geometric with p = rate (0: none)
        return 1 + int(math.log(1 - rng.random()) / math.log(1 - self.rate)) if self.rate else 1 << 62
    def _corrupt(self, a, b, rng):
        pos, hit = 0, self._gap(rng) - 1
        with contextlib.suppress(OSError):
            while data := a.recv(1 << 16):
                if hit < min(pos + len(data), self.span):
                    data = bytearray(data)
                    while hit < min(pos + len(data), self.span):
                        data[hit - pos] ^= rng.randrange(1, 256)
                        self.corrupted += 1
                        hit += self._gap(rng)
                pos += len(data)
                b.sendall(data)
            b.shutdown(socket.SHUT_WR)

def cpio(entries):  # a newc archive of (name, mode, data), as the kernel unpacks it
    out = bytearray()
    for ino, (name, mode, data) in enumerate(entries + [("TRAILER!!!", 0, b"")], 1):
        fields = (ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0)
        out += b"070701" + "".join("%08X" % f for f in fields).encode() + name.encode() + b"\0"
        out += b"\0" * (-len(out) % 4) + data
        out += b"\0" * (-len(out) % 4)
    return bytes(out)

def debian_kernel(tmp):
    """(vmlinuz, modules folder) of Debian's current kernel package, unpacked into tmp"""
    run = lambda *argv: subprocess.run(argv, cwd=tmp, check=True, capture_output=True, text=True)
    depends = run("apt-cache", "depends", "linux-image-amd64").stdout
    run("apt-get", "download", next(l.split()[-1] for l in depends.splitlines() if "Depends:" in l))
    deb = [n for n in os.listdir(tmp) if n.endswith(".deb")][0]
    run("dpkg-deb", "-x", deb, tmp)
    os.unlink(os.path.join(tmp, deb))
    version = os.listdir(os.path.join(tmp, "lib", "modules"))[0]
    return os.path.join(tmp, "boot", "vmlinuz-" + version), os.path.join(tmp, "lib", "modules", version, "kernel")
