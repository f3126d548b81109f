#!/usr/bin/env bash
# Constant-time checks under valgrind's memcheck: builds the harness of ct/ (-O2 -g, no sanitizers)
# in its own build directory and runs it three times.
#   check      ML-KEM on the dispatched and the portable backend, and the comparison routines of
#              open, the relay and verify_migration: any report fails.
#   decisions  open, Relay::check_request and verify_migration whole, with their secrets marked:
#              reports are allowed only at each one's public decision, the line that calls its
#              comparison routine, and each must be seen there.
#   leak       a planted early-exit comparison on secret bytes: valgrind must report it, or the
#              checks above would prove nothing.
# Usage: tools/ctgrind.sh; CTGRIND_BUILD_DIR chooses the build directory, CMAKE_BUILD_PARALLEL_LEVEL the build's jobs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${CTGRIND_BUILD_DIR:-$root/build-ctgrind}
log_dir=$build_dir/logs
exe=$build_dir/ct/vostrel-ctgrind

packages=(valgrind build-essential cmake ninja-build pkg-config libsodium-dev libssl-dev libabsl-dev)
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  sudo=""; [ "$(id -u)" -ne 0 ] && sudo=sudo
  $sudo apt-get update -q && DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "${missing[@]}"
fi

cmake -S "$root" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_WERROR=ON \
  -DVOSTREL_SANITIZE=OFF -DVOSTREL_TESTS=OFF -DVOSTREL_BENCH=OFF -DVOSTREL_CTGRIND=ON >/dev/null
cmake --build "$build_dir"
mkdir -p "$log_dir"

memcheck=(valgrind --tool=memcheck --track-origins=yes)
# Exit code of a run with reports; the harness itself exits 3 on a wrong result, 2 on misuse.
reported=1

run() {  # mode, then extra valgrind options; leaves valgrind's exit code in $status
  local mode=$1
  shift
  status=0
  "${memcheck[@]}" --error-exitcode=$reported "$@" "$exe" "$mode" >"$log_dir/$mode.log" 2>&1 ||
    status=$?
}

failed() {
  echo "FAIL ctgrind $1 (log: $log_dir/$2.log)"
  cat "$log_dir/$2.log"
  exit 1
}

run check
[ $status -eq 0 ] || failed "check: a secret-dependent branch or index, or a wrong result" check
grep -E '^(ok|FAIL) ' "$log_dir/check.log"

# The line of each decision, found by the call it must make: a function that stopped using its
# comparison routine fails here rather than passing unnoticed.
decision_site() {  # file under core/src, the exact text of the decision
  local lines
  lines=$(grep -nF -- "$2" "$root/core/src/$1" | cut -d: -f1)
  if [ -z "$lines" ] || [ "$(wc -l <<<"$lines")" -ne 1 ]; then
    echo "FAIL ctgrind decisions: no single line \"$2\" in core/src/$1" >&2
    exit 1
  fi
  echo "$1:$lines"
}
sites="$(decision_site crypto.cpp 'if (!ct_equal(expected, sealed.last(kTagBytes)))')
$(decision_site relay.cpp 'if (!capability_matches(expected, request.capability))')
$(decision_site rotation.cpp 'if (!crypto::ct_equal(pinned, record.old_key))')"

run decisions --xml=yes --xml-file="$log_dir/decisions.xml"
[ $status -eq 0 ] && failed "decisions: no report at all, so the secrets reached no decision" decisions
# Reports set valgrind's exit code, so the harness's own verdict is read from its output.
[ $status -eq $reported ] && grep -q '^ok   open, check_request and verify_migration decided' \
  "$log_dir/decisions.log" || failed "decisions: a wrong result" decisions
# Each report's innermost frame outside the comparison routine (which may be inlined into its
# caller) must be a decision site.
if ! awk -v sites="$sites" '
  BEGIN { n = split(sites, list, "\n"); for (i = 1; i <= n; i++) allowed[list[i]] = 1 }
  function text(line) {
    sub(/^[^>]*>/, "", line); sub(/<.*$/, "", line)
    gsub(/&lt;/, "<", line); gsub(/&gt;/, ">", line); gsub(/&amp;/, "\\&", line)
    return line
  }
  /<error>/ { in_error = 1; kind = ""; stacks = 0; where = ""; fn = ""; next }
  !in_error { next }
  /<kind>/ { kind = text($0) }
  /<stack>/ { stacks++ }
  stacks != 1 || where != "" { if (/<\/error>/) judge(); next }
  /<frame>/ { frame_fn = ""; file = ""; line = "" }
  /<fn>/ { frame_fn = text($0) }
  /<file>/ { file = text($0) }
  /<line>/ { line = text($0) }
  /<\/frame>/ {
    if (frame_fn ~ /(^|::)(ct_equal|capability_matches)\(/) next
    where = file ":" line; fn = frame_fn
  }
  /<\/error>/ { judge() }
  function judge() {
    in_error = 0
    if (kind == "UninitCondition" && (where in allowed)) { seen[where]++; return }
    printf "unexpected %s at %s in %s\n", kind, where, fn; bad++
  }
  END {
    for (site in allowed) {
      if (site in seen) printf "     decision at %s: %d report(s)\n", site, seen[site]
      else { printf "no report at the decision %s\n", site; bad++ }
    }
    exit (bad > 0)
  }' "$log_dir/decisions.xml"; then
  failed "decisions: a secret-dependent branch or index outside the public decisions" decisions
fi
echo "ok   open, check_request, verify_migration: secrets reach only their public decisions"

run leak
[ $status -eq $reported ] && grep -q 'leaky_equal' "$log_dir/leak.log" ||
  failed "leak: the planted secret-dependent branch was NOT reported" leak
echo "ok   planted leak: memcheck reports the early-exit comparison in leaky_equal"
echo "ctgrind: all constant-time checks passed"
