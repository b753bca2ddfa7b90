// Conversion speed in process: the largest message (255 reports) of both
// layouts in all ten formats, the SMS path, and one whole run.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "kaldo/kaldo.h"
#include "convert/decode_message.h"
#include "bench/bench_messages.h"
#include "decode/message_layout.h"

using namespace kaldo::detail;

namespace {

void decode_largest(benchmark::State& state) {
  const int type = static_cast<int>(state.range(0));
  const int format = static_cast<int>(state.range(1));
  const std::string message = largest_message(type);
  gps_report_convert record;
  set_modem_id(record, "300034012345670");
  set_format_number(record, format);
  std::string out;
  for (auto _ : state) {
    out.clear();
    const int result = decode_message(
        record, reinterpret_cast<const unsigned char*>(message.data()), message.size(), out);
    if (result != 0) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations() * max_report_count);
  state.SetLabel("type " + std::to_string(type) + ", format " + std::to_string(format));
}

void decode_sms(benchmark::State& state) {
  std::string text = "g1";
  static const char hex[] = "0123456789ABCDEF";
  for (unsigned char c : bench_packed_report(5)) {
    text += hex[c >> 4];
    text += hex[c & 15];
  }
  gps_report_convert record;
  set_input_mode(record, 2);
  set_format_number(record, 7);
  std::string out;
  for (auto _ : state) {
    out.clear();
    decode_message(record, reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                   out);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(state.iterations());
}

// The public calls on the largest message: the typed decoding against the
// format 7 text it follows. Both make a fresh decoder record per call.
kaldo::message public_message(const std::string& bytes) {
  kaldo::message msg;
  msg.bytes = bytes;
  return msg;
}

kaldo::settings public_settings() {
  kaldo::settings how;
  how.format = 7;
  how.modem_id = "300034012345670";
  return how;
}

void typed(benchmark::State& state) {
  const int type = static_cast<int>(state.range(0));
  const std::string bytes = largest_message(type);
  const kaldo::message msg = public_message(bytes);
  const kaldo::settings how = public_settings();
  for (auto _ : state) {
    const kaldo::decoded_message decoded = kaldo::decode_message(msg, how);
    if (decoded.result != kaldo::outcome::converted) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(decoded.reports.data());
  }
  state.SetItemsProcessed(state.iterations() * max_report_count);
  state.SetLabel("type " + std::to_string(type));
}

void text_format_7(benchmark::State& state) {
  const int type = static_cast<int>(state.range(0));
  const std::string bytes = largest_message(type);
  const kaldo::message msg = public_message(bytes);
  const kaldo::settings how = public_settings();
  for (auto _ : state) {
    const kaldo::conversion converted = kaldo::convert_message(msg, how);
    if (!converted.converted()) state.SkipWithError("conversion failed");
    benchmark::DoNotOptimize(converted.text.data());
  }
  state.SetItemsProcessed(state.iterations() * max_report_count);
  state.SetLabel("type " + std::to_string(type));
}

void whole_run(benchmark::State& state) {
  const std::string path = "/tmp/kaldo_bench_300034012345670_1.sbd";
  {
    const std::string message = largest_message(1);
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(message.data(), 1, message.size(), f);
    std::fclose(f);
  }
  std::FILE* sink = std::fopen("/dev/null", "wb");
  kaldo::settings how;
  how.format = 7;
  for (auto _ : state) {
    const kaldo::file_conversion run = kaldo::convert_file(path, how);
    std::fwrite(run.output.data(), 1, run.output.size(), sink);
  }
  std::fclose(sink);
  std::remove(path.c_str());
  state.SetItemsProcessed(state.iterations() * max_report_count);
}

}  // namespace

BENCHMARK(decode_largest)->ArgsProduct({{1, 3}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10}});
BENCHMARK(typed)->Arg(1)->Arg(3);
BENCHMARK(text_format_7)->Arg(1)->Arg(3);
BENCHMARK(decode_sms);
BENCHMARK(whole_run);
BENCHMARK_MAIN();
