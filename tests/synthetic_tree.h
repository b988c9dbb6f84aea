// A synthetic planet for the walk's tests and benchmarks: a flat world of
// 4,194 km square in the plane z = 0, cut like the planet's octree above
// level 2: every node has four children (digits 0 to 3), a bulk starts every
// fourth level, 256 texels across a node. Children exist only where the
// level-of-detail rule could want them from `eye` (and one level beyond),
// so the tree stays finite and full bulks surround any view from there as
// they would on the planet. Everything starts as a stub below a downloaded
// root.
#pragma once

#include <cmath>
#include <memory>
#include <string>

#include "view/selection.h"

// The stub child bulk of `parent` headed by the node at full_path (a length
// that is a multiple of 4): a new one, or the one already there.
inline bulk_t* addChildBulk(bulk_t* parent, const std::string& full_path) {
  auto it = parent->bulks.find(full_path.substr(full_path.size() - 4));
  if (it != parent->bulks.end()) return it->second.get();
  auto b = std::make_unique<bulk_t>();
  b->parent = parent;
  b->busy_ctr = 0;
  b->request.mutable_node_key()->set_path(full_path);
  b->setNotDownloadedYet();
  bulk_t* raw = b.get();
  parent->bulks.emplace(full_path.substr(full_path.size() - 4), std::move(b));
  return raw;
}

struct synthetic_tree_t {
  static constexpr double world_side = 4194304;
  std::unique_ptr<bulk_t> root;
  Eigen::Vector3d eye;
  int nodes = 0;

  explicit synthetic_tree_t(const Eigen::Vector3d& eye_position) : eye(eye_position) {
    root = std::make_unique<bulk_t>();
    root->busy_ctr = 0;
    root->setNotDownloadedYet();
    root->setStartedDownloading();
    root->setFinishedDownloading();
    for (int d = 0; d < 4; ++d) grow(root.get(), std::string(1, char('0' + d)), 0, 0, world_side, d);
  }

  // The quarter d of the square centred at (cx, cy) with side `side`.
  void grow(bulk_t* bulk, const std::string& path, double cx, double cy, double side, int d) {
    const double half = side / 2;
    const double x = cx + (d & 1 ? half / 2 : -half / 2);
    const double y = cy + (d & 2 ? half / 2 : -half / 2);
    if (path.size() > 1 && (path.size() - 1) % 4 == 0) bulk = addChildBulk(bulk, path.substr(0, path.size() - 1));
    auto n = std::make_unique<node_t>();
    n->parent = bulk;
    n->request.mutable_node_key()->set_path(path);
    n->can_have_data = true;
    n->meters_per_texel = static_cast<float>(half / 256);
    n->obb = {Eigen::Vector3d(x, y, 0), Eigen::Vector3d(half / 2, half / 2, 50), Eigen::Matrix3d::Identity()};
    n->setNotDownloadedYet();
    bulk->nodes.emplace(path.substr(4 * ((path.size() - 1) / 4)), std::move(n));
    ++nodes;
    const double dist = (eye - Eigen::Vector3d(x, y, 0)).norm();
    // One level beyond what the rule selects, so the walk also meets the
    // nodes it turns down.
    if (half / 256 < dist / 2880 / 2 || path.size() >= 20) return;
    for (int c = 0; c < 4; ++c) grow(bulk, path + char('0' + c), x, y, half, c);
  }
};

// The view from eye along the y axis, `degrees` below the horizon (negative:
// above it), as the viewer's camera projects it on a 2560 x 1440 screen.
inline walk_view_t syntheticView(const Eigen::Vector3d& eye, double degrees) {
  const double a = degrees * M_PI / 180;
  walk_view_t v;
  v.eye = eye;
  v.direction = Eigen::Vector3d(0, std::cos(a), -std::sin(a));
  v.viewprojection = perspective(0.9424778819084167, 2560.0 / 1440, 50, 2000000) *
                     lookAt(eye, eye + v.direction, Eigen::Vector3d(0, 0, 1));
  v.frustum_planes = getFrustumPlanes(v.viewprojection);
  return v;
}
