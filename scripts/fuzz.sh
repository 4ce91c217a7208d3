#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, ASan, UBSan) into build-fuzz/
# and runs each for SECONDS (default 30), up to FUZZ_JOBS at a time (default:
# the number of cores). Each target starts from its seed corpus in
# fuzz/corpus/<name> and keeps what it finds in build-fuzz/corpus/<name>, so
# later runs go on from there. A finding is saved under
# build-fuzz/artifacts/<name>/ and makes the script fail.
#
#   scripts/fuzz.sh [SECONDS] [NAME...]     e.g. scripts/fuzz.sh 600 registry
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
shift || true
scripts/install-deps.sh

cxx=$(command -v clang++-14 || command -v clang++)
cc=$(command -v clang-14 || command -v clang)
build=build-fuzz
cmake -S . -B "$build" -DFUZZ=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER="$cxx" -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$build" --target fuzzers -j "$(nproc)" >"$build/build.log" 2>&1 || {
  tail -n 40 "$build/build.log"
  exit 1
}

if [ $# -gt 0 ]; then
  names=("$@")
else
  names=()
  for dir in fuzz/corpus/*/; do names+=("$(basename "$dir")"); done
fi

# Scratch files of the targets (stores, ticket files) live apart and go away.
scratch=$(mktemp -d "$( [ -w /dev/shm ] && echo /dev/shm || echo "${TMPDIR:-/tmp}")/fuzz-XXXXXX")
trap 'rm -rf "$scratch"' EXIT
export FUZZ_SCRATCH=$scratch
export ASAN_OPTIONS=${ASAN_OPTIONS:-abort_on_error=1:detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-halt_on_error=1:print_stacktrace=1}

run_one() {
  local name=$1
  local bin=$build/bin/fuzz_$name log=$build/logs/$name.log
  mkdir -p "$build/corpus/$name" "$build/artifacts/$name" "$build/logs"
  "$bin" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -print_final_stats=1 \
    -artifact_prefix="$build/artifacts/$name/" \
    "$build/corpus/$name" "fuzz/corpus/$name" >"$log" 2>&1
}

summary() {
  local name=$1 status=$2 log=$build/logs/$1.log
  local last runs rate
  last=$(grep -E '^#[0-9]+' "$log" | tail -n 1 || true)
  runs=$(sed -n "s/^stat::number_of_executed_units: *//p" "$log" | tail -n 1)
  rate=$(sed -n "s/^stat::average_exec_per_sec: *//p" "$log" | tail -n 1)
  printf '  %-17s %-6s %9s runs %7s exec/s  cov %-5s ft %-6s corpus %s\n' "$name" "$status" \
    "${runs:-?}" "${rate:-?}" \
    "$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$last")" \
    "$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$last")" \
    "$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$last")"
}

# Up to $jobs targets at a time; each leaves its exit status beside its log.
jobs=${FUZZ_JOBS:-$(nproc)}
running=0
for name in "${names[@]}"; do
  [ -x "$build/bin/fuzz_$name" ] || { echo "no fuzz target named $name" >&2; exit 2; }
  if [ "$running" -ge "$jobs" ]; then
    wait -n || true
    running=$((running - 1))
  fi
  (rc=0; run_one "$name" || rc=$?; echo "$rc" >"$build/logs/$name.status") &
  running=$((running + 1))
done
wait
echo "fuzzing, ${seconds} s per target:"
failed=0
for name in "${names[@]}"; do
  status=FAILED
  [ "$(cat "$build/logs/$name.status" 2>/dev/null)" = 0 ] && status=ok
  summary "$name" "$status"
  if [ "$status" != ok ]; then
    failed=1
    echo "---- $build/logs/$name.log (end)"
    grep -v -E '^#[0-9]+' "$build/logs/$name.log" | tail -n 40
    echo "----"
  fi
done
exit $failed
