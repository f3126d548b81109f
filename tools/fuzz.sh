#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60), JOBS at a time.
# Usage: tools/fuzz.sh [SECONDS] [TARGET...]; a crash, leak or broken property fails the run.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
seconds=${1:-60}
shift || true
build_dir=${FUZZ_BUILD_DIR:-$root/build-fuzz}
work_dir=${FUZZ_WORK_DIR:-$build_dir/runs}
jobs=${JOBS:-$(nproc)}

# llvm-16 brings the symbolizer that reads clang-16's debug information, so that a finding's stack
# names its functions and lines (llvm-14's, where installed, cannot).
install_missing "${build_packages[@]}" clang-16 libclang-rt-16-dev llvm-16
export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-16/bin/llvm-symbolizer
export UBSAN_SYMBOLIZER_PATH=$ASAN_SYMBOLIZER_PATH
quiet_step "configuring $build_dir" cmake -S "$root" -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang-16 -DCMAKE_CXX_COMPILER=clang++-16 \
  -DVOSTREL_FUZZ=ON -DVOSTREL_WERROR=ON
step "building $build_dir" cmake --build "$build_dir"

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for exe in "$build_dir"/fuzz/fuzz-*; do targets+=("$(basename "$exe" | sed 's/^fuzz-//')"); done
fi

rm -rf "$work_dir/seeds"
step "writing the seed corpora" "$build_dir/fuzz/vostrel-fuzz-corpus" "$work_dir/seeds"

run_one() {
  local target=$1 corpus=$work_dir/corpus/$1
  mkdir -p "$corpus" "$work_dir/findings/$target"
  [ -d "$work_dir/seeds/$target" ] && cp -n "$work_dir/seeds/$target"/* "$corpus"/ 2>/dev/null || true
  if "$build_dir/fuzz/fuzz-$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -max_len=70000 -print_final_stats=1 -artifact_prefix="$work_dir/findings/$target/" \
      "$corpus" >"$work_dir/$target.log" 2>&1; then
    echo "ok   $target: $(grep -E 'stat::number_of_executed_units' "$work_dir/$target.log" | awk '{print $2}') runs," \
         "$(grep -oE 'cov: [0-9]+' "$work_dir/$target.log" | tail -1)"
  else
    echo "FAIL $target (log: $work_dir/$target.log)"
    tail -n 40 "$work_dir/$target.log"
    return 1
  fi
}
export -f run_one
export build_dir work_dir seconds
printf '%s\n' "${targets[@]}" | xargs -P "$jobs" -I{} bash -c 'run_one {}' ||
  fail "fuzzing: a target failed or found something (its FAIL line is above)"
