#include "tool/outputs/ogr_layer_styles.h"

#include <cpl_minixml.h>
#include <ogrsf_frmts.h>

#include <chrono>
#include <memory>

#include "tool/outputs/ogr_layers.h"
#include "tool/outputs/unit_palette.h"

namespace kaldo::tool {
namespace {

// QGIS's colour text: "r,g,b,alpha".
std::string qgis_colour(rgb c) {
  return std::to_string(c.red) + "," + std::to_string(c.green) + "," + std::to_string(c.blue) +
         ",255";
}

// An XML tree through GDAL's own XML support, freed with its root.
struct xml_tree {
  CPLXMLNode* root;
  xml_tree() : root(CPLCreateXMLNode(nullptr, CXT_Element, "qgis")) {}
  ~xml_tree() { CPLDestroyXMLNode(root); }
  xml_tree(const xml_tree&) = delete;
  xml_tree& operator=(const xml_tree&) = delete;
};

CPLXMLNode* element(CPLXMLNode* parent, const char* name) {
  return CPLCreateXMLNode(parent, CXT_Element, name);
}

CPLXMLNode* attributes(CPLXMLNode* node,
                       std::initializer_list<std::pair<const char*, std::string>> values) {
  for (const auto& [name, value] : values) CPLAddXMLAttributeAndValue(node, name, value.c_str());
  return node;
}

// <Option type="Map"> of QString options, as QGIS saves a symbol layer.
void options(CPLXMLNode* parent,
             std::initializer_list<std::pair<const char*, std::string>> values) {
  CPLXMLNode* map = attributes(element(parent, "Option"), {{"type", "Map"}});
  for (const auto& [name, value] : values) {
    attributes(element(map, "Option"), {{"name", name}, {"type", "QString"}, {"value", value}});
  }
}

// Properties of a symbol layer computed per feature from an expression.
void data_defined(CPLXMLNode* layer,
                  std::initializer_list<std::pair<const char*, std::string>> expressions) {
  CPLXMLNode* map = attributes(element(element(layer, "data_defined_properties"), "Option"),
                               {{"type", "Map"}});
  attributes(element(map, "Option"), {{"name", "name"}, {"type", "QString"}, {"value", ""}});
  CPLXMLNode* properties =
      attributes(element(map, "Option"), {{"name", "properties"}, {"type", "Map"}});
  for (const auto& [name, expression] : expressions) {
    CPLXMLNode* property = attributes(element(properties, "Option"), {{"name", name}, {"type", "Map"}});
    attributes(element(property, "Option"), {{"name", "active"}, {"type", "bool"}, {"value", "true"}});
    attributes(element(property, "Option"),
               {{"name", "expression"}, {"type", "QString"}, {"value", expression}});
    attributes(element(property, "Option"), {{"name", "type"}, {"type", "int"}, {"value", "3"}});
  }
  attributes(element(map, "Option"),
             {{"name", "type"}, {"type", "QString"}, {"value", "collection"}});
}

using symbol_layer_writer = void (*)(CPLXMLNode* layer, const unit_style& style);

void point_symbol(CPLXMLNode* layer, const unit_style& style) {
  const std::string colour = qgis_colour(style.colour);
  attributes(layer, {{"class", "SimpleMarker"}, {"enabled", "1"}, {"locked", "0"}, {"pass", "0"}});
  options(layer, {{"name", "circle"}, {"color", colour}, {"outline_color", "255,255,255,255"},
                  {"outline_width", "0.2"}, {"outline_width_unit", "MM"}, {"size", "2"},
                  {"size_unit", "MM"}});
  // Emergencies: red and larger; the renderer draws them last.
  data_defined(layer, {{"fillColor", "if(\"emergency\" = 1, '" + qgis_colour(emergency_red) +
                                         "', '" + colour + "')"},
                       {"size", "if(\"emergency\" = 1, 3.2, 2)"}});
}

void line_symbol(CPLXMLNode* layer, const unit_style& style) {
  std::string dashes = style.dashes;
  for (char& c : dashes) {
    if (c == ' ') c = ';';
  }
  attributes(layer, {{"class", "SimpleLine"}, {"enabled", "1"}, {"locked", "0"}, {"pass", "0"}});
  options(layer, {{"line_color", qgis_colour(style.colour)}, {"line_width", "0.6"},
                  {"line_width_unit", "MM"}, {"line_style", "solid"},
                  {"use_custom_dash", dashes.empty() ? "0" : "1"},
                  {"customdash", dashes.empty() ? "5;2" : dashes}, {"customdash_unit", "Pixel"},
                  {"capstyle", "round"}, {"joinstyle", "round"}});
}

// A renderer of one category a unit, by modem id, in the units' order.
std::string categorized(const fleet& fleet, const char* symbol_type, symbol_layer_writer write,
                        bool emergencies_on_top) {
  xml_tree tree;
  attributes(tree.root, {{"version", "3.22.16"}, {"styleCategories", "Symbology"}});
  CPLXMLNode* renderer = attributes(
      element(tree.root, "renderer-v2"),
      {{"type", "categorizedSymbol"}, {"attr", "modem_id"}, {"symbollevels", "0"},
       {"forceraster", "0"}, {"enableorderby", emergencies_on_top ? "1" : "0"}});
  CPLXMLNode* categories = element(renderer, "categories");
  CPLXMLNode* symbols = element(renderer, "symbols");
  for (std::size_t u = 0; u < fleet.units.size(); ++u) {
    const std::string index = std::to_string(u);
    const std::string& id = fleet.units[u].modem_id;
    attributes(element(categories, "category"),
               {{"value", id}, {"label", id}, {"symbol", index}, {"render", "true"}});
    CPLXMLNode* symbol =
        attributes(element(symbols, "symbol"), {{"name", index}, {"type", symbol_type},
                                                {"alpha", "1"}, {"clip_to_extent", "1"},
                                                {"force_rhr", "0"}});
    write(element(symbol, "layer"), unit_style_at(u));
  }
  if (emergencies_on_top) {
    CPLXMLNode* clause = attributes(element(element(renderer, "orderby"), "orderByClause"),
                                    {{"asc", "1"}, {"nullsFirst", "0"}});
    CPLCreateXMLNode(clause, CXT_Text, "\"emergency\"");
  }
  char* text = CPLSerializeXMLTree(tree.root);
  std::string qml = "<!DOCTYPE qgis PUBLIC 'http://mrcc.com/qgis.dtd' 'SYSTEM'>\n";
  qml += text;
  CPLFree(text);
  return qml;
}

void set_now(OGRFeature& feature, int index) {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<seconds> clock{now - day};
  feature.SetField(index, static_cast<int>(date.year()), static_cast<int>(unsigned(date.month())),
                   static_cast<int>(unsigned(date.day())), static_cast<int>(clock.hours().count()),
                   static_cast<int>(clock.minutes().count()),
                   static_cast<float>(clock.seconds().count()), 100);
}

// The table as QGIS creates it, so that QGIS writes its own styles into it
// as into one it made.
OGRLayer* styles_table(GDALDataset& dataset, bool postgres, std::string* error) {
  if (OGRLayer* existing = dataset.GetLayerByName("layer_styles")) return existing;
  CPLStringList creation;
  creation.AddString("FID=id");
  OGRLayer* table = dataset.CreateLayer("layer_styles", nullptr, wkbNone, creation.List());
  if (table == nullptr) {
    *error = gdal_error("cannot create the layer_styles table");
    return nullptr;
  }
  const struct {
    const char* name;
    OGRFieldType type;
    int width;
  } fields[] = {
      {"f_table_catalog", OFTString, 256}, {"f_table_schema", OFTString, 256},
      {"f_table_name", OFTString, 256},    {"f_geometry_column", OFTString, 256},
      {"styleName", OFTString, 30},        {"styleQML", OFTString, 0},
      {"styleSLD", OFTString, 0},          {"useAsDefault", OFTInteger, 0},
      {"description", OFTString, 0},       {"owner", OFTString, 30},
      {"ui", OFTString, 30},               {"update_time", OFTDateTime, 0},
      // QGIS's PostgreSQL provider matches a style to a geometry type here
      // where it is set; a null matches any.
      {"type", OFTString, 0},
  };
  for (const auto& field : fields) {
    if (!postgres && std::string(field.name) == "type") continue;
    OGRFieldDefn definition(field.name, field.type);
    definition.SetWidth(field.width);
    if (field.type == OFTInteger) definition.SetSubType(OFSTBoolean);
    if (field.type == OFTDateTime) definition.SetDefault("CURRENT_TIMESTAMP");
    if (table->CreateField(&definition) != OGRERR_NONE) {
      *error = gdal_error(std::string("cannot create the layer_styles field ") + field.name);
      return nullptr;
    }
  }
  return table;
}

}  // namespace

std::string positions_style(const fleet& fleet) {
  return categorized(fleet, "marker", point_symbol, true);
}

std::string tracks_style(const fleet& fleet) {
  return categorized(fleet, "line", line_symbol, false);
}

bool write_layer_styles(GDALDataset& dataset, bool postgres, const fleet& fleet,
                        std::string* error) {
  OGRLayer* table = styles_table(dataset, postgres, error);
  if (table == nullptr) return false;
  std::string catalog, schema;
  if (postgres) {
    OGRLayer* where = dataset.ExecuteSQL("SELECT current_database(), current_schema()", nullptr,
                                         nullptr);
    if (where != nullptr) {
      if (auto row = std::unique_ptr<OGRFeature>(where->GetNextFeature())) {
        catalog = row->GetFieldAsString(0);
        schema = row->GetFieldAsString(1);
      }
      dataset.ReleaseResultSet(where);
    }
  }
  OGRFeatureDefn& d = *table->GetLayerDefn();
  // Found whatever their case: GDAL's PostgreSQL driver lowers the names.
  const auto field = [&](const char* name) { return d.GetFieldIndex(name); };
  const int name_at = field("styleName"), default_at = field("useAsDefault"),
            table_at = field("f_table_name"), qml_at = field("styleQML");
  if (name_at < 0 || default_at < 0 || table_at < 0 || qml_at < 0) {
    *error = "the layer_styles table lacks QGIS's columns";
    return false;
  }
  const struct {
    const char* layer;
    std::string qml;
    const char* description;
  } styles[] = {
      {positions_layer, positions_style(fleet),
       "Points by modem id in the units' colours, emergencies in red on top (kaldo tracks)"},
      {tracks_layer, tracks_style(fleet), "Lines by modem id in the units' colours (kaldo tracks)"},
  };
  for (const auto& style : styles) {
    GIntBig ours = OGRNullFID;
    bool other_default = false;
    table->SetAttributeFilter(nullptr);
    table->ResetReading();
    for (auto& row : *table) {
      if (std::string(row->GetFieldAsString(table_at)) != style.layer) continue;
      if (std::string(row->GetFieldAsString(name_at)) == style_name) {
        if (ours == OGRNullFID) ours = row->GetFID();
      } else if (row->GetFieldAsInteger(default_at) != 0) {
        other_default = true;
      }
    }
    std::unique_ptr<OGRFeature> row(ours == OGRNullFID ? new OGRFeature(&d)
                                                       : table->GetFeature(ours));
    if (row == nullptr) {
      *error = gdal_error("cannot read the layer_styles table");
      return false;
    }
    row->SetField(field("f_table_catalog"), catalog.c_str());
    row->SetField(field("f_table_schema"), schema.c_str());
    row->SetField(table_at, style.layer);
    row->SetField(field("f_geometry_column"), "geom");
    row->SetField(name_at, style_name);
    row->SetField(qml_at, style.qml.c_str());
    row->SetField(field("styleSLD"), "");
    row->SetField(default_at, other_default ? 0 : 1);
    row->SetField(field("description"), style.description);
    row->SetField(field("owner"), "");
    set_now(*row, field("update_time"));
    CPLErrorReset();
    const OGRErr result =
        ours == OGRNullFID ? table->CreateFeature(row.get()) : table->SetFeature(row.get());
    if (result != OGRERR_NONE || CPLGetLastErrorType() == CE_Failure) {
      *error = gdal_error(std::string("cannot write the style of ") + style.layer);
      return false;
    }
  }
  return true;
}

}  // namespace kaldo::tool
