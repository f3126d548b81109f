#!/usr/bin/env bash
# Set up, build and run: `tools/dev.sh selfcheck [args...]` or `tools/dev.sh test [ctest args...]`.
# BUILD_DIR and CMAKE_ARGS choose another build (CI uses them for the sanitizer build).
set -euo pipefail

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

command=${1:-selfcheck}
shift || true
case "$command" in
  selfcheck | test | build) ;;
  *) echo "usage: tools/dev.sh selfcheck|test|build [args...]" >&2; exit 2 ;;
esac
install_missing "${packages[@]}"
install_oracle
configure_and_build
case "$command" in
  selfcheck) exec "$build_dir/core/vostrel-selfcheck" "$@" ;;
  test) exec ctest --test-dir "$build_dir" -j "$(nproc)" --output-on-failure "$@" ;;
esac
