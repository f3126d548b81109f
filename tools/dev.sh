#!/usr/bin/env bash
# Set up, build and run: `tools/dev.sh [selfcheck|test|build] [args...]`; `tools/dev.sh --help` says
# more. BUILD_DIR and CMAKE_ARGS choose another build (CI uses them for the sanitizer build).
set -euo pipefail

usage() {
  cat <<'EOF'
usage: tools/dev.sh [COMMAND] [args...]

Installs the Debian packages and the ML-KEM oracle's npm package that are missing, configures and
builds, then:
  selfcheck [args...]   runs the self-check executable with args (check names, --gtest_* flags);
                        what runs when dev.sh is given no argument at all
  test [ctest args...]  runs the whole test suite with ctest
  build                 stops after the build
  help, -h, --help      prints this and does nothing else

Environment:
  BUILD_DIR   the build directory (default: build/ in the source tree)
  CMAKE_ARGS  more arguments for the configure step, e.g. -DVOSTREL_SANITIZE=ON
EOF
}

command=${1:-selfcheck}
shift || true
case "$command" in
  selfcheck | test | build) ;;
  help | -h | --help) usage; exit 0 ;;
  *) echo "tools/dev.sh: unknown command \"$command\"" >&2; usage >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
build_dir=${BUILD_DIR:-$root/build}
# npm ci fetches the oracle over TLS, whichever Node.js runs it.
packages=("${build_packages[@]}" libgtest-dev libbenchmark-dev ca-certificates)
# A Node.js from another source brings its own npm; Debian's packages only where there is none.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

# The oracle's package, again whenever the lockfile is newer than the last complete install (npm
# writes node_modules/.package-lock.json when it is done).
install_oracle() {
  local dir=$root/tools/mlkem-oracle
  [ -f "$dir/package-lock.json" ] || return 0
  [ "$dir/package-lock.json" -nt "$dir/node_modules/.package-lock.json" ] || return 0
  (cd "$dir" && quiet_step "installing the ML-KEM oracle's npm package in tools/mlkem-oracle" \
    npm ci --no-audit --no-fund)
}

configure_and_build() {
  quiet_step "configuring $build_dir" cmake -S "$root" -B "$build_dir" -G Ninja ${CMAKE_ARGS:-}
  step "building $build_dir" cmake --build "$build_dir"
}

install_missing "${packages[@]}"
install_oracle
configure_and_build
case "$command" in
  selfcheck) exec "$build_dir/core/vostrel-selfcheck" "$@" ;;
  test) exec ctest --test-dir "$build_dir" -j "$(nproc)" --output-on-failure "$@" ;;
esac
