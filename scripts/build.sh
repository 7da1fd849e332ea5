#!/usr/bin/env bash
# Builds the 32-bit Windows deliverables (build/), the same sources for 64-bit
# Windows (build-x64/, for hosts that execute no 32-bit code), and the host
# sanitizer build of the protocol module with its fuzzer (build-host/).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
for target in build:i686-w64-mingw32 build-x64:x86_64-w64-mingw32; do
  cmake -S . -B "${target%%:*}" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/${target#*:}.cmake" >/dev/null
  cmake --build "${target%%:*}"
done
cmake -S . -B build-host -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ >/dev/null
cmake --build build-host
