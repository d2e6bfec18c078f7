#!/usr/bin/env bash
# Installs the dependencies and builds the tool, its tests and benchmarks
# into ./build (Release).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install_deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release "$@"
cmake --build build -j"$(nproc)"
