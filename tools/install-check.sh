#!/usr/bin/env bash
# Installs an existing build into a temporary prefix and uses it as an application would: every
# installed header compiles with only the prefix on the include path, and examples/ builds and
# runs once through find_package(vostrel) and once through pkg-config.
# Usage: tools/install-check.sh; BUILD_DIR chooses the build (default build/, made by tools/dev.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${BUILD_DIR:-$root/build}
cxx=${CXX:-c++}
warnings=(-Wall -Wextra -Wpedantic -Werror)

fail() {
  if [ -n "${2:-}" ]; then
    tail -n 40 "$2" >&2
    echo "FAIL install-check: $1 (log: $2)" >&2
  else
    echo "FAIL install-check: $1" >&2
  fi
  exit 1
}

# Runs a step with its output in a log that is shown when it fails.
step() {
  local what=$1 log=$work/$2.log
  shift 2
  "$@" >"$log" 2>&1 || fail "$what" "$log"
}

[ -f "$build_dir/CMakeCache.txt" ] ||
  fail "no configured build in $build_dir: run 'bash tools/dev.sh build' first, or set BUILD_DIR"
for tool in cmake ninja pkg-config "$cxx"; do
  command -v "$tool" >/dev/null || fail "$tool is not installed (bash tools/dev.sh build installs it)"
done

work=$(mktemp -d "${TMPDIR:-/tmp}/vostrel-install-check.XXXXXX")
prefix=$work/prefix
keep=1
# Kept when a step fails, for its logs.
trap 'if [ "$keep" -eq 0 ]; then rm -rf "$work"; fi' EXIT

step "the build in $build_dir does not build" build cmake --build "$build_dir"
step "cmake --install $build_dir --prefix $prefix failed" install \
  cmake --install "$build_dir" --prefix "$prefix"

# What an application gets, and nothing of the tests, benchmarks or harnesses.
pc_file=$(find "$prefix" -name vostrel.pc -path '*/pkgconfig/*' | head -n 1)
config=$(find "$prefix" -name vostrel-config.cmake | head -n 1)
[ -n "$pc_file" ] || fail "no vostrel.pc installed (is VOSTREL_INSTALL off in $build_dir?)"
[ -n "$config" ] || fail "no vostrel-config.cmake installed"
for lib in libvostrel.a libvostrel-mlkem.a; do
  [ -f "$(dirname "$(dirname "$pc_file")")/$lib" ] || fail "$lib is not installed next to vostrel.pc"
done
[ -f "$prefix/include/vostrel/common.hpp" ] ||
  fail "the headers are not installed in $prefix/include/vostrel"
executables=$(find "$prefix" -type f -perm /111)
[ -z "$executables" ] || fail "executables were installed: $executables"

PKG_CONFIG_PATH=$(dirname "$pc_file")${PKG_CONFIG_PATH:+:$PKG_CONFIG_PATH}
export PKG_CONFIG_PATH
step "pkg-config --cflags --libs vostrel failed" pkg-config-libs pkg-config --cflags --libs vostrel
step "pkg-config --static --cflags --libs vostrel failed" pkg-config-static-libs \
  pkg-config --static --cflags --libs vostrel
read -ra pc_cflags <<<"$(pkg-config --cflags vostrel)"
read -ra pc_libs <<<"$(pkg-config --libs vostrel)"
read -ra pc_static_libs <<<"$(pkg-config --static --libs vostrel)"

# A header that includes something left in the source tree fails here, not in an application.
for header in $(find "$prefix/include" -name '*.hpp' | sort); do
  name=${header#"$prefix/include/"}
  echo "#include <$name>" >"$work/header.cpp"
  step "installed header $name does not compile on its own against $prefix" "header-${name//\//-}" \
    "$cxx" -std=c++23 "${warnings[@]}" -fsyntax-only "${pc_cflags[@]}" "$work/header.cpp"
done

# The example through CMake; only the temporary prefix may provide the package.
step "examples/ does not configure with find_package(vostrel) from $prefix" cmake-configure \
  cmake -S "$root/examples" -B "$work/cmake-build" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_FIND_PACKAGE_NO_PACKAGE_REGISTRY=ON -DCMAKE_CXX_FLAGS="${warnings[*]}"
found=$(sed -n 's/^vostrel_DIR:PATH=//p' "$work/cmake-build/CMakeCache.txt")
[ "$found" = "$(dirname "$config")" ] ||
  fail "find_package(vostrel) took $found, not $(dirname "$config")"
step "examples/ does not build with CMake" cmake-build cmake --build "$work/cmake-build"
step "the example built with CMake failed" cmake-run "$work/cmake-build/vostrel-example"

# The example through pkg-config, as a plain compiler line: without --static, as the README shows
# it, and with it.
step "examples/example.cpp does not build with \$(pkg-config --cflags --libs vostrel)" \
  pkg-config-build "$cxx" -std=c++23 "${warnings[@]}" "$root/examples/example.cpp" \
  "${pc_cflags[@]}" "${pc_libs[@]}" -o "$work/example-pkg-config"
step "the example built with pkg-config failed" pkg-config-run "$work/example-pkg-config"
step "examples/example.cpp does not build with \$(pkg-config --cflags --libs --static vostrel)" \
  pkg-config-static-build "$cxx" -std=c++23 "${warnings[@]}" "$root/examples/example.cpp" \
  "${pc_cflags[@]}" "${pc_static_libs[@]}" -o "$work/example-pkg-config-static"

# One version everywhere: the library, vostrel.pc and the CMake package.
version=$(sed -n '1s/^vostrel //p' "$work/cmake-run.log")
[ -n "$version" ] || fail "the example did not print the library's version on its first line"
[ "$(pkg-config --modversion vostrel)" = "$version" ] ||
  fail "vostrel.pc says $(pkg-config --modversion vostrel), the library $version"
grep -q "PACKAGE_VERSION \"$version\"" "$(dirname "$config")/vostrel-config-version.cmake" ||
  fail "vostrel-config-version.cmake does not say $version"

keep=0
echo "ok   install-check: vostrel $version installed, examples/ built with CMake and pkg-config and ran"
