// GSHHG shorelines as GMT bins them (gmt-gshhg packages): the planet cut
// into square bins, each holding the pieces of the shoreline polygons that
// cross it. A piece that leaves the bin is open; closing it along the bin's
// edges, with the bin's corner levels for what lies between, turns a bin
// into closed rings whose insides are land, lakes, islands in lakes and
// ponds. This file decodes one bin's values as the file holds them (all of
// them untrusted) into such rings; gshhg_file.h reads them.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

// Nesting levels of the polygons: a ring of level L encloses what is at
// least L. 0 is the sea outside every polygon.
enum shore_level : uint8_t {
  shore_sea = 0,
  shore_land = 1,
  shore_lake = 2,
  shore_island_in_lake = 3,
  shore_pond = 4,
};
constexpr int shore_levels = 4;

// Sides of a bin in a segment's entry and exit codes; 4 marks a piece closed
// inside the bin.
enum bin_side : uint8_t { side_south = 0, side_east = 1, side_north = 2, side_west = 3, side_inside = 4 };

// One bin's values: the packed corner levels and, per segment, its packed
// word (points << 9 | level << 6 | entry << 3 | exit) and its first point,
// an index into x and y (offsets from the bin's south-west corner in
// 1/65535 of the bin's side).
struct gshhg_raw_bin_t {
  int corner_levels = 0;
  std::vector<int32_t> segment_info, segment_first_point;
  std::vector<uint16_t> x, y;
};

struct gshhg_point_t {
  float x, y;  // in 1/65535 of the bin's side from its south-west corner
};
struct gshhg_ring_t {
  uint8_t level = 0;  // shore_land .. shore_pond
  std::vector<gshhg_point_t> points;  // closed: the last point joins the first
  // The lowest and highest y of each run of shore_edge_chunk edges (edge k
  // joins point k - 1, the last for k = 0, to point k): a node that
  // crosses a few rows of a bin skips the runs that miss them instead of
  // looking at every edge of a coast of 100,000 points.
  std::vector<std::array<float, 2>> chunk_y;
  // The lowest and highest x of the same runs: a node's lines cross the
  // bin's whole width, but a run wholly east of the node cannot change
  // anything inside it and one wholly west only the parity it starts with.
  std::vector<std::array<float, 2>> chunk_x;
};
struct gshhg_bin_t {
  // What the bin is where no ring says otherwise: the lowest corner level,
  // and one below the lowest level of a piece that leaves the bin (a bay
  // reaching in between two land corners is sea).
  uint8_t base_level = 0;
  std::vector<gshhg_ring_t> rings;
  size_t bytes() const;
};

// The level of corner k (0 south-west, 1 south-east, 2 north-east, 3
// north-west) packed in a bin's corner levels.
int cornerLevel(int packed, int k);

// Decodes one bin; false with what was rejected on values that cannot be a
// bin (a level, side or point count out of range, points outside the
// arrays, more points than max_points). Ice fronts (level 5) count as land;
// grounding lines (level 6), the other outline of Antarctica, are left out.
bool decodeBin(const gshhg_raw_bin_t& raw, size_t max_points, gshhg_bin_t* out, std::string* error);

// The level at a point of a decoded bin (in the bin's 1/65535 units): the
// deepest ring around it, or the base level.
int levelAt(const gshhg_bin_t& bin, double x, double y);

// Rivers and borders are binned the same way but as open polylines: per
// segment its point count and class apart, points as offsets from the bin's
// south-west corner in 1/65535 of its side.
struct gshhg_raw_line_bin_t {
  std::vector<int32_t> segment_points, segment_level, segment_first_point;
  std::vector<uint16_t> x, y;
};
struct line_segment_t {
  uint8_t level = 0;            // river class 0..10, border level 1..3
  std::vector<gshhg_point_t> points;  // as in the file, 1/65535 of the bin's side
};
struct line_bin_t {
  std::vector<line_segment_t> segments;
  size_t bytes() const;
};
constexpr int max_line_level = 10;

// Decodes one line bin; false with what was rejected (a class out of
// 0..max_line_level, a segment of fewer than 2 points or outside the
// arrays, more points than max_points).
bool decodeLineBin(const gshhg_raw_line_bin_t& raw, size_t max_points, line_bin_t* out, std::string* error);
