// Messages as trackers send them, decoded by the library, written in every
// format and read back with GDAL: the points are the typed decoding's,
// report by report.
#include <gtest/gtest.h>

#include "tool/fleet_builder.h"
#include "kaldo/kaldo.h"
#include "tool/outputs/fleet_output.h"
#include "tool/display_text.h"
#include "tests/tool/format_cases.h"
#include "tests/tool/layer_reading.h"
#include "tests/tool/sample_messages.h"
#include "tests/test_support.h"

namespace kaldo::tool {
namespace {

using namespace testing;

class EveryFormatTyped : public ::testing::TestWithParam<format_case> {};

TEST_P(EveryFormatTyped, HoldsTheTypedDecodingOfGeneratedMessages) {
  const format_case& c = GetParam();
  fleet_builder builder;
  fleet decoded_points;  // straight from the decoding, not through the builder
  int number = 0;
  for (const auto& generated : generated_messages()) {
    kaldo::settings how;
    how.modem_id = generated.modem_id;
    const kaldo::decoded_message decoded = kaldo::decode_message({generated.bytes}, how);
    ASSERT_EQ(decoded.result, kaldo::outcome::converted) << decoded.error;
    const message_source source{"gen_" + std::to_string(++number) + ".sbd", ""};
    builder.add(decoded, source);
    if (number == 4) continue;  // its report is the first message's
    for (const kaldo::report& report : decoded.reports) {
      ASSERT_TRUE(report.position.has_value()) << report.problem;
      track_point point;
      point.modem_id = latin1_to_utf8(decoded.modem_id);
      point.position = *report.position;
      point.message_type = decoded.message_type;
      point.source = source.path;
      decoded_points.points.push_back(point);
    }
  }
  temp_dir dir;
  std::string error;
  auto sink = open_fleet_output(dir.path() + "/" + c.file, {}, &error);
  ASSERT_NE(sink, nullptr) << error;
  ASSERT_TRUE(sink->write(builder.finish(), &error)) << error;
  expect_same_points(expected_points(decoded_points),
                     read_points(dir.path() + "/" + c.positions_file, c.positions_layer),
                     c.tolerance);
}

INSTANTIATE_TEST_SUITE_P(, EveryFormatTyped, ::testing::ValuesIn(format_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace kaldo::tool
