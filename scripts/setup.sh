#!/usr/bin/env bash
# Installs what building and testing need on Debian, only when something is
# missing; safe to run again.
set -euo pipefail
packages=(cmake ninja-build clang libclang-rt-14-dev googletest libgtest-dev
          g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix wine wine64 wine32:i386
          xvfb x11-utils imagemagick python3-websockets iproute2 util-linux procps
          openssl)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if ! command -v sudo >/dev/null; then
    echo "Missing packages (${missing[*]}) need root to install: run this as root or install sudo." >&2
    exit 1
  fi
  sudo=sudo
fi
echo "Installing: ${missing[*]}"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! { dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386; } >"$log" 2>&1 ||
   ! $sudo apt-get update -qq >>"$log" 2>&1 ||
   ! DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
  tail -n 20 "$log" >&2
  echo "Installing the packages failed (apt's last lines above): check that Debian's package archive" \
       "is reachable and that apt is not busy, then run this again." >&2
  exit 1
fi
