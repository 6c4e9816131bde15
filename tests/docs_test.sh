#!/usr/bin/env bash
# The examples of the README and of the manual pages' EXAMPLES, run, so that
# they cannot drift from the tools. Each command after "$ " runs, in order,
# in a scratch folder and a private mount namespace whose /opt is empty, with
# this build's velmora-next and velmora-audit first on PATH, and must print
# the lines shown after it. Each command after "# " changes a host: it must
# be one that the installed-system test runs there. The README's package
# name and the manual pages' headings must carry the project's version.
#
#   tests/docs_test.sh SOURCE_DIR BUILD_DIR VERSION
set -uo pipefail
source_dir=$(realpath "$1") build=$(realpath "$2") version=$3
((EUID == 0)) || { [[ ${CI:-} == true ]] && { echo "FAIL: needs root"; exit 1; }; echo "SKIP: needs root"; exit 77; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0
mkdir "$work/bin"
ln -s "$build/velmora-next" "$build/velmora-audit" "$work/bin/"
# The examples run as root already; an operator's sudo only runs the command.
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo" && chmod +x "$work/bin/sudo"

# The examples of one document, as text: the README as it stands, a manual
# page's EXAMPLES section as groff renders it in ASCII.
examples() {
  case $1 in
    *.md) cat "$1" ;;
    *) groff -man -Tascii -P-c -P-b -P-u "$1" 2>/dev/null | sed -n '/^EXAMPLES/,/^[A-Z]/p' ;;
  esac
}

# Splits the examples into lines "$ COMMAND", "# COMMAND" and "> OUTPUT",
# a command's continuation lines joined to it.
transcript() {
  awk '
    function flush() { if (cmd != "") print kind " " cmd; cmd = "" }
    /^ +[$#] / {
      flush(); line = $0; sub(/^ +/, "", line); kind = substr(line, 1, 1); cmd = substr(line, 3)
      while (cmd ~ /\\$/ && (getline more) > 0) { sub(/\\$/, "", cmd); sub(/^ +/, " ", more); cmd = cmd more }
      flush(); out = (kind == "$"); next
    }
    /^ *$/ { out = 0; next }
    out && /^ +/ { line = $0; sub(/^ +/, "", line); print "> " line; next }
    { out = 0 }'
}

for doc in "$source_dir/README.md" "$source_dir"/packaging/*.8; do
  name=${doc#"$source_dir"/}
  examples "$doc" | transcript >"$work/steps"
  rm -rf "$work/run" "$work/opt" && mkdir "$work/run" "$work/opt"
  # Each command with the output shown after it.
  command="" expected=()
  run_command() {
    [[ -n $command ]] || return 0
    local got want
    got=$(cd "$work/run" && PATH=$work/bin:$PATH unshare -m bash -c 'mount --bind "$1/opt" /opt && cd "$1/run" && eval "$2"' _ \
            "$work" "$command" 2>/dev/null </dev/null)
    want=$(printf '%s\n' "${expected[@]}")
    if [[ $got == "$want" ]]; then
      echo "ok    $name: \$ $command"; ((++passed))
    else
      echo "FAIL  $name: \$ $command"; diff <(echo "$want") <(echo "$got") | sed 's/^/      /'
      ((++failed))
    fi
  }
  while IFS= read -r line; do
    case $line in
      '$ '*) run_command; command=${line#'$ '} expected=() ;;
      '> '*) expected+=("${line#'> '}") ;;
      '# '*)
        run_command; command="" expected=()
        host=${line#'# '} host=${host//"velmorad_${version}_*.deb"/'$package'}
        if grep -qF -- "$host" "$source_dir/tests/installed_test.sh"; then
          echo "ok    $name: # ${line#'# '} (the installed-system test runs it)"; ((++passed))
        else
          echo "FAIL  $name: # ${line#'# '} is run by no test"; ((++failed))
        fi ;;
    esac
  done <"$work/steps"
  run_command
done
# A package of another version in the README would be one nobody builds.
packages=$(grep -o 'velmorad_[0-9.]*_[a-zA-Z0-9*]*\.deb' "$source_dir/README.md")
if [[ -n $packages ]] && grep -qv "_${version}_" <<<"$packages"; then
  echo "FAIL  the README names a package of another version than $version"; ((++failed))
else
  echo "ok    the README's package is version $version"; ((++passed))
fi
# Nor may a manual page name another version in its heading.
stale=$(grep -L -F "\"velmorad $version\"" "$source_dir"/packaging/*.8)
if [[ -n $stale ]]; then
  echo "FAIL  manual pages not of version $version: ${stale//"$source_dir"\//}"; ((++failed))
else
  echo "ok    the manual pages are of version $version"; ((++passed))
fi

echo "$passed passed, $failed failed"
((failed == 0))
