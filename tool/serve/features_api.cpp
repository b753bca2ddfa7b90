#include "tool/serve/features_api.h"

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal_priv.h>
#include <ogrsf_frmts.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "tool/serve/hex_text.h"
#include "tool/serve/store_dataset.h"
#include "tool/serve/webhook.h"
#include "tool/utc_text.h"

namespace kaldo::tool::serve {

namespace {

using json = nlohmann::json;

constexpr const char* geojson_type = "application/geo+json";
constexpr const char* json_type = "application/json";
constexpr const char* openapi_type = "application/vnd.oai.openapi+json;version=3.0";

// What each collection is made of, and which of its columns the query
// parameters filter on.
struct collection {
  const char* id;
  const char* title;
  const char* description;
  bool geometry;
  const char* unit_column;
  // A feature lies in a time interval when [starts, ends] meets it.
  const char* starts;
  const char* ends;
};

const std::vector<collection>& collections() {
  static const std::vector<collection> table = {
      {"positions", "Positions", "Every distinct report of every unit, as it arrived", true, "modem_id",
       "time", "time"},
      {"tracks", "Tracks", "Each unit's line through its reports in time order", true, "modem_id",
       "first_time", "last_time"},
      {"messages", "Messages", "Every message received, whatever became of it (no geometry)", false,
       "imei", "session_time", "session_time"},
  };
  return table;
}

const collection* collection_named(std::string_view id) {
  for (const collection& c : collections()) {
    if (id == c.id) return &c;
  }
  return nullptr;
}

// The query parameters /items knows; any other is a mistake worth a 400
// (a misspelt filter would otherwise return everything).
const std::vector<std::string_view>& items_parameters() {
  static const std::vector<std::string_view> names = {"limit", "bbox", "datetime", "modem_id", "after",
                                                      "token", "f"};
  return names;
}

std::string dumped(const json& value) {
  // Texts from messages may hold any bytes: invalid UTF-8 becomes U+FFFD.
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

http_answer json_answer(int status, const json& body, const char* type = json_type) {
  http_answer answer;
  answer.status = status;
  answer.content_type = type;
  answer.body = dumped(body);
  return answer;
}

http_answer problem(int status, const std::string& text) {
  return json_answer(status, json{{"code", status}, {"description", text}});
}

// ---- reading the query ----

std::optional<long long> whole_number(std::string_view text) {
  if (text.empty() || text.size() > 18) return std::nullopt;
  long long value = 0;
  bool negative = false;
  std::size_t i = 0;
  if (text[0] == '-') {
    negative = true;
    i = 1;
    if (text.size() == 1) return std::nullopt;
  }
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
    value = value * 10 + (text[i] - '0');
  }
  return negative ? -value : value;
}

std::optional<double> real_number(const std::string& text) {
  if (text.empty()) return std::nullopt;
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(value)) return std::nullopt;
  return value;
}

// An instant as "2024-05-17T12:30:05Z", with a fraction and an offset
// when given, or a date alone ("2024-05-17"): the first and last
// millisecond it covers, as the store's text.
std::optional<std::pair<std::string, std::string>> instant_span(std::string_view text) {
  int year = 0;
  unsigned month = 0, day = 0, hour = 0, minute = 0, second = 0;
  int used = 0;
  const std::string whole(text);
  if (std::sscanf(whole.c_str(), "%4d-%2u-%2u%n", &year, &month, &day, &used) != 3 || used != 10) {
    return std::nullopt;
  }
  if (whole.size() == 10) {
    const auto start = utc_instant(year, month, day, 0, 0, 0);
    if (!start) return std::nullopt;
    const auto first = std::chrono::sys_time<std::chrono::milliseconds>(*start);
    return std::make_pair(utc_iso8601(first), utc_iso8601(first + std::chrono::days(1) - std::chrono::milliseconds(1)));
  }
  if ((whole[10] != 'T' && whole[10] != 't' && whole[10] != ' ') ||
      std::sscanf(whole.c_str() + 11, "%2u:%2u:%2u%n", &hour, &minute, &second, &used) != 3 || used != 8) {
    return std::nullopt;
  }
  std::size_t at = 19;
  long long milliseconds = 0;
  if (at < whole.size() && whole[at] == '.') {
    int digits = 0;
    for (++at; at < whole.size() && std::isdigit(static_cast<unsigned char>(whole[at])); ++at, ++digits) {
      if (digits < 3) milliseconds = milliseconds * 10 + (whole[at] - '0');
    }
    if (digits == 0) return std::nullopt;
    for (; digits < 3; ++digits) milliseconds *= 10;
  }
  std::chrono::minutes offset{0};
  const std::string zone = whole.substr(at);
  if (zone == "Z" || zone == "z") {
  } else if (zone.size() == 6 && (zone[0] == '+' || zone[0] == '-') && zone[3] == ':') {
    const auto hours = whole_number(zone.substr(1, 2)), minutes = whole_number(zone.substr(4, 2));
    if (!hours || !minutes || *hours > 23 || *minutes > 59) return std::nullopt;
    offset = std::chrono::minutes(*hours * 60 + *minutes) * (zone[0] == '-' ? -1 : 1);
  } else {
    return std::nullopt;
  }
  const auto start = utc_instant(year, month, day, hour, minute, second);
  if (!start) return std::nullopt;
  const std::string exact = utc_iso8601(std::chrono::sys_time<std::chrono::milliseconds>(*start) - offset +
                                     std::chrono::milliseconds(milliseconds));
  return std::make_pair(exact, exact);
}

// The "name=value" pairs of a request target's query, as sent (not
// decoded), empty ones left out.
std::vector<std::string_view> query_pairs(std::string_view target) {
  std::vector<std::string_view> pairs;
  const std::size_t mark = target.find('?');
  if (mark == std::string_view::npos) return pairs;
  std::string_view rest = target.substr(mark + 1);
  while (!rest.empty()) {
    const std::string_view pair = rest.substr(0, rest.find('&'));
    rest.remove_prefix(std::min(rest.size(), pair.size() + 1));
    if (!pair.empty()) pairs.push_back(pair);
  }
  return pairs;
}

}  // namespace

std::optional<items_query> parse_items_query(std::string_view target, std::string* error) {
  items_query query;
  const std::size_t mark = target.find('?');
  for (const std::string_view pair : query_pairs(target)) {
    const std::string_view name = pair.substr(0, pair.find('='));
    if (std::find(items_parameters().begin(), items_parameters().end(), name) == items_parameters().end()) {
      *error = "unknown query parameter " + std::string(name.substr(0, 40));
      return std::nullopt;
    }
  }
  auto value = [&](const char* name) { return query_parameter(target, name); };
  auto given_twice = [&](const char* name) {
    std::string key = std::string(name) + "=";
    const std::size_t first = target.find(key, mark);
    return first != std::string_view::npos && !value(name);
  };
  for (const char* name : {"limit", "bbox", "datetime", "modem_id", "after"}) {
    if (given_twice(name)) {
      *error = std::string(name) + " given twice";
      return std::nullopt;
    }
  }
  if (const auto limit = value("limit")) {
    const auto number = whole_number(*limit);
    if (!number || *number < 1) {
      *error = "limit is a whole number from 1";
      return std::nullopt;
    }
    // Larger pages are cut, as clients expect, not refused.
    query.limit = static_cast<std::size_t>(std::min<long long>(*number, most_page_size));
  }
  if (const auto after = value("after")) {
    const auto number = whole_number(*after);
    if (!number) {
      *error = "after is a feature id";
      return std::nullopt;
    }
    query.after = *number;
  }
  if (const auto bbox = value("bbox")) {
    std::vector<double> corners;
    std::string_view rest = *bbox;
    while (true) {
      const std::string_view part = rest.substr(0, rest.find(','));
      const auto number = real_number(std::string(part));
      if (!number) break;
      corners.push_back(*number);
      if (part.size() == rest.size()) {
        rest = {};
        break;
      }
      rest.remove_prefix(part.size() + 1);
    }
    if (!rest.empty() || (corners.size() != 4 && corners.size() != 6)) {
      *error = "bbox is four numbers: west,south,east,north";
      return std::nullopt;
    }
    // With heights: west,south,low,east,north,high.
    if (corners.size() == 6) corners = {corners[0], corners[1], corners[3], corners[4]};
    if (corners[1] > corners[3] || corners[1] < -90 || corners[3] > 90 || corners[0] < -180 ||
        corners[2] > 180 || corners[0] > 180 || corners[2] < -180) {
      *error = "bbox has its south above its north, or lies off the globe";
      return std::nullopt;
    }
    query.bbox = std::array<double, 4>{corners[0], corners[1], corners[2], corners[3]};
  }
  if (const auto datetime = value("datetime")) {
    const std::size_t slash = datetime->find('/');
    auto end_of = [](const std::string& text, bool first) -> std::optional<std::string> {
      if (text.empty() || text == "..") return std::string();
      const auto span = instant_span(text);
      if (!span) return std::nullopt;
      return first ? span->first : span->second;
    };
    std::optional<std::string> from, to;
    if (slash == std::string::npos) {
      const auto span = instant_span(*datetime);
      if (span) from = span->first, to = span->second;
    } else {
      from = end_of(datetime->substr(0, slash), true);
      to = end_of(datetime->substr(slash + 1), false);
      if (from && to && from->empty() && to->empty() && (*datetime == "/" || datetime->empty())) from.reset();
    }
    if (!from || !to || (!from->empty() && !to->empty() && *from > *to)) {
      *error = "datetime is an instant (2024-05-17T12:30:05Z) or an interval (start/end, .. when open)";
      return std::nullopt;
    }
    query.from = *from;
    query.to = *to;
  }
  if (const auto unit = value("modem_id")) query.modem_id = *unit;
  return query;
}

namespace {

// ---- the reader ----

// One thread with its own connection to the store: queries wait for one
// another, never for the listeners or the writer.
class store_reader {
 public:
  using job = std::function<void(GDALDataset*, const std::string& why)>;

  store_reader(std::string destination, std::size_t most_waiting)
      : destination_(std::move(destination)), most_waiting_(most_waiting), thread_([this] { run(); }) {}

  ~store_reader() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  // False when too many wait already.
  bool post(job work) {
    {
      std::lock_guard lock(mutex_);
      if (stopping_ || jobs_.size() >= most_waiting_) return false;
      jobs_.push_back(std::move(work));
    }
    wake_.notify_one();
    return true;
  }

 private:
  void run() {
    CPLPushErrorHandler(CPLQuietErrorHandler);
    std::unique_ptr<GDALDataset> dataset;
    while (true) {
      job work;
      {
        std::unique_lock lock(mutex_);
        wake_.wait(lock, [&] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) break;
        work = std::move(jobs_.front());
        jobs_.pop_front();
      }
      std::string why;
      if (dataset == nullptr) dataset = open(&why);
      CPLErrorReset();
      work(dataset.get(), why);
      // A failed query may mean a lost connection: the next opens anew.
      if (CPLGetLastErrorType() == CE_Failure || CPLGetLastErrorType() == CE_Fatal) dataset.reset();
    }
    // What still waits when stopping is answered by the jobs themselves.
    std::deque<job> left;
    {
      std::lock_guard lock(mutex_);
      left.swap(jobs_);
    }
    for (job& work : left) work(nullptr, "stopping");
    CPLPopErrorHandler();
  }

  std::unique_ptr<GDALDataset> open(std::string* why) {
    GDALAllRegister();
    const bool postgres = destination_.rfind("PG:", 0) == 0 || destination_.rfind("pg:", 0) == 0;
    const char* drivers[] = {postgres ? "PostgreSQL" : "GPKG", nullptr};
    std::unique_ptr<GDALDataset> dataset(GDALDataset::Open(destination_.c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY,
                                                           drivers, nullptr, nullptr));
    if (dataset == nullptr) *why = CPLGetLastErrorMsg();
    return dataset;
  }

  std::string destination_;
  std::size_t most_waiting_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<job> jobs_;
  bool stopping_ = false;
  std::thread thread_;
};

// ---- answers ----

// Where links point: this server as the client reached it, and the token
// passed on when the client gave it in the address.
struct link_base {
  std::string api;    // "http://host:port/api"
  std::string token;  // "token=..." as sent, or empty

  std::string to(const std::string& path, std::string query = "") const {
    if (!token.empty()) {
      if (!query.empty()) query += '&';
      query += token;
    }
    return api + path + (query.empty() ? "" : "?" + query);
  }
};

link_base base_of(const http_request& request, const std::string& scheme) {
  link_base base;
  std::string host = request.header("host");
  // The Host header is the client's own: only what a host name may hold.
  host.erase(std::remove_if(host.begin(), host.end(),
                            [](unsigned char c) {
                              return !(std::isalnum(c) || c == '.' || c == '-' || c == ':' || c == '[' || c == ']');
                            }),
             host.end());
  if (host.empty()) host = "localhost";
  base.api = scheme + "://" + host + "/api";
  const std::string_view target = request.target;
  for (const std::string_view pair : query_pairs(target)) {
    if (pair.rfind("token=", 0) == 0) base.token = std::string(pair);
  }
  return base;
}

json link(const std::string& href, const char* rel, const char* type, const char* title = nullptr) {
  json l = {{"href", href}, {"rel", rel}, {"type", type}};
  if (title) l["title"] = title;
  return l;
}

json landing_page(const link_base& base) {
  return {{"title", "kaldo serve"},
          {"description", "The fleet's positions, tracks and messages as they are stored"},
          {"links",
           {link(base.to(""), "self", json_type, "This page"),
            link(base.to("/openapi"), "service-desc", openapi_type, "The API's definition"),
            link(base.to("/conformance"), "conformance", json_type, "Conformance classes"),
            link(base.to("/collections"), "data", json_type, "The collections")}}};
}

json conformance() {
  const std::string root = "http://www.opengis.net/spec/ogcapi-features-1/1.0/conf/";
  return {{"conformsTo", {root + "core", root + "geojson", root + "oas30"}}};
}

json collection_metadata(const collection& c, const link_base& base) {
  json metadata = {{"id", c.id},
                   {"title", c.title},
                   {"description", c.description},
                   {"itemType", "feature"},
                   {"links",
                    {link(base.to(std::string("/collections/") + c.id), "self", json_type),
                     link(base.to(std::string("/collections/") + c.id + "/items"), "items", geojson_type)}}};
  if (c.geometry) {
    metadata["extent"] = {{"spatial", {{"bbox", {{-180, -90, 180, 90}}},
                                       {"crs", "http://www.opengis.net/def/crs/OGC/1.3/CRS84"}}}};
    metadata["crs"] = {"http://www.opengis.net/def/crs/OGC/1.3/CRS84"};
  }
  return metadata;
}

json openapi(const link_base& base) {
  auto parameter = [](const char* name, const char* description, json schema, const char* in = "query") {
    return json{{"name", name}, {"in", in}, {"description", description}, {"required", std::string(in) == "path"},
                {"schema", std::move(schema)}, {"style", "form"}, {"explode", false}};
  };
  const json geojson_response = {{"description", "GeoJSON"}, {"content", {{geojson_type, {{"schema", {{"type", "object"}}}}}}}};
  const json json_response = {{"description", "JSON"}, {"content", {{json_type, {{"schema", {{"type", "object"}}}}}}}};
  const json id_in_path = parameter("collectionId", "positions, tracks or messages",
                                    {{"type", "string"}, {"enum", {"positions", "tracks", "messages"}}}, "path");
  const json items_parameters = {
      id_in_path,
      parameter("limit", "Features a page, at most 10000",
                {{"type", "integer"}, {"minimum", 1}, {"maximum", most_page_size}, {"default", default_page_size}}),
      parameter("bbox", "west,south,east,north in degrees (WGS 84)",
                {{"type", "array"}, {"minItems", 4}, {"maxItems", 6}, {"items", {{"type", "number"}}}}),
      parameter("datetime", "An instant, or an interval start/end with .. for an open end", {{"type", "string"}}),
      parameter("modem_id", "One unit's features", {{"type", "string"}}),
      parameter("after", "The page after this feature id (from the next link)", {{"type", "integer"}}),
  };
  json paths = {
      {"/", {{"get", {{"summary", "Landing page"}, {"operationId", "getLandingPage"}, {"responses", {{"200", json_response}}}}}}},
      {"/conformance", {{"get", {{"summary", "Conformance classes"}, {"operationId", "getConformance"}, {"responses", {{"200", json_response}}}}}}},
      {"/collections", {{"get", {{"summary", "The collections"}, {"operationId", "getCollections"}, {"responses", {{"200", json_response}}}}}}},
      {"/collections/{collectionId}", {{"get", {{"summary", "One collection"}, {"operationId", "describeCollection"},
                                                 {"parameters", {id_in_path}}, {"responses", {{"200", json_response}}}}}}},
      {"/collections/{collectionId}/items", {{"get", {{"summary", "A page of features"}, {"operationId", "getFeatures"},
                                                       {"parameters", items_parameters}, {"responses", {{"200", geojson_response}}}}}}},
      {"/collections/{collectionId}/items/{featureId}",
       {{"get", {{"summary", "One feature"}, {"operationId", "getFeature"},
                 {"parameters", {id_in_path, parameter("featureId", "The feature's id", {{"type", "integer"}}, "path")}},
                 {"responses", {{"200", geojson_response}, {"404", {{"description", "No such feature"}}}}}}}}},
  };
  return {{"openapi", "3.0.3"},
          {"info", {{"title", "kaldo serve"}, {"version", "1.0"}}},
          {"servers", {{{"url", base.api}}}},
          {"paths", std::move(paths)}};
}

// ---- features ----

// As the store writes times, always with milliseconds, so that a copy
// compares equal to the store.
std::string stored_time(OGRFeature& row, int field) {
  int year = 0, month = 0, day = 0, hour = 0, minute = 0, zone = 0;
  float second = 0;
  row.GetFieldAsDateTime(field, &year, &month, &day, &hour, &minute, &second, &zone);
  const long milliseconds = std::lround(static_cast<double>(second) * 1000);
  char text[96];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02ld.%03ldZ", year, month, day, hour, minute,
                milliseconds / 1000, milliseconds % 1000);
  return text;
}

json geometry_of(const OGRGeometry* geometry) {
  if (geometry == nullptr || geometry->IsEmpty()) return nullptr;
  if (wkbFlatten(geometry->getGeometryType()) == wkbPoint) {
    const auto* point = geometry->toPoint();
    json coordinates = {point->getX(), point->getY()};
    if (point->Is3D()) coordinates.push_back(point->getZ());
    return {{"type", "Point"}, {"coordinates", std::move(coordinates)}};
  }
  char* text = geometry->exportToJson();
  json parsed = text ? json::parse(text, nullptr, false) : json();
  CPLFree(text);
  return parsed.is_discarded() ? json(nullptr) : parsed;
}

// The feature's id column when the query result shows it as a field
// rather than as the rows' own id.
int id_field(OGRFeatureDefn& definition, OGRLayer& table) {
  return definition.GetFieldIndex(table.GetFIDColumn());
}

json feature_of(OGRFeature& row, int id_index, bool with_geometry) {
  OGRFeatureDefn& definition = *row.GetDefnRef();
  json properties = json::object();
  for (int i = 0; i < definition.GetFieldCount(); ++i) {
    if (i == id_index) continue;
    const OGRFieldDefn& field = *definition.GetFieldDefn(i);
    json& value = properties[field.GetNameRef()];
    if (!row.IsFieldSetAndNotNull(i)) continue;
    switch (field.GetType()) {
      case OFTInteger:
        value = field.GetSubType() == OFSTBoolean ? json(row.GetFieldAsInteger(i) != 0) : json(row.GetFieldAsInteger(i));
        break;
      case OFTInteger64: value = row.GetFieldAsInteger64(i); break;
      case OFTReal: value = row.GetFieldAsDouble(i); break;
      case OFTDateTime: value = stored_time(row, i); break;
      case OFTBinary: {
        int size = 0;
        const GByte* bytes = row.GetFieldAsBinary(i, &size);
        value = hex_text(bytes, static_cast<std::size_t>(size));
        break;
      }
      default: value = row.GetFieldAsString(i); break;
    }
  }
  const GIntBig id = id_index >= 0 ? row.GetFieldAsInteger64(id_index) : row.GetFID();
  json feature = {{"type", "Feature"}, {"id", id}};
  feature["geometry"] = with_geometry ? geometry_of(row.GetGeometryRef()) : json(nullptr);
  feature["properties"] = std::move(properties);
  return feature;
}

std::string number_text(double value) {
  char text[40];
  std::snprintf(text, sizeof text, "%.17g", value);
  return text;
}

// The WHERE conditions of a query, all but the page's start.
std::vector<std::string> conditions(const collection& c, const items_query& query, OGRLayer& layer,
                                    bool postgres) {
  std::vector<std::string> where;
  const std::string fid = std::string("\"") + layer.GetFIDColumn() + "\"";
  if (query.bbox && c.geometry) {
    // Plain names, not a structured binding: lambdas below use them.
    const double west = (*query.bbox)[0], south = (*query.bbox)[1], east = (*query.bbox)[2],
                 north = (*query.bbox)[3];
    const std::string geometry = layer.GetGeometryColumn();
    if (postgres) {
      auto envelope = [&](double w, double e) {
        return "\"" + geometry + "\" && ST_MakeEnvelope(" + number_text(w) + "," + number_text(south) + "," +
               number_text(e) + "," + number_text(north) + ",4326)";
      };
      where.push_back(west <= east ? envelope(west, east)
                                   : "(" + envelope(west, 180) + " OR " + envelope(-180, east) + ")");
    } else {
      // The GeoPackage's R-tree of the layer's extents.
      const std::string longitudes =
          west <= east ? "maxx >= " + number_text(west) + " AND minx <= " + number_text(east)
                       : "(maxx >= " + number_text(west) + " OR minx <= " + number_text(east) + ")";
      where.push_back(fid + " IN (SELECT id FROM \"rtree_" + std::string(layer.GetName()) + "_" + geometry +
                      "\" WHERE " + longitudes + " AND maxy >= " + number_text(south) +
                      " AND miny <= " + number_text(north) + ")");
    }
  }
  // Times are compared as the store keeps them: ISO 8601 text with
  // milliseconds in a GeoPackage, timestamps in PostgreSQL (which read
  // the same text).
  const std::string cast = postgres ? "::timestamptz" : "";
  if (!query.from.empty()) where.push_back(std::string("\"") + c.ends + "\" >= '" + query.from + "'" + cast);
  if (!query.to.empty()) where.push_back(std::string("\"") + c.starts + "\" <= '" + query.to + "'" + cast);
  if (query.modem_id) where.push_back(std::string("\"") + c.unit_column + "\" = " + sql_literal(*query.modem_id));
  return where;
}

std::string joined(const std::vector<std::string>& where) {
  std::string text;
  for (const std::string& condition : where) text += (text.empty() ? " WHERE " : " AND ") + condition;
  return text;
}

bool postgres_store(GDALDataset& dataset) {
  return EQUAL(dataset.GetDriverName(), "PostgreSQL");
}

// One query's rows, released with the result.
struct result_set {
  GDALDataset& dataset;
  OGRLayer* layer;
  result_set(GDALDataset& d, const std::string& sql) : dataset(d), layer(d.ExecuteSQL(sql.c_str(), nullptr, nullptr)) {}
  ~result_set() {
    if (layer) dataset.ReleaseResultSet(layer);
  }
};

http_answer unavailable(const std::string& why) {
  (void)why;  // GDAL's reason may name the database's address: logged nowhere public
  return problem(503, "the store cannot be read now");
}

http_answer items(GDALDataset& dataset, const collection& c, const items_query& query, const link_base& base,
                  const std::string& query_text) {
  OGRLayer* layer = dataset.GetLayerByName(c.id);
  if (layer == nullptr) return unavailable("no layer");
  const bool postgres = postgres_store(dataset);
  const std::string table = std::string("\"") + c.id + "\"";
  const std::string fid = std::string("\"") + layer->GetFIDColumn() + "\"";
  std::vector<std::string> where = conditions(c, query, *layer, postgres);
  std::int64_t matched = 0;
  {
    result_set count(dataset, "SELECT COUNT(*) FROM " + table + joined(where));
    if (count.layer == nullptr) return unavailable("count");
    std::unique_ptr<OGRFeature> row(count.layer->GetNextFeature());
    if (row) matched = row->GetFieldAsInteger64(0);
  }
  if (query.after) where.push_back(fid + " > " + std::to_string(*query.after));
  result_set rows(dataset, "SELECT * FROM " + table + joined(where) + " ORDER BY " + fid +
                               " LIMIT " + std::to_string(query.limit + 1));
  if (rows.layer == nullptr) return unavailable("items");
  const int id_index = id_field(*rows.layer->GetLayerDefn(), *layer);
  json features = json::array();
  bool more = false;
  GIntBig last = 0;
  while (std::unique_ptr<OGRFeature> row{rows.layer->GetNextFeature()}) {
    if (features.size() == query.limit) {
      more = true;
      break;
    }
    json feature = feature_of(*row, id_index, c.geometry);
    last = feature["id"].get<GIntBig>();
    features.push_back(std::move(feature));
  }
  const std::string path = std::string("/collections/") + c.id + "/items";
  json links = {link(base.to(path, query_text), "self", geojson_type, "This page"),
                link(base.to(std::string("/collections/") + c.id), "collection", json_type)};
  if (more) {
    // The page after the last feature sent, whatever else has arrived.
    std::string next = "after=" + std::to_string(last);
    if (!query_text.empty()) next = query_text + "&" + next;
    links.push_back(link(base.to(path, next), "next", geojson_type, "The next page"));
  }
  const std::size_t returned = features.size();
  json body = {{"type", "FeatureCollection"}, {"features", std::move(features)},
               {"numberMatched", matched}, {"numberReturned", returned},
               {"timeStamp", utc_now_iso8601()}, {"links", std::move(links)}};
  return json_answer(200, body, geojson_type);
}

http_answer one_item(GDALDataset& dataset, const collection& c, std::int64_t id, const link_base& base) {
  OGRLayer* layer = dataset.GetLayerByName(c.id);
  if (layer == nullptr) return unavailable("no layer");
  const std::string fid = std::string("\"") + layer->GetFIDColumn() + "\"";
  result_set rows(dataset, std::string("SELECT * FROM \"") + c.id + "\" WHERE " + fid + " = " + std::to_string(id));
  if (rows.layer == nullptr) return unavailable("item");
  std::unique_ptr<OGRFeature> row(rows.layer->GetNextFeature());
  if (row == nullptr) return problem(404, std::string("no feature ") + std::to_string(id) + " in " + c.id);
  json feature = feature_of(*row, id_field(*rows.layer->GetLayerDefn(), *layer), c.geometry);
  const std::string path = std::string("/collections/") + c.id;
  feature["links"] = {link(base.to(path + "/items/" + std::to_string(id)), "self", geojson_type),
                      link(base.to(path), "collection", json_type)};
  return json_answer(200, feature, geojson_type);
}

// The query without the token and without `after`: what self and next
// links repeat (the token is added back by link_base).
std::string repeated_query(std::string_view target) {
  const std::size_t mark = target.find('?');
  if (mark == std::string_view::npos) return "";
  std::string kept;
  std::string_view rest = target.substr(mark + 1);
  while (!rest.empty()) {
    const std::string_view pair = rest.substr(0, rest.find('&'));
    rest.remove_prefix(std::min(rest.size(), pair.size() + 1));
    if (pair.empty() || pair.rfind("token=", 0) == 0 || pair.rfind("after=", 0) == 0) continue;
    if (!kept.empty()) kept += '&';
    kept.append(pair);
  }
  return kept;
}

std::vector<std::string_view> path_parts(std::string_view path) {
  std::vector<std::string_view> parts;
  while (!path.empty()) {
    const std::size_t slash = path.find('/');
    if (slash != 0) parts.push_back(path.substr(0, slash));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return parts;
}

class ogr_features_api final : public features_api {
 public:
  explicit ogr_features_api(features_settings settings)
      : settings_(std::move(settings)), reader_(std::make_shared<store_reader>(settings_.destination, settings_.most_waiting)) {}

  http_route route() override {
    return {"/api", [this](const http_request& request, std::shared_ptr<http_exchange> exchange) {
              handle(request, std::move(exchange));
            }};
  }

 private:
  void handle(const http_request& request, std::shared_ptr<http_exchange> exchange) {
    if (request.method != "GET" && request.method != "HEAD") {
      http_answer refusal = problem(405, "only GET and HEAD are answered here");
      refusal.headers.emplace_back("Allow", "GET, HEAD");
      return exchange->answer(std::move(refusal));
    }
    const link_base base = base_of(request, settings_.scheme);
    const std::vector<std::string_view> parts = path_parts(request.path);  // "api", ...
    if (parts.size() == 1) return exchange->answer(json_answer(200, landing_page(base)));
    if (parts.size() == 2 && parts[1] == "openapi") return exchange->answer(json_answer(200, openapi(base), openapi_type));
    if (parts.size() == 2 && parts[1] == "conformance") return exchange->answer(json_answer(200, conformance()));
    if (parts.size() == 2 && parts[1] == "collections") {
      json list = json::array();
      for (const collection& c : collections()) list.push_back(collection_metadata(c, base));
      return exchange->answer(json_answer(200, {{"links", {link(base.to("/collections"), "self", json_type)}},
                                                {"collections", std::move(list)}}));
    }
    const collection* c = parts.size() >= 3 && parts[1] == "collections" ? collection_named(parts[2]) : nullptr;
    if (c == nullptr || parts.size() > 5 || (parts.size() >= 4 && parts[3] != "items")) {
      return exchange->answer(problem(404, "nothing here: see /api"));
    }
    if (parts.size() == 3) return exchange->answer(json_answer(200, collection_metadata(*c, base)));
    if (parts.size() == 5) {
      const auto id = whole_number(parts[4]);
      if (!id) return exchange->answer(problem(404, "feature ids are whole numbers"));
      return query(exchange, [c, id = *id, base](GDALDataset& dataset) { return one_item(dataset, *c, id, base); });
    }
    std::string error;
    const auto items_asked = parse_items_query(request.target, &error);
    if (!items_asked) return exchange->answer(problem(400, error));
    query(exchange, [c, q = *items_asked, base, text = repeated_query(request.target)](GDALDataset& dataset) {
      return items(dataset, *c, q, base, text);
    });
  }

  void query(const std::shared_ptr<http_exchange>& exchange, std::function<http_answer(GDALDataset&)> work) {
    const bool queued = reader_->post([exchange, work = std::move(work)](GDALDataset* dataset, const std::string& why) {
      exchange->answer(dataset ? work(*dataset) : unavailable(why));
    });
    if (!queued) {
      http_answer busy = problem(503, "too many requests wait for the store");
      busy.headers.emplace_back("Retry-After", "1");
      exchange->answer(std::move(busy));
    }
  }

  features_settings settings_;
  std::shared_ptr<store_reader> reader_;
};

}  // namespace

std::unique_ptr<features_api> open_features_api(features_settings settings) {
  return std::make_unique<ogr_features_api>(std::move(settings));
}

}  // namespace kaldo::tool::serve
