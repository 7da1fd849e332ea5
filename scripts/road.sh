#!/usr/bin/env bash
# Runs one case of the whole road (tests/e2e/road.py): the demo, the benchmark
# or one of the test cases, on one Windows build:
#   road.sh <case> [32|64]
# Without a build named it runs on the 32-bit build where the host runs
# 32-bit programs and on the 64-bit build elsewhere (QEL_WINDOWS_BUILDS=32, 64
# or both overrides), and says which. The case runs in a process group of its
# own; whatever of it is still alive when this script ends (also on Ctrl-C) is
# ended here, and so is every Windows process of the case's Wine prefix.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/windows-builds.sh"
case_name=${1:?usage: road.sh <case> [32|64]}
bits=${2:-}
if [ -z "$bits" ]; then
  qel_choose_builds 32
  status=0
  for bits in 32 64; do
    [ "$qel_builds" = "$bits" ] || [ "$qel_builds" = both ] || continue
    echo "== The $case_name case on $(qel_build_label "$bits")"
    started=$SECONDS
    "$root/scripts/road.sh" "$case_name" "$bits" || status=$?
    echo "The $case_name case on $(qel_build_label "$bits") took $((SECONDS - started)) s."
  done
  exit "$status"
fi

[ "$bits" != 64 ] || qel_as_64bit_only_host "$0" "$case_name" 64
qel_require_loader "$bits"

build="$root/$(qel_build_dir "$bits")"
export QEL_WINE=$(qel_wine_loader "$bits")
export QEL_QUORVANE="$build/client/Quorvane.exe"
export QEL_DRIVER="$build/tests/frontend/QuorvaneDriver.exe"
export QEL_PELLITH="$build/proxy/Pellith.dll"
export QEL_SIMVCI="$build/tests/vci/SimVci.dll"
export QEL_ROAD_BIN="$build/tests/e2e"
export QEL_ROAD_ECHO="$root/build-host/tests/e2e/road_echo"
export QEL_STANDIN="$root/tests/standin/relay_bridge.py"
export QEL_ROAD_WORK="$build/road"

road=""
finish() {
  if [ -n "$road" ]; then
    kill -TERM -- "-$road" 2>/dev/null || true
    wait "$road" 2>/dev/null || true
  fi
  if [ -d "$QEL_ROAD_WORK/$case_name/prefix" ]; then
    WINEPREFIX="$QEL_ROAD_WORK/$case_name/prefix" wineserver -k 2>/dev/null || true
  fi
}
trap finish EXIT
trap 'exit 130' INT TERM

setsid /usr/bin/python3 "$root/tests/e2e/road.py" "$case_name" &
road=$!
status=0
wait "$road" || status=$?
road=""
exit "$status"
