#!/usr/bin/env bash
# Converts every sample message in this folder in the formats that show it
# best, printing the program's output and exit status for each.
set -u
program=${1:?usage: convert_examples.sh PATH_TO_Kaldo_Command_Line}
cd "$(dirname "$0")"
for file in *.sbd *.eml; do
  for format in 2 7 3 10; do
    printf '==> %s, format %s\n' "$file" "$format"
    "$program" "$file" "$format"
    printf '\n(exit status %s)\n\n' "$?"
  done
done
