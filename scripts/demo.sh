#!/usr/bin/env bash
# The main job: sets up and builds both deliverables, then shows the whole
# road on this machine. The loopback relay/bridge stand-in starts, the
# simulated VCI is installed as a J2534 interface in a Wine prefix of the
# demo's own, Quorvane starts under Wine on an Xvfb display and is connected
# through its GUI test driver (form filled, Connect clicked), and the sample
# diagnostic application runs its session through Pellith. Prints every
# PassThru call with its results, Quorvane's log and where the screenshot of
# the window is. Leaves no process running.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
started=$SECONDS
status=0
"$root/scripts/road.sh" demo || status=$?
echo "Demo finished in $((SECONDS - started)) s after the build."
exit "$status"
