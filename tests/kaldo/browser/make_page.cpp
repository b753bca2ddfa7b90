// Writes a map page of generated tracks, and beside it what the page must
// show, for the browser test and the load-time benchmark.
//
//   make_page --points N [--units U] [--hostile] [--tiles URL]
//             [--with-source] --out PAGE [--expect JSON]
//
// The tracks are random walks, the same for the same arguments. With
// --hostile, some modem ids hold markup ("</script>", "<!--", quotes).
// The expectation file lists every unit (modem id) and its points in time
// order, times as milliseconds since 1970, for the test to format itself.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <numbers>
#include <random>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "kaldo/fleet.h"
#include "kaldo/sinks/map_page.h"

namespace {

using namespace std::chrono;
using kaldo::tool::fleet;

struct arguments {
  std::size_t points = 1000;
  std::size_t units = 5;
  bool hostile = false;
  kaldo::tool::map_page_options options;
  std::string out;
  std::string expect;
};

[[noreturn]] void usage() {
  std::fputs("usage: make_page --points N [--units U] [--hostile] [--tiles URL] "
             "[--with-source] --out PAGE [--expect JSON]\n", stderr);
  std::exit(2);
}

arguments parse(int argc, char** argv) {
  arguments a;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage();
      return argv[++i];
    };
    if (arg == "--points") a.points = std::stoul(value());
    else if (arg == "--units") a.units = std::stoul(value());
    else if (arg == "--hostile") a.hostile = true;
    else if (arg == "--tiles") a.options.tiles_url = value();
    else if (arg == "--with-source") a.options.with_source = true;
    else if (arg == "--out") a.out = value();
    else if (arg == "--expect") a.expect = value();
    else usage();
  }
  if (a.out.empty() || a.units == 0) usage();
  return a;
}

std::string modem_id(std::size_t unit, bool hostile) {
  // Ids a message tail may carry: any bytes, here already read as Latin-1.
  static const char* const hostile_ids[] = {
      "</script><script>window.kaldoInjected = 1</script>",
      "<!--<script>\"'&amp;<b id=\"kaldo-injected\">\xC3\xBF</b>",
  };
  if (hostile && unit < std::size(hostile_ids)) return hostile_ids[unit];
  return std::to_string(300034012345670ULL + unit);
}

fleet generate(const arguments& a) {
  fleet f;
  std::mt19937_64 random(20080517);
  std::uniform_real_distribution<double> unit_interval(0.0, 1.0);
  const sys_days start = 2008y / May / 17;
  constexpr double pi = std::numbers::pi;

  for (std::size_t u = 0; u < a.units; ++u) {
    const std::size_t count = a.points / a.units + (u < a.points % a.units ? 1 : 0);
    // Packed-layout units carry vertical velocity, four fix states and the
    // emergency flag; binary-layout ones only a valid or invalid fix.
    const bool packed = u % 2 == 0;
    double lat = 46.0 + 2.0 * unit_interval(random);
    double lon = -5.0 + 3.0 * unit_interval(random);
    double course = 360.0 * unit_interval(random);
    for (std::size_t i = 0; i < count; ++i) {
      kaldo::tool::track_point p;
      p.modem_id = modem_id(u, a.hostile);
      p.message_type = packed ? (i % 5 == 4 ? 103 : 3) : (i % 3 == 2 ? 2 : 1);
      p.source = "inbox/" + p.modem_id + "_" + std::to_string(i) + ".sbd";
      kaldo::position& pos = p.position;
      const auto offset = minutes(10) * static_cast<long>(i) + seconds(37) * static_cast<long>(u);
      pos.time = kaldo::utc_time(start + offset + milliseconds(packed ? 10 * (i % 100) : i % 1000));
      pos.precision = packed ? kaldo::time_precision::hundredths
                             : kaldo::time_precision::milliseconds;
      course = std::fmod(course + 40.0 * (unit_interval(random) - 0.5) + 360.0, 360.0);
      const double speed = std::round(400.0 * unit_interval(random)) / 10.0;
      const double step = speed / 6.0 / 111.0;  // degrees in ten minutes
      lat += step * std::cos(course * pi / 180.0);
      lon += step * std::sin(course * pi / 180.0) / std::cos(lat * pi / 180.0);
      pos.latitude = std::round(lat * 1e7) / 1e7;
      pos.longitude = std::round(lon * 1e7) / 1e7;
      pos.altitude_m = std::round(1000.0 * unit_interval(random)) / 10.0;
      pos.speed_kmh = speed;
      pos.course_deg = std::round(course * 100.0) / 100.0;
      pos.satellites = static_cast<int>(3 + i % 10);
      if (packed) {
        static constexpr kaldo::fix_state states[] = {
            kaldo::fix_state::fix_3d, kaldo::fix_state::fix_2d,
            kaldo::fix_state::dead_reckoning, kaldo::fix_state::none};
        pos.fix = states[i % 4];
        pos.vertical_velocity_ms = std::round(100.0 * (unit_interval(random) - 0.5)) / 10.0;
        pos.emergency = i % 13 == 6;
      } else {
        pos.fix = i % 7 == 3 ? kaldo::fix_state::invalid : kaldo::fix_state::valid;
      }
      f.points.push_back(std::move(p));
    }
  }
  // As a run sees them: all units' reports mixed, in arrival order.
  std::stable_sort(f.points.begin(), f.points.end(), [](const auto& x, const auto& y) {
    return x.position.time < y.position.time;
  });
  for (std::size_t u = 0; u < a.units; ++u) {
    kaldo::tool::unit_track unit;
    unit.modem_id = modem_id(u, a.hostile);
    for (std::size_t i = 0; i < f.points.size(); ++i) {
      if (f.points[i].modem_id != unit.modem_id) continue;
      unit.points.push_back(i);
      if (f.points[i].position.emergency) ++unit.emergencies;
    }
    f.units.push_back(std::move(unit));
  }
  std::sort(f.units.begin(), f.units.end(),
            [](const auto& x, const auto& y) { return x.modem_id < y.modem_id; });
  return f;
}

nlohmann::json expectation(const fleet& f, bool with_source) {
  nlohmann::json units = nlohmann::json::array();
  for (const auto& unit : f.units) {
    nlohmann::json points = nlohmann::json::array();
    for (std::size_t index : unit.points) {
      const auto& p = f.points[index];
      const auto& pos = p.position;
      nlohmann::json point = {
          {"lat", pos.latitude},
          {"lon", pos.longitude},
          {"time_ms", pos.time.time_since_epoch().count()},
          {"altitude_m", pos.altitude_m},
          {"speed_kmh", pos.speed_kmh},
          {"course_deg", pos.course_deg},
          {"vertical_velocity_ms", pos.vertical_velocity_ms ? nlohmann::json(*pos.vertical_velocity_ms)
                                                            : nlohmann::json(nullptr)},
          {"satellites", pos.satellites},
          {"fix", kaldo::to_string(pos.fix)},
          {"emergency", pos.emergency},
          {"message_type", p.message_type},
      };
      if (with_source) point["source"] = p.source;
      points.push_back(std::move(point));
    }
    units.push_back({{"modem_id", unit.modem_id}, {"points", std::move(points)}});
  }
  return {{"units", std::move(units)}};
}

}  // namespace

int main(int argc, char** argv) {
  const arguments a = parse(argc, argv);
  const fleet f = generate(a);
  std::string error;
  if (!kaldo::tool::write_map_page(f, a.options, a.out, &error)) {
    std::fprintf(stderr, "make_page: %s\n", error.c_str());
    return 1;
  }
  if (!a.expect.empty()) {
    std::ofstream out(a.expect, std::ios::binary);
    out << expectation(f, a.options.with_source).dump() << '\n';
    if (!out.flush()) {
      std::fprintf(stderr, "make_page: %s: cannot be written\n", a.expect.c_str());
      return 1;
    }
  }
  return 0;
}
