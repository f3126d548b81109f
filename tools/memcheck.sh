#!/usr/bin/env bash
# The self-checks and the ML-KEM tests under valgrind's memcheck, on an optimised build with debug
# information and no sanitizers (its own build directory): any memory error, any use of
# uninitialised data and any definite or indirect leak fails the run.
# Usage: tools/memcheck.sh [gtest filter for the self-checks]; MEMCHECK_BUILD_DIR chooses the
# build directory.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
build_dir=${MEMCHECK_BUILD_DIR:-$root/build-memcheck}
filter=${1:-*}

install_missing valgrind
# dev.sh brings the build's packages and the oracle's npm package, then configures and builds.
BUILD_DIR=$build_dir CMAKE_ARGS="-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_WERROR=ON \
-DVOSTREL_SANITIZE=OFF -DVOSTREL_BENCH=OFF" "$root/tools/dev.sh" build

# The oracle check runs Node.js as a child: only our side of the pipe is checked.
memcheck=(valgrind --tool=memcheck --error-exitcode=1 --leak-check=full
          --errors-for-leak-kinds=definite,indirect --trace-children=no --track-origins=yes)

# Death tests stay out: their forked child aborts on purpose, and valgrind prints that abort's
# stack trace as if the run had failed. The ordinary and sanitizer builds run them.
no_death_tests() {  # gtest filter: the same filter without *DeathTest*
  case "$1" in
    *-*) echo "$1:*DeathTest*" ;;
    *) echo "$1-*DeathTest*" ;;
  esac
}

echo "memcheck: vostrel-selfcheck"
"${memcheck[@]}" "$build_dir/core/vostrel-selfcheck" --gtest_filter="$(no_death_tests "$filter")" ||
  fail "vostrel-selfcheck under memcheck: a failed test or a memory error (valgrind's report above)"
# The 1,000,000-iteration run stays disabled, as in every other test run.
echo "memcheck: mlkem-tests"
"${memcheck[@]}" "$build_dir/mlkem/mlkem-tests" --gtest_filter="$(no_death_tests '*')" ||
  fail "mlkem-tests under memcheck: a failed test or a memory error (valgrind's report above)"
echo "memcheck: clean"
