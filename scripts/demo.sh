#!/usr/bin/env bash
# Builds the viewer, starts a local SPICE desktop (Xspice with a window manager, a clock and a
# terminal) on 127.0.0.1 and opens the viewer on it. Ending the viewer (Ctrl+C here, or killing it)
# stops the demo server as well.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target spice-client

if [ -z "${DISPLAY:-}" ]; then
  echo "demo: no DISPLAY; run it from an X11 desktop session" >&2
  exit 1
fi

port=${DEMO_PORT:-5930}
display_number=${DEMO_DISPLAY:-55}
size=${DEMO_SIZE:-1600x900}
work=$(mktemp -d -t spice-demo.XXXXXX)
mkdir -p "$work/conf.d" "$work/sound"
: >"$work/conf.d/empty.conf"

sed -e "s|@PORT@|$port|" -e "s|@WIDTH@|${size%x*}|" -e "s|@HEIGHT@|${size#*x}|" \
  -e "s|@FIFO_DIR@|$work/sound|" scripts/xspice.conf.in >"$work/xspice.conf"

pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  sleep 0.5
  for pid in "${pids[@]}"; do kill -9 "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

Xorg -config "$work/xspice.conf" -configdir "$work/conf.d" -noreset -nolisten tcp \
  -logfile "$work/xorg.log" ":$display_number" >"$work/xorg.out" 2>&1 &
pids+=($!)
for _ in $(seq 50); do
  DISPLAY=":$display_number" xdpyinfo >/dev/null 2>&1 && break
  sleep 0.1
done

DISPLAY=":$display_number" xsetroot -solid '#2d5b86'
DISPLAY=":$display_number" twm -f scripts/demo.twmrc >/dev/null 2>&1 &
pids+=($!)
DISPLAY=":$display_number" xclock -geometry 200x200-40+40 -update 1 -title "Clock" >/dev/null 2>&1 &
pids+=($!)
DISPLAY=":$display_number" xterm -geometry 100x30+60+60 -title "Remote terminal" >/dev/null 2>&1 &
pids+=($!)

echo "demo: SPICE desktop on 127.0.0.1:$port; press Ctrl+C here to end (closing the window only hides it)"
# The viewer runs in the foreground: when it ends, the trap stops the server.
TMPDIR="$work" ./build/spice-client --host 127.0.0.1 --port "$port" --name "SPICE demo desktop"
