# Which Windows build runs on this host, and how; sourced by test.sh, demo.sh
# and bench.sh. The product is the 32-bit build (build/); the 64-bit build
# (build-x64/) of the same sources runs where no 32-bit program can start.
#
# QEL_WINDOWS_BUILDS overrides the choice: 32, 64 or both.

# Found out by trying, once: the 32-bit Wine loader starts or it does not.
qel_host_runs_32bit() {
  if [ -z "${qel_runs_32bit:-}" ]; then
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then qel_runs_32bit=yes; else qel_runs_32bit=no; fi
  fi
  [ "$qel_runs_32bit" = yes ]
}

# The builds to run: the override when it is set, else $1 where the host runs
# 32-bit code and 64 where it does not. Fails with a sentence for a choice
# that cannot run here.
qel_choose_builds() {
  local choice=${QEL_WINDOWS_BUILDS:-}
  if [ -z "$choice" ]; then
    if qel_host_runs_32bit; then choice=$1; else choice=64; fi
  fi
  case "$choice" in
    32|64|both) ;;
    *) echo "QEL_WINDOWS_BUILDS must be 32, 64 or both, not \"$choice\"." >&2; return 1 ;;
  esac
  if [ "$choice" != 64 ] && ! qel_host_runs_32bit; then
    echo "This host runs no 32-bit program (the 32-bit Wine loader does not start), so the 32-bit build" \
         "cannot run here: set QEL_WINDOWS_BUILDS=64 or leave it unset." >&2
    return 1
  fi
  qel_builds=$choice
}

qel_build_dir() {
  if [ "$1" = 32 ]; then echo build; else echo build-x64; fi
}

qel_wine_loader() {
  if [ "$1" = 32 ]; then echo /usr/lib/wine/wine; else echo /usr/lib/wine/wine64; fi
}

# Fails with a sentence where Wine's loader for the build does not start at all.
qel_require_loader() {
  if ! "$(qel_wine_loader "$1")" --version >/dev/null 2>&1; then
    echo "Wine's $1-bit loader $(qel_wine_loader "$1") does not start on this host, so no Windows program" \
         "of $(qel_build_label "$1") can run: install Debian's wine packages (scripts/setup.sh does)," \
         "or choose the other build with QEL_WINDOWS_BUILDS." >&2
    return 1
  fi
}

qel_build_label() {
  if [ "$1" = 32 ]; then echo "the 32-bit build (build/)"; else echo "the 64-bit build (build-x64/)"; fi
}

# Runs the calling script again as on a host that executes 64-bit code only,
# unless it already runs so; call it as  qel_as_64bit_only_host "$0" "$@".
# Where the host does run 32-bit programs, that is inside a mount namespace in
# which the i386 dynamic loader and the 32-bit Wine loader are covered by an
# empty file, so a stray 32-bit start fails there as it would on such a host.
qel_as_64bit_only_host() {
  if [ "${QEL_64BIT_ONLY:-}" = 1 ] || ! qel_host_runs_32bit; then
    return 0
  fi
  local isolate=(unshare --mount)
  [ "$(id -u)" -eq 0 ] || isolate=(unshare --map-root-user --mount)
  if ! "${isolate[@]}" true 2>/dev/null; then
    echo "Cannot create a mount namespace (${isolate[*]}) to run the 64-bit build as on a host without" \
         "32-bit code: run this as root, or on a host that allows unprivileged user namespaces." >&2
    exit 1
  fi
  QEL_64BIT_ONLY=1 exec "${isolate[@]}" -- bash -c '
    set -e
    empty=$(mktemp)
    mount --bind "$empty" /lib/ld-linux.so.2
    mount --bind "$empty" /usr/lib/wine/wine
    rm -f "$empty"
    if /usr/lib/wine/wine --version >/dev/null 2>&1; then
      echo "The 32-bit Wine loader still starts inside the mount namespace: not running the 64-bit build there." >&2
      exit 1
    fi
    exec "$@"' qel-64bit-only "$@"
}
