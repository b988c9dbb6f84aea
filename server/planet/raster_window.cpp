#include "planet/raster_window.h"

#include <algorithm>
#include <cmath>

void featherWeights(raster_window_t* w, int feather_pixels) {
  if (feather_pixels <= 0 || w->empty()) return;
  const int width = w->width, height = w->height;
  const size_t count = static_cast<size_t>(width) * height;
  bool any_invalid = false;
  for (size_t i = 0; i < count && !any_invalid; ++i) any_invalid = w->weights[i] <= 0.0f;
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

float sampleWindow(const raster_window_t& w, double lat, double lon, float* value) {
  const double x = (lon - w.west) / w.pixel_lon - 0.5 - w.col0;
  const double y = (w.north - lat) / w.pixel_lat - 0.5 - w.row0;
  if (!(x >= 0 && y >= 0 && x <= w.width - 1 && y <= w.height - 1)) return 0.0f;
  const int i = std::min(static_cast<int>(x), std::max(w.width - 2, 0));
  const int j = std::min(static_cast<int>(y), std::max(w.height - 2, 0));
  const float fx = static_cast<float>(x - i), fy = static_cast<float>(y - j);
  const int i1 = std::min(i + 1, w.width - 1), j1 = std::min(j + 1, w.height - 1);
  const size_t idx[4] = {static_cast<size_t>(j) * w.width + i, static_cast<size_t>(j) * w.width + i1,
                         static_cast<size_t>(j1) * w.width + i, static_cast<size_t>(j1) * w.width + i1};
  const float bilinear[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
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
