#include "tool/convert_command.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "kaldo/kaldo.h"
#include "tool/display_text.h"
#include "tool/paths.h"
#include "tool/run.h"

namespace kaldo::tool {

namespace {

// Writes `text` to `path`. A write that fails (a full disk, a quota)
// takes the file away again, so that no output is ever empty or cut short;
// a whole one costs no more than the write itself.
bool write_output(const std::string& path, const std::string& text, std::string* error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    *error = std::strerror(errno);
    return false;
  }
  std::size_t written = 0;
  bool ok = true;
  while (ok && written < text.size()) {
    const ssize_t put = ::write(fd, text.data() + written, text.size() - written);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) {
      *error = std::strerror(put < 0 ? errno : ENOSPC);
      ok = false;
    } else {
      written += static_cast<std::size_t>(put);
    }
  }
  if (::close(fd) != 0 && ok) {
    *error = std::strerror(errno);
    ok = false;
  }
  if (!ok) ::unlink(path.c_str());
  return ok;
}

bool output_folder_ready(const std::string& folder, std::string* error) {
  std::error_code code;
  std::filesystem::create_directories(folder, code);
  if (code) {
    *error = code.message();
    return false;
  }
  if (::access(folder.c_str(), W_OK | X_OK) != 0) {
    *error = std::strerror(errno);
    return false;
  }
  return true;
}

bool same_folder(const std::string& a, const std::string& b) {
  struct stat first, second;
  return ::stat(a.c_str(), &first) == 0 && ::stat(b.c_str(), &second) == 0 &&
         S_ISDIR(first.st_mode) && first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

// A text file per message: exactly what Kaldo_Command_Line prints for it,
// under the name the namer gives it in input order.
class text_files final : public run_work {
 public:
  explicit text_files(const std::string& folder) : folder_(folder) {}

  library_call call() const override { return library_call::convert_text; }

  void found(run_item& item) override {
    if (item.outcome.status == message_status::duplicate) return;
    item.outcome.output = join_path(folder_, item.file_name);
  }

  void worked(run_item& item) override {
    message_outcome& outcome = item.outcome;
    if (outcome.status == message_status::duplicate) return;
    std::string error;
    if (!write_output(*outcome.output, item.printed, &error)) {
      outcome.status = message_status::failed;
      outcome.error = "cannot write the output file: " + error;
      outcome.output_not_written = true;
      outcome.output.reset();
      // The next message would meet the same full or read-only folder.
      item.stop_run = true;
    }
  }

 private:
  const std::string& folder_;
};

}  // namespace

int run_convert(const convert_options& options) {
  std::string error;
  if (!output_folder_ready(options.output_folder, &error)) {
    std::fprintf(stderr, "kaldo convert: cannot write to the output folder %s: %s\n",
                 path_to_utf8(options.output_folder).c_str(), error.c_str());
    return 2;
  }
  // Its own outputs would be read as inputs on the next run, and this run
  // would skip the folder it was asked to read.
  for (const std::string& input : options.run.inputs) {
    if (same_folder(input, options.output_folder)) {
      std::fprintf(stderr, "kaldo convert: the output folder %s is also an input; write elsewhere\n",
                   path_to_utf8(options.output_folder).c_str());
      return 2;
    }
  }
  run_setup setup;
  setup.command = "kaldo convert";
  setup.how.format = options.format;
  setup.how.century = options.run.century;
  // A rerun into a folder among the inputs must not read its own outputs.
  setup.pass_over = {options.output_folder};
  text_files work(options.output_folder);
  return run_messages(options.run, setup, work);
}

std::function<int()> setup_convert_command(CLI::App& command) {
  auto options = std::make_shared<convert_options>();
  static const std::string format_help = "Output format, " + std::to_string(kaldo::first_format) + " to " +
                                         std::to_string(kaldo::last_format) + " (as Kaldo_Command_Line)";
  command.add_option("--format", options->format, format_help)
      ->required()
      ->check(CLI::Range(kaldo::first_format, kaldo::last_format));
  std::string formats = "Formats:\n";
  for (int number = kaldo::first_format; number <= kaldo::last_format; ++number) {
    // The first half of the numbers are the generation before version 3.2.
    formats += (number < 10 ? "   " : "  ") + std::to_string(number) + "  " + kaldo::format_name(number) +
               (number <= kaldo::last_format / 2 ? " (before version 3.2)\n" : " (after version 3.2)\n");
  }
  command.footer(formats);
  add_run_options(command, options->run, "Messages converted at once (default: one per core)");
  command.add_option("-o,--output", options->output_folder, "Folder for the output files")->required();
  add_run_inputs(command, options->run);
  return [options] { return run_convert(*options); };
}

}  // namespace kaldo::tool
