#!/usr/bin/env bash
# Runs one GUI test module inside a network namespace of its own, so that the
# SDconnect probes' ICMP echoes can never leave the machine:
#   run-isolated.sh WORK_DIR TEST_MODULE
# Only loopback exists there, carrying the device's LAN address; its Wi-Fi
# address stays unreachable. Xvfb, the wineserver and a copy of an initialised
# Wine prefix all live inside the namespace.
set -euo pipefail

readonly LAN_ADDRESS=172.29.127.122

if [ "${1:-}" != --inside ]; then
  [ $# -eq 2 ] || { echo "usage: $0 WORK_DIR TEST_MODULE" >&2; exit 2; }
  if [ "$(id -u)" -eq 0 ]; then isolate=(unshare --net); else isolate=(unshare --map-root-user --net); fi
  if ! "${isolate[@]}" true; then
    echo "FAILED: cannot create an isolated network namespace (${isolate[*]})" >&2
    exit 1
  fi
  exec "${isolate[@]}" -- "$0" --inside "$@"
fi
shift
work=$1 module=$2

ip link set lo up
ip addr add "$LAN_ADDRESS/32" dev lo
if ip -o link show | grep -qv ': lo:'; then
  echo "FAILED: the network namespace has a link besides loopback" >&2
  exit 1
fi

export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$work"
template=$work/prefix-template
exec 9>"$template.lock"
flock 9
if [ ! -f "$template/system.reg" ]; then
  rm -rf "$template"
  WINEPREFIX=$template wineboot -i >/dev/null 2>&1
  WINEPREFIX=$template wineserver -w
fi
flock -u 9

run=$(mktemp -d "$work/run.XXXXXX")
export QEL_GUI_PREFIX=$run/prefix
cleanup() {
  WINEPREFIX=$QEL_GUI_PREFIX wineserver -k 2>/dev/null || true
  WINEPREFIX=$QEL_GUI_PREFIX wineserver -w 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT
cp -a "$template" "$QEL_GUI_PREFIX"
timeout 200 /usr/bin/python3 "$module"
