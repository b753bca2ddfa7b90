#!/usr/bin/env bash
# Whole-process cost of one conversion against the floor, `cat` of the same
# file: start a process, read the file, write the output.
#   bench/compare_with_cat.sh [PROGRAM] [RUNS]
# Runs the two alternately (RUNS each, default 300), prints both medians,
# their ratio and the peak resident memory of each.
set -euo pipefail
cd "$(dirname "$0")/.."
program=$(realpath "${1:-build/Kaldo_Command_Line}")
runs=${2:-300}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A one-report message of type 1, as a tracker sends it.
printf '\001\001\014\036\005\372\000\010\005\021\041\055\322\004\165\062\322\004\011\173\000\000\000\004\014\000\003\320\021\200' \
  > "$work/300034012345670_1.sbd"
file=$work/300034012345670_1.sbd
"$program" "$file" 7 >/dev/null

# Times in microseconds from the shell itself: timing starts no process.
declare -a ours theirs
for ((i = 0; i < runs; i++)); do
  t0=${EPOCHREALTIME/./}; "$program" "$file" 7 >/dev/null; t1=${EPOCHREALTIME/./}
  cat "$file" >/dev/null; t2=${EPOCHREALTIME/./}
  ours+=($((t1 - t0))); theirs+=($((t2 - t1)))
done
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
m_ours=$(median "${ours[@]}")
m_cat=$(median "${theirs[@]}")
peak() { /usr/bin/time -v "$@" 2>&1 >/dev/null | awk -F': ' '/Maximum resident/ {print $2}'; }
echo "runs each:            $runs (alternating)"
echo "Kaldo_Command_Line:   median ${m_ours} us, peak $(peak "$program" "$file" 7) KB"
echo "cat:                  median ${m_cat} us, peak $(peak cat "$file") KB"
awk -v a="$m_ours" -v b="$m_cat" 'BEGIN {printf "ratio:                %.2f x cat\n", a / b}'
