// Where messages come from: the inputs of a run (files, folders, mbox
// files, Maildir folders), walked in the order given and, inside a folder,
// in name order. Every message found and every input passed over reaches
// the sink in that order, so that a run is the same whatever consumes it.
//
// Memory stays bounded by one message: files are read one at a time, an
// mbox one e-mail at a time, and an attachment keeps only its first bytes.
#pragma once

#include <string>
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
};

// Walks every input in order. Never throws for a bad input: each is
// handed to `sink` as skipped, with the reason. The folders of `pass_over`
// (a run's own output folder) are left out without a word wherever they
// turn up.
void walk_inputs(const std::vector<std::string>& inputs, message_sink& sink,
                 const std::vector<std::string>& pass_over = {});

// The total size of the regular files under `inputs`, for an estimate of
// what is left; a cheap walk that reads no file.
std::uint64_t total_input_bytes(const std::vector<std::string>& inputs);

}  // namespace kaldo::tool
