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

# enter NSPAWN INIT COMMAND...: runs COMMAND in every namespace of process
# INIT, with a plain environment. Refuses unless INIT is a child of the
# systemd-nspawn NSPAWN and PID 1 of a PID namespace other than ours: a
# reboot or systemctl that reached this host would restart it.
# A namespace that cannot be read counts as ours.
enter() {
  local nspawn=$1 init=$2 theirs ours
  shift 2
  theirs=$(readlink "/proc/$init/ns/pid" 2>/dev/null) ours=$(readlink /proc/self/ns/pid)
  [[ -n $init && -n $nspawn && -n $theirs && $theirs != "$ours" &&
     $(awk '/^PPid:/ { print $2 }' "/proc/$init/status" 2>/dev/null) == "$nspawn" &&
     $(awk '/^NSpid:/ { print $NF }' "/proc/$init/status" 2>/dev/null) == 1 ]] ||
    { echo "enter: ${init:-none} is not PID 1 of a container of ${nspawn:-none}; refused" >&2; return 99; }
  nsenter --target "$init" --all -- /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8 "$@"
}
