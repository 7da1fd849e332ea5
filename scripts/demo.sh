#!/usr/bin/env bash
# The main job: sets up and builds both deliverables, then shows the whole
# road on this machine. The loopback relay/bridge stand-in starts, the
# simulated VCI is installed as a J2534 interface in a Wine prefix of the
# demo's own, Quorvane starts under Wine on an Xvfb display and is connected
# through its GUI test driver (form filled, Connect clicked), and the sample
# diagnostic application runs its session through Pellith. Prints every
# PassThru call with its results, Quorvane's log and where the screenshot of
# the window is. Leaves no process running. Runs the 32-bit build where the
# host runs 32-bit programs and the 64-bit build elsewhere
# (QEL_WINDOWS_BUILDS=32, 64 or both overrides).
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
source "$root/scripts/windows-builds.sh"
"$root/scripts/setup.sh"
qel_choose_builds 32
"$root/scripts/build.sh"
exec "$root/scripts/road.sh" demo
