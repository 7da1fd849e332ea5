#!/usr/bin/env bash
# The main job: sets up and builds both deliverables.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
"$root/scripts/setup.sh"
"$root/scripts/build.sh"
echo "Built:"
find "$root/build" -maxdepth 3 \( -name 'Quorvane.exe' -o -name 'Pellith.dll' -o -name 'libQelProtocol.a' \) -printf '  %p\n'
