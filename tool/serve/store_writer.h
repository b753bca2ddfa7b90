// One group commit: the messages of a batch, their positions and their
// units' lines written in one transaction.
//
// A message already stored (same imei, momsn and session time) is a
// duplicate: confirmed, nothing added. A point already stored (same modem
// id, time, latitude and longitude) adds nothing. A new point goes into its
// unit's line at its place in time order: after every point of the unit
// not later than it, found by counting the unit's stored points later than
// it (on an index of modem id and time; usually none).
//
// Two processes on one PostgreSQL database: each transaction first takes a
// lock on every message key and then on every unit of its batch, each kind
// in one global order (so that two batches never wait on each other in a
// circle). A message is then looked up and inserted by one process at a
// time, and a unit's track row, or the row about to be made for a new
// unit, is changed by one at a time. The unique index stays the last word.
#pragma once

#include <string>
#include <vector>

#include "tool/serve/commit_queue.h"
#include "tool/serve/store_dataset.h"

namespace kaldo::tool::serve {

enum class batch_outcome {
  committed,
  nothing_to_write,  // every message refused before the database was asked
  failed,            // the database failed: nothing committed, each result says why
};

// Alerts claimed in the batch's transaction: for each new emergency
// report, one claim per target, in the owner's name.
struct alert_claiming {
  std::vector<std::string> targets;
  std::string owner;
};

// Writes `batch` into `store` in one transaction and sets every result,
// each message's added points among it.
batch_outcome write_batch(store_dataset& store, int century, std::vector<pending_message*>& batch,
                          const alert_claiming& claiming = {});

}  // namespace kaldo::tool::serve
