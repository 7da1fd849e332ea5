#!/usr/bin/env bash
# Benchmark of the whole road (not a test): sets up and builds, connects
# Quorvane to the loopback stand-in with the simulated VCI as in the demo, and
# prints, from one run: the raw loopback TCP round trip under Wine, the round
# trip of a small PassThru call through the whole road (median and 99th
# percentile) and their ratio, and the throughput of ReadMsgs replies of 1024
# messages of 4128 bytes.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
exec "$root/scripts/road.sh" bench
