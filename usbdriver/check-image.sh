#!/usr/bin/env bash
# Checks a driver image as Windows loads it: a native-subsystem PE image of
# the given machine (i386 or x86-64) that imports from ntoskrnl.exe and
# nothing beyond ntoskrnl.exe, HAL.dll and USBD.SYS, with its version
# resource. Usage: check-image.sh IMAGE MACHINE
set -euo pipefail
image=$1
machine=$2
fail() { echo "check-image: $image: $*" >&2; exit 1; }

[ -f "$image" ] || fail "missing"
headers=$(objdump -p "$image")
case "$machine" in
  i386) format=pei-i386; magic='010b' ;;
  x86-64) format=pei-x86-64; magic='020b' ;;
  *) fail "unknown machine $machine" ;;
esac
grep -q "file format $format\$" <<<"$headers" || fail "not a $format image"
grep -Eq "^Magic[[:space:]]+$magic" <<<"$headers" || fail "optional header magic is not $magic"
grep -Eq "^Subsystem[[:space:]]+00000001[[:space:]]+\(NT native\)" <<<"$headers" || fail "subsystem is not native"
imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers")
grep -qx 'ntoskrnl.exe' <<<"$imports" || fail "does not import ntoskrnl.exe"
while read -r dll; do
  case "$dll" in
    ntoskrnl.exe|HAL.dll|USBD.SYS) ;;
    *) fail "imports $dll" ;;
  esac
done <<<"$imports"
# The version resource's strings are UTF-16.
LC_ALL=C grep -qaP 'U\x00S\x00B\x00 \x00B\x00u\x00l\x00k\x00 \x00d\x00r\x00i\x00v\x00e\x00r\x00' "$image" ||
  fail "no version resource with the description \"USB Bulk driver\""
LC_ALL=C grep -qaP '2\x00\.\x004\x002\x00' "$image" || fail "no file version 2.42"
echo "check-image: $image: $format, native, imports $(tr '\n' ' ' <<<"$imports")"
