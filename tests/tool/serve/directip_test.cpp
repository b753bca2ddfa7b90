// DirectIP MO frames, built element by element as a gateway sends them.
#include <gtest/gtest.h>

#include <random>

#include "kaldo/kaldo.h"
#include "tool/serve/directip.h"
#include "serve/directip_frames.h"
#include "tool_test_support.h"

namespace kaldo::tool::serve {
namespace {

using namespace frames;

TEST(DirectIpFrame, GoodFramesAreReadWhateverTheOrderOfTheirElements) {
  const struct {
    const char* name;
    std::string frame;
    std::optional<std::string> payload;
    bool located;
    bool succeeded;
  } cases[] = {
      {"header then payload", frame(header() + payload()), "hello", false, true},
      {"location first, before the payload", frame(location() + payload() + header()), "hello", true, true},
      {"an unknown element skipped", frame(header() + element(0x20, "later") + payload()), "hello", false, true},
      {"an empty unknown element last", frame(header() + payload() + element(0x7F, "")), "hello", false, true},
      {"a failed session without payload", frame(header(13) + location()), std::nullopt, true, false},
      {"the largest payload", frame(header() + payload(std::string(1960, 'x'))), std::string(1960, 'x'), false, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto read = parse_directip_frame(c.frame);
    ASSERT_TRUE(read) << read.reason;
    EXPECT_EQ(read.value->imei, "300234010123450");
    EXPECT_EQ(read.value->momsn, 42);
    EXPECT_EQ(read.value->mtmsn, 7);
    EXPECT_EQ(read.value->cdr_reference, 987654u);
    EXPECT_EQ(read.value->payload, c.payload);
    EXPECT_EQ(read.value->location.has_value(), c.located);
    EXPECT_EQ(read.value->session_succeeded(), c.succeeded);
  }
}

TEST(DirectIpFrame, LocationFlagsGiveTheSigns) {
  const struct {
    const char* name;
    int flags;
    double latitude, longitude;
  } cases[] = {{"north east", 0, 33.75, 117.5}, {"south", 2, -33.75, 117.5},
               {"west", 1, 33.75, -117.5},      {"south west", 3, -33.75, -117.5}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto read = parse_directip_frame(frame(header() + location(c.flags, 33, 45000, 117, 30000, 12)));
    ASSERT_TRUE(read) << read.reason;
    EXPECT_DOUBLE_EQ(read.value->location->latitude, c.latitude);
    EXPECT_DOUBLE_EQ(read.value->location->longitude, c.longitude);
    EXPECT_EQ(read.value->location->cep_km, 12u);
  }
}

TEST(DirectIpFrame, RefusedFramesSayWhatWasWrong) {
  const std::string good = frame(header() + payload());
  const struct {
    const char* name;
    std::string frame;
    mo_problem problem;
    const char* says;
  } cases[] = {
      {"an empty input", "", mo_problem::short_prefix, "0 bytes"},
      {"two bytes", std::string("\x01\x00", 2), mo_problem::short_prefix, "2 bytes"},
      {"another revision", frame(header() + payload(), 2), mo_problem::other_revision, "revision 2"},
      {"a byte missing", good.substr(0, good.size() - 1), mo_problem::length_mismatch, "has 41"},
      {"a byte after the message", good + "x", mo_problem::length_mismatch, "has 43"},
      {"an element one byte past the message", frame(header() + std::string("\x02\x00\x04", 3) + "abc"),
       mo_problem::element_overrun, "0x02 of 4 bytes runs past the end of the message (3 bytes left)"},
      {"an element's length cut off", frame(header() + std::string("\x02\x00", 2)), mo_problem::element_overrun, "id"},
      {"a header of 27 bytes", frame(header(0, "30023401012345") + payload()), mo_problem::header_size, "27 bytes"},
      {"a header of 29 bytes", frame(header(0, imei, "x")), mo_problem::header_size, "29 bytes"},
      {"no header", frame(payload()), mo_problem::no_header, "without an MO header"},
      {"an empty message", frame(""), mo_problem::no_header, "without"},
      {"two headers", frame(header() + payload() + header()), mo_problem::two_headers, "two MO headers"},
      {"an IMEI of letters", frame(header(0, "30023401012345A")), mo_problem::imei_not_digits, "IMEI"},
      {"a 2000-byte payload", frame(header() + payload(std::string(2000, 'x'))), mo_problem::payload_size, "2000 bytes"},
      {"an empty payload", frame(header() + payload("")), mo_problem::payload_size, "0 bytes"},
      {"two payloads", frame(header() + payload() + payload()), mo_problem::two_payloads, "two MO payloads"},
      {"a location of 20 bytes", frame(header() + element(0x03, std::string(20, '\0'))), mo_problem::location_size,
       "20 bytes"},
      {"two locations", frame(location() + header() + location()), mo_problem::two_locations, "two MO locations"},
      {"a latitude past the pole", frame(header() + location(0, 90, 1)), mo_problem::location_out_of_range, "-90..90"},
      {"sixty minutes of longitude", frame(header() + location(0, 1, 0, 1, 60000)), mo_problem::location_out_of_range,
       "longitude"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto read = parse_directip_frame(c.frame);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.problem, c.problem);
    EXPECT_NE(read.reason.find(c.says), std::string::npos) << read.reason;
    EXPECT_EQ(read.reason.find('\n'), std::string::npos);
  }
}

TEST(DirectIpFrame, TheLengthToReadComesFromThreeBytesAlone) {
  const struct {
    const char* name;
    std::string first_bytes;
    std::optional<std::size_t> total;
  } cases[] = {{"an empty message", std::string("\x01\x00\x00", 3), 3},
               {"the longest message", "\x01\xFF\xFF", 3 + 65535},
               {"more bytes than the prefix", std::string("\x01\x00\x1F", 3) + "ignored", 34},
               {"another revision", std::string("\x02\x00\x10", 3), std::nullopt},
               {"one byte", "\x01", std::nullopt}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto length = directip_frame_length(c.first_bytes);
    EXPECT_EQ(length.value, c.total) << length.reason;
    EXPECT_LE(length.value.value_or(0), directip_max_frame_bytes);
  }
}

TEST(DirectIpFrame, DamagedAndRandomBytesAreReadWithinTheFrame) {
  // Under the sanitizers a read past the frame fails here; everywhere, a
  // frame read must hold only what the rules allow.
  std::mt19937 random(20240517);
  const std::string good = frame(location() + header() + payload("abc") + element(0x44, "zz"));
  for (int i = 0; i < 20000; ++i) {
    std::string bytes = good;
    if (i % 2 == 0) {
      for (int flips = 1 + i % 3; flips > 0; --flips) bytes[random() % bytes.size()] = static_cast<char>(random());
    } else {
      bytes.resize(random() % 64);
      for (char& b : bytes) b = static_cast<char>(random());
    }
    const std::string exact(bytes);  // no slack after the input for a read to land in
    const auto read = parse_directip_frame(exact);
    if (!read) continue;
    EXPECT_EQ(read.value->imei.size(), 15u);
    EXPECT_EQ(directip_frame_length(exact).value, exact.size());
    EXPECT_LE(read.value->payload.value_or("").size(), directip_max_payload_bytes);
  }
}

TEST(DirectIpFrame, ConfirmationsAreOneElementFrames) {
  EXPECT_EQ(directip_confirm_success, frame(element(0x05, std::string(1, '\x01'))));
  EXPECT_EQ(directip_confirm_failure, frame(element(0x05, std::string(1, '\x00'))));
}

TEST(DirectIpFrame, ThePayloadReadsAsTheSbdFileOfTheSameName) {
  const std::string report = make_message(2, {binary_report({})});
  const auto read = parse_directip_frame(frame(header() + payload(report)));
  ASSERT_TRUE(read) << read.reason;
  EXPECT_EQ(read.value->session_instant(),
            std::chrono::sys_days{std::chrono::year{2024} / 5 / 17} + std::chrono::hours{12} +
                std::chrono::minutes{30} + std::chrono::seconds{5});

  const std::optional<found_message> found = directip_found_message(*read.value);
  ASSERT_TRUE(found);
  EXPECT_EQ(found->name, "300234010123450_42.sbd");
  EXPECT_EQ(found->origin.channel, "directip");
  EXPECT_EQ(found->origin.key, "300234010123450/42/1715949005");
  EXPECT_EQ(found->origin.imei, "300234010123450");
  EXPECT_EQ(found->origin.momsn, 42u);
  EXPECT_EQ(found->origin.session_time, 1715949005);
  EXPECT_NE(found->origin.display_name.find("2024-05-17T12:30:05"), std::string::npos);

  temp_dir folder;
  const kaldo::saved_message from_file = kaldo::read_message_file(folder.write(found->name, report));
  const kaldo::saved_message received = read_found_message(*found);
  ASSERT_TRUE(received.ok());
  EXPECT_EQ(received.modem_id, from_file.modem_id);
  EXPECT_EQ(received.modem_id, "300234010123450");
  EXPECT_EQ(received.bytes, from_file.bytes);
  EXPECT_EQ(received.full_length, from_file.full_length);

  const auto failed = parse_directip_frame(frame(header(10)));
  ASSERT_TRUE(failed) << failed.reason;
  EXPECT_FALSE(directip_found_message(*failed.value));
}

}  // namespace
}  // namespace kaldo::tool::serve
