#!/usr/bin/env bash
# Installs every Debian package that building and testing Quillora needs.
# Idempotent: packages already present are not fetched again. Needs root (or sudo) only when something
# is missing.
set -euo pipefail

packages=(
  # toolchain
  build-essential cmake ninja-build pkg-config clang-format
  # the fuzz targets: clang and its sanitizer and libFuzzer runtimes (a recommendation only, so named here)
  clang libclang-rt-14-dev
  # audio server client library and the private test server
  libpipewire-0.3-dev libspa-0.2-dev pipewire pipewire-bin wireplumber pipewire-pulse
  # media: encoder, muxer, resampler; the ffmpeg CLI is the benchmark's reference
  libavformat-dev libavcodec-dev libavutil-dev libswresample-dev ffmpeg
  # application framework
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev libqt6svg6
  # the X11 window system asked directly (compositing manager, workspaces); Qt's own Italian texts
  libxcb1-dev qt6-translations-l10n
  # system journal, event sounds; Ed25519 checks of updates
  libsystemd-dev libcanberra-dev libssl-dev
  # the desktop entry check in the installation tests; the release script's signing tool
  desktop-file-utils openssl
  # a private session bus for the stand-in PackageKit service
  dbus-daemon
  # tests and benchmarks
  libgtest-dev libgmock-dev googletest libbenchmark-dev sox procps util-linux
  # real PulseAudio clients (parecord, pactl) served by pipewire-pulse in the call-detection tests
  pulseaudio-utils
  # screenshots of the desktop face: a virtual display, a compositor, a tray host, capture tools
  xvfb x11-apps x11-utils xdotool imagemagick xcompmgr trayer
  # a window manager with workspaces, for the pictures of a workspace switch
  openbox
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null || ! sudo -v; then
    echo "These Debian packages are missing and installing them needs root:" >&2
    echo "  ${missing[*]}" >&2
    echo "Ask an administrator to run scripts/install-deps.sh (or apt-get install them), then run make again." >&2
    exit 1
  fi
  SUDO="sudo"
fi
echo "Installing ${#missing[@]} packages and what they need (a few minutes on a fresh system): ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update
# One line per package fetched and set up, so a long install shows that it is moving.
$SUDO apt-get install -y --no-install-recommends "${missing[@]}"
echo "Dependencies installed."
