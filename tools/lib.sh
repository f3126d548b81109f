# Sourced by the scripts in tools/: setup steps that say which one failed and why, and the install
# of missing Debian packages. Expects `set -euo pipefail` in the script that sources it.

# The packages every build needs: the scripts add their own to these.
# Debian 12's libboost-dev is 1.74, older than the relay's tables: 1.81 is named.
build_packages=(build-essential cmake ninja-build pkg-config libsodium-dev libssl-dev libboost1.81-dev)

fail() {  # message: stops the script, naming it
  echo "FAIL ${0##*/}: $*" >&2
  exit 1
}

# step DESCRIPTION COMMAND...: runs COMMAND with its output shown; on failure names the step.
step() {
  local what=$1 status
  shift
  if "$@"; then return 0; else status=$?; fi
  fail "$what: \`$*\` exited with status $status"
}

# quiet_step DESCRIPTION COMMAND...: the same, its output shown only when it fails.
quiet_step() {
  local what=$1 status log
  shift
  log=$(mktemp)
  if "$@" >"$log" 2>&1; then
    rm -f "$log"
    return 0
  else
    status=$?
  fi
  cat "$log" >&2
  rm -f "$log"
  fail "$what: \`$*\` exited with status $status (its output is above)"
}

# install_missing PACKAGE...: installs with apt-get those of the packages that are not installed,
# without their recommendations (npm's alone reach X11 and a terminal emulator): whatever the
# scripts need is named in their lists.
install_missing() {
  local missing=() sudo=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then return 0; fi
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null || fail "installing ${missing[*]}: not root, and no sudo"
    sudo=(sudo)
  fi
  step "updating the package lists to install ${missing[*]}" "${sudo[@]}" apt-get update -q
  step "installing ${missing[*]}" "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"
}
