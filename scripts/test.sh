#!/usr/bin/env bash
# Sets up, builds and runs the test suite. The longer checks (the suite under
# sanitizers, fuzzing) are scripts/sanitize.sh and scripts/fuzz.sh; CI runs
# them after this (.ci/run).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
