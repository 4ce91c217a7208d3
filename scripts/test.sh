#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine and runs every test: installs the packages,
# configures and builds into build/, then runs CTest (C++ and Perl tests).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
ctest --test-dir build --output-on-failure -j "$(nproc)" "$@"
