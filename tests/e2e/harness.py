"""Harness for the end-to-end tests: starts X servers, a SPICE server (Xorg + spiceqxl), the event
recorder, a private PulseAudio and the viewer, each in a per-test folder, and stops all of them by
PID. Standard library + PIL only; run with Debian's /usr/bin/python3.

Environment read here:
  SPICE_CLIENT  path of the viewer executable (tests that need it are skipped when unset)
  XRECORDER     path of the xrecorder executable
  E2E_LOG_DIR   where the logs of a failed test are copied (default: left in place in /tmp)
  E2E_KEEP=1    keep every test folder, passed or not
"""

import array
import collections
import ctypes
import math
import os
import random
import re
import select
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time
import unittest

from PIL import Image, ImageDraw

HERE = os.path.dirname(os.path.abspath(__file__))
# The server configuration the demo uses too.
XSPICE_CONF_TEMPLATE = os.path.join(HERE, "..", "..", "scripts", "xspice.conf.in")

# Startup bounds. Xorg with spiceqxl answers in well under a second here; the bounds leave
# room for a loaded CI machine without letting a broken start hang a test.
X_START_TIMEOUT = 15.0
PULSE_START_TIMEOUT = 15.0
RECORDER_READY_TIMEOUT = 15.0
STOP_TIMEOUT = 5.0


class HarnessError(Exception):
    pass


class HarnessTimeout(HarnessError, TimeoutError):
    pass


# ---------------------------------------------------------------------------------------------
# Small utilities


def count(lines, text):
    """How many of `lines` contain `text`."""
    return sum(1 for line in lines if text in line)


def viewer_env(env, display, tmpdir=None):
    """Environment for a viewer started by hand on `display` (optionally with another TMPDIR)."""
    e = env.base_env()
    e["DISPLAY"] = display
    e["QT_QPA_PLATFORM"] = "xcb"
    if tmpdir:
        e["TMPDIR"] = tmpdir
    return e


def wait_until(predicate, timeout=10.0, interval=0.05, what=None):
    """Polls predicate() until it returns something truthy and returns that value.
    Raises HarnessTimeout after `timeout` seconds."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            raise HarnessTimeout("timed out after %.1fs waiting for %s"
                                 % (timeout, what or getattr(predicate, "__name__", "condition")))
        time.sleep(interval)


def tail(path, lines=40):
    try:
        with open(path, "rb") as f:
            f.seek(0, os.SEEK_END)
            size = f.tell()
            f.seek(max(0, size - 64 * 1024))
            data = f.read().decode("utf-8", "replace")
    except OSError as e:
        return "(no log: %s)" % e
    return "\n".join(data.splitlines()[-lines:])


_libc = ctypes.CDLL(None, use_errno=True)
_PR_SET_PDEATHSIG = 1


def _child_setup_pdeathsig():
    # Children die with the test process even if it is killed hard (ctest timeout), so no
    # server is left holding a port or a display number.
    _libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0)


def _pid_alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    return True


# ---------------------------------------------------------------------------------------------
# Free display numbers and ports

_reserved_displays = set()
_reserved_ports = set()


def _display_in_use(n):
    if os.path.exists("/tmp/.X11-unix/X%d" % n) or os.path.exists("/tmp/.X%d-lock" % n):
        return True
    try:
        with open("/proc/net/unix") as f:
            needle = "@/tmp/.X11-unix/X%d\n" % n
            return any(line.endswith(needle) for line in f)
    except OSError:
        return False


def free_display(lo=100, hi=899):
    """A display number with no socket, lock file or abstract socket, not handed out before by
    this process. Random so that concurrent test runs rarely collide; starts retry anyway."""
    candidates = list(range(lo, hi + 1))
    random.shuffle(candidates)
    for n in candidates:
        if n not in _reserved_displays and not _display_in_use(n):
            _reserved_displays.add(n)
            return n
    raise HarnessError("no free X display number in %d..%d" % (lo, hi))


def _port_free(port):
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    try:
        s.bind(("127.0.0.1", port))
        return True
    except OSError:
        return False
    finally:
        s.close()


def free_port(lo=20000, hi=32000):
    """A free TCP port on 127.0.0.1 below the kernel's ephemeral range, so an outgoing
    connection cannot take it while a server is being restarted on it."""
    for _ in range(500):
        port = random.randint(lo, hi)
        if port not in _reserved_ports and _port_free(port):
            _reserved_ports.add(port)
            return port
    raise HarnessError("no free TCP port in %d..%d" % (lo, hi))


# ---------------------------------------------------------------------------------------------
# /proc helpers

TCP_ESTABLISHED = "01"
TCP_LISTEN = "0A"


def _socket_inodes(pid):
    inodes = set()
    fd_dir = "/proc/%d/fd" % pid
    try:
        names = os.listdir(fd_dir)
    except OSError:
        return inodes
    for name in names:
        try:
            target = os.readlink(os.path.join(fd_dir, name))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(int(target[8:-1]))
    return inodes


def _parse_addr(hexaddr):
    ip_hex, port_hex = hexaddr.split(":")
    port = int(port_hex, 16)
    raw = bytes.fromhex(ip_hex)
    if len(raw) == 4:
        ip = socket.inet_ntop(socket.AF_INET, raw[::-1])
    else:
        # /proc prints IPv6 as four host-order 32-bit words.
        words = b"".join(raw[i:i + 4][::-1] for i in range(0, 16, 4))
        ip = socket.inet_ntop(socket.AF_INET6, words)
        if ip.startswith("::ffff:") and "." in ip:
            ip = ip[7:]
    return ip, port


def _tcp_table():
    rows = []
    for path in ("/proc/net/tcp", "/proc/net/tcp6"):
        try:
            with open(path) as f:
                next(f)
                for line in f:
                    cols = line.split()
                    local, remote, state, inode = cols[1], cols[2], cols[3], int(cols[9])
                    rows.append((_parse_addr(local), _parse_addr(remote), state, inode))
        except OSError:
            pass
    return rows


def tcp_connections(pid, port, host="127.0.0.1"):
    """Established TCP connections of process `pid` to host:port, as a list of
    (local_port, remote_port); empty when there is none."""
    inodes = _socket_inodes(pid)
    return [(local[1], remote[1]) for local, remote, state, inode in _tcp_table()
            if inode in inodes and state == TCP_ESTABLISHED and remote == (host, port)]


def tcp_listening(pid, port, host="127.0.0.1"):
    """Whether process `pid` has a socket listening on host:port."""
    inodes = _socket_inodes(pid)
    return any(inode in inodes and state == TCP_LISTEN and local[1] == port
               and local[0] in (host, "0.0.0.0", "::")
               for local, _remote, state, inode in _tcp_table())


def port_has_listener(port, host="127.0.0.1"):
    return any(state == TCP_LISTEN and local[1] == port and local[0] in (host, "0.0.0.0", "::")
               for local, _remote, state, _inode in _tcp_table())


def open_fds(pid):
    """Number of open file descriptors of `pid`."""
    return len(os.listdir("/proc/%d/fd" % pid))


def cpu_seconds(pid):
    """User + system CPU time consumed so far by `pid` (all its threads)."""
    with open("/proc/%d/stat" % pid) as f:
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = os.sysconf("SC_CLK_TCK")
    return (int(fields[11]) + int(fields[12])) / ticks


def rss_bytes(pid):
    """Resident set size of `pid` in bytes."""
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


# ---------------------------------------------------------------------------------------------
# Processes


class Proc:
    """One started process with its log file. Stopped by PID."""

    def __init__(self, env, name, popen, log_path, argv):
        self.env = env
        self.name = name
        self.popen = popen
        self.pid = popen.pid
        self.log_path = log_path
        self.argv = argv

    def running(self):
        return self.popen.poll() is None

    @property
    def returncode(self):
        return self.popen.poll()

    def log_text(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("utf-8", "replace")
        except OSError:
            return ""

    def log_lines(self):
        return self.log_text().splitlines()

    def log_tail(self, lines=40):
        return tail(self.log_path, lines)

    def send_signal(self, sig):
        if self.running():
            os.kill(self.pid, sig)

    def wait_exit(self, timeout=10.0):
        """Waits until the process ends and returns its status (negative: killed by that
        signal). Raises HarnessTimeout if it is still running after `timeout`."""
        try:
            return self.popen.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            raise HarnessTimeout("%s (pid %d) still running after %.1fs; log tail:\n%s"
                                 % (self.name, self.pid, timeout, self.log_tail())) from None

    def stop(self, timeout=STOP_TIMEOUT):
        """SIGTERM, then SIGKILL after `timeout`. Returns the exit status."""
        if self.running():
            try:
                os.kill(self.pid, signal.SIGTERM)
            except ProcessLookupError:
                pass
            try:
                self.popen.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                self.kill()
        self._kill_group()
        return self.popen.wait()

    def kill(self):
        """SIGKILL. Returns the exit status."""
        if self.running():
            try:
                os.kill(self.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        status = self.popen.wait()
        self._kill_group()
        return status

    def _kill_group(self):
        # Each process is started as the leader of its own group: whatever it started itself
        # is in that group and goes with it.
        try:
            os.killpg(self.pid, signal.SIGKILL)
        except (ProcessLookupError, PermissionError):
            pass

    def __repr__(self):
        return "<%s pid=%d>" % (self.name, self.pid)


class Event(collections.namedtuple(
        "Event", "kind action code x y w h color t line t_end", defaults=(None,) * 10)):
    """One recorder log line. kind: key, button, motion, ready, frame, repaint, screen, focus
    (action "retaken" after another client took the keyboard focus), exit.
    key: action press/release, code=keycode. button: action, code=button, x, y.
    motion: x, y. frame: code=frame number, t=CLOCK_MONOTONIC seconds when handed to the server,
    t_end=when the server had processed it (XSync).
    repaint: code=count, x, y, w, h, color=(r, g, b), t. screen: w, h."""


def parse_event(line):
    p = line.split()
    if not p:
        return None
    k = p[0]
    try:
        if k == "key" and len(p) == 3:
            return Event("key", p[1], int(p[2]), line=line)
        if k == "button" and len(p) == 5:
            return Event("button", p[1], int(p[2]), int(p[3]), int(p[4]), line=line)
        if k == "motion" and len(p) == 3:
            return Event("motion", None, None, int(p[1]), int(p[2]), line=line)
        if k == "frame" and len(p) == 4:
            return Event("frame", code=int(p[1]), t=float(p[2]), t_end=float(p[3]), line=line)
        if k == "repaint" and len(p) == 8:
            c = p[6]
            return Event("repaint", None, int(p[1]), int(p[2]), int(p[3]), int(p[4]), int(p[5]),
                         (int(c[0:2], 16), int(c[2:4], 16), int(c[4:6], 16)), float(p[7]), line)
        if k == "screen" and len(p) == 3:
            return Event("screen", w=int(p[1]), h=int(p[2]), line=line)
        if k in ("ready", "exit") and len(p) == 1:
            return Event(k, line=line)
        if k == "focus" and len(p) == 2:
            return Event("focus", p[1], line=line)
    except ValueError:
        pass
    return Event("unknown", line=line)


class Recorder(Proc):
    """The xrecorder program inside a server display. See xrecorder.cpp for the picture."""

    def __init__(self, env, name, popen, log_path, argv, display, event_log):
        super().__init__(env, name, popen, log_path, argv)
        self.display = display
        self.event_log = event_log

    def lines(self):
        try:
            with open(self.event_log) as f:
                text = f.read()
        except OSError:
            return []
        # A line being written is not complete until its newline arrives.
        return text.split("\n")[:-1]

    def events(self, kind=None):
        evs = [parse_event(line) for line in self.lines()]
        return [e for e in evs if e is not None and (kind is None or e.kind == kind)]

    def input_events(self):
        """Key, button and motion events only."""
        return [e for e in self.events() if e.kind in ("key", "button", "motion")]

    def mark(self):
        """Count of events so far; pass it as `since` to look only at later ones."""
        return len(self.events())

    def wait_for_event(self, predicate, timeout=10.0, since=0):
        """First event at index >= since for which predicate(event) is true."""
        def find():
            if not self.running():
                raise HarnessError("recorder exited (%s); log tail:\n%s"
                                   % (self.returncode, self.log_tail()))
            for e in self.events()[since:]:
                if predicate(e):
                    return e
            return None
        try:
            return wait_until(find, timeout, 0.02, "recorder event")
        except HarnessTimeout:
            raise HarnessTimeout("no matching recorder event within %.1fs; last events:\n%s"
                                 % (timeout, "\n".join(self.lines()[-20:]))) from None

    def wait_for_key(self, keycode, action="press", timeout=10.0, since=0):
        return self.wait_for_event(
            lambda e: e.kind == "key" and e.action == action and e.code == keycode,
            timeout, since)

    def repaint(self, timeout=5.0):
        """Sends SIGUSR1 and waits until the recorder has painted the block; returns the
        repaint event (x, y, w, h, color, t)."""
        since = self.mark()
        self.send_signal(signal.SIGUSR1)
        return self.wait_for_event(lambda e: e.kind == "repaint", timeout, since)

    def frames(self):
        """[(frame number, monotonic time handed to the server)] in animate mode."""
        return [(e.code, e.t) for e in self.events("frame")]


class Xspice:
    """Xorg with the spiceqxl driver: an X display that is also a SPICE server on 127.0.0.1."""

    def __init__(self, env, width, height, audio, port, display=None):
        self.env = env
        self.width = width
        self.height = height
        self.audio = audio
        self.port = port
        self.number = display
        self.proc = None
        self.starts = 0
        self.fifo_dir = env.path("xspice-%d-fifo" % port) if audio else None
        self.confdir = env.path("xspice-%d-confdir" % port)
        os.makedirs(self.confdir, exist_ok=True)
        # Xorg ignores a config directory with no .conf in it and falls back to the system one.
        with open(os.path.join(self.confdir, "00-empty.conf"), "w") as f:
            f.write("# intentionally empty\n")
        if self.fifo_dir:
            os.makedirs(self.fifo_dir, exist_ok=True)

    @property
    def display(self):
        return ":%d" % self.number

    @property
    def pid(self):
        return self.proc.pid if self.proc else None

    @property
    def log_path(self):
        return self.proc.log_path if self.proc else None

    @property
    def xorg_log(self):
        return self.env.path("xspice-%d-%d.xorg.log" % (self.port, self.starts))

    def _config(self):
        with open(XSPICE_CONF_TEMPLATE) as f:
            lines = f.read().splitlines(keepends=True)
        if not self.fifo_dir:
            lines = [line for line in lines if "@FIFO_DIR@" not in line]
        text = "".join(lines)
        for key, value in (("@PORT@", self.port), ("@WIDTH@", self.width),
                           ("@HEIGHT@", self.height), ("@FIFO_DIR@", self.fifo_dir or "")):
            text = text.replace(key, str(value))
        return text

    def start(self, timeout=X_START_TIMEOUT):
        """Starts the server (again) on self.port and waits until the display answers and the
        port listens. Keeps the display number if it is free, else takes a new one."""
        if self.proc and self.proc.running():
            raise HarnessError("Xspice on port %d is already running" % self.port)
        conf = self.env.path("xspice-%d.conf" % self.port)
        with open(conf, "w") as f:
            f.write(self._config())
        xorg = "/usr/lib/xorg/Xorg" if os.access("/usr/lib/xorg/Xorg", os.X_OK) else "Xorg"
        last_error = None
        for _attempt in range(3):
            if self.number is None or _display_in_use(self.number):
                self.number = free_display()
            self.starts += 1
            argv = [xorg, "-config", conf, "-configdir", self.confdir, "-noreset",
                    "-nolisten", "tcp", "-logfile", self.xorg_log, self.display]
            self.proc = self.env.spawn("xspice-%d-%d" % (self.port, self.starts), argv)
            try:
                t0 = time.monotonic()
                _wait_x_ready(self.display, self.proc, timeout)
                wait_until(lambda: self._check_alive() and tcp_listening(self.proc.pid, self.port),
                           max(1.0, timeout - (time.monotonic() - t0)), 0.02,
                           "Xspice to listen on port %d" % self.port)
                self.start_seconds = time.monotonic() - t0
                return self
            except HarnessError as e:
                last_error = e
                text = self.proc.log_text() + tail(self.xorg_log, 200)
                self.proc.kill()
                _remove_stale_x_files(self.number, self.proc.pid)
                if "already active" in text or "Cannot establish any listening" in text:
                    self.number = None
                    continue
                break
        raise HarnessError("Xspice did not start: %s\nxorg log tail:\n%s"
                           % (last_error, tail(self.xorg_log)))

    def _check_alive(self):
        if not self.proc.running():
            raise HarnessError("Xorg exited with %s" % self.proc.returncode)
        return True

    def running(self):
        return bool(self.proc and self.proc.running())

    def stop(self, timeout=STOP_TIMEOUT):
        """SIGTERM (SIGKILL after `timeout`); returns the exit status."""
        _close_xclient(self.display)
        status = self.proc.stop(timeout)
        _remove_stale_x_files(self.number, self.proc.pid)
        return status

    def kill(self):
        """SIGKILL, as a crash would; returns the exit status."""
        _close_xclient(self.display)
        status = self.proc.kill()
        _remove_stale_x_files(self.number, self.proc.pid)
        return status

    def restart(self, timeout=X_START_TIMEOUT):
        """Stops the server if it runs and starts it again on the same port."""
        if self.running():
            self.stop()
        return self.start(timeout)

    def resize(self, width, height, timeout=10.0):
        """Changes the server's screen size with xrandr (the client gets a new primary surface)
        and waits until the root window has that size."""
        r = subprocess.run(["xrandr", "-s", "%dx%d" % (width, height)],
                           env=dict(self.env.base_env(), DISPLAY=self.display),
                           stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
        if r.returncode != 0:
            raise HarnessError("xrandr -s %dx%d: %s" % (width, height, r.stderr.strip()))
        wait_until(lambda: screen_size(self.display) == (width, height), timeout, 0.05,
                   "screen size %dx%d" % (width, height))
        self.width, self.height = width, height

    def fifo_path(self, name):
        if not self.fifo_dir:
            raise HarnessError("Xspice was started without audio")
        return os.path.join(self.fifo_dir, name)

    def __repr__(self):
        return "<Xspice %s port=%d pid=%s>" % (self.display, self.port, self.pid)


def _remove_stale_x_files(number, pid):
    # Only files of a server of ours that is gone: a killed server leaves its lock behind.
    lock = "/tmp/.X%d-lock" % number
    try:
        with open(lock) as f:
            owner = int(f.read().strip() or 0)
    except (OSError, ValueError):
        return
    if owner == pid and not _pid_alive(pid):
        for path in (lock, "/tmp/.X11-unix/X%d" % number):
            try:
                os.unlink(path)
            except OSError:
                pass


def _x_answers(display):
    try:
        r = subprocess.run(["xdpyinfo", "-display", display], stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=5)
        return r.returncode == 0
    except subprocess.TimeoutExpired:
        return False


def _wait_x_ready(display, proc, timeout):
    def ready():
        if not proc.running():
            raise HarnessError("X server for %s exited with %s; log tail:\n%s"
                               % (display, proc.returncode, proc.log_tail()))
        return _x_answers(display)
    wait_until(ready, timeout, 0.05, "X display %s to answer" % display)


class Pulse:
    """A private PulseAudio with one null sink, reached through a unix socket."""

    def __init__(self, owner, proc, sink, sock):
        self.owner = owner
        self.proc = proc
        self.sink = sink
        self.monitor = sink + ".monitor"
        self.socket = sock
        self.server = "unix:" + sock

    @property
    def env(self):
        """Variables a client needs to play into this server."""
        return {"PULSE_SERVER": self.server, "PULSE_SINK": self.sink}

    @property
    def pid(self):
        return self.proc.pid

    def client_env(self):
        e = self.owner.base_env()
        e.update(self.env)
        return e

    def pactl(self, *args, timeout=10):
        r = subprocess.run(["pactl"] + list(args), env=self.client_env(), stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=timeout)
        if r.returncode != 0:
            raise HarnessError("pactl %s failed: %s" % (" ".join(args), r.stderr.strip()))
        return r.stdout

    def start_recording(self, name=None, timeout=10.0):
        """Starts parec on the sink's monitor and returns, once samples arrive, a Recording
        whose stop() gives the bytes (s16le, 48 kHz, 2 channels) recorded since."""
        self.owner._seq += 1
        out = self.owner.path(name or "parec-%d.raw" % self.owner._seq)
        argv = ["parec", "-d", self.monitor, "--raw", "--format=s16le", "--rate=48000",
                "--channels=2", "--latency-msec=20"]
        proc = self.owner.spawn(os.path.basename(out), argv, env=self.client_env(),
                                stdout_path=out)
        # A new monitor stream delivers nothing for its first ~1.8 s here; return only once
        # samples flow, so that what is played from now on is recorded.
        def flowing():
            if not proc.running():
                raise HarnessError("parec exited with %s; log tail:\n%s"
                                   % (proc.returncode, proc.log_tail()))
            return os.path.getsize(out) > 0
        wait_until(flowing, timeout, 0.02, "parec to deliver samples")
        return Recording(proc, out)

    def record(self, seconds):
        """Records `seconds` of the sink's output: raw s16le, 48 kHz, 2 channels."""
        rec = self.start_recording()
        time.sleep(seconds)
        return rec.stop()


class Recording:
    def __init__(self, proc, path):
        self.proc = proc
        self.path = path

    def data(self):
        with open(self.path, "rb") as f:
            return f.read()

    def stop(self):
        self.proc.stop(2.0)
        data = self.data()
        return data[: len(data) - len(data) % 4]


class Viewer(Proc):
    """The spice-client process; stdout and stderr go to its log."""

    def __init__(self, env, name, popen, log_path, argv, display):
        super().__init__(env, name, popen, log_path, argv)
        self.display = display

    def wait_for_log(self, text, timeout=10.0, since=0, regex=False):
        """First log line (index >= since) containing `text` (or matching it as a regular
        expression when regex=True). Raises with the log tail if the viewer exits first."""
        pat = re.compile(text) if regex else None

        def find():
            for line in self.log_lines()[since:]:
                if (pat.search(line) if pat else text in line):
                    return line
            if not self.running():
                raise HarnessError("%s exited (%s) before logging %r; log tail:\n%s"
                                   % (self.name, self.returncode, text, self.log_tail()))
            return None
        try:
            return wait_until(find, timeout, 0.05, "viewer log %r" % text)
        except HarnessTimeout:
            raise HarnessTimeout("viewer did not log %r within %.1fs; log tail:\n%s"
                                 % (text, timeout, self.log_tail())) from None

    def window(self, timeout=10.0, name=None):
        """The viewer's top-level window id (found by its _NET_WM_PID)."""
        return find_window(self.display, name=name, pid=self.pid, timeout=timeout)


# ---------------------------------------------------------------------------------------------
# The per-test environment


class Env:
    """Per-test folder and process tracker. Use as a context manager, or through E2ETestCase.
    The folder is TMPDIR (and HOME) for everything started here. On exit all processes are
    stopped by PID; the folder is deleted when the test passed and kept (path printed)
    otherwise."""

    def __init__(self, name="e2e"):
        # "module.Class.test" -> "Class.test": enough to find the test, short enough for paths.
        self.name = re.sub(r"[^A-Za-z0-9_.-]+", "_", ".".join(name.split(".")[-2:]))[:80]
        short = self.name.rsplit(".", 1)[-1][:24]
        # Kept short: unix socket paths inside it must stay under 108 bytes.
        self.dir = tempfile.mkdtemp(prefix="e2e-%s-" % short, dir="/tmp")
        for sub in ("home", "runtime", "config", "cache", "data"):
            os.makedirs(os.path.join(self.dir, sub), exist_ok=True)
        os.chmod(os.path.join(self.dir, "runtime"), 0o700)
        self.procs = []
        self.displays = []
        self._seq = 0
        self._closed = False
        self.failed = False

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close(failed=exc_type is not None)
        return False

    def path(self, *parts):
        return os.path.join(self.dir, *parts)

    def base_env(self):
        """Environment for started programs: no inherited display, session bus or sound
        server; TMPDIR, HOME and XDG folders inside the test folder."""
        e = {k: v for k, v in os.environ.items()
             if not (k.startswith(("QT_", "XDG_", "PULSE_", "WAYLAND", "GTK_", "GDK_", "SPICE_"))
                     or k in ("DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS",
                              "SESSION_MANAGER", "DESKTOP_SESSION", "TMPDIR", "HOME"))}
        e.update({
            "TMPDIR": self.dir,
            "HOME": self.path("home"),
            "XDG_RUNTIME_DIR": self.path("runtime"),
            "XDG_CONFIG_HOME": self.path("config"),
            "XDG_CACHE_HOME": self.path("cache"),
            "XDG_DATA_HOME": self.path("data"),
            "LC_ALL": "C.UTF-8",
            # No sound server unless a test starts one: clients must not reach anything else.
            "PULSE_SERVER": "unix:" + self.path("runtime", "no-pulse"),
        })
        return e

    def spawn(self, name, argv, env=None, stdout_path=None, cwd=None):
        """Starts argv with stdin from /dev/null and output to NAME.log (or stdout to
        stdout_path and stderr to NAME.log). Returns a tracked Proc."""
        if self._closed:
            raise HarnessError("environment already closed")
        log_path = self.path(name + ".log")
        log = open(log_path, "ab")
        out = open(stdout_path, "wb") if stdout_path else log
        preexec = (_child_setup_pdeathsig
                   if threading.current_thread() is threading.main_thread() else None)
        try:
            popen = subprocess.Popen(
                argv, stdin=subprocess.DEVNULL, stdout=out, stderr=log,
                env=env if env is not None else self.base_env(), cwd=cwd or self.dir,
                start_new_session=True, preexec_fn=preexec)
        except OSError as e:
            raise HarnessError("cannot start %s: %s" % (argv[0], e)) from e
        finally:
            log.close()
            if stdout_path:
                out.close()
        proc = Proc(self, name, popen, log_path, argv)
        self.procs.append(proc)
        return proc

    def _adopt(self, cls, proc, *extra):
        obj = cls(self, proc.name, proc.popen, proc.log_path, proc.argv, *extra)
        self.procs[self.procs.index(proc)] = obj
        return obj

    # --- X servers -----------------------------------------------------------------------

    def start_xvfb(self, width=1280, height=1024, timeout=X_START_TIMEOUT):
        """Starts Xvfb WxHx24 and returns its display string (":N") once it answers."""
        last = None
        for _attempt in range(3):
            n = free_display()
            display = ":%d" % n
            proc = self.spawn("xvfb-%d" % n, ["Xvfb", display, "-screen", "0",
                                               "%dx%dx24" % (width, height),
                                               "-nolisten", "tcp", "-noreset"])
            try:
                _wait_x_ready(display, proc, timeout)
                self.displays.append(display)
                return display
            except HarnessError as e:
                last = e
                proc.kill()
                _remove_stale_x_files(n, proc.pid)
                if "already active" not in proc.log_text():
                    break
        raise HarnessError("Xvfb did not start: %s" % last)

    def start_xspice(self, width=1024, height=768, audio=True, port=None,
                     timeout=X_START_TIMEOUT):
        """Starts a SPICE server (Xorg + spiceqxl) on a free (or the given) port of 127.0.0.1.
        Returns an Xspice with .port, .display, .fifo_dir, .pid, stop(), kill(), restart()."""
        xs = Xspice(self, width, height, audio, port or free_port())
        xs.start(timeout)
        self.displays.append(xs.display)
        return xs

    # --- programs inside a display -----------------------------------------------------------

    def start_recorder(self, display, region=None, colors=None, animate=None, content="gradient",
                       name=None, no_autorepeat=False, extra_args=(),
                       timeout=RECORDER_READY_TIMEOUT):
        """Starts xrecorder on `display` and waits for its "ready" line.
        region=(x, y, w, h) and colors=[(r, g, b), ...] set what SIGUSR1 paints;
        animate=FPS repaints the whole screen with numbered frames; content="gradient" (the
        SPICE server streams it as video) or "tiles" (sent as ordinary images)."""
        exe = os.environ.get("XRECORDER")
        if not exe:
            raise HarnessError("XRECORDER is not set (ctest sets it to the built xrecorder)")
        self._seq += 1
        name = name or "recorder-%d" % self._seq
        event_log = self.path(name + ".events")
        argv = [exe, "--display", display, "--log", event_log, "--name", name]
        if region:
            argv += ["--region", "%d,%d,%d,%d" % tuple(region)]
        if colors:
            argv += ["--colors", ",".join("%02x%02x%02x" % tuple(c) for c in colors)]
        if animate:
            argv += ["--animate", str(animate), "--content", content]
        if no_autorepeat:
            argv += ["--no-autorepeat"]
        argv += list(extra_args)
        proc = self.spawn(name, argv)
        rec = self._adopt(Recorder, proc, display, event_log)

        def ready():
            if not rec.running():
                raise HarnessError("xrecorder exited with %s; log tail:\n%s"
                                   % (rec.returncode, rec.log_tail()))
            return any(e.kind == "ready" for e in rec.events())
        try:
            wait_until(ready, timeout, 0.02, "xrecorder ready")
        except HarnessTimeout:
            raise HarnessTimeout("xrecorder not ready within %.1fs; log tail:\n%s"
                                 % (timeout, rec.log_tail())) from None
        return rec

    # --- sound ---------------------------------------------------------------------------------

    def start_pulse(self, sink="e2e_sink", timeout=PULSE_START_TIMEOUT):
        """Starts a private PulseAudio with a null sink; returns a Pulse with .env (variables
        for clients), .sink, .monitor, record(seconds), start_recording()."""
        pdir = self.path("pulse")
        os.makedirs(pdir, exist_ok=True)
        sock = os.path.join(pdir, "native")
        env = self.base_env()
        env.pop("PULSE_SERVER", None)
        env["PULSE_RUNTIME_PATH"] = pdir
        argv = ["pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit",
                "--use-pid-file=no", "--disable-shm=yes", "--log-target=stderr",
                "-L", "module-null-sink sink_name=%s rate=48000 channels=2" % sink,
                "-L", "module-native-protocol-unix socket=%s auth-anonymous=1" % sock]
        proc = self.spawn("pulseaudio", argv, env=env)
        pulse = Pulse(self, proc, sink, sock)

        def ready():
            if not proc.running():
                raise HarnessError("pulseaudio exited with %s; log tail:\n%s"
                                   % (proc.returncode, proc.log_tail()))
            if not os.path.exists(sock):
                return False
            try:
                return sink in pulse.pactl("list", "short", "sinks", timeout=5)
            except (HarnessError, subprocess.TimeoutExpired):
                return False
        wait_until(ready, timeout, 0.1, "pulseaudio to answer")
        return pulse

    def play_tone(self, xspice, freq, seconds, name=None):
        """Makes the SPICE server play a sine tone: creates a FIFO in its playback folder and
        lets sox write 48 kHz s16le stereo into it. Returns the sox Proc (it ends when the tone
        has been read)."""
        self._seq += 1
        fifo = xspice.fifo_path(name or "tone-%d" % self._seq)
        os.mkfifo(fifo)
        argv = ["sox", "-q", "-n", "-t", "raw", "-r", "48000", "-e", "signed", "-b", "16",
                "-c", "2", fifo, "synth", str(seconds), "sine", str(freq)]
        return self.spawn("sox-%d" % self._seq, argv)

    # --- the viewer ------------------------------------------------------------------------------

    def run_viewer(self, args, display, extra_env=None, pulse=None, name="viewer", exe=None):
        """Starts spice-client (path from SPICE_CLIENT, or `exe`) on the X display `display` with
        the given arguments; output goes to NAME.log. Skips the test if SPICE_CLIENT is unset."""
        exe = exe or viewer_path()
        env = self.base_env()
        env["DISPLAY"] = display
        env["QT_QPA_PLATFORM"] = "xcb"
        if pulse is not None:
            env.update(pulse.env)
        if extra_env:
            for k, v in extra_env.items():
                if v is None:
                    env.pop(k, None)
                else:
                    env[k] = v
        self._seq += 1
        proc = self.spawn("%s-%d" % (name, self._seq), [exe] + [str(a) for a in args], env=env)
        return self._adopt(Viewer, proc, display)

    # --- teardown --------------------------------------------------------------------------------

    def close(self, failed=None):
        if self._closed:
            return
        self._closed = True
        if failed is not None:
            self.failed = self.failed or failed
        for display in self.displays:
            _close_xclient(display)
        # Newest first: viewers and recorders before the servers they talk to.
        for proc in reversed(self.procs):
            try:
                proc.stop(STOP_TIMEOUT)
            except Exception as e:  # pylint: disable=broad-except
                print("harness: stopping %r: %s" % (proc, e), file=sys.stderr)
        for proc in self.procs:
            if proc.name.startswith(("xspice-", "xvfb-")):
                for display in self.displays:
                    _remove_stale_x_files(int(display[1:]), proc.pid)
        keep = self.failed or os.environ.get("E2E_KEEP") == "1"
        if not keep:
            shutil.rmtree(self.dir, ignore_errors=True)
            return
        dest = self.dir
        log_root = os.environ.get("E2E_LOG_DIR")
        if log_root:
            dest = os.path.join(log_root, "%s-%s" % (self.name, time.strftime("%Y%m%d-%H%M%S")))
            _copy_regular_files(self.dir, dest)
            shutil.rmtree(self.dir, ignore_errors=True)
        print("\nharness: logs of %s kept in %s" % (self.name, dest), file=sys.stderr)


def _copy_regular_files(src, dest):
    # FIFOs and sockets are skipped: opening a FIFO to copy it would block.
    for root, _dirs, files in os.walk(src):
        rel = os.path.relpath(root, src)
        for fname in files:
            path = os.path.join(root, fname)
            try:
                if not stat.S_ISREG(os.lstat(path).st_mode):
                    continue
                os.makedirs(os.path.join(dest, rel), exist_ok=True)
                shutil.copy2(path, os.path.join(dest, rel, fname))
            except OSError:
                pass


def viewer_path():
    exe = os.environ.get("SPICE_CLIENT")
    if not exe:
        raise unittest.SkipTest("SPICE_CLIENT is not set (the spice-client target is not built)")
    if not os.access(exe, os.X_OK):
        raise HarnessError("SPICE_CLIENT=%s is not an executable" % exe)
    return exe


class E2ETestCase(unittest.TestCase):
    """TestCase with self.env, closed after the test (and its cleanups) with the outcome known."""

    def setUp(self):
        super().setUp()
        self.env = Env(self.id())

    def run(self, result=None):
        if result is None:
            return super().run(result)
        before = (len(result.failures) + len(result.errors)
                  + len(getattr(result, "unexpectedSuccesses", ())))
        try:
            return super().run(result)
        finally:
            env = getattr(self, "env", None)
            if env is not None:
                after = (len(result.failures) + len(result.errors)
                         + len(getattr(result, "unexpectedSuccesses", ())))
                env.close(failed=after > before)


# ---------------------------------------------------------------------------------------------
# Talking to X displays


class XClient:
    """Pipe to xhelper.py connected to one display (see that file for the protocol)."""

    def __init__(self, display):
        self.display = display
        preexec = (_child_setup_pdeathsig
                   if threading.current_thread() is threading.main_thread() else None)
        self.proc = subprocess.Popen(
            [sys.executable, os.path.join(HERE, "xhelper.py"), display],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
            preexec_fn=preexec)
        self._buf = b""
        hello = self._line(10.0)
        if not hello.startswith("ok"):
            self.close()
            raise HarnessError("cannot connect to X display %s: %s" % (display, hello))

    def _read_some(self, deadline):
        remaining = deadline - time.monotonic()
        if remaining <= 0:
            raise HarnessTimeout("X helper for %s did not answer" % self.display)
        ready, _, _ = select.select([self.proc.stdout], [], [], remaining)
        if not ready:
            raise HarnessTimeout("X helper for %s did not answer" % self.display)
        chunk = os.read(self.proc.stdout.fileno(), 1 << 20)
        if not chunk:
            raise HarnessError("X helper for %s ended (server gone?)" % self.display)
        self._buf += chunk

    def _line(self, timeout):
        deadline = time.monotonic() + timeout
        while b"\n" not in self._buf:
            self._read_some(deadline)
        line, self._buf = self._buf.split(b"\n", 1)
        return line.decode()

    def _bytes(self, n, timeout):
        deadline = time.monotonic() + timeout
        while len(self._buf) < n:
            self._read_some(deadline)
        data, self._buf = self._buf[:n], self._buf[n:]
        return data

    def command(self, text, timeout=10.0):
        try:
            self.proc.stdin.write(text.encode() + b"\n")
            self.proc.stdin.flush()
            reply = self._line(timeout)
        except (BrokenPipeError, HarnessError):
            self.close()
            raise
        if not reply.startswith("ok"):
            raise HarnessError("X %s: %s -> %s" % (self.display, text, reply))
        return reply.split()[1:]

    def grab(self, x, y, w, h, timeout=10.0):
        f = self.command("grab %d %d %d %d" % (x, y, w, h), timeout)
        width, height, stride, order, bpp, rmask, gmask, bmask = (int(v) for v in f)
        try:
            data = self._bytes(stride * height, timeout)
        except HarnessError:
            self.close()
            raise
        if bpp != 32 or order != 0 or (rmask, gmask, bmask) != (0xFF0000, 0xFF00, 0xFF):
            raise HarnessError("unsupported X image format bpp=%d order=%d" % (bpp, order))
        return Image.frombuffer("RGB", (width, height), data, "raw", "BGRX", stride, 1)

    def alive(self):
        return self.proc.poll() is None

    def close(self):
        if self.proc.poll() is None:
            try:
                self.proc.stdin.write(b"quit\n")
                self.proc.stdin.flush()
            except OSError:
                pass
            try:
                self.proc.wait(timeout=2)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        for stream in (self.proc.stdin, self.proc.stdout):
            try:
                stream.close()
            except OSError:
                pass


_xclients = {}


def xclient(display):
    """The (cached) helper connection to `display`."""
    client = _xclients.get(display)
    if client is None or not client.alive():
        client = _xclients[display] = XClient(display)
    return client


def _close_xclient(display):
    client = _xclients.pop(display, None)
    if client:
        client.close()


def screen_size(display):
    w, h = xclient(display).command("screen")
    return int(w), int(h)


def capture_root(display, region=None):
    """The root window of `display` (or region=(x, y, w, h) of it) as a PIL RGB image."""
    if region is None:
        w, h = screen_size(display)
        region = (0, 0, w, h)
    return xclient(display).grab(*region)


Geometry = collections.namedtuple("Geometry", "x y w h mapped")


def window_geometry(display, wid):
    """Position relative to the root, size and whether the window is viewable."""
    x, y, w, h, state = (int(v) for v in xclient(display).command("geom %d" % wid))
    return Geometry(x, y, w, h, state == 2)


def capture_window(display, wid, region=None):
    """What the screen shows of window `wid` (or region=(x, y, w, h) relative to it), as a PIL
    image. The part outside the screen is cut off."""
    g = window_geometry(display, wid)
    sw, sh = screen_size(display)
    rx, ry, rw, rh = region or (0, 0, g.w, g.h)
    x0, y0 = max(0, g.x + rx), max(0, g.y + ry)
    x1, y1 = min(sw, g.x + rx + rw), min(sh, g.y + ry + rh)
    if x1 <= x0 or y1 <= y0:
        raise HarnessError("window 0x%x is off screen" % wid)
    return xclient(display).grab(x0, y0, x1 - x0, y1 - y0)


def capture_root_import(display):
    """The root window through ImageMagick's import: a second, independent way to read it."""
    r = subprocess.run(["import", "-display", display, "-window", "root", "-depth", "8", "png:-"],
                       stdin=subprocess.DEVNULL, capture_output=True, timeout=30)
    if r.returncode != 0:
        raise HarnessError("import failed: %s" % r.stderr.decode(errors="replace"))
    import io
    return Image.open(io.BytesIO(r.stdout)).convert("RGB")


def xtest_key(display, keycode, action="tap"):
    """Presses and/or releases an exact keycode through XTEST (action: tap, press, release)."""
    c = xclient(display)
    if action in ("tap", "press"):
        c.command("key %d 1" % keycode)
    if action in ("tap", "release"):
        c.command("key %d 0" % keycode)


def keycode_of(display, keysym_name):
    """Keycode the display's current keymap gives a keysym name (0: none)."""
    return int(xclient(display).command("keysym %s" % keysym_name)[0])


def xtest_motion(display, x, y):
    xclient(display).command("motion %d %d" % (x, y))


def xtest_button(display, button, action="click"):
    c = xclient(display)
    if action in ("click", "press"):
        c.command("button %d 1" % button)
    if action in ("click", "release"):
        c.command("button %d 0" % button)


def xtest_click(display, x, y, button=1):
    xtest_motion(display, x, y)
    xtest_button(display, button)


def root_window(display):
    """Id of the root window of `display`."""
    r = subprocess.run(["xwininfo", "-root", "-display", display], stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=10)
    m = re.search(r"Window id: (0x[0-9a-f]+)", r.stdout)
    if not m:
        raise HarnessError("xwininfo -root on %s: %s" % (display, r.stderr.strip()))
    return int(m.group(1), 16)


def xdotool(display, *args, timeout=10):
    """Runs xdotool on `display`; returns its stdout."""
    env = dict(os.environ, DISPLAY=display)
    r = subprocess.run(["xdotool"] + [str(a) for a in args], env=env, stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=timeout)
    if r.returncode != 0:
        raise HarnessError("xdotool %s: %s" % (" ".join(map(str, args)), r.stderr.strip()))
    return r.stdout


def find_windows(display, name=None, pid=None, visible=True):
    """Window ids matching a WM_NAME regular expression and/or a _NET_WM_PID."""
    args = ["search"]
    if visible:
        args.append("--onlyvisible")
    if pid is not None:
        args += ["--pid", str(pid)]
    if name is not None:
        args += ["--name", name]
    elif pid is None:
        args += ["--name", "."]
    env = dict(os.environ, DISPLAY=display)
    r = subprocess.run(["xdotool"] + args, env=env, stdin=subprocess.DEVNULL,
                       capture_output=True, text=True, timeout=10)
    return [int(w) for w in r.stdout.split()]


def find_window(display, name=None, pid=None, timeout=10.0, visible=True):
    """First window matching name/pid, waiting up to `timeout` for it to appear."""
    found = wait_until(lambda: find_windows(display, name, pid, visible), timeout, 0.1,
                       "window name=%r pid=%r on %s" % (name, pid, display))
    return found[0]


# ---------------------------------------------------------------------------------------------
# The recorder's pictures (mirror of xrecorder.cpp)

BARS = [(255, 255, 255), (255, 255, 0), (0, 255, 255), (0, 255, 0),
        (255, 0, 255), (255, 0, 0), (0, 0, 255), (0, 0, 0)]
BLOCK_A = (255, 128, 0)
BLOCK_B = (0, 128, 128)
DEFAULT_REPAINT_COLORS = [(0x00, 0xFF, 0x80), (0x80, 0x00, 0xFF)]
STAMP_BITS = 24
STAMP_SQUARE = 16


def pattern_blocks(w, h):
    """The two marker blocks as (x, y, w, h, colour)."""
    bw, bh, bx, by = w // 8, h // 6, w // 16, h // 12
    return [(bx, by, bw, bh, BLOCK_A), (w - bx - bw, h - by - bh, bw, bh, BLOCK_B)]


def pattern_pixel(x, y, w, h):
    for bx, by, bw, bh, color in pattern_blocks(w, h):
        if bx <= x < bx + bw and by <= y < by + bh:
            return color
    if y < h * 2 // 3:
        return BARS[x * 8 // w]
    g = x * 255 // (w - 1) if w > 1 else 0
    return (g, g, g)


def still_picture(w, h):
    """The recorder's still picture for a WxH screen, as a PIL RGB image."""
    img = Image.new("RGB", (w, h))
    d = ImageDraw.Draw(img)
    top = h * 2 // 3
    for x in range(w):
        d.line([(x, 0), (x, top - 1)], fill=BARS[x * 8 // w])
        g = x * 255 // (w - 1) if w > 1 else 0
        d.line([(x, top), (x, h - 1)], fill=(g, g, g))
    for bx, by, bw, bh, color in pattern_blocks(w, h):
        d.rectangle([bx, by, bx + bw - 1, by + bh - 1], fill=color)
    return img


def default_repaint_region(w, h, rw=200, rh=150):
    return (w // 2 - rw // 2, h // 2 - rh // 2, rw, rh)


def read_frame_stamp(img, x0=0, y0=0):
    """Frame number stamped by `xrecorder --animate` at (x0, y0) of a 1:1 image, or None when
    the two stamp rows disagree (torn, scaled or no stamp)."""
    value = 0
    for bit in range(STAMP_BITS):
        cx = x0 + bit * STAMP_SQUARE + STAMP_SQUARE // 2
        top = sum(img.getpixel((cx, y0 + STAMP_SQUARE // 2))[:3]) > 3 * 128
        bottom = sum(img.getpixel((cx, y0 + STAMP_SQUARE + STAMP_SQUARE // 2))[:3]) > 3 * 128
        if top == bottom:
            return None
        value = (value << 1) | int(top)
    return value


def diff_stats(a, b, box=None):
    """(mean absolute difference per channel, max difference) between two RGB images of the
    same size, optionally inside box=(x0, y0, x1, y1)."""
    if box:
        a, b = a.crop(box), b.crop(box)
    if a.size != b.size:
        raise HarnessError("image sizes differ: %s vs %s" % (a.size, b.size))
    from PIL import ImageChops, ImageStat
    d = ImageChops.difference(a.convert("RGB"), b.convert("RGB"))
    stat_ = ImageStat.Stat(d)
    mean = sum(stat_.mean) / 3
    mx = max(hi for _lo, hi in d.getextrema())
    return mean, mx


def region_color(img, box):
    """Mean colour of box=(x0, y0, x1, y1) of an image, as an (r, g, b) tuple of floats."""
    from PIL import ImageStat
    return tuple(ImageStat.Stat(img.convert("RGB").crop(box)).mean)


def color_close(c1, c2, tol=24):
    return all(abs(a - b) <= tol for a, b in zip(c1, c2))


# ---------------------------------------------------------------------------------------------
# Sound analysis (raw s16le)


def pcm_channel(pcm, channels=2, channel=0):
    samples = array.array("h")
    samples.frombytes(pcm[: len(pcm) - len(pcm) % (2 * channels)])
    if sys.byteorder != "little":
        samples.byteswap()
    return samples[channel::channels]


def rms(pcm, channels=2):
    """Root mean square of all samples, relative to full scale (0..1)."""
    samples = array.array("h")
    samples.frombytes(pcm[: len(pcm) - len(pcm) % 2])
    if not samples:
        return 0.0
    return math.sqrt(sum(s * s for s in samples) / len(samples)) / 32768.0


def dominant_frequency(pcm, rate=48000, channels=2, channel=0):
    """Frequency of a tone in raw PCM from rising zero crossings (interpolated), over the
    stretch between the first and last sample louder than a tenth of the peak. None when
    there is no signal."""
    x = pcm_channel(pcm, channels, channel)
    if len(x) < 4:
        return None
    peak = max(abs(min(x)), abs(max(x)))
    if peak < 100:
        return None
    limit = peak / 10
    first = next(i for i, v in enumerate(x) if abs(v) > limit)
    last = len(x) - 1 - next(i for i, v in enumerate(reversed(x)) if abs(v) > limit)
    seg = x[first:last + 1]
    mean = sum(seg) / len(seg)
    hyst = peak / 20
    crossings = []
    armed = False
    for i in range(1, len(seg)):
        a, b = seg[i - 1] - mean, seg[i] - mean
        if a < -hyst:
            armed = True
        if armed and a < 0 <= b:
            crossings.append(i - 1 + (-a) / (b - a))
            armed = False
    if len(crossings) < 3:
        return None
    return (len(crossings) - 1) * rate / (crossings[-1] - crossings[0])


def tone_power(pcm, freq, rate=48000, channels=2, channel=0):
    """Normalised Goertzel power of `freq` (about 0.5 * amplitude^2 for a pure tone, relative
    to full scale)."""
    x = pcm_channel(pcm, channels, channel)
    n = len(x)
    if n == 0:
        return 0.0
    coeff = 2 * math.cos(2 * math.pi * freq / rate)
    s1 = s2 = 0.0
    for v in x:
        s0 = v / 32768.0 + coeff * s1 - s2
        s2, s1 = s1, s0
    power = s1 * s1 + s2 * s2 - coeff * s1 * s2
    return 2 * power / (n * n)
