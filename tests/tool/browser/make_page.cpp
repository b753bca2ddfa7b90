// Writes a map page of generated tracks, and beside it what the page must
// show, for the browser test and the load-time benchmark.
//
//   make_page --points N [--units U] [--hostile] [--edges] [--tiles URL]
//             [--with-source] --out PAGE [--expect JSON]
//
// The tracks are random walks, the same for the same arguments, sent as
// tracker messages and read back with kaldo::decode_message. With
// --hostile, some modem ids hold markup ("</script>", "<!--", quotes).
// --edges adds two units the map cannot show as they are: one crossing
// the antimeridian back and forth, one with points nearer the poles than
// the square map reaches.
// The expectation file lists what decode_message read: every unit (modem
// id) and its points in time order, times as milliseconds since 1970, for
// the test to format itself.
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

#include "kaldo/decode.h"
#include "tool/fleet.h"
#include "tool/outputs/map_page.h"
#include "tests/test_support.h"

namespace {

using namespace std::chrono;
using kaldo::tool::fleet;

struct arguments {
  std::size_t points = 1000;
  std::size_t units = 5;
  bool hostile = false;
  bool edges = false;
  kaldo::tool::map_page_options options;
  std::string out;
  std::string expect;
};

[[noreturn]] void usage() {
  std::fputs("usage: make_page --points N [--units U] [--hostile] [--edges] [--tiles URL] "
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
    else if (arg == "--edges") a.edges = true;
    else if (arg == "--tiles") a.options.tiles_url = value();
    else if (arg == "--with-source") a.options.with_source = true;
    else if (arg == "--out") a.out = value();
    else if (arg == "--expect") a.expect = value();
    else usage();
  }
  if (a.out.empty() || a.units == 0) usage();
  return a;
}

// Ids a message tail may carry: any bytes, read as Latin-1.
std::string modem_id(std::size_t unit, bool hostile) {
  static const char* const hostile_ids[] = {
      "</script><script>window.kaldoInjected = 1</script>",
      "<!--<script>\"'&amp;<b id=\"kaldo-injected\">\xFF</b>",
  };
  if (hostile && unit < std::size(hostile_ids)) return hostile_ids[unit];
  return std::to_string(300034012345670ULL + unit);
}

// The fleet model holds UTF-8; modem ids are Latin-1 bytes.
std::string latin1_to_utf8(const std::string& latin1) {
  std::string out;
  for (unsigned char c : latin1) {
    if (c < 0x80) {
      out += static_cast<char>(c);
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// A coordinate as the reports carry it: whole degrees, whole minutes and
// the minutes' fraction in `digits` decimals.
struct angle {
  int degrees, minutes, fraction;
};
angle to_angle(double value, int digits) {
  const int scale = digits == 4 ? 10000 : 100000;
  long total = std::lround(std::fabs(value) * 60.0 * scale);  // in fraction units
  const int fraction = static_cast<int>(total % scale);
  total /= scale;
  return {static_cast<int>(total / 60), static_cast<int>(total % 60), fraction};
}

constexpr int south = 0x20, west = 0x40, valid_fix = 0x80, modem_id_in_tail = 0x04;

// One report of the walk, as the tracker would send it.
std::string report_bytes(bool packed, std::size_t i, sys_time<milliseconds> time, double lat,
                         double lon, double course, double speed, std::mt19937_64& random) {
  const sys_days day = floor<days>(time);
  const year_month_day date{day};
  const hh_mm_ss<milliseconds> clock{time - day};
  const int year = static_cast<int>(date.year()) % 100;
  const angle la = to_angle(lat, packed ? 5 : 4);
  const angle lo = to_angle(lon, packed ? 5 : 4);
  const int course_hundredths = static_cast<int>(std::lround(course * 100.0)) % 36000;
  const int hemispheres = (lat < 0 ? south : 0) | (lon < 0 ? west : 0);
  if (!packed) {
    binary_fields f;
    f.hour = static_cast<int>(clock.hours().count());
    f.minute = static_cast<int>(clock.minutes().count());
    f.second = static_cast<int>(clock.seconds().count());
    f.millisecond = static_cast<int>(clock.subseconds().count());
    f.year = year;
    f.month = static_cast<int>(static_cast<unsigned>(date.month()));
    f.day = static_cast<int>(static_cast<unsigned>(date.day()));
    f.lat_degrees = la.degrees, f.lat_minutes = la.minutes, f.lat_fraction = la.fraction;
    f.lon_degrees = lo.degrees, f.lon_minutes = lo.minutes, f.lon_fraction = lo.fraction;
    f.satellites = static_cast<int>(3 + i % 10);
    f.altitude = static_cast<int>(random() % 900);
    f.altitude_fraction = static_cast<int>(random() % 10);
    f.speed = static_cast<int>(speed);
    f.speed_tenths = static_cast<int>(std::lround(speed * 10.0)) % 10;
    f.course = course_hundredths;
    f.flags = (i % 7 == 3 ? 0 : valid_fix) | hemispheres | modem_id_in_tail;
    return binary_report(f);
  }
  packed_fields f;
  f.hour = static_cast<int>(clock.hours().count());
  f.minute = static_cast<int>(clock.minutes().count());
  f.second = static_cast<int>(clock.seconds().count());
  f.hundredths = static_cast<int>(clock.subseconds().count() / 10);
  f.emergency = i % 13 == 6;
  f.year = year;
  f.month = static_cast<int>(static_cast<unsigned>(date.month()));
  f.day = static_cast<int>(static_cast<unsigned>(date.day()));
  f.lat_degrees = la.degrees, f.lat_minutes = la.minutes;
  f.lat_fraction_12 = la.fraction / 1000, f.lat_fraction_34 = la.fraction / 10 % 100;
  f.lat_fraction_5 = la.fraction % 10;
  f.lon_degrees = lo.degrees, f.lon_minutes = lo.minutes;
  f.lon_fraction_1 = lo.fraction / 10000, f.lon_fraction_23 = lo.fraction / 100 % 100;
  f.lon_fraction_45 = lo.fraction % 100;
  f.satellites = static_cast<int>(3 + i % 7);
  f.course = course_hundredths;
  // 3D, 2D, dead reckoning, none.
  static constexpr int fixes[] = {valid_fix, valid_fix | 0x01, 0x02, 0x00};
  f.flags = fixes[i % 4] | hemispheres | modem_id_in_tail;
  return packed_report(f);
}

// A report sent as a message of its own with the unit's id in the tail,
// and read back with kaldo::decode_message: the page is compared with the
// typed decoding of the same messages.
kaldo::tool::track_point read_back(int type, const std::string& report, const std::string& id,
                                   std::string source) {
  const std::string bytes = make_message(type, {report}, id + "\r");
  const kaldo::decoded_message decoded = kaldo::decode_message({.bytes = bytes}, kaldo::settings{});
  if (decoded.result != kaldo::outcome::converted || decoded.reports.size() != 1 ||
      !decoded.reports[0].position) {
    std::fprintf(stderr, "make_page: a generated message does not decode: %s %s\n",
                 decoded.error.c_str(),
                 decoded.reports.empty() ? "" : decoded.reports[0].problem.c_str());
    std::exit(1);
  }
  kaldo::tool::track_point p;
  p.modem_id = latin1_to_utf8(decoded.modem_id);
  p.message_type = decoded.message_type;
  p.source = std::move(source);
  p.position = *decoded.reports[0].position;
  return p;
}

struct place {
  double lat, lon;
};

// The --edges units' tracks. The first crosses the antimeridian nine times,
// both ways; the second has points past each pole's edge of the map (one
// just past the southern one), among points on it, none of them last.
const std::vector<place> edge_tracks[] = {
    {{51.2, 179.5}, {51.3, -179.8}, {51.5, 179.9}, {51.6, -179.2}, {51.4, -179.6},
     {51.1, 179.7}, {50.9, 179.2}, {50.8, -179.9}, {50.6, 179.6}, {50.7, -179.4},
     {50.9, -178.8}, {51.0, 179.8}, {51.2, -179.7}},
    {{80.0, -100.0}, {87.5, -80.0}, {84.9, -60.0}, {-89.0, -110.0}, {-80.0, -130.0},
     {-85.2, -150.0}, {-60.0, -140.0}},
};

// Random walks, then with --edges the edge units after them.
fleet generate(const arguments& a) {
  fleet f;
  std::mt19937_64 random(20080517);
  std::uniform_real_distribution<double> unit_interval(0.0, 1.0);
  const sys_days start = 2008y / May / 17;
  constexpr double pi = std::numbers::pi;
  const auto time_of = [&](std::size_t u, std::size_t i) {
    return start + minutes(10) * static_cast<long>(i) + seconds(37) * static_cast<long>(u) +
           milliseconds(10 * (i % 100));
  };
  const auto source_of = [](std::size_t u, std::size_t i) {
    return "inbox/" + std::to_string(u) + "_" + std::to_string(i) + ".sbd";
  };

  for (std::size_t u = 0; u < a.units; ++u) {
    const std::size_t count = a.points / a.units + (u < a.points % a.units ? 1 : 0);
    // Packed-layout units carry vertical velocity, four fix states and the
    // emergency flag; binary-layout ones only a valid or invalid fix.
    const bool packed = u % 2 == 0;
    const std::string id = modem_id(u, a.hostile);
    double lat = 33.0 + 2.0 * unit_interval(random);
    double lon = -119.0 + 2.0 * unit_interval(random);
    double course = 360.0 * unit_interval(random);
    for (std::size_t i = 0; i < count; ++i) {
      const int type = packed ? (i % 5 == 4 ? 103 : 3) : (i % 3 == 2 ? 2 : 1);
      course = std::fmod(course + 40.0 * (unit_interval(random) - 0.5) + 360.0, 360.0);
      const double speed = std::round(400.0 * unit_interval(random)) / 10.0;
      const double step = speed / 6.0 / 111.0;  // degrees in ten minutes
      lat += step * std::cos(course * pi / 180.0);
      lon += step * std::sin(course * pi / 180.0) / std::cos(lat * pi / 180.0);
      // Long walks turn back at the edges of a box, so that a million points
      // stay on the map's one side of the antimeridian and off the poles.
      if (lat < 30.0 || lat > 38.0) {
        lat = std::clamp(lat, 30.0, 38.0);
        course = std::fmod(540.0 - course, 360.0);
      }
      if (lon < -124.0 || lon > -112.0) {
        lon = std::clamp(lon, -124.0, -112.0);
        course = 360.0 - course;
      }
      f.points.push_back(read_back(
          type, report_bytes(packed, i, time_of(u, i), lat, lon, course, speed, random), id,
          source_of(u, i)));
    }
  }
  const std::size_t units = a.units + (a.edges ? std::size(edge_tracks) : 0);
  for (std::size_t u = a.units; u < units; ++u) {
    // One unit of each layout: their coordinates are read in two ways.
    const bool packed = u % 2 == 0;
    const auto& track = edge_tracks[u - a.units];
    for (std::size_t i = 0; i < track.size(); ++i) {
      f.points.push_back(read_back(
          packed ? 3 : 1,
          report_bytes(packed, i, time_of(u, i), track[i].lat, track[i].lon, 90.0, 30.0, random),
          modem_id(u, a.hostile), source_of(u, i)));
    }
  }
  // As a run sees them: all units' reports mixed, in arrival order.
  std::stable_sort(f.points.begin(), f.points.end(), [](const auto& x, const auto& y) {
    return x.position.time < y.position.time;
  });
  for (std::size_t u = 0; u < units; ++u) {
    kaldo::tool::unit_track unit;
    unit.modem_id = latin1_to_utf8(modem_id(u, a.hostile));
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
