#include "planet/octree_geometry.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

namespace {

geo_box_t levelOneBox(char d) {
  const bool north = d >= '2', east = (d - '0') & 1;
  return {north ? 0.0 : -90.0, north ? 90.0 : 0.0, east ? 0.0 : -180.0, east ? 180.0 : 0.0};
}

// Level 2: same latitudes, the west or east half of the level-1 longitudes.
// The digit carries 2 in the southern hemisphere, as latLonToOctant writes it.
geo_box_t levelTwoBox(const geo_box_t& b, char d) {
  const double mid = (b.w + b.e) * 0.5;
  geo_box_t c = b;
  if ((d - '0') & 1) c.w = mid; else c.e = mid;
  return c;
}

geo_box_t quadrant(const geo_box_t& b, char d) {
  const double mid_lat = (b.n + b.s) * 0.5, mid_lon = (b.w + b.e) * 0.5;
  geo_box_t c = b;
  if ((d - '0') & 2) c.s = mid_lat; else c.n = mid_lat;
  if ((d - '0') & 1) c.w = mid_lon; else c.e = mid_lon;
  return c;
}

}  // namespace

bool nodeBox(std::string_view path, geo_box_t* box) {
  geo_box_t b{-90, 90, -180, 180};
  for (size_t i = 0; i < path.size(); ++i) {
    const char d = path[i];
    if (d < '0' || d > '3') return false;
    if (i == 0) {
      b = levelOneBox(d);
    } else if (i == 1) {
      const bool north = path[0] >= '2';
      if ((d >= '2') == north) return false;  // north children are 0,1; south 2,3
      b = levelTwoBox(b, d);
    } else {
      b = quadrant(b, d);
    }
  }
  *box = b;
  return true;
}

std::vector<child_quadrant_t> childQuadrants(const geo_box_t& box, int level) {
  std::vector<child_quadrant_t> out;
  if (level == 0) {
    for (char d = '0'; d <= '3'; ++d) out.push_back({d, levelOneBox(d)});
  } else if (level == 1) {
    const char base = box.s >= 0 ? '0' : '2';
    for (char k = 0; k < 2; ++k) out.push_back({char(base + k), levelTwoBox(box, char('0' + k))});
  } else {
    for (char d = '0'; d <= '3'; ++d) out.push_back({d, quadrant(box, d)});
  }
  return out;
}

char childDigit(const geo_box_t& box, int level, double lat, double lon) {
  const double mid_lat = (box.n + box.s) * 0.5, mid_lon = (box.w + box.e) * 0.5;
  if (level == 0) return char('0' + (lat >= 0 ? 2 : 0) + (lon >= 0 ? 1 : 0));
  if (level == 1) return char('0' + (box.s >= 0 ? 0 : 2) + (lon >= mid_lon ? 1 : 0));
  return char('0' + (lat >= mid_lat ? 2 : 0) + (lon >= mid_lon ? 1 : 0));
}

std::string nodePathOver(double lat, double lon, int level, geo_box_t* box) {
  std::string path;
  geo_box_t b{-90, 90, -180, 180};
  while (static_cast<int>(path.size()) < level) {
    path += childDigit(b, static_cast<int>(path.size()), lat, lon);
    nodeBox(path, &b);
  }
  if (box) *box = b;
  return path;
}

Eigen::Vector3d unitVector(double lat, double lon) {
  const double la = lat * std::numbers::pi / 180, lo = lon * std::numbers::pi / 180;
  return {std::cos(la) * std::cos(lo), std::cos(la) * std::sin(lo), std::sin(la)};
}

void unitDotRange(const geo_box_t& box, const Eigen::Matrix3d& axes, Eigen::Vector3d* lo, Eigen::Vector3d* hi) {
  constexpr double deg = 180 / std::numbers::pi;
  const double cos_w = std::cos(box.w / deg), sin_w = std::sin(box.w / deg);
  const double cos_e = std::cos(box.e / deg), sin_e = std::sin(box.e / deg);
  const double cos_s = std::cos(box.s / deg), sin_s = std::sin(box.s / deg);
  const double cos_n = std::cos(box.n / deg), sin_n = std::sin(box.n / deg);
  const Eigen::Vector3d corners[4] = {{cos_s * cos_w, cos_s * sin_w, sin_s}, {cos_s * cos_e, cos_s * sin_e, sin_s},
                                      {cos_n * cos_w, cos_n * sin_w, sin_n}, {cos_n * cos_e, cos_n * sin_e, sin_n}};
  auto inLat = [&](double lat) { return lat >= box.s && lat <= box.n; };
  // A longitude in the box, trying whole turns; NaN when there is none.
  auto inLon = [&](double lon) {
    for (double turn : {0.0, -360.0, 360.0})
      if (lon + turn >= box.w && lon + turn <= box.e) return lon + turn;
    return std::numeric_limits<double>::quiet_NaN();
  };
  for (int k = 0; k < 3; ++k) {
    const Eigen::Vector3d a = axes.col(k);
    double l = a.dot(corners[0]), h = l;
    auto consider = [&](const Eigen::Vector3d& u) {
      const double v = a.dot(u);
      l = std::min(l, v);
      h = std::max(h, v);
    };
    for (const Eigen::Vector3d& c : corners) consider(c);
    // Along a meridian: cos(lat) * A + sin(lat) * a.z, stationary where
    // tan(lat) = a.z / A (the other root is 180 degrees away, off the sphere).
    for (const auto& [cos_lon, sin_lon] : {std::pair{cos_w, sin_w}, {cos_e, sin_e}}) {
      const double along = a.x() * cos_lon + a.y() * sin_lon;
      if (along == 0) continue;  // the derivative keeps its sign: the corners hold it
      const double lat = std::atan(a.z() / along);
      if (inLat(lat * deg))
        consider(Eigen::Vector3d(std::cos(lat) * cos_lon, std::cos(lat) * sin_lon, std::sin(lat)));
    }
    // Along a parallel: cos(lat) * (a.x cos(lon) + a.y sin(lon)) + sin(lat) *
    // a.z, stationary towards a's longitude and opposite it; inside, +a and
    // -a are the sphere's own extremes.
    const double a_lon = std::atan2(a.y(), a.x()) * deg, horizontal = std::hypot(a.x(), a.y());
    for (int side = 0; side < 2; ++side) {
      const double lon = inLon(a_lon + 180.0 * side);
      if (lon != lon) continue;
      const double lat = std::atan2(side == 0 ? a.z() : -a.z(), horizontal) * deg;
      for (double edge : {box.s, box.n}) consider(unitVector(edge, lon));
      if (inLat(lat)) consider(unitVector(lat, lon));
    }
    (*lo)[k] = l;
    (*hi)[k] = h;
  }
}

double nominalMetersPerTexel(const geo_box_t& box) {
  const double m_per_deg = planet_radius * std::numbers::pi / 180;
  const double equatorward = std::min(std::fabs(box.s), std::fabs(box.n));
  const double lat_m = (box.n - box.s) * m_per_deg;
  const double lon_m = (box.e - box.w) * m_per_deg *
                       ((box.s < 0 && box.n > 0) ? 1.0 : std::cos(equatorward * std::numbers::pi / 180));
  return std::max(lat_m, lon_m) / 256.0;
}
