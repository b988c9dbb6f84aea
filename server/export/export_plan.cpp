#include "export/export_plan.h"

#include <cmath>
#include <cstdlib>
#include <unordered_set>

#include "planet/node_builder.h"
#include "rocktreed_settings.h"

namespace {

bool parseLevel(std::string_view v, int* out) {
  if (v.empty() || v.size() > 2) return false;
  int n = 0;
  for (char c : v) {
    if (c < '0' || c > '9') return false;
    n = n * 10 + (c - '0');
  }
  if (n > max_node_level) return false;
  *out = n;
  return true;
}

// A decimal number of degrees: optional sign, digits, optional fraction; no
// exponent, no "inf" or "nan", at most 32 characters.
bool parseDegrees(std::string_view v, double* out) {
  if (v.empty() || v.size() > 32) return false;
  size_t i = (v[0] == '-' || v[0] == '+') ? 1 : 0;
  bool digits = false, point = false;
  for (size_t k = i; k < v.size(); ++k) {
    if (v[k] >= '0' && v[k] <= '9') digits = true;
    else if (v[k] == '.' && !point) point = true;
    else return false;
  }
  if (!digits) return false;
  const std::string s(v);
  *out = std::strtod(s.c_str(), nullptr);
  return std::isfinite(*out);
}

bool parseRegion(std::string_view v, geo_box_t* box, std::string* error) {
  double x[4];
  for (int k = 0; k < 4; ++k) {
    const size_t comma = v.find(',');
    if ((k < 3) != (comma != std::string_view::npos)) {
      *error = "--region takes four numbers S,W,N,E";
      return false;
    }
    if (!parseDegrees(v.substr(0, comma), &x[k])) {
      *error = "--region: \"" + std::string(v.substr(0, std::min<size_t>(comma, 40))) + "\" is not a number of degrees";
      return false;
    }
    v.remove_prefix(k < 3 ? comma + 1 : v.size());
  }
  const geo_box_t b{x[0], x[2], x[1], x[3]};
  if (b.s < -90 || b.n > 90 || b.w < -180 || b.e > 180) {
    *error = "--region lies outside -90..90 degrees of latitude or -180..180 of longitude";
    return false;
  }
  if (!(b.s < b.n) || !(b.w < b.e)) {
    *error = "--region needs south < north and west < east (export a region across 180 degrees as two)";
    return false;
  }
  *box = b;
  return true;
}

bool meets(const geo_box_t& a, const geo_box_t& b) { return a.s < b.n && a.n > b.s && a.w < b.e && a.e > b.w; }

struct planner_t {
  const terrain_t& t;
  const export_options_t& o;
  std::vector<export_item_t> items;
  std::unordered_set<std::string> bulks;

  void addNode(const std::string& path) {
    const std::string bulk = path.substr(0, (path.size() - 1) / bulk_depth * bulk_depth);
    if (bulks.insert(bulk).second) items.push_back({export_kind_bulk, bulk});
    items.push_back({export_kind_node, path});
  }

  // The children of an existing node that is not a leaf exist.
  void visit(const std::string& path, const geo_box_t& box) {
    const int level = static_cast<int>(path.size()) + 1;
    if (level > max_node_level) return;
    for (const child_quadrant_t& c : childQuadrants(box, level - 1)) {
      const bool wanted = level <= o.base_level || (level <= o.max_level && meets(c.box, o.region));
      if (!wanted) continue;  // nor is anything below it: boxes nest, levels grow
      const std::string p = path + c.digit;
      addNode(p);
      if (!nodeIsLeaf(t, p)) visit(p, c.box);
    }
  }
};

}  // namespace

bool isExportOption(std::string_view name) {
  return name == "--out" || name == "--region" || name == "--max-level" || name == "--base-level";
}

bool parseExportOption(std::string_view name, std::string_view value, export_options_t* o,
                       std::string* error) {
  if (name == "--out") {
    if (value.empty()) {
      *error = "--out needs a directory";
      return false;
    }
    o->out_dir = value;
    return true;
  }
  if (name == "--region") {
    if (!parseRegion(value, &o->region, error)) return false;
    o->has_region = true;
    return true;
  }
  if (name == "--max-level" || name == "--base-level") {
    int level = 0;
    if (!parseLevel(value, &level)) {
      *error = std::string(name) + " takes a level from 0 to " + std::to_string(max_node_level) + ", not \"" +
               std::string(value.substr(0, 40)) + "\"";
      return false;
    }
    (name == "--max-level" ? o->max_level : o->base_level) = level;
    return true;
  }
  *error = "not an export option: " + std::string(name.substr(0, 40));
  return false;
}

bool resolveExportOptions(export_options_t* o, std::string* error) {
  if (o->out_dir.empty()) {
    *error = "export needs --out DIR";
    return false;
  }
  if (o->base_level < 0) o->base_level = default_export_base_level;
  if (o->max_level < 0) o->max_level = o->has_region ? default_export_region_max_level : o->base_level;
  return true;
}

std::vector<export_item_t> planExport(const terrain_t& t, const export_options_t& o) {
  planner_t p{t, o, {}, {}};
  p.items.push_back({export_kind_planetoid, ""});
  p.visit("", geo_box_t{-90, 90, -180, 180});
  return std::move(p.items);
}
