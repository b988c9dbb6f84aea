#include "planet/gshhg_file.h"

#include <netcdf.h>

#include "rocktreed_settings.h"

std::mutex& netcdfLock() {
  static std::mutex m;
  return m;
}

namespace {

bool fail(const std::string& path, const std::string& why, std::string* error) {
  *error = path + ": " + why;
  return false;
}

}  // namespace

long netcdfVarLength(int nc, int var) {
  int ndims = 0, dim = 0;
  size_t len = 0;
  if (nc_inq_varndims(nc, var, &ndims) != NC_NOERR || ndims != 1) return -1;
  if (nc_inq_vardimid(nc, var, &dim) != NC_NOERR || nc_inq_dimlen(nc, dim, &len) != NC_NOERR) return -1;
  return static_cast<long>(len);
}

bool binnedVariable(const std::string& path, int nc, const char* name, const char* kind, int* id,
                    std::string* error) {
  if (nc_inq_varid(nc, name, id) == NC_NOERR) return true;
  return fail(path, std::string("no variable ") + name + " (not a binned " + kind + " file)", error);
}

bool openBinnedNetcdf(const std::string& path, const char* kind, binned_netcdf_t* out, std::string* error) {
  *out = binned_netcdf_t{};
  const int status = nc_open(path.c_str(), NC_NOWRITE, &out->nc);
  if (status != NC_NOERR) {
    out->nc = -1;
    return fail(path, nc_strerror(status), error);
  }
  auto scalar = [&](const char* name, int* v) {
    int id = -1;
    if (!binnedVariable(path, out->nc, name, kind, &id, error)) return false;
    if (netcdfVarLength(out->nc, id) != 1 || nc_get_var_int(out->nc, id, v) != NC_NOERR)
      return fail(path, std::string(name) + " is not one number", error);
    return true;
  };
  int minutes = 0, columns = 0, rows = 0, bins = 0;
  if (!scalar("Bin_size_in_minutes", &minutes) || !scalar("N_bins_in_360_longitude_range", &columns) ||
      !scalar("N_bins_in_180_degree_latitude_range", &rows) || !scalar("N_bins_in_file", &bins))
    return false;
  // Square bins of a whole number of minutes that tile the sphere.
  if (minutes <= 0 || minutes > 180 * 60 || columns != 360 * 60 / minutes || rows != 180 * 60 / minutes ||
      columns * minutes != 360 * 60 || bins != columns * rows)
    return fail(path,
                "bins of " + std::to_string(minutes) + " minutes, " + std::to_string(columns) + " x " +
                    std::to_string(rows) + " (" + std::to_string(bins) + ") do not tile the sphere",
                error);
  out->columns = columns;
  out->rows = rows;
  out->bins = bins;
  return true;
}

GshhgFile::~GshhgFile() {
  if (nc_ >= 0) {
    std::lock_guard<std::mutex> lock(netcdfLock());
    nc_close(nc_);
  }
}

std::unique_ptr<GshhgFile> GshhgFile::open(const std::string& path, std::string* error) {
  std::unique_ptr<GshhgFile> f(new GshhgFile);
  f->path_ = path;
  std::lock_guard<std::mutex> lock(netcdfLock());
  binned_netcdf_t grid;
  const bool opened = openBinnedNetcdf(path, "shoreline", &grid, error);
  f->nc_ = grid.nc;
  if (!opened) return nullptr;
  auto var = [&](const char* name, int* id) { return binnedVariable(path, f->nc_, name, "shoreline", id, error); };
  const int columns = grid.columns, rows = grid.rows, bins = grid.bins;
  f->columns_ = columns;
  f->rows_ = rows;
  int v_first = -1, v_count = -1, v_levels = -1;
  if (!var("Id_of_first_segment_in_a_bin", &v_first) || !var("N_segments_in_a_bin", &v_count) ||
      !var("Embedded_node_levels_in_a_bin", &v_levels) ||
      !var("Embedded_npts_levels_exit_entry_for_a_segment", &f->var_info_) ||
      !var("Id_of_first_point_in_a_segment", &f->var_first_point_) ||
      !var("Relative_longitude_from_SW_corner_of_bin", &f->var_x_) ||
      !var("Relative_latitude_from_SW_corner_of_bin", &f->var_y_))
    return nullptr;
  for (int v : {v_first, v_count, v_levels})
    if (netcdfVarLength(f->nc_, v) != bins) {
      fail(path, "bin arrays do not have one value per bin", error);
      return nullptr;
    }
  const long segments = netcdfVarLength(f->nc_, f->var_info_), points = netcdfVarLength(f->nc_, f->var_x_);
  if (segments < 0 || netcdfVarLength(f->nc_, f->var_first_point_) != segments || points < 0 ||
      netcdfVarLength(f->nc_, f->var_y_) != points) {
    fail(path, "segment or point arrays of different lengths", error);
    return nullptr;
  }
  // HDF5 keeps up to 16 MB of decompressed chunks per variable by default;
  // a bin's read needs one or two of them, and the decoded bins have a cache
  // of their own.
  for (int v : {f->var_info_, f->var_first_point_, f->var_x_, f->var_y_})
    nc_set_var_chunk_cache(f->nc_, v, gshhg_chunk_cache_bytes, 17, 0.75f);
  f->segments_ = static_cast<size_t>(segments);
  f->points_ = static_cast<size_t>(points);
  f->first_segment_.resize(bins);
  f->segment_count_.resize(bins);
  f->corner_levels_.resize(bins);
  if (nc_get_var_int(f->nc_, v_first, f->first_segment_.data()) != NC_NOERR ||
      nc_get_var_short(f->nc_, v_count, f->segment_count_.data()) != NC_NOERR ||
      nc_get_var_short(f->nc_, v_levels, f->corner_levels_.data()) != NC_NOERR) {
    fail(path, "cannot read the bin arrays", error);
    return nullptr;
  }
  for (int b = 0; b < bins; ++b) {
    const int64_t first = f->first_segment_[b], count = f->segment_count_[b];
    if (first < 0 || count < 0 || first + count > segments) {
      fail(path, "bin " + std::to_string(b) + ": segments " + std::to_string(first) + " + " +
                     std::to_string(count) + " outside the file's " + std::to_string(segments),
           error);
      return nullptr;
    }
  }
  return f;
}

bool GshhgFile::readBin(int index, gshhg_bin_t* out, std::string* error) const {
  const std::string where = "bin " + std::to_string(index);
  if (index < 0 || index >= columns_ * rows_) return fail(path_, where + " does not exist", error);
  const size_t first = static_cast<size_t>(first_segment_[index]), count = static_cast<size_t>(segment_count_[index]);
  gshhg_raw_bin_t raw;
  raw.corner_levels = corner_levels_[index];
  raw.segment_info.resize(count);
  raw.segment_first_point.resize(count);
  std::vector<int16_t> xs, ys;
  {
    std::lock_guard<std::mutex> lock(netcdfLock());
    if (count > 0 && (nc_get_vara_int(nc_, var_info_, &first, &count, raw.segment_info.data()) != NC_NOERR ||
                      nc_get_vara_int(nc_, var_first_point_, &first, &count, raw.segment_first_point.data()) != NC_NOERR))
      return fail(path_, where + ": cannot read its segments", error);
    // The points of all its segments, as one range of the point arrays.
    int64_t lo = INT64_MAX, hi = 0;
    for (size_t s = 0; s < count; ++s) {
      const int64_t p = raw.segment_first_point[s];
      const int64_t n = static_cast<uint32_t>(raw.segment_info[s]) >> 9;
      if (p < 0 || p + n > static_cast<int64_t>(points_))
        return fail(path_, where + ": segment " + std::to_string(s) + "'s points outside the file", error);
      lo = std::min(lo, p);
      hi = std::max(hi, p + n);
    }
    if (count > 0) {
      if (hi - lo > static_cast<int64_t>(max_gshhg_bin_points))
        return fail(path_, where + ": more than " + std::to_string(max_gshhg_bin_points) + " points", error);
      const size_t start = static_cast<size_t>(lo), n = static_cast<size_t>(hi - lo);
      xs.resize(n);
      ys.resize(n);
      if (n > 0 && (nc_get_vara_short(nc_, var_x_, &start, &n, xs.data()) != NC_NOERR ||
                    nc_get_vara_short(nc_, var_y_, &start, &n, ys.data()) != NC_NOERR))
        return fail(path_, where + ": cannot read its points", error);
      for (int32_t& p : raw.segment_first_point) p -= static_cast<int32_t>(lo);
    }
  }
  raw.x.assign(xs.begin(), xs.end());  // the file's shorts hold unsigned offsets
  raw.y.assign(ys.begin(), ys.end());
  std::string why;
  if (!decodeBin(raw, max_gshhg_bin_points, out, &why)) return fail(path_, where + ": " + why, error);
  return true;
}
