#!/usr/bin/env bash
# Runs the whole Windows test suite of one build under Wine, all cores at once:
#   windows-suite.sh 32|64
# Each build's tests bring their Wine loader and prefix (build/wineprefix or
# build-x64/wineprefix) from the build tree. The 64-bit suite runs as on a
# host that executes 64-bit code only.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/windows-builds.sh"
[ "$1" != 64 ] || qel_as_64bit_only_host "$0" "$@"
build=$root/$(qel_build_dir "$1")
echo "== Windows tests of $(qel_build_label "$1") under Wine"
qel_require_loader "$1"
status=0
ctest --test-dir "$build" --output-on-failure --timeout 900 -j"$(nproc)" -LE benchmark || status=$?
WINEPREFIX=$build/wineprefix wineserver -k 2>/dev/null || true
exit $status
