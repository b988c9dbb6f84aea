// Rasters read through GDAL: the two built-in global files, read whole at
// start-up, and the user's layers (--relief, --imagery), of which start-up
// reads only the metadata and every node build reads the window it needs at
// the resolution it needs.
//
// GDAL datasets are not thread-safe: a user layer keeps a pool of dataset
// handles and lends each one to one build at a time, so there are never more
// handles than builds running at once (one per worker thread). Pixels come
// through GDAL's block cache, whose size setGdalCacheBytes sets.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "planet/octree_geometry.h"
#include "planet/raster_window.h"

// Registers GDAL's drivers and keeps its messages off standard error (ours
// name the file); safe to call more than once.
void initGdal();
// The most GDAL's block cache may hold, all datasets together.
void setGdalCacheBytes(size_t bytes);

// Where the pixels of a global raster lie, north-up: the centre of pixel
// (0, 0) and pixels per degree. It spans the whole circle and wraps, its
// pixel width snapped to 360 / width.
struct global_grid_t {
  int width = 0, height = 0;
  double lon0 = 0, lat0 = 90, per_deg_x = 1, per_deg_y = 1;
};

// A global raster in memory, pixel (0, 0) in the north-west.
struct global_raster_t {
  global_grid_t grid;
  int bands = 0;
  std::vector<float> pixels;  // width * height * bands, interleaved
  float nodata = 0;
  bool has_nodata = false;
};

// Reads a raster that must cover the whole globe. `stated_extent` (west,
// north, east, south), when given, replaces the file's georeferencing, for a
// world image that has none. False with "PATH: reason".
bool readGlobalRaster(const std::string& path, const double* stated_extent, int bands,
                      global_raster_t* out, std::string* error);

enum layer_kind_t { layer_relief, layer_imagery };

class RasterLayer {
 public:
  // Opens and checks a user file, reading only its metadata: it must open,
  // be georeferenced, overlap the Earth and have 1 band (relief) or 3 or 4
  // bands of 8 bits (imagery). Rasters in another reference system than
  // longitude/latitude are warped to it by GDAL (a warped VRT). nullptr
  // with "PATH: reason" in *error.
  static std::unique_ptr<RasterLayer> open(const std::string& path, layer_kind_t kind,
                                           std::string* error);
  ~RasterLayer();
  RasterLayer(const RasterLayer&) = delete;
  RasterLayer& operator=(const RasterLayer&) = delete;

  const std::string& path() const { return path_; }
  layer_kind_t kind() const { return kind_; }
  // The area the raster covers, degrees; west may be anywhere in
  // [-180, 180), east = west + width (a global raster spans 360).
  const geo_box_t& footprint() const { return footprint_; }
  // Size of a full-resolution pixel: degrees of latitude, and metres.
  double pixelDegrees() const { return pixel_lat_; }
  double pixelMetres() const;
  int overviewCount() const { return static_cast<int>(levels_.size()) - 1; }
  // Whether the raster reaches into the box (longitudes in any turn).
  bool overlaps(const geo_box_t& box) const;

  // Reads the pixels over `region` from the coarsest level (full resolution
  // or an overview) whose pixels are no larger than `spacing_deg`, with
  // room for the bilinear neighbours and the feather on every side, and
  // feathered weights. An empty
  // window when the layer has nothing there (or cannot show it at this
  // spacing: see max_read_decimation). False on a read error: the first one
  // prints one line naming the file, and the layer stays out of every later
  // build (nodes show the layers below it) while the service keeps running.
  bool read(const geo_box_t& region, double spacing_deg, raster_window_t* out);
  bool failed() const { return failed_.load(); }
  // Dataset handles opened so far (at most one per build running at once).
  size_t handleCount();

 private:
  struct level_t {
    int width, height;
    double pixel_lon, pixel_lat;
  };
  struct handle_t;  // the file's GDAL dataset and, when warped, its VRT
  RasterLayer() = default;
  handle_t* acquire();  // a handle for this build alone, or nullptr (layer failed)
  void release(handle_t* h);
  static void closeHandle(handle_t* h);
  void fail(const std::string& why);
  // The steps of open, each an empty string or the reason to reject the
  // file: a handle reading longitude/latitude (the file, or its warped VRT)
  // and its geotransform; the grid and footprint; the overviews.
  std::string openLonLat(handle_t* h, double* gt);
  std::string setGrid(handle_t* h, const double* gt);
  void findOverviews(handle_t* h);
  // Reads every run's pixels and mask into the shaped window on a handle of
  // its own; false (and the layer failed) on an I/O error.
  bool readPixels(const read_level_t& choice, const window_span_t& span, const std::vector<column_run_t>& runs,
                  raster_window_t* win);

  std::string path_;
  layer_kind_t kind_ = layer_relief;
  bool warp_ = false;
  std::vector<std::string> warp_options_;  // the warped VRT's fixed grid
  int bands_read_ = 1;                     // 1 or 3
  double west_ = 0, north_ = 0, pixel_lon_ = 1, pixel_lat_ = 1;
  int width_ = 0, height_ = 0;
  bool wraps_ = false, reaches_north_pole_ = false, reaches_south_pole_ = false;
  geo_box_t footprint_{};
  std::vector<level_t> levels_;        // [0] full resolution, then coarser
  std::vector<int> overview_index_;    // GDAL's overview number of levels_[i], i >= 1
  std::mutex mutex_;
  std::vector<handle_t*> free_handles_;
  size_t handles_ = 0;
  std::atomic<bool> failed_{false};
};
