#!/usr/bin/env bash
# Sets up, builds and runs every test: the protocol natively under the
# sanitizers, a bounded fuzzing run, then all Windows tests under Wine: those
# of the 64-bit build on every host (as on a host without 32-bit code), and
# those of the 32-bit build, the product, wherever the host runs 32-bit
# programs. Where it does not, the 32-bit binaries are still built and checked
# from their files. QEL_WINDOWS_BUILDS (32, 64 or both) overrides the choice.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"
source "$root/scripts/windows-builds.sh"
"$root/scripts/setup.sh"
qel_choose_builds both
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

summary=()
status=0
if [ "$qel_builds" = 64 ]; then
  echo "== checks of the 32-bit build that need no execution"
  if ctest --test-dir build --output-on-failure -L static; then result=passed; else result=FAILED; status=1; fi
  summary+=("$(qel_build_label 32): built and checked from its files ($result), not run")
fi
if [ "$qel_builds" != 32 ]; then
  if "$root/scripts/windows-suite.sh" 64; then result=passed; else result=FAILED; status=1; fi
  summary+=("$(qel_build_label 64): Windows suite run, $result")
fi
if [ "$qel_builds" != 64 ]; then
  if "$root/scripts/windows-suite.sh" 32; then result=passed; else result=FAILED; status=1; fi
  summary+=("$(qel_build_label 32): Windows suite run, $result")
elif qel_host_runs_32bit; then
  echo "The 32-bit binaries in build/ were built and their files checked, but not run, because" \
       "QEL_WINDOWS_BUILDS=64 chose the 64-bit build only."
else
  echo "The 32-bit binaries in build/ were built and their files checked (machine, file format, exports," \
       "imports, manifest), but not run: this host executes no 32-bit program (the 32-bit Wine loader" \
       "fails to start), so every Windows test ran on the 64-bit build of the same sources instead."
fi
echo "== builds"
printf '%s\n' "${summary[@]}"
exit $status
