#include "view/picking.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include <Eigen/Geometry>
#include <Eigen/LU>

namespace {

struct camera_basis_t {
  Eigen::Vector3d forward, right, up;
  double tan_x, tan_y;  // half the field of view's tangent, across and up
};

// The view matrix's frame (see lookAt) and the projection's extent.
camera_basis_t basisOf(const screen_view_t& v) {
  camera_basis_t b;
  b.forward = v.direction.normalized();
  b.right = b.forward.cross(v.eye.normalized()).normalized();
  b.up = b.right.cross(b.forward);
  b.tan_y = std::tan(static_cast<double>(camera_fov_rad) / 2);
  b.tan_x = b.tan_y * static_cast<float>(v.width) / static_cast<float>(v.height);
  return b;
}

// Slab test against [lo, hi] on every axis; the entry and exit distances.
bool rayMeetsBox(const Eigen::Vector3d& o, const Eigen::Vector3d& d, double lo, double hi, double* enter,
                 double* leave) {
  double t0 = 0, t1 = std::numeric_limits<double>::infinity();
  for (int k = 0; k < 3; ++k) {
    if (d[k] == 0) {
      if (o[k] < lo || o[k] > hi) return false;
      continue;
    }
    double a = (lo - o[k]) / d[k], b = (hi - o[k]) / d[k];
    if (a > b) std::swap(a, b);
    t0 = std::max(t0, a);
    t1 = std::min(t1, b);
    if (t0 > t1) return false;
  }
  *enter = t0;
  *leave = t1;
  return true;
}

// Two-sided ray-triangle test (Moeller and Trumbore); the distance in units
// of d.
bool rayMeetsTriangle(const Eigen::Vector3d& o, const Eigen::Vector3d& d, const Eigen::Vector3d& a,
                      const Eigen::Vector3d& b, const Eigen::Vector3d& c, double* t) {
  const Eigen::Vector3d e1 = b - a, e2 = c - a;
  const Eigen::Vector3d p = d.cross(e2);
  const double det = e1.dot(p);
  if (std::abs(det) < 1e-12) return false;
  const double inv = 1 / det;
  const Eigen::Vector3d s = o - a;
  const double u = s.dot(p) * inv;
  if (u < 0 || u > 1) return false;
  const Eigen::Vector3d q = s.cross(e1);
  const double v = d.dot(q) * inv;
  if (v < 0 || u + v > 1) return false;
  *t = e2.dot(q) * inv;
  return *t > 0;
}

}  // namespace

ray_t pixelRay(const screen_view_t& view, double x, double y) {
  const camera_basis_t b = basisOf(view);
  const double nx = 2 * x / view.width - 1, ny = 1 - 2 * y / view.height;
  return {view.eye, (b.forward + nx * b.tan_x * b.right + ny * b.tan_y * b.up).normalized()};
}

bool projectToPixel(const screen_view_t& view, const Eigen::Vector3d& point, double* x, double* y) {
  const camera_basis_t b = basisOf(view);
  const Eigen::Vector3d q = point - view.eye;
  const double depth = q.dot(b.forward);
  if (!(depth > 0)) return false;
  *x = (q.dot(b.right) / (depth * b.tan_x) + 1) * view.width / 2;
  *y = (1 - q.dot(b.up) / (depth * b.tan_y)) * view.height / 2;
  return true;
}

bool rayHitsNode(const ray_t& ray, const node_t& node, uint8_t mask, double* t) {
  // Into the mesh's own frame, where positions are the bytes of its
  // vertices; the distance along the ray is the same in both frames since
  // the direction is mapped without normalising.
  const Eigen::Matrix4d inv = node.matrix_globe_from_mesh.inverse();
  const Eigen::Vector3d o = (inv * ray.origin.homogeneous()).head<3>();
  const Eigen::Vector3d d = inv.topLeftCorner<3, 3>() * ray.direction;
  double enter, leave;
  if (!rayMeetsBox(o, d, -0.5, 255.5, &enter, &leave) || !(enter < *t)) return false;
  bool hit = false;
  for (const mesh_t& mesh : node.meshes) {
    const auto* verts = reinterpret_cast<const vertex_t*>(mesh.vertices.data());
    const size_t count = mesh.vertices.size() / sizeof(vertex_t);
    const std::vector<uint16_t>& idx = mesh.indices;
    const auto at = [&](uint16_t i) { return Eigen::Vector3d(verts[i].x, verts[i].y, verts[i].z); };
    // One triangle strip: triangle i is indices i, i+1, i+2; a repeated
    // index joins two runs (degenerate, drawn as nothing).
    for (size_t i = 2; i < idx.size(); ++i) {
      const uint16_t a = idx[i - 2], b = idx[i - 1], c = idx[i];
      if (a == b || b == c || a == c || a >= count || b >= count || c >= count) continue;
      if ((mask >> (verts[a].w & 7) | mask >> (verts[b].w & 7) | mask >> (verts[c].w & 7)) & 1) continue;
      double ti;
      if (rayMeetsTriangle(o, d, at(a), at(b), at(c), &ti) && ti < *t) {
        *t = ti;
        hit = true;
      }
    }
  }
  return hit;
}

bool rayHitsSphere(const ray_t& ray, double radius, double* t) {
  const double b = ray.origin.dot(ray.direction);
  const double c = ray.origin.squaredNorm() - radius * radius;
  const double disc = b * b - c;
  if (disc < 0) return false;
  const double root = std::sqrt(disc);
  const double near = -b - root, far = -b + root;
  if (near > 0) {
    *t = near;
    return true;
  }
  if (far > 0) {
    *t = far;
    return true;
  }
  return false;
}

pick_t pickSurface(const ray_t& ray, const std::vector<draw_item_t>& draw_list, double sphere_radius) {
  double t = std::numeric_limits<double>::infinity();
  bool on_mesh = false;
  for (const draw_item_t& item : draw_list) on_mesh |= rayHitsNode(ray, *item.node, item.mask, &t);
  if (on_mesh) return {pick_source_mesh, ray.origin + t * ray.direction, t};
  if (rayHitsSphere(ray, sphere_radius, &t)) return {pick_source_sphere, ray.origin + t * ray.direction, t};
  return {pick_source_none, Eigen::Vector3d::Zero(), 0};
}
