#include "tool/sources/packed_archive.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "tool/display_text.h"
#include "tool/paths.h"
#include "tool/sources/byte_stream.h"
#include "tool/sources/email.h"
#include "tool/sources/files_and_folders.h"

namespace kaldo::tool {

namespace {

struct packed_suffix {
  std::string_view suffix;  // lower case; the upper-case spelling counts too
  bool compressed_file;     // one file, named without the suffix
};
// Longest first, so that x.tar.gz is an archive and not a compressed x.tar.
constexpr packed_suffix packed_suffixes[] = {
    {".tar.gz", false}, {".tar.bz2", false}, {".tar.xz", false}, {".tgz", false},
    {".tbz2", false},   {".tbz", false},     {".txz", false},    {".tar", false},
    {".zip", false},    {".gz", true},       {".bz2", true},     {".xz", true},
};

bool ends_with_either_case(std::string_view name, std::string_view lower) {
  if (name.size() < lower.size()) return false;
  const std::string_view end = name.substr(name.size() - lower.size());
  if (end == lower) return true;
  for (std::size_t i = 0; i < lower.size(); ++i) {
    const char c = lower[i];
    if (end[i] != (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c)) return false;
  }
  return true;
}

const packed_suffix* suffix_of(std::string_view name) {
  for (const packed_suffix& suffix : packed_suffixes) {
    if (ends_with_either_case(name, suffix.suffix)) return &suffix;
  }
  return nullptr;
}

std::string error_text(archive* a) {
  const char* text = archive_error_string(a);
  // Texts of libarchive may quote names from the archive: bytes, not text.
  return path_to_utf8(text != nullptr ? text : "unknown error");
}

struct archive_release {
  void operator()(archive* a) const { archive_read_free(a); }
};
using archive_ptr = std::unique_ptr<archive, archive_release>;

// The archive file, read through libarchive's callbacks: they count the
// compressed bytes read, for progress, and let libarchive seek in a zip
// file (to its list of files at the end) instead of reading it all.
class archive_input {
 public:
  explicit archive_input(int fd) : fd_(fd) {}

  // A reader from the file's start; with `raw`, one that also takes a file
  // that is no archive (the one file of a compressed file). Null with the
  // reason.
  archive_ptr open(bool raw, std::string* error) {
    archive_ptr a(archive_read_new());
    if (!a) {
      *error = "out of memory";
      return nullptr;
    }
    archive_read_support_filter_gzip(a.get());
    archive_read_support_filter_bzip2(a.get());
    archive_read_support_filter_xz(a.get());
    archive_read_support_format_tar(a.get());
    archive_read_support_format_zip(a.get());
    archive_read_support_format_empty(a.get());
    if (raw) archive_read_support_format_raw(a.get());
    if (::lseek(fd_, 0, SEEK_SET) != 0) {
      *error = std::strerror(errno);
      return nullptr;
    }
    archive_read_set_callback_data(a.get(), this);
    archive_read_set_read_callback(a.get(), read);
    archive_read_set_seek_callback(a.get(), seek);
    archive_read_set_skip_callback(a.get(), skip);
    if (archive_read_open1(a.get()) != ARCHIVE_OK) {
      *error = error_text(a.get());
      return nullptr;
    }
    return a;
  }

  std::uint64_t bytes_read() const { return bytes_read_; }

 private:
  static la_ssize_t read(archive* a, void* data, const void** buffer) {
    auto* self = static_cast<archive_input*>(data);
    for (;;) {
      const ssize_t got = ::read(self->fd_, self->buffer_.data(), self->buffer_.size());
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        archive_set_error(a, errno, "%s", std::strerror(errno));
        return -1;
      }
      *buffer = self->buffer_.data();
      self->bytes_read_ += static_cast<std::uint64_t>(got);
      return got;
    }
  }

  static la_int64_t seek(archive* a, void* data, la_int64_t offset, int whence) {
    const off_t at = ::lseek(static_cast<archive_input*>(data)->fd_, offset, whence);
    if (at < 0) {
      archive_set_error(a, errno, "%s", std::strerror(errno));
      return ARCHIVE_FATAL;
    }
    return at;
  }

  static la_int64_t skip(archive*, void* data, la_int64_t request) {
    const int fd = static_cast<archive_input*>(data)->fd_;
    const off_t from = ::lseek(fd, 0, SEEK_CUR);
    // Nothing skipped: libarchive reads what it meant to skip instead.
    if (from < 0 || ::lseek(fd, request, SEEK_CUR) < 0) return 0;
    return request;
  }

  int fd_;
  std::array<char, 64 * 1024> buffer_;
  std::uint64_t bytes_read_ = 0;
};

// The bytes of the file whose header was read last.
class entry_bytes final : public byte_stream {
 public:
  explicit entry_bytes(archive* a) : archive_(a) {}

 protected:
  std::int64_t read_more(char* buffer, std::size_t size) override {
    const la_ssize_t got = archive_read_data(archive_, buffer, size);
    if (got >= 0) return got;
    fail(error_text(archive_));
    return -1;
  }

 private:
  archive* archive_;
};

// The bytes of a file kept in the temporary file while it waited.
struct waiting_file {
  std::uint64_t offset = 0;
  std::uint64_t size = 0;
};

class waited_bytes final : public byte_stream {
 public:
  waited_bytes(const spool_file& spool, waiting_file place) : spool_(spool), place_(place) {}

 protected:
  std::int64_t read_more(char* buffer, std::size_t size) override {
    const std::uint64_t left = place_.size - done_;
    const std::int64_t got = spool_.read_at(place_.offset + done_, buffer, std::min<std::uint64_t>(size, left));
    if (got < 0 || (got == 0 && left > 0)) {
      fail("cannot read a temporary file back");
      return -1;
    }
    done_ += static_cast<std::uint64_t>(got);
    return got;
  }

 private:
  const spool_file& spool_;
  waiting_file place_;
  std::uint64_t done_ = 0;
};

class no_bytes final : public byte_stream {
 protected:
  std::int64_t read_more(char*, std::size_t) override { return 0; }
};

// Hands on what the readers find, with the archive's progress in place of
// theirs: the compressed bytes read, never more than the archive's size.
class archive_progress final : public message_sink {
 public:
  archive_progress(message_sink& sink, const archive_input& input, std::uint64_t size)
      : sink_(sink), input_(input), size_(size) {}

  void found(found_message message) override {
    tell();
    sink_.found(std::move(message));
  }
  void skipped(skipped_input input) override {
    tell();
    sink_.skipped(std::move(input));
  }
  void advanced(std::uint64_t) override { tell(); }
  bool stopping() const override { return sink_.stopping(); }

  // From here on, what is read counts (the listing pass does not).
  void count_from_here() { counted_from_ = input_.bytes_read(); }
  void tell() {
    const std::uint64_t now = std::min(input_.bytes_read() - counted_from_, size_);
    if (now > told_) sink_.advanced(now - told_);
    told_ = std::max(told_, now);
  }
  void finish() {
    if (size_ > told_) sink_.advanced(size_ - told_);
    told_ = size_;
  }

 private:
  message_sink& sink_;
  const archive_input& input_;
  std::uint64_t size_;
  std::uint64_t counted_from_ = 0;
  std::uint64_t told_ = 0;
};

// The listing: the archive's files as the folders they unpack to. Files
// are known by their place in the archive (from 0, every header counted).
enum class listed_kind { file, symbolic_link, hard_link, other, unnamed };

struct listed_file {
  std::size_t ordinal;
  listed_kind kind;
};

struct folder_node {
  struct child {
    std::vector<listed_file> files;  // more than one when the archive repeats a name
    std::unique_ptr<folder_node> folder;
  };
  std::map<std::string, child> children;  // in byte order, as list_folder sorts
};

// Deeper folders than any file system holds paths for; the rest of a
// longer path is kept as one name, so a hostile archive cannot make the
// walk recurse without end.
constexpr std::size_t deepest_folder = 64;

// "./a//b/" as {"a", "b"}: the names a file system gives the path.
std::vector<std::string> path_names(std::string_view path) {
  std::vector<std::string> names;
  std::size_t at = 0;
  while (at <= path.size()) {
    std::size_t end = path.find('/', at);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view name = path.substr(at, end - at);
    if (!name.empty() && name != ".") {
      if (names.size() == deepest_folder) {
        names.back().append("/").append(name);
      } else {
        names.emplace_back(name);
      }
    }
    at = end + 1;
  }
  return names;
}

void add_to_listing(folder_node& root, archive_entry* entry, std::size_t ordinal) {
  // UTF-8 where the archive says its names are; otherwise the name's bytes,
  // as unpacking in this locale writes them.
  const char* path = archive_entry_pathname_utf8(entry);
  if (path == nullptr) path = archive_entry_pathname(entry);
  if (path == nullptr) {
    root.children[""].files.push_back({ordinal, listed_kind::unnamed});
    return;
  }
  std::vector<std::string> names = path_names(path);
  const bool folder = archive_entry_filetype(entry) == AE_IFDIR;
  if (names.empty()) {
    if (folder) return;  // the archive's own top folder
    names.emplace_back();
  }
  folder_node* node = &root;
  const std::size_t folders = folder ? names.size() : names.size() - 1;
  for (std::size_t i = 0; i < folders; ++i) {
    auto& child = node->children[names[i]];
    if (!child.folder) child.folder = std::make_unique<folder_node>();
    node = child.folder.get();
  }
  if (folder) return;
  listed_kind kind = listed_kind::other;
  if (archive_entry_hardlink(entry) != nullptr) {
    kind = listed_kind::hard_link;
  } else if (archive_entry_filetype(entry) == AE_IFREG) {
    kind = listed_kind::file;
  } else if (archive_entry_filetype(entry) == AE_IFLNK) {
    kind = listed_kind::symbolic_link;
  }
  node->children[names.back()].files.push_back({ordinal, kind});
}

// The plan: everything the walk hands on for the archive, in its order.
// An entry either reads a file of the archive or only says why something
// is passed over.
constexpr std::size_t nothing_to_read = static_cast<std::size_t>(-1);

struct planned_entry {
  std::size_t ordinal = nothing_to_read;
  std::string path;  // "archive!dir/name"
  std::string name;
  bool maildir_email = false;
  const char* passed_over = nullptr;  // why, when nothing is read
};

const char* why_not_read(listed_kind kind) {
  switch (kind) {
    case listed_kind::symbolic_link: return "a symbolic link in an archive (not followed)";
    case listed_kind::hard_link: return "a hard link in an archive (its file is read where it is stored)";
    case listed_kind::other: return "not a regular file or folder";
    case listed_kind::unnamed: return "a file in an archive whose name cannot be read";
    case listed_kind::file: break;
  }
  return nullptr;
}

bool is_maildir(const folder_node& folder) {
  const auto cur = folder.children.find("cur");
  const auto fresh = folder.children.find("new");
  return cur != folder.children.end() && cur->second.folder && fresh != folder.children.end() &&
         fresh->second.folder;
}

void plan_folder(const folder_node& folder, const std::string& prefix, std::vector<planned_entry>& plan);

// As read_maildir reads a Maildir folder: the e-mails of cur/ and new/,
// then the folders beside them but tmp/; nothing else.
void plan_maildir(const folder_node& folder, const std::string& prefix, std::vector<planned_entry>& plan) {
  for (const char* mail : {"cur", "new"}) {
    const std::string mail_prefix = prefix + mail + "/";
    for (const auto& [name, child] : folder.children.at(mail).folder->children) {
      // Dot files are the mail program's own, never a delivered e-mail.
      if (name.starts_with(".")) continue;
      for (const listed_file& file : child.files) {
        planned_entry entry{nothing_to_read, mail_prefix + name, last_path_component(name)};
        if (file.kind == listed_kind::file) {
          entry.ordinal = file.ordinal;
          entry.maildir_email = true;
        } else {
          entry.passed_over = "not an e-mail file in a Maildir";
        }
        plan.push_back(std::move(entry));
      }
      if (child.folder) {
        plan.push_back({nothing_to_read, mail_prefix + name, name, false, "not an e-mail file in a Maildir"});
      }
    }
  }
  for (const auto& [name, child] : folder.children) {
    if (name == "cur" || name == "new" || name == "tmp" || !child.folder) continue;
    plan_folder(*child.folder, prefix + name + "/", plan);
  }
}

void plan_folder(const folder_node& folder, const std::string& prefix, std::vector<planned_entry>& plan) {
  if (is_maildir(folder)) {
    plan_maildir(folder, prefix, plan);
    return;
  }
  for (const auto& [name, child] : folder.children) {
    for (const listed_file& file : child.files) {
      planned_entry entry{nothing_to_read, prefix + name, last_path_component(name)};
      if (file.kind == listed_kind::file) {
        entry.ordinal = file.ordinal;
      } else {
        entry.passed_over = why_not_read(file.kind);
      }
      plan.push_back(std::move(entry));
    }
    if (child.folder) plan_folder(*child.folder, prefix + name + "/", plan);
  }
}

void read_planned(const planned_entry& entry, byte_stream& bytes, message_sink& sink) {
  if (entry.maildir_email) {
    email_place place;
    place.source = entry.path;
    place.sms_name = entry.name.ends_with(".eml") ? entry.name : entry.name + ".eml";
    place.local_line_ends = true;
    read_email_unpacked(bytes, place, sink);
  } else {
    read_unpacked_file({entry.path, entry.name, bytes}, sink);
  }
  if (!bytes.failure().empty()) {
    sink.skipped({entry.path, {}, "cannot unpack: " + bytes.failure(), true});
  }
}

// Names in archives as a user's UTF-8 locale unpacks them, whatever the
// program's own locale (C): libarchive turns a zip's UTF-8 names into the
// thread's locale, and in C it cannot. Only this thread's character
// classes change, and only while an archive is read.
class utf8_names {
 public:
  utf8_names() : utf8_(newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr))) {
    if (utf8_ != static_cast<locale_t>(nullptr)) before_ = uselocale(utf8_);
  }
  ~utf8_names() {
    if (utf8_ == static_cast<locale_t>(nullptr)) return;
    uselocale(before_);
    freelocale(utf8_);
  }
  utf8_names(const utf8_names&) = delete;
  utf8_names& operator=(const utf8_names&) = delete;

 private:
  locale_t utf8_;
  locale_t before_ = static_cast<locale_t>(nullptr);
};

class packed_reader {
 public:
  packed_reader(const std::string& path, archive_input& input, archive_progress& sink,
                const packed_limits& limits)
      : path_(path), input_(input), sink_(sink), limits_(limits) {
    const packed_suffix* suffix = suffix_of(last_path_component(path));
    compressed_file_ = suffix != nullptr && suffix->compressed_file;
    inner_name_ = last_path_component(path);
    if (compressed_file_) inner_name_.resize(inner_name_.size() - suffix->suffix.size());
  }

  void run() {
    const utf8_names names;
    std::string error;
    archive_ptr a = input_.open(compressed_file_, &error);
    if (!a) return unreadable(error);
    archive_entry* entry = nullptr;
    const int first = archive_read_next_header(a.get(), &entry);
    const bool compressed = archive_filter_count(a.get()) > 1;
    if (first == ARCHIVE_EOF) {
      // No file at all; but a compressed empty file is an empty file.
      if (compressed_file_ && compressed) {
        no_bytes bytes;
        read_planned({0, path_, inner_name_}, bytes, sink_);
      }
      return;
    }
    if (first < ARCHIVE_WARN) return unreadable(error_text(a.get()));
    if (archive_format(a.get()) == ARCHIVE_FORMAT_RAW) {
      if (!compressed) return unreadable("not compressed with gzip, bzip2 or xz");
      entry_bytes bytes(a.get());
      read_planned({0, path_, inner_name_}, bytes, sink_);
      return;
    }

    // An archive: its listing first, then its files in the walk's order.
    folder_node root;
    std::string broken;
    for (int status = first;; status = archive_read_next_header(a.get(), &entry)) {
      if (status == ARCHIVE_EOF) break;
      // A file whose bytes cannot be read to the end is left out with the
      // rest: the archive cannot be read past it.
      if (status < ARCHIVE_WARN || archive_read_data_skip(a.get()) < ARCHIVE_WARN) {
        broken = error_text(a.get());
        break;
      }
      add_to_listing(root, entry, listed_++);
    }
    a.reset();
    plan_folder(root, path_ + "!", plan_);
    root.children.clear();
    deliver();
    if (!broken.empty()) unreadable(broken);
  }

 private:
  void unreadable(const std::string& why) { sink_.skipped({path_, {}, "cannot unpack: " + why, true}); }

  // Reads the files of the plan in its order, in as many passes over the
  // archive as it takes: each pass reads the next file of the plan where
  // the archive holds it, and keeps any later one it meets on the way in
  // the temporary file when it is small enough, for its turn.
  void deliver() {
    std::vector<std::size_t> planned_at(listed_, nothing_to_read);
    for (std::size_t i = 0; i < plan_.size(); ++i) {
      if (plan_[i].ordinal != nothing_to_read) planned_at[plan_[i].ordinal] = i;
    }
    waiting_.assign(plan_.size(), std::nullopt);
    too_large_.assign(plan_.size(), false);
    sink_.count_from_here();
    hand_on_ready();
    while (next_ < plan_.size()) {
      if (sink_.stopping()) return;
      const std::size_t before = next_;
      std::string error;
      archive_ptr a = input_.open(compressed_file_, &error);
      if (!a) return unreadable(error);
      for (std::size_t ordinal = 0; ordinal < listed_ && next_ < plan_.size(); ++ordinal) {
        archive_entry* entry = nullptr;
        const int status = archive_read_next_header(a.get(), &entry);
        if (status == ARCHIVE_EOF) break;
        if (status < ARCHIVE_WARN) return unreadable(error_text(a.get()));
        if (sink_.stopping()) return;
        const std::size_t at = planned_at[ordinal];
        if (at == nothing_to_read || at < next_ || waiting_[at]) continue;
        if (at == next_) {
          entry_bytes bytes(a.get());
          read_planned(plan_[at], bytes, sink_);
          ++next_;
          hand_on_ready();
          sink_.tell();
        } else if (!too_large_[at]) {
          keep(a.get(), at);
          sink_.tell();
        }
      }
      // Every pass reads at least the next file of the plan, unless the
      // archive changed under the reading.
      if (next_ == before) return unreadable("the archive changed while it was read");
    }
  }

  // Hands on the entries of the plan from the next on that need no pass:
  // what is passed over, and files that waited for their turn.
  void hand_on_ready() {
    for (; next_ < plan_.size(); ++next_) {
      const planned_entry& entry = plan_[next_];
      if (entry.passed_over != nullptr) {
        sink_.skipped({entry.path, {}, entry.passed_over, false});
        continue;
      }
      if (!waiting_[next_]) return;
      waited_bytes bytes(*spool_, *waiting_[next_]);
      read_planned(entry, bytes, sink_);
      spool_->release(waiting_[next_]->offset, waiting_[next_]->size);
    }
  }

  // Keeps the file at plan entry `at`, met before its turn, in the
  // temporary file; or, when it is too large or that fails, leaves it for
  // a later pass.
  void keep(archive* a, std::size_t at) {
    too_large_[at] = true;
    std::string error;
    if (!spool_ && !spool_failed_) {
      spool_ = spool_file::create(&error);
      spool_failed_ = !spool_;
    }
    if (!spool_) return;
    const waiting_file place{spool_->size(), 0};
    entry_bytes bytes(a);
    std::array<char, 64 * 1024> buffer;
    std::uint64_t size = 0;
    for (;;) {
      const std::int64_t got = bytes.read(buffer.data(), buffer.size());
      if (got == 0) break;
      size += static_cast<std::uint64_t>(std::max<std::int64_t>(got, 0));
      if (got < 0 || size > limits_.waiting_file_bytes ||
          !spool_->append(buffer.data(), static_cast<std::size_t>(got), &error)) {
        // Read where it stands in the archive instead, on a later pass.
        spool_->truncate(place.offset);
        return;
      }
    }
    waiting_[at] = waiting_file{place.offset, size};
    too_large_[at] = false;
  }

  const std::string& path_;
  archive_input& input_;
  archive_progress& sink_;
  packed_limits limits_;
  bool compressed_file_ = false;
  std::string inner_name_;  // of a compressed file: its name without the suffix
  std::size_t listed_ = 0;  // headers in the listing
  std::vector<planned_entry> plan_;
  std::size_t next_ = 0;  // the plan's next entry to hand on
  std::vector<std::optional<waiting_file>> waiting_;
  std::vector<bool> too_large_;
  std::unique_ptr<spool_file> spool_;
  bool spool_failed_ = false;
};

}  // namespace

bool names_packed_file(std::string_view name) { return suffix_of(name) != nullptr; }

void read_packed_file(const std::string& path, message_sink& sink, const packed_limits& limits) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info;
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    sink.skipped({path, {}, std::string("cannot read: ") + std::strerror(errno), true});
    if (fd >= 0) ::close(fd);
    return;
  }
  {
    archive_input input(fd);
    archive_progress progress(sink, input, static_cast<std::uint64_t>(info.st_size));
    packed_reader(path, input, progress, limits).run();
    progress.finish();
  }
  ::close(fd);
}

}  // namespace kaldo::tool
