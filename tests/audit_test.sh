#!/usr/bin/env bash
# velmora-audit through the real executable, on synthetic journals: export
# text that systemd-journal-remote writes as a journal file, bound over
# /var/log/journal in a private mount namespace, with the unit links, the
# state directory and its ledger each row asks for. A table of rows, each
# with the exit code, the lines that must appear and the metrics it must
# write; rows in turn on one state directory are the runs of one host.
#
#   tests/audit_test.sh VELMORA_AUDIT
#
# Needs root (for the mount namespace) and systemd-journal-remote: it fails
# under CI=true and is skipped (exit 77) elsewhere without them.
set -uo pipefail
audit=$(realpath "$1")
remote=/lib/systemd/systemd-journal-remote
cannot_run() {
  [[ ${CI:-} == true ]] && { echo "FAIL: $*"; exit 1; }
  echo "SKIP: $*"; exit 77
}
((EUID == 0)) || cannot_run "needs root for a mount namespace"
[[ -x $remote && -d /etc/systemd ]] || cannot_run "needs systemd-journal-remote and /etc/systemd"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
chmod 755 "$work"
passed=0 failed=0 as=() defaults="" installed=""
mkdir -m 777 "$work/metrics"
export TZ=UTC
machine=$(cat /etc/machine-id) this_boot=$(tr -d - </proc/sys/kernel/random/boot_id)
old_boot=0123456789abcdef0123456789abcdef new_boot=00112233445566778899aabbccddeeff
started=f77379a8490b408bbe5f6940505a777b stopped=9d1aaa27d60140bd96365438aad20286

# The settings file is older than any journal below: the audit runs three
# days ahead under faketime (file times left as they are), so that the file
# was in force all along. The due minute is two hours before that now; the
# old boot's daemon started in the same minute a day before, so that its
# first due pass falls on it exactly.
real_now=$(date +%s)
at_time() {
  now=$1 due=$((($1 - 7200) / 60 * 60))
  start=$((due - 86400))
  at="MOD_VELMORA_HOUR=$(date -d "@$due" +%-H)\nMOD_VELMORA_MINUTE=$(date -d "@$due" +%-M)\n"
  hhmm=$(date -d "@$due" +%H:%M) day=$((due / 86400 * 86400))
}
at_time $((real_now + 3 * 86400))
# at_clock T: the runs from here on at T.
at_clock() { clock=(env NO_FAKE_STAT=1 faketime "$(date -d "@$1" '+%F %T')"); }
at_clock "$now"

# entry REALTIME MONOTONIC BOOT FIELD...: one journal entry, times in seconds.
entry() {
  printf '__REALTIME_TIMESTAMP=%s000000\n__MONOTONIC_TIMESTAMP=%s000000\n_BOOT_ID=%s\n' "$1" "$2" "$3"
  shift 3
  printf '%s\n' "$@" ''
}
daemon() { entry "$@" SYSLOG_IDENTIFIER=velmorad "MESSAGE=Modul Velmora start" "_UID=${daemon_uid:-0}" _SYSTEMD_UNIT=velmorad.service; }
journald() { entry "$@" MESSAGE_ID=$started "MESSAGE=Journal started" _TRANSPORT=driver _UID=0; }
tick() { entry "$@" "MESSAGE=tick"; }
# What any local account can log: the daemon's name and line from a web
# server's user, and journald's message id by the same.
forged() { entry "$@" SYSLOG_IDENTIFIER=velmorad "MESSAGE=Modul Velmora start" _UID=33 _SYSTEMD_UNIT=nginx.service; }
forged_journald() { entry "$@" MESSAGE_ID=$started "MESSAGE=Journal started" _TRANSPORT=journal _UID=33; }
# kernel REALTIME MONOTONIC BOOT SECONDS: a kernel line that the kernel
# stamped SECONDS after its start.
kernel() { entry "$1" "$2" "$3" _TRANSPORT=kernel "_SOURCE_MONOTONIC_TIMESTAMP=${4}000000" "MESSAGE=eth0: link up"; }
stop() { entry "$@" _PID=1 _UID=0 MESSAGE_ID=$stopped "MESSAGE=Stopped."; }
# booted [host] REALTIME MONOTONIC BOOT SECONDS: PID 1's word that start-up
# finished, SECONDS after it started, as a container's manager says it, or
# with "host" as a host's.
booted() {
  local id=eed00a68ffd84e31882105fd973abdd1
  [[ $1 == host ]] && id=b07a249cd024414a82dd00cd181378ff && shift
  entry "$1" "$2" "$3" _PID=1 _UID=0 MESSAGE_ID=$id "USERSPACE_USEC=${4}000000" "MESSAGE=Startup finished in ${4}s."
}
# What root in a container logs on the host: the daemon's line, a unit's
# stop and logind's shutdown, from the container's scope; and the unit's
# stops from a process other than PID 1, or from PID 1 of another account.
container() { entry "$@" _UID=0 _PID=4242 _SYSTEMD_UNIT=docker-abc.scope; }
# crash REALTIME MONOTONIC BOOT: the daemon killed by SIGSEGV, and PID 1's
# restart of it 10 s later; crashes COUNT REALTIME MONOTONIC BOOT: that
# COUNT times from 2 s after a start, a start every 12 s.
crash() {
  entry "$1" "$2" "$3" _PID=1 _UID=0 UNIT=velmorad.service MESSAGE_ID=98e322203f7a4ed290d09fe03c09fe15 \
    EXIT_CODE=killed EXIT_STATUS=11 "MESSAGE=velmorad.service: Main process exited, code=killed, status=11/SEGV"
  entry $(($1 + 10)) $(($2 + 10)) "$3" _PID=1 _UID=0 UNIT=velmorad.service N_RESTARTS=1 \
    MESSAGE_ID=5eb03494b6584870a536b337290809b3 "MESSAGE=velmorad.service: Scheduled restart job, restart counter is at 1."
  stop $(($1 + 10)) $(($2 + 10)) "$3" UNIT=velmorad.service
}
crashes() {
  local i
  for ((i = 0; i < $1; ++i)); do
    crash $(($2 + 12 * i + 2)) $(($3 + 12 * i + 2)) "$4"
    daemon $(($2 + 12 * i + 12)) $(($3 + 12 * i + 12)) "$4"
  done
}
# The signs of a shutdown's start, field for field as Debian 12's and 13's
# logind and PID 1 log them; and of a system that came up to a target.
rebooting() {
  entry "$@" _PID=34 _UID=0 _COMM=systemd-logind SYSLOG_IDENTIFIER=systemd-logind \
    _SYSTEMD_UNIT=systemd-logind.service MESSAGE_ID=98268866d1d54a499c4e98921d93bc40 \
    "MESSAGE=System is rebooting." SHUTDOWN=reboot
}
target() {  # REALTIME MONOTONIC BOOT stop|start UNIT
  local what=$4 unit=$5 id=$stopped text="Stopped target $5."
  [[ $what == start ]] && id=39f53479d3a045ac8e11786248231fbf text="Reached target $5."
  entry "$1" "$2" "$3" _PID=1 _UID=0 _COMM=systemd SYSLOG_IDENTIFIER=systemd "UNIT=$unit" \
    JOB_TYPE="$what" JOB_RESULT=done MESSAGE_ID=$id "MESSAGE=$text"
}

# journal SHAPE: the export text of a journal of that shape. Each boot's
# monotonic time runs from 1000 at its start.
journal() {
  local b=$((now - 5 * 86400)) stale=$((due - 3 * 3600))
  case $1 in
    happened)  # the old boot went down 20 s after the due pass
      journald $((start - 10)) 1000 $old_boot
      daemon $start 1010 $old_boot
      tick $((due + 20)) $((due + 20 - start + 1010)) $old_boot
      journald $((due + 60)) 1000 "$this_boot"
      daemon $((due + 90)) 1030 "$this_boot"
      tick $((now - 1)) $((now - 1 - due - 60 + 1000)) "$this_boot" ;;
    missed)  # the host stayed up
      journald $((start - 10)) 1000 "$this_boot"
      daemon $start 1010 "$this_boot"
      tick $((now - 1)) $((now - 1 - start + 1010)) "$this_boot" ;;
    stopped)  # the unit stopped an hour after its start
      journald $((start - 10)) 1000 "$this_boot"
      daemon $start 1010 "$this_boot"
      stop $((start + 3600)) 4610 "$this_boot" UNIT=velmorad.service
      tick $((now - 1)) $((now - 1 - start + 1010)) "$this_boot" ;;
    forged-missed)  # missed, with another account's start-up line during
      # the due minute, from a unit that stopped before it
      journald $((start - 10)) 1000 "$this_boot"
      daemon $start 1010 "$this_boot"
      stop $((due - 3600)) $((due - 3600 - start + 1010)) "$this_boot" UNIT=nginx.service
      forged $((due + 10)) $((due + 10 - start + 1010)) "$this_boot"
      tick $((now - 1)) $((now - 1 - start + 1010)) "$this_boot" ;;
    forged-stopped)  # stopped, and another account's line that evening
      journald $((start - 10)) 1000 "$this_boot"
      daemon $start 1010 "$this_boot"
      stop $((start + 3600)) 4610 "$this_boot" UNIT=velmorad.service
      forged $((start + 7200)) 8210 "$this_boot"
      tick $((now - 1)) $((now - 1 - start + 1010)) "$this_boot" ;;
    kernel-head)  # as head, the boot's start shown by the kernel's first lines
      kernel $b 1000 "$this_boot" 1
      daemon $((now - 600)) $((now - 600 - b + 1000)) "$this_boot"
      tick $((now - 1)) $((now - 1 - b + 1000)) "$this_boot" ;;
    rotated)  # as headless: the boot's first entries rotated away, a kernel
      # line from days into the boot and a forged journald start after them
      tick $b 400000 "$this_boot"
      kernel $((b + 10)) 400010 "$this_boot" 400000
      forged_journald $((b + 20)) 400020 "$this_boot"
      daemon $((now - 600)) $((now - 600 - b + 400000)) "$this_boot"
      tick $((now - 1)) $((now - 1 - b + 400000)) "$this_boot" ;;
    head | headless)  # up five days, enabled ten minutes ago
      [[ $1 == head ]] && booted $b 1000 "$this_boot" 2 || tick $b 1000 "$this_boot"
      daemon $((now - 600)) $((now - 600 - b + 1000)) "$this_boot"
      tick $((now - 1)) $((now - 1 - b + 1000)) "$this_boot" ;;
    stale-clock)  # down over the due minute; booted an hour after it with
      # the clock where it stopped, and set right a minute later
      journald $((start - 10)) 1000 $old_boot
      daemon $start 1010 $old_boot
      tick $stale $((stale - start + 1010)) $old_boot
      journald $((stale + 3)) 1003 "$this_boot"
      daemon $((stale + 5)) 1005 "$this_boot"
      tick $((due + 3600 + 60)) 1060 "$this_boot"
      tick $((now - 1)) $((now - 1 - due - 3600 + 1000)) "$this_boot" ;;
    slow-shutdown | isolated)  # slow: the shutdown began 6 s after the due
      # pass and the host went down 7 minutes later. isolated: rescue mode
      # 10 s before the due pass, the host restarted by hand an hour later
      local at=$((due + 6)) end=$((due + 6 + 420))
      [[ $1 == isolated ]] && at=$((due - 10)) end=$((due + 3600))
      journald $((start - 10)) 1000 $old_boot
      daemon $start 1010 $old_boot
      [[ $1 == slow-shutdown ]] && rebooting $at $((at - start + 1010)) $old_boot
      target $at $((at - start + 1010)) $old_boot stop multi-user.target
      [[ $1 == isolated ]] && target $at $((at - start + 1010)) $old_boot start rescue.target
      stop $at $((at - start + 1010)) $old_boot UNIT=velmorad.service
      tick $end $((end - start + 1010)) $old_boot
      journald $((end + 60)) 1000 "$this_boot"
      daemon $((end + 90)) 1030 "$this_boot"
      tick $((now - 1)) $((now - 1 - end - 60 + 1000)) "$this_boot" ;;
    container-*)  # missed, with root's lines from a container: the daemon's
      # in the due minute; or ten minutes before it and the container's
      # scope stopped after; or logind's shutdown five seconds after it, the
      # host restarted by hand two hours later
      local boot=$this_boot
      [[ $1 == container-shutdown ]] && boot=$old_boot
      journald $((start - 10)) 1000 $boot
      daemon $start 1010 $boot
      case $1 in
        container-minute) container $due $((due - start + 1010)) $boot \
          SYSLOG_IDENTIFIER=velmorad "MESSAGE=Modul Velmora start" ;;
        container-stopped)
          container $((due - 600)) $((due - 600 - start + 1010)) $boot \
            SYSLOG_IDENTIFIER=velmorad "MESSAGE=Modul Velmora start"
          entry $((due - 300)) $((due - 300 - start + 1010)) $boot _PID=1 _UID=0 \
            MESSAGE_ID=7ad2d189f7e94e70a38c781354912448 UNIT=docker-abc.scope "MESSAGE=Deactivated successfully." ;;
        container-shutdown)
          container $((due + 5)) $((due + 5 - start + 1010)) $boot SHUTDOWN=reboot \
            MESSAGE_ID=98268866d1d54a499c4e98921d93bc40 "MESSAGE=System is rebooting."
          tick $((due + 7200)) $((due + 7200 - start + 1010)) $boot
          journald $((due + 7260)) 1000 "$this_boot"
          daemon $((due + 7290)) 1030 "$this_boot"
          tick $((now - 1)) $((now - 1 - due - 7260 + 1000)) "$this_boot"
          return ;;
        container-stops)
          container $((due - 300)) $((due - 300 - start + 1010)) $boot UNIT=velmorad.service \
            MESSAGE_ID=$stopped "MESSAGE=Stopped."
          entry $((due - 200)) $((due - 200 - start + 1010)) $boot _PID=1 _UID=33 \
            UNIT=velmorad.service MESSAGE_ID=$stopped "MESSAGE=Stopped." ;;
      esac
      tick $((now - 1)) $((now - 1 - start + 1010)) "$this_boot" ;;
    journald-restart*)  # up five days, its first days vacuumed: journald's
      # restart the oldest entry; the daemon started again an hour after
      # the due minute, or not at all
      journald $b 400000 "$this_boot"
      [[ $1 == journald-restart-later ]] && daemon $((due + 3600)) $((due + 3600 - b + 400000)) "$this_boot"
      tick $((now - 1)) $((now - 1 - b + 400000)) "$this_boot" ;;
    crash-loop)  # killed 2 s after each start, through the due minute
      journald $((start - 10)) 1000 "$this_boot"
      daemon $start 1010 "$this_boot"
      crashes 20 $((due - 120)) $((due - 120 - start + 1010)) "$this_boot"
      tick $((now - 1)) $((now - 1 - start + 1010)) "$this_boot" ;;
    crash-loop-ended)  # the loop ended before the due minute, the unit
      # stopped by hand
      journald $((start - 10)) 1000 "$this_boot"
      daemon $start 1010 "$this_boot"
      crashes 5 $((due - 3600)) $((due - 3600 - start + 1010)) "$this_boot"
      stop $((due - 3000)) $((due - 3000 - start + 1010)) "$this_boot" UNIT=velmorad.service
      tick $((now - 1)) $((now - 1 - start + 1010)) "$this_boot" ;;
    missed-cut)  # missed, its entries up to an hour after the due minute
      # vacuumed away: the journal no longer shows the daemon's start
      tick $((due + 3600)) $((due + 3600 - start + 1010)) "$this_boot"
      tick $((now - 1)) $((now - 1 - start + 1010)) "$this_boot" ;;
    no-start)  # up five days, the daemon's start-up line rotated away
      tick $b 400000 "$this_boot"
      tick $((now - 1)) $((now - 1 - b + 400000)) "$this_boot" ;;
    up)  # a journal kept in memory, up to the run at $upto: the daemon
      # started a day before its minute; the shutdown began at $down if set
      journald $((start - 10)) 1000 "$this_boot"
      daemon $start 1010 "$this_boot"
      [[ -n ${down:-} ]] && rebooting "$down" $((down - start + 1010)) "$this_boot"
      tick $((upto - 1)) $((upto - 1 - start + 1010)) "$this_boot" ;;
    back)  # ... and after the boot that ended, from $back: this boot alone
      journald "$back" 1000 $new_boot
      daemon $((back + 30)) 1030 $new_boot
      tick $((now - 1)) $((now - 1 - back + 1000)) $new_boot ;;
    since-file)  # the daemon started a second after the settings file's
      # first version was written
      booted host $((changed - 2 * 86400)) 1000 "$this_boot" 2
      daemon $((changed + 1)) $((2 * 86400 + 1001)) "$this_boot"
      tick $((changed + 1)) $((2 * 86400 + 1001)) "$this_boot" ;;
  esac
}

# case_ NAME SHAPE UNITS STATE STATUS 'ARGS' 'LINES' 'METRICS'
# SHAPE "none" is a journal without a file. UNITS: the unit links:
# enabled, disabled, masked, masked+wanted (its enable link left), or none
# (no /etc/systemd/system). STATE: the state directory given as --state:
# keep (as the last row left it), fresh, missing, readonly, symlink, or the
# history file's text (printf format). LINES and METRICS, split at "|",
# must each match a whole line (grep -E) of the output and of the metrics
# file (written with --prometheus under umask 077), which must be a new
# file, mode 0644, and say the exit code as its state; an item "!RE" must
# match no line, and METRICS "none" wants the old file left as it
# was. The run is prefixed with the array "as"; with defaults set it is
# given neither --settings nor --state and finds the file and the state
# directory at their default paths. With installed set ("MACHINE-ID
# SECONDS") the package's record of its first install says so, and
# $work/machine-id stands for /etc/machine-id; without it there is no
# record. With ledger set (printf format) the ledger holds that text, owned
# by ledger_owner if set; with owner set the state directory is that
# user's; in_ledger, split at "|", must match (or "!RE" not) lines of the
# ledger after the run. Anywhere the audit may write, it must leave a
# ledger of this version, mode 0644 and owned, as the history, by the
# state directory's owner; a later version's it must leave as it was. With
# cgroup set, velmorad's unit's control group holds a process. A run over
# 10 seconds fails.
case_() {
  local name=$1 shape=$2 units=$3 state=$4 status=$5 args=$6 want=$7 metrics=$8 ok=1 line
  rm -rf "$work/journal" "$work/units"
  mkdir -p "$work/journal/$machine" "$work/units"
  journal "$shape" >"$work/export"
  [[ $shape == none ]] ||
    "$remote" --output="$work/journal/$machine/system.journal" "$work/export" 2>/dev/null ||
    { echo "FAIL  $name: systemd-journal-remote"; ((++failed)); return; }
  case $units in
    enabled | masked+wanted) mkdir -p "$work/units/system/multi-user.target.wants" &&
      ln -s /lib/systemd/system/velmorad.service "$work/units/system/multi-user.target.wants/" ;;&
    masked*) mkdir -p "$work/units/system" && ln -s /dev/null "$work/units/system/velmorad.service" ;;
    disabled) mkdir -p "$work/units/system" ;;
  esac
  local dir=$work/state
  case $state in
    keep) ;;
    missing) rm -rf "$dir" ;;
    symlink) rm -rf "$dir" "$work/elsewhere" && mkdir "$work/elsewhere" && ln -s elsewhere "$dir" ;;
    fresh | readonly) rm -rf "$dir" && mkdir "$dir" ;;
    *) rm -rf "$dir" && mkdir "$dir" && printf "$state" >"$dir/settings-history" ;;
  esac
  [[ -n ${ledger:-} ]] && printf "$ledger" >"$dir/ledger"
  [[ -n ${ledger_owner:-} ]] && chown "$ledger_owner" "$dir/ledger"
  [[ -n ${owner:-} ]] && chown "$owner:$owner" "$dir"
  local history_before="" ledger_before=""
  [[ -f $dir/settings-history ]] && history_before=$(cat "$dir/settings-history")
  [[ -f $dir/ledger ]] && ledger_before=$(cat "$dir/ledger")
  local prom=$work/metrics/velmorad.prom
  printf 'old\n' >"$prom"
  local old_inode settings=$work/settings
  old_inode=$(stat -c %i "$prom")
  local -a argv paths=(--settings "$settings" --state "$dir")
  [[ -n $defaults ]] && settings=/opt/velmora/etc/settings paths=()
  read -ra argv <<<"$args"
  unshare -m bash -c '
    work=$1 state=$2 defaults=$3 installed=$4 localtime=$5 cgroup=$6 && shift 6 &&
    mount -t tmpfs tmpfs /run && mount -t tmpfs tmpfs /var/log && mkdir /var/log/journal &&
    mount -t tmpfs tmpfs /sys/fs/cgroup &&
    { [[ -z $cgroup ]] || { mkdir -p /sys/fs/cgroup/system.slice/velmorad.service &&
        echo 4242 >/sys/fs/cgroup/system.slice/velmorad.service/cgroup.procs; }; } &&
    { [[ -z $localtime ]] || { id=$(cat /etc/machine-id) && mount -t tmpfs tmpfs /etc &&
        printf "%s\n" "$id" >/etc/machine-id && mkdir /etc/systemd &&
        ln -s "/usr/share/zoneinfo/$localtime" /etc/localtime; }; } &&
    mount --bind "$work/journal" /var/log/journal && mount --bind "$work/units" /etc/systemd &&
    { [[ $state != readonly ]] || mount -o bind,ro "$work/state" "$work/state"; } &&
    mount -t tmpfs tmpfs /var/lib &&
    { [[ -z $defaults ]] || { mount -t tmpfs tmpfs /opt && mkdir -p /opt/velmora/etc &&
        cp "$work/settings" /opt/velmora/etc/settings &&
        mkdir /var/lib/velmorad-audit && mount --bind "$work/state" /var/lib/velmorad-audit; }; } &&
    { [[ -z $installed ]] || { mkdir /var/lib/velmorad &&
        printf "%s\n" "$installed" >/var/lib/velmorad/installed &&
        mount --bind "$work/machine-id" /etc/machine-id; }; } &&
    umask 077 && exec timeout 10 "$@"' _ "$work" "$state" "$defaults" "$installed" "${localtime:-}" "${cgroup:-}" \
    "${as[@]}" "${clock[@]}" \
    "$audit" "${paths[@]}" --prometheus "$prom" "${argv[@]}" >"$work/out" 2>"$work/err"
  got=$?
  ((got == status)) || { echo "  exit code $got, expected $status"; ok=0; }
  local IFS='|'
  for line in $want; do
    if [[ $line == !* ]]; then
      ! grep -qxE -- "${line#!}" "$work/out" || { echo "  a line: ${line#!}"; ok=0; }
    else
      grep -qxE -- "$line" "$work/out" || { echo "  no line: $line"; ok=0; }
    fi
  done
  if [[ $metrics == none ]]; then
    [[ $(cat "$prom") == old ]] || { echo "  the metrics file was touched"; ok=0; }
  else
    for line in $metrics "velmorad_audit_state $status"; do
      if [[ $line == !* ]]; then
        ! grep -qxE -- "${line#!}" "$prom" || { echo "  a metric: ${line#!}"; ok=0; }
      else
        grep -qxE -- "$line" "$prom" || { echo "  no metric: $line"; ok=0; }
      fi
    done
    [[ $(stat -c %a "$prom") == 644 ]] || { echo "  metrics not mode 644"; ok=0; }
    # Renamed into place: the exporter never reads half a file.
    [[ $(stat -c %i "$prom") != "$old_inode" ]] || { echo "  metrics rewritten in place"; ok=0; }
  fi
  # Another version's or another file's history, a link or a read-only
  # directory are left as they are; anywhere else this run's view is
  # recorded, and what the last row left is used.
  if [[ $state == *"history 3"* || $state == *"file /etc/"* || $state == symlink ||
        $state == readonly ]]; then
    [[ $(cat "$dir/settings-history" 2>/dev/null) == "$history_before" &&
       -z $(ls "$work/elsewhere" 2>/dev/null) ]] || { echo "  the history was written"; ok=0; }
  elif [[ $state != missing ]]; then
    [[ $(sed -n 1,2p "$dir/settings-history") == "velmora-audit settings history 2"$'\n'"file $settings" ]] ||
      { echo "  no history of $settings written"; ok=0; }
  fi
  if [[ ${ledger:-} == *"ledger 2"* ]]; then
    [[ $(cat "$dir/ledger") == "$ledger_before" ]] || { echo "  the ledger was written"; ok=0; }
  elif [[ $state != missing && $state != readonly && $state != symlink ]]; then
    [[ $(head -n 1 "$dir/ledger") == "velmora-audit ledger 1" ]] || { echo "  no ledger written"; ok=0; }
    for line in "$dir/ledger" "$dir/settings-history"; do
      [[ $(stat -c '%a %u' "$line") == "644 $(stat -c %u "$dir")" ]] ||
        { echo "  $(stat -c '%n: mode %a, uid %u' "$line"), not the directory's owner's"; ok=0; }
    done
  fi
  for line in ${in_ledger:-}; do
    if [[ $line == !* ]]; then
      ! grep -qxE -- "${line#!}" "$dir/ledger" || { echo "  in the ledger: ${line#!}"; ok=0; }
    else
      grep -qxE -- "$line" "$dir/ledger" || { echo "  not in the ledger: $line"; ok=0; }
    fi
  done
  if [[ $state == keep || $state == fresh ]] && [[ -z ${ledger:-} ]] && grep -q '^note: not used' "$work/out"; then
    echo "  the history or the ledger was not used"; ok=0
  fi
  if ((ok)); then
    echo "ok    $name"; ((++passed))
  else
    echo "FAIL  $name"; sed 's/^/      /' "$work/out" "$work/err"; ((++failed))
  fi
}

printf "$at" >"$work/settings"
happened="VELMORAD OK - 1 restart due in the last 2 days, it happened, the last at .*"
case_ "the restart happened" happened enabled fresh 0 "-d 2" \
  "$happened|.*  happened: due .*, the host went down at .*" \
  "velmorad_restarts_happened 1|velmorad_running 1|velmorad_enabled 1|velmorad_settings_pending 0|velmorad_next_restart_timestamp_seconds $((due + 86400))"
case_ "a second run over what the first wrote" happened enabled keep 0 "--days 2" "$happened" ""
defaults=1 case_ "the default settings file, and the default state directory" happened enabled fresh 0 \
  "--days 2" "$happened|target .*, from /opt/velmora/etc/settings as it reads now, .*" ""
daemon_uid=65534 case_ "run as nobody by a drop-in: its own unit's lines count" missed enabled fresh 2 \
  "--days 2" ".*MISSED: due .*, and the host is still up" "velmorad_restarts_missed 1"
case_ "another account's start-up line in the due minute: still missed" forged-missed enabled fresh 2 \
  "--days 2" ".*MISSED: due .*, and the host is still up" "velmorad_restarts_missed 1"
case_ "another account's start-up line after a stop: still not running" forged-stopped enabled fresh 1 \
  "--days 2" "VELMORAD WARNING - velmorad is not running now, and velmorad.service is enabled .*" \
  "velmorad_running 0"
# Root in a container is uid 0 on the host: only velmorad.service's own
# lines, and PID 1's, count.
missed_all="VELMORAD CRITICAL - 1 of 1 restart due in the last 2 days missed, .*"
case_ "root's start-up line from a container, in the due minute: still missed" container-minute \
  enabled fresh 2 "--days 2" "$missed_all" "velmorad_restarts_missed 1"
case_ "... before it, and the container's scope stopped: still missed" container-stopped \
  enabled fresh 2 "--days 2" "$missed_all" "velmorad_restarts_missed 1"
case_ "... logind's shutdown from the container at the due pass: still missed" container-shutdown \
  enabled fresh 2 "--days 2" "$missed_all|.*MISSED: due .*, but the host stayed up until .*" ""
case_ "the unit's stops from root not PID 1, and from PID 1 not root: still missed" container-stops \
  enabled fresh 2 "--days 2" "$missed_all" "velmorad_running 1"
# journald restarts while the host runs: its start is no boot's head.
case_ "journald's restart as the oldest entry: unknown, not \"not running\"" journald-restart \
  enabled fresh 3 "--days 2" "VELMORAD UNKNOWN - the journal cannot tell .*" ""
case_ "... and a daemon started after the due minute: unknown, not OK" journald-restart-later \
  enabled fresh 3 "--days 2" "VELMORAD UNKNOWN - the journal cannot tell .*" ""
# A daemon that PID 1 keeps putting back never lets go of its minute.
case_ "a crash loop through the due minute: missed" crash-loop enabled fresh 2 "--days 2" \
  "$missed_all|.*MISSED: due .*, velmorad started 11 times since .*, killed by signal 11, and the host is still up" \
  "velmorad_restarts_missed 1"
case_ "a crash loop that ended before it: not due, but a fault" crash-loop-ended enabled fresh 1 "--days 2" \
  "VELMORAD WARNING - velmorad keeps crashing: PID 1 restarted it 5 times since .*, the last at .*, killed by signal 11 .*|.*not due: velmorad was not running at .*" ""
this_boot=fedcba9876543210fedcba9876543210 \
  case_ "a sandbox that shows another boot ID: the newest boot is current" happened enabled fresh 0 \
  "--days 2" "$happened" "velmorad_running 1"
case_ "a shutdown begun at the due pass, down 7 minutes later: happened" slow-shutdown enabled fresh 0 \
  "--days 2" "$happened|.*  happened: due $hhmm:00 UTC, the shutdown began at $hhmm:06, the host went down at .*" \
  "velmorad_restarts_happened 1|velmorad_restarts_missed 0"
case_ "rescue mode just before the due pass is no shutdown: not running" isolated enabled fresh 0 \
  "--days 2" ".*  not due: velmorad was not running at $hhmm UTC" "velmorad_restarts_happened 0"
case_ "the host stayed up: missed" missed enabled fresh 2 "--days=2" \
  "VELMORAD CRITICAL - 1 of 1 restart due in the last 2 days missed, .*|.*MISSED: due .*, and the host is still up" \
  "velmorad_restarts_missed 1"
# What a run saw, the ledger keeps: the miss still reads MISSED, and the
# daemon running, once the journal has lost its start.
missed_kept=".*MISSED: due .*, and the host is still up"
case_ "then its entries vacuumed away: still MISSED, still running" missed-cut enabled keep 2 \
  "--days=2" "VELMORAD CRITICAL - 1 of 1 restart due .*|$missed_kept" \
  "velmorad_restarts_missed 1|velmorad_running 1"
case_ "the same journal on a host whose audit never ran: unknown" missed-cut enabled fresh 3 \
  "--days=2" "VELMORAD UNKNOWN - .*" "velmorad_running 0"
cgroup=1 case_ "... its daemon's control group holds a process: running" missed-cut enabled fresh 3 \
  "--days=2" "VELMORAD UNKNOWN - .*" "velmorad_running 1"
case_ "stopped, and not enabled: restarts are turned off" stopped disabled fresh 0 "--days 2" \
  "VELMORAD OK - restarts are turned off: velmorad.service is neither enabled nor running .*" \
  "velmorad_running 0|velmorad_enabled 0"
case_ "stopped, and masked: turned off" stopped masked fresh 0 "--days 2" "" "velmorad_enabled 0"
case_ "masked, its enable link left: turned off" stopped masked+wanted fresh 0 "--days 2" \
  "VELMORAD OK - restarts are turned off: .*" "velmorad_enabled 0"
case_ "stopped, yet enabled: not running" stopped enabled fresh 1 "--days 2" \
  "VELMORAD WARNING - velmorad is not running now, and velmorad.service is enabled .*" \
  "velmorad_enabled 1|!velmorad_next_restart_.*"
case_ "stopped, no systemd to ask: not running" stopped none fresh 1 "--days 2" \
  "VELMORAD WARNING - velmorad is not running now; whether velmorad.service is enabled cannot be told .*" \
  "velmorad_running 0"
case_ "first enabled on a boot the journal holds from its start" head enabled fresh 0 "--days 3" \
  "VELMORAD OK - no restart was due in the last 3 days .*|.*  not due: velmorad was not running at $hhmm UTC(, it started at .*)?" ""
case_ "the same without the boot's start: unknown" headless enabled fresh 3 "--days 3" \
  "VELMORAD UNKNOWN - the journal cannot tell .*" ""
# The package's record of its first install: nothing was due before it,
# and a journal that reaches back to it holds every start-up line since.
cp /etc/machine-id "$work/machine-id" && touch -d "@$((now - 3600))" "$work/machine-id"
new_host="VELMORAD OK - no restart was due since velmorad came to this host at .*"
installed="$machine $((now - 3600))" case_ "a new host: OK from the install on" headless enabled \
  fresh 0 "--days 7" "$new_host|.*  not due: velmorad came to this host only at .*" ""
installed="$old_boot $((now - 30 * 86400))" case_ "cloned from an image: from its first boot on" \
  headless enabled fresh 0 "--days 7" "$new_host" ""
installed="$machine $((now - 30 * 86400))" case_ "installed before the journal begins: unknown" \
  headless enabled fresh 3 "--days 7" "VELMORAD UNKNOWN - the journal cannot tell .*" ""
case_ "a boot whose kernel lines show its start" kernel-head enabled fresh 0 "--days 3" \
  "VELMORAD OK - no restart was due in the last 3 days .*" ""
case_ "its head rotated away: a later kernel line, a forged journald start show nothing" rotated \
  enabled fresh 3 "--days 3" "VELMORAD UNKNOWN - the journal cannot tell .*" ""
case_ "a boot stamped by a stale clock: the host was down" stale-clock enabled fresh 0 "--days 2" \
  ".*  not due: the host was down at $hhmm UTC" "velmorad_restarts_missed 0"
case_ "--days 366, the bound" happened enabled fresh 3 "--days 366" "VELMORAD UNKNOWN - the journal cannot tell .*" ""
# Without a verdict the metrics say UNKNOWN and nothing else: never the
# last run's counts.
case_ "a journal without entries: UNKNOWN, and so say the metrics" none enabled missing 3 "--days 2" \
  "VELMORAD UNKNOWN - the journal shows no entry: .*" "!velmorad_restarts_.*"
chmod 600 "$work/settings"
as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
case_ "a settings file it cannot read: UNKNOWN, and so say the metrics" happened enabled missing 3 \
  "--days 2" "VELMORAD UNKNOWN - cannot read $work/settings as uid 65534 .*: the restart time is not known" \
  "!velmorad_restarts_.*"
chmod 644 "$work/settings" && as=()
case_ "metrics that cannot be written: UNKNOWN" happened enabled fresh 3 \
  "--days 2 --prometheus $work/none/velmorad.prom" \
  "VELMORAD UNKNOWN - cannot write $work/none/velmorad.prom: No such file or directory; the audit found OK: .*" \
  none
for bad in "--days 0" "--days 367" "--days 1x" "--bogus" "--days" "extra"; do
  "$audit" $bad >"$work/out" 2>"$work/err"
  got=$?
  if ((got == 3)) && grep -q '^VELMORAD UNKNOWN - ' "$work/out" && grep -q '^usage: ' "$work/err"; then
    echo "ok    $bad: UNKNOWN with the usage"; ((++passed))
  else
    echo "FAIL  $bad: exit $got"; ((++failed))
  fi
done

# The state directory: what it cannot use is said, and the audit judges.
recorded="note: not recorded: $work/state/settings-history: .*"
case_ "no state directory" happened enabled missing 0 "--days 2" \
  "$happened|note: not used: $work/state: No such file or directory" ""
case_ "a state directory that is a link" happened enabled symlink 0 "--days 2" \
  "$happened|note: not used: $work/state: a symbolic link, not followed" ""
case_ "a read-only state directory" happened enabled readonly 0 "--days 2" \
  "$happened|$recorded" ""
case_ "garbage: not used, replaced" happened enabled 'hello\n\377\n' 0 "--days 2" \
  "$happened|note: not used: .*: written by another version, or not a history" ""
case_ "a record that cannot be read: not used, replaced" happened enabled \
  "velmora-audit settings history 1\nfile $work/settings\n100 99 180\n" 0 "--days 2" \
  "$happened|note: not used: .*: line 3 cannot be read" ""
case_ "a zone record that cannot be read: not used, replaced" happened enabled \
  "velmora-audit settings history 2\nfile $work/settings\n100 200 180\nzone 100 200 \n" 0 "--days 2" \
  "$happened|note: not used: .*: line 4 cannot be read" ""
case_ "the version before's, which kept no zone: used, written anew" happened enabled \
  "velmora-audit settings history 1\nfile $work/settings\n100 200 180\n" 0 "--days 2" \
  "$happened|!note: .*" ""
case_ "a later version's history: not used, kept" happened enabled \
  'velmora-audit settings history 3\nanything\n' 0 "--days 2" "note: not used: .*: written by another version, or not a history" ""
case_ "another settings file's history: not used, kept" happened enabled \
  'velmora-audit settings history 1\nfile /etc/other-settings\n100 200 180\n' 0 "--days 2" \
  "note: not used: .*: the history of another settings file \(file /etc/other-settings\)" ""
case_ "a history cut short: not used, replaced" happened enabled \
  "velmora-audit settings history 1\nfile $work/settings\n100 200 180" 0 "--days 2" \
  "note: not used: .*: its last line is cut short" ""
# The ledger: the journal wins where it still holds the day; what the
# audit cannot trust or read it does not use; what lies past the longest
# window asked and its margin goes.
ledger_of() { echo "velmora-audit ledger 1\\nfile $work/settings\\nwindow $1\\n"; }
claims_happened="$(ledger_of 2)due $day happened $due $((due + 20)) $start 0\n"
ledger=$claims_happened in_ledger="due $day missed $due .*|!due $day happened .*" \
  case_ "a ledger that says happened, a journal that holds the miss: MISSED" missed enabled fresh 2 \
  "--days 2" "$missed_kept|!note: .*" "velmorad_restarts_missed 1"
ledger=$claims_happened case_ "a day an earlier run judged, the journal no longer holds: its verdict" \
  missed-cut enabled fresh 3 "--days 2" ".*  happened: due $hhmm:00 UTC, the host went down at .*|!note: .*" ""
ledger=$claims_happened ledger_owner=65534 \
  case_ "a ledger that another account owns: not used, replaced" missed-cut enabled fresh 3 \
  "--days 2" "note: not used: $work/state/ledger: owned by uid 65534, not the state directory's owner's \(uid 0\) alone" ""
ledger='velmora-audit ledger 2\nanything\n' case_ "a later version's ledger: not used, kept" happened \
  enabled fresh 0 "--days 2" "$happened|note: not used: $work/state/ledger: written by a later version" ""
ledger="$(ledger_of 2)boot $old_boot 100 200 1 1 0" case_ "a ledger cut short: not used, replaced" \
  happened enabled fresh 0 "--days 2" "$happened|note: not used: $work/state/ledger: its last line is cut short" ""
ledger="$(ledger_of 2)boot $old_boot 100 200 1 1 0\nstart 150 x\n" \
  case_ "a ledger that cannot be read: not used, replaced" happened enabled fresh 0 "--days 2" \
  "$happened|note: not used: $work/state/ledger: line 5 cannot be read" ""
week=$((now - 8 * 86400)) month=$((now - 30 * 86400))
ledger="$(ledger_of 7)boot ${old_boot//0/a} $month $((month + 60)) 1 1 0\nboot ${old_boot//0/b} $week $((week + 60)) 1 1 0\ndue $((day - 30 * 86400)) host-down $((due - 30 * 86400)) 0 0 0\ndue $((day - 8 * 86400)) host-down $((due - 8 * 86400)) 0 0 0\n" \
  in_ledger="window 7|boot ${old_boot//0/b} .*|due $((day - 8 * 86400)) .*|!boot ${old_boot//0/a} .*|!due $((day - 30 * 86400)) .*" \
  case_ "the bound: the longest window asked, 7 days, and 2 more" happened enabled fresh 0 "--days 2" "$happened" ""
owner=65534 case_ "a run as root leaves its files to the state directory's owner" happened enabled fresh 0 \
  "--days 2" "$happened" ""

# A journal kept in memory, which each restart empties: the boot before
# as the ledger kept it, its shutdown's start recorded by the ledger's unit
# at its stop. A restart at its minute reads happened; a miss MISSED, before
# and after a restart by hand; a boot whose end no record tells, neither.
up_to() { upto=$1 && at_clock "$1"; }
up_to $((due - 600))
case_ "in memory: the night before, the audit's run" up enabled fresh 0 "--days 2" \
  "VELMORAD OK - no restart was due in the last 2 days .*" "velmorad_running 1"
up_to $((due + 3))
down=$((due + 2)) case_ "... the shutdown's start, recorded at its unit's stop" up enabled keep 0 \
  "--record-shutdown" "recorded in $work/state/ledger: the shutdown of boot $this_boot began at $(date -d "@$((due + 2))" '+%F %T') UTC" none
at_clock "$now"
back=$((due + 60)) case_ "... after the restart: happened" back enabled keep 0 "--days 2" \
  "$happened|.*  happened: due $hhmm:00 UTC, the shutdown began at $hhmm:02, the host went down at $hhmm:0[3-5]" \
  "velmorad_restarts_happened 1"
up_to $((due + 600))
case_ "in memory: a miss while the host stays up" up enabled fresh 2 "--days 2" "$missed_kept" ""
up_to $((due + 3600))
down=$((due + 3590)) case_ "... a restart by hand an hour later, recorded" up enabled keep 0 \
  "--record-shutdown" "recorded in .*" none
at_clock "$now"
back=$((due + 3660)) case_ "... after it: still MISSED" back enabled keep 2 "--days 2" \
  ".*MISSED: due .*, but the host stayed up until $(date -d "@$((due + 3600))" '+%F %H:%M'):0[0-2]" \
  "velmorad_restarts_missed 1"
up_to $((due - 600))
case_ "in memory: the night before" up enabled fresh 0 "--days 2" "VELMORAD OK - .*" ""
at_clock "$now"
back=$((due + 60)) case_ "... then a boot whose end no record tells: no restart, not known" back \
  enabled keep 3 "--days 2" \
  "VELMORAD UNKNOWN - whether the restart due at $(date -d "@$due" '+%F %H:%M') UTC happened cannot be told: the host, last seen up at .*, went down with no shutdown recorded .*|.*  unknown: the host was last seen up at .*, and no record tells when it went down \(a power cut, a crash\)" \
  "velmorad_restarts_happened 0|velmorad_restarts_missed 0"

# Without TZ the audit records the zone /etc/localtime names, after those
# kept; on a host in UTC, as these rows' times are.
if [[ $(readlink -f /etc/localtime) == */UTC ]]; then
  as=(env -u TZ)
  case_ "the host's zone recorded after the one kept" happened enabled \
    "velmora-audit settings history 2\nfile $work/settings\n100 200 180\nzone 100 200 Asia/Tokyo\n" \
    0 "--days 2" "$happened|!note: .*" ""
  as=()
  zones=$(grep '^zone ' "$work/state/settings-history")
  [[ $zones == "zone 100 200 Asia/Tokyo"$'\n'"zone "[0-9]*" "[0-9]*" "*UTC ]] ||
    { echo "FAIL  the zones recorded: $zones"; ((++failed)); }
fi

# Retimed without a restart, on this machine's clock: the running daemon
# keeps the target the history shows it read, and restarting it applies
# the file's.
clock=()
at_time "$real_now"
printf "$at" >"$work/settings"
changed=$(stat -c %Z "$work/settings")
sleep 1.1
case_ "a daemon started after the file's change" since-file enabled fresh 0 "--days 1" "" \
  "velmorad_settings_pending 0"
# A zone linked under the running daemon (a scratch /etc, its /etc/localtime
# made now): the audit names the zone the daemon keeps, and the host's.
if [[ -d /usr/share/zoneinfo/Asia ]]; then
  sleep 1.1
  kept=$(cat "$work/state/settings-history")
  as=(env -u TZ)
  localtime=Asia/Tokyo case_ "then a new zone: not yet applied, both named" since-file \
    enabled "${kept//%/%%}\nzone 100 $(date +%s) Europe/Berlin\n" 1 "--days 1" \
    "VELMORAD WARNING - not yet applied: velmorad keeps the zone Europe/Berlin until it restarts; /etc/localtime names Asia/Tokyo since .*" \
    "velmorad_settings_pending 1"
  as=()
fi
sleep 1.1
printf 'MOD_VELMORA_HOUR=4\nMOD_VELMORA_MINUTE=0\n' >"$work/settings"
case_ "then retimed: not yet applied" since-file enabled keep 1 "--days 1" \
  "VELMORAD WARNING - not yet applied: velmorad keeps $hhmm until it restarts; the settings file asks for 04:00 since .*: systemctl restart velmorad.service applies it .*" \
  "velmorad_settings_pending 1"
# A copy that keeps an old modification time is a change all the same, and
# so is the file's removal, after which the daemon would read 00:00.
sleep 1.1
printf 'MOD_VELMORA_HOUR=5\nMOD_VELMORA_MINUTE=0\n' >"$work/copy"
touch -d 2020-01-01 "$work/copy" && cp -p "$work/copy" "$work/settings"
case_ "then a copy with an old time: not yet applied" since-file enabled keep 1 "--days 1" \
  "VELMORAD WARNING - not yet applied: velmorad keeps $hhmm until it restarts; the settings file asks for 05:00 since .*" \
  "velmorad_settings_pending 1"
sleep 1.1
rm "$work/settings"
case_ "then deleted: not yet applied, 00:00" since-file enabled keep 1 "--days 1" \
  "VELMORAD WARNING - not yet applied: velmorad keeps $hhmm until it restarts; the settings file asks for 00:00 since .*" \
  "velmorad_settings_pending 1"
printf 'MOD_VELMORA_HOUR=4\nMOD_VELMORA_MINUTE=0\n' >"$work/settings"
case_ "retimed, and nothing recorded before" missed enabled fresh 1 "--days 1" \
  "VELMORAD WARNING - not yet applied: velmorad started before the settings file changed at .* and keeps what it read then, which was not recorded, until it restarts; .*" \
  "velmorad_settings_pending 1"

echo "$passed passed, $failed failed"
((failed == 0))
