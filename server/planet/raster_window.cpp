#include "planet/raster_window.h"

#include <algorithm>
#include <cmath>

void featherWeights(raster_window_t* w, int feather_pixels) {
  if (feather_pixels <= 0 || w->empty()) return;
  const int width = w->width, height = w->height;
  const size_t count = static_cast<size_t>(width) * height;
  bool any_invalid = false, all_one = true;
  for (size_t i = 0; i < count && !any_invalid; ++i) {
    any_invalid = w->weights[i] <= 0.0f;
    all_one = all_one && w->weights[i] == 1.0f;
  }
  w->all_valid = all_one && !any_invalid;
  if (!any_invalid) return;  // the common case: a window well inside the data

  // Chamfer distance (3 per straight step, 4 per diagonal one) to the
  // nearest invalid pixel, two passes, capped where the feather ends.
  const int cap = 3 * feather_pixels + 3;
  std::vector<int> d(count);
  for (size_t i = 0; i < count; ++i) d[i] = w->weights[i] <= 0.0f ? 0 : cap;
  auto at = [&](int x, int y) -> int& { return d[static_cast<size_t>(y) * width + x]; };
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      int& v = at(x, y);
      if (x > 0) v = std::min(v, at(x - 1, y) + 3);
      if (y > 0) {
        v = std::min(v, at(x, y - 1) + 3);
        if (x > 0) v = std::min(v, at(x - 1, y - 1) + 4);
        if (x + 1 < width) v = std::min(v, at(x + 1, y - 1) + 4);
      }
    }
  for (int y = height - 1; y >= 0; --y)
    for (int x = width - 1; x >= 0; --x) {
      int& v = at(x, y);
      if (x + 1 < width) v = std::min(v, at(x + 1, y) + 3);
      if (y + 1 < height) {
        v = std::min(v, at(x, y + 1) + 3);
        if (x + 1 < width) v = std::min(v, at(x + 1, y + 1) + 4);
        if (x > 0) v = std::min(v, at(x - 1, y + 1) + 4);
      }
    }
  for (size_t i = 0; i < count; ++i) {
    // d = 3 (next to an invalid pixel) starts the ramp a little above 0, so
    // the fade spans feather_pixels whole pixels.
    const float t = std::clamp((static_cast<float>(d[i]) / 3.0f - 0.5f) / feather_pixels, 0.0f, 1.0f);
    w->weights[i] *= t * t * (3.0f - 2.0f * t);
  }
}

double lonNearWindow(const raster_window_t& w, double lon) {
  const double centre = w.west + (w.col0 + w.width * 0.5) * w.pixel_lon;
  return lon + 360.0 * std::round((centre - lon) / 360.0);
}

axis_sample_t axisSample(double coordinate, int size) {
  axis_sample_t s;
  if (!(coordinate >= 0 && coordinate <= size - 1)) return s;
  s.i0 = std::min(static_cast<int>(coordinate), std::max(size - 2, 0));
  s.i1 = std::min(s.i0 + 1, size - 1);
  s.f = static_cast<float>(coordinate - s.i0);
  s.inside = true;
  return s;
}

float sampleWindow(const raster_window_t& w, double lat, double lon, float* value) {
  const axis_sample_t x = axisSample(windowColumn(w, lon), w.width);
  const axis_sample_t y = axisSample(windowRow(w, lat), w.height);
  if (!x.inside || !y.inside) return 0.0f;
  return sampleWindowAt(w, x, y, value);
}

