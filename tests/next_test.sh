#!/usr/bin/env bash
# velmora-next through the real executable: a table of settings files,
# zones and start times, with the lines it must print and its exit status.
#
#   tests/next_test.sh VELMORA_NEXT VERSION
set -uo pipefail
next=$1 version=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
passed=0 failed=0

# case NAME ZONE SETTINGS STATUS 'ARGS' 'STDOUT LINES' 'STDERR PATTERNS'
# SETTINGS is the file's text (printf format), "none" for no file, "fifo" or
# "fifo+writer" for a FIFO without a writer or with one that never writes,
# "dir" for a directory, or "@PATH" for a link to PATH. The expected lines
# and patterns are separated by "|", and each must appear. A run that takes
# longer than 2 seconds fails.
case_() {
  local name=$1 zone=$2 text=$3 status=$4 args=$5 want_out=$6 want_err=$7
  local file=$work/settings ok=1 line writer=""
  rm -rf "$file"
  case $text in
    none) ;;
    fifo) mkfifo "$file" ;;
    fifo+writer) mkfifo "$file"; sleep 60 <>"$file" & writer=$! ;;
    dir) mkdir "$file" ;;
    @*) ln -s "${text#@}" "$file" ;;
    *) printf "$text" >"$file" ;;
  esac
  local -a argv
  read -ra argv <<<"$args"
  TZ=$zone timeout 2 "$next" --settings "$file" "${argv[@]//_/ }" >"$work/out" 2>"$work/err"
  local got=$?
  [[ -n $writer ]] && kill "$writer"
  ((got == status)) || { echo "  exit status $got, expected $status"; ok=0; }
  local IFS='|'
  for line in $want_out; do
    grep -qxF -- "$line" "$work/out" || { echo "  no line: $line"; ok=0; }
  done
  for line in $want_err; do
    grep -qE -- "$line" "$work/err" || { echo "  no warning: $line"; ok=0; }
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
  "^warning: .* cannot be read: every value is 0"
case_ "hour 24: never" UTC 'MOD_VELMORA_HOUR=24\nMOD_VELMORA_MINUTE=0\n' 0 "--from 2026-06-01_12:00" \
  "next never" "^warning: .*never reaches"
case_ "fall back in Berlin: 02:30 twice" Europe/Berlin 'MOD_VELMORA_HOUR=2\nMOD_VELMORA_MINUTE=30\n' 0 \
  "--from 2026-10-24_12:00 --count 3" \
  "next 2026-10-25 02:30:00 CEST|next 2026-10-25 02:30:00 CET|next 2026-10-26 02:30:00 CET" ""
case_ "spring forward in Berlin: after the jump" Europe/Berlin 'MOD_VELMORA_HOUR=2\nMOD_VELMORA_MINUTE=30\n' 0 \
  "--from 2026-03-28_12:00 --count 1" "next 2026-03-29 03:00:00 CEST" ""
case_ "shadowed duplicate" UTC 'MOD_VELMORA_HOUR=\nMOD_VELMORA_HOUR=3\n' 0 "--from 2026-06-01_12:00 --count 1" \
  "MOD_VELMORA_HOUR=0 (line 1)" "^warning: line 2: a later line for MOD_VELMORA_HOUR is ignored: line 1"
case_ "blank before =" UTC 'MOD_VELMORA_HOUR =3\n' 0 "--from 2026-06-01_12:00 --count 1" \
  "MOD_VELMORA_HOUR=0 (no line for it)" \
  '^warning: line 1: names MOD_VELMORA_HOUR but is not read as it: a blank stands before "="'
case_ "blanks before the name" UTC ' MOD_VELMORA_MINUTE=5\n' 0 "--from 2026-06-01_12:00 --count 1" \
  "" "^warning: line 1: names MOD_VELMORA_MINUTE but is not read as it: blanks stand before the name"
case_ "lines counted, not pieces" UTC "$(printf '%020000d' 0)\nMOD_VELMORA_HOUR=3\n" 0 "--count 1" \
  "MOD_VELMORA_HOUR=3 (line 2)" ""
case_ "byte-order mark" UTC '\xef\xbb\xbfMOD_VELMORA_MINUTE=3\n' 0 "--from 2026-06-01_12:00 --count 1" \
  "" "^warning: line 1: names MOD_VELMORA_MINUTE .*byte-order mark"
for odd in fifo fifo+writer @/dev/zero dir; do
  case_ "$odd: cannot be read, every value 0" UTC "$odd" 0 "--from 2026-06-01_12:00 --count 1" \
    "next 2026-06-02 00:00:00 UTC" "^warning: .* cannot be read: every value is 0"
done
case_ "read error" UTC @/proc/self/mem 0 "--from 2026-06-01_12:00 --count 1" \
  "next 2026-06-02 00:00:00 UTC" "^warning: reading .* failed at line 1 \(Input/output error\)"
case_ "misspelt zone: UTC" Europe/Berlinn "$at3" 0 "--from 2026-06-01_02:00 --count 1" \
  "next 2026-06-01 03:00:00 Europe" "^warning: zone Europe/Berlinn cannot be loaded .*UTC"
case_ "--help: usage on standard output" UTC "$at3" 0 "--help" \
  "usage: velmora-next [--settings PATH] [--from 'YYYY-MM-DD HH:MM[:SS]'] [--count N]" ""
case_ "--version" UTC "$at3" 0 "--version" "velmora-next $version" ""
for bad in "--bogus" "--from 2026-06-01" "--from 2026-06-01_25:00" "--count 0" "--count 1001" \
           "--count 3x" "--count"; do
  case_ "bad option: $bad" UTC "$at3" 2 "$bad" "" "^usage: velmora-next"
done

# A file of millions of key lines: the warnings are counted, not kept.
yes MOD_VELMORA_HOUR=3 | head -c 100M >"$work/big"
echo x >"$work/small"
peak() { /usr/bin/time -f %M timeout 120 "$next" --settings "$1" 2>&1 >/dev/null | tail -n 1; }
small=$(peak "$work/small") big=$(peak "$work/big")
lines=$(timeout 120 "$next" --settings "$work/big" 2>&1 >/dev/null | wc -l)
if ((big - small < 20480 && lines < 100)); then
  echo "ok    100 MB of key lines: $((big / 1024)) MB at peak, $lines lines of warnings"; ((++passed))
else
  echo "FAIL  100 MB of key lines: $big KiB at peak (one line: $small KiB), $lines lines of warnings"
  ((++failed))
fi

echo "$passed passed, $failed failed"
((failed == 0))
