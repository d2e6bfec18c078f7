#!/usr/bin/env bash
# Builds the libFuzzer targets with clang into ./build-fuzz and runs each for
# the given number of seconds (default 60), starting from corpora that
# fuzz_seeds generates. Exits non-zero when a target finds a crash, a leak,
# undefined behaviour, a hang or an oversized allocation; the input that
# caused it is kept in build-fuzz/findings/.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$(pwd)"
bash scripts/install_deps.sh
seconds="${1:-60}"

cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DMAP_GENERATOR_FUZZ=ON \
  -DMAP_GENERATOR_BUILD_TESTS=OFF -DMAP_GENERATOR_BUILD_BENCH=OFF >/dev/null
cmake --build build-fuzz -j2 --target las_reader_fuzz laz_reader_fuzz cloud_file_fuzz cloud_load_fuzz cloud_layout_fuzz \
  config_fuzz e57_reader_fuzz fuzz_seeds

work="build-fuzz/runs"
rm -rf "$work"
mkdir -p "$work" build-fuzz/findings
build-fuzz/fuzz/fuzz_seeds "$work/seeds"

export ASAN_OPTIONS="detect_leaks=1"
export LSAN_OPTIONS="suppressions=${root}/scripts/lsan.supp:print_suppressions=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
run() {
  local target="$1" seeds="$2" dict="$3"
  mkdir -p "$work/$target"
  echo "== $target: ${seconds} s"
  # New inputs go to the first directory; the seeds stay as generated.
  # -timeout catches hangs, -rss_limit_mb and -malloc_limit_mb oversized allocations.
  if build-fuzz/fuzz/"$target" "$work/$target" "$work/seeds/$seeds" \
      -dict="$work/seeds/$dict" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -malloc_limit_mb=1024 -print_final_stats=1 \
      -artifact_prefix="build-fuzz/findings/$target-" >"$work/$target.log" 2>&1; then
    grep -E "^Done [0-9]+ runs|stat::number_of_executed_units" "$work/$target.log" || true
  else
    tail -n 60 "$work/$target.log"
    failed+=("$target")
  fi
}
run las_reader_fuzz las cloud.dict
run laz_reader_fuzz laz laz.dict
run cloud_file_fuzz cloud cloud.dict
run cloud_load_fuzz cloud cloud.dict
run cloud_layout_fuzz layout cloud.dict
run config_fuzz config config.dict
run e57_reader_fuzz e57 e57.dict

if [ ${#failed[@]} -ne 0 ]; then
  echo "fuzzing found faults in: ${failed[*]} (inputs in build-fuzz/findings/)"
  exit 1
fi
echo "fuzzing found no fault"
