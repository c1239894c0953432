#!/bin/sh
# Runs a Windows test program under Wine with the modem shim preloaded, so that
# Wine's serial code, which reads a COM port's modem lines with ioctls on its
# Unix side in the program's own process, finds lines on the ptys behind the
# test's COM ports. Each run gets a private state folder, removed afterwards;
# output and exit status pass straight through, as with plain `wine`.
shim=$1
shift
dir=$(mktemp -d "${TMPDIR:-/tmp}/kivro-wine-modem.XXXXXX") || exit 1
KIVRO_MODEM_DIR=$dir LD_PRELOAD=$shim wine "$@"
status=$?
rm -rf "$dir"
exit $status
