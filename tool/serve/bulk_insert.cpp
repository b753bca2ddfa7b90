#include "tool/serve/bulk_insert.h"

#include <cpl_error.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "tool/outputs/ogr_layers.h"
#include "tool/serve/hex_text.h"
#include "tool/serve/store_dataset.h"

namespace kaldo::tool::serve {
namespace {

// The key of field `i` in a row's JSON.
std::string key_of(int i) {
  std::string key = std::to_string(i);
  key.insert(key.begin(), 'c');
  return key;
}

// The type a field's values are read as from the JSON; binary values
// travel as hexadecimal text and are decoded in the statement.
const char* json_column_type(const OGRFieldDefn& field) {
  switch (field.GetType()) {
    case OFTString: return "text";
    case OFTInteger: return field.GetSubType() == OFSTBoolean ? "boolean" : "integer";
    case OFTInteger64: return "bigint";
    case OFTReal: return "double precision";
    case OFTDateTime: return "timestamptz";
    case OFTDate: return "date";
    case OFTTime: return "time";
    case OFTBinary: return "text";
    default: return nullptr;
  }
}

// A double as JSON: the number (every digit it needs), or the text
// PostgreSQL reads as NaN, an infinity or -0 (JSON's numbers have none of
// them, and PostgreSQL's numeric no negative zero).
nlohmann::json real_value(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
  if (value == 0 && std::signbit(value)) return "-0";
  return value;
}

// A date, time or both as ISO 8601, with the zone GDAL holds (UTC: +00).
std::string time_value(const OGRFeature& row, int field, OGRFieldType type) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, zone = 0;
  float second = 0;
  row.GetFieldAsDateTime(field, &year, &month, &day, &hour, &minute, &second, &zone);
  char text[64];
  if (type == OFTDate) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d", year, month, day);
    return text;
  }
  std::snprintf(text, sizeof text, "%02d:%02d:%06.3f", hour, minute, static_cast<double>(second));
  std::string value = text;
  if (type == OFTDateTime) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT", year, month, day);
    value.insert(0, text);
  }
  if (zone >= 100) {
    const int minutes = (zone - 100) * 15;
    std::snprintf(text, sizeof text, "%c%02d:%02d", minutes < 0 ? '-' : '+', std::abs(minutes) / 60,
                  std::abs(minutes) % 60);
    value += text;
  }
  return value;
}

}  // namespace

bool bulk_insert::add(const OGRFeature& row, std::string* error) {
  const OGRFeatureDefn& definition = *row.GetDefnRef();
  nlohmann::json values = nlohmann::json::object();
  for (int i = 0; i < definition.GetFieldCount(); ++i) {
    const OGRFieldDefn& field = *definition.GetFieldDefn(i);
    const std::string key = key_of(i);
    if (json_column_type(field) == nullptr) {
      *error = std::string("cannot send the field ") + field.GetNameRef() + ": no column type for " +
               OGRFieldDefn::GetFieldTypeName(field.GetType());
      return false;
    }
    if (!row.IsFieldSetAndNotNull(i)) {
      values[key] = nullptr;
      continue;
    }
    switch (field.GetType()) {
      case OFTInteger:
        if (field.GetSubType() == OFSTBoolean) {
          values[key] = row.GetFieldAsInteger(i) != 0;
        } else {
          values[key] = row.GetFieldAsInteger(i);
        }
        break;
      case OFTInteger64: values[key] = row.GetFieldAsInteger64(i); break;
      case OFTReal: values[key] = real_value(row.GetFieldAsDouble(i)); break;
      case OFTDateTime:
      case OFTDate:
      case OFTTime: values[key] = time_value(row, i, field.GetType()); break;
      case OFTBinary: {
        int size = 0;
        const GByte* bytes = row.GetFieldAsBinary(i, &size);
        values[key] = hex_text(bytes, static_cast<std::size_t>(size));
        break;
      }
      default: values[key] = row.GetFieldAsString(i); break;
    }
  }
  if (layer_.GetLayerDefn()->GetGeomFieldCount() > 0) {
    const OGRGeometry* geometry = row.GetGeometryRef();
    if (geometry == nullptr) {
      values["g"] = nullptr;
    } else {
      std::vector<unsigned char> wkb(static_cast<std::size_t>(geometry->WkbSize()));
      geometry->exportToWkb(wkbNDR, wkb.data(), wkbVariantIso);
      values["g"] = hex_text(wkb.data(), wkb.size());
    }
  }
  rows_.push_back(std::move(values));
  return true;
}

bool bulk_insert::flush(GDALDataset& dataset, std::vector<std::int64_t>* fids, std::string* error) {
  fids->clear();
  if (rows_.empty()) return true;
  const OGRFeatureDefn& definition = *layer_.GetLayerDefn();
  std::string columns, selected, types, names;
  const auto add = [](std::string& list, const std::string& item) {
    if (!list.empty()) list += ", ";
    list += item;
  };
  for (int i = 0; i < definition.GetFieldCount(); ++i) {
    const OGRFieldDefn& field = *definition.GetFieldDefn(i);
    const std::string key = key_of(i);
    add(columns, sql_identifier(field.GetNameRef()));
    add(selected, field.GetType() == OFTBinary ? "decode(x." + key + ", 'hex')" : "x." + key);
    add(types, key + " " + json_column_type(field));
    add(names, key);
  }
  if (definition.GetGeomFieldCount() > 0) {
    const OGRGeomFieldDefn& geometry = *definition.GetGeomFieldDefn(0);
    int srid = 0;
    if (const OGRSpatialReference* srs = geometry.GetSpatialRef()) {
      if (const char* code = srs->GetAuthorityCode(nullptr)) srid = std::atoi(code);
    }
    add(columns, sql_identifier(layer_.GetGeometryColumn()));
    add(selected, "ST_SetSRID(ST_GeomFromWKB(decode(x.g, 'hex')), " + std::to_string(srid) + ")");
    add(types, "g text");
    add(names, "g");
  }
  const std::string fid = sql_identifier(layer_.GetFIDColumn());
  // Ids are drawn in the order rows are inserted, which follows the
  // array's; sorted, the ids returned are the rows' in that order.
  const std::string sql =
      "INSERT INTO " + sql_identifier(layer_.GetName()) + " (" + columns + ") SELECT " + selected +
      " FROM ROWS FROM (jsonb_to_recordset(" +
      sql_literal(rows_.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace)) + "::jsonb) AS (" +
      types + ")) WITH ORDINALITY AS x(" + names + ", n) ORDER BY x.n RETURNING " + fid;
  const std::size_t expected = rows_.size();
  rows_ = nlohmann::json::array();
  CPLErrorReset();
  OGRLayer* result = dataset.ExecuteSQL(sql.c_str(), nullptr, nullptr);
  if (result != nullptr) {
    for (auto& returned : *result) fids->push_back(returned->GetFieldAsInteger64(0));
    dataset.ReleaseResultSet(result);
  }
  if (result == nullptr || CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal ||
      fids->size() != expected) {
    *error = gdal_error(std::string("cannot insert the rows of ") + layer_.GetName());
    return false;
  }
  std::sort(fids->begin(), fids->end());
  return true;
}

}  // namespace kaldo::tool::serve
