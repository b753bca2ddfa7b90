#include "tests/tool/sample_messages.h"

#include <stdexcept>
#include <utility>

#include "tool/outputs/fleet_output.h"

#include "tool/fleet_builder.h"
#include "kaldo/kaldo.h"
#include "tests/test_support.h"
#include "tool/utc_text.h"

namespace kaldo::tool::testing {

kaldo::position position_at(std::string_view iso_time, double latitude, double longitude,
                            kaldo::fix_state fix, bool emergency) {
  const auto time = parse_iso8601(iso_time);
  if (!time) throw std::invalid_argument("not a time: " + std::string(iso_time));
  kaldo::position p;
  p.time = *time;
  p.latitude = latitude;
  p.longitude = longitude;
  p.altitude_m = 123.4;
  p.speed_kmh = 12.3;
  p.course_deg = 45.6;
  p.satellites = 9;
  p.fix = fix;
  p.emergency = emergency;
  return p;
}

kaldo::decoded_message message_of(std::string modem_id,
                                  std::vector<std::optional<kaldo::position>> positions,
                                  int message_type) {
  kaldo::decoded_message message;
  message.result = kaldo::outcome::converted;
  message.message_type = message_type;
  // An empty id is a message that names none.
  if (!modem_id.empty()) message.known_modem_id = modem_id;
  message.modem_id = modem_id.empty() ? "No ModemID" : std::move(modem_id);
  int index = 0;
  for (auto& position : positions) {
    kaldo::report report;
    report.index = index++;
    report.position = position;
    if (!position) report.problem = "Invalid Month";
    message.reports.push_back(std::move(report));
  }
  return message;
}

kaldo::tool::fleet sample_fleet() {
  auto first = position_at("2008-05-17T12:30:05.250Z", 33.75205666666667, -117.83534333333334,
                           kaldo::fix_state::fix_3d);
  first.vertical_velocity_ms = -1.25;
  auto second = position_at("2008-05-17T12:35:00.010Z", 33.7601, -117.8402,
                            kaldo::fix_state::fix_2d, true);
  second.altitude_m = -12.5;
  second.speed_kmh = 0;
  second.satellites = 4;
  // The same instant as `second`, elsewhere: a conflict, both kept.
  auto conflicting = position_at("2008-05-17T12:35:00.010Z", 33.7702, -117.8503,
                                 kaldo::fix_state::dead_reckoning);
  // Just south of the equator: few significant digits survive a fixed
  // number of decimals.
  auto last = position_at("2008-05-18T00:00:00.000Z", -1.0 / 600000, 0.25,
                          kaldo::fix_state::none);
  last.vertical_velocity_ms = 0.0;

  fleet_builder builder;
  builder.add(message_of("300034012345670", {last, first}), {"/in/300034012345670_1.sbd", ""});
  builder.add(message_of("300034012345670", {second, conflicting, first}),
              {"/in/mail.eml", "300034012345670_2.sbd"});
  builder.add(message_of("30003401234567\xE9", {position_at("2008-05-17T10:00:00.000Z", 45.5,
                                                            7.25, kaldo::fix_state::valid),
                                                position_at("2008-05-17T10:01:00.500Z", 45.51,
                                                            7.26, kaldo::fix_state::invalid)},
                         1),
              {"/in/caf\xE9.sbd", ""});
  builder.add(message_of("", {position_at("2008-05-17T11:00:00.000Z", 10, 20)}, 103),
              {"/in/sms.eml", ""});
  return builder.finish();
}

std::vector<generated_message> generated_messages() {
  binary_fields first, second, third;
  second.minute = 31;
  second.lat_minutes = 46;
  second.lon_fraction = 9876;
  second.flags = 0x00;  // no valid fix
  third.hour = 23;
  third.minute = 59;
  third.second = 59;
  third.millisecond = 999;
  third.lat_degrees = 0;
  third.lat_minutes = 0;
  third.lat_fraction = 1;
  packed_fields calm, alarm, later;
  alarm.emergency = 1;
  alarm.minute = 31;
  alarm.lat_fraction_12 = 99;
  later.hour = 13;
  later.lon_degrees = 8;
  later.speed_23 = 0;
  return {
      {"300034012345670",
       make_message(1, {binary_report(first), binary_report(second), binary_report(third)})},
      // A unit id of bytes beyond ASCII, as a message tail may carry.
      {"30003401234567\xE9", make_message(3, {packed_report(calm), packed_report(alarm)})},
      {"300034012345671", make_message(103, {packed_report(later)})},
      // The first message again, as a second delivery of the e-mail.
      {"300034012345670", make_message(1, {binary_report(first)})},
  };
}

kaldo::tool::fleet decoded_fleet() {
  fleet_builder builder;
  int number = 0;
  for (const auto& generated : generated_messages()) {
    kaldo::settings how;
    how.modem_id = generated.modem_id;
    builder.add(kaldo::decode_message({generated.bytes}, how),
                {"gen_" + std::to_string(++number) + ".sbd", ""});
  }
  return builder.finish();
}

bool run_into(const std::string& destination, const std::vector<kaldo::decoded_message>& messages,
              std::string* error, fleet_counts* counts, bool* appended) {
  auto sink = open_fleet_output(destination, {}, error);
  if (sink == nullptr) return false;
  std::vector<track_point> stored;
  if (!sink->read_stored(&stored, error)) return false;
  fleet_builder builder;
  for (auto& point : stored) builder.add_stored(std::move(point));
  for (const auto& message : messages) builder.add(message, {"in.sbd", ""});
  const fleet built = builder.finish();
  if (counts != nullptr) *counts = builder.counts();
  if (!sink->write(built, error)) return false;
  // The summary asks after the write.
  if (appended != nullptr) *appended = sink->appends();
  return true;
}

}  // namespace kaldo::tool::testing
