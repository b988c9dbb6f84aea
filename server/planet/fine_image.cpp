#include "planet/fine_image.h"

#include <algorithm>
#include <cmath>

#include <gdal.h>

namespace {

bool fail(const std::string& path, const std::string& why, std::string* error) {
  *error = path + ": " + why;
  return false;
}

}  // namespace

bool blendFineImage(const std::string& path, terrain_t* t, std::string* error) {
  initGdal();
  CPLErrorReset();
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (!ds) return fail(path, "cannot open as a raster", error);
  const int w = GDALGetRasterXSize(ds), h = GDALGetRasterYSize(ds);
  const double west = default_fine_imagery_extent[0], north = default_fine_imagery_extent[1];
  const double east = default_fine_imagery_extent[2], south = default_fine_imagery_extent[3];
  // Square pixels over the stated extent, no larger than a reasonable world.
  const double per_deg = w / (east - west);
  if (GDALGetRasterCount(ds) != 3 || w < 360 || w > max_fine_imagery_width ||
      std::fabs(h - (north - south) * per_deg) > 0.5) {
    GDALClose(ds);
    return fail(path, "not a " + std::to_string(static_cast<int>(east - west)) + " x " +
                          std::to_string(north - south) + " degree RGB world image of square pixels",
                error);
  }
  std::vector<uint8_t> fine(static_cast<size_t>(w) * h * 3);
  const bool read = GDALDatasetRasterIO(ds, GF_Read, 0, 0, w, h, fine.data(), w, h, GDT_Byte, 3, nullptr, 3,
                                        static_cast<GSpacing>(w) * 3, 1) == CE_None;
  GDALClose(ds);
  if (!read) return fail(path, "read failed", error);

  // The blend on a global grid of the finer image's pixels, centres at
  // half a pixel from the edges as every global grid here.
  global_grid_t g;
  g.width = w;
  g.height = static_cast<int>(std::lround(180.0 * per_deg));
  g.per_deg_x = g.per_deg_y = per_deg;
  g.lon0 = -180.0 + 0.5 / per_deg;
  g.lat0 = 90.0 - 0.5 / per_deg;
  const double fine_lon0 = west + 0.5 / per_deg, fine_lat0 = north - 0.5 / per_deg;
  std::vector<uint8_t> out(static_cast<size_t>(g.width) * g.height * 3);
  for (int y = 0; y < g.height; ++y) {
    const double lat = g.lat0 - y / per_deg;
    // The finer image's weight: 1 well inside its extent, 0 at its edge.
    const double a = std::clamp((north - std::fabs(lat) - 0.5 / per_deg) / fine_imagery_fade_degrees, 0.0, 1.0);
    const float weight = static_cast<float>(a);
    double fy = std::clamp((fine_lat0 - lat) * per_deg, 0.0, h - 1.0);
    if (std::fabs(fy - std::round(fy)) < 1e-6) fy = std::round(fy);  // the grids' rows coincide
    const int iy0 = static_cast<int>(fy), iy1 = std::min(iy0 + 1, h - 1);
    const float ty = static_cast<float>(fy - iy0);
    if (weight == 1 && ty == 0) {
      // Well inside the extent the grids' pixels coincide: the row as it is.
      std::copy_n(&fine[static_cast<size_t>(iy0) * w * 3], static_cast<size_t>(w) * 3,
                  &out[static_cast<size_t>(y) * g.width * 3]);
      continue;
    }
    for (int x = 0; x < g.width; ++x) {
      const double lon = g.lon0 + x / per_deg;
      Eigen::Vector3f v = Eigen::Vector3f::Zero();
      if (weight < 1) v = imageColour(*t, lat, lon) * (1 - weight);
      if (weight > 0) {
        // Same longitudes as the finer image's own pixels.
        const int ix = static_cast<int>(std::lround((lon - fine_lon0) * per_deg));
        const int c = ((ix % w) + w) % w;
        const uint8_t* p0 = &fine[(static_cast<size_t>(iy0) * w + c) * 3];
        const uint8_t* p1 = &fine[(static_cast<size_t>(iy1) * w + c) * 3];
        for (int k = 0; k < 3; ++k) v[k] += weight * (p0[k] + (p1[k] - p0[k]) * ty);
      }
      uint8_t* o = &out[(static_cast<size_t>(y) * g.width + x) * 3];
      for (int k = 0; k < 3; ++k) o[k] = static_cast<uint8_t>(std::clamp(v[k] + 0.5f, 0.0f, 255.0f));
    }
  }
  t->image = std::move(out);
  t->image_grid = g;
  return true;
}
