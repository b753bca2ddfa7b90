// Archives and compressed files as Python's zipfile, tarfile, gzip, bz2
// and lzma write them (make_archive.py), against the same files unpacked.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <filesystem>
#include <map>

#include "tool/sources/packed_archive.h"
#include "tool_test_support.h"

namespace kaldo::tool::testing {
namespace {

namespace fs = std::filesystem;

std::string packed(const std::string& name) { return fixture("packed/" + name); }

std::string replaced(std::string text, const std::string& from, const std::string& to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

std::uint64_t size_of(const std::string& path) { return fs::file_size(path); }

// Some are written in name order, some backwards (zip, tar.gz, tar.bz2),
// as archivers that follow the disk's order write them.
const char* const tree_archives[] = {"tree.zip", "tree.tar",     "tree.tar.gz",
                                     "tree.tgz", "tree.tar.bz2", "tree.tar.xz"};

TEST(PackedArchive, ReadAsTheFolderItUnpacksTo) {
  KALDO_REQUIRE_FIXTURES();
  const std::string tree = packed("tree");
  recording_sink unpacked;
  walk_inputs({tree}, unpacked);
  ASSERT_NE(unpacked.log.str().find("found"), std::string::npos);
  const struct {
    const char* what;
    packed_limits limits;
  } readings[] = {
      {"files met before their turn wait in a temporary file", {}},
      {"none waits: a pass for each file met before its turn", {0}},
      {"only small ones wait", {600}},
  };
  for (const char* name : tree_archives) {
    const std::string archive = packed(name);
    for (const auto& reading : readings) {
      SCOPED_TRACE(std::string(name) + ": " + reading.what);
      recording_sink sink;
      read_packed_file(archive, sink, reading.limits);
      EXPECT_EQ(first_difference(replaced(sink.log.str(), archive + "!", tree + "/"), unpacked.log.str()), "");
      EXPECT_EQ(sink.read, size_of(archive)) << "progress: the compressed bytes, each once";
    }
    // The walk finds it by its name, and adds no progress of its own.
    recording_sink walked;
    walk_inputs({archive}, walked);
    EXPECT_EQ(first_difference(replaced(walked.log.str(), archive + "!", tree + "/"), unpacked.log.str()), "");
    EXPECT_EQ(walked.read, size_of(archive)) << name;
  }
}

TEST(PackedArchive, ACompressedFileIsTheFileItHolds) {
  KALDO_REQUIRE_FIXTURES();
  const struct {
    const char* compressed;
    const char* plain;
  } cases[] = {
      {"singles/one_attachment.eml.gz", "singles/one_attachment.eml"},
      {"singles/300234010123450_000001.sbd.bz2", "singles/300234010123450_000001.sbd"},
      {"singles/small.mbox.xz", "singles/small.mbox"},
      {"singles/mixed.mbox.gz", "singles/mixed.mbox"},
      {"singles/mailbox.gz", "singles/mailbox"},  // an mbox by its first line
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.compressed);
    const collecting_sink plain = walk({packed(c.plain)});
    ASSERT_FALSE(plain.messages.empty());
    recording_sink expected;
    walk_inputs({packed(c.plain)}, expected);
    recording_sink sink;
    walk_inputs({packed(c.compressed)}, sink);
    // Named after the compressed file, the rest as the file it holds.
    EXPECT_EQ(first_difference(replaced(sink.log.str(), packed(c.compressed), packed(c.plain)), expected.log.str()),
              "");
    EXPECT_EQ(sink.read, size_of(packed(c.compressed)));
  }
}

TEST(PackedArchive, BrokenNestedAndEmptyArchivesCostOnlyThemselves) {
  KALDO_REQUIRE_FIXTURES();
  struct skip {
    std::string path;
    std::string reason_begins;
    bool unreadable;
  };
  const std::string nested = packed("odd/nested.zip!");
  constexpr std::size_t any_number = std::string::npos;
  const struct {
    const char* input;
    std::size_t messages;
    std::vector<skip> skips;
  } cases[] = {
      {"odd/empty.zip", 0, {}},
      {"odd/empty.tar", 0, {}},
      {"odd/empty.tar.gz", 0, {}},
      {"odd/garbage.zip", 0, {{packed("odd/garbage.zip"), "cannot unpack: ", true}}},
      {"odd/not_compressed.gz", 0, {{packed("odd/not_compressed.gz"), "cannot unpack: not compressed", true}}},
      // How much comes before the break depends on how far libarchive
      // reads ahead; the break is reported.
      {"odd/truncated.tar.gz", any_number, {{packed("odd/truncated.tar.gz"), "cannot unpack: ", true}}},
      // What came before the cut is read.
      {"odd/truncated.tar",
       1,
       {{packed("odd/truncated.tar!b_300234010123450_000002.sbd"), "cannot unpack: ", true}}},
      // A file whose bytes fail their checksum; the next is read.
      {"odd/bad_checksum.zip",
       1,
       {{packed("odd/bad_checksum.zip!a_300234010123450_000001.sbd"), "cannot unpack: ", true}}},
      {"odd/nested.zip",
       1,
       {{nested + "inner.tar.gz", "an archive inside an archive", false},
        {nested + "inner.zip", "an archive inside an archive", false},
        {nested + "x_300234010123450_000009.sbd.gz", "an archive inside an archive", false}}},
  };
  const std::string after = packed("singles/300234010123450_000001.sbd");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    collecting_sink found;
    walk_inputs({packed(c.input), after}, found);
    // The walk goes on past it.
    ASSERT_FALSE(found.messages.empty());
    if (c.messages != any_number) {
      EXPECT_EQ(found.messages.size(), c.messages + 1);
    }
    EXPECT_EQ(found.messages.back().origin.path, after);
    // Where what came before the break varies, so do its skips: the
    // expected ones are the last.
    std::vector<skipped_input> skips = found.skips;
    if (c.messages == any_number && skips.size() > c.skips.size()) {
      skips.erase(skips.begin(), skips.end() - static_cast<std::ptrdiff_t>(c.skips.size()));
    }
    ASSERT_EQ(skips.size(), c.skips.size());
    for (std::size_t i = 0; i < c.skips.size(); ++i) {
      EXPECT_EQ(skips[i].path, c.skips[i].path);
      EXPECT_TRUE(skips[i].reason.starts_with(c.skips[i].reason_begins)) << skips[i].reason;
      EXPECT_GT(skips[i].reason.size(), c.skips[i].reason_begins.size()) << "a reason, not only a prefix";
      EXPECT_EQ(skips[i].unreadable, c.skips[i].unreadable);
    }
    recording_sink progress;
    walk_inputs({packed(c.input), after}, progress);
    EXPECT_EQ(progress.read, size_of(packed(c.input)) + size_of(after));
  }
}

TEST(PackedArchive, KnownByItsName) {
  const struct {
    const char* name;
    bool packed;
  } cases[] = {
      {"fleet.zip", true},        {"FLEET.ZIP", true},       {"fleet.Zip", false},
      {"fleet.tar", true},        {"fleet.tar.gz", true},    {"fleet.tgz", true},
      {"fleet.tar.bz2", true},    {"fleet.tbz2", true},      {"fleet.tbz", true},
      {"fleet.tar.xz", true},     {"fleet.txz", true},       {"x.sbd.gz", true},
      {"x.eml.bz2", true},        {"box.mbox.xz", true},     {"x.gz.sbd", false},
      {"fleet.zip.txt", false},   {"zip", false},            {"x.7z", false},
      {"x.sbd", false},           {"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(names_packed_file(c.name), c.packed) << c.name;
}

TEST(ArchiveBytes, PeekedBytesAreReadAgain) {
  const std::string bytes = "From someone\nSubject: x\n\nbody\n";
  const struct {
    std::size_t peek;
    std::size_t chunk;
    std::size_t fails_at;
    std::string peeked;
    std::string read;  // all that read() hands out before it fails or ends
    bool fails;
  } cases[] = {
      {5, 4093, std::string::npos, "From ", bytes, false},
      {5, 1, std::string::npos, "From ", bytes, false},     // a byte a time
      {0, 3, std::string::npos, "", bytes, false},
      {500, 7, std::string::npos, bytes, bytes, false},     // more than there is
      {5, 2, 3, "Fro", "Fro", true},                        // fails while peeking
      {5, 2, 9, "From ", "From some", true},                // fails after
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.peek) + " " + std::to_string(c.chunk) + " " + std::to_string(c.fails_at));
    memory_bytes stream(bytes, c.chunk, c.fails_at);
    EXPECT_EQ(stream.peek(c.peek), c.peeked);
    std::string read;
    char buffer[5];
    std::int64_t got;
    while ((got = stream.read(buffer, sizeof buffer)) > 0) read.append(buffer, static_cast<std::size_t>(got));
    EXPECT_EQ(read, c.read);
    EXPECT_EQ(got < 0, c.fails);
    EXPECT_EQ(stream.failure().empty(), !c.fails);
    EXPECT_EQ(stream.read(buffer, sizeof buffer), c.fails ? -1 : 0) << "and so it stays";
  }
}

// kaldo convert on an archive writes the files and the report that it
// writes for the same files unpacked; only the names in the report differ.
TEST(PackedArchive, ConvertWritesWhatTheUnpackedFilesGive) {
  KALDO_REQUIRE_FIXTURES();
  struct input {
    std::string packed;
    std::string unpacked;  // what stands for `packed` in the report
    std::string name_in_report;
  };
  std::vector<input> inputs;
  for (const char* name : tree_archives) inputs.push_back({packed(name), packed("tree"), packed(name) + "!"});
  for (const char* name : {"one_attachment.eml", "300234010123450_000001.sbd", "small.mbox", "mixed.mbox", "mailbox"}) {
    const std::string plain = packed(std::string("singles/") + name);
    for (const char* suffix : {".gz", ".bz2", ".xz"}) {
      if (fs::exists(plain + suffix)) inputs.push_back({plain + suffix, plain, plain + suffix});
    }
  }
  temp_dir scratch;
  const auto convert = [&](const std::string& in, const std::string& out) {
    const std::string command = std::string("'") + KALDO_PROGRAM + "' convert --format 7 --quiet -o '" +
                                scratch.path() + "/" + out + "' --report '" + scratch.path() + "/" + out +
                                ".json' '" + in + "'";
    const int raw = std::system(command.c_str());
    return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  };
  const auto files_in = [&](const std::string& out) {
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::directory_iterator(scratch.path() + "/" + out)) {
      files[entry.path().filename().string()] = read_file(entry.path().string());
    }
    return files;
  };
  for (std::size_t i = 0; i < inputs.size(); ++i) {
    const input& in = inputs[i];
    SCOPED_TRACE(in.packed);
    const std::string expected = "unpacked" + std::to_string(i);
    const std::string actual = "packed" + std::to_string(i);
    const int expected_status = convert(in.unpacked, expected);
    EXPECT_EQ(convert(in.packed, actual), expected_status);
    const auto files = files_in(expected);
    ASSERT_FALSE(files.empty());
    EXPECT_TRUE(files_in(actual) == files) << "the output files and their contents";
    const std::string from = in.unpacked == packed("tree") ? in.unpacked + "/" : in.unpacked;
    std::string report = read_file(scratch.path() + "/" + actual + ".json");
    report = replaced(replaced(report, in.name_in_report, from), "/" + actual + "/", "/" + expected + "/");
    EXPECT_EQ(first_difference(report, read_file(scratch.path() + "/" + expected + ".json")), "");
  }
}

}  // namespace
}  // namespace kaldo::tool::testing
