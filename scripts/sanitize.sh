#!/usr/bin/env bash
# Builds the tool and its tests with AddressSanitizer and
# UndefinedBehaviorSanitizer into ./build-asan and runs the whole suite
# there. The binaries the command-line tests spawn are sanitized too, and
# inherit the options below.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
bash scripts/install_deps.sh

# Debian's PCL frees Eigen-aligned memory with plain free(); without this
# define Eigen's own aligned allocator and ASan disagree about the pointers.
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined -DEIGEN_MALLOC_ALREADY_ALIGNED=1"
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1"
export LSAN_OPTIONS="suppressions=${root}/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DMAP_GENERATOR_BUILD_BENCH=OFF \
  -DCMAKE_CXX_FLAGS="${flags}" -DCMAKE_C_FLAGS="${flags}" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined"
cmake --build build-asan -j2
ctest --test-dir build-asan --output-on-failure -j2
