#!/usr/bin/env bash
# Writes the names of the ML-KEM functions that the harness wraps (ct/CMakeLists.txt runs it).
# Valgrind wraps a C++ function only by its mangled symbol, so the symbols are found here by their
# demangled names: a renamed function fails the build with the name that was looked for, rather
# than leaving rho secret and the check reporting rejection sampling.
# Usage: ct/wrapped-symbols.sh LIBRARY OUTPUT
set -euo pipefail

library=$1
output=$2
# Each is wrapped in ct/ctgrind.cpp by CTGRIND_WRAP_<name>, for every backend that defines it.
scope='mlkem768::detail::'
functions=(expand_matrix sample_jobs)

# Global functions only, and no compiler clones (".constprop.0" and the like): a clone has other
# parameters than the wrapper expects.
mangled=$(nm --defined-only "$library" | awk '$2 ~ /^[TW]$/ && $3 !~ /\./ { print $3 }' | sort -u)
demangled=$(c++filt <<<"$mangled")

{
  echo "// Written by ct/wrapped-symbols.sh from $(basename "$library"): the wrapped functions."
  for function in "${functions[@]}"; do
    found=0
    while IFS=$'\t' read -r symbol name; do
      [[ $name == "$scope"*"::$function("* ]] || continue
      # Valgrind's Z-encoding of the symbol: Z as ZZ, then _ as Zu.
      echo "CTGRIND_WRAP_$function($(sed 's/Z/ZZ/g; s/_/Zu/g' <<<"$symbol"))  // $name"
      found=1
    done < <(paste <(echo "$mangled") <(echo "$demangled"))
    if [ $found -eq 0 ]; then
      echo "ct/wrapped-symbols.sh: no function ${scope}<backend>::$function(...) in $library." \
        "The constant-time harness wraps it to declassify the public matrix seed rho; if it was" \
        "renamed or moved, update the names in ct/wrapped-symbols.sh and ct/ctgrind.cpp." >&2
      exit 1
    fi
  done
} >"$output.tmp"
mv "$output.tmp" "$output"
