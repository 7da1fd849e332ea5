#!/usr/bin/env bash
# Benchmark of the whole road (not a test): sets up and builds, connects
# Quorvane to the loopback stand-in with the simulated VCI as in the demo, and
# prints, from one run: the raw loopback TCP round trip under Wine, the round
# trip of a small PassThru call through the whole road (median and 99th
# percentile) and their ratio, and the throughput of ReadMsgs replies of 1024
# messages of 4128 bytes. Measures the 32-bit build where the host runs
# 32-bit programs and the 64-bit build elsewhere (QEL_WINDOWS_BUILDS=32, 64 or
# both overrides).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/windows-builds.sh"
"$root/scripts/setup.sh"
qel_choose_builds 32
"$root/scripts/build.sh"
exec "$root/scripts/road.sh" bench
