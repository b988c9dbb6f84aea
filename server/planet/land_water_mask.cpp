#include "planet/land_water_mask.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <unordered_set>

#include "rocktreed_settings.h"

namespace {

// Where one horizontal line (a latitude) crosses the boundary of one level.
struct crossing_t {
  uint32_t line;
  double lon;
  bool operator<(const crossing_t& o) const { return line != o.line ? line < o.line : lon < o.lon; }
};
using crossings_t = std::array<std::vector<crossing_t>, shore_levels>;

int cornerBase(int packed) {
  int base = 7;
  for (int k = 0; k < 4; ++k) base = std::min(base, cornerLevel(packed, k));
  return std::min(base, static_cast<int>(shore_levels));
}

// Every crossing of the lines with the boundaries of levels 1..4 in the bins
// over [lon_lo, lon_hi] (degrees east, any turn of the sphere) and the
// lines' latitudes. A bin at base level b counts as a rectangle of each
// level up to b, so that the regions of a level are closed across bins and
// a line's crossings pair up into the spans inside. Returns whether the
// bins were all of one level without a ring (then *uniform is it).
bool gatherCrossings(const Shoreline& shore, const GshhgFile& f, double lon_lo, double lon_hi,
                     const std::vector<double>& lines, crossings_t* out, int* uniform) {
  for (auto& v : *out) v.clear();
  std::vector<std::pair<double, uint32_t>> sorted;
  sorted.reserve(lines.size());
  for (size_t k = 0; k < lines.size(); ++k)
    sorted.push_back({std::clamp(lines[k], -90.0 + 1e-9, 90.0 - 1e-9), static_cast<uint32_t>(k)});
  // A texture's lines run north to south, a height grid's south to north.
  if (std::is_sorted(sorted.rbegin(), sorted.rend())) std::reverse(sorted.begin(), sorted.end());
  else if (!std::is_sorted(sorted.begin(), sorted.end())) std::sort(sorted.begin(), sorted.end());
  // The first line at or north of `lat` (lower_bound's answer): the lines
  // are evenly spaced, so a guess from the spacing and a step or two from
  // it, instead of a binary search per edge.
  const size_t line_count = sorted.size();
  const double first_lat = sorted.front().first, last_lat = sorted.back().first;
  const double per_lat = line_count > 1 && last_lat > first_lat ? (line_count - 1) / (last_lat - first_lat) : 0.0;
  auto firstLine = [&](double lat) {
    const double guess = std::clamp((lat - first_lat) * per_lat, 0.0, static_cast<double>(line_count));
    size_t k = static_cast<size_t>(guess);
    while (k > 0 && !(sorted[k - 1].first < lat)) --k;
    while (k < line_count && sorted[k].first < lat) ++k;
    return k;
  };
  const double d = f.binDegrees();
  const int rows = f.rows(), cols = f.columns();
  const int r0 = std::clamp(static_cast<int>(std::floor((90.0 - sorted.back().first) / d)), 0, rows - 1);
  const int r1 = std::clamp(static_cast<int>(std::floor((90.0 - sorted.front().first) / d)), 0, rows - 1);
  const int c0 = static_cast<int>(std::floor(lon_lo / d)), c1 = static_cast<int>(std::floor(lon_hi / d));
  // First the bins and their base levels: a node whose bins are all of one
  // level without a ring needs no crossings at all.
  struct touched_t {
    double lon0, lat_s, lat_n;
    int base;
    std::shared_ptr<const gshhg_bin_t> bin;
  };
  thread_local std::vector<touched_t> touched;
  touched.clear();
  int seen = -1;
  bool one_level = true;
  for (int r = r0; r <= r1; ++r)
    for (int c = c0; c <= c1; ++c) {
      const int index = r * cols + ((c % cols) + cols) % cols;
      std::shared_ptr<const gshhg_bin_t> bin;
      if (f.binHasSegments(index)) bin = shore.bin(f, index);
      const int base = bin ? bin->base_level : cornerBase(f.cornerLevels(index));
      if (seen >= 0 && base != seen) one_level = false;
      seen = base;
      if (bin)
        for (const gshhg_ring_t& ring : bin->rings) one_level = one_level && ring.level <= base;
      touched.push_back({c * d, 90.0 - (r + 1) * d, 90.0 - r * d, base, std::move(bin)});
    }
  *uniform = std::max(seen, 0);
  if (one_level) {
    touched.clear();
    return true;
  }
  // A crossing more than a margin west of the span (or east of it) is, for
  // every use below, the same as one at the far west (east): a coverage span
  // is clamped to the texels and a point counts the crossings west of it.
  // So the edges wholly east of it are skipped, and of those wholly west
  // only the parity of each line's crossings is kept, as one crossing in
  // the far west where it is odd; a line that is then left odd is closed in
  // the far east (a closed ring crosses every line an even number of times).
  // The margin covers the rounding of a crossing's longitude.
  const double margin = (lon_hi - lon_lo) / 64 + 1e-9;
  const double west_limit = lon_lo - margin, east_limit = lon_hi + margin;
  constexpr double far = 1e9;
  // Per level, the parity of west crossings as a difference over the
  // sorted lines: an edge over lines [k0, k1) flips k0 and k1.
  thread_local std::array<std::vector<uint8_t>, shore_levels> west_flips;
  std::array<bool, shore_levels> any_west{};
  auto flipWest = [&](int level, size_t k0, size_t k1) {
    std::vector<uint8_t>& flips = west_flips[level - 1];
    if (!any_west[level - 1]) {
      flips.assign(line_count + 1, 0);
      any_west[level - 1] = true;
    }
    flips[k0] ^= 1;
    flips[k1] ^= 1;
  };
  auto vertical = [&](int level, double lon, double s, double n) {
    if (lon > east_limit) return;
    const size_t k0 = firstLine(s), k1 = firstLine(n);
    if (k0 == k1) return;
    if (lon < west_limit) {
      flipWest(level, k0, k1);
      return;
    }
    for (size_t k = k0; k < k1; ++k) (*out)[level - 1].push_back({sorted[k].second, lon});
  };
  const double scale = d / 65535.0;
  for (const touched_t& t : touched) {
    for (int level = 1; level <= t.base; ++level) {
      vertical(level, t.lon0, t.lat_s, t.lat_n);
      vertical(level, t.lon0 + d, t.lat_s, t.lat_n);
    }
    if (!t.bin) continue;
    for (const gshhg_ring_t& ring : t.bin->rings) {
      if (ring.level <= t.base) continue;
      std::vector<crossing_t>& to = (*out)[ring.level - 1];
      const size_t n = ring.points.size();
      // The first line at or north of each point (that of point i - 1
      // kept from the step before: every point ends one edge and starts
      // the next).
      auto lineOf = [&](const gshhg_point_t& p) { return firstLine(t.lat_s + (d * p.y) / 65535.0); };
      size_t k_prev = 0;
      bool k_prev_known = false;
      for (size_t i = 0; i < n; ++i) {
        // A run of edges wholly south or north of the lines, or between two
        // of them (the same sums as each edge's own tests below, so nothing
        // they keep is skipped), or wholly east of the span.
        if (i % shore_edge_chunk == 0 && i / shore_edge_chunk < std::min(ring.chunk_y.size(), ring.chunk_x.size())) {
          const std::array<float, 2>& run = ring.chunk_y[i / shore_edge_chunk];
          const double lo = t.lat_s + (d * run[0]) / 65535.0, hi = t.lat_s + (d * run[1]) / 65535.0;
          const std::array<float, 2>& span = ring.chunk_x[i / shore_edge_chunk];
          const size_t last = std::min(n, i + shore_edge_chunk) - 1;
          if (hi < sorted.front().first || lo > sorted.back().first || firstLine(lo) == firstLine(hi) ||
              t.lon0 + span[0] * scale > east_limit) {
            i = last;
            k_prev_known = false;
            continue;
          }
          // Wholly west: each edge flips the lines between its two points'
          // first lines, so along the run the flips of its inner points
          // cancel and those of its two ends are left.
          if (t.lon0 + span[1] * scale < west_limit) {
            flipWest(ring.level, lineOf(ring.points[i ? i - 1 : n - 1]), lineOf(ring.points[last]));
            i = last;
            k_prev_known = false;
            continue;
          }
        }
        const gshhg_point_t& p = ring.points[i ? i - 1 : n - 1];
        const gshhg_point_t& q = ring.points[i];
        const size_t kp = k_prev_known ? k_prev : lineOf(p), kq = lineOf(q);
        k_prev = kq;
        k_prev_known = true;
        // Lines [k0, k1) lie between the edge's ends (none when level).
        if (kp == kq) continue;
        gshhg_point_t a = p, b = q;
        if (a.y > b.y) std::swap(a, b);
        const double ya = t.lat_s + (d * a.y) / 65535.0, yb = t.lat_s + (d * b.y) / 65535.0;
        const size_t k0 = std::min(kp, kq), k1 = std::max(kp, kq);
        const double xa = t.lon0 + a.x * scale, slope = (b.x - a.x) * scale / (yb - ya);
        for (size_t k = k0; k < k1; ++k) to.push_back({sorted[k].second, xa + (sorted[k].first - ya) * slope});
      }
    }
  }
  for (int l = 0; l < shore_levels; ++l) {
    if (!any_west[l]) continue;
    uint8_t odd = 0;
    for (size_t k = 0; k < line_count; ++k)
      if (odd ^= west_flips[l][k]) (*out)[l].push_back({sorted[k].second, -far});
  }
  touched.clear();
  // By line (counting), then by longitude within each line (a few each).
  thread_local std::vector<crossing_t> scratch;
  thread_local std::vector<uint32_t> starts;
  for (auto& v : *out) {
    if (v.empty()) continue;
    starts.assign(lines.size() + 1, 0);
    for (const crossing_t& c : v) ++starts[c.line + 1];
    for (size_t k = 1; k < starts.size(); ++k) starts[k] += starts[k - 1];
    scratch.resize(v.size());
    for (const crossing_t& c : v) scratch[starts[c.line]++] = c;
    v.swap(scratch);
    for (size_t k = 0, at = 0; k < lines.size(); ++k) {
      const size_t end = starts[k];
      std::sort(v.begin() + static_cast<std::ptrdiff_t>(at), v.begin() + static_cast<std::ptrdiff_t>(end));
      at = end;
    }
    // The lines left odd by the skipped east, closed there (each after
    // its own line's crossings, so the order by line stays).
    size_t odd = 0;
    for (size_t k = 0, at = 0; k < lines.size(); at = starts[k++]) odd += (starts[k] - at) % 2;
    if (odd) {
      scratch.resize(v.size() + odd);
      size_t w = scratch.size();
      for (size_t k = lines.size(); k-- > 0;) {
        const size_t at = k ? starts[k - 1] : 0, end = starts[k];
        if ((end - at) % 2) scratch[--w] = {static_cast<uint32_t>(k), far};
        for (size_t p = end; p-- > at;) scratch[--w] = v[p];
      }
      v.swap(scratch);
    }
  }
  return false;
}

}  // namespace

std::unique_ptr<Shoreline> Shoreline::open(const std::string& dir, size_t cache_bytes, std::string* note) {
  std::unique_ptr<Shoreline> s(new Shoreline);
  s->cache_limit_ = cache_bytes;
  note->clear();
  int found = 0;
  for (int r = 0; r < gshhg_resolutions; ++r) {
    const std::string path = dir + "/binned_GSHHS_" + gshhg_resolution_letters[r] + ".nc";
    std::string error;
    std::FILE* probe = std::fopen(path.c_str(), "rb");
    if (!probe) continue;
    std::fclose(probe);
    s->files_[r] = GshhgFile::open(path, &error);
    if (!s->files_[r]) {
      *note += (note->empty() ? "" : "; ") + error;
      continue;
    }
    s->names_.push_back(path);
    ++found;
  }
  if (!found) {
    if (note->empty()) *note = "no " + dir + "/binned_GSHHS_[clihf].nc";
    return nullptr;
  }
  return s;
}

const GshhgFile* Shoreline::fileFor(int level) const {
  int want = 0;
  while (want + 1 < gshhg_resolutions && level >= gshhg_first_level[want + 1]) ++want;
  for (int r = want; r < gshhg_resolutions; ++r)
    if (files_[r]) return files_[r].get();
  for (int r = want - 1; r >= 0; --r)
    if (files_[r]) return files_[r].get();
  return nullptr;
}

std::shared_ptr<const gshhg_bin_t> Shoreline::bin(const GshhgFile& file, int index) const {
  int res = 0;
  while (res < gshhg_resolutions && files_[res].get() != &file) ++res;
  const key_t key = (static_cast<key_t>(res) << 32) | static_cast<uint32_t>(index);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache_.find(key);
    if (it != cache_.end()) {
      uses_.splice(uses_.begin(), uses_, it->second.use);
      return it->second.bin;
    }
  }
  auto bin = std::make_shared<gshhg_bin_t>();
  std::string error;
  if (!file.readBin(index, bin.get(), &error)) {
    static std::mutex failed_mutex;
    static std::unordered_set<key_t> failed;
    std::lock_guard<std::mutex> lock(failed_mutex);
    if (failed.insert(key).second) std::fprintf(stderr, "rocktreed: %s (the bin counts as its corners say)\n", error.c_str());
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = cache_.find(key);  // another thread may have read it meanwhile
  if (it != cache_.end()) return it->second.bin;
  const size_t bytes = bin->bytes();
  uses_.push_front(key);
  cache_[key] = {bin, uses_.begin()};
  cached_bytes_ += bytes;
  while (cached_bytes_ > cache_limit_ && uses_.size() > 1) {
    auto old = cache_.find(uses_.back());
    cached_bytes_ -= old->second.bin->bytes();
    cache_.erase(old);
    uses_.pop_back();
  }
  return bin;
}

size_t Shoreline::cachedBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cached_bytes_;
}

void shoreMask(const Shoreline& shore, const geo_box_t& box, int level, shore_mask_t* out) {
  shore_mask_t& mask = *out;
  mask.uniform = true;
  mask.level = shore_sea;
  const GshhgFile* f = shore.fileFor(level);
  if (!f) return;
  constexpr int n = texture_size, sub = shore_mask_subsamples;
  // Texel k's centre is at fraction k / (n - 1) of the box (the edge texels
  // sit on the edges, shared with the neighbours); it spans half a texel on
  // either side.
  const double tx = (box.e - box.w) / (n - 1), ty = (box.n - box.s) / (n - 1);
  std::vector<double> lines(static_cast<size_t>(n) * sub);
  for (int r = 0; r < n; ++r)
    for (int k = 0; k < sub; ++k) lines[r * sub + k] = box.n - ty * (r + (k + 0.5) / sub - 0.5);
  thread_local crossings_t crossings;
  int uniform = 0;
  if (gatherCrossings(shore, *f, box.w - tx / 2, box.e + tx / 2, lines, &crossings, &uniform)) {
    mask.level = static_cast<uint8_t>(uniform);
    return;
  }
  // A node inside a coastal bin but clear of its coast: every line wholly
  // inside or wholly outside each level, the levels nested. The sums below
  // would give each texel exactly that level's 0 or 1, so the node is one
  // level throughout, as a uniform mask says without them.
  const double x0 = box.w - tx / 2;
  auto span = [&](double lon) { return std::clamp((lon - x0) / tx, 0.0, static_cast<double>(n)); };
  int full_levels = 0;
  bool clear = true;
  for (int l = 0; l < shore_levels && clear; ++l) {
    const std::vector<crossing_t>& c = crossings[l];
    size_t full = 0;
    for (size_t at = 0, end = 0; at < c.size() && clear; at = end) {
      while (end < c.size() && c[end].line == c[at].line) ++end;
      for (size_t p = at; p + 1 < end; p += 2) {
        const double a = span(c[p].lon), b = span(c[p + 1].lon);
        if (b <= a) continue;
        if (a == 0.0 && b == n) ++full;
        else clear = false;
      }
    }
    if (full == lines.size() && full_levels == l) ++full_levels;
    else if (full != 0) clear = false;
  }
  if (clear) {
    mask.level = static_cast<uint8_t>(full_levels);
    return;
  }
  mask.uniform = false;
  mask.land.assign(static_cast<size_t>(n) * n, 0.0f);
  mask.lake.assign(static_cast<size_t>(n) * n, 0.0f);
  // acc: the partial texels at the spans' ends; delta: +1 and -1 where the
  // whole texels between them start and stop (integers, so that their
  // running sum is a pass of its own and the sum over the row vectorizes).
  thread_local std::vector<float> acc, whole;
  thread_local std::vector<int> delta;
  acc.resize(n + 1);
  whole.resize(n);
  delta.resize(n + 2);
  for (int l = 0; l < shore_levels; ++l) {
    const std::vector<crossing_t>& c = crossings[l];
    if (c.empty()) continue;
    // Land counts levels 1 and 3, lakes 2 and 4: each level's region adds
    // to one and takes from the other.
    float* plus = l % 2 == 0 ? mask.land.data() : mask.lake.data();
    float* minus = l == 0 ? nullptr : l % 2 == 0 ? mask.lake.data() : mask.land.data();
    size_t at = 0;
    for (int r = 0; r < n; ++r) {
      std::fill(acc.begin(), acc.end(), 0.0f);
      std::fill(delta.begin(), delta.end(), 0);
      bool any = false;
      for (int k = 0; k < sub; ++k) {
        const uint32_t line = static_cast<uint32_t>(r * sub + k);
        while (at < c.size() && c[at].line < line) ++at;
        size_t end = at;
        while (end < c.size() && c[end].line == line) ++end;
        for (size_t p = at; p + 1 < end; p += 2) {
          const double a = span(c[p].lon), b = span(c[p + 1].lon);
          if (b <= a) continue;
          any = true;
          const int ia = std::min(static_cast<int>(a), n), ib = std::min(static_cast<int>(b), n);
          // Texel ia gets 1 - fa, texels ia+1.. get 1; the end takes off the
          // same from texel ib on.
          acc[ia] += static_cast<float>(1.0 - (a - ia));
          delta[ia + 1] += 1;
          acc[ib] -= static_cast<float>(1.0 - (b - ib));
          delta[ib + 1] -= 1;
        }
        at = end;
      }
      if (!any) continue;
      int run = 0;
      for (int i = 0; i < n; ++i) whole[i] = static_cast<float>(run += delta[i]);
      float* __restrict prow = plus + static_cast<size_t>(r) * n;
      const float* __restrict pa = acc.data();
      const float* __restrict pw = whole.data();
      if (minus) {
        float* __restrict mrow = minus + static_cast<size_t>(r) * n;
        for (int i = 0; i < n; ++i) {
          const float v = (pa[i] + pw[i]) * (1.0f / sub);
          prow[i] += v;
          mrow[i] -= v;
        }
      } else {
        for (int i = 0; i < n; ++i) prow[i] += (pa[i] + pw[i]) * (1.0f / sub);
      }
    }
  }
  for (float& v : mask.land) v = std::clamp(v, 0.0f, 1.0f);
  // Without the boundary of a lake, island in a lake or pond the lakes are
  // 0 throughout, already within their bounds.
  if (!crossings[1].empty() || !crossings[2].empty() || !crossings[3].empty())
    for (size_t i = 0; i < mask.lake.size(); ++i) mask.lake[i] = std::clamp(mask.lake[i], 0.0f, 1.0f - mask.land[i]);
}

std::vector<uint8_t> shoreLevels(const Shoreline& shore, int level, const std::vector<double>& lats,
                                 const std::vector<double>& lons) {
  std::vector<uint8_t> out(lats.size() * lons.size(), shore_sea);
  const GshhgFile* f = shore.fileFor(level);
  if (!f || lats.empty() || lons.empty()) return out;
  const auto [lo, hi] = std::minmax_element(lons.begin(), lons.end());
  thread_local crossings_t crossings;
  int uniform = 0;
  if (gatherCrossings(shore, *f, *lo, *hi, lats, &crossings, &uniform)) {
    std::fill(out.begin(), out.end(), static_cast<uint8_t>(uniform));
    return out;
  }
  // A point is at the deepest level whose boundary it is inside of: an odd
  // number of that level's crossings west of it on its line.
  for (int l = 0; l < shore_levels; ++l) {
    const std::vector<crossing_t>& c = crossings[l];
    size_t at = 0;
    for (size_t j = 0; j < lats.size(); ++j) {
      while (at < c.size() && c[at].line < j) ++at;
      size_t end = at;
      while (end < c.size() && c[end].line == j) ++end;
      for (size_t i = 0; i < lons.size(); ++i) {
        size_t west = 0;
        for (size_t p = at; p < end && c[p].lon <= lons[i]; ++p) ++west;
        if (west % 2) out[j * lons.size() + i] = static_cast<uint8_t>(l + 1);
      }
      at = end;
    }
  }
  return out;
}
