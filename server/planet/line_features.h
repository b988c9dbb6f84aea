// Rivers and borders from GMT's binned line files (binned_river_*.nc and
// binned_border_*.nc in the gmt-gshhg packages, from WDB II): open
// polylines cut into the same square bins as the shorelines, each segment
// with its own point count and class. Drawn into a node's texture as thin
// anti-aliased lines: a river class from the texel size its node reaches,
// its width in metres kept between a texel and a few; over land only (a
// river's line over the sea or a lake would only smear the shore). The
// files are untrusted: sizes, indices and classes are checked before use.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "planet/gshhg_bins.h"
#include "planet/octree_geometry.h"

struct shore_mask_t;

// One binned line file: its per-bin index at open, a bin's segments when
// asked.
class LineFile {
 public:
  // Null with "FILE: reason" when missing or not a binned line file.
  static std::unique_ptr<LineFile> open(const std::string& path, std::string* error);
  ~LineFile();
  LineFile(const LineFile&) = delete;
  LineFile& operator=(const LineFile&) = delete;

  int columns() const { return columns_; }
  int rows() const { return rows_; }
  double binDegrees() const { return 360.0 / columns_; }
  bool binHasSegments(int index) const { return segment_count_[index] > 0; }
  // Reads one bin (thread-safe); false with "FILE: bin N: why".
  bool readBin(int index, line_bin_t* out, std::string* error) const;

 private:
  LineFile() = default;
  std::string path_;
  int nc_ = -1;
  int columns_ = 0, rows_ = 0;
  size_t segments_ = 0, points_ = 0;
  int var_points_ = -1, var_level_ = -1, var_first_point_ = -1, var_x_ = -1, var_y_ = -1;
  std::vector<int32_t> first_segment_;
  std::vector<int16_t> segment_count_;
};

// The rivers (and, when asked for, the borders) of a directory of GMT
// files, at every resolution there is, with their decoded bins cached.
class LineFeatures {
 public:
  // Null when no river file is there (`note` says what was looked for); a
  // broken file is named in `note` and left out.
  static std::unique_ptr<LineFeatures> open(const std::string& dir, bool borders, std::string* note);
  bool hasBorders() const;

  // Darkens the node's RGB texture (texture_size^2, first row north) along
  // the rivers and borders its level shows, over the land of `mask`.
  void draw(const geo_box_t& box, int level, const shore_mask_t& mask, std::vector<uint8_t>* rgb) const;

 private:
  enum kind_t { rivers = 0, borders = 1 };
  std::shared_ptr<const line_bin_t> bin(int kind, int resolution, int index) const;
  const LineFile* fileFor(int kind, int level, int* resolution) const;
  std::array<std::array<std::unique_ptr<LineFile>, 5>, 2> files_;
  mutable std::mutex mutex_;
  mutable std::unordered_map<uint64_t, std::shared_ptr<const line_bin_t>> cache_;
  mutable size_t cached_bytes_ = 0;
};
