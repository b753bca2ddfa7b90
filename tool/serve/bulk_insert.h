// Rows of one PostgreSQL table sent with one statement rather than one
// INSERT each: a batch of hundreds of messages would otherwise cost as many
// round trips. Each row is a feature filled as for GDAL's own CreateFeature;
// its fields (and its geometry, as WKB) travel as one JSON array that the
// server expands into rows, in the order they were added.
#pragma once

#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <vector>

namespace kaldo::tool::serve {

class bulk_insert {
 public:
  explicit bulk_insert(OGRLayer& layer) : layer_(layer) {}

  // Copies `row`'s fields and geometry; false (with the reason) for a
  // field of a type no column of this store has.
  bool add(const OGRFeature& row, std::string* error);

  // Inserts the rows added since the last flush, in the order added; their
  // ids go to `fids` in that order.
  bool flush(GDALDataset& dataset, std::vector<std::int64_t>* fids, std::string* error);

 private:
  OGRLayer& layer_;
  nlohmann::json rows_ = nlohmann::json::array();
};

}  // namespace kaldo::tool::serve
