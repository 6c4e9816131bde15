#!/usr/bin/env bash
# Checks on what a host gets from a release build: the hardened executable,
# the systemd unit, the manual pages and the Debian packages that
# dpkg-buildpackage made in BUILD_DIR/deb (with the options given), which
# lintian must pass without an error or a warning.
#
#   tests/release_test.sh BUILD_DIR [dpkg-buildpackage option...]
set -uo pipefail
build=$(realpath "$1")
shift
deb_options=("$@")
source_dir=$(dirname "$(realpath "$0")")/..
daemon=$build/velmorad
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

check() {
  local name=$1
  shift
  if output=$("$@" 2>&1); then
    echo "ok    $name"
    ((++passed))
  else
    echo "FAIL  $name"
    printf '%s\n' "$output" | sed 's/^/      /'
    ((++failed))
  fi
}

hardened() {
  # Each listing is read whole: a grep -q in a pipe may end readelf with
  # SIGPIPE at its first match, which pipefail reports as a failure.
  local header segments dynamic
  header=$(readelf -h "$daemon") && segments=$(readelf -l "$daemon") &&
    dynamic=$(readelf -d "$daemon") || { echo "readelf cannot read $daemon"; return 1; }
  grep -q 'Type: *DYN' <<<"$header" || { echo "not position-independent"; return 1; }
  grep -q GNU_RELRO <<<"$segments" || { echo "no RELRO segment"; return 1; }
  grep -qE 'BIND_NOW|FLAGS.*NOW' <<<"$dynamic" || { echo "no BIND_NOW"; return 1; }
  grep -q 'FLAGS_1.*PIE' <<<"$dynamic" || { echo "not flagged PIE"; return 1; }
  # The fortified variants of the calls that have one.
  local symbols
  symbols=$(nm -D "$daemon")
  grep -q __syslog_chk <<<"$symbols" || { echo "syslog is not fortified"; return 1; }
  grep -q __stack_chk_fail <<<"$symbols" || { echo "no stack protector"; return 1; }
  ! grep -qE ' U (syslog|sprintf|snprintf|strcpy|memcpy|printf)@' <<<"$symbols" ||
    { echo "unfortified calls: $(grep -E ' U (syslog|sprintf|snprintf|strcpy|memcpy|printf)@' <<<"$symbols")"; return 1; }
}

# glibc's C library, and on arm64 its dynamic loader too, which holds the
# stack protector's guard there.
only_glibc() {
  local needed
  needed=$(readelf -d "$daemon" | awk '/NEEDED/ { print $NF }' | grep -v '^\[ld-linux-aarch64\.so\.1\]$')
  [[ $needed == "[libc.so.6]" ]] || { echo "needs: $needed"; return 1; }
}

stage() {
  DESTDIR=$work/stage cmake --install "$build" --prefix /usr >/dev/null
}

# The unit names /usr/sbin/velmorad, so verify it where that path holds the
# staged daemon: a private mount namespace with a tmpfs over /usr/sbin.
unit_verifies() {
  unshare --mount --propagation private sh -c '
    mount -t tmpfs velmora-sbin /usr/sbin &&
    cp "$1/usr/sbin/velmorad" "$1/usr/sbin/velmora-audit" /usr/sbin/ &&
    cd "$1/usr/lib/systemd/system" &&
    MANPATH="$1/usr/share/man" systemd-analyze verify velmorad.service velmorad-localtime.service \
      velmorad-localtime.timer velmorad-audit.service velmorad-audit.timer \
      velmorad-audit-shutdown.service
  ' verify "$work/stage"
}

man_pages_clean() {
  local page warnings
  for page in velmorad.8 velmora-next.8 velmora-audit.8; do
    warnings=$(groff -man -ww -z "$source_dir/packaging/$page" 2>&1) &&
      [[ -z $warnings ]] || { echo "$page: $warnings"; return 1; }
    warnings=$(MANWIDTH=80 man --warnings -l "$source_dir/packaging/$page" 2>&1 >/dev/null)
    [[ -z $warnings ]] || { echo "$page: $warnings"; return 1; }
  done
}

# The binary package, as built for this build's architecture.
deb=$(ls "$build"/deb/velmorad_*.deb 2>/dev/null)

package_contents() {
  # The units' directory is the one this release's debhelper reads.
  diff <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $1, $2, $6 }' |
           sed -E 's, \./(usr/)?lib/systemd/system/, UNITS/,' | sort) - <<'EOF' || return 1
-rw-r--r-- root/root ./usr/lib/systemd/system-preset/50-velmorad.preset
-rw-r--r-- root/root ./usr/lib/sysusers.d/velmorad.conf
-rw-r--r-- root/root ./usr/lib/tmpfiles.d/velmorad.conf
-rw-r--r-- root/root ./usr/share/doc/velmorad/changelog.gz
-rw-r--r-- root/root ./usr/share/doc/velmorad/copyright
-rw-r--r-- root/root ./usr/share/doc/velmorad/examples/roles/velmorad/defaults/main.yml
-rw-r--r-- root/root ./usr/share/doc/velmorad/examples/roles/velmorad/handlers/main.yml
-rw-r--r-- root/root ./usr/share/doc/velmorad/examples/roles/velmorad/meta/main.yml
-rw-r--r-- root/root ./usr/share/doc/velmorad/examples/roles/velmorad/tasks/main.yml
-rw-r--r-- root/root ./usr/share/doc/velmorad/examples/velmorad.yml
-rw-r--r-- root/root ./usr/share/doc/velmorad/runit-run
-rw-r--r-- root/root ./usr/share/man/man8/velmora-audit.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/velmora-next.8.gz
-rw-r--r-- root/root ./usr/share/man/man8/velmorad.8.gz
-rw-r--r-- root/root ./usr/share/velmorad/settings.example
-rw-r--r-- root/root ./usr/share/velmorad/velmorad-rules.yml
-rw-r--r-- root/root UNITS/velmorad-audit-shutdown.service
-rw-r--r-- root/root UNITS/velmorad-audit.service
-rw-r--r-- root/root UNITS/velmorad-audit.timer
-rw-r--r-- root/root UNITS/velmorad-localtime.service
-rw-r--r-- root/root UNITS/velmorad-localtime.timer
-rw-r--r-- root/root UNITS/velmorad.service
-rwxr-xr-x root/root ./usr/sbin/velmora-audit
-rwxr-xr-x root/root ./usr/sbin/velmora-next
-rwxr-xr-x root/root ./usr/sbin/velmorad
EOF
  local info scripts
  info=$(dpkg-deb -I "$deb")
  # No preinst: nothing stops the daemon before an upgrade, the postinst
  # restarts it after. No script starts a unit, and the only enable is
  # debhelper's re-enable of a unit that an earlier install had enabled.
  scripts=$(dpkg-deb --ctrl-tarfile "$deb" | tar -t | sed 's,^\./,,' | grep . | sort | tr '\n' ' ')
  [[ $scripts == "control md5sums postinst postrm prerm triggers " ]] ||
    { echo "control archive: $scripts"; return 1; }
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst ./prerm ./postrm | awk '
    /debian-installed/ { installed = 1 }
    /^\tfi$/ { installed = 0 }
    (/deb-systemd-invoke/ && !/deb-systemd-invoke (try-restart|stop) /) ||
      (/deb-systemd-helper enable/ && !installed) || /systemctl .*(enable|start)/ { print; bad = 1 }
    END { exit bad }' || { echo "a script enables or starts a unit"; return 1; }
  grep -qx ' Package: velmorad' <<<"$info" || { echo "$info"; return 1; }
  # From dpkg-shlibdeps: glibc for the daemon, the C++ runtime for
  # velmora-next and velmora-audit, libsystemd for the audit's journal.
  grep -qE '^ Depends: .*libc6 \(>= [0-9.]+\)' <<<"$info" || { echo "$info"; return 1; }
}

# One version, and a new one: the package's is the one CMake and the head
# of debian/changelog name, and newer than the release before it there, so
# that apt-get upgrades a host that has that release.
version_new() {
  local package project head before
  package=$(dpkg-deb -f "$deb" Version)
  project=$(awk -F= '/^CMAKE_PROJECT_VERSION:/ { print $2 }' "$build/CMakeCache.txt")
  head=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" -S Version)
  before=$(dpkg-parsechangelog -l "$source_dir/debian/changelog" --offset 1 --count 1 -S Version)
  echo "package $package, CMake $project, changelog $head, the release before it ${before:-none}"
  [[ $package == "$project" && $package == "$head" && -n $before ]] && dpkg --compare-versions "$head" gt "$before"
}

# The postinst's link in the node exporter's directory, which the exporter's
# account could replace by a link to another directory: made only in a real
# directory of root's or that account's, never through a link or into one
# of another account's. The package's postinst as the trigger on that
# directory runs it, on a scratch root (DPKG_ROOT), with the service
# manager's and debhelper's tools stood in for by true.
exporter_link() {
  local kind want got root failed=0
  dpkg-deb --ctrl-tarfile "$deb" | tar -xO ./postinst >"$work/postinst"
  while read -r kind want; do
    root=$work/exporter-$kind
    mkdir -p "$root/etc" "$root/var/lib/velmorad-audit" "$root/var/lib/prometheus" "$root/elsewhere"
    echo 'prometheus:x:4242:4242::/var/lib/prometheus:/usr/sbin/nologin' >"$root/etc/passwd"
    : >"$root/var/lib/velmorad-audit/velmorad.prom"
    case $kind in
      link) ln -s "$root/elsewhere" "$root/var/lib/prometheus/node-exporter" ;;
      *) install -d -o "${kind#*=}" "$root/var/lib/prometheus/node-exporter" ;;
    esac
    unshare --mount --propagation private sh -c '
      for tool in systemctl deb-systemd-helper deb-systemd-invoke systemd-sysusers systemd-tmpfiles; do
        path=$(command -v "$tool") && mount --bind /bin/true "$path"
      done
      DPKG_ROOT=$1 exec sh "$2" triggered /var/lib/prometheus/node-exporter' _ "$root" "$work/postinst" ||
      { echo "$kind: the postinst failed"; failed=1; }
    got=none
    [[ -L $root/var/lib/prometheus/node-exporter/velmorad.prom || -n $(ls -A "$root/elsewhere") ]] && got="link"
    echo "$kind: $got (want $want)"
    [[ $got == "$want" ]] || failed=1
  done <<'EOF'
owner=0 link
owner=4242 link
owner=4343 none
link none
EOF
  return "$failed"
}

# A second build of the same tree, elsewhere, gives the same bytes: the
# times in the package come from debian/changelog, the build path is
# mapped away.
reproducible() {
  "$source_dir/tools/build-deb" "$work/again" -b -Pnocheck "${deb_options[@]}" \
    >"$work/again.log" 2>&1 || { tail -n 20 "$work/again.log"; return 1; }
  cmp "$deb" "$work/again/$(basename "$deb")"
}

# Debian's own package checker, as strict as it gets, on the source package
# and the binary ones through the .changes: any error or warning fails
# (informational tags are listed but pass).
lintian_clean() {
  lintian --pedantic --fail-on error,warning "$build"/deb/velmorad_*.changes 2>&1 |
    grep -v 'running with root privileges'
  return "${PIPESTATUS[0]}"
}

# The monitoring plugin's own options, and what it says and writes when it
# cannot read the journal; its verdicts are tested on a real journal in the
# installed-system test.
audit_options() {
  local audit=$build/velmora-audit version out
  version=$(awk -F= '/^CMAKE_PROJECT_VERSION:/ { print $2 }' "$build/CMakeCache.txt")
  [[ $("$audit" --version) == "velmora-audit $version" ]] || return 1
  [[ $("$audit" -h) == "usage: velmora-audit "* ]] || return 1
  "$audit" --days 0 >/dev/null 2>&1
  (($? == 3)) || { echo "a bad option must give UNKNOWN (3)"; return 1; }
  # As nobody, with a umask that would keep the exporter out: the journal
  # cannot be read, which is said without a usage line, and the metrics say
  # UNKNOWN, readable by all.
  chmod 755 "$work" && install -d -o 65534 -m 755 "$work/metrics"
  out=$(cd / && setpriv --reuid=65534 --regid=65534 --clear-groups sh -c \
    'umask 077; exec "$0" --days=3 --prometheus "$1"' "$audit" "$work/metrics/audit.prom" 2>"$work/audit.err")
  (($? == 3)) && [[ $out == "VELMORAD UNKNOWN - the journal shows no entry to uid 65534: "* ]] &&
    [[ ! -s $work/audit.err ]] || { echo "$out"; cat "$work/audit.err"; return 1; }
  local metrics=$work/metrics/audit.prom
  grep -qx 'velmorad_audit_state 3' "$metrics" && ! grep -q restarts "$metrics" &&
    [[ $(stat -c %a "$metrics") == 644 ]] || { ls -l "$metrics"; cat "$metrics"; return 1; }
  out=$("$audit" --prometheus "$work/no/such/dir/audit.prom" 2>/dev/null)
  [[ $out == "VELMORAD UNKNOWN - "*"cannot write $work/no/such/dir/audit.prom: No such file or directory" ]] ||
    { echo "$out"; return 1; }
}

# Fleets spread evenly, as rule tests: host k of n (from 0) at minute
# floor((2k + 1) * length / 2n) of the window, the middle of its share, as
# velmora-next --place gives it; 2 to 30 hosts over 30 minutes from
# 03:05 UTC and over 60 from 23:40, across midnight; none is clustered. A
# test for each fleet, since one test's series are one Prometheus's.
spread_fleets() {
  local length start n k
  echo "rule_files: [$source_dir/packaging/prometheus/velmorad-rules.yml]"
  echo "tests:"
  for length in 30 60; do
    start=$((length == 30 ? 86400 + 3 * 3600 + 300 : 86400 + 23 * 3600 + 2400))
    for n in $(seq 2 30); do
      echo "  - interval: 1m"
      echo "    input_series:"
      for ((k = 0; k < n; ++k)); do
        echo "      - {series: 'velmorad_next_restart_timestamp_seconds{instance=\"$n-$k\"}'," \
             "values: '$((start + (2 * k + 1) * length / (2 * n) * 60))x20'}"
      done
      echo "    alert_rule_test: [{eval_time: 10m, alertname: VelmoradRestartsClustered, exp_alerts: []}]"
    done
  done
}

# Prometheus's own checker: the metric names, and the alert rules against
# their tests and the even fleets.
prometheus_checks() {
  local promtool=$source_dir/tools/promtool
  "$promtool" check metrics <"$work/metrics/audit.prom" || return 1
  (cd "$source_dir/packaging/prometheus" && "$promtool" test rules velmorad-rules_test.yml) || return 1
  spread_fleets >"$work/spread_test.yml" && "$promtool" test rules "$work/spread_test.yml"
}

check "position-independent, full RELRO, BIND_NOW, fortified" hardened
check "needs no library beyond glibc" only_glibc
check "cmake --install stages the files" stage
check "systemd-analyze verify passes on the units" unit_verifies
check "the manual pages render without warnings" man_pages_clean
check "the Debian package holds exactly the expected files" package_contents
check "the package's version: CMake's and the changelog's, newer than the release before" version_new
check "the postinst's link in the exporter's directory: not through a link, nor another account's" \
  exporter_link
packaged() { dpkg-deb -x "$deb" "$work/package" && daemon=$work/package/usr/sbin/velmorad "$@"; }
check "the package's daemon: hardened as this build's" packaged hardened
check "the package's daemon: no library beyond glibc" packaged only_glibc
check "lintian: no error, no warning" lintian_clean
check "a second build elsewhere gives the same package, byte for byte" reproducible
check "velmora-audit: --help, --version, UNKNOWN for a bad option, an unread journal and an unwritten file" \
  audit_options
check "promtool: the metric names pass, and so do the alert rules' tests and fleets spread evenly" \
  prometheus_checks

echo "$passed passed, $failed failed"
((failed == 0))
