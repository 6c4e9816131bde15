#!/usr/bin/env bash
# velmora-next through the real executable: a table of settings files,
# zones and start times, with the lines it must print and its exit status.
#
#   tests/next_test.sh VELMORA_NEXT VERSION
set -uo pipefail
next=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# mktemp's 0700 would shut out the daemon's reading (uid 0 without
# capabilities) whenever the tests run as an ordinary user, as a package
# build does: every file below would read as one the daemon cannot open.
chmod 755 "$work"
passed=0 failed=0 owner="" mode=600 parent="" as=()

# case NAME ZONE SETTINGS STATUS 'ARGS' 'STDOUT LINES' 'STDERR PATTERNS'
# ZONE is TZ's value, "-" for none.
# The file is owned by $owner with mode $mode where that is set, in a
# directory of mode $parent where that is set, and the command runs under
# the prefix in the array "as".
# SETTINGS is the file's text (printf format), "none" for no file, "fifo" or
# "fifo+writer" for a FIFO without a writer or with one that never writes,
# "dir" for a directory, "@PATH" for a link to PATH, or "-" for no
# --settings at all. The expected lines and patterns are separated by "|",
# and each must appear; one that starts with "!" must not; "#N" among the
# lines: standard output has N lines. A run that takes longer than 2 seconds
# fails.
case_() {
  local name=$1 zone=$2 text=$3 status=$4 args=$5 want_out=$6 want_err=$7
  local file=$work/settings ok=1 line writer=""
  [[ -n $parent ]] && mkdir -p "$work/sub" && file=$work/sub/settings
  rm -rf "$file"
  case $text in
    none | -) ;;
    fifo) mkfifo "$file" ;;
    fifo+writer) mkfifo "$file"; sleep 60 <>"$file" & writer=$! ;;
    dir) mkdir "$file" ;;
    @*) ln -s "${text#@}" "$file" ;;
    *) printf "$text" >"$file" ;;
  esac
  [[ -n $owner ]] && chown "$owner" "$file" && chmod "$mode" "$file"
  [[ -n $parent ]] && chmod "$parent" "$work/sub"
  local -a argv settings=(--settings "$file")
  read -ra argv <<<"$args"
  [[ $text == - ]] && settings=()
  local -a zone_env=(env "TZ=$zone")
  [[ $zone == - ]] && zone_env=(env -u TZ)
  "${zone_env[@]}" timeout 2 "${as[@]}" "$next" "${settings[@]}" "${argv[@]//_/ }" >"$work/out" 2>"$work/err"
  local got=$?
  [[ -n $writer ]] && kill "$writer"
  ((got == status)) || { echo "  exit status $got, expected $status"; ok=0; }
  local IFS='|'
  for line in $want_out; do
    if [[ $line == '#'* ]]; then
      (($(wc -l <"$work/out") == ${line#\#})) || { echo "  not ${line#\#} lines"; ok=0; }
    elif [[ $line == !* ]]; then
      ! grep -qxF -- "${line#!}" "$work/out" || { echo "  a line: ${line#!}"; ok=0; }
    else
      grep -qxF -- "$line" "$work/out" || { echo "  no line: $line"; ok=0; }
    fi
  done
  for line in $want_err; do
    if [[ $line == !* ]]; then
      ! grep -qE -- "${line#!}" "$work/err" || { echo "  a warning: ${line#!}"; ok=0; }
    else
      grep -qE -- "$line" "$work/err" || { echo "  no warning: $line"; ok=0; }
    fi
  done
  if ((ok)); then
    echo "ok    $name"; ((++passed))
  else
    echo "FAIL  $name"; sed 's/^/      /' "$work/out" "$work/err"; ((++failed))
  fi
}

at3='MOD_VELMORA_HOUR="3"\nMOD_VELMORA_MINUTE="0"\nMOD_VELMORA_ENABLED=1\n'
case_ "03:00, from before" UTC "$at3" 0 "--from 2026-06-01_02:00 --count 2" \
  "MOD_VELMORA_HOUR=3 (line 1)|target 03:00|next 2026-06-01 03:00:00 UTC|next 2026-06-02 03:00:00 UTC" ""
case_ "03:00, from between two passes" UTC "$at3" 0 "--from 2026-06-01_02:59:40 --count 1" \
  "next 2026-06-01 03:00:10 UTC" ""
case_ "summer time at --from" Europe/Berlin "$at3" 0 "--from 2026-06-01_12:00 --count 1" \
  "from 2026-06-01 12:00:00 CEST" ""
case_ "03:00, from after: the next day" UTC "$at3" 0 "--from 2026-06-01_03:00:10 --count 1" \
  "next 2026-06-02 03:00:10 UTC" ""
case_ "no file: just after midnight" UTC none 0 "--from 2026-06-01_12:00:05 --count 1" \
  "MOD_VELMORA_HOUR=0 (no line for it)|target 00:00|next 2026-06-02 00:00:05 UTC" \
  "^warning: .* cannot be read \\(No such file or directory\\): every value is 0"
case_ "hour 24: never" UTC 'MOD_VELMORA_HOUR=24\nMOD_VELMORA_MINUTE=0\n' 0 "--from 2026-06-01_12:00" \
  "target minute 1440 of the day: the clock never reaches it|next never" "^warning: .*never reaches"
case_ "fall back in Berlin: 02:30 twice" Europe/Berlin 'MOD_VELMORA_HOUR=2\nMOD_VELMORA_MINUTE=30\n' 0 \
  "--from 2026-10-24_12:00 --count 3" \
  "next 2026-10-25 02:30:00 CEST|next 2026-10-25 02:30:00 CET|next 2026-10-26 02:30:00 CET" \
  "^warning: 02:30 restarts the host twice on 2026-10-25, at another time on 2027-03-28, as the clock moves"
case_ "spring forward in Berlin: after the jump" Europe/Berlin 'MOD_VELMORA_HOUR=2\nMOD_VELMORA_MINUTE=30\n' 0 \
  "--from 2026-03-28_12:00 --count 1" "next 2026-03-29 03:00:00 CEST" \
  "^warning: 02:30 restarts the host at another time on 2026-03-29, twice on 2026-10-25"
case_ "after the repeated hour: once every night" Europe/Berlin 'MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\n' 0 \
  "--from 2026-10-24_12:00 --count 1" "next 2026-10-25 03:00:00 CET" "!as the clock moves"
case_ "the repeated hour ends at midnight: twice" America/Santiago 'MOD_VELMORA_HOUR=4\nMOD_VELMORA_MINUTE=0\n' 0 \
  "--from 2026-12-01_12:00 --count 1" "" "^warning: 04:00 restarts the host twice on 2027-04-03"
case_ "shadowed duplicate" UTC 'MOD_VELMORA_HOUR=\nMOD_VELMORA_HOUR=3\n' 0 "--from 2026-06-01_12:00 --count 1" \
  "MOD_VELMORA_HOUR=0 (line 1)" "^warning: line 2: a later line for MOD_VELMORA_HOUR is ignored: line 1"
case_ "blank before =" UTC 'MOD_VELMORA_HOUR =3\n' 0 "--from 2026-06-01_12:00 --count 1" \
  "MOD_VELMORA_HOUR=0 (no line for it)" \
  '^warning: line 1: names MOD_VELMORA_HOUR but is not read as it: a blank stands before "="'
case_ "blanks before the name" UTC ' MOD_VELMORA_MINUTE=5\n' 0 "--from 2026-06-01_12:00 --count 1" \
  "" "^warning: line 1: names MOD_VELMORA_MINUTE but is not read as it: blanks stand before the name"
case_ "lines counted, not pieces" UTC "$(printf '%020000d' 0)\nMOD_VELMORA_HOUR=3\n" 0 "--count 1" \
  "MOD_VELMORA_HOUR=3 (line 2)" ""
case_ "lines counted past a zero byte" UTC '# a note\x00x\nMOD_VELMORA_HOUR=3\n' 0 "--count 1" \
  "MOD_VELMORA_HOUR=3 (line 2)" ""
# The daemon reads a line in pieces of 16383 characters, each as a line.
long="#$(printf '%016382d' 0)"
case_ "a key in a piece of a long line put out of use" UTC "${long}MOD_VELMORA_HOUR=3\n" 0 "--count 1" \
  "MOD_VELMORA_HOUR=3 (line 1, from character 16384)" \
  "^warning: line 1 is longer than 16383 characters: .*piece from character 16384 on as a line for MOD_VELMORA_HOUR: it reads as 3$"
case_ "--check: a key in a piece of a long line, a near miss in another" UTC \
  "${long}MOD_VELMORA_HOUR=3\n${long} MOD_VELMORA_MINUTE=5\nMOD_VELMORA_MINUTE=0\n" 1 "--check" \
  "bad: 1 problem" "longer than 16383|!names MOD_VELMORA_MINUTE"
case_ "byte-order mark" UTC '\xef\xbb\xbfMOD_VELMORA_MINUTE=3\n' 0 "--from 2026-06-01_12:00 --count 1" \
  "" "^warning: line 1: names MOD_VELMORA_MINUTE .*byte-order mark"
for odd in fifo fifo+writer @/dev/zero dir; do
  case_ "$odd: cannot be read, every value 0" UTC "$odd" 0 "--from 2026-06-01_12:00 --count 1" \
    "next 2026-06-02 00:00:00 UTC" "^warning: .* cannot be read \\(an? [A-Za-z ]*, not a regular file\\): every value is 0"
done
# /proc/self/mem belongs to whoever runs velmora-next, and only root's is
# one the daemon may read.
((EUID == 0)) && case_ "read error" UTC @/proc/self/mem 0 "--from 2026-06-01_12:00 --count 1" \
  "next 2026-06-02 00:00:00 UTC" "^warning: reading .* failed at line 1 \(Input/output error\)"
((EUID == 0)) && case_ "--check: a failed read is one mistake" UTC @/proc/self/mem 1 "--check" \
  "bad: 1 problem" "^warning: reading .* failed at line 1"
case_ "misspelt zone: UTC" Europe/Berlinn "$at3" 0 "--from 2026-06-01_02:00 --count 1" \
  "next 2026-06-01 03:00:00 UTC" "^warning: zone Europe/Berlinn cannot be loaded .*UTC"
# A path as the zone, with or without glibc's ":", is read as the file it names.
for zone in /usr/share/zoneinfo/Europe/Berlin :/usr/share/zoneinfo/Europe/Berlin; do
  case_ "TZ=$zone" "$zone" "$at3" 0 "--from 2026-06-01_12:00 --count 1" \
    "zone /usr/share/zoneinfo/Europe/Berlin (from TZ)|from 2026-06-01 12:00:00 CEST|next 2026-06-02 03:00:00 CEST" \
    "!cannot be loaded"
done
[[ -e /etc/localtime ]] && case_ "TZ=:/etc/localtime: the host's own zone data" :/etc/localtime "$at3" 0 \
  "--count 1" "zone /etc/localtime (from TZ)" "!is not /etc/localtime"
case_ "empty zone: UTC, said so" "" "$at3" 0 "--from 2026-06-01_02:00 --count 1" \
  "zone UTC (TZ is set but empty)|next 2026-06-01 03:00:00 UTC" "^warning: TZ is set but empty"
# Where the zone comes from: TZ answers a what-if question, the host's zone
# is the daemon's, and --check judges for the daemon.
if [[ -L /etc/localtime ]]; then
  host_zone="zone $(readlink /etc/localtime | sed 's|.*zoneinfo/||') (from /etc/localtime)"
elif [[ -e /etc/localtime ]]; then
  host_zone="zone /etc/localtime (from /etc/localtime)"
else
  host_zone="zone UTC (no /etc/localtime)"
fi
case_ "no TZ: the host's zone, said so" - "$at3" 0 "--count 1" "$host_zone" ""
case_ "a TZ that is not the host's zone, said so" Pacific/Chatham "$at3" 0 "--count 1" \
  "zone Pacific/Chatham (from TZ)" "^warning: TZ=Pacific/Chatham is not /etc/localtime"
case_ "--check: a TZ that cannot be loaded is not the daemon's" Europe/berlin "$at3" 0 "--check" \
  "ok: restart daily at 03:00" "^warning: TZ=Europe/berlin is not the daemon's zone"
if ((EUID == 0)); then
  as=(unshare -m sh -c 'mount --bind /dev/null /etc/localtime && exec "$@"' zone)
  case_ "--check: a broken /etc/localtime is a problem" - "$at3" 1 "--check" "bad: 1 problem" \
    "the daemon's zone, /etc/localtime, cannot be loaded \\(.*not a zone file\\)"
  as=()
fi
case_ "ENABLED=0: the same warning as with --check, and no other line" UTC \
  'MOD_VELMORA_ENABLED=0\nMOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\n' 0 "--count 1" \
  "target 03:00|!note: MOD_VELMORA_ENABLED is not consulted: the schedule follows hour and minute alone" \
  "^warning: MOD_VELMORA_ENABLED=0 is not consulted: the host restarts all the same"
case_ "hour -1: minute -60, just after midnight" UTC 'MOD_VELMORA_HOUR=-1\n' 0 "--from 2026-06-01_12:00 --count 1" \
  "target minute -60 of the day: below 00:00, so just after each midnight|next 2026-06-02 00:00:00 UTC" ""
# A target the clock never reaches is never reached on any night, said once;
# one below 00:00 is just after midnight, and no "-1:00".
case_ "hour 25 in Berlin: never reached, not a list of nights" Europe/Berlin \
  'MOD_VELMORA_HOUR=25\nMOD_VELMORA_MINUTE=0\n' 0 "--count 1" "next never" \
  "^warning: target minute 1500 of the day is never reached: velmorad never restarts the host$|!not at all on"
case_ "hour -1 in Berlin: twice as the clock falls back, no -1:00" Europe/Berlin \
  'MOD_VELMORA_HOUR=-1\nMOD_VELMORA_MINUTE=0\n' 0 "--count 1" "" \
  "^warning: target minute -60 of the day \\(just after midnight\\) restarts the host twice on|!-1:00|!at another time"
# --check: one verdict line, and exit 1 when the daemon will not do what the
# file says.
while IFS='|' read -r name status text verdict pattern; do
  case_ "--check: $name" UTC "$text" "$status" "--check" "$verdict" "$pattern"
done <<'EOF'
clean|0|MOD_VELMORA_ENABLED="1"\nMOD_VELMORA_HOUR="3"\nMOD_VELMORA_MINUTE="0"\n|ok: restart daily at 03:00|
00:00 on purpose|0|MOD_VELMORA_HOUR=0\nMOD_VELMORA_MINUTE=0\n|ok: restart daily at 00:00|
a remark after the number, a line put out of use|0|#MOD_VELMORA_HOUR=4\nMOD_VELMORA_HOUR=3 # night\nMOD_VELMORA_MINUTE=0\n|ok: restart daily at 03:00|
blank before =|1|MOD_VELMORA_HOUR =3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|no line for MOD_VELMORA_HOUR
byte-order mark|1|\xef\xbb\xbfMOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|byte-order mark
later duplicate|1|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\nMOD_VELMORA_HOUR=4\n|bad: 1 problem|a later line
no minute|1|MOD_VELMORA_HOUR=3\n|bad: 1 problem|no line for MOD_VELMORA_MINUTE
hour 24: never|1|MOD_VELMORA_HOUR=24\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|never reaches
minute 90 wraps|1|MOD_VELMORA_HOUR=0\nMOD_VELMORA_MINUTE=90\n|bad: 1 problem|wrap round to 01:30
blank and quote|1|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE= "30"\n|bad: 1 problem|MINUTE is not a plain number \(a double quote before
single quotes|1|MOD_VELMORA_HOUR='3'\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|HOUR is not a plain number \(a single quote before
a word|1|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=thirty\n|bad: 1 problem|MINUTE is not a plain number \("t" before
export|1|export MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|"export" stands before the name
hour -1|1|MOD_VELMORA_HOUR=-1\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|a sign before the digits\): it reads as 4294967295
over 32 bits|1|MOD_VELMORA_HOUR=4294967299\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|above 4294967295
a quote inside the number|1|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=1"5\n|bad: 1 problem|MINUTE is not a plain number \(a double quote right after the digits\): it reads as 1$
a blank inside the number|1|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=1 5\n|bad: 1 problem|\(a blank within the number\): it reads as 1$
digits after the closing quote|1|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE="1"5\n|bad: 1 problem|\("5" right after the closing quote\): it reads as 1$
a quote never closed|1|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE="15\n|bad: 1 problem|\(a double quote that is never closed\): it reads as 0$
a word for ENABLED: one mistake|1|MOD_VELMORA_ENABLED=yes\nMOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|ENABLED is not a plain number \("y" before the digits\): it reads as 0|!not consulted
single quotes on each line: a mistake each|1|MOD_VELMORA_ENABLED='1'\nMOD_VELMORA_HOUR='3'\nMOD_VELMORA_MINUTE='0'\n|bad: 3 problems|
an empty file: one mistake|1||bad: 1 problem|settings is empty: every value is 0
a zero byte in the number|1|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=1\x005\n|bad: 1 problem|a zero byte after it, where the daemon stops reading the line\): it reads as 1$
ENABLED=0 is not consulted|1|MOD_VELMORA_ENABLED=0\nMOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|restarts all the same
a FIFO|1|fifo|bad: 1 problem|cannot be read \(a FIFO, not a regular file\): every value is 0
no file|1|none|bad: 1 problem|cannot be read \(No such file or directory\)
two export lines, two mistakes|1|export MOD_VELMORA_HOUR=3\nexport MOD_VELMORA_MINUTE=0\n|bad: 2 problems|"export" stands before the name
a plural|1|MOD_VELMORA_HOURS=3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|line 1: MOD_VELMORA_HOURS is not a name the daemon reads: MOD_VELMORA_HOUR was meant\?
a letter doubled|1|MOD_VELMORRA_HOUR=3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|line 1: MOD_VELMORRA_HOUR is not a name .*MOD_VELMORA_HOUR was meant
old Mac line ends|1|MOD_VELMORA_HOUR=3\rMOD_VELMORA_MINUTE=0\r|bad: 1 problem|line 1: a carriage return ends a line alone
a close spelling beside the key itself: a warning|0|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\nMOD_VELMORA_HOST=5\n|ok: restart daily at 03:00|MOD_VELMORA_HOST is not a name the daemon reads: MOD_VELMORA_HOUR was meant
another key is no near miss|0|MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\nMOD_OTHER_HOUR=5\n|ok: restart daily at 03:00|!was meant
two letters off: a close spelling|1|MOD_VELMORA_HOURSS=3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|line 1: MOD_VELMORA_HOURSS is not a name .*MOD_VELMORA_HOUR was meant
three letters off: no close spelling|1|MOD_VELMORA_HOURSSS=3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|no line for MOD_VELMORA_HOUR|!was meant
a line put out of use is not taken for a key|1|#MOD_VELMORA_HOURS=3\n#export MOD_VELMORA_HOUR=3\nMOD_VELMORA_MINUTE=0\n|bad: 1 problem|no line for MOD_VELMORA_HOUR|!was meant|!stands before
CRLF line ends are newlines|0|MOD_VELMORA_HOUR=3\r\nMOD_VELMORA_MINUTE=0\r\n|ok: restart daily at 03:00|!carriage return
EOF
# The daemon reads through the permission bits alone, whoever checks.
if ((EUID == 0)); then
  owner=nobody
  case_ "a file only its owner, nobody, can read" UTC "$at3" 0 "--from 2026-06-01_12:00 --count 1" \
    "MOD_VELMORA_HOUR=0 (no line for it)|next 2026-06-02 00:00:00 UTC" "cannot be read by the daemon"
  case_ "--check: a file only its owner, nobody, can read" UTC "$at3" 1 "--check" "bad: 1 problem" \
    "cannot be read by the daemon, which runs as uid 0 without capabilities \(owner 65534, group 0, mode 0600\)"
  owner=root as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
  case_ "--check as nobody: root's file, which the daemon reads" UTC "$at3" 1 "--check" "bad: 1 problem" \
    "cannot be read as uid 65534, so what the daemon reads is unknown here"
  case_ "as nobody: root's file, which the daemon reads, is not judged" UTC "$at3" 0 \
    "--from 2026-06-01_12:00 --count 1" \
    "settings $work/settings: read by the daemon (owner 0, group 0, mode 0600), but not here (Permission denied)|!target 00:00|!next 2026-06-02 00:00:00 UTC" \
    "cannot be read as uid 65534, so what the daemon reads is unknown here"
  parent=700
  case_ "as nobody: a file in root's closed directory is not judged" UTC "$at3" 0 \
    "--from 2026-06-01_12:00 --count 1" \
    "settings $work/sub/settings: cannot be read here (Permission denied), so what the daemon reads is unknown|!target 00:00|!next 2026-06-02 00:00:00 UTC" \
    "cannot be read as uid 65534, so what the daemon reads is unknown here"
  parent=""
  owner="" as=()
  # The edges of the permission rule: the owner's bits alone count for the
  # owner, the group's for its group, and every directory above must be
  # searchable.
  owner=root mode=600
  case_ "--check: a file only root may read, which the audit's user cannot" UTC "$at3" 0 "--check" \
    "ok: restart daily at 03:00" "cannot be read by velmora-audit's service, .*mode 0600.*UNKNOWN"
  case_ "a file only root may read: the audit's warning without --check too" UTC "$at3" 0 "--count 1" \
    "target 03:00" "cannot be read by velmora-audit's service, .*mode 0600.*UNKNOWN"
  owner=root mode=640
  case_ "--check: a file root's group may read, which the audit's user cannot" UTC "$at3" 0 "--check" \
    "ok: restart daily at 03:00" "cannot be read by velmora-audit's service, .*mode 0640.*UNKNOWN"
  owner=root mode=044
  case_ "--check: owner bits deny, though group and others may read" UTC "$at3" 1 "--check" \
    "bad: 1 problem" "cannot be read by the daemon"
  owner=nobody:root mode=040
  case_ "--check: group root may read" UTC "$at3" 0 "--check" "ok: restart daily at 03:00" ""
  owner=root mode=600 parent=644
  case_ "--check: a directory that can be read but not searched" UTC "$at3" 1 "--check" \
    "bad: 1 problem" "cannot be read by the daemon"
  owner="" mode=600 parent=""
fi
case_ "--from in the hour repeated in Berlin: the first, said so" Europe/Berlin "$at3" 0 \
  "--from 2026-10-25_02:30 --count 1" "from 2026-10-25 02:30:00 CEST|next 2026-10-25 03:00:00 CET" \
  "^warning: the clock shows --from twice .*taken as the first, 2026-10-25 02:30:00 CEST"
for bad in "2026-02-30_12:00" "2026-03-29_02:30"; do
  case_ "--from $bad: no such local time in Berlin" Europe/Berlin "$at3" 2 "--from $bad" "" \
    "^velmora-next: --from: no such local time"
done
case_ "--from not of the form, said so" UTC "$at3" 2 "--from 2026-1-2_3:4" "" \
  "^velmora-next: --from takes 'YYYY-MM-DD HH:MM' or 'YYYY-MM-DD HH:MM:SS'|!no such local time"
for bad in "-n 3" "--from 2026-06-01_12:00"; do
  case_ "--check $bad: refused, --check predicts nothing" UTC "$at3" 2 "--check $bad" "" \
    "^velmora-next: --check predicts no runs: it takes no --from or --count"
done
case_ "--count 1000, the bound" UTC "$at3" 0 "--from 2026-06-01_02:00 --count 1000" \
  "next 2026-06-01 03:00:00 UTC|next 2029-02-24 03:00:00 UTC" ""
case_ "--name=value and short options" UTC "$at3" 0 "--count=1 -f2026-06-01_02:00" \
  "next 2026-06-01 03:00:00 UTC" ""
case_ "-h" UTC "$at3" 0 "-h" \
  "usage: velmora-next [--settings PATH] [--from 'YYYY-MM-DD HH:MM[:SS]'] [--count N]|       velmora-next --check [--settings PATH]" ""
case_ "--help: usage on standard output" UTC "$at3" 0 "--help" \
  "usage: velmora-next [--settings PATH] [--from 'YYYY-MM-DD HH:MM[:SS]'] [--count N]|       velmora-next --check [--settings PATH]" ""
case_ "--version" UTC "$at3" 0 "--version" "velmora-next $version" ""
for bad in "--bogus" "-x" "stray" "--from 2026-06-01" "--from 2026-06-01_25:00" "--count 0" "--count 1001" \
           "--count 3x" "--count"; do
  case_ "bad option: $bad" UTC "$at3" 2 "$bad" "" "^usage: velmora-next"
done

# --spread: the three settings lines alone on standard output, warnings on
# standard error; a window or option it cannot take refused, saying what is
# wrong. --place needs no machine ID.
while IFS=';' read -r name zone text status args out err; do
  case_ "--spread: $name" "$zone" "$text" "$status" "$args" "$out" "$err"
done <<'EOF'
host 2 of 3 in Chatham, in TZ's zone, said so;Pacific/Chatham;-;0;--spread 03:00-04:00 --place 2/3;#3|MOD_VELMORA_ENABLED=1|MOD_VELMORA_HOUR=3|MOD_VELMORA_MINUTE=52;^warning: TZ=Pacific/Chatham is not /etc/localtime .*: the minute is chosen in Pacific/Chatham$
no TZ: nothing to say;-;-;0;--spread 03:00-04:00 --place 1/2;#3|MOD_VELMORA_MINUTE=15;!.
more than 12 hours: a warning;UTC;-;0;--spread 04:00-03:00 --place 1/1;#3|MOD_VELMORA_HOUR=15|MOD_VELMORA_MINUTE=30;^warning: the window 04:00-03:00 lasts 23 hours, more than 12
the repeated hour ends at midnight: a fallback and its nights;America/Santiago;-;0;--spread 23:30-00:30 --place 1/1;#3|MOD_VELMORA_HOUR=23|MOD_VELMORA_MINUTE=45;^warning: no minute in 23:30-00:30 restarts the host only once .*; 23:45 restarts it at its minute every night, but twice on [0-9]{4}-04-0[1-7], as the clock moves$
late on one night, twice on the other: none;Europe/Berlin;-;1;--spread 02:00-03:00 --place 1/1;#0;^velmora-next: no minute in 02:00-03:00 restarts the host once every night, nor at its minute every night
a sign for the start's minute;UTC;-;2;--spread 01:+3-04:00;#0;^velmora-next: --spread takes a window HH:MM-HH:MM \(the start's minute is not two digits\): 01:\+3-04:00$
a blank for a digit;UTC;-;2;--spread 01:_3-04:00;#0;\(the start's minute is not two digits\): 01: 3-04:00$
a sign for the end's minute;UTC;-;2;--spread 01:30-04:-0;#0;\(the end's minute is not two digits\): 01:30-04:-0$
an hour past the day;UTC;-;2;--spread 24:00-01:00;#0;\(the start's hour is above 23\)
with --check;UTC;-;2;--spread 03:00-04:00 --check;#0;^velmora-next: --spread takes no --check
with --count;UTC;-;2;--spread 03:00-04:00 -n 3;#0;^velmora-next: --spread takes no --count
with --settings;UTC;MOD_VELMORA_HOUR=3\n;2;--spread 03:00-04:00;#0;^velmora-next: --spread takes no --settings
--place without it;UTC;-;2;--place 1/3;#0;^velmora-next: --place takes effect only with --spread
--place beyond the fleet;UTC;-;2;--spread 03:00-04:00 --place 4/3;#0;^velmora-next: --place takes K/N
EOF
# Without --place, the machine ID's minute: the same on every run, and none
# without an ID.
if ((EUID == 0)) && [[ -e /etc/machine-id ]]; then
  for id in 0123456789abcdef0123456789abcdef ""; do
    echo "$id" >"$work/machine-id"
    as=(unshare -m sh -c 'mount --bind "$0" /etc/machine-id && exec "$@"' "$work/machine-id")
    if [[ -n $id ]]; then
      case_ "--spread: the machine ID's minute" UTC - 0 "--spread 03:00-04:00" \
        "#3|MOD_VELMORA_HOUR=3|MOD_VELMORA_MINUTE=42" ""
    else
      case_ "--spread: no machine ID" UTC - 1 "--spread 03:00-04:00" "#0" \
        "^velmora-next: /etc/machine-id holds no machine ID"
    fi
  done
  as=()
fi

# Files of millions of lines, each read as a key, or a close spelling of one
# that is looked at for every line: the warnings are counted, not kept, and
# each run ends in time.
echo x >"$work/small"
# peak FILE: the peak memory in KiB; the lines of warnings, at most 1000, are
# left in "$work/warnings", and the exit status is the run's.
peak() {
  /usr/bin/time -o "$work/time" -f %M timeout 120 "$next" --settings "$1" 2>&1 >/dev/null |
    head -n 1000 >"$work/warnings"
  local status=${PIPESTATUS[0]}
  tail -n 1 "$work/time"
  return "$status"
}
small=$(peak "$work/small") why=""
for step in "MOD_VELMORA_HOUR=3 100M key" "MOD_VELMORA_HOURS=3 10M misspelt"; do
  read -r text size kind <<<"$step"
  yes "$text" | head -c "$size" >"$work/big"
  big=$(peak "$work/big") || why+=", exit status $? on $kind lines"
  lines=$(wc -l <"$work/warnings")
  ((big - small < 20480 && lines < 100)) ||
    why+=", $size of $kind lines: $big KiB at peak (one line: $small KiB), $lines lines of warnings"
done
rm -f "$work/big"
if [[ -z $why ]]; then
  echo "ok    100 MB of key lines, 10 MB of misspelt ones: memory and warnings bounded"; ((++passed))
else
  echo "FAIL  millions of lines${why}"; ((++failed))
fi

echo "$passed passed, $failed failed"
((failed == 0))
