#!/usr/bin/env bash
# Runs each fuzz target in BINDIR for SECONDS, starting from its seed corpus.
set -euo pipefail
bindir=$1
seconds=${2:-60}
root=$(cd "$(dirname "$0")/.." && pwd)
status=0
shopt -s nullglob
for fz in "$bindir"/fuzz_*; do
  name=$(basename "$fz")
  corpus=$(mktemp -d)
  seeds="$root/tests/fuzz/corpus/${name#fuzz_}"
  [ -d "$seeds" ] && cp -r "$seeds"/. "$corpus"/
  echo "fuzz: $name for ${seconds}s"
  if ! ASAN_OPTIONS=detect_leaks=1 "$fz" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$corpus/" "$corpus" > "$corpus.log" 2>&1; then
    tail -n 60 "$corpus.log"
    echo "fuzz: $name FAILED"
    status=1
  else
    grep -E 'stat::number_of_executed_units|Done' "$corpus.log" | head -n 2 || true
  fi
  rm -rf "$corpus" "$corpus.log"
done
exit $status
