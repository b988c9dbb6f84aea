// A rectangle of one raster layer's pixels, read for one node, and how a
// point of the planet is sampled from it. GDAL-free: the reading is in
// raster_layer.cpp; what is here is arithmetic on the pixels, tested on
// hand-built windows.
//
// Every pixel carries a weight: 0 where the layer has no data (nodata, an
// alpha of 0, outside the raster), rising smoothly to 1 over a few pixels
// inside the valid area, so that a layer fades into the one below instead of
// ending in a seam.
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "planet/octree_geometry.h"

struct raster_window_t {
  // The pixel grid the window is cut from, in degrees: the longitude of the
  // grid's west edge, the latitude of its north edge, and the size of one
  // pixel (rows run south). The window's first pixel is (col0, row0).
  double west = 0, north = 0, pixel_lon = 1, pixel_lat = 1;
  int col0 = 0, row0 = 0;
  int width = 0, height = 0;
  int channels = 1;            // 1 (relief) or 3 (imagery)
  std::vector<float> values;   // width * height * channels, row-major
  std::vector<float> weights;  // width * height, in [0, 1]
  bool all_valid = false;      // every weight is 1 (set by featherWeights)
  bool empty() const { return width == 0 || height == 0; }
};

// Turns the weights (on entry the validity of each pixel, 0 to 1) into
// feathered weights: a pixel at distance d (in pixels, chamfer metric) from
// the nearest pixel of validity 0 keeps smoothstep(d / feather_pixels) of its
// validity. The window must extend feather_pixels beyond every point that
// will be sampled, so that the result there does not depend on where the
// window was cut. Sets all_valid.
void featherWeights(raster_window_t* w, int feather_pixels);

// Where a coordinate (column or row, in the window's pixels, centres at
// whole numbers) falls between two pixel centres; inside is false off the
// window. Samples along one row or column of a texture share these.
struct axis_sample_t {
  int i0 = 0, i1 = 0;
  float f = 0;
  bool inside = false;
};
axis_sample_t axisSample(double coordinate, int size);

// Bilinear sample at a point (longitude already in the window's range).
// Returns the blend weight in [0, 1] and, where it is above 0, the value
// (the weighted mean of the valid neighbours) in value[0..channels).
float sampleWindow(const raster_window_t& w, double lat, double lon, float* value);
// The same from the two axes' samples (both inside); inline, as a texture
// calls it for every texel.
inline float sampleWindowAt(const raster_window_t& w, const axis_sample_t& x, const axis_sample_t& y,
                            float* value);
// A longitude's and a latitude's coordinate in the window's pixels.
inline double windowColumn(const raster_window_t& w, double lon) {
  return (lon - w.west) / w.pixel_lon - 0.5 - w.col0;
}
inline double windowRow(const raster_window_t& w, double lat) {
  return (w.north - lat) / w.pixel_lat - 0.5 - w.row0;
}

// --- where a read falls: the arithmetic of RasterLayer::read -----------------

// The level (0 = full resolution, then the overviews, coarser and coarser)
// a read takes for a wanted pixel size, and how many of its pixels GDAL
// averages into one on each axis (a power of two). `level` is -1 when even
// the coarsest level averaged max_decimation-fold has pixels smaller than
// wanted by half: the read would cost too much and the layer stays out.
struct read_level_t {
  int level = -1;
  int decimation = 1;
};
read_level_t chooseReadLevel(const std::vector<double>& level_pixel_lat, double want_deg, int max_decimation);

// The grid a read cuts its window from: one level, decimated.
struct read_grid_t {
  double west = 0, north = 0;          // the raster's west edge in [-180, 180), north edge
  double pixel_lon = 1, pixel_lat = 1;  // degrees
  int width = 0, height = 0;
  bool wraps = false;  // spans the whole circle, its columns repeat
};

// The window over a region on a grid, `margin` pixels beyond it on every
// side: columns c0..c1 and rows r0..r1 of the grid (beyond its edges where
// the region is), of which rows first_row..last_row exist; `shift` whole
// turns move the region's longitudes into the raster's own.
struct window_span_t {
  double shift = 0;
  int c0 = 0, c1 = -1, r0 = 0, r1 = -1;
  int first_row = 0, last_row = -1;
};
// False when the grid holds nothing of the region, or the window would
// exceed max_pixels (never a node's region) or the grid's int range.
// `footprint` is the layer's, whose centre picks the turn.
bool placeWindow(const read_grid_t& grid, const geo_box_t& footprint, const geo_box_t& region, int margin,
                 double max_pixels, window_span_t* span);

// Sizes and places a window for a span (values of `channels` per pixel,
// weights 0 until a read sets them).
void shapeWindow(const read_grid_t& grid, const window_span_t& span, int channels, raster_window_t* w);

// A run of whole columns of the grid read into the window at one go: one
// run, or across the wrap of a grid that wraps one per turn.
struct column_run_t {
  int grid_col, window_col, count;
};
std::vector<column_run_t> columnRuns(const read_grid_t& grid, const window_span_t& span);

// After a read: weights from a mask read as 0..255 into 0..1, and 0 where a
// value is not finite.
void normalizeWeights(raster_window_t* w);
// Rows beyond a pole the raster reaches repeat its edge row, so that the
// feather does not fade the data out towards the pole.
void repeatPoleRows(const window_span_t& span, bool reaches_north, bool reaches_south, raster_window_t* w);

// The longitude of a point moved by whole turns next to the window's
// centre, so that a window cut across the meridian 180 (or from a raster
// that counts longitudes from 0 to 360) is sampled with its own numbers.
double lonNearWindow(const raster_window_t& w, double lon);

inline float sampleWindowAt(const raster_window_t& w, const axis_sample_t& x, const axis_sample_t& y, float* value) {
  const size_t row0 = static_cast<size_t>(y.i0) * w.width, row1 = static_cast<size_t>(y.i1) * w.width;
  const size_t idx[4] = {row0 + x.i0, row0 + x.i1, row1 + x.i0, row1 + x.i1};
  const float fx = x.f, fy = y.f;
  const float bilinear[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
  if (w.all_valid) {
    for (int c = 0; c < w.channels; ++c)
      value[c] = bilinear[0] * w.values[idx[0] * w.channels + c] + bilinear[1] * w.values[idx[1] * w.channels + c] +
                 bilinear[2] * w.values[idx[2] * w.channels + c] + bilinear[3] * w.values[idx[3] * w.channels + c];
    return 1.0f;
  }
  float alpha = 0.0f;
  float sum[3] = {0, 0, 0};
  for (int k = 0; k < 4; ++k) {
    const float b = bilinear[k] * w.weights[idx[k]];
    if (b <= 0.0f) continue;
    alpha += b;
    for (int c = 0; c < w.channels; ++c) sum[c] += b * w.values[idx[k] * w.channels + c];
  }
  if (alpha <= 0.0f) return 0.0f;
  for (int c = 0; c < w.channels; ++c) value[c] = sum[c] / alpha;
  return std::min(alpha, 1.0f);
}
