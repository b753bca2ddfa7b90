// The one run loop of every subcommand that reads messages: the sources of
// the inputs hand on messages; workers read each one as the single-file
// program reads a saved file and hand it to the library (its text, or its
// values); the results come back in input order to the command's own work
// and to the shared summary, report and progress line.
//
// A command supplies only what is its own, as a run_work: kaldo convert
// writes a text file per message, kaldo tracks adds points to a fleet.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "kaldo/kaldo.h"
#include "tool/found_message.h"
#include "tool/message_outcome.h"
#include "tool/sources/source.h"
#include "tool/summary.h"

namespace kaldo::tool {

// The options every such command takes.
struct run_options {
  std::vector<std::string> inputs;
  std::string century = "20";
  unsigned jobs = 0;        // 0: one per core
  std::string report_path;  // empty: no report
  bool quiet = false;
  mailbox_access mailbox;  // for IMAP folders among the inputs
};

// Declares --century on `command`: two digits, "20" unless given.
void add_century_option(CLI::App& command, std::string& century);

// Declares --century, --jobs, --report, --quiet and the IMAP options on
// `command`; the inputs
// are declared by add_run_inputs, last, after the command's own options.
void add_run_options(CLI::App& command, run_options& options, const char* jobs_help);
void add_run_inputs(CLI::App& command, run_options& options);

// What the library is asked for each message.
enum class library_call {
  convert_text,   // kaldo::convert_message: the text the program prints
  decode_values,  // kaldo::decode_message: times and positions as numbers
};

// One message on its way through a run.
struct run_item {
  std::uint64_t number = 0;  // from 1, in input order
  found_message message;
  // The message's own name made a safe file name, unique in the run ("x.sbd.txt",
  // "x.sbd.2.txt"); empty for a duplicate: the same name with the same
  // bytes as a message before it, which every command counts as such and
  // none reads again.
  std::string file_name;
  // Filled in by the loop: origin, modem id, status and error.
  message_outcome outcome;
  // convert_text: every byte Kaldo_Command_Line prints for the message,
  // its refusal included.
  std::string printed;
  // Set by the command when this message's output could not be written
  // for a reason that will not pass (a full disk, a read-only folder): the
  // run stops reading, with the outcome's error as the reason.
  bool stop_run = false;
  kaldo::decoded_message decoded;  // decode_values
};

class run_work {
 public:
  virtual ~run_work() = default;
  virtual library_call call() const = 0;
  // The inputs' size, known before the first message, for a command that
  // makes room ahead.
  virtual void sized(std::uint64_t /*input_bytes*/) {}
  // In input order as each message is found, before a worker takes it.
  // A duplicate (outcome.status) is read for its modem id but not handed
  // to the library.
  virtual void found(run_item& /*item*/) {}
  // On a worker, after the library.
  virtual void worked(run_item& /*item*/) {}
  // In input order, after `worked`. A command whose outcome is not final
  // yet (points not yet written) takes the message's completion.
  virtual void delivered(run_item& /*item*/) {}
  // After every message: what the command still has to do (writing the
  // fleet). `whole` is false when the run stopped early (interrupted, or a
  // destination full): what was not read must not look written. Returns 0,
  // or the exit status the run ends with instead.
  virtual int finish(const run_summary& /*summary*/, bool /*whole*/) { return 0; }
  // Said after the summary, unless --quiet.
  virtual std::string summary_text() const { return {}; }
};

struct run_setup {
  const char* command = "kaldo";  // for messages: "kaldo convert"
  kaldo::settings how;            // the format and century
  // Folders the sources leave out (a run's own output folder).
  std::vector<std::string> pass_over;
  // Whether the inputs' size is measured before the first message (for
  // run_work::sized) rather than beside the run for the progress line.
  bool size_first = false;
};

// Runs every input through `work`. Returns the exit status: 0, 1 when a
// message failed or an input could not be read, 2 when an output or the
// report could not be written, an input cannot be read at all (an IMAP URL
// with a password) or a mail server cannot be read on (or what
// run_work::finish returned).
int run_messages(const run_options& options, const run_setup& setup, run_work& work);

}  // namespace kaldo::tool
