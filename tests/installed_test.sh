#!/usr/bin/env bash
# The Debian package on a booted Debian 12 or 13 whose PID 1 is systemd: a
# root file system from tools/debian-root (mmdebstrap, from the Debian
# archive this machine's sources name, cached), booted with systemd-nspawn
# in a mount namespace of its own. It
# checks that installing and presets leave the service disabled, that the
# enabled service logs its start-up line, runs sandboxed and really restarts
# the container in time, how systemd-analyze rates the unit, and that
# velmora-audit reads the real journal right: the restart happened, also as
# the node exporter shows it from the audit's timer, from the first boot on
# with the journal kept only in memory, as on an appliance: the restart
# reads happened after it, and a missed one MISSED across a restart by hand,
# from what the audit's ledger kept. Around
# that, the package's life: an upgrade from the release before, 0.3.0 as
# built from its own tree, while the daemon runs, removal just before its
# minute, and purge. On Debian 13, and
# for a package of another architecture (arm64, booted under qemu-user), the
# trials that wait (the removal before the daemon's minute) are left to
# Debian 12 on amd64.
#
#   tests/installed_test.sh BUILD_DIR [bookworm|trixie]   (the package in BUILD_DIR/deb)
#
# Every systemctl, reboot or journal command runs inside the container,
# through nsenter into its PID 1, and only once that process is checked to
# be PID 1 of a PID namespace other than this one: there reboot(2) ends the
# container, never this host.
#
# Where it cannot run (no root, no tools, no way to boot a container), it
# fails under CI=true and is skipped (exit 77) elsewhere.
set -uo pipefail
build=$(realpath "$1")
suite=${2:-bookworm}
case $suite in
  bookworm) release=12 full=1 ;;
  trixie) release=13 full=0 ;;
  *) echo "installed_test: no such suite: $suite" >&2; exit 2 ;;
esac
source_dir=$(dirname "$(realpath "$0")")/..
passed=0 failed=0

source "$source_dir/tests/booted.sh"
needs mmdebstrap systemd-nspawn unshare nsenter dpkg-deb

work=$(mktemp -d /var/tmp/velmorad-installed.XXXXXX)
root=$work/root
nspawn_pid="" init_pid=""
finish() {
  [[ -n $nspawn_pid ]] && kill -KILL "$nspawn_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT

# ---- the package and the root file system ------------------------------

# The package that dpkg-buildpackage made for this build's architecture.
deb=$(ls "$build"/deb/velmorad_*.deb 2>/dev/null) || { echo "FAIL: no package in $build/deb"; exit 1; }
arch=$(dpkg-deb -f "$deb" Architecture)
# Another architecture boots under qemu-user, slowly, and without the
# units' sandboxes, which the emulator cannot set up: the trials that wait
# are left to amd64, and a drop-in resets the sandboxes.
emulated=0
[[ $arch == amd64 ]] || full=0 emulated=1
# The release before, 0.3.0, as hosts have it: built by dpkg-buildpackage
# from the tree as it was released (the first landing of 0.3.0, before the
# zone's timer, the exporter's trigger and the postinst), for this package's
# architecture; once for each build folder, as it never changes.
previous_version=0.3.0 previous_commit=7b791558dd23e13882f88fe0d796345e4c490dbd
previous_package=velmorad_${previous_version}_$arch.deb
previous=$build/deb-previous/$previous_package
if [[ ! -s $previous ]] && ! git -C "$source_dir" cat-file -e "$previous_commit^{commit}" 2>/dev/null; then
  # A clone without that history (a shallow one) cannot build it: the
  # upgrade is left out, and said so, rather than faked.
  echo "skip  the upgrade from $previous_version: its tree ($previous_commit) is not in this clone"
  previous=""
elif [[ ! -s $previous ]]; then
  mkdir -p "$work/previous/velmorad"
  git -C "$source_dir" archive "$previous_commit" | tar -C "$work/previous/velmorad" -xf - ||
    cannot_run "cannot take velmorad $previous_version's tree ($previous_commit) from git"
  previous_options=(-us -uc -b -Pnocheck)
  [[ $arch == "$(dpkg --print-architecture)" ]] || previous_options+=(-a "$arch")
  (cd "$work/previous/velmorad" && dpkg-buildpackage "${previous_options[@]}") >"$work/previous.log" 2>&1 ||
    { tail -n 20 "$work/previous.log"; echo "FAIL: cannot build velmorad $previous_version"; exit 1; }
  # Whole or not at all: the Debian 13 test, beside this one, may read it.
  mkdir -p "${previous%/*}" && cp "$work/previous/$previous_package" "$previous.$$" &&
    mv "$previous.$$" "$previous"
fi

# autopkgtest, and what it needs to read the package's tests, only where
# it runs: not under the emulator; there too the exporter's .deb, kept to
# install it again after its purge.
extra=,autopkgtest,dpkg-dev,man-db keep=(--keep-debs prometheus-node-exporter)
((emulated)) && extra="" keep=()
image=$("$source_dir/tools/debian-root" "${keep[@]}" "$suite" "$arch" \
          "systemd,systemd-sysv,dbus,prometheus-node-exporter$extra") ||
  cannot_run "cannot make a Debian $release root file system"
mkdir "$root"
tar -C "$root" -xf "$image" || cannot_run "cannot unpack $image"
echo velmora-test >"$root/etc/hostname"
# The exporter listens on the container's own loopback only; the container
# has a network namespace of its own, with nothing but that.
echo 'ARGS="--web.listen-address=127.0.0.1:9100"' >"$root/etc/default/prometheus-node-exporter"
# Installed and upgraded as the README says, beside the tree (/root/velmorad).
package=$(basename "$deb")
cp "$deb" "$root/root/$package"
[[ -z $previous ]] || cp "$previous" "$root/root/$previous_package"
# The tree it was built from, as far as autopkgtest reads it (debian/):
# the package is installed from there as the README says, from beside it.
mkdir "$root/root/velmorad"
cp -r "$source_dir/debian" "$root/root/velmorad/"
if ((emulated)); then
  for unit in velmorad velmorad-localtime velmorad-audit velmorad-audit-shutdown; do
    mkdir -p "$root/etc/systemd/system/$unit.service.d"
    cp "$source_dir/tests/emulated-sandbox.conf" "$root/etc/systemd/system/$unit.service.d/"
  done
  # The same for systemd's own units that load credentials, which the
  # emulator fails at the same step: without systemd-tmpfiles-setup the
  # journal kept in memory is root's alone, not the group systemd-journal's.
  for unit in systemd-tmpfiles-setup systemd-tmpfiles-setup-dev systemd-sysusers; do
    mkdir -p "$root/etc/systemd/system/$unit.service.d"
    printf '[Service]\nLoadCredential=\n' >"$root/etc/systemd/system/$unit.service.d/emulated.conf"
  done
fi

# ---- the container -------------------------------------------------------

# Boots the root; sets nspawn_pid and, once the container's PID 1 is up,
# init_pid. Nothing of nspawn's is left on the host: /run/systemd is a
# private tmpfs, and nothing is registered with a machine manager.
boot() {
  mkdir -p /run/systemd
  unshare --mount --propagation private -- bash -c \
    'mount -t tmpfs velmora-nspawn /run/systemd &&
     exec systemd-nspawn --quiet --register=no --keep-unit --timezone=off --console=pipe \
       --private-network -b -D "$1"' \
    boot "$root" </dev/null >>"$work/console" 2>&1 &
  nspawn_pid=$! init_pid=""
  local i pid
  for ((i = 0; i < 300; ++i)); do
    for pid in $(pgrep -P "$nspawn_pid"); do
      [[ $(awk '/^NSpid:/ { print $NF }' "/proc/$pid/status" 2>/dev/null) == 1 ]] && init_pid=$pid
    done
    [[ -n $init_pid ]] && break
    sleep 0.1
  done
  [[ -n $init_pid ]] || return 1
  # Up when the manager has finished starting (degraded counts too).
  local state
  state=$(timeout 180 bash -c 'until s=$(in_container systemctl is-system-running --wait 2>/dev/null) ||
                                      [[ $s == degraded ]]; do sleep 1; done; echo "$s"' 2>/dev/null) ||
    return 1
  [[ $state == running || $state == degraded ]]
}

# in_container COMMAND...: COMMAND in the container, through its PID 1.
in_container() { enter "$nspawn_pid" "$init_pid" "$@"; }
# boot() calls it from a child shell, which must see the container too.
export -f in_container enter
export init_pid nspawn_pid

# Waits up to $1 seconds for the container to end, and sets end_status to
# nspawn's exit status and end_time to when it was seen to end; fails when it
# is still running.
wait_end() {
  local deadline=$((SECONDS + $1))
  while kill -0 "$nspawn_pid" 2>/dev/null && ((SECONDS < deadline)); do sleep 0.2; done
  kill -0 "$nspawn_pid" 2>/dev/null && return 1
  end_time=$(date +%s) end_status=0
  wait "$nspawn_pid" || end_status=$?
  nspawn_pid="" init_pid=""
}

shut_down() {
  in_container systemctl poweroff >/dev/null 2>&1
  wait_end 120 || { kill -KILL "$nspawn_pid"; wait_end 10; }
}

# The days the audit must look back over to see `due`: today, and the day
# before when midnight came in between.
audit_days() {
  [[ $(in_container date -d "@$1" +%F) == $(in_container date +%F) ]] && echo 1 || echo 2
}

# What the node exporter serves of the audit's metrics and of its textfile
# collector, scraped inside the container on its loopback; exporter_metrics
# first runs the audit's timer's service once.
scrape() {
  in_container bash -c 'exec 3<>/dev/tcp/127.0.0.1/9100 &&
    printf "GET /metrics HTTP/1.0\r\nHost: localhost\r\n\r\n" >&3 && cat <&3' 2>/dev/null |
    grep -E '^(# [A-Z]+ )?(velmorad_|node_textfile_scrape_error)'
}
exporter_metrics() {
  quietly in_container systemctl start velmorad-audit.service
  scrape
}
# scrape_check WHEN [PATTERN]: the collector reports no error, and the
# audit's metrics match PATTERN (grep -E), or there are none without one
# ("-": either).
scrape_check() {
  local metrics state ok=0
  metrics=$(scrape)
  state=$(grep -E '^velmorad_(audit_state|enabled|settings_pending) ' <<<"$metrics" | tr '\n' ' ')
  if [[ $(grep -c '^node_textfile_scrape_error 0$' <<<"$metrics") == 1 ]]; then
    case ${2:-} in
      -) ok=1 ;;
      "") grep -q '^velmorad_' <<<"$metrics" || ok=1 ;;
      *) grep -qE "$2" <<<"$metrics" && ok=1 ;;
    esac
  fi
  check "$1: node_textfile_scrape_error 0, ${state:-no metrics of the audit}" is "$ok" 1 ||
    in_container journalctl --no-pager -o cat -n 4 -u velmorad-audit.service | sed 's/^/  /'
}
# The audit turned off as the README says: the exporter then shows none of
# its metrics, and reports no error.
audit_off() {
  quietly in_container systemctl disable --now velmorad-audit.timer
  quietly in_container truncate -s 0 /var/lib/velmorad-audit/velmorad.prom
  scrape_check "the audit turned off"
}
# Nothing of the package's is left with the exporter.
exporter_dir_check() {
  local left
  left=$(in_container ls -A /var/lib/prometheus/node-exporter | grep velmorad)
  check "$1: nothing of velmorad's in the exporter's directory (${left:-none})" is "$left" ""
}

# How systemd-analyze rates a unit's sandbox: at most 1.0. Under an
# emulator the sandboxes are reset, and so the rating is left to amd64.
security_check() {
  local score
  score=$(in_container systemd-analyze security --no-pager "$1" 2>/dev/null |
          sed -n "s/.*Overall exposure level for $1: \([0-9.]*\).*/\1/p")
  if ((emulated)); then
    echo "skip  systemd-analyze security on $1: ${score:-no score}, its sandbox reset for the emulator"
  else
    check "systemd-analyze security on $1: ${score:-no score} (at most 1.0)" \
      awk -v s="${score:-99}" 'BEGIN { exit !(s <= 1.0) }'
  fi
}

unit_state() { echo "$(in_container systemctl is-enabled velmorad.service)/$(in_container systemctl is-active velmorad.service)"; }

# Writes a settings file whose target is the minute that begins 60 to 120 s
# from now in the container, in its zone or else in ZONE, and sets due to
# when that minute begins.
#   target_two_minutes_ahead [ZONE]
target_two_minutes_ahead() {
  local now hour minute zone=(${1:+"TZ=$1"})
  now=$(in_container date +%s)
  due=$(((now + 120) / 60 * 60))
  read -r hour minute < <(in_container env "${zone[@]}" date -d "@$due" '+%-H %-M')
  mkdir -p "$root/opt/velmora/etc"
  printf 'MOD_VELMORA_HOUR="%s"\nMOD_VELMORA_MINUTE="%s"\n' "$hour" "$minute" \
    >"$root/opt/velmora/etc/settings"
  echo "  target $(in_container env "${zone[@]}" date -d "@$due" '+%H:%M %Z'), container time $(in_container date -d "@$now" '+%T %Z')"
}

# The container's zone, as /etc/localtime names it below zoneinfo/.
zone_now() { local link; link=$(in_container readlink /etc/localtime); echo "${link#*zoneinfo/}"; }
# How many start-up lines the daemon has logged since this boot, and when the
# last of them was (seconds since the epoch).
start_lines() {
  in_container journalctl --no-pager -b -o cat SYSLOG_IDENTIFIER=velmorad | grep -cx 'Modul Velmora start'
}
last_start() {
  in_container journalctl --no-pager -b -o short-unix SYSLOG_IDENTIFIER=velmorad |
    awk '/ Modul Velmora start$/ { t = $1 } END { print (t == "" ? 0 : t) }'
}

# What the daemon runs now: its PID and its executable, which is the
# installed one unless an upgrade deleted it, as its memory map shows it
# (also under an emulator, which /proc/PID/exe would name instead). The
# manager reports a start before the exec, so this waits for the image.
daemon_image() {
  local pid exe
  for _ in $(seq 50); do
    pid=$(in_container systemctl show -p MainPID --value velmorad.service)
    exe=$(in_container awk '$6 == "/usr/sbin/velmorad" { print $6, $7; exit }' "/proc/$pid/maps")
    [[ -n $exe ]] && break
    sleep 0.2
  done
  echo "$pid ${exe% }"
}

# ---- boot 1: an upgrade from the release before, then install ---------------

echo "== boot 1: $previous_version upgraded, then the package installed afresh"
if ! boot; then
  tail -n 20 "$work/console"
  cannot_run "cannot boot a Debian $release container with systemd-nspawn here"
fi
apt_in_root() { quietly in_container env DEBIAN_FRONTEND=noninteractive bash -c "cd /root/velmorad && $1 -y"; }

# A host with 0.3.0, its daemon enabled and running with a target twelve
# hours away and the audit's timer left disabled, upgraded as the README
# says while the daemon runs: the new executable must run afterwards, each
# unit stay enabled or disabled as it was, the zone's timer come and run
# with the daemon, and the new postinst link the audit's metrics where the
# old package shipped the link; an upgrade records no first install.
if [[ -n $previous ]]; then
  check "apt-get install installs $previous_version" apt_in_root "apt-get install ../$previous_package"
  mkdir -p "$root/opt/velmora/etc"
  read -r hour minute < <(in_container date -d '12 hours' '+%-H %-M')
  printf 'MOD_VELMORA_HOUR=%s\nMOD_VELMORA_MINUTE=%s\n' "$hour" "$minute" >"$root/opt/velmora/etc/settings"
  quietly in_container systemctl enable --now velmorad.service
  before=$(daemon_image)
  check "apt-get install upgrades $previous_version to this version while the daemon runs" \
    apt_in_root "apt-get install ../$package"
  after=$(daemon_image) state=$(unit_state)
  units="$(in_container systemctl is-enabled velmorad-audit.timer) $(in_container systemctl is-active velmorad-localtime.timer)"
  check "after the upgrade the new executable runs ($before -> $after), $state" \
    eval '[[ ${before%% *} != "${after%% *}" && ${after#* } == /usr/sbin/velmorad && $state == enabled/active ]]'
  check "after the upgrade the audit's timer stays disabled, the zone's timer runs: $units" \
    is "$units" "disabled active"
  link=$(in_container readlink /var/lib/prometheus/node-exporter/velmorad.prom) verify=$(in_container dpkg --verify velmorad 2>&1)
  check "after the upgrade the exporter's link: ${link:-none}, dpkg --verify: ${verify:-nothing}" \
    eval '[[ $link == ../../velmorad-audit/velmorad.prom && -z $verify ]]'
  record=$(cat "$root/var/lib/velmorad/installed" 2>/dev/null)
  check "the upgrade records no first install: ${record:-none}" is "$record" ""
  # Back to a host that never had velmorad, for the install below.
  apt_in_root "apt-get purge velmorad"
fi

check "apt-get install installs the package" apt_in_root "apt-get install ../$package"
state=$(unit_state)
check "after apt-get install: $state" is "$state" disabled/inactive
scrape_check "installed, never enabled"
in_container systemctl preset velmorad.service >/dev/null 2>&1
state=$(unit_state)
check "after systemctl preset: $state" is "$state" disabled/inactive
check "the installed unit is the shipped one" \
  cmp -s "$root/usr/lib/systemd/system/velmorad.service" "$source_dir/packaging/velmorad.service"
# The package's tests, as Debian runs them, on this testbed itself (the
# null runner), with the package as installed: every one must pass. The
# testbed is a booted container, as isolation-container asks, which Debian
# 13's null runner cannot know and so would skip those tests.
if ((!emulated)); then
  ap_status=0
  in_container autopkgtest --no-built-binaries --ignore-restrictions=isolation-container \
    /root/velmorad/ -- null >"$work/autopkgtest.log" 2>&1 ||
    ap_status=$?
  summary=$(sed -n '/@@@@ summary$/,$p' "$work/autopkgtest.log" | tail -n +2)
  check "autopkgtest: $(awk '{ print $1, $2 }' <<<"$summary" | tr '\n' ' ')" \
    eval '[[ $ap_status == 0 && -n $summary ]] && ! grep -qv " PASS" <<<"$summary"' ||
    tail -n 30 "$work/autopkgtest.log"
fi
shut_down
printf 'uninitialized\n' >"$root/etc/machine-id"
# From here on the journal is kept in memory, which every restart empties.
mkdir -p "$root/etc/systemd/journald.conf.d"
printf '[Journal]\nStorage=volatile\n' >"$root/etc/systemd/journald.conf.d/volatile.conf"
rm -rf "$root/var/log/journal"

# ---- boot 2: first boot, enable, restart -----------------------------------

echo "== boot 2: first boot, then enabled with a target two minutes ahead"
boot || { echo "FAIL: the second boot did not come up"; exit 1; }
# On a first boot the manager applies every preset; units with
# ConditionFirstBoot=yes show that this was one.
first=$(in_container systemctl show -p ConditionResult --value systemd-firstboot.service)
check "this is a first boot (ConditionFirstBoot: $first)" is "$first" yes
state=$(unit_state)
check "after the first boot: $state" is "$state" disabled/inactive

# The zone changes twice while the daemon runs (below), to two zones far
# from the root's and from each other; the target is in the last one's
# time, so that the daemon started now, in the root's zone, has its minute
# hours away.
old_zone=$(zone_now) zone_a=Asia/Tokyo zone_b=America/New_York
check "the zones of the trial: $old_zone, then $zone_a, then $zone_b" \
  eval '[[ $old_zone != "$zone_a" && $old_zone != "$zone_b" ]] &&
        in_container test -f "/usr/share/zoneinfo/$zone_a" -a -f "/usr/share/zoneinfo/$zone_b"'
target_two_minutes_ahead "$zone_b"
check "systemctl enable --now velmorad.service" \
  quietly in_container systemctl enable --now velmorad.service
# The start-up line, from the daemon's own unit, before any audit: a run
# that came before it would record the zone only as seen before the
# daemon's start. On a loaded host journald may take its time.
fields="" deadline=$((SECONDS + 60))
until [[ -n $fields ]] || ((SECONDS >= deadline)); do
  sleep 0.2
  fields=$(in_container journalctl --no-pager -b -o export SYSLOG_IDENTIFIER=velmorad \
             _SYSTEMD_UNIT=velmorad.service 2>/dev/null |
           grep -E '^(PRIORITY|SYSLOG_FACILITY|SYSLOG_IDENTIFIER|MESSAGE)=' | sort | tr '\n' ' ')
done
check "start-up line in the journal: $fields" \
  is "$fields" "MESSAGE=Modul Velmora start PRIORITY=5 SYSLOG_FACILITY=1 SYSLOG_IDENTIFIER=velmorad "
# The audit turned on too; its metrics, once written, must outlive the
# restart.
quietly in_container systemctl enable --now velmorad-audit.timer
scrape_check "the audit's timer enabled, before its first run" -
quietly in_container systemctl start velmorad-audit.service
# A new host, as its timer's service sees it (--days 7): nothing was due
# before the package came to it, installed before this first boot.
audit=$(in_container velmora-audit --days 7)
code=$?
check "velmora-audit --days 7 on the new host: OK (exit $code), $(head -n 1 <<<"$audit" | cut -c1-60)..." \
  eval '((code == 0)) && grep -q "^VELMORAD OK - no restart was due since velmorad came to this host at " <<<"$audit"'


# The sandbox as the kernel sees it, from /proc of the running daemon.
pid=$(in_container systemctl show -p MainPID --value velmorad.service)
status=$(in_container cat "/proc/$pid/status")
field() { awk -v k="$1:" '$1 == k { print $2 }' <<<"$status"; }
root_mount=$(in_container awk '$5 == "/" { print $6 }' "/proc/$pid/mountinfo" | tail -n 1)
run_mount=$(in_container awk '$5 == "/run/systemd" { print $6 }' "/proc/$pid/mountinfo" | tail -n 1)
own_ns=""
for ns in net user ipc; do
  [[ $(in_container readlink "/proc/$pid/ns/$ns") != $(in_container readlink "/proc/1/ns/$ns") ]] &&
    own_ns+="$ns "
done
sandbox="uid $(field Uid), CapBnd $(field CapBnd), NoNewPrivs $(field NoNewPrivs), Seccomp $(field Seccomp), / ${root_mount%%,*}, /run/systemd ${run_mount%%,*}, own namespaces: ${own_ns% }"
if ((emulated)); then
  echo "skip  sandbox in force: reset for the emulator ($sandbox)"
else
  check "sandbox in force: $sandbox" is "$sandbox" \
    "uid 0, CapBnd 0000000000000000, NoNewPrivs 1, Seccomp 2, / ro, /run/systemd rw, own namespaces: net user ipc"
fi

security_check velmorad.service
security_check velmorad-localtime.service

# A new zone while the daemon runs. With the zone's timer stopped it waits:
# the audit tells it, naming both zones, and the daemon is not restarted.
timer=$(in_container systemctl is-active velmorad-localtime.timer)
check "velmorad-localtime.timer runs with the daemon: $timer" is "$timer" active
quietly in_container systemctl stop velmorad-localtime.timer
starts=$(start_lines)
quietly in_container ln -sf "/usr/share/zoneinfo/$zone_a" /etc/localtime
sleep 2
audit=$(in_container velmora-audit --days 7)
code=$? line=$(grep -m 1 'not yet applied' <<<"$audit") now=$(start_lines)
printf '%s\n' "$audit" | sed 's/^/  /'
check "a new zone, its timer stopped: WARNING (exit $code), not yet applied, $old_zone and $zone_a named" \
  eval '((code == 1)) && [[ $line == *"$old_zone"* && $line == *"$zone_a"* ]]'
check "a new zone, its timer stopped: no restart of the daemon (start-up lines: $starts, then $now)" \
  is "$now" "$starts"
# With the timer started again, each new zone restarts the daemon at once.
# Six of them half a second apart, as a tool trying zones might make them,
# must not leave it stopped as restarted too often, and a daemon must start
# after the last, in its zone. The settings, retimed in that zone's time
# just before, are read with it, so the restart below comes at its minute
# only if the last change was applied.
quietly in_container systemctl start velmorad-localtime.timer
target_two_minutes_ahead "$zone_b"
for zone in Europe/Berlin "$zone_a" Europe/London "$zone_a" Europe/Berlin "$zone_b"; do
  sleep 0.5
  quietly in_container ln -sf "/usr/share/zoneinfo/$zone" /etc/localtime
done
changed=$(date +%s.%N) deadline=$((SECONDS + 60))
until awk -v s="$(last_start)" -v c="$changed" 'BEGIN { exit !(s > c) }' || ((SECONDS >= deadline)); do
  sleep 0.5
done
now=$(start_lines) state=$(unit_state)
check "six new zones, its timer running: the daemon started again after the last (start-up lines: $starts, then $now), $state" \
  eval 'awk -v s="$(last_start)" -v c="$changed" "BEGIN { exit !(s > c) }" && [[ $state == enabled/active ]]'
audit=$(in_container velmora-audit --days 7)
code=$?
check "restarted in $(zone_now): OK (exit $code), nothing not yet applied: $(head -n 1 <<<"$audit" | cut -c1-50)..." \
  eval '((code == 0)) && ! grep -q "not yet applied" <<<"$audit"'

# The daemon's restart ends the container: nspawn exits 133.
if wait_end $((due + 150 - $(date +%s))); then
  delay=$((end_time - due))
  check "the container restarted $delay s after the target minute in $zone_b began (nspawn exit $end_status)" \
    eval '[[ $end_status == 133 ]] && ((delay >= 0 && delay <= 60))'
else
  check "the container restarted within 150 s after the target minute began" false
  shut_down
fi

# ---- boot 3: the audit ------------------------------------------------------

echo "== boot 3: the same root again"
boot || { echo "FAIL: the third boot did not come up"; exit 1; }
state=$(unit_state)
check "after the restart the daemon runs: $state" is "$state" enabled/active
scrape_check "right after the restart, before the audit runs again" '^velmorad_audit_state [0-3]$'

# The audit, from this container's journal, which holds this boot alone,
# and from its ledger, which kept the boot before and the start of its
# shutdown: the restart above happened.
boots=$(in_container journalctl --no-pager -o export | sed -n 's/^_BOOT_ID=//p' | sort -u | wc -l)
check "the journal in memory holds this boot alone ($boots)" is "$boots" 1
audit=$(in_container velmora-audit --days 7)
code=$?
printf '%s\n' "$audit" | sed 's/^/  /'
check "velmora-audit --days 7 after the restart: OK (exit $code), it happened, its shutdown's start recorded" \
  eval '((code == 0)) && grep -q "happened: due .*, the shutdown began at " <<<"$audit"' ||
  sed 's/^/  ledger: /' "$root/var/lib/velmorad-audit/ledger"
audit=$(in_container velmora-audit --days "$(audit_days "$due")" --prometheus /nonexistent/velmorad.prom)
check "velmora-audit with a file it cannot write: $(head -n 1 <<<"$audit" | cut -c1-50)..." \
  eval '[[ $audit == "VELMORAD UNKNOWN - cannot write /nonexistent/velmorad.prom: "* ]]'

# The audit's timer, as an operator turns it on, and its service run once.
quietly in_container systemctl enable --now velmorad-audit.timer
metrics=$(exporter_metrics)
check "the node exporter shows the audit's metrics: velmorad_restarts_missed 0" \
  grep -qx "velmorad_restarts_missed 0" <<<"$metrics"
check "promtool check metrics on them reports nothing" \
  eval '[[ -n $metrics ]] && "$source_dir/tools/promtool" check metrics <<<"$metrics" >"$work/promtool.log" 2>&1'
security_check velmorad-audit.service
security_check velmorad-audit-shutdown.service

# The exporter purged, which deletes its directory with all it holds, and
# installed again (with its default arguments: the container's network is
# its loopback alone): none of velmorad's files is missing, and the
# exporter serves the audit's metrics again at once, with no run of the
# audit or boot in between.
if ((!emulated)); then
  check "apt-get purge prometheus-node-exporter" apt_in_root "apt-get purge prometheus-node-exporter"
  verify=$(in_container dpkg --verify velmorad 2>&1)
  check "dpkg --verify velmorad after the exporter's purge: ${verify:-nothing}" is "$verify" ""
  check "apt-get install prometheus-node-exporter again" \
    apt_in_root "apt-get install /root/debs/prometheus-node-exporter_*.deb"
  for _ in $(seq 30); do grep -q '^velmorad_restarts_missed 0$' <<<"$(scrape)" && break; sleep 1; done
  scrape_check "the exporter purged and installed again" '^velmorad_restarts_missed 0$'
fi

# Retimed without restarting the daemon: the change is told as not yet
# applied, and the restart that happened stays happened.
read -r hour minute < <(in_container date -d '11 hours' '+%-H %-M')
printf 'MOD_VELMORA_HOUR=%s\nMOD_VELMORA_MINUTE=%s\n' "$hour" "$minute" >"$root/opt/velmora/etc/settings"
audit=$(in_container velmora-audit --days "$(audit_days "$due")")
code=$?
printf '%s\n' "$audit" | sed 's/^/  /'
check "retimed, not restarted: WARNING (exit $code), not yet applied, no MISSED" \
  eval '((code == 1)) && grep -q "^VELMORAD WARNING - not yet applied: velmorad keeps " <<<"$audit" &&
        ! grep -q MISSED <<<"$audit"'
quietly in_container systemctl start velmorad-audit.service
scrape_check "retimed, not restarted" '^velmorad_settings_pending 1$'
quietly in_container systemctl restart velmorad.service
quietly in_container systemctl start velmorad-audit.service
scrape_check "restarted: the change applied" '^velmorad_settings_pending 0$'

# The zone's timer turned off as velmorad(8) says, stopped and then masked:
# it stays off through the daemon's restart, and PID 1 warns of nothing
# (masked while it ran, it would be left failed, with two warnings). Then
# unmasked, and taken in again by the daemon's restart.
since=$(in_container date +%s)
quietly in_container systemctl stop velmorad-localtime.timer
quietly in_container systemctl mask velmorad-localtime.timer
quietly in_container systemctl restart velmorad.service
timer=$(in_container systemctl is-active velmorad-localtime.timer) state=$(unit_state)
warned=$(in_container journalctl --no-pager -q -p warning --since "@$since" _PID=1 | grep -c velmorad-localtime)
check "the zone's timer stopped, then masked: $timer, the daemon $state, PID 1's warnings of it: $warned" \
  eval '[[ $timer == inactive && $state == enabled/active && $warned == 0 ]]'
quietly in_container systemctl unmask velmorad-localtime.timer
quietly in_container systemctl restart velmorad.service

# Restarts turned off as the README says: OK, and said so.
quietly in_container systemctl disable --now velmorad.service
audit=$(in_container velmora-audit --days "$(audit_days "$due")")
code=$?
check "after systemctl disable --now: OK (exit $code), restarts turned off" \
  eval '((code == 0)) && grep -q "^VELMORAD OK - restarts are turned off" <<<"$audit"'
quietly in_container systemctl start velmorad-audit.service
scrape_check "restarts turned off" '^velmorad_enabled 0$'
quietly in_container systemctl enable --now velmorad.service

if ((!full)); then
  audit_off
  # Removal and purge, without the wait for the removed daemon's minute.
  check "apt-get remove velmorad" \
    apt_in_root "apt-get remove velmorad"
  scrape_check "after removal"
  exporter_dir_check "after removal"
  check "apt-get purge velmorad" apt_in_root "apt-get purge velmorad"
  exporter_dir_check "after purge"
  shut_down
  echo "$passed passed, $failed failed"
  ((failed == 0))
  exit
fi

# A missed restart, a drop-in taking systemctl from the daemon: MISSED while
# the host stays up past its minute, and after a restart by hand, which the
# journal in memory does not outlive. How the exporter and Alertmanager
# tell a miss, and its entries vacuumed away, are the fleet test's; so is a
# host that stays up after its restart.
mkdir -p "$root/etc/systemd/system/velmorad.service.d"
printf '[Service]\nInaccessiblePaths=/usr/bin/systemctl\n' \
  >"$root/etc/systemd/system/velmorad.service.d/no-reboot.conf"
target_two_minutes_ahead
quietly in_container systemctl daemon-reload
quietly in_container systemctl restart velmorad.service
# The daemon's pass comes within 30 s of the minute, the miss 5 minutes on.
while (($(date +%s) < due + 30 + 300 + 10)) && kill -0 "$nspawn_pid" 2>/dev/null; do sleep 1; done
audit=$(in_container velmora-audit --days "$(audit_days "$due")")
code=$?
check "systemctl taken from the daemon, up 5 minutes past its minute: CRITICAL (exit $code), MISSED" \
  eval '((code == 2)) && grep -q "MISSED: due .*, and the host is still up" <<<"$audit"' ||
  printf '%s\n' "$audit" | sed 's/^/  /'
rm -r "$root/etc/systemd/system/velmorad.service.d"
shut_down

echo "== boot 4: restarted by hand"
boot || { echo "FAIL: the fourth boot did not come up"; exit 1; }
audit=$(in_container velmora-audit --days "$(audit_days "$due")")
code=$?
printf '%s\n' "$audit" | sed 's/^/  /'
check "after the restart by hand: still CRITICAL (exit $code), MISSED" \
  eval '((code == 2)) && grep -q "MISSED: due .*, but the host stayed up until " <<<"$audit"'
audit_off
# Removal with the service enabled and running, its minute two minutes
# away: the daemon must stop, and the container must not restart at that
# minute. Then purge, which must leave no enable link behind.
target_two_minutes_ahead
quietly in_container systemctl daemon-reload
quietly in_container systemctl restart velmorad.service
state=$(unit_state)
check "before removal the daemon runs: $state" is "$state" enabled/active
check "apt-get remove velmorad" \
  apt_in_root "apt-get remove velmorad"
left=$(in_container sh -c 'grep -lx velmorad /proc/[0-9]*/comm' 2>/dev/null)
check "after removal no daemon runs (${left:-none})" is "$left" ""
scrape_check "after removal"
exporter_dir_check "after removal"
if wait_end $((due + 60 - $(date +%s))); then
  check "no restart at the minute of the removed daemon (nspawn exit $end_status)" false
else
  check "no restart at the minute of the removed daemon" true
  links=$(in_container find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
            -name 'velmorad.service*' 2>/dev/null | tr '\n' ' ')
  check "after removal the enable link stays: ${links:-none}" \
    grep -q multi-user.target.wants/velmorad.service <<<"$links"
  check "apt-get purge velmorad" apt_in_root "apt-get purge velmorad"
  links=$(in_container find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
            -name 'velmorad*' 2>/dev/null | tr '\n' ' ')
  check "after purge no enable link or record: ${links:-none}" is "$links" ""
  exporter_dir_check "after purge"
  left=$(in_container ls -d /var/lib/velmorad-audit /var/lib/velmorad 2>/dev/null)
  check "after purge no state of the audit (${left:-none})" is "$left" ""
  shut_down
fi

echo "$passed passed, $failed failed"
((failed == 0))
