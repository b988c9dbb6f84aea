// What `rocktreed export` writes: its options, parsed from the command
// line, and the list of answers they ask for. The list is a pure function
// of the options and the planet's shape (which nodes exist), so it is known,
// counted and ordered before anything is built.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "planet/octree_geometry.h"
#include "planet/terrain.h"

struct export_options_t {
  std::string out_dir;                   // files go to out_dir/rt/earth/<request path>
  geo_box_t region{-90, 90, -180, 180};  // degrees; the whole planet by default
  bool has_region = false;
  int base_level = -1;  // every node to this level, everywhere (-1: default_export_base_level)
  int max_level = -1;   // nodes to this level where they meet the region (-1: see resolveExportOptions)
};

// Reads one export option (--out, --region, --max-level, --base-level) and
// its value. Returns false with a reason naming what it rejected. Values are
// operator input but are checked like untrusted bytes: numbers in range and
// complete, a region of finite degrees with south < north and west < east
// inside the globe.
bool parseExportOption(std::string_view name, std::string_view value, export_options_t* o,
                       std::string* error);
bool isExportOption(std::string_view name);

// Fills in the defaults: base level default_export_base_level; max level
// default_export_region_max_level with a region, else the base level.
// False with a reason when --out is missing.
bool resolveExportOptions(export_options_t* o, std::string* error);

enum export_kind { export_kind_planetoid, export_kind_bulk, export_kind_node };

struct export_item_t {
  export_kind kind;
  std::string path;  // octant digits; "" for the planetoid and the root bulk
};

// The planetoid, every node of level <= base_level, every node of level <=
// max_level whose box meets the region, and every bulk that announces one of
// them, each bulk listed just before the first node it announces (nodes in
// depth-first order). Only nodes that exist: nothing below a leaf.
std::vector<export_item_t> planExport(const terrain_t& t, const export_options_t& o);
