#!/usr/bin/env bash
# Constant-time checks under valgrind's memcheck: builds the harness of ct/ (-O2 -g, no sanitizers)
# in its own build directory and runs it three times.
#   check      ML-KEM on the dispatched and the portable backend, and the comparison routines of
#              open, the relay and verify_migration: any report fails.
#   decisions  open, Relay::check_request and verify_migration whole, with their secrets marked:
#              reports are allowed only at each one's public decision, and each must be seen there.
#              A decision is the statement after a line `// ctgrind: decision <name>` in core/src.
#   leak       a planted early-exit comparison on secret bytes: valgrind must report it, or the
#              checks above would prove nothing.
# Usage: tools/ctgrind.sh; CTGRIND_BUILD_DIR chooses the build directory, CMAKE_BUILD_PARALLEL_LEVEL the build's jobs.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
source "$root/tools/lib.sh"
build_dir=${CTGRIND_BUILD_DIR:-$root/build-ctgrind}
log_dir=$build_dir/logs
exe=$build_dir/ct/vostrel-ctgrind
src=$root/core/src

# The decisions that the decisions mode reaches, by the names their markers carry.
decisions=(open check_request verify_migration)
marker='// ctgrind: decision'
# The comparison routines, by demangled name: they may be inlined into the decision.
comparisons='ct_equal|capability_matches'

install_missing "${build_packages[@]}" valgrind
quiet_step "configuring $build_dir" cmake -S "$root" -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOSTREL_WERROR=ON -DVOSTREL_SANITIZE=OFF -DVOSTREL_TESTS=OFF \
  -DVOSTREL_BENCH=OFF -DVOSTREL_CTGRIND=ON
step "building $build_dir" cmake --build "$build_dir"
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

failed() {  # what failed, the mode whose log tells why
  cat "$log_dir/$2.log"
  grep '^FAIL ' "$log_dir/$2.log" || true
  fail "$1 (log: $log_dir/$2.log)"
}

run check
[ $status -eq 0 ] || failed "check: a secret-dependent branch or index, or a wrong result" check
grep -E '^(ok|FAIL) ' "$log_dir/check.log"

# Each decision's place: "name path first last", the path under core/src and the lines of the
# statement after its marker, up to the line that ends it (";") or opens its block ("{").
decision_site() {  # name
  local name=$1 hits
  hits=$(grep -rnE -- "^[[:space:]]*${marker} ${name}[[:space:]]*\$" "$src" | cut -d: -f1,2) || true
  [ -n "$hits" ] || fail "decisions: no line \"$marker $name\" in core/src. It marks the one" \
    "statement of $name that may branch on its secret; put it on the line before that statement."
  [ "$(wc -l <<<"$hits")" -eq 1 ] || fail "decisions: \"$marker $name\" more than once:" \
    ${hits//"$src"/core/src}
  local file=${hits%:*} at=${hits##*:}
  awk -v name="$name" -v path="${file#"$src"/}" -v at="$at" '
    NR <= at { next }
    NR == at + 1 && (/^[[:space:]]*$/ || /^[[:space:]]*\/\//) { exit 1 }
    { line = $0; sub(/[[:space:]]*\/\/.*$/, "", line) }
    line ~ /;|\{$/ { print name, path, at + 1, NR; found = 1; exit }
    NR > at + 10 { exit 1 }
    END { exit !found }' "$file" ||
    fail "decisions: no statement after \"$marker $name\" at core/src/${file#"$src"/}:$at"
}
# A marker that $decisions does not name would be checked by nothing.
while IFS=: read -r file at text; do
  name=$(sed -E "s|^[[:space:]]*${marker}[[:space:]]+||; s|[[:space:]]*\$||" <<<"$text")
  [[ " ${decisions[*]} " == *" $name "* ]] || fail "decisions: core/src/${file#"$src"/}:$at marks" \
    "\"$name\", which tools/ctgrind.sh does not check (it checks: ${decisions[*]})"
done < <(grep -rnF -- "$marker" "$src" || true)
sites=$(for name in "${decisions[@]}"; do decision_site "$name"; done)

run decisions --xml=yes --xml-file="$log_dir/decisions.xml"
[ $status -eq 0 ] && failed "decisions: no report at all, so the secrets reached no decision" decisions
# Reports set valgrind's exit code, so the harness's own verdict is read from its output.
[ $status -eq $reported ] && grep -q '^ok   open, check_request and verify_migration decided' \
  "$log_dir/decisions.log" || failed "decisions: a wrong result" decisions
# Each report's innermost frame outside the comparison routines must lie in a decision.
if ! awk -v sites="$sites" -v comparisons="$comparisons" '
  BEGIN {
    n = split(sites, list, "\n")
    for (i = 1; i <= n; i++) {
      split(list[i], site, " ")
      where_of[site[1]] = "core/src/" site[2] ":" site[3] (site[4] > site[3] ? "-" site[4] : "")
      for (line = site[3]; line <= site[4]; line++) decision_at[site[2] ":" line] = site[1]
    }
  }
  function text(line) {
    sub(/^[^>]*>/, "", line); sub(/<.*$/, "", line)
    gsub(/&lt;/, "<", line); gsub(/&gt;/, ">", line); gsub(/&amp;/, "\\&", line)
    return line
  }
  /<error>/ { in_error = 1; kind = ""; stacks = 0; where = ""; shown = ""; fn = ""; next }
  !in_error { next }
  /<kind>/ { kind = text($0) }
  /<stack>/ { stacks++ }
  stacks != 1 || where != "" { if (/<\/error>/) judge(); next }
  /<frame>/ { frame_fn = ""; dir = ""; file = ""; line = "" }
  /<fn>/ { frame_fn = text($0) }
  /<dir>/ { dir = text($0) }
  /<file>/ { file = text($0) }
  /<line>/ { line = text($0) }
  /<\/frame>/ {
    if (frame_fn ~ ("(^|::)(" comparisons ")\\(")) next
    path = dir "/" file; sub(/^.*\/core\/src\//, "", path); where = path ":" line; fn = frame_fn
    shown = (path == dir "/" file ? "" : "core/src/") where
  }
  /<\/error>/ { judge() }
  function judge() {
    in_error = 0
    if (kind == "UninitCondition" && (where in decision_at)) { seen[decision_at[where]]++; return }
    printf "unexpected %s at %s in %s\n", kind, shown, fn; bad++
  }
  END {
    for (name in where_of) {
      if (name in seen) printf "     decision %s at %s: %d report(s)\n", name, where_of[name], seen[name]
      else { printf "no report at the decision %s, %s (the statement after its marker)\n", name, where_of[name]; bad++ }
    }
    exit (bad > 0)
  }' "$log_dir/decisions.xml"; then
  failed "decisions: a secret-dependent branch or index outside the marked decisions (above)" decisions
fi
echo "ok   open, check_request, verify_migration: secrets reach only their public decisions"

run leak
[ $status -eq $reported ] && grep -q 'leaky_equal' "$log_dir/leak.log" ||
  failed "leak: memcheck did NOT report the planted early-exit comparison leaky_equal" leak
echo "ok   planted leak: memcheck reports the early-exit comparison in leaky_equal"
echo "ctgrind: all constant-time checks passed"
