#!/usr/bin/env bash
# Sets up a fresh Debian 12 machine, builds, and runs the main job.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)"
exec perl -Ibuild/blib examples/main.pl "$@"
