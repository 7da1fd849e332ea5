#!/usr/bin/env bash
# Installs what building and testing need on Debian, only when something is
# missing; safe to run again.
set -euo pipefail
packages=(cmake ninja-build clang libclang-rt-14-dev googletest libgtest-dev
          g++-mingw-w64-i686-posix wine wine64 wine32:i386
          xvfb x11-utils imagemagick python3-websockets iproute2 util-linux procps
          openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "Installing: ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
