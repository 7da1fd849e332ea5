#!/usr/bin/env bash
# Runs one command inside a network namespace of its own, so that the ICMP
# echoes of the SDconnect probes can never leave the machine:
#   run-isolated.sh WORK_DIR ADDRESSES COMMAND [ARGS...]
# ADDRESSES is a comma-separated list of the addresses that answer there; the
# namespace's only link is loopback, which carries them. The command gets a
# Wine prefix of its own in WINEPREFIX (a copy of a template kept in
# WORK_DIR), so its wineserver, and with it every socket, starts inside the
# namespace; a prefix shared with other tests would keep its wineserver outside.
set -euo pipefail

if [ "${1:-}" != --inside ]; then
  [ $# -ge 3 ] || { echo "usage: $0 WORK_DIR ADDRESSES COMMAND [ARGS...]" >&2; exit 2; }
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
work=$1 addresses=$2
shift 2

ip link set lo up
IFS=, read -ra answering <<<"$addresses"
for address in "${answering[@]}"; do
  ip addr add "$address/32" dev lo
done
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
  WINEPREFIX=$template "${QEL_WINE:-wine}" wineboot -i >/dev/null 2>&1
  WINEPREFIX=$template wineserver -w
fi
flock -u 9

run=$(mktemp -d "$work/run.XXXXXX")
export WINEPREFIX=$run/prefix QEL_ISOLATED_RUN=$run
cleanup() {
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  rm -rf "$run"
}
trap cleanup EXIT
cp -a "$template" "$WINEPREFIX"
status=0
"$@" || status=$?
exit $status
