#!/usr/bin/env bash
# kaldo convert on whole archives, in one run on one machine:
#  1. N one-report .sbd files in format 7: kaldo convert against the
#     README's per-file xargs pipeline and against copy_loop, a plain loop
#     that only reads each file and writes an output of the same size;
#  2. one mbox of N service e-mails: messages a second.
#   bench/archive_bench.sh [N] [BUILD_DIR]
# Needs python3 (the inputs are written by Python's email and mailbox).
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-100000}
build=${2:-build-bench}
cmake -S . -B "$build" -G Ninja -DKALDO_BUILD_BENCH=ON -DKALDO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kaldo_program Kaldo_Command_Line copy_loop >/dev/null
kaldo=$(realpath "$build/kaldo/kaldo")
single=$(realpath "$build/Kaldo_Command_Line")
copy_loop=$(realpath "$build/bench/copy_loop")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "inputs: $count one-report .sbd files, an mbox of $count service e-mails"
python3 bench/make_inputs.py sbd-files "$count" "$work/sbd"
python3 bench/make_inputs.py mbox "$count" "$work/archive.mbox"
sync

# Seconds of wall time of a command, from the shell's own clock.
seconds() {
  local t0=$EPOCHREALTIME
  "$@" >/dev/null 2>&1 || true
  local t1=$EPOCHREALTIME
  awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}'
}
# Every run writes into a fresh folder, as a user's first run does.
fresh() { rm -rf "$work/out"; mkdir -p "$work/out"; sync; }


fresh; t_copy=$(seconds "$copy_loop" "$work/out" "$work/sbd")
fresh; t_kaldo=$(seconds "$kaldo" convert --format 7 --quiet -o "$work/out" "$work/sbd")
fresh; t_kaldo1=$(seconds "$kaldo" convert --format 7 --quiet --jobs 1 -o "$work/out" "$work/sbd")
fresh
t0=$EPOCHREALTIME
find "$work/sbd" -name '*.sbd' -print0 |
  xargs -0 -n1 -P2 sh -c '"$0" "$1" 7 > "$2/${1##*/}.txt" || echo "$1: exit status $?" >&2' \
    "$single" "$work/out" >/dev/null 2>&1 || true
t1=$EPOCHREALTIME
t_xargs=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}')
fresh; t_mbox=$(seconds "$kaldo" convert --format 7 --quiet -o "$work/out" "$work/archive.mbox")
converted=$(ls "$work/out" | wc -l)

printf '%-44s %8s s\n' "copy_loop (read, write same size; 1 thread)" "$t_copy"
printf '%-44s %8s s\n' "kaldo convert (--jobs $(nproc))" "$t_kaldo"
printf '%-44s %8s s\n' "kaldo convert --jobs 1" "$t_kaldo1"
printf '%-44s %8s s\n' "README xargs pipeline (-P2)" "$t_xargs"
awk -v k="$t_kaldo" -v k1="$t_kaldo1" -v c="$t_copy" -v x="$t_xargs" 'BEGIN {
  printf "kaldo against xargs:     %.1f times faster (goal: at least 10)\n", x / k
  printf "kaldo against copy_loop: %.2f times its time, %.2f with one job (goal: at most 1.5)\n", k / c, k1 / c }'
awk -v n="$count" -v t="$t_mbox" -v m="$converted" 'BEGIN {
  printf "mbox of %d e-mails: %.2f s, %.0f messages a second, %d outputs (goal: at least 20000)\n", n, t, n / t, m }'
