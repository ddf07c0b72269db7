#!/usr/bin/env bash
# Checks a Windows DLL's export table (objdump -p) against the names it must
# export, no more and no fewer. On x86 (i386) every name is exported twice:
# plain, and decorated as __stdcall ("_Name@N", N the argument bytes, a
# multiple of 4); on x64 plain only.
# Usage: check-pe-exports.sh DLL i386|x86-64 --list FILE   (one name a line)
#        check-pe-exports.sh DLL i386|x86-64 --jni HEADER  (the JNI functions it declares)
set -euo pipefail
dll=$1
machine=$2
kind=$3
source=$4
fail() { echo "check-pe-exports: $dll: $*" >&2; exit 1; }

[ -f "$dll" ] || fail "missing"
headers=$(objdump -p "$dll")
case "$machine" in
  i386) format=pei-i386 ;;
  x86-64) format=pei-x86-64 ;;
  *) fail "unknown machine $machine" ;;
esac
grep -q "file format $format\$" <<<"$headers" || fail "not a $format image"

case "$kind" in
  --list) expected=$(grep -v '^[[:space:]]*$' "$source" | sort -u) ;;
  --jni) expected=$(grep -o 'JNICALL Java_[A-Za-z0-9_]*' "$source" | sed 's/^JNICALL //' | sort -u) ;;
  *) fail "unknown list kind $kind" ;;
esac
[ -n "$expected" ] || fail "no names in $source"

# The names of "[Ordinal/Name Pointer] Table", one a line.
exported=$(sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/s/^[[:space:]]*\[[[:space:]]*[0-9]*\] //p' <<<"$headers" | sort)
plain=$(grep -v '@' <<<"$exported" || true)
decorated=$(grep '@' <<<"$exported" || true)

diff <(echo "$expected") <(echo "$plain") >/dev/null ||
  fail "plain exports differ from $source: $(diff <(echo "$expected") <(echo "$plain") | grep '^[<>]' | tr '\n' ' ')"

if [ "$machine" = i386 ]; then
  while read -r name; do
    matches=$(grep -Ec "^_${name}@[0-9]+\$" <<<"$decorated" || true)
    [ "$matches" = 1 ] || fail "$name: $matches decorated exports, want 1"
    bytes=$(grep -E "^_${name}@[0-9]+\$" <<<"$decorated" | sed 's/.*@//')
    [ $((bytes % 4)) = 0 ] || fail "_${name}@${bytes}: argument bytes not a multiple of 4"
  done <<<"$expected"
  [ "$(wc -l <<<"$decorated")" = "$(wc -l <<<"$expected")" ] || fail "decorated exports beyond the list"
else
  [ -z "$decorated" ] || fail "decorated exports on $machine: $decorated"
fi
echo "check-pe-exports: $dll: $(wc -l <<<"$exported") exports as expected"
