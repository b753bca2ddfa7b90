// kaldo: tracker messages by the archive. One subcommand per task, all in
// the table below; exit status 2 for any usage error.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <functional>
#include <map>

#include "tool/convert_command.h"
#include "tool/interrupt.h"
#include "tool/serve_command.h"
#include "tool/subcommand.h"
#include "tool/suggestions.h"
#include "tool/tracks_command.h"
#include "kaldo/version.h"

namespace {

using kaldo::tool::subcommand;

constexpr subcommand subcommands[] = {
    {"convert", "Convert every message of the inputs into one text file each",
     kaldo::tool::setup_convert_command},
    {"tracks", "Write where every unit has been into GIS layers (GeoPackage, GPX, KML, PostGIS, ...)",
     kaldo::tool::setup_tracks_command},
    {"serve", "Receive messages as they are sent (DirectIP, webhooks), store each with its positions, "
              "confirm what is stored",
     kaldo::tool::setup_serve_command},
};

constexpr int usage_error = 2;

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Tracker messages by the archive: SBD attachments and SMS e-mails from files, "
               "folders, mbox files, Maildir folders, archives and compressed files.",
               "kaldo");
  app.set_version_flag("--version", std::string("kaldo ") + KALDO_VERSION_STRING);
  app.require_subcommand(1);
  std::map<CLI::App*, std::function<int()>> runs;
  for (const subcommand& entry : subcommands) {
    CLI::App* command = app.add_subcommand(entry.name, entry.description);
    runs[command] = entry.setup(*command);
  }
  if (auto unknown = kaldo::tool::unknown_word(app, {argv + 1, argv + argc})) {
    std::fprintf(stderr, "%s\n", unknown->c_str());
    return usage_error;
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int status = app.exit(error);
    return status == 0 ? 0 : usage_error;
  }
  // From here on Ctrl-C and SIGTERM ask the run to stop; a second one ends
  // the process.
  const kaldo::tool::interrupt_guard interrupts;
  for (const auto& [command, run] : runs) {
    if (command->parsed()) return run();
  }
  return usage_error;
}
