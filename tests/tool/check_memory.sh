#!/usr/bin/env bash
# Peak memory of kaldo convert on a large mbox, on an e-mail with a 1 GB
# attachment, and on that e-mail in a gzip-compressed mbox (which cannot be
# read twice: the e-mail waits in a temporary file, about 1.4 GB in $TMPDIR
# or /tmp): each must stay under the limit (default 100 MB). The inputs are
# generated here and deleted after.
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
python3 "$here/../../bench/make_inputs.py" attachment-mbox-gz "$bytes" "$work/huge_attachment.mbox.gz"

# Each input with the messages it holds: a reading that gave up early would
# pass on memory alone.
declare -A messages_in=([large.mbox]=$messages [huge_attachment.eml]=1 [huge_attachment.mbox.gz]=2)
status=0
for input in large.mbox huge_attachment.eml huge_attachment.mbox.gz; do
  size=$(stat -c %s "$work/$input")
  /usr/bin/time -v -o "$work/time.txt" "$kaldo" convert --format 7 --quiet -o "$work/out" \
    --report "$work/report.json" "$work/$input" || true
  peak_kb=$(awk -F': ' '/Maximum resident set size/ {print $2}' "$work/time.txt")
  seconds=$(awk -F': ' '/Elapsed \(wall clock\)/ {print $2}' "$work/time.txt")
  found=$(python3 -c 'import json, sys; print(json.load(open(sys.argv[1]))["totals"]["messages"])' "$work/report.json")
  printf '%s (%d bytes): %d messages, peak RSS %d KB, %s elapsed\n' "$input" "$size" "$found" "$peak_kb" "$seconds"
  if ((peak_kb > limit_mb * 1024)); then
    echo "!! $input: peak RSS above ${limit_mb} MB"
    status=1
  fi
  if ((found != messages_in[$input])); then
    echo "!! $input: ${messages_in[$input]} messages expected"
    status=1
  fi
  rm -rf "$work/out"
done
exit $status
