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
