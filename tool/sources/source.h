// Where messages come from. A source yields messages: the files and
// folders of a run (with the mbox files, Maildir folders and e-mails in
// them) today; a network receiver or a mailbox tomorrow. Every kind of
// source is a row of one table (source_table.cpp), chosen by the input it
// is given; a test or a later reader adds its own row with
// register_source, and nothing else changes.
//
// A batch source hands on every message and every input passed over in
// input order and returns. A receiver may hand on messages from several
// threads at once: the sink it is given is safe for that. Either way each
// message carries its origin as data, and a completion that the run calls
// once the message's outcome is final.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "tool/found_message.h"

namespace kaldo::tool {

class message_sink {
 public:
  virtual ~message_sink() = default;
  virtual void found(found_message message) = 0;
  virtual void skipped(skipped_input input) = 0;
  // Bytes of input read so far grow by `bytes` (for a progress estimate).
  virtual void advanced(std::uint64_t /*bytes*/) {}
  // The bytes the run will read grow by `bytes`: a source that learns its
  // size only once it is open (a folder on a mail server) tells it here.
  virtual void sized(std::uint64_t /*bytes*/) {}
  // True once the run wants no more (interrupted, or its destination
  // full): a source stops reading at the next message or input.
  virtual bool stopping() const { return false; }
};

class source {
 public:
  virtual ~source() = default;
  // Hands every message on to `sink`; returns when there are no more.
  // Never throws for a bad input: each is handed on as skipped, with the
  // reason.
  virtual void run(message_sink& sink) = 0;
  // The bytes the source will read, for an estimate of what is left; 0 when
  // it cannot tell. May be called from another thread while it runs.
  virtual std::uint64_t total_bytes() const { return 0; }
};

// How a mailbox on a server is reached: never a password on the command
// line, where every user of the machine sees it.
struct mailbox_access {
  std::string password_file;  // empty: the environment's KALDO_IMAP_PASSWORD
  std::string ca_file;        // empty: the system's certificate store
  std::chrono::seconds timeout{30};
};

// What every source of a run is opened with.
struct source_settings {
  // Folders to leave out without a word wherever they turn up (a run's own
  // output folder).
  std::vector<std::string> pass_over;
  mailbox_access mailbox;
};

struct source_kind {
  std::string name;
  // Whether this kind reads `input` (a path, a URL, ...).
  std::function<bool(std::string_view input)> claims;
  std::function<std::unique_ptr<source>(const std::string& input, const source_settings&)> open;
  // Why `input` cannot be read at all, known before anything is read (a
  // URL that holds a password); empty when it can. May be left empty.
  std::function<std::string(const std::string& input, const source_settings&)> refusal = {};
};

// Adds a kind of source, asked before the ones already there.
void register_source(source_kind kind);

// The source for one input: the first kind of the table that claims it.
// Files and folders claim whatever no other kind claims.
std::unique_ptr<source> open_source(const std::string& input, const source_settings& settings);

// Why one of `inputs` cannot be read at all (the first such reason), for a
// run to refuse before it starts; empty when none.
std::string input_refusal(const std::vector<std::string>& inputs, const source_settings& settings);

// Runs the source of every input in turn, in the order given.
void walk_inputs(const std::vector<std::string>& inputs, message_sink& sink,
                 const source_settings& settings = {});

// What the sources of `inputs` will read, for an estimate of what is left;
// a cheap walk that reads no file.
std::uint64_t total_input_bytes(const std::vector<std::string>& inputs);

}  // namespace kaldo::tool
