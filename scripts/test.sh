#!/usr/bin/env bash
# Sets up, builds and runs the whole test suite; then runs it again under
# AddressSanitizer and UndefinedBehaviorSanitizer, and fuzzes every parser
# for a minute.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh
ctest --test-dir build --output-on-failure -j"$(nproc)"
bash scripts/sanitize.sh
bash scripts/fuzz.sh 60
