# Sourced by .ci/run and the stages. install_missing [APT-OPTION...] PACKAGE...
# installs the Debian packages named, if any: callers pass only the packages
# their own checks found missing, so a machine that has them all installs
# nothing and needs no network.
install_missing() {
  local options=()
  while [ $# -gt 0 ] && [ "${1#--}" != "$1" ]; do
    options+=("$1")
    shift
  done
  [ $# -gt 0 ] || return 0
  echo "== installing $*"
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${options[@]}" "$@"
}
