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
  bool empty() const { return width == 0 || height == 0; }
};

// Turns the weights (on entry the validity of each pixel, 0 to 1) into
// feathered weights: a pixel at distance d (in pixels, chamfer metric) from
// the nearest pixel of validity 0 keeps smoothstep(d / feather_pixels) of its
// validity. The window must extend feather_pixels beyond every point that
// will be sampled, so that the result there does not depend on where the
// window was cut.
void featherWeights(raster_window_t* w, int feather_pixels);

// Bilinear sample at a point (longitude already in the window's range).
// Returns the blend weight in [0, 1] and, where it is above 0, the value
// (the weighted mean of the valid neighbours) in value[0..channels).
float sampleWindow(const raster_window_t& w, double lat, double lon, float* value);

// The longitude of a point moved by whole turns next to the window's
// centre, so that a window cut across the meridian 180 (or from a raster
// that counts longitudes from 0 to 360) is sampled with its own numbers.
double lonNearWindow(const raster_window_t& w, double lon);
