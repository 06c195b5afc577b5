#!/usr/bin/env bash
# Installs the Debian packages that building and testing Ruvo need, and only the missing ones.
# Idempotent: a machine that has everything runs no apt-get at all.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libgtest-dev libgmock-dev
  # make bench: Google Benchmark.
  libbenchmark-dev
  libplist-dev
  # Host facts: nl80211 for the Wi-Fi access point, X11 and XRandR for the primary monitor's size,
  # libcurl's version as the browser component's.
  libnl-genl-3-dev libx11-dev libxrandr-dev libcurl4-openssl-dev
  # The assistant's main loop (GLib); the window (GTK 4) builds on it.
  libglib2.0-dev
  # The window: GTK 4, GResource's compiler, the pictures rendered from their SVG sources, and a
  # CJK font for the Chinese texts.
  libgtk-4-dev libglib2.0-dev-bin librsvg2-bin fonts-wqy-microhei
  # The window's tests: a real X server without a screen, a session bus per scenario, and the
  # tools that drive the window and look at its pixels; Mesa's drivers for GTK's GL renderer.
  xvfb xauth xdotool imagemagick dbus-daemon libgl1-mesa-dri
  # Real iPhones: libimobiledevice and libusbmuxd for the USB driver, and Debian's idevice_id and
  # ideviceinfo, which the usbmux stand-in's tests point at it.
  libimobiledevice-dev libusbmuxd-dev libimobiledevice-utils
  # Ringtones from any audio file: GStreamer with the decoders (MP3, Ogg Vorbis and Opus, FLAC,
  # WAV, MP4 and AAC) and the AAC encoders (avenc_aac, voaacenc) and MPEG-4 muxer.
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev gstreamer1.0-plugins-base gstreamer1.0-plugins-good
  gstreamer1.0-plugins-bad gstreamer1.0-libav
  # The conversion helper's system-call filter.
  libseccomp-dev
  # The audio tests make their fixtures with gst-launch-1.0 and read results with gst-discoverer-1.0.
  gstreamer1.0-tools gstreamer1.0-plugins-base-apps
  python3
  # The fuzz targets: clang with libFuzzer and clang's sanitizer runtimes, which live in
  # libclang-rt-14-dev (clang only recommends it, and recommends are not installed here).
  # g++'s own sanitizer runtimes come with build-essential.
  clang libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi

echo "install-deps: installing ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
