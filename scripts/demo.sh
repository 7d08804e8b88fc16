#!/usr/bin/env bash
# Installs the build dependencies, builds, and runs the demo: a server, three clients and every
# kind of message between them, plain and enciphered, in one process.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
dir=${VELMORAIPC_BUILD_DIR:-build}
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo > /dev/null
cmake --build "$dir" -j"$(nproc)" --target velmora-ipc
"$dir/tools/velmora-ipc/velmora-ipc" demo
