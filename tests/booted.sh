# What the tests that boot Debian roots share (installed_test.sh and
# fleet_test.sh source it): how they give up, count a check and keep a
# command's chatter out of their output. The sourcing script sets `passed`,
# `failed` and, before the first quietly, `work`.

# cannot_run WHY: a fault under CI=true, where everything must run; a skip
# (exit 77) elsewhere.
cannot_run() {
  [[ ${CI:-} == true ]] && { echo "FAIL: $*"; exit 1; }
  echo "SKIP: $*"; exit 77
}

# needs TOOL...: root and each TOOL, else cannot_run.
needs() {
  ((EUID == 0)) || cannot_run "needs root to make and boot containers"
  local tool
  for tool; do
    command -v "$tool" >/dev/null || cannot_run "$tool is missing"
  done
}

# check NAME COMMAND...: NAME passes when COMMAND succeeds.
check() {
  local name=$1
  shift
  if "$@"; then
    echo "ok    $name"; ((++passed))
  else
    echo "FAIL  $name"; ((++failed)); return 1
  fi
}
is() { [[ $1 == "$2" ]]; }
quietly() { "$@" >>"$work/commands.log" 2>&1; }
