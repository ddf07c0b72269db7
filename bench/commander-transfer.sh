#!/usr/bin/env bash
# The commander's transfers as users run them: ferroxcmd processes against a
# quidorsim process over TCP/IP on the loopback, with a 32 KiB random EROM
# image (srec_cat, 32-byte records). For each case: the median wall time and
# host CPU time (user + system) of RUNS runs, and the probe exchanges counted
# from the simulator's trace, less those of a run that only connects, enters
# the monitor and exits (the transfer's own exchanges; CPU per exchange is
# counted the same way). The transfers' minimum from the library's chunking:
#   download + verify: 512 page programs (64 bytes) + 128 reads (256 bytes)
#   upload:            128 reads (256 bytes)
#   bench/commander-transfer.sh BINDIR          (RUNS=5 by default)
set -euo pipefail

bindir=$(cd "${1:?usage: commander-transfer.sh BINDIR}" && pwd)
runs=${RUNS:-5}
for t in srec_cat /usr/bin/time cmp objcopy; do
  command -v "$t" >/dev/null || { echo "commander-transfer: $t not found" >&2; exit 2; }
done

work=$(mktemp -d)
sim_pid=
cleanup() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cd "$work"
head -c 32768 /dev/urandom > image.bin
srec_cat image.bin -binary -o image.hex -intel -obs=32

# start_sim [--trace]: a fresh simulator; sets $server
start_sim() {
  [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null && wait "$sim_pid" 2>/dev/null
  "$bindir/quidorsim" --listen 127.0.0.1:0 "$@" > sim.out 2>&1 &
  sim_pid=$!
  server=
  for _ in $(seq 100); do
    server=$(sed -n '1s/^quidorsim listening on //p' sim.out)
    [ -n "$server" ] && return 0
    sleep 0.05
  done
  echo "commander-transfer: quidorsim did not start" >&2
  exit 1
}

connect_only=(--e --Echo bench)
download=(--fr EROM,0,3FFF --verify --download EROM, image.hex)
upload=(--upload EROM, upload.hex, 0, 4000)

# exchanges ARGS...: probe requests of one run (the trace's "->" lines)
exchanges() {
  local before after
  before=$(grep -c -- '^->' sim.out || true)
  QUIDOR_SERVER=$server "$bindir/ferroxcmd" "$@" > run.log
  after=$(grep -c -- '^->' sim.out || true)
  echo $((after - before))
}

# timing NAME ARGS...: median wall and CPU seconds of $runs runs (CPU from
# the child's resource usage, in microseconds)
timing() {
  local name=$1
  shift
  QUIDOR_SERVER=$server python3 - "$runs" "$bindir/ferroxcmd" "$@" <<'PY'
import os, subprocess, sys, time
runs, argv = int(sys.argv[1]), sys.argv[2:]
walls, cpus = [], []
for _ in range(runs):
    start = time.perf_counter()
    child = subprocess.Popen(argv, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    walls.append(time.perf_counter() - start)
    cpus.append(usage.ru_utime + usage.ru_stime)
    if status != 0:
        sys.exit("ferroxcmd failed")
walls.sort(); cpus.sort()
print("x %.4f %.4f" % (walls[runs // 2], cpus[runs // 2]))
PY
}

start_sim --trace
base=$(exchanges "${connect_only[@]}")
down=$(exchanges "${download[@]}")
grep -q 'Target data verified OK' run.log || { echo "commander-transfer: download did not verify" >&2; cat run.log >&2; exit 1; }
up=$(exchanges "${upload[@]}")
objcopy -I ihex -O binary upload.hex upload.bin
cmp -s image.bin upload.bin || { echo "commander-transfer: upload differs from the image" >&2; exit 1; }

start_sim
read -r _ base_wall base_cpu < <(timing connect "${connect_only[@]}")
read -r _ down_wall down_cpu < <(timing download "${download[@]}")
read -r _ up_wall up_cpu < <(timing upload "${upload[@]}")

printf '%-28s %9s %9s %10s %10s %9s %14s\n' case "wall s" "CPU s" exchanges "transfer" minimum "CPU us/exch"
row() { # name wall cpu exchanges minimum
  local transfer=$(($4 - base))
  local per="-"
  if [ "$transfer" -gt 0 ]; then
    per=$(awk -v c="$3" -v b="$base_cpu" -v n="$transfer" 'BEGIN { printf "%.1f", (c - b) * 1e6 / n }')
  fi
  printf '%-28s %9s %9s %10s %10s %9s %14s\n' "$1" "$2" "$3" "$4" "$transfer" "$5" "$per"
}
printf '%-28s %9s %9s %10s %10s %9s %14s\n' "connect, monitor, exit" "$base_wall" "$base_cpu" "$base" "-" "-" "-"
row "download+verify 32 KiB EROM" "$down_wall" "$down_cpu" "$down" 640
row "upload 32 KiB EROM" "$up_wall" "$up_cpu" "$up" 128
