// Test rasters for rocktreed's user layers, written with GDAL at run time
// (small GeoTIFFs with known georeferencing), and the planet that serves all
// of them over the built-in one. The files go to a fresh temporary folder,
// or to $OSTRAVEL_TEST_RASTERS when set (to look at them with the viewer).
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "http/routing.h"
#include "planet/node_builder.h"

namespace test_rasters {

// What a GeoTIFF written by a test holds.
struct test_raster_t {
  int width = 0, height = 0, bands = 1;
  bool float_samples = false;  // Float32, else Byte
  double geotransform[6] = {0, 1, 0, 0, 0, -1};
  bool georeferenced = true;   // write the geotransform
  int epsg = 4326;             // 0: no reference system
  std::optional<double> nodata;
  std::function<double(int band, int x, int y)> pixel;  // band from 0
};

// Writes NAME.tif into the test folder; returns its path ("" on failure).
std::string writeGeoTiff(const std::string& name, const test_raster_t& raster);
std::string testFolder();

// The places of the layered planet's insets (degrees).
struct rect_t {
  double s, n, w, e;
  bool contains(double lat, double lon) const { return lat >= s && lat <= n && lon >= w && lon <= e; }
};
// A magenta square of 0.001-degree pixels with a nodata hole.
constexpr rect_t square{47.0, 47.1, 2.0, 2.1}, square_hole{47.03, 47.07, 2.03, 2.07};
// The same kind of square (no hole) drawn on a UTM zone 32N grid of 50 m.
constexpr rect_t utm_square{47.0, 47.1, 9.0, 9.1};
// Imagery copied from the built-in image at 0.005 degrees: it must blend in.
constexpr rect_t seam_copy{44.0, 45.0, 2.5, 3.5};
// A 0.01-degree square of 5 m pixels in the middle of the Pacific.
constexpr rect_t sea_square{-30.005, -29.995, -140.005, -139.995};
// A cone of relief (cone_height over cone_base metres, 45 degrees steep,
// 0.0005-degree pixels, 0.03 degrees around the apex) centred on the centre
// of a level-14 node.
constexpr double cone_lat = 50.0, cone_lon = 10.0, cone_base = 100, cone_height = 1500;
constexpr double cone_radius = 0.02;  // degrees of latitude
// The cone's apex: the centre of the level-14 node holding (cone_lat, cone_lon).
void coneApex(double* lat, double* lon);
constexpr double magenta[3] = {255, 0, 255};

// The files of the layered planet, written once per process.
struct layer_files_t {
  std::string square, utm_square, seam_copy, sea_square, cone;
};
const layer_files_t& layerFiles();

// The built-in planet alone, and with every inset above (opened once each).
service_t& plainPlanet();
service_t& layeredPlanet();

}  // namespace test_rasters
