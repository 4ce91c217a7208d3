#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test: installs the packages,
# configures and builds into build/ and runs CTest (C++ and Perl tests); then
# the reliability legs, each in its own build folder:
#   asan  build-asan/  AddressSanitizer and UBSan: C++ and Perl tests
#   tsan  build-tsan/  ThreadSanitizer: the layer's and service library's tests
#   fuzz  build-fuzz/  every fuzz target for FUZZ_SECONDS (default 30)
# SERVANE_TEST_LEGS chooses the legs (default "main asan tsan fuzz").
# Arguments go to the main leg's ctest. Fails when any leg fails.
set -uo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh || exit 1

legs=${SERVANE_TEST_LEGS:-main asan tsan fuzz}

leg_main() {
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null &&
    cmake --build build -j "$(nproc)" &&
    ctest --test-dir build --output-on-failure -j "$(nproc)" "$@"
}
leg_asan() { scripts/sanitize.sh asan; }
leg_tsan() { scripts/sanitize.sh tsan; }
leg_fuzz() { scripts/fuzz.sh "${FUZZ_SECONDS:-30}"; }

summary=()
failed=0
for leg in $legs; do
  if ! declare -F "leg_$leg" >/dev/null; then
    echo "unknown leg: $leg" >&2
    exit 2
  fi
  echo "==== $leg"
  start=$SECONDS
  if [ "$leg" = main ]; then leg_main "$@"; else "leg_$leg"; fi
  rc=$?
  result=ok
  if [ $rc -ne 0 ]; then
    result=FAILED
    failed=1
  fi
  summary+=("$(printf '  %-5s %-7s %5d s' "$leg" "$result" $((SECONDS - start)))")
done

echo "==== summary"
printf '%s\n' "${summary[@]}"
exit $failed
