#!/usr/bin/env bash
# Runs one SDconnect test program under Wine inside the isolated namespace
# that tests/common/run-isolated.sh made (it sets WINEPREFIX and
# QEL_ISOLATED_RUN):  run-program.sh PROGRAM [ARGS...]
set -euo pipefail

# What a Windows program cannot make under Wine: a drive letter of its own
# (Q:, empty) and a directory link (C:\LinkWalk\Linked -> C:\LinkTarget,
# dangling until the program creates its target).
mkdir "$QEL_ISOLATED_RUN/drive-q"
ln -s "$QEL_ISOLATED_RUN/drive-q" "$WINEPREFIX/dosdevices/q:"
mkdir "$WINEPREFIX/drive_c/LinkWalk"
ln -s ../LinkTarget "$WINEPREFIX/drive_c/LinkWalk/Linked"

# Wine runs as root here; without CAP_DAC_OVERRIDE a read-only file stays
# read-only for it, as it would for a user on Windows.
exec timeout 240 setpriv --bounding-set=-dac_override,-dac_read_search \
  --inh-caps=-dac_override,-dac_read_search \
  "${QEL_WINE:-wine}" "$@"
