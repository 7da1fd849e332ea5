#!/usr/bin/env bash
# Sets up, builds and runs every test: the protocol natively under the
# sanitizers, a bounded fuzzing run, then all Windows tests under Wine.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
"$root/scripts/setup.sh"
"$root/scripts/build.sh"

echo "== host protocol tests (AddressSanitizer, UndefinedBehaviorSanitizer)"
ctest --test-dir build-host --output-on-failure

echo "== protocol fuzzing (${QEL_FUZZ_SECONDS:-60} s)"
corpus=$(mktemp -d)
trap 'rm -rf "$corpus"' EXIT
cp tests/fuzz/corpus/* "$corpus/"
build-host/tests/fuzz/protocol_fuzz -max_total_time="${QEL_FUZZ_SECONDS:-60}" -print_final_stats=0 \
  "$corpus" 2>&1 | tail -n 3

echo "== Windows tests under Wine"
export WINEPREFIX="$root/build/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
status=0
ctest --test-dir build --output-on-failure --timeout 900 -j"$(nproc)" || status=$?
wineserver -k 2>/dev/null || true
exit $status
