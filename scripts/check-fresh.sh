#!/usr/bin/env bash
# Release check on a bare Debian 12, as a new user would meet it. Not part of the test command.
#  1. debootstraps a minbase bookworm root, copies this tree in and runs the README's two commands
#     there with chroot: the demo (on an Xvfb of this machine, through /tmp/.X11-unix) until the
#     viewer shows the demo desktop, then the whole test command;
#  2. builds the Debian package there as the README's Installing section says;
#  3. installs it with apt-get on a second bare root and checks that the installed spice-client
#     shows an Xspice desktop and plays its sound (the server runs in the first root, a PulseAudio
#     in the second) and that its run-time plugins are there;
#  4. validates the installed .desktop entries, metainfo and manual page, and that xdg-mime knows
#     connection files (*.vv) and opens them with the viewer;
#  5. installs Debian's spice-client-gtk beside it, which ships a manual page of the same name, and
#     checks both pages after installing and removing either package.
# Needs root and Debian's archive; takes about 10 minutes on two cores, most of it downloading and
# building. Everything it starts is stopped and every mount is undone when it ends.
#   scripts/check-fresh.sh [WORK_DIR]   (default /var/tmp/spice-client-fresh, emptied first)
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
work=${1:-/var/tmp/spice-client-fresh}
mirror=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
display=${CHECK_DISPLAY:-97} # Xvfb that shows the demo and the installed viewer
server_display=$((display + 1))
port=${CHECK_PORT:-5977}

if [ "$(id -u)" -ne 0 ]; then
  echo "check-fresh: run as root (debootstrap, mount, chroot)" >&2
  exit 1
fi

host_tools=(debootstrap xvfb desktop-file-utils appstream man-db)
missing=()
for p in "${host_tools[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -q
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
fi

mounts=()
pids=()
pgroups=()
cleanup() {
  local i
  for g in "${pgroups[@]}"; do kill -TERM -- "-$g" 2>/dev/null || true; done
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  sleep 1
  for g in "${pgroups[@]}"; do kill -KILL -- "-$g" 2>/dev/null || true; done
  for p in "${pids[@]}"; do kill -9 "$p" 2>/dev/null || true; done
  for ((i = ${#mounts[@]} - 1; i >= 0; i--)); do umount "${mounts[i]}" 2>/dev/null || umount -l "${mounts[i]}" || true; done
}
trap cleanup EXIT INT TERM

log() { echo "check-fresh: $*"; }
fail() {
  log "FAILED: $*"
  exit 1
}

# A bare root with the kernel file systems and the display sockets of this machine.
bare_root() {
  local root=$1
  debootstrap --variant=minbase bookworm "$root" "$mirror" >"$root.debootstrap.log" 2>&1 ||
    fail "debootstrap $root (see $root.debootstrap.log)"
  # An installed system names localhost in /etc/hosts; debootstrap leaves that to the installer.
  printf '127.0.0.1\tlocalhost\n::1\t\tlocalhost ip6-localhost ip6-loopback\n' >"$root/etc/hosts"
  mkdir -p /tmp/.X11-unix
  for m in proc sys dev dev/pts dev/shm tmp/.X11-unix; do
    mkdir -p "$root/$m"
    if [ $m = proc ]; then mount -t proc proc "$root/proc"; else mount --bind "/$m" "$root/$m"; fi
    mounts+=("$root/$m")
  done
}

# A root's commands see only this environment, as from a bare login. chroot and env exec, so a
# command started in the background with "$!" gives the PID of the program itself.
clean_env=(/usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin TERM=dumb)
in_root() {
  local root=$1
  shift
  chroot "$root" "${clean_env[@]}" "$@"
}

wait_for() { # wait_for SECONDS FILE REGEX
  local end=$((SECONDS + $1))
  while ! grep -qE "$3" "$2" 2>/dev/null; do
    [ $SECONDS -lt $end ] || return 1
    sleep 2
  done
}

# How much of a screenshot (PNG) has the colour of the remote desktop's background.
background_share() {
  in_root "$r1" convert "$1" -fill white -opaque '#2d5b86' -fill black +opaque white -format '%[fx:mean]' info:
}

rm -rf "$work"
mkdir -p "$work"
r1=$work/build-root
r2=$work/install-root

log "bare root for the README's commands: $r1"
bare_root "$r1"
mkdir -p "$r1/root/spice-client"
tar -C "$repo" --exclude=./.git --exclude=./build --exclude='./build-*' -cf - . | tar -C "$r1/root/spice-client" -xf -

Xvfb ":$display" -screen 0 1600x1000x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
pids+=($!)
sleep 1

log "README command 1: ./scripts/demo.sh (log: $work/demo.log)"
start=$SECONDS
setsid chroot "$r1" "${clean_env[@]}" DISPLAY=":$display" DEMO_SIZE=1280x800 bash -c 'cd /root/spice-client && exec ./scripts/demo.sh' \
  >"$work/demo.log" 2>&1 &
demo=$!
pgroups+=("$demo")
wait_for 3600 "$work/demo.log" 'new display channel' || fail "the demo viewer showed no display"
demo_time=$((SECONDS - start))
sleep 8 # the window manager, the clock and the terminal draw their first frames
in_root "$r1" import -display ":$display" -window root /tmp/demo.png
cp "$r1/tmp/demo.png" "$work/demo.png"
share=$(background_share /tmp/demo.png)
kill -TERM -- "-$demo"
wait "$demo" || true
log "demo up after ${demo_time}s; desktop background covers $share of the screen ($work/demo.png)"
awk -v s="$share" 'BEGIN { exit !(s > 0.1) }' || fail "the demo desktop is not on the screen"

log "README command 2: ./scripts/test.sh (log: $work/test.log)"
start=$SECONDS
test_status=0
in_root "$r1" bash -c 'cd /root/spice-client && ./scripts/test.sh' >"$work/test.log" 2>&1 || test_status=$?
test_time=$((SECONDS - start))
log "test command ended with status $test_status after ${test_time}s: $(grep -E 'tests passed|tests failed' "$work/test.log" || true)"

log "package, as the README's Installing section builds it"
start=$SECONDS
in_root "$r1" bash -c 'cd /root/spice-client &&
  cmake -S . -B build-release -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >/dev/null &&
  cmake --build build-release -j"$(nproc)" --target package' >"$work/package.log" 2>&1 ||
  fail "package build (see $work/package.log)"
package_time=$((SECONDS - start))
deb=$(ls "$r1"/root/spice-client/build-release/spice-client_*_*.deb)
cp "$deb" "$work/"
deb=$work/$(basename "$deb")

log "second bare root for the package: $r2"
bare_root "$r2"
cp "$deb" "$r2/root/"
in_root "$r2" bash -c 'export DEBIAN_FRONTEND=noninteractive; apt-get update -q &&
  cd /root && apt-get install -y -q ./spice-client_*.deb xdg-utils libfile-mimeinfo-perl man-db' >"$work/install.log" 2>&1 </dev/null ||
  fail "apt-get install of the package (see $work/install.log)"

log "installed spice-client against an Xspice server on 127.0.0.1:$port, sound into a PulseAudio null sink"
mkdir -p "$r1/tmp/xspice/conf.d" "$r1/tmp/xspice/sound" "$r2/tmp/viewer" "$r2/tmp/pulse"
: >"$r1/tmp/xspice/conf.d/empty.conf"
sed -e "s|@PORT@|$port|" -e "s|@WIDTH@|1024|" -e "s|@HEIGHT@|768|" -e "s|@FIFO_DIR@|/tmp/xspice/sound|" \
  "$repo/scripts/xspice.conf.in" >"$r1/tmp/xspice/xspice.conf"
chroot "$r1" "${clean_env[@]}" Xorg -config /tmp/xspice/xspice.conf -configdir /tmp/xspice/conf.d -noreset \
  -nolisten tcp -logfile /tmp/xspice/xorg.log ":$server_display" >"$work/xspice.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  in_root "$r1" env DISPLAY=":$server_display" xsetroot -solid '#2d5b86' 2>/dev/null && break
  sleep 0.2
done
# The package recommends a sound server; this one plays into a null sink whose monitor is recorded.
chroot "$r2" "${clean_env[@]}" PULSE_RUNTIME_PATH=/tmp/pulse pulseaudio -n --daemonize=no --exit-idle-time=-1 \
  --use-pid-file=no --disable-shm=yes -L "module-null-sink sink_name=check rate=48000 channels=2" \
  -L "module-native-protocol-unix socket=/tmp/pulse/native auth-anonymous=1" >"$work/pulse.log" 2>&1 &
pids+=($!)
for _ in $(seq 100); do
  in_root "$r2" env PULSE_SERVER=unix:/tmp/pulse/native pactl info >/dev/null 2>&1 && break
  sleep 0.2
done
chroot "$r2" "${clean_env[@]}" DISPLAY=":$display" TMPDIR=/tmp/viewer PULSE_SERVER=unix:/tmp/pulse/native \
  spice-client -h 127.0.0.1 -p "$port" -n check >"$work/viewer.log" 2>&1 &
pids+=($!)
wait_for 60 "$work/viewer.log" 'new display channel' || fail "the installed viewer did not connect"
sleep 5
in_root "$r1" import -display ":$display" -window root /tmp/viewer.png
cp "$r1/tmp/viewer.png" "$work/viewer.png"
share=$(background_share /tmp/viewer.png)
log "the installed viewer shows the server's screen: background covers $share of the screen"
awk -v s="$share" 'BEGIN { exit !(s > 0.1) }' || fail "the installed viewer shows no picture ($work/viewer.png)"

# A 440 Hz tone played by the server must come out of the local sound server.
chroot "$r2" "${clean_env[@]}" PULSE_SERVER=unix:/tmp/pulse/native timeout 8 parec -d check.monitor --raw \
  --format=s16le --rate=48000 --channels=2 >"$r1/tmp/sound.raw" 2>"$work/parec.log" &
recorder=$!
in_root "$r1" bash -c 'mkfifo /tmp/xspice/sound/tone &&
  timeout 20 sox -q -n -t raw -r 48000 -e signed -b 16 -c 2 /tmp/xspice/sound/tone synth 3 sine 440 vol 0.5'
wait "$recorder" || true
rms=$(in_root "$r1" sox -t raw -r 48000 -e signed -b 16 -c 2 /tmp/sound.raw -n stat 2>&1 |
  awk '/RMS +amplitude/ { print $3 }')
log "sound from the server through the installed viewer: RMS amplitude ${rms:-none} on the sink"
awk -v r="${rms:-0}" 'BEGIN { exit !(r > 0.05) }' || fail "no sound reached the sound server"
grep -q CRITICAL "$work/viewer.log" && fail "CRITICAL lines in $work/viewer.log"

# Loaded at run time, so only the package's explicit dependencies bring them.
for plugin in qt5/plugins/imageformats/libqsvg.so gstreamer-1.0/libgstapp.so gstreamer-1.0/libgstaudioconvert.so \
  gstreamer-1.0/libgstaudioresample.so gstreamer-1.0/libgstautodetect.so gstreamer-1.0/libgstpulseaudio.so; do
  ls "$r2"/usr/lib/*/"$plugin" >/dev/null 2>&1 || fail "the package did not bring $plugin"
done

log "validators on the installed files"
desktop-file-validate "$r2"/usr/share/applications/spice-client*.desktop || fail "desktop-file-validate"
# A browser's or file manager's "open" on a connection file reaches the viewer.
printf '[virt-viewer]\ntype=spice\nhost=127.0.0.1\nport=%s\n' "$port" >"$r2/root/console.vv"
type=$(in_root "$r2" xdg-mime query filetype /root/console.vv)
[ "$type" = application/x-virt-viewer ] || fail "xdg-mime query filetype console.vv: $type"
handler=$(in_root "$r2" xdg-mime query default application/x-virt-viewer)
[ "$handler" = spice-client-file.desktop ] || fail "xdg-mime query default application/x-virt-viewer: $handler"
appstreamcli validate --no-net "$r2"/usr/share/metainfo/*.metainfo.xml || fail "appstreamcli validate"
warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$r2/usr/share/man/man1/spice-client.1.gz" 2>&1 >"$work/man.txt")
[ -z "$warnings" ] || fail "man page warnings: $warnings"
[ -f "$r2/usr/share/bash-completion/completions/spice-client" ] || fail "no bash completion installed"

# Debian's spice-client-gtk ships /usr/share/man/man1/spice-client.1.gz too; the package diverts that
# copy to spice-client-gtk.1.gz. Installed after the package, then the package removed and installed
# again (now after it), then spice-client-gtk removed: the page named spice-client is always this
# viewer's while it is installed, and the other's page is there as long as its package is.
man1=$r2/usr/share/man/man1
ours=$(md5sum <"$man1/spice-client.1.gz")
apt_r2() { in_root "$r2" bash -c 'DEBIAN_FRONTEND=noninteractive apt-get "$@"' apt "$@" >>"$work/install.log" 2>&1 </dev/null; }
man_pages() { # man_pages WHEN MD5-OF-spice-client.1.gz MD5-OF-spice-client-gtk.1.gz ("-": absent)
  local got=() f
  for f in spice-client spice-client-gtk; do
    if [ -f "$man1/$f.1.gz" ]; then got+=("$(md5sum <"$man1/$f.1.gz")"); else got+=(-); fi
  done
  [ "${got[0]}" = "$2" ] && [ "${got[1]}" = "$3" ] || fail "manual pages $1: spice-client.1.gz ${got[0]}, spice-client-gtk.1.gz ${got[1]}"
  local name
  name=$(in_root "$r2" env MANWIDTH=80 man spice-client 2>/dev/null | sed -n 4p | sed 's/^ *//' || true)
  log "manual pages $1: man spice-client shows \"$name\""
  case $2 in
  "$ours") [[ $name == "spice-client - viewer for a remote machine that speaks SPICE" ]] ;;
  *) [[ $name == Spice-GTK* ]] ;;
  esac || fail "man spice-client $1"
}
log "Debian's spice-client-gtk beside the package (log: $work/install.log)"
apt_r2 install -y -q spice-client-gtk || fail "apt-get install spice-client-gtk beside the package"
theirs=$(md5sum <"$man1/spice-client-gtk.1.gz") || fail "spice-client-gtk's manual page was not put aside"
[ "$theirs" != "$ours" ] || fail "spice-client-gtk's manual page is this package's"
man_pages "with both installed" "$ours" "$theirs"
apt_r2 remove -y -q spice-client || fail "apt-get remove spice-client"
man_pages "after removing the package" "$theirs" -
apt_r2 install -y -q /root/"$(basename "$deb")" || fail "apt-get install of the package after spice-client-gtk"
man_pages "after installing it again" "$ours" "$theirs"
apt_r2 remove -y -q spice-client-gtk || fail "apt-get remove spice-client-gtk"
man_pages "after removing spice-client-gtk" "$ours" -

log "README command 1 (demo, until the viewer showed the desktop): ${demo_time}s"
log "README command 2 (test): ${test_time}s, status $test_status"
log "package build: ${package_time}s; $(basename "$deb"): $(stat -c %s "$deb") bytes"
log "$(dpkg-deb -f "$deb" Depends | sed 's/^/Depends: /')"
log "rendered manual page: $work/man.txt; screenshots: $work/demo.png, $work/viewer.png"
[ "$test_status" -eq 0 ] || fail "the test command failed (see $work/test.log)"
log "all passed"
