#!/usr/bin/env bash
# run-suite.sh 64|32 BUILD_DIR [GTEST_FILTER]
#
# Runs the Windows build of the suite (BUILD_DIR/servane_suite.exe) under
# Wine in a freshly booted prefix of its own, removed afterwards. Exit 77
# (skipped) with the reason when that width of Wine cannot run here.
set -euo pipefail

[ $# -ge 2 ] || { echo "usage: $0 64|32 BUILD_DIR [GTEST_FILTER]" >&2; exit 2; }
width=$1
build=$(cd "$2" && pwd)
filter=${3:-*}
root=$(cd "$(dirname "$0")/../.." && pwd)
case "$width" in
  64) loader=/usr/lib/wine/wine64 ;;
  32) loader=/usr/lib/wine/wine ;;
  *) echo "$0: width 64 or 32" >&2; exit 2 ;;
esac
wineserver=/usr/lib/wine/wineserver

work=$(mktemp -d "${TMPDIR:-/tmp}/servane-wine$width.XXXXXX")
cleanup() {
  WINEPREFIX="$work/prefix" "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# 77 (this width cannot run here) passes through with wine-prefix.sh's reason.
"$root/scripts/wine-prefix.sh" "$width" "$work/prefix" || exit $?

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINELOADER="$loader"
# On a loaded machine a fresh server and its service manager take seconds to
# come up: wait for the manager to answer before the suite's time limits run.
timeout 300 "$loader" sc query >/dev/null 2>&1 || true
"$loader" "$build/servane_suite.exe" --gtest_filter="$filter"
