// Land and water from GSHHG for a node: the coverage of each texel of its
// texture by land, lakes and sea (anti-aliased: exact along each texel's
// width, sampled at a few heights inside it), and the level at the points
// of its height grid. Both come from the bins the node touches, read from
// the coarsest file that is still finer than the node's texels and kept in
// a cache per bin bounded in bytes. Every value is a function of position
// and level alone, so neighbours agree on their shared edges.
#pragma once

#include <array>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "planet/gshhg_bins.h"
#include "planet/gshhg_file.h"
#include "planet/octree_geometry.h"

// GSHHG's resolutions, coarsest first: crude, low, intermediate, high, full.
constexpr int gshhg_resolutions = 5;
constexpr const char* gshhg_resolution_letters = "clihf";

class Shoreline {
 public:
  // Opens binned_GSHHS_{c,l,i,h,f}.nc in DIR, as many as are there; null
  // when none is (with `note` saying which files were looked for). A file
  // that is there but broken is named in `note` and left out.
  static std::unique_ptr<Shoreline> open(const std::string& dir, size_t cache_bytes, std::string* note);

  // The file a node of this level reads: the coarsest whose shoreline is
  // within a texel or two, else the nearest one there is.
  const GshhgFile* fileFor(int level) const;
  // One bin of a file, decoded, from the cache or read; a bin without
  // segments from its corner levels alone. Null only when a read fails (the
  // line is printed once per bin; the bin then counts as its corners say).
  std::shared_ptr<const gshhg_bin_t> bin(const GshhgFile& file, int index) const;

  size_t cachedBytes() const;
  const std::vector<std::string>& files() const { return names_; }

 private:
  std::array<std::unique_ptr<GshhgFile>, gshhg_resolutions> files_;
  std::vector<std::string> names_;
  size_t cache_limit_ = 0;
  mutable std::mutex mutex_;
  using key_t = uint64_t;
  struct entry_t {
    std::shared_ptr<const gshhg_bin_t> bin;
    std::list<key_t>::iterator use;
  };
  mutable std::unordered_map<key_t, entry_t> cache_;
  mutable std::list<key_t> uses_;  // most recent first
  mutable size_t cached_bytes_ = 0;
};

// A node texture's coverage, texture_size^2 texels, first row north.
struct shore_mask_t {
  // Every texel is this level (no coast reaches the node): the arrays are
  // empty.
  bool uniform = true;
  uint8_t level = shore_sea;
  // Otherwise the fraction of each texel that is land (land and islands in
  // lakes) and that is lake (lakes and ponds); the rest is sea.
  std::vector<float> land, lake;
};

// Into `mask`, whose arrays a caller may reuse from node to node.
void shoreMask(const Shoreline& shore, const geo_box_t& box, int level, shore_mask_t* mask);

// The level (shore_sea .. shore_pond) at the points (lats[j], lons[i]),
// row-major as heightGrid orders them.
std::vector<uint8_t> shoreLevels(const Shoreline& shore, int level, const std::vector<double>& lats,
                                 const std::vector<double>& lons);
