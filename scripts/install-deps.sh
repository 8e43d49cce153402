#!/usr/bin/env bash
# Installs every Debian package needed to build, run and test the viewer.
# Idempotent: packages already present are skipped; apt-get update runs only when something is missing.
set -euo pipefail

PACKAGES=(
  # build
  build-essential cmake pkg-config clang-format
  # the test command builds with clang and Ninja; clang's sanitizer run-time libraries come apart
  clang libclang-rt-14-dev ninja-build
  # the Debian package: CPack reads the binary's shared libraries with file and dpkg-shlibdeps
  file dpkg-dev
  qtbase5-dev libqt5x11extras5-dev libqt5svg5
  libspice-client-glib-2.0-dev libx11-dev libxtst-dev libpixman-1-dev
  # the connection process's system-call filter, and GStreamer's registry brought up to date before it
  libseccomp-dev libgstreamer1.0-dev
  # the library's USB filters, read and applied by the window for the devices it offers
  libusbredirparser-dev
  # end-to-end test tooling (Debian's python3 runs the harness; openssl makes test certificates)
  python3 python3-pil python3-xlib openssl
  # a font for the words the window shows when a connection fails
  fonts-dejavu-core
  # audio playback inside spice-client-glib
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-pulseaudio
  # test environment: displays, SPICE server, X tools, sound server
  # (xvfb-run needs xauth, only a recommendation of xvfb)
  xvfb xauth xserver-xspice x11-utils x11-xserver-utils x11-xkb-utils xdotool imagemagick
  pulseaudio pulseaudio-utils sox
  # an HTTP proxy (CONNECT) for the consoles scenario; the -bin package comes without the system service
  tinyproxy-bin
  # the guest agent inside Xspice and a clipboard tool on each display
  spice-vdagent xclip
  # second SPICE server offering only server mouse mode; its guest is built from Debian's kernel
  qemu-system-x86
  # certutil: the NSS database of certificates behind the test's software smartcard
  libnss3-tools
  # demo desktop; twm and xterm draw with the core X fonts of xfonts-base
  xterm twm x11-apps xfonts-base
  # a window manager that carries out the full-screen state, for the full-screen scenario
  openbox
  # comparison peer for the performance measurement
  virt-viewer
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
