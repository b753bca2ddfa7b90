#!/usr/bin/env bash
# kaldo convert on whole archives, in one run on one machine:
#  1. N one-report .sbd files in format 7: kaldo convert against the
#     README's per-file xargs pipeline and against copy_loop, a plain loop
#     that only reads each file and writes an output of the same size;
#  2. one mbox of N service e-mails: messages a second, against
#     mbox_parse_loop, GMime parsing the same mbox and nothing else (one
#     thread, and two threads each parsing half).
#   bench/archive_bench.sh [N] [BUILD_DIR] [REPS] [files|mbox|all]
# KALDO_BASELINE=PATH also times another kaldo (an earlier build) on the
# same files in the same runs, for the cost of a change.
# Needs python3 (the inputs are written by Python's email and mailbox).
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-100000}
build=${2:-build-bench}
reps=${3:-3}
parts=${4:-all}
cmake -S . -B "$build" -G Ninja -DKALDO_BUILD_BENCH=ON -DKALDO_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j2 --target kaldo_program Kaldo_Command_Line copy_loop mbox_parse_loop >/dev/null
kaldo=$(realpath "$build/tool/kaldo")
single=$(realpath "$build/Kaldo_Command_Line")
copy_loop=$(realpath "$build/bench/copy_loop")
parse_loop=$(realpath "$build/bench/mbox_parse_loop")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# KALDO_BENCH_INPUTS=DIR keeps the inputs (DIR/sbd, DIR/archive.mbox) for
# the next run: writing them takes longer than the benchmark.
inputs=${KALDO_BENCH_INPUTS:-$work}

echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | xargs)"
echo "inputs: $count one-report .sbd files, an mbox of $count service e-mails"
[[ $parts == mbox || -d "$inputs/sbd" ]] || python3 bench/make_inputs.py sbd-files "$count" "$inputs/sbd"
[[ $parts == files || -f "$inputs/archive.mbox" ]] || python3 bench/make_inputs.py mbox "$count" "$inputs/archive.mbox"
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


# kaldo and the floor alternate, REPS times each (default 3); medians count.
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print (NR%2 ? a[(NR+1)/2] : (a[NR/2]+a[NR/2+1])/2)}'; }
if [[ $parts != mbox ]]; then
  copies=(); kaldos=(); kaldos1=(); baselines=()
  for ((i = 0; i < reps; i++)); do
    if [[ -n ${KALDO_BASELINE:-} ]]; then
      fresh; baselines+=("$(seconds "$KALDO_BASELINE" convert --format 7 --quiet -o "$work/out" "$inputs/sbd")")
    fi
    fresh; copies+=("$(seconds "$copy_loop" "$work/out" "$inputs/sbd")")
    fresh; kaldos+=("$(seconds "$kaldo" convert --format 7 --quiet -o "$work/out" "$inputs/sbd")")
    kaldo_outputs=$(ls "$work/out" | wc -l)
    fresh; kaldos1+=("$(seconds "$kaldo" convert --format 7 --quiet --jobs 1 -o "$work/out" "$inputs/sbd")")
  done
  t_copy=$(median "${copies[@]}")
  t_kaldo=$(median "${kaldos[@]}")
  t_kaldo1=$(median "${kaldos1[@]}")
  [[ -z ${KALDO_BASELINE:-} ]] || t_baseline=$(median "${baselines[@]}")
  # The README's line as it stands: outputs beside the inputs.
  t0=$EPOCHREALTIME
  (
    export PATH="$(dirname "$single"):$PATH"
    find "$inputs/sbd" -name '*.sbd' -print0 |
      xargs -0 -n1 -P2 sh -c 'Kaldo_Command_Line "$1" 7 > "$1.txt" || echo "$1: exit status $?" >&2' sh
  ) >/dev/null 2>&1 || true
  t1=$EPOCHREALTIME
  t_xargs=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.2f", b - a}')
  xargs_outputs=$(find "$inputs/sbd" -name '*.sbd.txt' | wc -l)
  find "$inputs/sbd" -name '*.sbd.txt' -delete
fi
if [[ $parts != files ]]; then
  mboxes=(); parses=(); parses2=(); writes=()
  for ((i = 0; i < reps; i++)); do
    parses+=("$(seconds "$parse_loop" "$inputs/archive.mbox" 1)")
    parses2+=("$(seconds "$parse_loop" "$inputs/archive.mbox" 2)")
    fresh; writes+=("$(seconds "$parse_loop" "$inputs/archive.mbox" 1 "$work/out")")
    fresh; mboxes+=("$(seconds "$kaldo" convert --format 7 --quiet -o "$work/out" "$inputs/archive.mbox")")
    converted=$(ls "$work/out" | wc -l)
  done
  t_mbox=$(median "${mboxes[@]}")
  t_parse=$(median "${parses[@]}")
  t_parse2=$(median "${parses2[@]}")
  t_write=$(median "${writes[@]}")
fi

if [[ $parts != mbox ]]; then
  printf '%-44s %8s s\n' "copy_loop (read, write same size; 1 thread)" "$t_copy"
  printf '%-44s %8s s (%d outputs)\n' "kaldo convert (--jobs $(nproc))" "$t_kaldo" "$kaldo_outputs"
  printf '%-44s %8s s\n' "kaldo convert --jobs 1" "$t_kaldo1"
  printf '%-44s %8s s (%d outputs)\n' "README xargs pipeline (-P2)" "$t_xargs" "$xargs_outputs"
  awk -v k="$t_kaldo" -v k1="$t_kaldo1" -v c="$t_copy" -v x="$t_xargs" 'BEGIN {
    printf "kaldo against xargs:     %.1f times faster (goal: at least 10)\n", x / k
    printf "kaldo against copy_loop: %.2f times its time, %.2f with one job (goal: at most 1.5)\n", k / c, k1 / c }'
  if [[ -n ${KALDO_BASELINE:-} ]]; then
    awk -v k="$t_kaldo" -v b="$t_baseline" -v path="$KALDO_BASELINE" 'BEGIN {
      printf "%-44s %8.2f s\nkaldo against the baseline: %.2f times its time\n", "baseline " path, b, k / b }'
  fi
fi
if [[ $parts != files ]]; then
  awk -v n="$count" -v t="$t_mbox" -v m="$converted" -v p="$t_parse" -v p2="$t_parse2" -v w="$t_write" 'BEGIN {
    printf "GMime parsing the mbox alone: %.2f s (%.0f e-mails a second); two threads: %.2f s\n", p, n / p, p2
    printf "GMime parsing and writing a file per e-mail: %.2f s (%.0f a second)\n", w, n / w
    printf "mbox of %d e-mails: %.2f s, %.0f messages a second, %d outputs (goal: at least 20000); %.2f times the parsing and writing\n", n, t, n / t, m, t / w }'
fi
