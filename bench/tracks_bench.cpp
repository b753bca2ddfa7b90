// The pieces of `kaldo tracks` measured on many .sbd files: generate an
// archive, and run the whole path (read, decode, de-duplicate, build
// lines, write through GDAL) with the timings of its phases on stderr.
// Run into a .csv, it makes the points ogr2ogr loads for comparison.
//   tracks_bench generate DIR UNITS MESSAGES   250 reports a message
//   tracks_bench run DIR DEST
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tool/fleet_builder.h"
#include "kaldo/kaldo.h"
#include "tool/outputs/fleet_output.h"
#include "tests/test_support.h"

namespace fs = std::filesystem;
using namespace kaldo::tool;

namespace {

constexpr int reports_per_message = 250;

// Report `k` of a unit: one a minute from 1 May 2008, moving north-east a
// little each time, so every report is a distinct point.
std::string report_of(int unit, int k) {
  packed_fields f;
  const int minute_of_run = k;
  f.day = 1 + minute_of_run / 1440;
  f.month = 5 + (f.day - 1) / 28;
  f.day = 1 + (f.day - 1) % 28;
  f.hour = minute_of_run / 60 % 24;
  f.minute = minute_of_run % 60;
  f.second = unit % 60;
  f.hundredths = k % 100;
  f.lat_degrees = 30 + unit % 20;
  f.lat_minutes = k / 1000 % 60;
  f.lat_fraction_12 = k % 100;
  f.lat_fraction_34 = k / 100 % 10 * 10 + unit % 10;
  f.lon_degrees = 100 + unit % 50;
  f.lon_minutes = k / 500 % 60;
  f.lon_fraction_23 = k * 7 % 100;
  f.emergency = k % 997 == 0;
  return packed_report(f);
}

int generate(const std::string& directory, int units, int messages) {
  fs::create_directories(directory);
  for (int m = 0; m < messages; ++m) {
    const int unit = m % units;
    const int first = m / units * reports_per_message;
    std::vector<std::string> reports;
    for (int r = 0; r < reports_per_message; ++r) reports.push_back(report_of(unit, first + r));
    char name[64];
    std::snprintf(name, sizeof name, "/3000340123%05d_%06d.sbd", unit, m);
    std::ofstream(directory + name, std::ios::binary) << make_message(3, reports);
  }
  return 0;
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int write_points(const std::string& directory, const std::string& destination) {
  const auto start = std::chrono::steady_clock::now();
  std::string error;
  auto sink = open_fleet_output(destination, {}, &error);
  if (sink == nullptr) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  std::vector<track_point> stored;
  if (!sink->read_stored(&stored, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  std::vector<fs::path> files;
  std::uintmax_t bytes_in = 0;
  for (const auto& entry : fs::directory_iterator(directory)) {
    files.push_back(entry.path());
    bytes_in += entry.file_size();
  }
  std::sort(files.begin(), files.end());
  fleet_builder builder;
  // As `kaldo tracks` does: room for as many points as the bytes can hold.
  builder.reserve(stored.size() + bytes_in / 28);
  for (auto& point : stored) builder.add_stored(std::move(point));
  std::string bytes;
  for (const fs::path& file : files) {
    std::ifstream in(file, std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), {});
    kaldo::settings how;
    how.modem_id = kaldo::modem_id_from_file_name(file.filename().string());
    const kaldo::decoded_message decoded = kaldo::decode_message({bytes}, how);
    builder.add(decoded, {file.string(), ""});
  }
  const double reading = seconds_since(start);
  fleet built = builder.finish();
  const fleet_counts counts = builder.counts();
  const double building = seconds_since(start) - reading;
  if (!sink->write(built, &error)) {
    std::fprintf(stderr, "%s\n", error.c_str());
    return 2;
  }
  const double writing = seconds_since(start) - reading - building;
  std::fprintf(stderr,
               "%zu files, %zu reports, %zu points: read+decode+de-duplicate %.2f s, "
               "lines %.2f s, write %.2f s\n",
               files.size(), counts.reports, counts.added, reading, building, writing);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "generate") {
    return generate(args[1], std::stoi(args[2]), std::stoi(args[3]));
  }
  if (args.size() == 3 && args[0] == "run") {
    return write_points(args[1], args[2]);
  }
  std::fprintf(stderr,
               "usage: tracks_bench generate DIR UNITS MESSAGES | run DIR DEST\n");
  return 2;
}
