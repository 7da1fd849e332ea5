#!/usr/bin/env bash
# Runs one SDconnect test program under Wine inside a network namespace of its
# own, so that its ICMP echoes can never leave the machine:
#   run-isolated.sh WORK_DIR PROGRAM [ARGS...]
# The namespace has only the loopback link, on which the device's LAN and
# Wi-Fi addresses answer. Wine gets a wineserver and a prefix of its own,
# started inside the namespace; a prefix shared with other tests would keep
# its wineserver, and so its sockets, outside.
set -euo pipefail

readonly LAN_ADDRESS=172.29.127.122
readonly WIFI_ADDRESS=192.168.2.199

if [ "${1:-}" != --inside ]; then
  [ $# -ge 2 ] || { echo "usage: $0 WORK_DIR PROGRAM [ARGS...]" >&2; exit 2; }
  if [ "$(id -u)" -eq 0 ]; then
    isolate=(unshare --net)
  else
    isolate=(unshare --map-root-user --net)
  fi
  # No fallback: without a namespace of its own the test must not run at all.
  if ! "${isolate[@]}" true; then
    echo "FAILED: cannot create an isolated network namespace (${isolate[*]})" >&2
    exit 1
  fi
  exec "${isolate[@]}" -- "$0" --inside "$@"
fi
shift
work=$1 program=$2
shift 2

ip link set lo up
ip addr add "$LAN_ADDRESS/32" dev lo
ip addr add "$WIFI_ADDRESS/32" dev lo
if ip -o link show | grep -qv ': lo:'; then
  echo "FAILED: the network namespace has a link besides loopback" >&2
  ip -o link show >&2
  exit 1
fi

export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$work"

# One initialised prefix is kept as a template; parallel runs wait for the
# first to create it.
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
export WINEPREFIX=$run/prefix
cleanup() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT
cp -a "$template" "$WINEPREFIX"

# What a Windows program cannot make under Wine: a drive letter of its own
# (Q:, empty) and a directory link (C:\LinkWalk\Linked -> C:\LinkTarget,
# dangling until the program creates its target).
mkdir "$run/drive-q"
ln -s "$run/drive-q" "$WINEPREFIX/dosdevices/q:"
mkdir "$WINEPREFIX/drive_c/LinkWalk"
ln -s ../LinkTarget "$WINEPREFIX/drive_c/LinkWalk/Linked"

# Wine runs as root here; without CAP_DAC_OVERRIDE a read-only file stays
# read-only for it, as it would for a user on Windows.
status=0
timeout 240 setpriv --bounding-set=-dac_override,-dac_read_search \
  --inh-caps=-dac_override,-dac_read_search \
  wine "$program" "$@" || status=$?
exit $status
