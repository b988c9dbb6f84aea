#include "test_rasters.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <vector>

#include <gdal.h>
#include <gdal_utils.h>
#include <ogr_srs_api.h>

#include "planet/octree_geometry.h"

namespace test_rasters {

std::string testFolder() {
  static const std::string folder = [] {
    const char* env = std::getenv("OSTRAVEL_TEST_RASTERS");
    std::string dir = env && *env ? env
                                  : (std::filesystem::temp_directory_path() /
                                     ("rocktreed-rasters-" + std::to_string(getpid())))
                                        .string();
    std::filesystem::create_directories(dir);
    if (!env || !*env) {
      static std::string to_remove;
      to_remove = dir;
      std::atexit([] { std::filesystem::remove_all(to_remove); });
    }
    return dir;
  }();
  return folder;
}

std::string writeGeoTiff(const std::string& name, const test_raster_t& raster) {
  initGdal();
  const std::string path = testFolder() + "/" + name + ".tif";
  GDALDriverH driver = GDALGetDriverByName("GTiff");
  GDALDatasetH ds = GDALCreate(driver, path.c_str(), raster.width, raster.height, raster.bands,
                               raster.float_samples ? GDT_Float32 : GDT_Byte, nullptr);
  if (!ds) return "";
  if (raster.georeferenced) GDALSetGeoTransform(ds, const_cast<double*>(raster.geotransform));
  if (raster.epsg) {
    OGRSpatialReferenceH srs = OSRNewSpatialReference(nullptr);
    OSRImportFromEPSG(srs, raster.epsg);
    OSRSetAxisMappingStrategy(srs, OAMS_TRADITIONAL_GIS_ORDER);
    GDALSetSpatialRef(ds, srs);
    OSRDestroySpatialReference(srs);
  }
  std::vector<double> row(raster.width);
  bool ok = true;
  for (int b = 0; b < raster.bands; ++b) {
    GDALRasterBandH band = GDALGetRasterBand(ds, b + 1);
    if (raster.nodata) GDALSetRasterNoDataValue(band, *raster.nodata);
    for (int y = 0; y < raster.height && ok; ++y) {
      for (int x = 0; x < raster.width; ++x) row[x] = raster.pixel(b, x, y);
      ok = GDALRasterIO(band, GF_Write, 0, y, raster.width, 1, row.data(), raster.width, 1, GDT_Float64, 0, 0) ==
           CE_None;
    }
  }
  GDALClose(ds);
  return ok ? path : "";
}

namespace {

std::string magentaSquare() {
  test_raster_t r;
  r.width = r.height = 100;
  r.bands = 3;
  const double gt[6] = {square.w, 0.001, 0, square.n, 0, -0.001};
  std::copy(gt, gt + 6, r.geotransform);
  r.nodata = 0;
  r.pixel = [](int band, int x, int y) {
    const double lat = square.n - (y + 0.5) * 0.001, lon = square.w + (x + 0.5) * 0.001;
    return square_hole.contains(lat, lon) ? 0.0 : magenta[band];
  };
  return writeGeoTiff("square", r);
}

std::string utmSquare() {
  OGRSpatialReferenceH geo = OSRNewSpatialReference(nullptr), utm = OSRNewSpatialReference(nullptr);
  OSRImportFromEPSG(geo, 4326);
  OSRImportFromEPSG(utm, 32632);
  OSRSetAxisMappingStrategy(geo, OAMS_TRADITIONAL_GIS_ORDER);
  OSRSetAxisMappingStrategy(utm, OAMS_TRADITIONAL_GIS_ORDER);
  OGRCoordinateTransformationH to_utm = OCTNewCoordinateTransformation(geo, utm);
  OGRCoordinateTransformationH to_geo = OCTNewCoordinateTransformation(utm, geo);
  double xs[4] = {utm_square.w, utm_square.e, utm_square.w, utm_square.e};
  double ys[4] = {utm_square.s, utm_square.s, utm_square.n, utm_square.n};
  OCTTransform(to_utm, 4, xs, ys, nullptr);
  constexpr double pixel = 50, pad = 250;
  const double x0 = std::floor((*std::min_element(xs, xs + 4) - pad) / pixel) * pixel;
  const double y1 = std::ceil((*std::max_element(ys, ys + 4) + pad) / pixel) * pixel;
  const int w = static_cast<int>((*std::max_element(xs, xs + 4) + pad - x0) / pixel);
  const int h = static_cast<int>((y1 - *std::min_element(ys, ys + 4) + pad) / pixel);
  std::vector<double> lon(static_cast<size_t>(w) * h), lat(lon.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      lon[static_cast<size_t>(y) * w + x] = x0 + (x + 0.5) * pixel;
      lat[static_cast<size_t>(y) * w + x] = y1 - (y + 0.5) * pixel;
    }
  OCTTransform(to_geo, static_cast<int>(lon.size()), lon.data(), lat.data(), nullptr);
  OCTDestroyCoordinateTransformation(to_utm);
  OCTDestroyCoordinateTransformation(to_geo);
  OSRDestroySpatialReference(geo);
  OSRDestroySpatialReference(utm);
  test_raster_t r;
  r.width = w;
  r.height = h;
  r.bands = 3;
  const double gt[6] = {x0, pixel, 0, y1, 0, -pixel};
  std::copy(gt, gt + 6, r.geotransform);
  r.epsg = 32632;
  r.nodata = 0;
  r.pixel = [=](int band, int x, int y) {
    const size_t i = static_cast<size_t>(y) * w + x;
    return utm_square.contains(lat[i], lon[i]) ? magenta[band] : 0.0;
  };
  return writeGeoTiff("utm_square", r);
}

std::string seamCopy() {
  // The built-in image with its stated extent (the finer base image where
  // it is installed: the plain planet shows it there), then the inset's
  // window of it, resampled as a user's finer image of the same ground
  // would be.
  const std::string path = testFolder() + "/seam_copy.tif";
  const bool fine = std::filesystem::exists(default_fine_imagery_path);
  const double* extent = fine ? default_fine_imagery_extent : default_imagery_extent;
  GDALDatasetH jpeg = GDALOpen(fine ? default_fine_imagery_path : default_imagery_path, GA_ReadOnly);
  if (!jpeg) return "";
  auto translate = [](const std::string& out, GDALDatasetH src, std::vector<std::string> args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    GDALTranslateOptions* o = GDALTranslateOptionsNew(argv.data(), nullptr);
    GDALDatasetH ds = GDALTranslate(out.c_str(), src, o, nullptr);
    GDALTranslateOptionsFree(o);
    return ds;
  };
  GDALDatasetH world = translate("", jpeg, {"-of", "VRT", "-a_srs", "EPSG:4326", "-a_ullr", std::to_string(extent[0]),
                                             std::to_string(extent[1]), std::to_string(extent[2]),
                                             std::to_string(extent[3])});
  GDALDatasetH copy = world ? translate(path, world,
                                        {"-of", "GTiff", "-r", "bilinear", "-outsize", "200", "200", "-projwin",
                                         std::to_string(seam_copy.w), std::to_string(seam_copy.n),
                                         std::to_string(seam_copy.e), std::to_string(seam_copy.s)})
                            : nullptr;
  if (copy) GDALClose(copy);
  if (world) GDALClose(world);
  GDALClose(jpeg);
  return copy ? path : "";
}

std::string seaSquare() {
  test_raster_t r;
  r.width = r.height = 200;
  r.bands = 3;
  const double px = (sea_square.n - sea_square.s) / 200;
  const double gt[6] = {sea_square.w, px, 0, sea_square.n, 0, -px};
  std::copy(gt, gt + 6, r.geotransform);
  r.pixel = [](int band, int, int) { return band == 0 ? 255.0 : band == 1 ? 160.0 : 0.0; };
  return writeGeoTiff("sea_square", r);
}

std::string cone(double apex_lat, double apex_lon) {
  test_raster_t r;
  r.width = r.height = 121;
  r.float_samples = true;
  constexpr double px = 0.0005;
  const double gt[6] = {apex_lon - 60.5 * px, px, 0, apex_lat + 60.5 * px, 0, -px};
  std::copy(gt, gt + 6, r.geotransform);
  const double coslat = std::cos(apex_lat * M_PI / 180);
  r.pixel = [=](int, int x, int y) {
    const double dlat = (60 - y) * px, dlon = (x - 60) * px * coslat;
    return cone_base + cone_height * std::max(0.0, 1.0 - std::hypot(dlat, dlon) / cone_radius);
  };
  return writeGeoTiff("cone", r);
}

}  // namespace

const layer_files_t& layerFiles() {
  static const layer_files_t files = [] {
    layer_files_t f;
    f.square = magentaSquare();
    f.utm_square = utmSquare();
    f.seam_copy = seamCopy();
    f.sea_square = seaSquare();
    double lat, lon;
    coneApex(&lat, &lon);
    f.cone = cone(lat, lon);
    return f;
  }();
  return files;
}

void coneApex(double* lat, double* lon) {
  geo_box_t box;
  nodePathOver(cone_lat, cone_lon, 14, &box);
  *lat = (box.s + box.n) / 2;
  *lon = (box.w + box.e) / 2;
}

namespace {

service_t* open(const planet_inputs_t& inputs) {
  auto* s = new service_t;
  std::string error;
  if (!openService(s, inputs, format_bit_jpg, 64 << 20, &error)) {
    std::fprintf(stderr, "test planet: %s\n", error.c_str());
    std::abort();
  }
  return s;
}

}  // namespace

// Both without rivers: a copy of the base image is compared with the
// planet's own textures, and the rivers are drawn over those only.
service_t& plainPlanet() {
  static service_t* s = [] {
    planet_inputs_t inputs;
    inputs.rivers = false;
    return open(inputs);
  }();
  return *s;
}

service_t& layeredPlanet() {
  static service_t* s = [] {
    const layer_files_t& f = layerFiles();
    planet_inputs_t inputs;
    inputs.relief_layers = {f.cone};
    inputs.imagery_layers = {f.seam_copy, f.square, f.utm_square, f.sea_square};
    inputs.rivers = false;
    return open(inputs);
  }();
  return *s;
}

}  // namespace test_rasters
