#include "view/ground_clearance.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "view/picking.h"

namespace {

// The vertical line against a box, in the box's own frame.
bool lineMeetsBox(const ray_t& ray, const OrientedBoundingBox& obb) {
  const Eigen::Vector3d o = obb.orientation.transpose() * (ray.origin - obb.center);
  const Eigen::Vector3d d = obb.orientation.transpose() * ray.direction;
  double t0 = -std::numeric_limits<double>::infinity(), t1 = std::numeric_limits<double>::infinity();
  for (int k = 0; k < 3; ++k) {
    const double e = obb.extents[k];
    if (d[k] == 0) {
      if (std::abs(o[k]) > e) return false;
      continue;
    }
    double a = (-e - o[k]) / d[k], b = (e - o[k]) / d[k];
    if (a > b) std::swap(a, b);
    t0 = std::max(t0, a);
    t1 = std::min(t1, b);
    if (t0 > t1) return false;
  }
  return true;
}

struct finest_t {
  int level = 0;
  double t = std::numeric_limits<double>::infinity();
};

void search(const bulk_t* bulk, const ray_t& ray, finest_t* best, int depth) {
  if (depth > MAX_LEVEL) return;  // bulks nest a level of four at a time; a loop in hostile data ends here
  for (const auto& [key, node] : bulk->nodes) {
    if (node->dl_state.load() != dl_state_downloaded) continue;
    const int level = static_cast<int>(recordPath(node.get()).size());
    if (level < best->level || !lineMeetsBox(ray, node->obb)) continue;
    double t = level > best->level ? std::numeric_limits<double>::infinity() : best->t;
    if (rayHitsNode(ray, *node, 0, &t)) *best = {level, t};
  }
  for (const auto& [key, child] : bulk->bulks) {
    if (child->dl_state.load() != dl_state_downloaded) continue;
    const auto head = bulk->nodes.find(key);
    if (head != bulk->nodes.end() && !lineMeetsBox(ray, head->second->obb)) continue;
    search(child.get(), ray, best, depth + 1);
  }
}

}  // namespace

ground_t groundUnder(const bulk_t* root, const Eigen::Vector3d& eye, double planet_radius, double max_relief) {
  const Eigen::Vector3d up = eye.normalized();
  // From above everything the planet may hold, down: the first surface met
  // is the top one even when the eye is already below it.
  const double top = std::max(eye.norm(), planet_radius + max_relief) + 1000;
  const ray_t ray{up * top, -up};
  finest_t best;
  if (root && root->dl_state.load() == dl_state_downloaded) search(root, ray, &best, 0);
  if (best.level > 0) return {true, best.level, top - best.t};
  return {false, 0, planet_radius + max_relief};
}

double announcedRelief(const rocktree_t* planet) {
  if (!planet || !planet->_metadata || !planet->_metadata->has_max_terrain_altitude()) return 0;
  const double relief = planet->_metadata->max_terrain_altitude();
  return std::isfinite(relief) ? std::clamp(relief, 0.0, 100000.0) : 0;
}

bool keepAboveGround(camera_t& cam, const Eigen::Vector3d& previous_eye, const ground_t& ground, double descent_m_s) {
  const double r = cam.eye.norm();
  const double floor = ground.radius + ground_clearance_metres + std::max(0.0, descent_m_s) * ground_clearance_seconds;
  if (r >= floor) return false;
  const double to = ground.from_mesh ? floor : std::min(floor, std::max(r, previous_eye.norm()));
  if (to <= r) return false;
  cam.eye *= to / r;
  return true;
}
