#include "tool/sources/maildir.h"

#include <sys/stat.h>

#include <vector>

#include "tool/paths.h"
#include "tool/sources/email.h"

namespace kaldo::tool {

namespace {

bool is_folder(const std::string& path) {
  struct stat info;
  return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

// The names in `folder`; a folder that cannot be read is reported as an
// unreadable input and gives none.
std::vector<std::string> names_in(const std::string& folder, message_sink& sink) {
  std::vector<std::string> names;
  std::string error;
  if (!list_folder(folder, names, &error)) {
    sink.skipped({folder, {}, "cannot read folder: " + error, true});
    names.clear();
  }
  return names;
}

void read_mail_folder(const std::string& folder, message_sink& sink) {
  for (const std::string& name : names_in(folder, sink)) {
    if (sink.stopping()) return;
    // Dot files are the mail program's own, never a delivered e-mail.
    if (name.starts_with(".")) continue;
    const std::string path = join_path(folder, name);
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) {
      sink.skipped({path, {}, "not an e-mail file in a Maildir", false});
      continue;
    }
    email_place place;
    place.source = path;
    place.sms_name = name.ends_with(".eml") ? name : name + ".eml";
    place.local_line_ends = true;
    read_email_file(place, sink);
    sink.advanced(static_cast<std::uint64_t>(info.st_size));
  }
}

}  // namespace

bool is_maildir(const std::string& folder) {
  return is_folder(join_path(folder, "cur")) && is_folder(join_path(folder, "new"));
}

void read_maildir(const std::string& folder, message_sink& sink,
                  const std::function<void(const std::string&)>& walk_folder) {
  read_mail_folder(join_path(folder, "cur"), sink);
  read_mail_folder(join_path(folder, "new"), sink);
  for (const std::string& name : names_in(folder, sink)) {
    if (name == "cur" || name == "new" || name == "tmp") continue;
    const std::string path = join_path(folder, name);
    if (is_folder(path)) walk_folder(path);
  }
}

}  // namespace kaldo::tool
