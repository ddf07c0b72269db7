#!/usr/bin/env bash
# make run: the commander against a simulated probe. Starts quidorsim on a
# free loopback port with its state in the build tree (the memories survive
# between runs; RUN_STATE_DIR names another folder), runs ferroxcmd through
# QUIDOR_SERVER with the given arguments, and stops the simulator however
# the commander ends.
set -uo pipefail
bindir=$1
shift
state=${RUN_STATE_DIR:-"$bindir/../quidorsim-state"}
mkdir -p "$state"
ready=$(mktemp)
sim_pid=
cleanup() {
  if [ -n "$sim_pid" ]; then
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
  fi
  rm -f "$ready"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

"$bindir/quidorsim" --listen 127.0.0.1:0 --state "$state" > "$ready" 2>&1 &
sim_pid=$!
server=
for _ in $(seq 100); do
  server=$(sed -n 's/^quidorsim listening on //p' "$ready")
  [ -n "$server" ] && break
  if ! kill -0 "$sim_pid" 2>/dev/null; then
    break
  fi
  sleep 0.05
done
if [ -z "$server" ]; then
  echo "make run: quidorsim did not start:" >&2
  cat "$ready" >&2
  exit 2
fi

QUIDOR_SERVER="$server" "$bindir/ferroxcmd" "$@"
