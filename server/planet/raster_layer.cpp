#include "planet/raster_layer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

#include <cpl_conv.h>
#include <cpl_error.h>
#include <gdal.h>
#include <gdal_utils.h>
#include <ogr_srs_api.h>

#include "rocktreed_settings.h"

namespace {

// GDAL's last message on this thread, for the one line we print.
std::string gdalReason(const char* fallback) {
  const char* msg = CPLGetLastErrorMsg();
  return msg && *msg ? std::string(msg) : std::string(fallback);
}

// argv-style list for GDAL's utility functions.
struct arg_list_t {
  explicit arg_list_t(std::vector<std::string> list) : items(std::move(list)) {}
  std::vector<std::string> items;
  std::vector<char*> ptrs;
  char** argv() {
    ptrs.clear();
    for (std::string& s : items) ptrs.push_back(s.data());
    ptrs.push_back(nullptr);
    return ptrs.data();
  }
};

std::string fmt(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// A reference system in plain degrees of longitude and latitude.
bool isLonLatDegrees(OGRSpatialReferenceH srs) {
  if (!srs || !OSRIsGeographic(srs)) return false;
  return std::fabs(OSRGetAngularUnits(srs, nullptr) - std::numbers::pi / 180) < 1e-12;
}

// A north-up grid without a reference system whose extent can only be
// degrees (many NetCDF files, ETOPO5 among them, name their axes
// degrees_east and degrees_north but carry no reference system).
bool extentIsDegrees(const double* gt, int w, int h) {
  const double east = gt[0] + gt[1] * w, south = gt[3] + gt[5] * h;
  return gt[0] >= -360 && east <= 360.5 + gt[1] && gt[3] <= 90 - gt[5] && south >= -90 + gt[5];
}

// Opens a file, or the world image with its stated extent as a VRT, the way
// `gdal_translate -of VRT -a_ullr W N E S -a_srs EPSG:4326` assigns bounds.
GDALDatasetH openRaster(const std::string& path, const double* stated_extent, std::string* error) {
  CPLErrorReset();
  GDALDatasetH ds = GDALOpenEx(path.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (!ds) {
    *error = path + ": cannot open as a raster (" + gdalReason("unknown format") + ")";
    return nullptr;
  }
  if (!stated_extent) return ds;
  arg_list_t args({"-of", "VRT", "-a_srs", "EPSG:4326", "-a_ullr", fmt(stated_extent[0]),
                   fmt(stated_extent[1]), fmt(stated_extent[2]), fmt(stated_extent[3])});
  GDALTranslateOptions* options = GDALTranslateOptionsNew(args.argv(), nullptr);
  GDALDatasetH vrt = options ? GDALTranslate("", ds, options, nullptr) : nullptr;
  GDALTranslateOptionsFree(options);
  if (!vrt) {
    *error = path + ": cannot assign its extent (" + gdalReason("GDAL refused") + ")";
    GDALClose(ds);
    return nullptr;
  }
  // The VRT holds its own reference to the file: drop ours.
  GDALReleaseDataset(ds);
  return vrt;
}

}  // namespace

void initGdal() {
  static std::once_flag once;
  std::call_once(once, [] {
    GDALAllRegister();
    // Our lines name the file and the reason; GDAL's own would repeat them
    // without the context, on every thread.
    CPLSetErrorHandler(CPLQuietErrorHandler);
  });
}

void setGdalCacheBytes(size_t bytes) {
  initGdal();
  GDALSetCacheMax64(static_cast<GIntBig>(bytes));
}

bool readGlobalRaster(const std::string& path, const double* stated_extent, int bands,
                      global_raster_t* out, std::string* error) {
  initGdal();
  GDALDatasetH ds = openRaster(path, stated_extent, error);
  if (!ds) return false;
  const int w = GDALGetRasterXSize(ds), h = GDALGetRasterYSize(ds);
  double gt[6];
  bool ok = false;
  if (GDALGetRasterCount(ds) != bands) {
    *error = path + ": has " + std::to_string(GDALGetRasterCount(ds)) + " bands, " + std::to_string(bands) + " expected";
  } else if (GDALGetGeoTransform(ds, gt) != CE_None || gt[2] != 0 || gt[4] != 0 || gt[1] <= 0 ||
             gt[5] >= 0 ||
             !(GDALGetSpatialRef(ds) ? isLonLatDegrees(GDALGetSpatialRef(ds)) : extentIsDegrees(gt, w, h))) {
    *error = path + ": not a north-up longitude/latitude raster";
  } else if (std::fabs(w * gt[1] - 360) > gt[1] || gt[3] + gt[5] * 0.5 < 89.9 ||
             gt[3] + gt[5] * (h - 0.5) > -89.9) {
    *error = path + ": does not cover the whole globe";
  } else {
    out->grid.width = w;
    out->grid.height = h;
    out->bands = bands;
    out->pixels.resize(static_cast<size_t>(w) * h * bands);
    const double dx = 360.0 / w;  // a global raster wraps without a seam
    out->grid.lon0 = gt[0] + dx * 0.5;
    out->grid.lat0 = gt[3] + gt[5] * 0.5;
    out->grid.per_deg_x = 1.0 / dx;
    out->grid.per_deg_y = -1.0 / gt[5];
    int has = 0;
    out->nodata = static_cast<float>(GDALGetRasterNoDataValue(GDALGetRasterBand(ds, 1), &has));
    out->has_nodata = has != 0;
    CPLErrorReset();
    const int sz = static_cast<int>(sizeof(float));
    ok = GDALDatasetRasterIO(ds, GF_Read, 0, 0, w, h, out->pixels.data(), w, h, GDT_Float32, bands,
                             nullptr, sz * bands, static_cast<GSpacing>(sz) * bands * w, sz) == CE_None;
    if (!ok) *error = path + ": read failed (" + gdalReason("I/O error") + ")";
  }
  GDALClose(ds);
  return ok;
}

// --- user layers ---------------------------------------------------------------

struct RasterLayer::handle_t {
  GDALDatasetH file = nullptr;  // the user's file
  GDALDatasetH read = nullptr;  // what is read: the file, or its warped VRT
};

RasterLayer::~RasterLayer() {
  for (handle_t* h : free_handles_) closeHandle(h);
}

void RasterLayer::closeHandle(handle_t* h) {
  // The warped VRT first: it holds a reference to the file.
  if (h->read && h->read != h->file) GDALClose(h->read);
  if (h->file) GDALClose(h->file);
  delete h;
}

std::unique_ptr<RasterLayer> RasterLayer::open(const std::string& path, layer_kind_t kind,
                                               std::string* error) {
  initGdal();
  std::unique_ptr<RasterLayer> layer(new RasterLayer);
  layer->path_ = path;
  layer->kind_ = kind;
  auto h = std::make_unique<handle_t>();
  h->file = openRaster(path, nullptr, error);
  if (!h->file) return nullptr;
  auto reject = [&](const std::string& why) {
    *error = path + ": " + why;
    closeHandle(h.release());
    return nullptr;
  };

  const int bands = GDALGetRasterCount(h->file);
  if (kind == layer_relief && bands != 1)
    return reject(std::to_string(bands) + " bands; relief takes a raster of 1 band (heights in metres)");
  if (kind == layer_imagery && bands != 3 && bands != 4)
    return reject(std::to_string(bands) + " bands; imagery takes 3 bands (RGB) or 4 (RGBA)");
  const GDALDataType type = GDALGetRasterDataType(GDALGetRasterBand(h->file, 1));
  if (kind == layer_imagery && type != GDT_Byte)
    return reject(std::string("imagery bands are ") + GDALGetDataTypeName(type) +
                  ", not 8-bit (scale them with gdal_translate -ot Byte -scale)");
  if (GDALDataTypeIsComplex(type)) return reject("complex samples are not heights");
  layer->bands_read_ = kind == layer_relief ? 1 : 3;

  double gt[6];
  const bool has_gt = GDALGetGeoTransform(h->file, gt) == CE_None;
  const bool has_gcps = GDALGetGCPCount(h->file) > 0;
  if (!has_gt && !has_gcps)
    return reject("no georeferencing; give it an extent and reference system "
                  "(gdal_translate -of VRT -a_ullr WEST NORTH EAST SOUTH -a_srs EPSG:4326)");
  OGRSpatialReferenceH srs = has_gt ? GDALGetSpatialRef(h->file) : GDALGetGCPSpatialRef(h->file);
  const bool north_up = has_gt && gt[2] == 0 && gt[4] == 0 && gt[1] > 0 && gt[5] < 0;
  const int fw = GDALGetRasterXSize(h->file), fh = GDALGetRasterYSize(h->file);
  if (!srs && !(north_up && extentIsDegrees(gt, fw, fh)))
    return reject("no reference system, and its extent is not in degrees (assign one with gdal_translate -a_srs)");

  const bool direct = north_up && (!srs || isLonLatDegrees(srs));
  if (!direct) {
    // Warp to the longitude/latitude of the file's own datum (no datum
    // shift, which could need grids we do not have): the planet takes those
    // angles as they are.
    OGRSpatialReferenceH geog = OSRCloneGeogCS(srs);
    char* wkt = nullptr;
    if (geog) {
      OSRSetAxisMappingStrategy(geog, OAMS_TRADITIONAL_GIS_ORDER);
      OSRExportToWkt(geog, &wkt);
      OSRDestroySpatialReference(geog);
    }
    if (!wkt) return reject("its reference system has no longitude/latitude form");
    layer->warp_options_ = {"-of", "VRT", "-t_srs", wkt, "-r", "bilinear", "-dstalpha"};
    CPLFree(wkt);
    arg_list_t args(layer->warp_options_);
    GDALWarpAppOptions* options = GDALWarpAppOptionsNew(args.argv(), nullptr);
    CPLErrorReset();
    h->read = options ? GDALWarp("", nullptr, 1, &h->file, options, nullptr) : nullptr;
    GDALWarpAppOptionsFree(options);
    if (!h->read)
      return reject("cannot be warped to longitude/latitude (" + gdalReason("GDAL refused") + ")");
    GDALGetGeoTransform(h->read, gt);
    // Every handle opened later warps to exactly this grid.
    const int w = GDALGetRasterXSize(h->read), ht = GDALGetRasterYSize(h->read);
    layer->warp_options_.insert(layer->warp_options_.end(),
                                {"-te", fmt(gt[0]), fmt(gt[3] + gt[5] * ht), fmt(gt[0] + gt[1] * w), fmt(gt[3]),
                                 "-ts", std::to_string(w), std::to_string(ht)});
    layer->warp_ = true;
  } else {
    h->read = h->file;
  }

  const int w = GDALGetRasterXSize(h->read), ht = GDALGetRasterYSize(h->read);
  double px = gt[1];
  const double py = -gt[5];
  if (!(w > 0 && ht > 0 && std::isfinite(gt[0]) && std::isfinite(gt[3]) && px > 0 && py > 0 &&
        std::isfinite(px) && std::isfinite(py)))
    return reject("invalid geotransform");
  if (w * px > 360 + px) return reject("spans " + fmt(w * px) + " degrees of longitude, more than the Earth");
  const double north = gt[3], south = gt[3] - ht * py;
  if (!(south < 90 && north > -90))
    return reject("covers no part of the Earth (latitudes " + fmt(south) + " to " + fmt(north) + ")");
  layer->wraps_ = w * px >= 360 - px * 0.5;
  if (layer->wraps_) px = 360.0 / w;
  layer->west_ = gt[0] - 360.0 * std::floor((gt[0] + 180.0) / 360.0);  // into [-180, 180)
  layer->north_ = north;
  layer->pixel_lon_ = px;
  layer->pixel_lat_ = py;
  layer->width_ = w;
  layer->height_ = ht;
  layer->reaches_north_pole_ = north >= 90 - py * 0.5;
  layer->reaches_south_pole_ = south <= -90 + py * 0.5;
  layer->footprint_ = {std::max(south, -90.0), std::min(north, 90.0), layer->west_,
                       layer->west_ + (layer->wraps_ ? 360.0 : w * px)};

  // Overviews, finest first; the extent divided by their size is their pixel.
  layer->levels_.push_back({w, ht, px, py});
  GDALRasterBandH band = GDALGetRasterBand(h->read, 1);
  std::vector<std::pair<int, int>> overviews;  // width, GDAL's index
  for (int i = 0; i < GDALGetOverviewCount(band); ++i) {
    GDALRasterBandH o = GDALGetOverview(band, i);
    if (o && GDALGetRasterBandXSize(o) < w && GDALGetRasterBandYSize(o) < ht && GDALGetRasterBandXSize(o) > 0)
      overviews.push_back({GDALGetRasterBandXSize(o), i});
  }
  std::sort(overviews.rbegin(), overviews.rend());
  layer->overview_index_.push_back(-1);
  for (const auto& [ow, index] : overviews) {
    const int oh = GDALGetRasterBandYSize(GDALGetOverview(band, index));
    layer->levels_.push_back({ow, oh, px * w / ow, py * ht / oh});
    layer->overview_index_.push_back(index);
  }
  if (overviews.empty() && static_cast<double>(w) * ht > large_raster_pixels)
    std::fprintf(stderr,
                 "rocktreed: %s: no overviews; nodes coarser than %dx its pixels leave it out "
                 "(add overviews with gdaladdo)\n",
                 path.c_str(), max_read_decimation);
  layer->free_handles_.push_back(h.release());
  layer->handles_ = 1;
  return layer;
}

double RasterLayer::pixelMetres() const { return pixel_lat_ * std::numbers::pi / 180 * planet_radius; }

bool RasterLayer::overlaps(const geo_box_t& box) const {
  if (!(box.s < footprint_.n && box.n > footprint_.s)) return false;
  if (wraps_) return true;
  for (double shift : {-360.0, 0.0, 360.0})
    if (box.w + shift < footprint_.e && box.e + shift > footprint_.w) return true;
  return false;
}

size_t RasterLayer::handleCount() {
  std::lock_guard<std::mutex> lock(mutex_);
  return handles_;
}

RasterLayer::handle_t* RasterLayer::acquire() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!free_handles_.empty()) {
      handle_t* h = free_handles_.back();
      free_handles_.pop_back();
      return h;
    }
  }
  // A new builder thread: a dataset of its own (opening is metadata only).
  auto h = std::make_unique<handle_t>();
  std::string error;
  CPLErrorReset();
  h->file = GDALOpenEx(path_.c_str(), GDAL_OF_RASTER | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
  if (h->file && warp_) {
    arg_list_t args(warp_options_);
    GDALWarpAppOptions* options = GDALWarpAppOptionsNew(args.argv(), nullptr);
    h->read = options ? GDALWarp("", nullptr, 1, &h->file, options, nullptr) : nullptr;
    GDALWarpAppOptionsFree(options);
  } else {
    h->read = h->file;
  }
  if (!h->read || GDALGetRasterXSize(h->read) != width_ || GDALGetRasterYSize(h->read) != height_) {
    fail("cannot reopen (" + gdalReason("the file changed") + ")");
    closeHandle(h.release());
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  ++handles_;
  return h.release();
}

void RasterLayer::release(handle_t* h) {
  std::lock_guard<std::mutex> lock(mutex_);
  free_handles_.push_back(h);
}

void RasterLayer::fail(const std::string& why) {
  if (!failed_.exchange(true))
    std::fprintf(stderr, "rocktreed: %s: %s; nodes over it now show the layers below\n", path_.c_str(),
                 why.c_str());
}

bool RasterLayer::read(const geo_box_t& region, double spacing_deg, raster_window_t* out) {
  // The caller's buffers are kept: a builder thread reuses them node after
  // node instead of faulting in fresh pages for every window.
  out->width = out->height = 0;
  out->all_valid = false;
  if (failed_.load()) return false;
  const double want = spacing_deg * level_choice_slack;
  size_t li = 0;
  for (size_t i = 1; i < levels_.size(); ++i)
    if (levels_[i].pixel_lat <= want) li = i;
  // Beyond the overviews, GDAL averages blocks of f x f pixels; past
  // max_read_decimation that would read too much per node, and the layer
  // stays out of the node.
  int f = 1;
  while (levels_[li].pixel_lat * f * 2 <= want && f < max_read_decimation) f *= 2;
  if (levels_[li].pixel_lat * f * 2 <= want) return true;
  const level_t& level = levels_[li];
  const int grid_w = level.width / f, grid_h = level.height / f;
  if (grid_w < 1 || grid_h < 1) return true;
  const double pl = level.pixel_lon * f, pt = level.pixel_lat * f;

  // The region's longitudes in the turn of the raster.
  const double centre = (region.w + region.e) * 0.5;
  const double fp_centre = (footprint_.w + footprint_.e) * 0.5;
  const double shift = wraps_ ? 0.0 : 360.0 * std::round((fp_centre - centre) / 360.0);
  const int margin = inset_feather_pixels + 1;
  const double fc0 = std::floor((region.w + shift - west_) / pl - 0.5) - margin;
  const double fc1 = std::floor((region.e + shift - west_) / pl - 0.5) + 1 + margin;
  const double fr0 = std::floor((north_ - region.n) / pt - 0.5) - margin;
  const double fr1 = std::floor((north_ - region.s) / pt - 0.5) + 1 + margin;
  // Far outside any raster GDAL opens (its sizes are ints): nothing there.
  constexpr double limit = 2e9;
  if (!(std::fabs(fc0) < limit && std::fabs(fc1) < limit && std::fabs(fr0) < limit && std::fabs(fr1) < limit))
    return true;
  if ((fc1 - fc0 + 1) * (fr1 - fr0 + 1) > max_window_pixels) return true;  // never a node's region
  const int c0 = static_cast<int>(fc0), c1 = static_cast<int>(fc1);
  const int r0 = static_cast<int>(fr0), r1 = static_cast<int>(fr1);
  const int rr0 = std::max(r0, 0), rr1 = std::min(r1, grid_h - 1);
  if (rr0 > rr1) return true;
  if (!wraps_ && (c1 < 0 || c0 >= grid_w)) return true;
  const int ww = c1 - c0 + 1, wh = r1 - r0 + 1;

  raster_window_t& win = *out;
  win.west = west_ - shift;
  win.north = north_;
  win.pixel_lon = pl;
  win.pixel_lat = pt;
  win.col0 = c0;
  win.row0 = r0;
  win.width = ww;
  win.height = wh;
  win.channels = bands_read_;
  // Values are only read where a weight is above 0, and weights are 0
  // wherever nothing is read below.
  win.values.resize(static_cast<size_t>(ww) * wh * bands_read_);
  win.weights.assign(static_cast<size_t>(ww) * wh, 0.0f);

  // Column runs of the raster to read: one, or up to three across the wrap.
  struct run_t {
    int raster_col, window_col, count;
  };
  std::vector<run_t> runs;
  if (wraps_) {
    for (int c = c0; c <= c1;) {
      const int m = ((c % grid_w) + grid_w) % grid_w;
      const int n = std::min(c1 - c + 1, grid_w - m);
      runs.push_back({m, c - c0, n});
      c += n;
    }
  } else {
    const int a = std::max(c0, 0), b = std::min(c1, grid_w - 1);
    runs.push_back({a, a - c0, b - a + 1});
  }

  handle_t* h = acquire();
  if (!h) return false;
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = f > 1 ? GRIORA_Average : GRIORA_NearestNeighbour;
  const int rows = rr1 - rr0 + 1;
  const GSpacing fsz = sizeof(float);
  CPLErrorReset();
  bool ok = true;
  GDALRasterBandH first = GDALGetRasterBand(h->read, 1);
  if (li > 0) first = GDALGetOverview(first, overview_index_[li]);
  GDALDatasetH level_ds = first ? GDALGetBandDataset(first) : nullptr;
  GDALRasterBandH mask = first ? GDALGetMaskBand(first) : nullptr;
  const bool mask_all_valid = mask && (GDALGetMaskFlags(first) & GMF_ALL_VALID);
  ok = level_ds && mask;
  for (const run_t& run : runs) {
    if (!ok) break;
    const size_t at = static_cast<size_t>(rr0 - r0) * ww + run.window_col;
    // All bands in one call: pixel-interleaved files are then read once.
    int band_list[3] = {1, 2, 3};
    ok = GDALDatasetRasterIOEx(level_ds, GF_Read, run.raster_col * f, rr0 * f, run.count * f, rows * f,
                               &win.values[at * bands_read_], run.count, rows, GDT_Float32, bands_read_,
                               band_list, fsz * bands_read_, fsz * bands_read_ * ww, fsz, &extra) == CE_None;
    if (!ok) break;
    if (mask_all_valid) {
      for (int r = 0; r < rows; ++r) std::fill_n(&win.weights[at + static_cast<size_t>(r) * ww], run.count, 255.0f);
    } else {
      ok = GDALRasterIOEx(mask, GF_Read, run.raster_col * f, rr0 * f, run.count * f, rows * f, &win.weights[at],
                          run.count, rows, GDT_Float32, fsz, fsz * ww, &extra) == CE_None;
    }
  }
  if (!ok) {
    fail("read failed (" + gdalReason("I/O error") + ")");
    std::lock_guard<std::mutex> lock(mutex_);
    --handles_;
    closeHandle(h);
    out->width = out->height = 0;
    return false;
  }
  release(h);

  for (size_t i = 0; i < win.weights.size(); ++i) {
    float& wt = win.weights[i];
    if (wt <= 0.0f) continue;  // nothing read here
    wt = std::min(wt / 255.0f, 1.0f);
    for (int c = 0; c < bands_read_; ++c)
      if (!std::isfinite(win.values[i * bands_read_ + c])) wt = 0.0f;
  }
  // Rows beyond a pole the raster reaches repeat its edge row, so that the
  // feather does not fade the data out towards the pole.
  auto copyRow = [&](int to, int from) {
    std::copy_n(&win.values[static_cast<size_t>(from) * ww * bands_read_], static_cast<size_t>(ww) * bands_read_,
                &win.values[static_cast<size_t>(to) * ww * bands_read_]);
    std::copy_n(&win.weights[static_cast<size_t>(from) * ww], ww, &win.weights[static_cast<size_t>(to) * ww]);
  };
  if (reaches_north_pole_)
    for (int r = r0; r < 0; ++r) copyRow(r - r0, rr0 - r0);
  if (reaches_south_pole_ && rr1 == grid_h - 1)
    for (int r = grid_h; r <= r1; ++r) copyRow(r - r0, rr1 - r0);
  featherWeights(&win, inset_feather_pixels);
  return true;
}
