#!/usr/bin/env bash
# Races hexbin (the memory image library) against objcopy and srec_cat on a
# 16 MiB random image, both ways between Intel HEX (32-byte records) and raw
# binary. Prints best wall time and peak RSS of RUNS runs per tool and
# direction, and fails if any two tools disagree on the bytes.
#   bench/run-peers.sh BINDIR          (RUNS=3, SIZE_MIB=16 by default)
set -euo pipefail

bindir=${1:?usage: run-peers.sh BINDIR}
hexbin=$(cd "$bindir" && pwd)/hexbin
runs=${RUNS:-3}
size_mib=${SIZE_MIB:-16}
[ -x "$hexbin" ] || { echo "run-peers: $hexbin not built" >&2; exit 2; }
for t in objcopy srec_cat /usr/bin/time cmp; do
  command -v "$t" >/dev/null || { echo "run-peers: $t not found" >&2; exit 2; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

img=$work/image.bin
hex=$work/image.hex
head -c $((size_mib << 20)) /dev/urandom > "$img"
srec_cat "$img" -binary -o "$hex" -intel -obs=32
img_bytes=$(stat -c %s "$img")

# measure NAME DIRECTION OUTPUT CMD...: best wall time and peak RSS of $runs runs.
declare -A best_time best_rss
measure() {
  local name=$1 dir=$2 out=$3
  shift 3
  local t rss bt="" br=""
  for ((i = 0; i < runs; i++)); do
    rm -f "$out"
    if ! /usr/bin/time -f '%e %M' -o "$work/time.txt" "$@" > "$work/tool.log" 2>&1; then
      echo "run-peers: $name $dir failed:" >&2
      cat "$work/tool.log" >&2
      exit 1
    fi
    read -r t rss < <(tail -n 1 "$work/time.txt")
    if [ -z "$bt" ] || awk -v a="$t" -v b="$bt" 'BEGIN { exit !(a < b) }'; then bt=$t; fi
    if [ -z "$br" ] || [ "$rss" -gt "$br" ]; then br=$rss; fi
  done
  best_time[$name,$dir]=$bt
  best_rss[$name,$dir]=$br
}

# hex2bin: every tool must give back the original image.
measure hexbin hex2bin "$work/hexbin.bin" "$hexbin" hex2bin "$hex" "$work/hexbin.bin"
measure objcopy hex2bin "$work/objcopy.bin" objcopy -I ihex -O binary "$hex" "$work/objcopy.bin"
measure srec_cat hex2bin "$work/srec_cat.bin" srec_cat "$hex" -intel -o "$work/srec_cat.bin" -binary
for t in hexbin objcopy srec_cat; do
  cmp "$img" "$work/$t.bin" || { echo "run-peers: $t hex2bin output differs from the image" >&2; exit 1; }
done

# bin2hex: each HEX output, turned back into binary by objcopy, must be the image.
measure hexbin bin2hex "$work/hexbin.hex" "$hexbin" bin2hex "$img" "$work/hexbin.hex"
measure objcopy bin2hex "$work/objcopy.hex" objcopy -I binary -O ihex "$img" "$work/objcopy.hex"
measure srec_cat bin2hex "$work/srec_cat.hex" srec_cat "$img" -binary -o "$work/srec_cat.hex" -intel -obs=32
for t in hexbin objcopy srec_cat; do
  objcopy -I ihex -O binary "$work/$t.hex" "$work/check.bin"
  cmp "$img" "$work/check.bin" || { echo "run-peers: $t bin2hex output differs from the image" >&2; exit 1; }
done
# And hexbin reads what the others wrote.
for t in objcopy srec_cat; do
  "$hexbin" hex2bin "$work/$t.hex" "$work/check.bin"
  cmp "$img" "$work/check.bin" || { echo "run-peers: hexbin reads $t's HEX file wrongly" >&2; exit 1; }
done

printf 'image: %d bytes (%d MiB), HEX file %d bytes; best of %d runs\n' \
  "$img_bytes" "$size_mib" "$(stat -c %s "$hex")" "$runs"
printf '%-9s %-8s %9s %14s\n' tool dir 'wall s' 'peak RSS KiB'
for dir in hex2bin bin2hex; do
  for t in hexbin objcopy srec_cat; do
    printf '%-9s %-8s %9s %14s\n' "$t" "$dir" "${best_time[$t,$dir]}" "${best_rss[$t,$dir]}"
  done
done
echo "outputs agree byte-exact"

for dir in hex2bin bin2hex; do
  awk -v name="$dir" -v h="${best_time[hexbin,$dir]}" -v o="${best_time[objcopy,$dir]}" \
      -v rss="${best_rss[hexbin,$dir]}" -v img="$img_bytes" 'BEGIN {
    speed = (h > 0) ? o / h : 0
    ratio = rss * 1024 / img
    printf "hexbin %s: %.2fx the speed of objcopy (goal >= 2: %s), peak RSS / image %.2f (goal <= 1.5: %s)\n",
      name, speed, (speed >= 2 ? "met" : "MISSED"), ratio, (ratio <= 1.5 ? "met" : "MISSED")
  }'
done
