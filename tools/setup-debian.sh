#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine needs to build, test, fuzz
# and benchmark Mirdal. Run as root (or through sudo).
set -euo pipefail
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends \
  build-essential cmake pkg-config git ca-certificates \
  qtbase5-dev qtbase5-dev-tools libqt5serialport5-dev libqt5sql5-sqlite libqt5sql5-psql \
  sqlite3 postgresql chromium \
  libssl-dev openssl nlohmann-json3-dev \
  libgtest-dev libgmock-dev libbenchmark-dev \
  pcscd libpcsclite-dev \
  socat xvfb xauth x11-apps x11-utils xdotool imagemagick fonts-urw-base35 \
  clang clang-format libclang-rt-14-dev llvm \
  python3 util-linux procps time \
  g++-mingw-w64-x86-64-posix googletest wine64 \
  dpkg-dev fakeroot file lintian man-db desktop-file-utils appstream bash-completion gzip
