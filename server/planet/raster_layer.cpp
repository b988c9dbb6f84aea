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

namespace {

// Whether a user file's bands suit its kind: an empty reason when they do.
std::string checkBands(GDALDatasetH file, layer_kind_t kind) {
  const int bands = GDALGetRasterCount(file);
  if (kind == layer_relief && bands != 1)
    return std::to_string(bands) + " bands; relief takes a raster of 1 band (heights in metres)";
  if (kind == layer_imagery && bands != 3 && bands != 4)
    return std::to_string(bands) + " bands; imagery takes 3 bands (RGB) or 4 (RGBA)";
  const GDALDataType type = GDALGetRasterDataType(GDALGetRasterBand(file, 1));
  if (kind == layer_imagery && type != GDT_Byte)
    return std::string("imagery bands are ") + GDALGetDataTypeName(type) +
           ", not 8-bit (scale them with gdal_translate -ot Byte -scale)";
  if (GDALDataTypeIsComplex(type)) return "complex samples are not heights";
  return "";
}

// A warped VRT of a file with gdalwarp's options, or nullptr.
GDALDatasetH warpedVrt(GDALDatasetH file, const std::vector<std::string>& options) {
  arg_list_t args(options);
  GDALWarpAppOptions* o = GDALWarpAppOptionsNew(args.argv(), nullptr);
  GDALDatasetH vrt = o ? GDALWarp("", nullptr, 1, &file, o, nullptr) : nullptr;
  GDALWarpAppOptionsFree(o);
  return vrt;
}

}  // namespace

std::unique_ptr<RasterLayer> RasterLayer::open(const std::string& path, layer_kind_t kind,
                                               std::string* error) {
  initGdal();
  std::unique_ptr<RasterLayer> layer(new RasterLayer);
  layer->path_ = path;
  layer->kind_ = kind;
  auto h = std::make_unique<handle_t>();
  h->file = openRaster(path, nullptr, error);
  if (!h->file) return nullptr;
  double gt[6];
  std::string why = checkBands(h->file, kind);
  if (why.empty()) why = layer->openLonLat(h.get(), gt);
  if (why.empty()) why = layer->setGrid(h.get(), gt);
  if (!why.empty()) {
    *error = path + ": " + why;
    closeHandle(h.release());
    return nullptr;
  }
  layer->bands_read_ = kind == layer_relief ? 1 : 3;
  layer->findOverviews(h.get());
  layer->free_handles_.push_back(h.release());
  layer->handles_ = 1;
  return layer;
}

std::string RasterLayer::openLonLat(handle_t* h, double* gt) {
  const bool has_gt = GDALGetGeoTransform(h->file, gt) == CE_None;
  const bool has_gcps = GDALGetGCPCount(h->file) > 0;
  if (!has_gt && !has_gcps)
    return "no georeferencing; give it an extent and reference system "
           "(gdal_translate -of VRT -a_ullr WEST NORTH EAST SOUTH -a_srs EPSG:4326)";
  OGRSpatialReferenceH srs = has_gt ? GDALGetSpatialRef(h->file) : GDALGetGCPSpatialRef(h->file);
  const bool north_up = has_gt && gt[2] == 0 && gt[4] == 0 && gt[1] > 0 && gt[5] < 0;
  const int fw = GDALGetRasterXSize(h->file), fh = GDALGetRasterYSize(h->file);
  if (!srs && !(north_up && extentIsDegrees(gt, fw, fh)))
    return "no reference system, and its extent is not in degrees (assign one with gdal_translate -a_srs)";
  if (north_up && (!srs || isLonLatDegrees(srs))) {
    h->read = h->file;
    return "";
  }
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
  if (!wkt) return "its reference system has no longitude/latitude form";
  warp_options_ = {"-of", "VRT", "-t_srs", wkt, "-r", "bilinear", "-dstalpha"};
  CPLFree(wkt);
  CPLErrorReset();
  h->read = warpedVrt(h->file, warp_options_);
  if (!h->read) return "cannot be warped to longitude/latitude (" + gdalReason("GDAL refused") + ")";
  GDALGetGeoTransform(h->read, gt);
  // Every handle opened later warps to exactly this grid.
  const int w = GDALGetRasterXSize(h->read), ht = GDALGetRasterYSize(h->read);
  warp_options_.insert(warp_options_.end(), {"-te", fmt(gt[0]), fmt(gt[3] + gt[5] * ht), fmt(gt[0] + gt[1] * w),
                                             fmt(gt[3]), "-ts", std::to_string(w), std::to_string(ht)});
  warp_ = true;
  return "";
}

std::string RasterLayer::setGrid(handle_t* h, const double* gt) {
  const int w = GDALGetRasterXSize(h->read), ht = GDALGetRasterYSize(h->read);
  double px = gt[1];
  const double py = -gt[5];
  if (!(w > 0 && ht > 0 && std::isfinite(gt[0]) && std::isfinite(gt[3]) && px > 0 && py > 0 &&
        std::isfinite(px) && std::isfinite(py)))
    return "invalid geotransform";
  if (w * px > 360 + px) return "spans " + fmt(w * px) + " degrees of longitude, more than the Earth";
  const double north = gt[3], south = gt[3] - ht * py;
  if (!(south < 90 && north > -90))
    return "covers no part of the Earth (latitudes " + fmt(south) + " to " + fmt(north) + ")";
  wraps_ = w * px >= 360 - px * 0.5;
  if (wraps_) px = 360.0 / w;
  west_ = gt[0] - 360.0 * std::floor((gt[0] + 180.0) / 360.0);  // into [-180, 180)
  north_ = north;
  pixel_lon_ = px;
  pixel_lat_ = py;
  width_ = w;
  height_ = ht;
  reaches_north_pole_ = north >= 90 - py * 0.5;
  reaches_south_pole_ = south <= -90 + py * 0.5;
  footprint_ = {std::max(south, -90.0), std::min(north, 90.0), west_, west_ + (wraps_ ? 360.0 : w * px)};
  return "";
}

void RasterLayer::findOverviews(handle_t* h) {
  // Finest first; the extent divided by their size is their pixel.
  levels_.push_back({width_, height_, pixel_lon_, pixel_lat_});
  overview_index_.push_back(-1);
  GDALRasterBandH band = GDALGetRasterBand(h->read, 1);
  std::vector<std::pair<int, int>> overviews;  // width, GDAL's index
  for (int i = 0; i < GDALGetOverviewCount(band); ++i) {
    GDALRasterBandH o = GDALGetOverview(band, i);
    if (o && GDALGetRasterBandXSize(o) < width_ && GDALGetRasterBandYSize(o) < height_ &&
        GDALGetRasterBandXSize(o) > 0)
      overviews.push_back({GDALGetRasterBandXSize(o), i});
  }
  std::sort(overviews.rbegin(), overviews.rend());
  for (const auto& [ow, index] : overviews) {
    const int oh = GDALGetRasterBandYSize(GDALGetOverview(band, index));
    levels_.push_back({ow, oh, pixel_lon_ * width_ / ow, pixel_lat_ * height_ / oh});
    overview_index_.push_back(index);
  }
  if (overviews.empty() && static_cast<double>(width_) * height_ > large_raster_pixels)
    std::fprintf(stderr,
                 "rocktreed: %s: no overviews; nodes coarser than %dx its pixels leave it out "
                 "(add overviews with gdaladdo)\n",
                 path_.c_str(), max_read_decimation);
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
    h->read = warpedVrt(h->file, warp_options_);
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
  std::vector<double> level_pixel_lat;
  for (const level_t& l : levels_) level_pixel_lat.push_back(l.pixel_lat);
  // Past max_read_decimation a node would read too much: the layer stays out.
  const read_level_t choice = chooseReadLevel(level_pixel_lat, spacing_deg * level_choice_slack, max_read_decimation);
  if (choice.level < 0) return true;
  const level_t& level = levels_[choice.level];
  const int f = choice.decimation;
  const read_grid_t grid{west_, north_, level.pixel_lon * f, level.pixel_lat * f, level.width / f, level.height / f,
                         wraps_};
  window_span_t span;
  if (!placeWindow(grid, footprint_, region, inset_feather_pixels + 1, max_window_pixels, &span)) return true;
  shapeWindow(grid, span, bands_read_, out);
  if (!readPixels(choice, span, columnRuns(grid, span), out)) {
    out->width = out->height = 0;
    return false;
  }
  normalizeWeights(out);
  repeatPoleRows(span, reaches_north_pole_, reaches_south_pole_, out);
  featherWeights(out, inset_feather_pixels);
  return true;
}

bool RasterLayer::readPixels(const read_level_t& choice, const window_span_t& span,
                             const std::vector<column_run_t>& runs, raster_window_t* win) {
  handle_t* h = acquire();
  if (!h) return false;
  const int f = choice.decimation;
  GDALRasterIOExtraArg extra;
  INIT_RASTERIO_EXTRA_ARG(extra);
  extra.eResampleAlg = f > 1 ? GRIORA_Average : GRIORA_NearestNeighbour;
  const int rows = span.last_row - span.first_row + 1, ww = win->width;
  const GSpacing fsz = sizeof(float);
  CPLErrorReset();
  GDALRasterBandH first = GDALGetRasterBand(h->read, 1);
  if (choice.level > 0) first = GDALGetOverview(first, overview_index_[choice.level]);
  GDALDatasetH level_ds = first ? GDALGetBandDataset(first) : nullptr;
  GDALRasterBandH mask = first ? GDALGetMaskBand(first) : nullptr;
  const bool mask_all_valid = mask && (GDALGetMaskFlags(first) & GMF_ALL_VALID);
  bool ok = level_ds && mask;
  for (const column_run_t& run : runs) {
    if (!ok) break;
    const size_t at = static_cast<size_t>(span.first_row - span.r0) * ww + run.window_col;
    // All bands in one call: pixel-interleaved files are then read once.
    int band_list[3] = {1, 2, 3};
    ok = GDALDatasetRasterIOEx(level_ds, GF_Read, run.grid_col * f, span.first_row * f, run.count * f, rows * f,
                               &win->values[at * bands_read_], run.count, rows, GDT_Float32, bands_read_, band_list,
                               fsz * bands_read_, fsz * bands_read_ * ww, fsz, &extra) == CE_None;
    if (!ok) break;
    if (mask_all_valid) {
      for (int r = 0; r < rows; ++r)
        std::fill_n(&win->weights[at + static_cast<size_t>(r) * ww], run.count, 255.0f);
    } else {
      ok = GDALRasterIOEx(mask, GF_Read, run.grid_col * f, span.first_row * f, run.count * f, rows * f,
                          &win->weights[at], run.count, rows, GDT_Float32, fsz, fsz * ww, &extra) == CE_None;
    }
  }
  if (!ok) {
    fail("read failed (" + gdalReason("I/O error") + ")");
    std::lock_guard<std::mutex> lock(mutex_);
    --handles_;
    closeHandle(h);
    return false;
  }
  release(h);
  return true;
}
