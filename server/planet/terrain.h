// Elevation and colour of the planet: ETOPO5 relief and the Blue Marble
// image, both read once at start-up, plus deterministic fractal detail below
// their resolution. Every value is a function of geographic position alone
// (never of the node that asks), so neighbouring nodes agree on their edges.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "planet/fractal_detail.h"
#include "planet/octree_geometry.h"
#include "rocktreed_settings.h"

struct terrain_t {
  // Relief in metres, row 0 at 90 S, column 0 at 0 E, 12 samples per degree.
  int relief_w = 0, relief_h = 0;
  std::vector<int16_t> relief;
  // Imagery, RGB, row 0 at the north pole, column 0 at 180 W, pixel centres
  // at half-pixel offsets.
  int image_w = 0, image_h = 0;
  std::vector<uint8_t> image;
  float min_elevation = 0, max_elevation = 0;
};

// Reads both sources; false with a one-line reason on failure.
bool loadTerrain(const std::string& relief_path, const std::string& imagery_path, terrain_t* t,
                 std::string* error);

// Relief smoothed with a uniform cubic B-spline: C2-continuous, and never
// outside the range of the 4x4 samples around the point (no overshoot, so a
// sea test on the samples is exact).
double reliefHeight(const terrain_t& t, double lat, double lon);

// Highest relief sample that can influence any point of the box.
double reliefMaxIn(const terrain_t& t, const geo_box_t& box);

// Imagery colour (0..255 per channel), bilinear.
Eigen::Vector3f imageColour(const terrain_t& t, double lat, double lon);

// Terrain height (sea floor included) from relief and detail: detail is
// strongest in mountains and fades out below the coast so it never raises
// islands out of deep water.
double terrainHeight(double relief, double detail);

// True when no point of the box can rise above the sea surface.
bool seaOnly(const terrain_t& t, const geo_box_t& box);

// Heights over a node's box on a regular grid of n x n cells plus `border`
// extra samples on each side (latitudes clamped to the poles): row-major,
// row 0 at the south edge, (n + 1 + 2 border)^2 values.
std::vector<double> heightGrid(const terrain_t& t, const geo_box_t& box, int level, int n,
                               int border);

// Latitude or longitude at fraction k / n of [a, b], exact at both ends so
// that neighbours share their edge coordinates bit for bit.
inline double gridCoord(double a, double b, int k, int n) {
  if (k == 0) return a;
  if (k == n) return b;
  return a + (b - a) * (static_cast<double>(k) / n);
}
