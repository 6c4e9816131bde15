#!/usr/bin/env bash
# A fleet, end to end: three booted Debian 12 hosts with the package, the
# node exporter and an SSH server, and a monitor with Debian's Prometheus,
# loading the package's alert rules as they are, and Alertmanager, which
# sends to a webhook receiver that records each notification. All of them
# are containers from tools/debian-root on a bridge of a network namespace
# that this test makes, and that ends with it.
#
# From the monitor, ansible-playbook applies the package's example playbook
# and its role over SSH: first with one time for all
# (VelmoradRestartsClustered fires), then with each host's minute from its
# place in the fleet (velmora-next --spread --place), in a window chosen so
# that the three minutes come soon and no two lie within ten minutes of
# each other (it clears). Each host must restart at its minute but velmora-b,
# whose drop-in takes systemctl, behind /sbin/reboot, from the daemon, and
# whose miss must still read so once its journal is vacuumed. The
# receiver's record must then hold, of the alerts on single hosts, one
# notification: VelmoradRestartMissed firing for velmora-b.
#
#   tests/fleet_test.sh BUILD_DIR   (the package in BUILD_DIR/deb)
#
# Every systemctl or reboot runs in a container, through nsenter into its
# PID 1, and only once that process is checked to be PID 1 of a PID
# namespace other than this one. Where it cannot run, it fails under
# CI=true and is skipped (exit 77) elsewhere.
#
#   tests/fleet_test.sh --playbook VELMORA_NEXT
#
# The playbook alone, in a minute or two and with no host: ansible-lint in
# its production profile on it and its role; the values that the role must
# refuse before it changes anything, each with its message, and those it
# must take; and the role applied with one time, velmora-next's warning on
# it in the play's output.
set -uo pipefail
source_dir=$(dirname "$(realpath "$0")")/..
passed=0 failed=0
started=$SECONDS
source "$source_dir/tests/booted.sh"

# apply ARGS...: ansible-playbook ARGS with the example playbook on this
# machine over a local connection, in a private mount namespace where
# systemctl is a stand-in that records its calls in $work/called and says
# velmorad.service is enabled and active, /usr/sbin holds the velmora-next
# under test, and /opt is a tmpfs. The play's output goes to $work/play.log,
# the settings file it leaves to $work/settings.
apply() {
  rm -f "$work/called" "$work/settings"
  unshare --mount --propagation private -- bash -c '
    work=$1
    shift
    mount --bind "$work/stand-in" /usr/bin/systemctl && mount --bind "$work/sbin" /usr/sbin &&
      mount -t tmpfs velmora-opt /opt && [[ /usr/bin/systemctl -ef $work/stand-in ]] || exit 99
    cd "$work" && env HOME="$work" ANSIBLE_NOCOLOR=1 timeout 120 ansible-playbook \
      -i inventory ansible/velmorad.yml "$@"
    status=$?
    cp /opt/velmora/etc/settings "$work/settings" 2>/dev/null
    exit $status' apply "$work" "$@" >"$work/play.log" 2>&1
  local status=$?
  cat "$work/play.log" >>"$work/commands.log"
  return $status
}

# refused EXPECTED EXTRA_VARS: the role's checks alone (its tag
# velmorad_check) with -e EXTRA_VARS fail with a message that holds
# EXPECTED, or pass where it is empty; systemctl is never called.
refused() {
  local expected=$1 status
  apply --tags velmorad_check -e "$2"
  status=$?
  [[ ! -e $work/called ]] || { echo "systemctl was called: $(cat "$work/called")"; return 1; }
  if [[ -z $expected ]]; then
    ((status == 0)) || { tail -n 5 "$work/play.log"; return 1; }
  else
    ((status == 2)) && grep -qF -- "$expected" "$work/play.log" || { tail -n 5 "$work/play.log"; return 1; }
  fi
}

if [[ ${1:-} == --playbook ]]; then
  needs ansible-playbook ansible-lint unshare timeout
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  # A copy, so that neither tool writes in the tree.
  cp -r "$source_dir/packaging/ansible" "$work/"
  check "ansible-lint --profile production: the playbook and its role" \
    quietly env HOME="$work" NO_COLOR=1 timeout 300 \
    sh -c 'cd "$1/ansible" && ansible-lint --offline --profile production velmorad.yml roles/velmorad' \
    lint "$work" || tail -n 20 "$work/commands.log"
  mkdir "$work/sbin" && cp -a /usr/sbin/. "$work/sbin/" && cp "$2" "$work/sbin/velmora-next" ||
    cannot_run "cannot copy /usr/sbin"
  cat >"$work/stand-in" <<EOF
#!/bin/sh
echo "\$*" >>$work/called
case \$1 in
  show) printf 'LoadState=loaded\nActiveState=active\nUnitFileState=enabled\n' ;;
  is-enabled) echo enabled ;;
esac
EOF
  chmod 755 "$work/stand-in"
  echo 'localhost ansible_connection=local ansible_python_interpreter=/usr/bin/python3' \
    >"$work/inventory"
  # As a YAML inventory or vars file has it: 4:05 unquoted is 245.
  echo 'velmorad_time: 4:05' >"$work/sexagesimal.yml"
  # EXPECTED|EXTRA_VARS, as refused takes them.
  while IFS='|' read -r expected vars; do
    check "the playbook with -e $vars: ${expected:-taken}" refused "$expected" "$vars"
  done <<EOF
|velmorad_time=04:30
|velmorad_time=00:00
|velmorad_time=23:59
|velmorad_spread=03:00-04:00
|velmorad_spread=23:30-00:30
|velmorad_spread=22:00-24:00
velmorad_time must be one time of day HH:MM, 00:00 to 23:59|velmorad_time=04:3O
velmorad_time must be one time of day HH:MM, 00:00 to 23:59|velmorad_time=O4:30
velmorad_time must be one time of day HH:MM, 00:00 to 23:59|velmorad_time=04:30:59
velmorad_time must be one time of day HH:MM, 00:00 to 23:59|velmorad_time=24:00
velmorad_time must be one time of day HH:MM, 00:00 to 23:59|velmorad_time=4:30
velmorad_time must be one time of day HH:MM, 00:00 to 23:59|{"velmorad_time": "04:30\n"}
velmorad_time is 245, not a string HH:MM|@$work/sexagesimal.yml
velmorad_spread must be a window HH:MM-HH:MM|velmorad_spread=03:00
velmorad_spread must be a window HH:MM-HH:MM|velmorad_spread=3:00-04:00
velmorad_spread must be a window HH:MM-HH:MM|velmorad_spread=24:00-01:00
velmorad_spread must be a window HH:MM-HH:MM|velmorad_spread=03:00-24:01
velmorad_spread must be a window HH:MM-HH:MM|{"velmorad_spread": "01: 3-04:00"}
velmorad_spread must be a window HH:MM-HH:MM|velmorad_spread=01:30-04:-0
velmorad_fleet must list the hosts|{"velmorad_fleet": ["elsewhere"]}
velmorad_fleet must list the hosts|{"velmorad_fleet": "localhost"}
EOF
  # The role in full, with one time: the file as velmorad reads it, no
  # number conversion on the way; velmora-next's warning on 00:00 in the
  # play's output; the daemon restarted, since the file changed.
  check "the playbook with -e velmorad_time=00:00 applied" apply -e velmorad_time=00:00 ||
    tail -n 20 "$work/play.log"
  got=$(tr '\n' ' ' <"$work/settings" 2>/dev/null)
  check "  the settings: $got" is "$got" "MOD_VELMORA_ENABLED=1 MOD_VELMORA_HOUR=0 MOD_VELMORA_MINUTE=0 "
  check "  velmora-next's warning shown" grep -q 'warning: the target is 00:00' "$work/play.log"
  check "  velmorad.service restarted" grep -qx "restart velmorad.service" "$work/called"
  # And spread: this host second of three once sorted, the middle of
  # 03:00-03:30.
  fleet='{"velmorad_spread": "03:00-03:30", "velmorad_fleet": ["localhost", "zulu", "alpha"]}'
  check "the playbook with -e $fleet applied" apply -e "$fleet" || tail -n 20 "$work/play.log"
  got=$(tr '\n' ' ' <"$work/settings" 2>/dev/null)
  check "  the settings: $got" is "$got" "MOD_VELMORA_ENABLED=1 MOD_VELMORA_HOUR=3 MOD_VELMORA_MINUTE=15 "
  echo "$passed passed, $failed failed"
  ((failed == 0))
  exit
fi

build=$(realpath "$1")
needs mmdebstrap systemd-nspawn unshare nsenter setpriv ip dpkg-deb
deb=$(ls "$build"/deb/velmorad_*.deb 2>/dev/null) || { echo "FAIL: no package in $build/deb"; exit 1; }
arch=$(dpkg-deb -f "$deb" Architecture)

hosts=(velmora-a velmora-b velmora-c)
missing=velmora-b
machines=(monitor "${hosts[@]}")
declare -A address=([monitor]=10.213.77.10 [velmora-a]=10.213.77.11
                    [velmora-b]=10.213.77.12 [velmora-c]=10.213.77.13)
declare -A wrapper_pid nspawn_pid init_pid
work=$(mktemp -d /var/tmp/velmorad-fleet.XXXXXX)
net_pid=""
finish() {
  local m
  for m in "${machines[@]}"; do
    [[ -n ${wrapper_pid[$m]:-} ]] && pkill -KILL -P "${wrapper_pid[$m]}"
  done
  [[ -n $net_pid ]] && kill -KILL "$net_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

elapsed() { printf '%d:%02d' $(((SECONDS - started) / 60)) $(((SECONDS - started) % 60)); }

# ---- the roots ---------------------------------------------------------------

"$source_dir/tools/debian-root" bookworm "$arch" \
  systemd,systemd-sysv,dbus,prometheus-node-exporter,openssh-server,python3 >"$work/host-image" &
pids=($!)
"$source_dir/tools/debian-root" bookworm "$arch" \
  systemd,systemd-sysv,dbus,prometheus,prometheus-alertmanager,ansible-core,openssh-client,python3 \
  >"$work/monitor-image" &
pids+=($!)
# waits for the processes in pids; fails when any failed.
await_all() { local pid status=0; for pid in "${pids[@]}"; do wait "$pid" || status=1; done; return $status; }
await_all || cannot_run "cannot make the Debian 12 root file systems"
pids=()
for m in "${machines[@]}"; do
  image=$(cat "$work/host-image")
  [[ $m == monitor ]] && image=$(cat "$work/monitor-image")
  mkdir -p "$work/$m"
  tar -C "$work/$m" -xf "$image" &
  pids+=($!)
done
await_all || cannot_run "cannot unpack the roots"

# Each machine: its name, a machine ID of its own, and its address on the
# bridge, from systemd-networkd.
for m in "${machines[@]}"; do
  root=$work/$m
  echo "$m" >"$root/etc/hostname"
  printf '%s' "velmora fleet $m" | md5sum | cut -c1-32 >"$root/etc/machine-id"
  printf '[Match]\nName=host0\n[Network]\nAddress=%s/24\nLinkLocalAddressing=no\nIPv6AcceptRA=no\n' \
    "${address[$m]}" >"$root/etc/systemd/network/10-fleet.network"
  # apt's own timers would take the package database while the test installs.
  rm -f "$root"/etc/systemd/system/timers.target.wants/apt-daily*.timer
  ln -sf /lib/systemd/system/systemd-networkd.service \
    "$root/etc/systemd/system/multi-user.target.wants/systemd-networkd.service"
  mkdir -p "$root/etc/systemd/system/sockets.target.wants"
  ln -sf /lib/systemd/system/systemd-networkd.socket \
    "$root/etc/systemd/system/sockets.target.wants/systemd-networkd.socket"
done
for h in "${hosts[@]}"; do
  cp "$deb" "$work/$h/root/velmorad.deb"
done
# The restart command out of the daemon's reach, the daemon still root.
mkdir -p "$work/$missing/etc/systemd/system/velmorad.service.d"
printf '[Service]\nInaccessiblePaths=/usr/bin/systemctl\n' \
  >"$work/$missing/etc/systemd/system/velmorad.service.d/no-reboot.conf"

# The monitor: Prometheus scraping the three exporters every 5 s with the
# rules as shipped, Alertmanager with a group for each alert and host, and
# the receiver, which writes a line for each alert in each notification.
mon=$work/monitor
for h in "${hosts[@]}"; do echo "${address[$h]} $h"; done >>"$mon/etc/hosts"
cp "$source_dir/packaging/prometheus/velmorad-rules.yml" "$mon/etc/prometheus/"
cat >"$mon/etc/prometheus/prometheus.yml" <<EOF
global: {scrape_interval: 5s, evaluation_interval: 5s}
rule_files: [velmorad-rules.yml]
alerting:
  alertmanagers: [{static_configs: [{targets: ['127.0.0.1:9093']}]}]
scrape_configs:
  - job_name: node
    static_configs: [{targets: [$(printf "'%s:9100', " "${hosts[@]}")]}]
EOF
cat >"$mon/etc/prometheus/alertmanager.yml" <<'EOF'
route:
  receiver: record
  group_by: [alertname, instance]
  group_wait: 1s
  group_interval: 5s
  repeat_interval: 24h
receivers:
  - name: record
    webhook_configs: [{url: 'http://127.0.0.1:9099/', send_resolved: true}]
EOF
echo 'ARGS="--web.listen-address=127.0.0.1:9090"' >"$mon/etc/default/prometheus"
echo 'ARGS="--web.listen-address=127.0.0.1:9093 --cluster.listen-address="' \
  >"$mon/etc/default/prometheus-alertmanager"
cat >"$mon/root/receiver.py" <<'EOF'
import json, time
from http.server import BaseHTTPRequestHandler, HTTPServer
class Receiver(BaseHTTPRequestHandler):
    def do_POST(self):
        note = json.loads(self.rfile.read(int(self.headers['Content-Length'])))
        with open('/root/record', 'a') as record:
            for alert in note['alerts']:
                labels = alert['labels']
                record.write('%s %s %s %s\n' % (time.strftime('%H:%M:%S'), alert['status'],
                             labels['alertname'], labels.get('instance', '-')))
        self.send_response(200)
        self.end_headers()
    def log_message(self, *args):
        pass
HTTPServer(('127.0.0.1', 9099), Receiver).serve_forever()
EOF
touch "$mon/root/record"
cp -r "$source_dir/packaging/ansible/velmorad.yml" "$source_dir/packaging/ansible/roles" "$mon/root/"
{
  printf '%s\n' "${hosts[@]}"
  echo '[all:vars]'
  echo 'ansible_user=root'
  echo 'ansible_python_interpreter=/usr/bin/python3'
  echo 'ansible_ssh_common_args=-o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null'
} >"$mon/root/inventory"

# ---- the network and the containers ------------------------------------------

# The network namespace, held by a process that dies with this script.
# in_net runs a command in it, and refuses while it is still this host's.
unshare --net -- setpriv --pdeathsig KILL sleep 3600 &
net_pid=$!
in_net() {
  [[ $(readlink "/proc/$net_pid/ns/net") != $(readlink /proc/self/ns/net) ]] ||
    { echo "in_net: no network namespace of the test's own; refused" >&2; return 99; }
  nsenter --net="/proc/$net_pid/ns/net" -- "$@"
}
for _ in $(seq 50); do in_net true 2>/dev/null && break; sleep 0.1; done
in_net ip link add velmora0 type bridge &&
  in_net ip link set velmora0 up || cannot_run "cannot make a network namespace with a bridge"

# Starts machine $1 in the background, on the bridge; its nspawn's exit
# status and the time it ended go to $work/$1.ended. Nothing of nspawn's is
# left on the host: /run/systemd is a private tmpfs, and nothing is
# registered with a machine manager.
start() {
  rm -f "$work/$1.ended"
  (
    in_net unshare --mount --propagation private -- bash -c \
      'mount -t tmpfs velmora-nspawn /run/systemd &&
       exec systemd-nspawn --quiet --register=no --keep-unit --timezone=off --console=pipe \
         --network-bridge=velmora0 --machine="$2" -b -D "$1"' \
      start "$work/$1" "$1" </dev/null >>"$work/$1.console" 2>&1
    echo "$? $(date +%s)" >"$work/$1.ended"
  ) &
  wrapper_pid[$1]=$! nspawn_pid[$1]="" init_pid[$1]=""
}

# Waits for machine $1's manager to finish starting; sets its nspawn_pid
# and init_pid.
await() {
  local m=$1 i pid state
  for ((i = 0; i < 600; ++i)); do
    [[ -z ${nspawn_pid[$m]} ]] && for pid in $(pgrep -P "${wrapper_pid[$m]}"); do
      [[ $(cat "/proc/$pid/comm" 2>/dev/null) == systemd-nspawn ]] && nspawn_pid[$m]=$pid
    done
    [[ -n ${nspawn_pid[$m]} ]] && for pid in $(pgrep -P "${nspawn_pid[$m]}"); do
      [[ $(awk '/^NSpid:/ { print $NF }' "/proc/$pid/status" 2>/dev/null) == 1 ]] && init_pid[$m]=$pid
    done
    [[ -n ${init_pid[$m]} ]] && break
    sleep 0.1
  done
  [[ -n ${init_pid[$m]} ]] || return 1
  for ((i = 0; i < 240; ++i)); do
    state=$(on "$m" timeout 5 systemctl is-system-running 2>/dev/null)
    [[ $state == running || $state == degraded ]] && return 0
    sleep 0.5
  done
  return 1
}

# on MACHINE COMMAND...: COMMAND in the machine's container, through its PID 1.
on() {
  local m=$1
  shift
  enter "${nspawn_pid[$m]:-}" "${init_pid[$m]:-}" HOME=/root "$@"
}

echo "== $(elapsed) booting the monitor and three hosts"
for m in "${machines[@]}"; do start "$m"; done
for m in "${machines[@]}"; do
  await "$m" || { tail -n 20 "$work/$m.console"; cannot_run "cannot boot $m with systemd-nspawn here"; }
done
# The package, as the README installs it; the audit's timer enabled.
pids=()
for h in "${hosts[@]}"; do
  on "$h" env DEBIAN_FRONTEND=noninteractive apt-get install -y -o DPkg::Lock::Timeout=60 \
    /root/velmorad.deb \
    >>"$work/$h.install" 2>&1 &
  pids+=($!)
done
await_all
for h in "${hosts[@]}"; do
  check "$h: apt-get install the package" quietly on "$h" dpkg-query -W velmorad
  quietly on "$h" systemctl enable --now velmorad-audit.timer
done
quietly on monitor ssh-keygen -q -t ed25519 -N '' -f /root/.ssh/id_ed25519
for h in "${hosts[@]}"; do
  install -m 600 "$mon/root/.ssh/id_ed25519.pub" "$work/$h/root/.ssh/authorized_keys"
done
quietly on monitor systemd-run --unit=receiver python3 /root/receiver.py
echo "  up at $(elapsed); machine IDs: $(for h in "${hosts[@]}"; do printf '%s %s  ' "$h" "$(cat "$work/$h/etc/machine-id")"; done)"

# ---- the playbook --------------------------------------------------------------

# play ARGS...: the example playbook from the monitor to the three hosts.
play() {
  on monitor ansible-playbook -i /root/inventory /root/velmorad.yml "$@" >"$work/play.log" 2>&1
  local status=$?
  cat "$work/play.log" >>"$work/commands.log"
  return $status
}
# Each host's daemon, as the ID of the unit's current run.
runs() { for h in "${hosts[@]}"; do on "$h" systemctl show -p InvocationID --value velmorad.service; done; }
# The audit on each host: never "not yet applied" once the playbook has run.
applied() {
  local h audit bad=""
  for h in "${hosts[@]}"; do
    audit=$(on "$h" velmora-audit --days 2)
    grep -q 'not yet applied' <<<"$audit" && bad+="$h "
    quietly on "$h" systemctl start velmorad-audit.service
  done
  check "$1: no host's audit says not yet applied (${bad:-none})" is "$bad" ""
}
# audit_reads HOST CODE STATE WHAT PATTERN: velmora-audit on HOST exits CODE
# and prints PATTERN; then the audit's service writes what the monitor scrapes.
audit_reads() {
  local host=$1 want=$2 pattern=$5 audit code
  audit=$(on "$host" velmora-audit --days 2)
  code=$?
  check "$host: velmora-audit: $3 (exit $code), $4" \
    eval '((code == want)) && grep -q "$pattern" <<<"$audit"' || printf '%s\n' "$audit"
  quietly on "$host" systemctl start velmorad-audit.service
}
# waits up to $2 seconds for the receiver to record a line matching $1.
recorded() {
  local deadline=$((SECONDS + $2))
  until grep -qE "$1" "$mon/root/record"; do ((SECONDS < deadline)) || return 1; sleep 1; done
}

echo "== $(elapsed) the playbook with one time for all"
fixed=$(on velmora-a date -d '12 hours' +%H:%M)
check "ansible-playbook -e velmorad_time=$fixed" play -e "velmorad_time=$fixed" ||
  tail -n 20 "$work/play.log"
for h in "${hosts[@]}"; do
  got=$(on "$h" stat -c '%a %U' /opt/velmora/etc/settings)" "$(on "$h" cat /opt/velmora/etc/settings | tr '\n' ' ')
  check "$h: settings $got" is "$got" \
    "644 root MOD_VELMORA_ENABLED=1 MOD_VELMORA_HOUR=$((10#${fixed%:*})) MOD_VELMORA_MINUTE=$((10#${fixed#*:})) "
  state=$(on "$h" systemctl is-enabled velmorad.service)/$(on "$h" systemctl is-active velmorad.service)
  check "$h: velmorad.service $state" is "$state" enabled/active
done
applied "one time for all"
check "the receiver: VelmoradRestartsClustered firing" recorded ' firing VelmoradRestartsClustered ' 90

# The window: the hosts' minutes from the first that leaves time for the
# playbook on (the window may open a few minutes before it, since the first
# place lies a sixth of the window past its start), chosen so that no two
# lie within ten minutes of each other (in UTC, the hosts' zone) and the
# last restart, or velmora-b's miss, judged five minutes on, comes as soon
# as can be: some 30 minutes long. Each host says its minute in each
# window at its place in the sorted inventory, as the role gives it.
echo "== $(elapsed) the playbook with each host's own minute"
hm() { printf '%02d:%02d' $(($1 % 86400 / 3600)) $(($1 % 3600 / 60)); }
first=$((($(date +%s) + 90 + 59) / 60 * 60))
for s in $(seq -8 14); do
  for l in $(seq 25 45); do
    echo "$(hm $((first + s * 60)))-$(hm $((first + (s + l) * 60)))"
  done
done >"$work/windows"
for i in "${!hosts[@]}"; do
  # shellcheck disable=SC2016
  on "${hosts[i]}" bash -c 'while read -r w; do
      echo "$w $(velmora-next --spread "$w" --place "$1" 2>/dev/null | tr "\n" " ")"; done' \
    minutes "$((i + 1))/${#hosts[@]}" <"$work/windows" >"$work/minutes.$i"
  [[ ${hosts[i]} == "$missing" ]] && missing_index=$i
done
read -r window times < <(awk -v first="$first" -v missing="$missing_index" '
  BEGIN { host = -1 }
  FNR == 1 { ++host }
  {
    for (f = 2; f <= NF; ++f) { split($f, kv, "="); v[kv[1]] = kv[2] }
    if (NF < 4) next
    t = int(first / 86400) * 86400 + (v["MOD_VELMORA_HOUR"] * 60 + v["MOD_VELMORA_MINUTE"]) * 60
    at[$1, host] = t < first ? t + 86400 : t
    seen[$1]++
  }
  END {
    for (w in seen) {
      if (seen[w] != 3) continue
      end = 0; shared = 0
      for (i = 0; i < 3; ++i) {
        e = at[w, i] + (i == missing ? 370 : 60)
        if (e > end) end = e
        for (j = 0; j < i; ++j) {
          d = (at[w, i] - at[w, j]) % 86400
          if (d < 0) d += 86400
          if (d < 600 || 86400 - d < 600) shared = 1
        }
      }
      if (!shared && (best == "" || end < bestend)) { best = w; bestend = end }
    }
    if (best != "") print best, at[best, 0], at[best, 1], at[best, 2]
  }' "$work"/minutes.{0,1,2})
[[ -n ${window:-} ]] || { echo "FAIL: no window puts the hosts ten minutes apart"; exit 1; }
declare -A due
read -r "due[${hosts[0]}]" "due[${hosts[1]}]" "due[${hosts[2]}]" <<<"$times"
echo "  window $window: $(for h in "${hosts[@]}"; do printf '%s %s  ' "$h" "$(hm "${due[$h]}")"; done)"
before=$(runs)
check "ansible-playbook -e velmorad_spread=$window" play -e "velmorad_spread=$window" ||
  tail -n 20 "$work/play.log"
after=$(runs)
for h in "${hosts[@]}"; do
  got=$(on "$h" cat /opt/velmora/etc/settings | tr '\n' ' ')
  check "$h: settings $got" is "$got" \
    "MOD_VELMORA_ENABLED=1 MOD_VELMORA_HOUR=$((due[$h] % 86400 / 3600)) MOD_VELMORA_MINUTE=$((due[$h] % 3600 / 60)) "
done
restarted=$(printf '%s\n' "$before" "$after" | grep . | sort -u | wc -l)
check "the handler restarted each daemon ($restarted runs before and after, of 6)" is "$restarted" 6
applied "each host's own minute"
applied_at=$(date +%s)
echo "  applied at $(elapsed), $((first - applied_at)) s before the window opens"
# The clustering cleared as soon as the audits' metrics showed the spread.
check "the receiver: VelmoradRestartsClustered resolved" \
  recorded ' resolved VelmoradRestartsClustered ' 120

# ---- the restarts ----------------------------------------------------------------

# In the order of their minutes: each host restarts within a minute of its
# own (nspawn exits 133), boots again and audits the restart as happened;
# velmora-b stays up, and five minutes on its audit calls the restart
# missed, which the receiver must hear of.
echo "== $(elapsed) the restarts"
order=$(for h in "${hosts[@]}"; do echo "${due[$h]} $h"; done | sort -n | cut -d' ' -f2)
for h in $order; do
  if [[ $h == "$missing" ]]; then
    # The daemon's pass comes within 30 s of the minute.
    while (($(date +%s) < due[$h] + 30 + 300 + 10)); do sleep 1; done
    check "$h: up 5 minutes past its minute" eval '[[ ! -e $work/$h.ended ]]' || continue
    audit_reads "$h" 2 "CRITICAL" "the restart missed" "MISSED: due"
    check "the receiver: VelmoradRestartMissed firing for $h" \
      recorded " firing VelmoradRestartMissed $h:9100\$" 90
    # The miss's entries vacuumed away: the audit's ledger keeps it CRITICAL,
    # and the daemon running.
    quietly on "$h" journalctl --rotate
    quietly on "$h" journalctl --vacuum-time=1s
    audit_reads "$h" 2 "CRITICAL" "the restart still missed after a vacuum of the journal" \
      "MISSED: due .*, and the host is still up"
    continue
  fi
  while [[ ! -s $work/$h.ended ]] && (($(date +%s) < due[$h] + 150)); do sleep 0.5; done
  read -r status end 2>/dev/null <"$work/$h.ended"
  check "$h: restarted $((${end:-0} - due[$h])) s after its minute began (nspawn exit ${status:-none})" \
    eval '[[ ${status:-} == 133 ]] && ((end - due[$h] >= 0 && end - due[$h] <= 60))' || continue
  wait "${wrapper_pid[$h]}"
  start "$h"
  check "$h: up again" await "$h" || continue
  audit_reads "$h" 0 "OK" "the restart happened" "happened: due"
done

# The playbook again, the restarted hosts among them: a mistyped time
# changes no file, and the window again changes nothing; so no daemon
# restarted.
before=$(runs)
play -e velmorad_time=04:3O
refused=$(grep -c '^fatal: .*velmorad_time must be one time of day HH:MM' "$work/play.log")
kept=$(for h in "${hosts[@]}"; do on "$h" sed -n 's/^MOD_VELMORA_MINUTE=//p' /opt/velmora/etc/settings; done)
check "ansible-playbook -e velmorad_time=04:3O: refused on $refused hosts, the minutes kept" \
  eval '[[ $refused == 3 && $kept == "$(for h in "${hosts[@]}"; do echo $((due[$h] % 3600 / 60)); done)" ]]'
check "ansible-playbook again: nothing changed" play -e "velmorad_spread=$window"
changed=$(grep -cE '^velmora-[abc] +: ok=[0-9]+ +changed=0 ' "$work/play.log")
after=$(runs)
check "again: $changed hosts with changed=0, no daemon restarted" \
  eval '[[ $changed == 3 && $after == "$before" && $(grep -c . <<<"$after") == 3 ]]'
# The plays above gave any late notification its time; the record.
echo "  the receiver's record:"
sed 's/^/    /' "$mon/root/record"
per_host=$(grep -v ' VelmoradRestartsClustered ' "$mon/root/record" | cut -d' ' -f2- | tr '\n' ' ')
check "of alerts on single hosts, one notification: ${per_host:-none}" \
  is "$per_host" "firing VelmoradRestartMissed $missing:9100 "
# Through the hosts' restarts, the spread fleet was never taken for a cluster.
clustered=$(grep ' VelmoradRestartsClustered ' "$mon/root/record" | cut -d' ' -f2 | tr '\n' ' ')
check "VelmoradRestartsClustered: ${clustered:-none}" is "$clustered" "firing resolved "
left=""
for h in "${hosts[@]}"; do [[ -e $work/$h.ended ]] && left+="$h "; done
check "no host restarted again (${left:-none})" is "$left" ""

for m in "${machines[@]}"; do quietly on "$m" systemctl poweroff; done
for m in "${machines[@]}"; do
  for _ in $(seq 120); do [[ -e $work/$m.ended ]] && break; sleep 0.5; done
done
echo "fleet test: $(elapsed)"
echo "$passed passed, $failed failed"
((failed == 0))
