#!/usr/bin/env bash
# Runs a command against a fresh quidorsim on a free loopback port:
#   with_quidorsim.sh QUIDORSIM COMMAND [ARGS...]
# The command finds the simulator in QUIDOR_SERVER, the simulator's trace in
# QUIDORSIM_LOG and a scratch folder in FERROX_TEST_TMP. The simulator is
# stopped however the command ends. The run fails when the command fails or
# when its output reports a misuse of JNI (java -Xcheck:jni).
set -u
sim=$1
shift
. "$(dirname "$0")/../../../../scripts/quidorsim.sh"
work=$(mktemp -d)
cleanup() {
  stop_quidorsim
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

start_quidorsim "$sim" "$work/sim.log" --trace || exit 1
server=$QUIDORSIM_SERVER

export QUIDOR_SERVER=$server QUIDORSIM_LOG=$work/sim.log FERROX_TEST_TMP=$work
"$@" 2>&1 | tee "$work/out.log"
rc=${PIPESTATUS[0]}
if grep -q -E '(WARNING|FATAL ERROR) in native method' "$work/out.log"; then
  echo "with_quidorsim: the JVM reported a misuse of JNI (above)" >&2
  rc=1
fi
exit "$rc"
