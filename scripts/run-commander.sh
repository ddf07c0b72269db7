#!/usr/bin/env bash
# make run: the commander against a simulated probe. Starts quidorsim on a
# free loopback port with its state in the build tree (the memories survive
# between runs; RUN_STATE_DIR names another folder), runs ferroxcmd through
# QUIDOR_SERVER with the given arguments, and stops the simulator however
# the commander ends.
set -uo pipefail
bindir=$1
shift
. "$(dirname "$0")/quidorsim.sh"
state=${RUN_STATE_DIR:-"$bindir/../quidorsim-state"}
mkdir -p "$state"
log=$(mktemp)
cleanup() {
  stop_quidorsim
  rm -f "$log"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

start_quidorsim "$bindir/quidorsim" "$log" --state "$state" || exit 2
QUIDOR_SERVER="$QUIDORSIM_SERVER" "$bindir/ferroxcmd" "$@"
