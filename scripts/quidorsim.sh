# Starting and stopping a quidorsim process from a script; sourced, not run.
#   start_quidorsim SIM LOG [ARGS...]  starts SIM on a free loopback port with
#                                      ARGS, its output in LOG; sets
#                                      QUIDORSIM_PID and QUIDORSIM_SERVER
#                                      (HOST:PORT), or returns 1 with the log
#                                      shown when it does not come up.
#   stop_quidorsim                     stops it (safe to call more than once).
QUIDORSIM_PID=
QUIDORSIM_SERVER=

start_quidorsim() {
  local sim=$1 log=$2 line
  shift 2
  "$sim" --listen 127.0.0.1:0 "$@" > "$log" 2>&1 &
  QUIDORSIM_PID=$!
  for _ in $(seq 400); do
    line=$(head -n 1 "$log")
    case $line in
      "quidorsim listening on "*) QUIDORSIM_SERVER=${line#quidorsim listening on }; return 0 ;;
    esac
    kill -0 "$QUIDORSIM_PID" 2>/dev/null || break
    sleep 0.05
  done
  echo "quidorsim did not start:" >&2
  cat "$log" >&2
  return 1
}

stop_quidorsim() {
  if [ -n "$QUIDORSIM_PID" ]; then
    kill "$QUIDORSIM_PID" 2>/dev/null
    wait "$QUIDORSIM_PID" 2>/dev/null
    QUIDORSIM_PID=
  fi
}
