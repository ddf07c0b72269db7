#!/usr/bin/env bash
# The Wine lane: the x64 unit tests of the platform layer, the link library
# and the memory image library under Wine (one Wine process per test case,
# through CTest), then ferroxcmd.exe as a process against the Linux
# quidorsim over TCP loopback with the Linux process tests' transcripts.
# Usage: wine-lane.sh BUILD BUILD_WIN64 [ctest flags...]
set -euo pipefail
build=$1
build_win64=$2
shift 2
start=$(date +%s)

wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver
[ -x "$wine64" ] || { echo "wine-lane: $wine64 missing (make deps installs wine64)" >&2; exit 1; }

# A private prefix in the build tree; no desktop integration, no Mono or
# Gecko installers, no debug chatter.
export WINEPREFIX
WINEPREFIX=$(cd "$build_win64" && pwd)/wineprefix
export WINEDEBUG=-all WINEDLLOVERRIDES='mscoree,mshtml=;winemenubuilder.exe=d'
unset DISPLAY

# One server for the whole lane, so that each test process starts quickly;
# stopped on every way out.
"$wineserver" -p || true # already running for this prefix
trap '"$wineserver" -k 2>/dev/null || true' EXIT
"$wine64" wineboot --init >/dev/null 2>&1 || true

ctest --test-dir "$build_win64" "$@"

# The pseudo-terminal cases have no console under Wine to stand for;
# `make run` is the Linux program; "..\out\img" is a file name on Linux
# but a path on Windows.
skip='CommanderTerminal.*:TransferTerminal.*:CommanderMakeRun.*:Transfer.UploadsOfTheFourMemories'
FERROX_TEST_RUNNER=$wine64 FERROX_TEST_COMMANDER=$(cd "$build_win64/bin" && pwd)/ferroxcmd.exe \
  "$build/bin/commander_process_tests" --gtest_filter="-$skip"

echo "wine-lane: $(($(date +%s) - start)) s"
