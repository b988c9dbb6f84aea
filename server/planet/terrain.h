// Elevation and colour of the planet: the built-in ETOPO5 relief and Blue
// Marble image (read whole at start-up through GDAL), the user's layers on
// top of them (user_layers.h), and deterministic fractal detail below the
// data's resolution. Every value is a function of geographic position and
// level alone (never of the node that asks), so neighbouring nodes agree on
// their edges.
#pragma once

#include <cstdint>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "planet/fractal_detail.h"
#include "planet/octree_geometry.h"
#include "planet/raster_layer.h"
#include "rocktreed_settings.h"

class Shoreline;
class LineFeatures;

struct terrain_t {
  // Built-in relief in whole metres and imagery (RGB), row 0 in the north.
  global_grid_t relief_grid, image_grid;
  std::vector<int16_t> relief;
  std::vector<uint8_t> image;
  float min_elevation = 0, max_elevation = 0;
  // The user's layers over them, bottom to top (the last given on top).
  std::vector<std::unique_ptr<RasterLayer>> relief_layers, imagery_layers;
  // GSHHG's land and water (land_water_mask.h), null without the files;
  // then the image's land and sea colours, each spread over the other
  // (shore_colour.h), on image_grid.
  std::shared_ptr<const Shoreline> shoreline;
  std::vector<uint8_t> land_image, sea_image;
  // Set once those two are ready: they are split on a thread of their own
  // so that the service listens at once (the first shore texture waits).
  // After them, so that it is destroyed (and waited for) first.
  std::shared_future<void> shore_colours_ready;
  // Rivers (and with --borders the borders) drawn over the shore textures
  // (line_features.h); null without the files.
  std::shared_ptr<const LineFeatures> lines;
};

// Reads both built-in sources whole; false with "PATH: reason" on failure.
// The built-in Blue Marble file gets its stated extent.
bool loadTerrain(const std::string& relief_path, const std::string& imagery_path, terrain_t* t,
                 std::string* error);

// Relief smoothed with a uniform cubic B-spline: C2-continuous, and never
// outside the range of the 4x4 samples around the point (no overshoot, so a
// sea test on the samples is exact).
double reliefHeight(const terrain_t& t, double lat, double lon);

// Highest built-in relief sample that can influence any point of the box.
double reliefMaxIn(const terrain_t& t, const geo_box_t& box);

// Built-in imagery colour (0..255 per channel), bilinear.
Eigen::Vector3f imageColour(const terrain_t& t, double lat, double lon);

// Terrain height (sea floor included) from relief and detail: detail is
// strongest in mountains and fades out below the coast so it never raises
// islands out of deep water.
double terrainHeight(double relief, double detail);

// A height where GSHHG says land (at least shore_height_metres) or sea
// (at most minus it); lakes keep theirs.
double shoreHeight(int shore_level, double height);

// True when no point of the box can rise above the sea surface in the
// built-in relief.
bool seaOnly(const terrain_t& t, const geo_box_t& box);

// Heights over a node's box on a regular grid of n x n cells plus `border`
// extra samples on each side (latitudes clamped to the poles): row-major,
// row 0 at the south edge, (n + 1 + 2 border)^2 values. Relief layers blend
// over the built-in relief where they have data; their samples come from a
// window read at the level's resolution, the same for every n.
std::vector<double> heightGrid(const terrain_t& t, const geo_box_t& box, int level, int n,
                               int border);

// Bounds of every value heightGrid(t, box, level, n, 0) holds: the same
// relief (built-in and layers) at the same points, with the fractal detail,
// the costly part, replaced by its bounds (detailRange over
// box_detail_samples^2 parts of the box). What a node's box is made from.
struct height_range_t {
  double lo, hi;
};
height_range_t heightGridRange(const terrain_t& t, const geo_box_t& box, int level, int n);

// Latitude or longitude at fraction k / n of [a, b], exact at both ends so
// that neighbours share their edge coordinates bit for bit.
inline double gridCoord(double a, double b, int k, int n) {
  if (k == 0) return a;
  if (k == n) return b;
  return a + (b - a) * (static_cast<double>(k) / n);
}
