// Which e-mail a message came in, and how far each IMAP folder is done.
// Kept apart from the schema versions: the columns and the table are added
// where missing on every start, so that a store of any version, and one
// that other tables were added to meanwhile, gains them alike.
#include <cpl_error.h>
#include <ogrsf_frmts.h>

#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/ogr_session.h"
#include "tool/serve/store.h"
#include "tool/serve/store_dataset.h"

namespace kaldo::tool::serve {
namespace {

constexpr const char* progress_table = "imap_folders";

struct mailbox_column {
  const char* name;
  OGRFieldType type;
};

// In the order of store_dataset::mailbox_indices.
constexpr mailbox_column mailbox_columns[] = {
    {"imap_folder", OFTString}, {"imap_uidvalidity", OFTInteger64}, {"imap_uid", OFTInteger64}};

}  // namespace

bool add_mailbox_tables(store_dataset& store, std::string* error) {
  GDALDataset& dataset = *store.dataset;
  OGRLayer& messages = *store.messages;
  CPLErrorReset();
  if (dataset.StartTransaction() != OGRERR_NONE) {
    *error = gdal_error("cannot start the transaction that adds the e-mail columns");
    return false;
  }
  auto body = [&]() -> bool {
    // Two processes starting on one database add them one after the other.
    if (store.postgres &&
        !execute_sql(dataset, schema_change_lock, error)) {
      return false;
    }
    store.mailbox_indices.clear();
    for (const mailbox_column& column : mailbox_columns) {
      int index = messages.GetLayerDefn()->GetFieldIndex(column.name);
      if (index < 0) {
        OGRFieldDefn definition(column.name, column.type);
        CPLErrorReset();
        if (messages.CreateField(&definition) != OGRERR_NONE) {
          // Another process may have added it between GDAL's reading of
          // the table and the lock: open_store looks again.
          *error = gdal_error(std::string("cannot add the column messages.") + column.name);
          return false;
        }
        index = messages.GetLayerDefn()->GetFieldIndex(column.name);
      }
      store.mailbox_indices.push_back(index);
    }
    return execute_sql(dataset,
                       std::string("CREATE TABLE IF NOT EXISTS ") + progress_table +
                           " (folder TEXT PRIMARY KEY, uidvalidity BIGINT NOT NULL, "
                           "last_uid BIGINT NOT NULL)",
                       error);
  };
  if (!body()) {
    dataset.RollbackTransaction();
    return false;
  }
  CPLErrorReset();
  if (dataset.CommitTransaction() != OGRERR_NONE) {
    *error = gdal_error("cannot commit the e-mail columns");
    dataset.RollbackTransaction();
    return false;
  }
  return true;
}

void set_mailbox_fields(const store_dataset& store, OGRFeature& row, const mailbox_place* place) {
  const auto& at = store.mailbox_indices;
  if (at.size() != std::size(mailbox_columns)) return;
  if (place == nullptr) {
    for (const int index : at) row.SetFieldNull(index);
    return;
  }
  row.SetField(at[0], place->folder.c_str());
  row.SetField(at[1], static_cast<GIntBig>(place->uidvalidity));
  row.SetField(at[2], static_cast<GIntBig>(place->uid));
}

bool write_mailbox_progress(store_dataset& store, const mailbox_place& place, std::string* error) {
  // Both SQLite and PostgreSQL know this upsert.
  auto upsert = [](const std::string& values) {
    return std::string("INSERT INTO ") + progress_table + " (folder, uidvalidity, last_uid) VALUES (" +
           values +
           ") ON CONFLICT (folder) DO UPDATE SET uidvalidity = excluded.uidvalidity, "
           "last_uid = excluded.last_uid";
  };
  if (store.sqlite) {
    return store.sqlite->run(upsert("?, ?, ?"),
                             {place.folder, std::int64_t{place.uidvalidity}, std::int64_t{place.uid}},
                             error);
  }
  return execute_sql(*store.dataset,
                     upsert(sql_literal(place.folder) + ", " + std::to_string(place.uidvalidity) + ", " +
                            std::to_string(place.uid)),
                     error);
}

bool read_mailbox_progress(const std::string& destination, const std::string& folder,
                           std::optional<mailbox_progress>* progress, std::string* error) {
  // Read-only, beside the store's own connection: a reader waits for no
  // writer, and the store made the table when it opened.
  gdal_messages quiet(false);
  GDALAllRegister();
  const char* drivers[] = {"GPKG", "PostgreSQL", nullptr};
  CPLErrorReset();
  std::unique_ptr<GDALDataset> dataset(
      GDALDataset::Open(destination.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, drivers, nullptr, nullptr));
  if (dataset == nullptr) {
    *error = gdal_error("cannot open the store to read the folder's progress");
    return false;
  }
  const std::string sql = std::string("SELECT uidvalidity, last_uid FROM ") + progress_table +
                          " WHERE folder = " + sql_literal(folder);
  CPLErrorReset();
  OGRLayer* result = dataset->ExecuteSQL(sql.c_str(), nullptr, nullptr);
  if (result == nullptr) {
    *error = gdal_error("cannot read the progress of the folder " + folder);
    return false;
  }
  progress->reset();
  if (std::unique_ptr<OGRFeature> row(result->GetNextFeature()); row != nullptr) {
    *progress = mailbox_progress{static_cast<std::uint32_t>(row->GetFieldAsInteger64(0)),
                                 static_cast<std::uint32_t>(row->GetFieldAsInteger64(1))};
  }
  dataset->ReleaseResultSet(result);
  return true;
}

}  // namespace kaldo::tool::serve
