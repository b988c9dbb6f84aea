#include "planet/gshhg_bins.h"

#include <algorithm>
#include <cmath>

#include "rocktreed_settings.h"

namespace {

constexpr double side_units = 65535.0;

// GSHHG's polygons keep land on their left: land and islands in lakes run
// counter-clockwise, lakes and ponds clockwise. A piece that leaves the bin
// is closed by walking the bin's edge the same way round, keeping the
// polygon's inside on the same side, to the next piece of its level that
// enters.
struct open_piece_t {
  size_t first, count;
  double entry, exit;  // positions along the edge, counter-clockwise from the south-west corner, in sides
  uint8_t level;
  bool used = false;
};

// Position of a point on the bin's edge, given the side it is on (the point
// is projected onto that side, so a point a little off it still orders).
double edgePosition(int side, double x, double y) {
  x = std::clamp(x, 0.0, side_units) / side_units;
  y = std::clamp(y, 0.0, side_units) / side_units;
  switch (side) {
    case side_south: return x;
    case side_east: return 1 + y;
    case side_north: return 2 + (1 - x);
    default: return 3 + (1 - y);
  }
}

gshhg_point_t cornerPoint(int k) {
  const float u = static_cast<float>(side_units);
  switch (k & 3) {
    case 0: return {0, 0};
    case 1: return {u, 0};
    case 2: return {u, u};
    default: return {0, u};
  }
}

// Each ring's chunk_y and chunk_x.
void indexRings(gshhg_bin_t* bin) {
  for (gshhg_ring_t& r : bin->rings) {
    const size_t n = r.points.size();
    r.chunk_y.assign((n + shore_edge_chunk - 1) / shore_edge_chunk, {0, 0});
    r.chunk_x.assign(r.chunk_y.size(), {0, 0});
    for (size_t c = 0; c < r.chunk_y.size(); ++c) {
      const size_t k0 = c * shore_edge_chunk, k1 = std::min(n, k0 + shore_edge_chunk);
      const gshhg_point_t& first = r.points[k0 ? k0 - 1 : n - 1];
      float lo = first.y, hi = lo, west = first.x, east = west;
      for (size_t k = k0; k < k1; ++k) {
        lo = std::min(lo, r.points[k].y), hi = std::max(hi, r.points[k].y);
        west = std::min(west, r.points[k].x), east = std::max(east, r.points[k].x);
      }
      r.chunk_y[c] = {lo, hi};
      r.chunk_x[c] = {west, east};
    }
  }
}

}  // namespace

size_t gshhg_bin_t::bytes() const {
  size_t n = sizeof(*this);
  for (const gshhg_ring_t& r : rings)
    n += sizeof(r) + r.points.capacity() * sizeof(gshhg_point_t) + (r.chunk_y.capacity() + r.chunk_x.capacity()) * sizeof(r.chunk_y[0]);
  return n;
}

int cornerLevel(int packed, int k) { return (packed >> (9 - 3 * k)) & 7; }

bool decodeBin(const gshhg_raw_bin_t& raw, size_t max_points, gshhg_bin_t* out, std::string* error) {
  *out = {};
  if (raw.segment_info.size() != raw.segment_first_point.size() || raw.x.size() != raw.y.size()) {
    *error = "segment or point arrays of different lengths";
    return false;
  }
  if (raw.x.size() > max_points) {
    *error = "more than " + std::to_string(max_points) + " points in one bin";
    return false;
  }
  int base = 7;
  for (int k = 0; k < 4; ++k) base = std::min(base, cornerLevel(raw.corner_levels, k));
  if (base > shore_levels) {
    *error = "corner level " + std::to_string(base) + " out of range";
    return false;
  }
  std::vector<open_piece_t> open;
  for (size_t s = 0; s < raw.segment_info.size(); ++s) {
    const uint32_t v = static_cast<uint32_t>(raw.segment_info[s]);
    const size_t count = v >> 9;
    int level = (v >> 6) & 7;
    const int entry = (v >> 3) & 7, exit = v & 7;
    const int64_t first = raw.segment_first_point[s];
    const std::string where = "segment " + std::to_string(s) + ": ";
    if (level < 1 || level > 6) {
      *error = where + "level " + std::to_string(level) + " out of range";
      return false;
    }
    if (entry > side_inside || exit > side_inside || (entry == side_inside) != (exit == side_inside)) {
      *error = where + "entry side " + std::to_string(entry) + " and exit side " + std::to_string(exit) +
               " do not make a piece";
      return false;
    }
    if (first < 0 || count < 2 || static_cast<uint64_t>(first) + count > raw.x.size()) {
      *error = where + std::to_string(count) + " points from point " + std::to_string(first) +
               " outside the bin's " + std::to_string(raw.x.size());
      return false;
    }
    if (level == 6) continue;  // a grounding line: the ice front (5) is the coast
    if (level == 5) level = shore_land;
    if (entry == side_inside) {
      if (count < 3) continue;  // no area
      gshhg_ring_t ring;
      ring.level = static_cast<uint8_t>(level);
      ring.points.reserve(count);
      for (size_t k = 0; k < count; ++k)
        ring.points.push_back({static_cast<float>(raw.x[first + k]), static_cast<float>(raw.y[first + k])});
      out->rings.push_back(std::move(ring));
      continue;
    }
    const size_t f = static_cast<size_t>(first), l = f + count - 1;
    open.push_back({f, count, edgePosition(entry, raw.x[f], raw.y[f]), edgePosition(exit, raw.x[l], raw.y[l]),
                    static_cast<uint8_t>(level)});
    base = std::min(base, level - 1);
  }
  out->base_level = static_cast<uint8_t>(base);

  for (size_t start = 0; start < open.size(); ++start) {
    if (open[start].used) continue;
    gshhg_ring_t ring;
    ring.level = open[start].level;
    size_t cur = start;
    for (size_t steps = 0; steps <= open.size(); ++steps) {
      open_piece_t& p = open[cur];
      p.used = true;
      for (size_t k = 0; k < p.count; ++k)
        ring.points.push_back({static_cast<float>(raw.x[p.first + k]), static_cast<float>(raw.y[p.first + k])});
      // The nearest entry along the edge that way round (the piece's own
      // entry closes the ring), and the corners on the way.
      const bool ccw = p.level % 2 == 1;
      size_t next = open.size();
      double best = 5;
      for (size_t q = 0; q < open.size(); ++q) {
        if (open[q].level != p.level || (open[q].used && q != start)) continue;
        double d = ccw ? open[q].entry - p.exit : p.exit - open[q].entry;
        if (d < 0) d += 4;
        if (d < best) best = d, next = q;
      }
      if (next == open.size()) break;  // cannot happen: the start is always there
      if (ccw)
        for (int c = static_cast<int>(std::floor(p.exit)) + 1; c < p.exit + best; ++c) ring.points.push_back(cornerPoint(c));
      else
        for (int c = static_cast<int>(std::ceil(p.exit)) - 1; c > p.exit - best; --c) ring.points.push_back(cornerPoint(c));
      if (next == start) break;
      cur = next;
    }
    out->rings.push_back(std::move(ring));
  }
  indexRings(out);
  return true;
}

int levelAt(const gshhg_bin_t& bin, double x, double y) {
  int level = bin.base_level;
  for (const gshhg_ring_t& r : bin.rings) {
    if (r.level <= level) continue;
    bool inside = false;
    const size_t n = r.points.size();
    for (size_t i = 0, j = n - 1; i < n; j = i++) {
      const gshhg_point_t a = r.points[i], b = r.points[j];
      if ((a.y > y) != (b.y > y) && x < a.x + (y - a.y) * (b.x - a.x) / (b.y - a.y)) inside = !inside;
    }
    if (inside) level = r.level;
  }
  return level;
}

size_t line_bin_t::bytes() const {
  size_t b = sizeof(*this) + segments.size() * sizeof(line_segment_t);
  for (const line_segment_t& s : segments) b += s.points.size() * sizeof(gshhg_point_t);
  return b;
}

bool decodeLineBin(const gshhg_raw_line_bin_t& raw, size_t max_points, line_bin_t* out, std::string* error) {
  out->segments.clear();
  const size_t count = raw.segment_points.size();
  if (raw.segment_level.size() != count || raw.segment_first_point.size() != count || raw.x.size() != raw.y.size()) {
    *error = "segment or point arrays of different lengths";
    return false;
  }
  size_t total = 0;
  for (size_t s = 0; s < count; ++s) {
    const int64_t n = raw.segment_points[s], first = raw.segment_first_point[s], level = raw.segment_level[s];
    const std::string which = "segment " + std::to_string(s);
    if (level < 0 || level > max_line_level) {
      *error = which + ": level " + std::to_string(level);
      return false;
    }
    if (n < 2 || first < 0 || first + n > static_cast<int64_t>(raw.x.size())) {
      *error = which + ": " + std::to_string(n) + " points from " + std::to_string(first) + " outside the " +
               std::to_string(raw.x.size()) + " there are";
      return false;
    }
    total += static_cast<size_t>(n);
    if (total > max_points) {
      *error = "more than " + std::to_string(max_points) + " points";
      return false;
    }
    line_segment_t seg;
    seg.level = static_cast<uint8_t>(level);
    seg.points.resize(static_cast<size_t>(n));
    for (int64_t k = 0; k < n; ++k)
      seg.points[static_cast<size_t>(k)] = {static_cast<float>(raw.x[static_cast<size_t>(first + k)]),
                                            static_cast<float>(raw.y[static_cast<size_t>(first + k)])};
    out->segments.push_back(std::move(seg));
  }
  return true;
}
