#include "planet/line_features.h"

#include <netcdf.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unistd.h>

#include "planet/gshhg_file.h"
#include "planet/land_water_mask.h"
#include "rocktreed_settings.h"

namespace {

bool fail(const std::string& path, const std::string& why, std::string* error) {
  *error = path + ": " + why;
  return false;
}

constexpr const char* kind_names[2] = {"river", "border"};

}  // namespace

LineFile::~LineFile() {
  if (nc_ >= 0) {
    std::lock_guard<std::mutex> lock(netcdfLock());
    nc_close(nc_);
  }
}

std::unique_ptr<LineFile> LineFile::open(const std::string& path, std::string* error) {
  std::unique_ptr<LineFile> f(new LineFile);
  f->path_ = path;
  std::lock_guard<std::mutex> lock(netcdfLock());
  binned_netcdf_t grid;
  const bool opened = openBinnedNetcdf(path, "line", &grid, error);
  f->nc_ = grid.nc;
  if (!opened) return nullptr;
  auto var = [&](const char* name, int* id) { return binnedVariable(path, f->nc_, name, "line", id, error); };
  const int columns = grid.columns, rows = grid.rows, bins = grid.bins;
  f->columns_ = columns;
  f->rows_ = rows;
  int v_first = -1, v_count = -1;
  if (!var("Id_of_first_segment_in_a_bin", &v_first) || !var("N_segments_in_a_bin", &v_count) ||
      !var("N_points_for_a_segment", &f->var_points_) || !var("Hierarchial_level_of_a_segment", &f->var_level_) ||
      !var("Id_of_first_point_in_a_segment", &f->var_first_point_) ||
      !var("Relative_longitude_from_SW_corner_of_bin", &f->var_x_) ||
      !var("Relative_latitude_from_SW_corner_of_bin", &f->var_y_))
    return nullptr;
  if (netcdfVarLength(f->nc_, v_first) != bins || netcdfVarLength(f->nc_, v_count) != bins) {
    fail(path, "bin arrays do not have one value per bin", error);
    return nullptr;
  }
  const long segments = netcdfVarLength(f->nc_, f->var_points_), points = netcdfVarLength(f->nc_, f->var_x_);
  if (segments < 0 || netcdfVarLength(f->nc_, f->var_level_) != segments ||
      netcdfVarLength(f->nc_, f->var_first_point_) != segments || points < 0 || netcdfVarLength(f->nc_, f->var_y_) != points) {
    fail(path, "segment or point arrays of different lengths", error);
    return nullptr;
  }
  for (int v : {f->var_points_, f->var_level_, f->var_first_point_, f->var_x_, f->var_y_})
    nc_set_var_chunk_cache(f->nc_, v, gshhg_chunk_cache_bytes, 17, 0.75f);
  f->segments_ = static_cast<size_t>(segments);
  f->points_ = static_cast<size_t>(points);
  f->first_segment_.resize(bins);
  f->segment_count_.resize(bins);
  if (nc_get_var_int(f->nc_, v_first, f->first_segment_.data()) != NC_NOERR ||
      nc_get_var_short(f->nc_, v_count, f->segment_count_.data()) != NC_NOERR) {
    fail(path, "cannot read the bin arrays", error);
    return nullptr;
  }
  for (int b = 0; b < bins; ++b) {
    const int64_t first = f->first_segment_[b], count = f->segment_count_[b];
    if (first < 0 || count < 0 || first + count > segments) {
      fail(path, "bin " + std::to_string(b) + ": segments outside the file's " + std::to_string(segments), error);
      return nullptr;
    }
  }
  return f;
}

bool LineFile::readBin(int index, line_bin_t* out, std::string* error) const {
  const std::string where = "bin " + std::to_string(index);
  if (index < 0 || index >= columns_ * rows_) return fail(path_, where + " does not exist", error);
  const size_t first = static_cast<size_t>(first_segment_[index]), count = static_cast<size_t>(segment_count_[index]);
  gshhg_raw_line_bin_t raw;
  out->segments.clear();
  if (count == 0) return true;
  std::vector<int16_t> npts(count), levels(count), xs, ys;
  raw.segment_first_point.resize(count);
  {
    std::lock_guard<std::mutex> lock(netcdfLock());
    if (nc_get_vara_short(nc_, var_points_, &first, &count, npts.data()) != NC_NOERR ||
        nc_get_vara_short(nc_, var_level_, &first, &count, levels.data()) != NC_NOERR ||
        nc_get_vara_int(nc_, var_first_point_, &first, &count, raw.segment_first_point.data()) != NC_NOERR)
      return fail(path_, where + ": cannot read its segments", error);
    int64_t lo = INT64_MAX, hi = 0;
    for (size_t s = 0; s < count; ++s) {
      const int64_t p = raw.segment_first_point[s], n = static_cast<uint16_t>(npts[s]);
      if (p < 0 || p + n > static_cast<int64_t>(points_))
        return fail(path_, where + ": segment " + std::to_string(s) + "'s points outside the file", error);
      lo = std::min(lo, p);
      hi = std::max(hi, p + n);
    }
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
  raw.segment_points.assign(npts.begin(), npts.end());
  for (int32_t& n : raw.segment_points) n = static_cast<uint16_t>(n);  // counts are unsigned shorts
  raw.segment_level.assign(levels.begin(), levels.end());
  raw.x.assign(xs.begin(), xs.end());
  raw.y.assign(ys.begin(), ys.end());
  std::string why;
  if (!decodeLineBin(raw, max_gshhg_bin_points, out, &why)) return fail(path_, where + ": " + why, error);
  return true;
}

std::unique_ptr<LineFeatures> LineFeatures::open(const std::string& dir, bool borders, std::string* note) {
  std::unique_ptr<LineFeatures> f(new LineFeatures);
  std::string missing, broken;
  bool any_river = false;
  for (int kind = 0; kind < (borders ? 2 : 1); ++kind)
    for (int r = 0; r < 5; ++r) {
      const std::string path = dir + "/binned_" + kind_names[kind] + "_" + gshhg_resolution_letters[r] + ".nc";
      std::string error;
      f->files_[kind][r] = LineFile::open(path, &error);
      if (f->files_[kind][r]) any_river = any_river || kind == rivers;
      else if (access(path.c_str(), F_OK) == 0) broken += (broken.empty() ? "" : "; ") + error;
      else missing += (missing.empty() ? "" : ", ") + path.substr(dir.size() + 1);
    }
  note->clear();
  if (!broken.empty()) *note = broken + " (left out)";
  if (!any_river) {
    *note += (note->empty() ? "" : "; ") + std::string("no river file in ") + dir + " (looked for " + missing + ")";
    return nullptr;
  }
  return f;
}

bool LineFeatures::hasBorders() const {
  for (const auto& f : files_[borders])
    if (f) return true;
  return false;
}

const LineFile* LineFeatures::fileFor(int kind, int level, int* resolution) const {
  int want = 0;
  while (want + 1 < 5 && level >= gshhg_first_level[want + 1]) ++want;
  for (int r = want; r < 5; ++r)
    if (files_[kind][r]) return *resolution = r, files_[kind][r].get();
  for (int r = want - 1; r >= 0; --r)
    if (files_[kind][r]) return *resolution = r, files_[kind][r].get();
  return nullptr;
}

std::shared_ptr<const line_bin_t> LineFeatures::bin(int kind, int resolution, int index) const {
  const uint64_t key = (static_cast<uint64_t>(kind * 5 + resolution) << 32) | static_cast<uint32_t>(index);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache_.find(key);
    if (it != cache_.end()) return it->second;
  }
  auto b = std::make_shared<line_bin_t>();
  std::string error;
  if (!files_[kind][resolution]->readBin(index, b.get(), &error)) {
    std::fprintf(stderr, "rocktreed: %s (drawn without it)\n", error.c_str());
    b->segments.clear();
  }
  std::lock_guard<std::mutex> lock(mutex_);
  const size_t bytes = b->bytes();
  if (cached_bytes_ + bytes > line_cache_bytes) {
    cache_.clear();
    cached_bytes_ = 0;
  }
  if (cache_.emplace(key, b).second) cached_bytes_ += bytes;
  return b;
}

void LineFeatures::draw(const geo_box_t& box, int level, const shore_mask_t& mask, std::vector<uint8_t>* rgb) const {
  if (mask.uniform && mask.level != shore_land && mask.level != shore_island_in_lake) return;
  constexpr int n = texture_size;
  const double tx = (box.e - box.w) / (n - 1), ty = (box.n - box.s) / (n - 1);
  const double texel_metres = ty * 111320.0;
  // Zero between calls: each call clears the rows it wrote to, not the
  // whole texture (most nodes have a river or two, or none).
  thread_local std::vector<float> cover(static_cast<size_t>(n) * n, 0.0f);
  for (int kind = 0; kind < 2; ++kind) {
    int res = 0;
    const LineFile* f = fileFor(kind, level, &res);
    if (!f) continue;
    // Per class: its line's half width in texels and its opacity (thinner
    // than river_min_texels fades), or 0 when this level shows none.
    double half[max_line_level + 1] = {}, alpha[max_line_level + 1] = {};
    bool any = false;
    for (int c = 0; c <= max_line_level; ++c) {
      double w = 0;
      if (kind == rivers && texel_metres <= river_class_texel_metres[c]) w = river_class_metres[c] / texel_metres;
      if (kind == borders && c == 1) w = border_texels;
      if (w <= 0) continue;
      alpha[c] = std::min(1.0, w / river_min_texels);
      half[c] = std::clamp(w, river_min_texels, river_max_texels) / 2;
      any = true;
    }
    if (!any) continue;
    bool drew = false;
    int drawn_r0 = n, drawn_r1 = -1;
    const double deg = f->binDegrees(), reach = (river_max_texels + 2) * std::max(tx, ty);
    const int row0 = std::max(0, static_cast<int>(std::floor((90.0 - box.n - reach) / deg)));
    const int row1 = std::min(f->rows() - 1, static_cast<int>(std::floor((90.0 - box.s + reach) / deg)));
    const int col0 = static_cast<int>(std::floor((box.w - reach) / deg));
    const int col1 = static_cast<int>(std::floor((box.e + reach) / deg));
    for (int row = row0; row <= row1; ++row)
      for (int cc = col0; cc <= col1; ++cc) {
        const int col = ((cc % f->columns()) + f->columns()) % f->columns();
        const int index = row * f->columns() + col;
        if (!f->binHasSegments(index)) continue;
        const std::shared_ptr<const line_bin_t> b = bin(kind, res, index);
        // The bin's south-west corner, in this box's longitudes.
        const double west = cc * deg, south = 90.0 - (row + 1) * deg, unit = deg / 65535.0;
        for (const line_segment_t& s : b->segments) {
          if (alpha[s.level] <= 0) continue;
          const float hw = static_cast<float>(half[s.level]), a = static_cast<float>(alpha[s.level]);
          // Each point in texels once: it ends one piece and starts the next.
          auto texelX = [&](const gshhg_point_t& p) { return static_cast<float>((west + p.x * unit - box.w) / tx); };
          auto texelY = [&](const gshhg_point_t& p) {
            return static_cast<float>((box.n - (south + p.y * unit)) / ty);
          };
          float x1 = s.points.empty() ? 0.0f : texelX(s.points[0]), y1 = s.points.empty() ? 0.0f : texelY(s.points[0]);
          for (size_t k = 0; k + 1 < s.points.size(); ++k) {
            const float x0 = x1, y0 = y1;
            x1 = texelX(s.points[k + 1]);
            y1 = texelY(s.points[k + 1]);
            const float r = hw + 1;
            const int c0 = std::max(0, static_cast<int>(std::floor(std::min(x0, x1) - r)));
            const int c1 = std::min(n - 1, static_cast<int>(std::ceil(std::max(x0, x1) + r)));
            const int r0 = std::max(0, static_cast<int>(std::floor(std::min(y0, y1) - r)));
            const int r1 = std::min(n - 1, static_cast<int>(std::ceil(std::max(y0, y1) + r)));
            if (c0 > c1 || r0 > r1) continue;
            drawn_r0 = std::min(drawn_r0, r0);
            drawn_r1 = std::max(drawn_r1, r1);
            const float dx = x1 - x0, dy = y1 - y0, len2 = dx * dx + dy * dy;
            for (int y = r0; y <= r1; ++y)
              for (int x = c0; x <= c1; ++x) {
                // Distance from the texel's centre to the piece of line.
                float t = len2 > 0 ? ((x - x0) * dx + (y - y0) * dy) / len2 : 0.0f;
                t = std::clamp(t, 0.0f, 1.0f);
                const float ex = x0 + t * dx - x, ey = y0 + t * dy - y;
                const float v = std::clamp(hw + 0.5f - std::sqrt(ex * ex + ey * ey), 0.0f, 1.0f) * a;
                float& c = cover[static_cast<size_t>(y) * n + x];
                if (v > c) c = v, drew = true;
              }
          }
        }
      }
    if (!drew) continue;  // nothing written
    // Only the rows the pieces reached hold lines; they are zero again after.
    const size_t p0 = static_cast<size_t>(drawn_r0) * n, p1 = static_cast<size_t>(drawn_r1 + 1) * n;
    const float* colour = kind == rivers ? river_colour : border_colour;
    for (size_t p = p0; p < p1; ++p) {
      if (cover[p] <= 0) continue;
      const float v = cover[p] * (mask.uniform ? 1.0f : mask.land[p]);
      for (int c = 0; c < 3; ++c) {
        uint8_t& o = (*rgb)[p * 3 + c];
        o = static_cast<uint8_t>(o + (colour[c] - o) * v + 0.5f);
      }
    }
    std::fill(cover.begin() + static_cast<std::ptrdiff_t>(p0), cover.begin() + static_cast<std::ptrdiff_t>(p1), 0.0f);
  }
}
