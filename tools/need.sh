# Sourced by the test scripts.  `need COMMAND PACKAGE...` returns when COMMAND
# is there.  Otherwise, in CI (CI=true) it installs the Debian packages;
# elsewhere, where no system package is installed for the user, it says what is
# skipped and why and exits 77 (skipped), writing the reason to
# $TORVO_SKIP_NOTE when ./test.sh set it.
skip() {
  echo "skipped: $*"
  if [ -n "${TORVO_SKIP_NOTE:-}" ]; then echo "$*" > "$TORVO_SKIP_NOTE"; fi
  exit 77
}

# install_packages WHAT PACKAGE...: installs the packages in CI, else skips for lack of WHAT.
install_packages() {
  local what=$1
  shift
  [ "${CI:-}" = true ] || skip "$what is not installed (Debian: apt-get install $*)"
  [ "$(id -u)" = 0 ] || skip "$what is not installed and installing $* needs root"
  echo "installing $* (CI)"
  apt-get update -qq >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@" >/dev/null
}

need() {
  local command=$1
  shift
  command -v "$command" >/dev/null 2>&1 && return 0
  install_packages "$command" "$@"
  command -v "$command" >/dev/null 2>&1 || { echo "installing $* did not bring $command" >&2; exit 1; }
}
