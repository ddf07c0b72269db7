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
work=$(mktemp -d)
pid=
cleanup() {
  if [ -n "$pid" ]; then
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
  fi
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

"$sim" --listen 127.0.0.1:0 --trace > "$work/sim.log" 2>&1 &
pid=$!
server=
for _ in $(seq 400); do
  line=$(head -n 1 "$work/sim.log")
  case $line in
    "quidorsim listening on "*) server=${line#quidorsim listening on }; break ;;
  esac
  kill -0 "$pid" 2>/dev/null || break
  sleep 0.05
done
if [ -z "$server" ]; then
  echo "with_quidorsim: quidorsim did not start:" >&2
  cat "$work/sim.log" >&2
  exit 1
fi

export QUIDOR_SERVER=$server QUIDORSIM_LOG=$work/sim.log FERROX_TEST_TMP=$work
"$@" 2>&1 | tee "$work/out.log"
rc=${PIPESTATUS[0]}
if grep -q -E '(WARNING|FATAL ERROR) in native method' "$work/out.log"; then
  echo "with_quidorsim: the JVM reported a misuse of JNI (above)" >&2
  rc=1
fi
exit "$rc"
