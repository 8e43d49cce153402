#!/usr/bin/python3
"""How soon the user's devices reach the remote machine: the viewer beside remote-viewer.

Each run boots a fresh QEMU guest (tests/e2e/devices.py: TCG, a SPICE server with USB redirection,
a smartcard reader, the WebDAV port and HDA line-in), waits until it has settled (its reader polled
empty, its line-in recording silence), starts one client with every device and times, from the
exec of the client, the first line of the guest's serial port that says each device is there:

  window   the client's first mapped top-level window on the private Xvfb (a reference: the
           client is up)
  usb      QEMU's trace of the guest configuring a USB device (usb_xhci_slot_configure, on its
           log): the CD's, the only one that comes after the start
  cd       "cd present SIZE MD5" with the image's md5: the USB CD attached, enumerated and read
           whole by the guest (a 3 MiB image by default, --cd-kib)
  folder   "webdav get 200 MD5" with the file's md5: the guest's GET through the shared folder's port
  audio    the first half-second window of the line-in at 440 Hz (within 10 Hz) at full level: its
           RMS at least 90% of the median of the run's 440 Hz windows (a private PulseAudio plays a
           440 Hz tone into its default source; the first window holds the tone's start)
  card     "card present ATR": the software smartcard (three certificates of an NSS database) in
           the guest's CCID reader
  tone     the first window at 440 Hz whatever its level (the guest reports a window at its end,
           every half second: both audio figures are that coarse)

and, per run, the median RMS of the tone in the guest (rms), the guest's boot (s), QEMU's CPU
seconds from the exec until the last device (qemu-s) and the machine's busy share then (busy).

The clients alternate, one run each per round, the first of a round changing from round to round.
A run ends once every device is there (or after --timeout): the client and the guest are stopped.
The guest's image is cached in BUILD/e2e-cache as the tests cache it. A warm-up round comes first
and is not counted (a GStreamer program's first start in a new home builds its plugin registry).
The viewer runs as
`spice-client -h HOST -p PORT --share-cd ISO --share-dir DIR --smartcard-db DB --smartcard-certs
A,B,C`; remote-viewer with the same through its --spice-* options and a redirect-on-connect filter
for mass storage (it redirects a shared CD only with one). remote-viewer shares a folder only once
a box is ticked in its preferences: its folder is not waited for, only noted if it comes.

Not a test: run by hand with Debian's python (python3-xlib) after building spice-client (a plain
RelWithDebInfo build: `cmake -S . -B build && cmake --build build -j2 --target spice-client`):

  /usr/bin/python3 tools/compare_devices.py --build build [--rounds 5] [--cd-kib 3072] [--json out.json]
"""
import argparse, json, os, re, shutil, statistics, sys, time
from Xlib import X, Xatom
from Xlib.error import XError

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "tests", "e2e")]
import harness  # noqa: E402
from devices import Guest, Pulse, cd_image, folder, md5, nss_db  # noqa: E402

DEVICES = ("window", "usb", "cd", "folder", "audio", "card")
COLUMNS = DEVICES + ("tone",)  # tone: the end of the first window at 440 Hz, whatever its level
HELLO = b"read through the shared folder\n"
CERTS = "alice,bob,carol"
TONE = 440


def cpu_seconds(pid):
    try:
        with open("/proc/%d/stat" % pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
    except OSError:
        return float("nan")


def machine_busy():
    """(busy jiffies, total jiffies) of the whole machine from /proc/stat."""
    with open("/proc/stat") as f:
        fields = [int(v) for v in f.readline().split()[1:]]
    return sum(fields) - fields[3] - fields[4], sum(fields)


class Serial:
    """The guest's serial log from a byte offset on: each whole line with the time it was first
    read (the file is read every few milliseconds)."""
    def __init__(self, path):
        self.path, self.lines, self.rest = path, [], b""
        self.offset = os.path.getsize(path)

    def poll(self):
        with open(self.path, "rb") as f:
            f.seek(self.offset)
            data = f.read()
        self.offset += len(data)
        now = time.monotonic()
        *whole, self.rest = (self.rest + data).split(b"\n")
        self.lines += [(now, line.decode(errors="replace").rstrip("\r")) for line in whole]


class Bench:
    def __init__(self, env, args):
        self.env, self.args = env, args
        self.pulse = Pulse(env, TONE)
        self.iso = env.path("disc.iso")
        self.disc = cd_image(self.iso, args.cd_kib << 10)
        self.shared = folder(env.path("shared"), {"hello.txt": HELLO})
        self.db = nss_db(env.path("db"))[len("sql:"):]
        self.x = env.x
        spawn = env.spawn

        def traced(argv, name, **kw):  # QEMU's log says when the guest configures a USB device
            trace = ["-trace", "usb_xhci_slot_configure"] if name == "qemu" else []
            return spawn(list(argv) + trace, name, **kw)
        env.spawn = traced

    def argv(self, client, port):
        if client == "viewer":
            return [self.args.viewer, "-h", "127.0.0.1", "-p", port, "--share-cd", self.iso, "--share-dir",
                    self.shared, "--smartcard-db", self.db, "--smartcard-certs", CERTS]
        return ["remote-viewer", "--spice-share-cd=" + self.iso,
                "--spice-usbredir-redirect-on-connect=0x08,-1,-1,-1,1", "--spice-shared-dir=" + self.shared,
                "--spice-smartcard", "--spice-smartcard-db=sql:" + self.db,
                "--spice-smartcard-certificates=" + CERTS, "spice://127.0.0.1:%d" % port]

    def mapped(self, pid):
        atom = self.x.intern_atom("_NET_WM_PID")
        for w in self.x.screen().root.query_tree().children:
            try:
                p = w.get_full_property(atom, Xatom.CARDINAL)
                if p and p.value[0] == pid and w.get_attributes().map_state == X.IsViewable:
                    return True
            except XError:  # gone meanwhile
                pass
        return False

    def run(self, client):
        """{device: seconds from the exec} of one client on a fresh guest, plus what else was seen."""
        guest = Guest(self.env, timeout=300)
        # Settled: the reader thread polled its slot, the line-in records (silence, no client).
        since = guest.mark()
        guest.wait(r"^card absent$", 60)
        guest.wait(r"^audio 0 0$", 60, since)
        serial, qemu_log = Serial(guest.serial), Serial(guest.proc.log)
        wanted = {"window", "usb", "cd", "audio", "card"} | ({"folder"} if client == "viewer" else set())
        found, tones, notes = {}, [], []
        qemu0, busy0 = cpu_seconds(guest.proc.pid), machine_busy()
        t0 = time.monotonic()
        proc = self.env.spawn(self.argv(client, guest.port), client,
                              env=dict(self.pulse.env, DISPLAY=self.env.display, GTK_CSD="0", NO_AT_BRIDGE="1"))
        try:
            while time.monotonic() - t0 < self.args.timeout and proc.poll() is None:
                seen = len(serial.lines)
                serial.poll()
                qemu_log.poll()
                configured = [t for t, l in qemu_log.lines if "slot_configure" in l]
                if configured:
                    found.setdefault("usb", configured[0] - t0)
                if "window" not in found and self.mapped(proc.pid):
                    found["window"] = time.monotonic() - t0
                for t, line in serial.lines[seen:]:
                    if m := re.match(r"cd present \d+ (\w+)$", line):
                        if m[1] == self.disc:
                            found.setdefault("cd", t - t0)
                        else:
                            notes.append("cd with another md5")
                    elif m := re.match(r"webdav get (\d+) (\w+)$", line):
                        if (m[1], m[2]) == ("200", md5(HELLO)):
                            found.setdefault("folder", t - t0)
                        else:
                            notes.append(line)
                    elif (m := re.match(r"audio (\d+) (\d+)$", line)) and abs(int(m[1]) - TONE) < 10:
                        tones.append((t - t0, int(m[2])))
                    elif re.match(r"card present [0-9a-f]{8,}$", line):
                        found.setdefault("card", t - t0)
                    elif re.match(r"cd unreadable|cannot load|audio cannot", line):
                        notes.append(line)
                # The level is known once a few whole windows of the tone came after the first.
                if len(tones) >= 5:
                    level = statistics.median(r for _, r in tones[1:])
                    found.setdefault("audio", next(t for t, r in tones if r >= 0.9 * level))
                if wanted <= found.keys():
                    break
                time.sleep(0.005)
            ended = proc.poll()
            qemu, busy1 = cpu_seconds(guest.proc.pid) - qemu0, machine_busy()
        finally:
            harness.stop(proc)
            harness.stop(guest.proc)
        if ended is not None:
            notes.append("%s ended with status %s; see %s" % (client, ended, proc.log))
        notes += ["no %s within %.0f s" % (d, self.args.timeout) for d in sorted(wanted - found.keys())]
        if client != "viewer" and "folder" in found:
            notes.append("remote-viewer shared the folder")
        return dict(found, level=statistics.median(r for _, r in tones[1:] or tones) if tones else 0,
                    tone=tones[0][0] if tones else None, boot=guest.boot, qemu_cpu=qemu,
                    busy=(busy1[0] - busy0[0]) / max(1, busy1[1] - busy0[1]), notes=notes)


def line(label, r):
    cells = ["%6.2f" % r[d] if isinstance(r.get(d), float) else "%6s" % "-" for d in COLUMNS]
    return "%-16s %s  %6.0f %5.1f %7.1f %4.0f%%  %s" % (label, " ".join(cells), r["level"], r["boot"],
                                                      r["qemu_cpu"], 100 * r["busy"], "; ".join(r["notes"]))


def main():
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--build", default=os.path.join(HERE, "..", "build"), help="build folder with spice-client")
    p.add_argument("--viewer", help="viewer executable (default: BUILD/spice-client)")
    p.add_argument("--rounds", type=int, default=5, help="runs of each client, after the warm-up")
    p.add_argument("--cd-kib", type=int, default=3072, help="size of the CD image (KiB, a multiple of 2)")
    p.add_argument("--timeout", type=float, default=120, help="seconds a run waits for its devices")
    p.add_argument("--json", help="also write every run's figures here")
    p.add_argument("--keep", action="store_true", help="keep the logs (clients, guests) in E2E_LOG_DIR "
                   "(default: BUILD/e2e-logs)")
    args = p.parse_args()
    args.viewer = os.path.abspath(args.viewer or os.path.join(args.build, "spice-client"))
    for name, folder_name in (("E2E_CACHE_DIR", "e2e-cache"), ("E2E_LOG_DIR", "e2e-logs")):
        os.environ.setdefault(name, os.path.abspath(os.path.join(args.build, folder_name)))
    if not os.access(args.viewer, os.X_OK):
        sys.exit("not built: %s" % args.viewer)
    if not shutil.which("remote-viewer"):
        sys.exit("remote-viewer is not installed (Debian package virt-viewer)")
    model = next((l.split(":", 1)[1].strip() for l in open("/proc/cpuinfo") if l.startswith("model name")), "?")
    print("%s; %d cores (%s); CD image %d KiB" % (time.strftime("%Y-%m-%d %H:%M"), os.cpu_count(), model,
                                                 args.cd_kib))
    print("load average before: %s" % " ".join(open("/proc/loadavg").read().split()[:3]), flush=True)
    print("%-16s %s  %6s %5s %7s %5s" % ("run", " ".join("%6s" % d for d in COLUMNS), "rms", "boot", "qemu-s",
                                         "busy"))
    env, results = harness.Env("compare_devices"), {"viewer": [], "remote-viewer": []}
    try:
        bench = Bench(env, args)
        for rnd in range(args.rounds + 1):
            order = ["viewer", "remote"] if rnd % 2 == 0 else ["remote", "viewer"]
            for client in order:
                r = bench.run(client)
                name = "viewer" if client == "viewer" else "remote-viewer"
                print(line("%s %s" % (name, rnd or "w"), r), flush=True)
                if rnd:
                    results[name].append(r)
    finally:  # with --keep, the logs go to E2E_LOG_DIR
        env.close(args.keep)
    print("load average after: %s" % " ".join(open("/proc/loadavg").read().split()[:3]))
    print("\nseconds from the exec, median (min-max) of %d rounds:" % args.rounds)
    print("%-10s %s" % ("", "".join("%-20s" % n for n in results)))
    for d in COLUMNS:
        cells = []
        for runs in results.values():
            v = [r[d] for r in runs if isinstance(r.get(d), float)]
            missing = "" if len(v) == len(runs) else " %d of %d" % (len(v), len(runs))
            cells.append("%.2f (%.2f-%.2f)%s" % (statistics.median(v), min(v), max(v), missing) if v else "-")
        print("%-10s %s" % (d, "".join("%-20s" % c for c in cells)))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()
