#include "planet/terrain.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <cstdio>
#include <memory>

#include "planet/land_water_mask.h"
#include "planet/user_layers.h"

namespace {

bool loadRelief(const std::string& path, terrain_t* t, std::string* error) {
  global_raster_t r;
  if (!readGlobalRaster(path, nullptr, 1, &r, error)) return false;
  t->relief_grid = r.grid;
  t->relief.resize(r.pixels.size());
  float lo = 0, hi = 0;
  for (size_t i = 0; i < r.pixels.size(); ++i) {
    // A hole in the global relief has no layer below it: sea level.
    const float raw = r.has_nodata && r.pixels[i] == r.nodata ? 0.0f : r.pixels[i];
    const float v = std::clamp(raw, relief_floor_metres, relief_ceiling_metres);
    t->relief[i] = static_cast<int16_t>(std::lround(v));
    lo = std::min(lo, v);
    hi = std::max(hi, v);
  }
  t->min_elevation = lo;
  t->max_elevation = hi;
  return true;
}

bool loadImagery(const std::string& path, terrain_t* t, std::string* error) {
  global_raster_t r;
  const double* extent = path == default_imagery_path ? default_imagery_extent : nullptr;
  if (!readGlobalRaster(path, extent, 3, &r, error)) return false;
  t->image_grid = r.grid;
  t->image.resize(r.pixels.size());
  for (size_t i = 0; i < r.pixels.size(); ++i)
    t->image[i] = static_cast<uint8_t>(std::clamp(r.pixels[i], 0.0f, 255.0f));
  return true;
}

inline void bsplineWeights(double f, double w[4]) {
  const double f2 = f * f, f3 = f2 * f;
  w[0] = (1 - 3 * f + 3 * f2 - f3) / 6;
  w[1] = (4 - 6 * f2 + 3 * f3) / 6;
  w[2] = (1 + 3 * f + 3 * f2 - 3 * f3) / 6;
  w[3] = f3 / 6;
}

}  // namespace

bool loadTerrain(const std::string& relief_path, const std::string& imagery_path, terrain_t* t,
                 std::string* error) {
  return loadRelief(relief_path, t, error) && loadImagery(imagery_path, t, error);
}

namespace {

// Where the B-spline of a point reads the built-in relief: four rows and
// four columns (wrapped), and the point's fractions between the middle two.
struct relief_taps_t {
  int rows[4], cols[4];
  double fy, fx;
};

relief_taps_t reliefTaps(const terrain_t& t, double lat, double lon) {
  relief_taps_t taps;
  const double y = (t.relief_grid.lat0 - lat) * t.relief_grid.per_deg_y;
  double x = std::fmod(lon - t.relief_grid.lon0, 360.0);
  if (x < 0) x += 360.0;
  x *= t.relief_grid.per_deg_x;
  const double fy = std::floor(y), fx = std::floor(x);
  taps.fy = y - fy;
  taps.fx = x - fx;
  const int iy = static_cast<int>(fy), ix = static_cast<int>(fx);
  for (int i = 0; i < 4; ++i) {
    const int col = ix - 1 + i;  // wraps only next to the raster's first column
    taps.cols[i] = col < 0 ? col + t.relief_grid.width : col >= t.relief_grid.width ? col - t.relief_grid.width : col;
    taps.rows[i] = std::clamp(iy - 1 + i, 0, t.relief_grid.height - 1);
  }
  return taps;
}

// The built-in relief at the points (lats[j], lons[i]), row-major:
// reliefHeight's sums, with the taps and weights of each latitude and each
// longitude computed once.
std::vector<double> reliefOnGrid(const terrain_t& t, const std::vector<double>& lats,
                                 const std::vector<double>& lons) {
  struct axis_t {
    int taps[4];
    double w[4];
  };
  std::vector<axis_t> rows(lats.size()), cols(lons.size());
  for (size_t k = 0; k < lats.size(); ++k) {
    const relief_taps_t taps = reliefTaps(t, lats[k], 0.0);
    std::copy_n(taps.rows, 4, rows[k].taps);
    bsplineWeights(taps.fy, rows[k].w);
  }
  for (size_t k = 0; k < lons.size(); ++k) {
    const relief_taps_t taps = reliefTaps(t, 0.0, lons[k]);
    std::copy_n(taps.cols, 4, cols[k].taps);
    bsplineWeights(taps.fx, cols[k].w);
  }
  // The sums along each tap row, per column, reused while consecutive
  // latitudes read the same rows (all of them in a node smaller than a
  // relief pixel).
  std::vector<double> along(4 * cols.size()), out;
  out.reserve(rows.size() * cols.size());
  const int* along_rows = nullptr;
  for (const axis_t& row : rows) {
    if (!along_rows || !std::equal(row.taps, row.taps + 4, along_rows)) {
      for (int j = 0; j < 4; ++j) {
        const int16_t* r = &t.relief[static_cast<size_t>(row.taps[j]) * t.relief_grid.width];
        for (size_t i = 0; i < cols.size(); ++i) {
          const int* c = cols[i].taps;
          const double* wx = cols[i].w;
          along[j * cols.size() + i] = wx[0] * r[c[0]] + wx[1] * r[c[1]] + wx[2] * r[c[2]] + wx[3] * r[c[3]];
        }
      }
      along_rows = row.taps;
    }
    for (size_t i = 0; i < cols.size(); ++i) {
      double sum = 0;
      for (int j = 0; j < 4; ++j) sum += row.w[j] * along[j * cols.size() + i];
      out.push_back(sum);
    }
  }
  return out;
}

}  // namespace

double reliefHeight(const terrain_t& t, double lat, double lon) {
  const relief_taps_t taps = reliefTaps(t, lat, lon);
  double wy[4], wx[4];
  bsplineWeights(taps.fy, wy);
  bsplineWeights(taps.fx, wx);
  const int* cols = taps.cols;
  double sum = 0;
  for (int j = 0; j < 4; ++j) {
    const int16_t* r = &t.relief[static_cast<size_t>(taps.rows[j]) * t.relief_grid.width];
    sum += wy[j] * (wx[0] * r[cols[0]] + wx[1] * r[cols[1]] + wx[2] * r[cols[2]] + wx[3] * r[cols[3]]);
  }
  return sum;
}

double reliefMaxIn(const terrain_t& t, const geo_box_t& box) {
  const double per_deg_y = t.relief_grid.per_deg_y, per_deg_x = t.relief_grid.per_deg_x;
  const int y0 = std::max(0, static_cast<int>(std::floor((t.relief_grid.lat0 - box.n) * per_deg_y)) - 1);
  const int y1 = std::min(t.relief_grid.height - 1, static_cast<int>(std::floor((t.relief_grid.lat0 - box.s) * per_deg_y)) + 2);
  double w = std::fmod(box.w - t.relief_grid.lon0, 360.0);
  if (w < 0) w += 360.0;
  const int x0 = static_cast<int>(std::floor(w * per_deg_x)) - 1;
  const int x1 = x0 + static_cast<int>(std::ceil((box.e - box.w) * per_deg_x)) + 3;
  double hi = -1e9;
  for (int y = y0; y <= y1; ++y)
    for (int x = x0; x <= x1; ++x) {
      const int col = (x % t.relief_grid.width + t.relief_grid.width) % t.relief_grid.width;
      hi = std::max<double>(hi, t.relief[static_cast<size_t>(y) * t.relief_grid.width + col]);
    }
  return hi;
}

Eigen::Vector3f imageColour(const terrain_t& t, double lat, double lon) {
  const double x = (lon - t.image_grid.lon0) * t.image_grid.per_deg_x;
  const double y = std::clamp((t.image_grid.lat0 - lat) * t.image_grid.per_deg_y, 0.0, t.image_grid.height - 1.0);
  const double fx = std::floor(x), fy = std::floor(y);
  const float tx = static_cast<float>(x - fx), ty = static_cast<float>(y - fy);
  const int ix0 = (static_cast<int>(fx) % t.image_grid.width + t.image_grid.width) % t.image_grid.width;
  const int ix1 = (ix0 + 1) % t.image_grid.width;
  const int iy0 = static_cast<int>(fy), iy1 = std::min(iy0 + 1, t.image_grid.height - 1);
  auto px = [&](int ix, int iy) {
    const uint8_t* p = &t.image[(static_cast<size_t>(iy) * t.image_grid.width + ix) * 3];
    return Eigen::Vector3f(p[0], p[1], p[2]);
  };
  const Eigen::Vector3f top = px(ix0, iy0) * (1 - tx) + px(ix1, iy0) * tx;
  const Eigen::Vector3f bottom = px(ix0, iy1) * (1 - tx) + px(ix1, iy1) * tx;
  return top * (1 - ty) + bottom * ty;
}

double shoreHeight(int shore_level, double height) {
  if (shore_level == shore_land || shore_level == shore_island_in_lake) return std::max(height, shore_height_metres);
  if (shore_level == shore_sea) return std::min(height, -shore_height_metres);
  return height;  // lakes and ponds lie at their own heights
}

double terrainHeight(double relief, double detail) {
  double amp;
  if (relief >= 0) {
    amp = 0.2 + 0.8 * std::min(relief / 2000.0, 1.0);
  } else {
    amp = 0.2 * std::max(0.0, 1.0 + relief / 100.0);
  }
  return relief + detail * detail_metres * amp;
}

bool seaOnly(const terrain_t& t, const geo_box_t& box) {
  // Below -50 m of relief the detail (at most 44 m there, fading to 0 at
  // -100 m) cannot reach the surface.
  return reliefMaxIn(t, box) < -50.0;
}

height_range_t heightGridRange(const terrain_t& t, const geo_box_t& box, int level, int n) {
  std::vector<double> lats(n + 1), lons(n + 1);
  for (int k = 0; k <= n; ++k) {
    lats[k] = gridCoord(box.s, box.n, k, n);
    lons[k] = gridCoord(box.w, box.e, k, n);
  }
  // Detail over m x m parts of the box, each from its centre and its reach
  // (the farthest of its corners).
  const int octaves = detailOctaves(level);
  constexpr int m = box_detail_samples;
  std::array<Eigen::Vector3d, m * m> centres;
  std::array<double, m * m> reach;
  if (octaves > 0) {
    // Sines and cosines at the 2m + 1 latitudes and longitudes of the parts'
    // edges (even k) and centres (odd k).
    constexpr double rad = 3.141592653589793 / 180.0;
    double cos_lat[2 * m + 1], sin_lat[2 * m + 1], cos_lon[2 * m + 1], sin_lon[2 * m + 1];
    for (int k = 0; k <= 2 * m; ++k) {
      const double f = static_cast<double>(k) / (2 * m);
      const double lat = (box.s + (box.n - box.s) * f) * rad, lon = (box.w + (box.e - box.w) * f) * rad;
      cos_lat[k] = std::cos(lat), sin_lat[k] = std::sin(lat);
      cos_lon[k] = std::cos(lon), sin_lon[k] = std::sin(lon);
    }
    auto unit = [&](int j, int i) {
      return Eigen::Vector3d(cos_lat[j] * cos_lon[i], cos_lat[j] * sin_lon[i], sin_lat[j]);
    };
    std::array<Eigen::Vector3d, (m + 1) * (m + 1)> corners;
    for (int j = 0; j <= m; ++j)
      for (int i = 0; i <= m; ++i) corners[j * (m + 1) + i] = unit(2 * j, 2 * i);
    for (int j = 0; j < m; ++j)
      for (int i = 0; i < m; ++i) {
        const Eigen::Vector3d c = unit(2 * j + 1, 2 * i + 1);
        double r = 0;
        for (int dj = 0; dj < 2; ++dj)
          for (int di = 0; di < 2; ++di) r = std::max(r, (corners[(j + dj) * (m + 1) + i + di] - c).norm());
        centres[j * m + i] = c;
        reach[j * m + i] = r;
      }
  }
  auto detailBounds = [&](int first_octave, double* lo, double* hi) {
    *lo = *hi = 0;
    if (octaves <= first_octave) return;
    *lo = 1, *hi = -1;
    for (int p = 0; p < m * m; ++p) {
      double l, h;
      detailRange(centres[p], reach[p], octaves, first_octave, &l, &h);
      *lo = std::min(*lo, l);
      *hi = std::max(*hi, h);
    }
  };
  // heightGrid's own steps at every point with the detail at its lowest and
  // at its highest: a height rises with the detail (by 0 where the relief is
  // too deep for any), and a layer's blend rises with both heights it mixes.
  const std::vector<double> relief = reliefOnGrid(t, lats, lons);
  double detail_lo, detail_hi;
  detailBounds(0, &detail_lo, &detail_hi);
  std::vector<double> lo(relief.size()), hi(relief.size());
  for (size_t k = 0; k < relief.size(); ++k) {
    lo[k] = terrainHeight(relief[k], detail_lo);
    hi[k] = terrainHeight(relief[k], detail_hi);
  }
  // The shore's heights (monotonic in the height, so they keep the bounds).
  if (t.shoreline) {
    const std::vector<uint8_t> shore = shoreLevels(*t.shoreline, level, lats, lons);
    for (size_t k = 0; k < relief.size(); ++k) {
      lo[k] = shoreHeight(shore[k], lo[k]);
      hi[k] = shoreHeight(shore[k], hi[k]);
    }
  }
  for (const layer_window_t& w : reliefWindows(t, box)) {
    detailBounds(w.first_octave, &detail_lo, &detail_hi);
    for (size_t j = 0, k = 0; j < lats.size(); ++j)
      for (size_t i = 0; i < lons.size(); ++i, ++k) {
        float v = 0;
        const float a = sampleWindow(w.window, lats[j], lonNearWindow(w.window, lons[i]), &v);
        if (a <= 0.0f) continue;
        const double layer_relief = std::clamp(static_cast<double>(v), static_cast<double>(relief_floor_metres),
                                               static_cast<double>(relief_ceiling_metres));
        lo[k] += a * (terrainHeight(layer_relief, detail_lo) - lo[k]);
        hi[k] += a * (terrainHeight(layer_relief, detail_hi) - hi[k]);
      }
  }
  return {*std::min_element(lo.begin(), lo.end()), *std::max_element(hi.begin(), hi.end())};
}

std::vector<double> heightGrid(const terrain_t& t, const geo_box_t& box, int level, int n,
                               int border) {
  const int side = n + 1 + 2 * border;
  const int octaves = detailOctaves(level);
  std::vector<double> lats(side), lons(side);
  for (int k = 0; k < side; ++k) {
    const int g = k - border;
    lats[k] = std::clamp(g < 0 ? box.s + (box.n - box.s) * g / n
                         : g > n ? box.n + (box.n - box.s) * (g - n) / n
                                 : gridCoord(box.s, box.n, g, n),
                         -90.0, 90.0);
    lons[k] = g < 0 ? box.w + (box.e - box.w) * g / n
              : g > n ? box.e + (box.e - box.w) * (g - n) / n
                      : gridCoord(box.w, box.e, g, n);
  }
  std::vector<double> cos_lon(side), sin_lon(side);
  for (int i = 0; i < side; ++i) {
    cos_lon[i] = std::cos(lons[i] * 3.141592653589793 / 180.0);
    sin_lon[i] = std::sin(lons[i] * 3.141592653589793 / 180.0);
  }
  std::vector<double> out(static_cast<size_t>(side) * side);
  const std::vector<layer_window_t> layers = reliefWindows(t, box);
  const std::vector<uint8_t> shore = t.shoreline ? shoreLevels(*t.shoreline, level, lats, lons) : std::vector<uint8_t>{};
  detail_cache_t cache;
  for (int j = 0; j < side; ++j) {
    const double la = lats[j] * 3.141592653589793 / 180.0;
    const double cl = std::cos(la), sl = std::sin(la);
    for (int i = 0; i < side; ++i) {
      const Eigen::Vector3d unit(cl * cos_lon[i], cl * sin_lon[i], sl);
      const double relief = reliefHeight(t, lats[j], lons[i]);
      double detail = 0;
      if (octaves > 0 && relief > -100.0) detail = detailNoiseCached(unit, octaves, cache);
      double h = terrainHeight(relief, detail);
      if (!shore.empty()) h = shoreHeight(shore[static_cast<size_t>(j) * side + i], h);
      if (!layers.empty()) h = blendRelief(layers, lats[j], lons[i], h, unit, octaves, cache);
      out[static_cast<size_t>(j) * side + i] = h;
    }
  }
  return out;
}
