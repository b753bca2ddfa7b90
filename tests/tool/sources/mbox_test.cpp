// mbox files as Python's mailbox module writes them.
#include <gtest/gtest.h>

#include <sstream>

#include "tool/sources/mbox.h"
#include "tool/sources/mbox_cuts.h"
#include "tool_test_support.h"

namespace kaldo::tool::testing {
namespace {

TEST(MboxSource, EveryEmailInOrderWithItsIndex) {
  KALDO_REQUIRE_FIXTURES();
  const std::string mbox = fixture("small.mbox");
  const collecting_sink found = walk({mbox});
  ASSERT_EQ(found.messages.size(), 4u);
  EXPECT_TRUE(found.skips.empty());
  const struct {
    std::uint64_t index;
    kaldo::encoding kind;
    std::string name;
  } expected[] = {
      {1, kaldo::encoding::sbd_payload, "300234010123456_000001.sbd"},
      {2, kaldo::encoding::sms_text, "small.mbox.2.eml"},
      {3, kaldo::encoding::sbd_payload, "300234010123456_000002.sbd"},
      {4, kaldo::encoding::sms_text, "small.mbox.4.eml"},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(found.messages[i].origin.path, mbox);
    EXPECT_EQ(found.messages[i].origin.index, expected[i].index);
    EXPECT_EQ(found.messages[i].kind, expected[i].kind);
    EXPECT_EQ(found.messages[i].name, expected[i].name);
  }
}

TEST(MboxSource, AnSmsEmailIsTheEmailAUserSavesFromTheMbox) {
  KALDO_REQUIRE_FIXTURES();
  // Python's mailbox wrote no. 2 with CR LF and no. 4 with bare line feeds;
  // saved as .eml both have CR LF, no "From " line and no separator line.
  const collecting_sink found = walk({fixture("small.mbox")});
  ASSERT_EQ(found.messages.size(), 4u);
  EXPECT_EQ(found.messages[1].bytes, read_file(fixture("small.mbox.2.saved.eml")));
  EXPECT_EQ(found.messages[3].bytes, read_file(fixture("small.mbox.4.saved.eml")));
}

TEST(MboxSource, KnownByItsFirstLine) {
  const struct {
    const char* head;
    bool mbox;
  } cases[] = {
      {"From MAILER-DAEMON Wed Dec  9 02:58:07 2026\n", true},
      {"From: someone@example.org\n", false},
      {"Received: from x\n", false},
      {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(looks_like_mbox(c.head), c.mbox) << c.head;
}

TEST(MboxSource, TruncatedAndGarbageMboxesNeverStopTheRun) {
  KALDO_REQUIRE_FIXTURES();
  const std::string whole = read_file(fixture("small.mbox"));
  temp_dir folder;
  const std::string cut = folder.write("cut.mbox", whole.substr(0, whole.size() / 2));
  const std::string garbage = folder.write("garbage.mbox", "From \n\xff\xfe\x00\x01" + std::string(5000, '\x80'));
  const collecting_sink found = walk({cut, garbage, fixture("one_attachment.eml")});
  ASSERT_FALSE(found.messages.empty());
  EXPECT_EQ(found.messages.back().origin.part, "300234010123450_000123.sbd");
}

TEST(MboxCuts, WhereAFromLineFollowsAnEmptyLine) {
  const struct {
    std::string bytes;
    std::vector<std::uint64_t> cuts;
  } cases[] = {
      {"From a\nx\n\nFrom b\ny\n\nFrom c\n", {10, 20}},
      {"From a\r\nx\r\n\r\nFrom b\r\n", {13}},  // CR LF line ends
      {"From a\nx\nFrom b\n", {}},                  // no empty line before it
      {"From a\n\n>From b\n\nFrom: c\n", {}},      // escaped, or a header
      {"From a\n\nFrom", {}},                        // cut short
      {"From a\n\n\nFrom b\n", {9}},
      {"\n\nFrom a\n", {2}},
      {"From a\n \nFrom b\n", {}},                  // a blank, not empty, line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    // Whole, and a byte at a time: a match split across reads is found.
    std::vector<std::uint64_t> whole;
    mbox_cut_finder().feed(c.bytes.data(), c.bytes.size(), whole);
    EXPECT_EQ(whole, c.cuts);
    std::vector<std::uint64_t> bytewise;
    mbox_cut_finder finder;
    for (const char b : c.bytes) finder.feed(&b, 1, bytewise);
    EXPECT_EQ(bytewise, c.cuts);
  }
}

recording_sink read_with(const std::string& bytes, const mbox_pieces* pieces) {
  recording_sink sink;
  gobject_ptr<GMimeStream> stream(g_mime_stream_mem_new_with_buffer(bytes.data(), bytes.size()));
  if (pieces != nullptr) {
    read_mbox_in_pieces(stream.get(), "test.mbox", sink, *pieces);
  } else {
    read_mbox_stream(stream.get(), "test.mbox", sink);
  }
  return sink;
}

TEST(MboxSource, ReadInPiecesAsOneParserReadsTheWholeFile) {
  KALDO_REQUIRE_FIXTURES();
  use_gmime();
  const std::string mixed = read_file(fixture("mixed.mbox"));
  const std::string small = read_file(fixture("small.mbox"));
  const std::size_t middle = mixed.find("\n\nFrom ", mixed.size() / 2) + 2;
  std::string crlf;
  for (const char c : mixed) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const struct {
    const char* what;
    std::string bytes;
  } inputs[] = {
      {"mixed", mixed},
      {"small", small},
      {"CR LF", crlf},
      {"cut in a line", mixed.substr(0, middle - 7)},
      {"cut after an empty line", mixed.substr(0, middle)},
      {"cut in a From line", mixed.substr(0, middle + 3)},
      {"no last line feed", mixed.substr(0, mixed.size() - 1)},
      {"junk before the first From line", "junk\n\n" + mixed},
      {"broken e-mail in the middle",
       mixed.substr(0, middle) + "From x\nnot a header\n\nbody\n\n" + mixed.substr(middle)},
  };
  const mbox_pieces settings[] = {
      {1, 32u << 20},       // a piece per e-mail
      {3000, 32u << 20},    // a few e-mails a piece
      {1, 2000},            // e-mails too large for a piece: the rest from the file
      {1, 300},             // nearly every e-mail too large for a piece
      {},                   // the whole input in one piece
  };
  for (const auto& input : inputs) {
    const recording_sink whole = read_with(input.bytes, nullptr);
    ASSERT_FALSE(whole.log.str().empty()) << input.what;
    for (const mbox_pieces& pieces : settings) {
      SCOPED_TRACE(std::string(input.what) + ", pieces of " + std::to_string(pieces.bytes) +
                   " up to " + std::to_string(pieces.most_bytes));
      const recording_sink in_pieces = read_with(input.bytes, &pieces);
      EXPECT_EQ(first_difference(in_pieces.log.str(), whole.log.str()), "");
      EXPECT_EQ(in_pieces.read, whole.read);
      // Bytes an archive unpacks, read once: an e-mail too large for a
      // piece waits in a temporary file instead.
      recording_sink unpacked;
      memory_bytes bytes(input.bytes);
      read_mbox_unpacked(bytes, "test.mbox", "test.mbox", unpacked, pieces);
      EXPECT_EQ(first_difference(unpacked.log.str(), whole.log.str()), "");
      EXPECT_EQ(unpacked.read, whole.read);
    }
  }
}

}  // namespace
}  // namespace kaldo::tool::testing
