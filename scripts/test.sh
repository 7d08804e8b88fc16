#!/usr/bin/env bash
# Installs the build dependencies, builds everything and runs the test suite.
#   VELMORAIPC_BUILD_DIR   build directory (default: build)
#   VELMORAIPC_CMAKE_ARGS  extra arguments for cmake's configure step
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=${VELMORAIPC_BUILD_DIR:-build}
# shellcheck disable=SC2086
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo ${VELMORAIPC_CMAKE_ARGS:-} > /dev/null
cmake --build "$dir" -j"$(nproc)"
ctest --test-dir "$dir" --output-on-failure -j2
