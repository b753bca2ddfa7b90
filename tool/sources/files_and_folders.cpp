// Files and folders: the walk over one input of a run. A folder is walked
// in name order, following symbolic links, with a loop caught by the
// folders open above it; every file goes to the first reader of the table
// below that claims it. The files an archive holds go to the same table,
// read as the archive unpacks them.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

#include "kaldo/names.h"
#include "tool/paths.h"
#include "tool/sources/email.h"
#include "tool/sources/files_and_folders.h"
#include "tool/sources/maildir.h"
#include "tool/sources/mbox.h"
#include "tool/sources/packed_archive.h"
#include "tool/sources/source.h"

namespace kaldo::tool {

namespace {

struct file_entry {
  std::string path;  // on disk; for a file of an archive, how reports name it
  std::string name;  // the last path component
  std::uint64_t size = 0;
  std::string head;  // the first bytes, for a file its name does not place
};

// The first bytes of a file tell an mbox.
constexpr std::size_t head_bytes = 5;

void read_sbd_file(const file_entry& file, message_sink& sink) {
  found_message message;
  message.origin = file_origin(file.path);
  message.name = file.name;
  message.kind = kaldo::encoding::sbd_payload;
  const int fd = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    message.unreadable = kaldo::read_refusal::cannot_read_sbd;
    sink.found(std::move(message));
    return;
  }
  message.bytes.resize(kept_payload_bytes);
  std::size_t kept = 0;
  bool failed = false;
  // Up to the size the file had when found (as the single-file program,
  // which takes its size once), so that a short file costs one read.
  const std::size_t wanted = static_cast<std::size_t>(std::min<std::uint64_t>(file.size, kept_payload_bytes));
  while (kept < wanted) {
    const ssize_t got = ::read(fd, message.bytes.data() + kept, wanted - kept);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) failed = true;
    if (got <= 0) break;
    kept += static_cast<std::size_t>(got);
  }
  ::close(fd);
  message.bytes.resize(kept);
  if (failed) {
    message.bytes.clear();
    message.unreadable = kaldo::read_refusal::cannot_read_sbd;
  }
  // The rest of a long file is only counted: its length decides the answer.
  message.full_length = std::max<std::uint64_t>(file.size, kept);
  sink.found(std::move(message));
}

// The same unpacked: its whole length is counted, since nothing tells it
// beforehand that can be trusted.
void unpacked_sbd(const file_entry& file, byte_stream& bytes, message_sink& sink) {
  found_message message;
  message.origin = file_origin(file.path);
  message.name = file.name;
  message.kind = kaldo::encoding::sbd_payload;
  std::array<char, 64 * 1024> buffer;
  for (;;) {
    const std::int64_t got = bytes.read(buffer.data(), buffer.size());
    // The archive's reader reports why the file cannot be unpacked.
    if (got < 0) return;
    if (got == 0) break;
    const auto n = static_cast<std::size_t>(got);
    if (message.bytes.size() < kept_payload_bytes) {
      message.bytes.append(buffer.data(), std::min(n, kept_payload_bytes - message.bytes.size()));
    }
    message.full_length += n;
  }
  sink.found(std::move(message));
}

email_place eml_place(const file_entry& file) {
  email_place place;
  place.source = file.path;
  place.sms_name = file.name;
  return place;
}

void read_eml_file(const file_entry& file, message_sink& sink) { read_email_file(eml_place(file), sink); }

void unpacked_eml(const file_entry& file, byte_stream& bytes, message_sink& sink) {
  read_email_unpacked(bytes, eml_place(file), sink);
}

void read_mbox_file(const file_entry& file, message_sink& sink) { read_mbox(file.path, sink); }

void unpacked_mbox(const file_entry& file, byte_stream& bytes, message_sink& sink) {
  read_mbox_unpacked(bytes, file.path, file.name, sink);
}

void read_packed(const file_entry& file, message_sink& sink) { read_packed_file(file.path, sink); }

// An archive in an archive is not unpacked: one level of unpacking is what
// a user sees, and it keeps the memory and the temporary files one
// archive's.
void pass_over_packed(const file_entry& file, byte_stream&, message_sink& sink) {
  sink.skipped({file.path, {}, "an archive inside an archive (not opened)", false});
}

bool named_sbd(const file_entry& file) {
  return kaldo::file_kind_of(file.name) == kaldo::file_kind::sbd_attachment;
}
bool named_eml(const file_entry& file) {
  return kaldo::file_kind_of(file.name) == kaldo::file_kind::sms_email;
}
bool named_packed(const file_entry& file) { return names_packed_file(file.name); }
bool opens_mbox(const file_entry& file) { return looks_like_mbox(file.head); }

// Which source reads a file: the name decides first, as it does for
// Kaldo_Command_Line; an mbox is known by its first line. Each reads a
// file on disk, and a file an archive unpacks.
struct file_source {
  bool (*claims)(const file_entry&);
  void (*read)(const file_entry&, message_sink&);
  void (*read_unpacked)(const file_entry&, byte_stream&, message_sink&);
  // Whether the reader tells its progress as it goes; the walk counts the
  // file's size after the others.
  bool tells_progress;
};
constexpr file_source file_sources[] = {
    {named_sbd, read_sbd_file, unpacked_sbd, false},
    {named_eml, read_eml_file, unpacked_eml, false},
    {named_packed, read_packed, pass_over_packed, true},
    {opens_mbox, read_mbox_file, unpacked_mbox, true},
};

constexpr const char* not_a_message = "not a message file (.sbd, .eml, mbox or Maildir)";

class walker {
 public:
  walker(message_sink& sink, const std::vector<std::string>& pass_over) : sink_(sink) {
    for (const std::string& folder : pass_over) {
      struct stat info;
      if (::stat(folder.c_str(), &info) == 0) passed_over_.emplace_back(info.st_dev, info.st_ino);
    }
  }

  void input(const std::string& path) {
    if (sink_.stopping()) return;
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) {
      sink_.skipped({path, {}, std::string("cannot read: ") + std::strerror(errno), true});
      return;
    }
    entry(path, info);
  }

 private:
  void entry(const std::string& path, const struct stat& info) {
    if (S_ISDIR(info.st_mode)) {
      folder(path, info);
    } else if (S_ISREG(info.st_mode)) {
      file(path, info);
    } else {
      sink_.skipped({path, {}, "not a regular file or folder", false});
    }
  }

  void folder(const std::string& path, const struct stat& info) {
    const std::pair<dev_t, ino_t> identity{info.st_dev, info.st_ino};
    for (const auto& passed : passed_over_) {
      if (passed == identity) return;
    }
    for (const auto& open : open_folders_) {
      if (open == identity) {
        sink_.skipped({path, {}, "symbolic link loop: a folder inside itself", false});
        return;
      }
    }
    open_folders_.push_back(identity);
    if (is_maildir(path)) {
      read_maildir(path, sink_, [this](const std::string& subfolder) { input(subfolder); });
    } else {
      std::vector<std::string> names;
      std::string error;
      if (!list_folder(path, names, &error)) {
        sink_.skipped({path, {}, "cannot read folder: " + error, true});
      }
      for (const std::string& name : names) input(join_path(path, name));
    }
    open_folders_.pop_back();
  }

  void file(const std::string& path, const struct stat& info) {
    file_entry entry{path, last_path_component(path), static_cast<std::uint64_t>(info.st_size), {}};
    if (!named_sbd(entry) && !named_eml(entry)) {
      // Known by its first bytes, if at all; an unreadable one is no less
      // a failure for its name.
      const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        sink_.skipped({path, {}, std::string("cannot read: ") + std::strerror(errno), true});
        return;
      }
      entry.head.resize(head_bytes);
      const ssize_t got = ::read(fd, entry.head.data(), head_bytes);
      ::close(fd);
      entry.head.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
    }
    for (const file_source& source : file_sources) {
      if (source.claims(entry)) {
        source.read(entry, sink_);
        if (!source.tells_progress) sink_.advanced(entry.size);
        return;
      }
    }
    sink_.skipped({path, {}, not_a_message, false});
    sink_.advanced(entry.size);
  }

  message_sink& sink_;
  std::vector<std::pair<dev_t, ino_t>> open_folders_;
  std::vector<std::pair<dev_t, ino_t>> passed_over_;
};

void add_sizes(const std::string& path, std::vector<std::pair<dev_t, ino_t>>& open,
               std::uint64_t& total) {
  struct stat info;
  if (::stat(path.c_str(), &info) != 0) return;
  if (S_ISREG(info.st_mode)) {
    total += static_cast<std::uint64_t>(info.st_size);
    return;
  }
  if (!S_ISDIR(info.st_mode)) return;
  for (const auto& folder : open) {
    if (folder.first == info.st_dev && folder.second == info.st_ino) return;
  }
  std::vector<std::string> names;
  std::string error;
  if (!list_folder(path, names, &error)) return;
  open.emplace_back(info.st_dev, info.st_ino);
  for (const std::string& name : names) {
    // tmp/ of a Maildir holds deliveries the walk passes over.
    if (name == "tmp") continue;
    add_sizes(join_path(path, name), open, total);
  }
  open.pop_back();
}

class files_and_folders final : public source {
 public:
  files_and_folders(std::string path, source_settings settings)
      : path_(std::move(path)), settings_(std::move(settings)) {}

  void run(message_sink& sink) override {
    walker walk(sink, settings_.pass_over);
    walk.input(path_);
  }

  std::uint64_t total_bytes() const override {
    std::uint64_t total = 0;
    std::vector<std::pair<dev_t, ino_t>> open;
    add_sizes(path_, open, total);
    return total;
  }

 private:
  std::string path_;
  source_settings settings_;
};

}  // namespace

void read_unpacked_file(const unpacked_file& file, message_sink& sink) {
  file_entry entry{file.path, file.name, 0, {}};
  if (!named_sbd(entry) && !named_eml(entry)) entry.head = std::string(file.bytes.peek(head_bytes));
  for (const file_source& source : file_sources) {
    if (source.claims(entry)) {
      source.read_unpacked(entry, file.bytes, sink);
      return;
    }
  }
  sink.skipped({file.path, {}, not_a_message, false});
}

std::unique_ptr<source> open_files_and_folders(const std::string& path,
                                               const source_settings& settings) {
  return std::make_unique<files_and_folders>(path, settings);
}

}  // namespace kaldo::tool
