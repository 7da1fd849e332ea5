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
trap 'rm -rf "$corpus" "$corpus.log"' EXIT
cp tests/fuzz/corpus/* "$corpus/"
if build-host/tests/fuzz/protocol_fuzz -max_total_time="${QEL_FUZZ_SECONDS:-60}" "$corpus" >"$corpus.log" 2>&1; then
  grep -E '^Done [0-9]+ runs' "$corpus.log"
  rm -f "$corpus.log"
else
  cat "$corpus.log"
  echo "The protocol fuzzer failed: the report above names the file that holds the crashing input."
  exit 1
fi

echo "== Windows tests under Wine"
export WINEPREFIX="$root/build/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
status=0
ctest --test-dir build --output-on-failure --timeout 900 -j"$(nproc)" -LE benchmark || status=$?
wineserver -k 2>/dev/null || true
exit $status
