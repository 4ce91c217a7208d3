#!/usr/bin/env bash
# run.sh [BUILD_DIR] [CYCLES] [ROUND_TRIPS]
#
# Runs the same administration cycle and INTERROGATE round trip on the
# Windows layer (BUILD_DIR/bin/bench_servane_wine, as root) and under 64-bit
# Wine (the Windows build in BUILD_DIR/servane-win64, made here when
# missing, in a fresh prefix), then prints both and their ratios.
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
build=$(cd "${1:-$root/build}" && pwd)
cycles=${2:-200}
trips=${3:-500}
win="$build/servane-win64"

cmake --build "$build" --target bench_servane_wine >/dev/null
cmake -S "$root/servane/windows" -B "$win" \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-x86_64-w64-mingw32.cmake" >/dev/null
cmake --build "$win" --target bench_servane_wine servane_suite_service >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/servane-bench.XXXXXX")
trap 'WINEPREFIX="$work/prefix" /usr/lib/wine/wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
"$root/scripts/wine-prefix.sh" 64 "$work/prefix"

layer=$("$build/bin/bench_servane_wine" "$cycles" "$trips")
wine=$(WINEPREFIX="$work/prefix" WINEDEBUG=-all /usr/lib/wine/wine64 \
  "$win/bench_servane_wine.exe" "$cycles" "$trips" | tr -d '\r')
echo "$layer" | grep -v '^result'
echo "$wine" | grep -v '^result'
value() { echo "$1" | sed -n "s/.*$2=\([0-9.]*\).*/\1/p"; }
awk -v lr="$(value "$layer" cycles_per_second)" -v wr="$(value "$wine" cycles_per_second)" \
    -v lu="$(value "$layer" interrogate_median_us)" -v wu="$(value "$wine" interrogate_median_us)" \
    'BEGIN { printf "layer / Wine: %.2fx the cycles per second; Wine / layer: %.2fx the interrogate median\n", lr / wr, wu / lu }'
