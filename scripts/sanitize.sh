#!/usr/bin/env bash
# Builds and runs tests under a sanitizer, each kind in its own build folder:
#
#   asan  build-asan/: AddressSanitizer and UndefinedBehaviorSanitizer (halt
#         on error). Every C++ test, the fuzz corpora, and the Perl tests with
#         the ASan runtime preloaded into the system perl.
#   tsan  build-tsan/: ThreadSanitizer. The C++ tests of the Windows layer and
#         of the service library (labels win32 and servane), with the
#         suppressions of platform/win32/tests/tsan.supp.
#
# Every process writes its reports to build-<kind>/reports/ (services and
# their supervisors too); any report fails the run, as does a failing test.
# Further arguments go to ctest.
#
#   scripts/sanitize.sh asan|tsan [CTEST-ARGS...]
set -euo pipefail
cd "$(dirname "$0")/.."

kind=${1:-}
shift || true
case $kind in
  asan)
    build=build-asan
    configure=(-DSANITIZE=ON)
    targets=(all)
    select=()
    ;;
  tsan)
    build=build-tsan
    configure=(-DSANITIZE_THREAD=ON)
    targets=(win32posix_tests scm_tests servane_tests)
    # Source and header checks compile nothing that runs: left to the main build.
    select=(-L '^(win32|servane)$' -E '^(servane_real_api|win32_header_values)$')
    ;;
  *)
    echo "usage: $0 asan|tsan [ctest arguments]" >&2
    exit 2
    ;;
esac

jobs=$(nproc)
mkdir -p "$build"
reports=$PWD/$build/reports
rm -rf "$reports"
mkdir -p "$reports"

# -O1: the sanitizers' reports stay as good and the build takes about half
# the time of -O2, which is most of what these legs cost.
opt="-O1 -g -DNDEBUG"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${configure[@]}" \
  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$opt" -DCMAKE_C_FLAGS_RELWITHDEBINFO="$opt" \
  >"$build/configure.log" 2>&1 || {
  tail -n 40 "$build/configure.log"
  exit 1
}
cmake --build "$build" -j "$jobs" --target "${targets[@]}" >"$build/build.log" 2>&1 || {
  grep -E 'error|Error' "$build/build.log" | head -n 40
  exit 1
}

export ASAN_OPTIONS="log_path=$reports/asan:log_exe_name=1:detect_leaks=1"
# UBSan (gcc) writes to standard error whatever log_path says; its findings
# end the process (-fno-sanitize-recover), which fails the test.
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export TSAN_OPTIONS="log_path=$reports/tsan:log_exe_name=1:suppressions=$PWD/platform/win32/tests/tsan.supp:second_deadlock_stack=1"

status=0
ctest --test-dir "$build" --output-on-failure -j "$jobs" "${select[@]}" "$@" >"$build/ctest.log" 2>&1 ||
  status=1
if [ "$status" -ne 0 ]; then
  sed -n '/tests passed\|tests failed/,$p' "$build/ctest.log"
else
  grep -E 'tests passed' "$build/ctest.log"
fi

# Not findings: LeakSanitizer's note that it scanned a thread that was
# ending while the process exited without its registers (it then takes the
# whole stack as reachable), and an empty file, left by a process killed
# (a service past its stop) after the file was made and before anything
# was written to it.
finding() {
  [ -s "$1" ] && grep -qv -E '^==[^=]*==[0-9]+==Unable to get registers from thread [0-9]+\.$' "$1"
}
shopt -s nullglob
found=()
notes=0
for f in "$reports"/*; do
  if finding "$f"; then found+=("$f"); else notes=$((notes + 1)); fi
done
[ "$notes" -eq 0 ] || echo "$notes report file(s) without a finding (thread notes of the leak check, or empty) in $reports"
if [ ${#found[@]} -gt 0 ]; then
  status=1
  echo "${#found[@]} sanitizer report(s) in $reports:"
  for f in "${found[@]}"; do
    echo "---- $f"
    head -n 60 "$f"
  done
fi
exit $status
