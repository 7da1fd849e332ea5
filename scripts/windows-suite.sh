#!/usr/bin/env bash
# Runs the whole Windows test suite of one build under Wine, all cores at once:
#   windows-suite.sh 32|64
# Each build's tests bring their Wine loader and prefix (build/wineprefix or
# build-x64/wineprefix) from the build tree.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/windows-builds.sh"
build=$root/$(qel_build_dir "$1")
echo "== Windows tests of $(qel_build_label "$1") under Wine"
qel_require_loader "$1"
status=0
ctest --test-dir "$build" --output-on-failure --timeout 900 -j"$(nproc)" -LE benchmark || status=$?
WINEPREFIX=$build/wineprefix wineserver -k 2>/dev/null || true
exit $status
