#!/usr/bin/env bash
# Installs the Debian packages that the build, the tests and the benchmarks need.
set -euo pipefail
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
packages=(
  cmake g++ make pkg-config git python3 clang-format
  libgtest-dev libgmock-dev libbenchmark-dev
  nlohmann-json3-dev zlib1g-dev libssl-dev libcurl4-openssl-dev
  libpcre2-dev libicu-dev libcld2-dev libcli11-dev
  libavformat-dev libavcodec-dev libavutil-dev libsoxr-dev
  portaudio19-dev libasound2-dev libasound2-plugins alsa-utils
  libatspi2.0-dev at-spi2-core dbus dbus-x11 libgtk-3-dev xvfb xauth
  libopenblas-dev libopenblas0-pthread libfftw3-dev
  ffmpeg sox clang libclang-rt-14-dev clang-16 libclang-rt-16-dev ccache
)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
