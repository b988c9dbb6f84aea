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


read_level_t chooseReadLevel(const std::vector<double>& level_pixel_lat, double want_deg, int max_decimation) {
  read_level_t r;
  if (level_pixel_lat.empty()) return r;
  size_t li = 0;
  for (size_t i = 1; i < level_pixel_lat.size(); ++i)
    if (level_pixel_lat[i] <= want_deg) li = i;
  // Beyond the overviews, GDAL averages blocks of f x f pixels.
  int f = 1;
  while (level_pixel_lat[li] * f * 2 <= want_deg && f < max_decimation) f *= 2;
  if (level_pixel_lat[li] * f * 2 <= want_deg) return r;
  r.level = static_cast<int>(li);
  r.decimation = f;
  return r;
}

bool placeWindow(const read_grid_t& grid, const geo_box_t& footprint, const geo_box_t& region, int margin,
                 double max_pixels, window_span_t* span) {
  if (grid.width < 1 || grid.height < 1) return false;
  // The region's longitudes in the turn of the raster.
  const double centre = (region.w + region.e) * 0.5;
  const double fp_centre = (footprint.w + footprint.e) * 0.5;
  const double shift = grid.wraps ? 0.0 : 360.0 * std::round((fp_centre - centre) / 360.0);
  const double pl = grid.pixel_lon, pt = grid.pixel_lat;
  const double fc0 = std::floor((region.w + shift - grid.west) / pl - 0.5) - margin;
  const double fc1 = std::floor((region.e + shift - grid.west) / pl - 0.5) + 1 + margin;
  const double fr0 = std::floor((grid.north - region.n) / pt - 0.5) - margin;
  const double fr1 = std::floor((grid.north - region.s) / pt - 0.5) + 1 + margin;
  // Far outside any raster GDAL opens (its sizes are ints): nothing there.
  constexpr double limit = 2e9;
  if (!(std::fabs(fc0) < limit && std::fabs(fc1) < limit && std::fabs(fr0) < limit && std::fabs(fr1) < limit))
    return false;
  if ((fc1 - fc0 + 1) * (fr1 - fr0 + 1) > max_pixels) return false;
  window_span_t s;
  s.shift = shift;
  s.c0 = static_cast<int>(fc0);
  s.c1 = static_cast<int>(fc1);
  s.r0 = static_cast<int>(fr0);
  s.r1 = static_cast<int>(fr1);
  s.first_row = std::max(s.r0, 0);
  s.last_row = std::min(s.r1, grid.height - 1);
  if (s.first_row > s.last_row) return false;
  if (!grid.wraps && (s.c1 < 0 || s.c0 >= grid.width)) return false;
  *span = s;
  return true;
}

void shapeWindow(const read_grid_t& grid, const window_span_t& span, int channels, raster_window_t* w) {
  w->west = grid.west - span.shift;
  w->north = grid.north;
  w->pixel_lon = grid.pixel_lon;
  w->pixel_lat = grid.pixel_lat;
  w->col0 = span.c0;
  w->row0 = span.r0;
  w->width = span.c1 - span.c0 + 1;
  w->height = span.r1 - span.r0 + 1;
  w->channels = channels;
  w->all_valid = false;
  // Values are only read where a weight is above 0, and weights stay 0
  // wherever nothing is read.
  w->values.resize(static_cast<size_t>(w->width) * w->height * channels);
  w->weights.assign(static_cast<size_t>(w->width) * w->height, 0.0f);
}

std::vector<column_run_t> columnRuns(const read_grid_t& grid, const window_span_t& span) {
  std::vector<column_run_t> runs;
  if (grid.wraps) {
    for (int c = span.c0; c <= span.c1;) {
      const int m = ((c % grid.width) + grid.width) % grid.width;
      const int n = std::min(span.c1 - c + 1, grid.width - m);
      runs.push_back({m, c - span.c0, n});
      c += n;
    }
  } else {
    const int a = std::max(span.c0, 0), b = std::min(span.c1, grid.width - 1);
    runs.push_back({a, a - span.c0, b - a + 1});
  }
  return runs;
}

void normalizeWeights(raster_window_t* w) {
  for (size_t i = 0; i < w->weights.size(); ++i) {
    float& wt = w->weights[i];
    if (wt <= 0.0f) continue;  // nothing read here
    wt = std::min(wt / 255.0f, 1.0f);
    for (int c = 0; c < w->channels; ++c)
      if (!std::isfinite(w->values[i * w->channels + c])) wt = 0.0f;
  }
}

void repeatPoleRows(const window_span_t& span, bool reaches_north, bool reaches_south, raster_window_t* w) {
  const size_t row_values = static_cast<size_t>(w->width) * w->channels;
  auto copyRow = [&](int to, int from) {
    std::copy_n(&w->values[from * row_values], row_values, &w->values[to * row_values]);
    std::copy_n(&w->weights[static_cast<size_t>(from) * w->width], w->width,
                &w->weights[static_cast<size_t>(to) * w->width]);
  };
  const int first = span.first_row - span.r0, last = span.last_row - span.r0;
  if (reaches_north)
    for (int r = 0; r < first; ++r) copyRow(r, first);
  if (reaches_south)
    for (int r = last + 1; r < w->height; ++r) copyRow(r, last);
}
