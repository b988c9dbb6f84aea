#include "view/place_labels.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>

#include <Eigen/LU>

#include "viewer_settings.h"

namespace {

constexpr double deg = std::numbers::pi / 180;
constexpr int grid_steps = 8;  // rays through a 9x9 grid of the picture
constexpr int dot_px = 3;      // the place's dot, half its side
constexpr int text_offset_px = 6;

// A picture point (normalised device coordinates) to a ray from the eye.
Eigen::Vector3d rayThrough(const Eigen::Matrix4d& inverse, double nx, double ny, const Eigen::Vector3d& eye) {
  const Eigen::Vector4d far = inverse * Eigen::Vector4d(nx, ny, 1, 1);
  return (far.head<3>() / far.w() - eye).normalized();
}

// Where a ray meets the sphere, or the horizon in its direction.
bool groundOf(const Eigen::Vector3d& eye, const Eigen::Vector3d& d, double radius, Eigen::Vector3d* point) {
  const double b = eye.dot(d), c = eye.squaredNorm() - radius * radius;
  const double disc = b * b - c;
  if (disc >= 0) {
    const double t = c > 0 ? -b - std::sqrt(disc) : -b + std::sqrt(disc);
    if (t > 0) {
      *point = eye + t * d;
      return true;
    }
  }
  const double r = eye.norm();
  if (r <= radius) return false;
  const Eigen::Vector3d up = eye / r;
  const Eigen::Vector3d along = d - d.dot(up) * up;
  if (along.norm() < 1e-9) return false;
  const double angle = std::acos(radius / r);
  *point = radius * (std::cos(angle) * up + std::sin(angle) * along.normalized());
  return true;
}

bool inside(const place_box_t& inner, const place_box_t& outer) {
  return inner.south >= outer.south && inner.north <= outer.north && inner.west >= outer.west &&
         inner.east <= outer.east;
}

// A pixel of a planet point; false behind the eye.
bool project(const label_view_t& view, const Eigen::Vector3d& p, double* x, double* y) {
  const Eigen::Vector4d clip = view.viewprojection * Eigen::Vector4d(p.x(), p.y(), p.z(), 1);
  if (clip.w() <= 0) return false;
  *x = (clip.x() / clip.w() + 1) / 2 * view.width;
  *y = (1 - clip.y() / clip.w()) / 2 * view.height;
  return true;
}

}  // namespace

double labelMinPopulation(double distance_m) { return std::max(distance_m, 0.0) * labels_population_per_metre; }

Eigen::Vector3d placePoint(double lat_deg, double lon_deg, double elevation_m, double planet_radius) {
  const double la = lat_deg * deg, lo = lon_deg * deg;
  return (planet_radius + elevation_m) * Eigen::Vector3d(std::cos(la) * std::cos(lo), std::cos(la) * std::sin(lo),
                                                         std::sin(la));
}

bool aboveHorizon(const Eigen::Vector3d& eye, const Eigen::Vector3d& point) {
  return (eye - point).dot(point) > 0;
}

std::vector<place_box_t> visibleBoxes(const label_view_t& view, double margin, double bottom, double top,
                                      double* nearest_m) {
  const Eigen::Matrix4d inverse = view.viewprojection.inverse();
  double south = 90, north = -90, nearest = std::numeric_limits<double>::infinity();
  std::vector<double> lons;
  const auto note = [&](const Eigen::Vector3d& p) {
    nearest = std::min(nearest, (p - view.eye).norm());
    const double lat = std::asin(std::clamp(p.z() / p.norm(), -1.0, 1.0)) / deg;
    south = std::min(south, lat);
    north = std::max(north, lat);
    lons.push_back(std::atan2(p.y(), p.x()) / deg);
  };
  for (int i = 0; i <= grid_steps; ++i)
    for (int j = 0; j <= grid_steps; ++j) {
      Eigen::Vector3d p;
      const double nx = -1 + 2.0 * i / grid_steps, ny = bottom + (top - bottom) * j / grid_steps;
      if (groundOf(view.eye, rayThrough(inverse, nx, ny, view.eye), view.planet_radius, &p)) note(p);
    }
  if (nearest_m) *nearest_m = nearest;
  if (lons.empty()) return {};
  // A pole in the picture: every longitude meets there.
  bool all_longitudes = false;
  for (double z : {1.0, -1.0}) {
    const Eigen::Vector3d pole(0, 0, z * view.planet_radius);
    double x = 0, y = 0;
    if (aboveHorizon(view.eye, pole) && project(view, pole, &x, &y) && x >= 0 && x <= view.width && y >= 0 &&
        y <= view.height) {
      (z > 0 ? north : south) = z * 90;
      all_longitudes = true;
    }
  }
  // The shortest arc of longitude holding every point: the circle less its
  // largest gap.
  std::sort(lons.begin(), lons.end());
  double gap = lons.front() + 360 - lons.back(), west = lons.front(), east = lons.back();
  for (size_t k = 1; k < lons.size(); ++k)
    if (lons[k] - lons[k - 1] > gap) {
      gap = lons[k] - lons[k - 1];
      west = lons[k];
      east = lons[k - 1] + 360;
    }
  const double lat_grow = (north - south) * margin + 0.01, lon_grow = (east - west) * margin + 0.01;
  south = std::max(-90.0, south - lat_grow);
  north = std::min(90.0, north + lat_grow);
  west -= lon_grow;
  east += lon_grow;
  if (all_longitudes || east - west >= 360) return {{south, north, -180, 180}};
  if (west < -180) west += 360, east += 360;
  if (east <= 180) return {{south, north, west, east}};
  if (west >= 180) return {{south, north, west - 360, east - 360}};
  return {{south, north, west, 180}, {south, north, -180, east - 360}};
}

bool refreshLabelPlaces(place_index_t* index, const label_view_t& view, label_query_t* query) {
  double wanted[label_bands];
  for (int band = 0; band < label_bands; ++band) {
    double nearest = 0;
    visibleBoxes(view, 0, -1 + 2.0 * band / label_bands, -1 + 2.0 * (band + 1) / label_bands, &nearest);
    wanted[band] = labelMinPopulation(nearest);
  }
  const std::vector<place_box_t> visible = visibleBoxes(view, 0);
  bool covered = !query->boxes.empty();
  for (int band = 0; band < label_bands; ++band) covered = covered && wanted[band] >= query->min_population[band];
  for (const place_box_t& v : visible)
    covered = covered && std::any_of(query->boxes.begin(), query->boxes.end(),
                                     [&](const place_box_t& q) { return inside(v, q); });
  if (covered) return false;
  query->boxes = visibleBoxes(view, labels_query_margin);
  query->places.clear();
  for (int band = 0; band < label_bands; ++band) {
    // A little smaller places than this view shows: a slow approach does
    // not ask again every frame.
    query->min_population[band] = wanted[band] / 2;
    for (const place_box_t& box : visibleBoxes(view, labels_query_margin, -1 + 2.0 * band / label_bands,
                                               -1 + 2.0 * (band + 1) / label_bands)) {
      std::vector<place_result_t> part =
          placesInBox(index, box, query->min_population[band], labels_candidates / label_bands);
      query->places.insert(query->places.end(), part.begin(), part.end());
    }
  }
  // Most populous first, each place once (the bands' boxes overlap).
  std::sort(query->places.begin(), query->places.end(),
            [](const place_result_t& a, const place_result_t& b) { return a.id < b.id; });
  query->places.erase(std::unique(query->places.begin(), query->places.end(),
                                  [](const place_result_t& a, const place_result_t& b) { return a.id == b.id; }),
                      query->places.end());
  return true;
}

void chooseLabels(const std::vector<label_candidate_t>& candidates, const label_view_t& view, size_t max_labels,
                  std::vector<screen_label_t>* out) {
  out->clear();
  for (size_t k = 0; k < candidates.size() && out->size() < max_labels; ++k) {
    const label_candidate_t& c = candidates[k];
    const Eigen::Vector3d p = placePoint(c.place.lat_deg, c.place.lon_deg, c.place.elevation_m, view.planet_radius);
    if (static_cast<double>(c.place.population) < labelMinPopulation((p - view.eye).norm())) continue;
    double x = 0, y = 0;
    if (!aboveHorizon(view.eye, p) || !project(view, p, &x, &y)) continue;
    screen_label_t s{k, static_cast<int>(std::lround(x)), static_cast<int>(std::lround(y)), 0, 0, 0, 0};
    s.left = s.x - dot_px;
    s.right = s.x + text_offset_px + c.text_width;
    s.top = std::min(s.y - dot_px, s.y - c.text_height / 2);
    s.bottom = std::max(s.y + dot_px, s.y - c.text_height / 2 + c.text_height);
    if (s.left < 0 || s.top < 0 || s.right > view.width || s.bottom > view.height) continue;
    const bool overlaps = std::any_of(out->begin(), out->end(), [&](const screen_label_t& o) {
      return s.left < o.right + labels_gap_px && o.left < s.right + labels_gap_px &&
             s.top < o.bottom + labels_gap_px && o.top < s.bottom + labels_gap_px;
    });
    if (!overlaps) out->push_back(s);
  }
}
