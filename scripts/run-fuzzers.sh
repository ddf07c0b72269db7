#!/usr/bin/env bash
# Runs each fuzz target in BINDIR for SECONDS, starting from its seed corpus
# (tests/fuzz/corpus/<name without fuzz_>), as many at once as there are cores.
set -euo pipefail
bindir=$(cd "$1" && pwd)
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${FUZZ_JOBS:-$(nproc)}

run_one() {
  local fz=$1 seconds=$2 root=$3
  local name corpus seeds log
  name=$(basename "$fz")
  corpus=$(mktemp -d)
  log="$corpus.log"
  seeds="$root/tests/fuzz/corpus/${name#fuzz_}"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  # Each input gets ten seconds and 2 GiB: a hang or a runaway allocation is
  # a finding, not a stall of the run.
  if ASAN_OPTIONS=detect_leaks=1 "$fz" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 \
       -artifact_prefix="$corpus/" "$corpus" > "$log" 2>&1; then
    echo "fuzz: $name passed, $(grep -m1 -o 'stat::number_of_executed_units: [0-9]*' "$log" | awk '{print $2}') runs in ${seconds}s"
    rm -rf "$corpus" "$log"
  else
    tail -n 60 "$log"
    echo "fuzz: $name FAILED (inputs and log kept in $corpus)"
    return 1
  fi
}
export -f run_one

shopt -s nullglob
targets=("$bindir"/fuzz_*)
if [ ${#targets[@]} -eq 0 ]; then
  echo "fuzz: no targets in $bindir" >&2
  exit 1
fi
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one "$@"' _ {} "$seconds" "$root"
