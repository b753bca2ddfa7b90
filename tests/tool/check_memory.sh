#!/usr/bin/env bash
# Peak memory of kaldo convert on a large mbox and on an e-mail with a 1 GB
# attachment: each must stay under the limit (default 100 MB). The inputs
# are generated here and deleted after.
#   tests/tool/check_memory.sh PATH_TO_kaldo [LIMIT_MB] [MBOX_MESSAGES] [ATTACHMENT_BYTES]
set -euo pipefail
kaldo=$(realpath "${1:?usage: check_memory.sh PATH_TO_kaldo [LIMIT_MB]}")
limit_mb=${2:-100}
messages=${3:-100000}
bytes=${4:-1073741824}
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

python3 "$here/../../bench/make_inputs.py" mbox "$messages" "$work/large.mbox"
python3 "$here/../../bench/make_inputs.py" attachment "$bytes" "$work/huge_attachment.eml"

status=0
for input in large.mbox huge_attachment.eml; do
  size=$(stat -c %s "$work/$input")
  /usr/bin/time -v -o "$work/time.txt" "$kaldo" convert --format 7 --quiet -o "$work/out" "$work/$input" || true
  peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time.txt")
  printf '%s (%d bytes): peak RSS %d KB, %s elapsed\n' "$input" "$size" "$peak_kb" "$seconds"
  if ((peak_kb > limit_mb * 1024)); then
    echo "!! $input: peak RSS above ${limit_mb} MB"
    status=1
  fi
  rm -rf "$work/out"
done
exit $status
