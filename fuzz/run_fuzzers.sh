#!/usr/bin/env bash
# Builds the fuzz targets with clang and runs each for SECONDS (default 60),
# starting from the checked-in corpus. Fails on any crash, leak or
# sanitizer report. Findings land in fuzz/findings/.
#   fuzz/run_fuzzers.sh [SECONDS] [TARGET...]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
shift || true
targets=("$@")
((${#targets[@]})) || targets=(fuzz_decode_message fuzz_email fuzz_arguments fuzz_modem_id_scan fuzz_email_sources
  fuzz_directip fuzz_webhook_body)

cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_COMPILER=clang++ -DKALDO_BUILD_TESTS=OFF -DKALDO_BUILD_FUZZ=ON -DKALDO_STATIC_EXECUTABLE=OFF \
  -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all" >/dev/null
cmake --build build-fuzz --target "${targets[@]}"

mkdir -p fuzz/findings
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
for target in "${targets[@]}"; do
  work=$(mktemp -d)  # new inputs go here; the checked-in corpus stays small
  log=$(mktemp)
  echo "== $target for ${seconds}s"
  # 9000 bytes holds the largest message (7,211 bytes) and more.
  if build-fuzz/fuzz/"$target" -max_total_time="$seconds" -timeout=10 \
      -rss_limit_mb=2048 -max_len=9000 -print_final_stats=1 \
      -artifact_prefix=fuzz/findings/"$target"- "$work" fuzz/corpus/"$target" >"$log" 2>&1; then
    grep -E '^(Done|stat::number_of_executed_units|stat::new_units_added|stat::peak_rss_mb)' "$log"
  else
    tail -n 80 "$log"
    echo "!! $target found a problem; the input is in fuzz/findings/"
    status=1
  fi
  rm -rf "$work" "$log"
done
exit $status
