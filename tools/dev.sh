#!/usr/bin/env bash
# Set up, build and run: `tools/dev.sh selfcheck [args...]` or `tools/dev.sh test [ctest args...]`.
# BUILD_DIR and CMAKE_ARGS choose another build (CI uses them for the sanitizer build).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
packages=(build-essential cmake ninja-build pkg-config libsodium-dev libssl-dev libgtest-dev
          libbenchmark-dev libabsl-dev)
# A Node.js from another source brings its own npm; Debian's packages only where there is none.
command -v node >/dev/null && command -v npm >/dev/null || packages+=(nodejs npm)

install_missing_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
}

install_oracle() {
  local dir=$root/tools/mlkem-oracle
  if [ -f "$dir/package-lock.json" ] && [ ! -d "$dir/node_modules" ]; then
    (cd "$dir" && npm ci --no-audit --no-fund --silent)
  fi
}

configure_and_build() {
  cmake -S "$root" -B "$build_dir" -G Ninja ${CMAKE_ARGS:-} >/dev/null
  cmake --build "$build_dir"
}

command=${1:-selfcheck}
shift || true
install_missing_packages
install_oracle
configure_and_build
case "$command" in
  selfcheck) exec "$build_dir/core/vostrel-selfcheck" "$@" ;;
  test) exec ctest --test-dir "$build_dir" -j "$(nproc)" --output-on-failure "$@" ;;
  build) ;;
  *) echo "usage: tools/dev.sh selfcheck|test|build [args...]" >&2; exit 2 ;;
esac
