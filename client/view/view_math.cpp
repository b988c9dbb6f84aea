#include "view/view_math.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <Eigen/Geometry>

namespace {

// Only our own callers can break these, never the service's data.
void checkInvariant(bool cond, const char* text) {
  if (cond) return;
  std::fprintf(stderr, "%s\n", text);
  std::abort();
}

Eigen::Vector3d normalisedOrSame(const Eigen::Vector3d& v) {
  double sq = v.squaredNorm();
  return sq > 0 ? Eigen::Vector3d(v / std::sqrt(sq)) : v;
}

}  // namespace

Eigen::Matrix4d perspective(double fov_rad, double aspect_ratio, double near, double far) {
  checkInvariant(aspect_ratio > 0, "aspect_ratio > 0");
  checkInvariant(near < far, "far > near");
  const double t = std::tan(fov_rad / 2);
  Eigen::Matrix4d m = Eigen::Matrix4d::Zero();
  m(0, 0) = 1 / (aspect_ratio * t);
  m(1, 1) = 1 / t;
  m(2, 2) = -(far + near) / (far - near);
  m(3, 2) = -1;
  m(2, 3) = -(2 * far * near) / (far - near);
  return m;
}

Eigen::Matrix4d lookAt(Eigen::Vector3d eye, Eigen::Vector3d center, Eigen::Vector3d up) {
  const Eigen::Vector3d f = normalisedOrSame(center - eye);
  const Eigen::Vector3d u0 = normalisedOrSame(up);
  const Eigen::Vector3d s = normalisedOrSame(f.cross(u0));
  const Eigen::Vector3d u = s.cross(f);
  Eigen::Matrix4d m;
  m << s.x(), s.y(), s.z(), -s.dot(eye),
       u.x(), u.y(), u.z(), -u.dot(eye),
       -f.x(), -f.y(), -f.z(), f.dot(eye),
       0, 0, 0, 1;
  return m;
}

frustum_planes_t getFrustumPlanes(Eigen::Matrix4d projection) {
  const Eigen::Vector4d r0 = projection.row(0).transpose();
  const Eigen::Vector4d r1 = projection.row(1).transpose();
  const Eigen::Vector4d r2 = projection.row(2).transpose();
  const Eigen::Vector4d r3 = projection.row(3).transpose();
  return {r3 + r0, r3 + r1, r3 + r2, r3 - r0, r3 - r1, r3 - r2};
}

obb_frustum classifyObbFrustum(const OrientedBoundingBox* obb, const frustum_planes_t& planes) {
  obb_frustum result = obb_frustum_inside;
  for (const Eigen::Vector4d& p : planes) {
    const Eigen::Vector3d n = p.head<3>();
    const double dist = n.dot(obb->center) + p[3];
    const double r = std::abs(n.dot(obb->orientation.col(0))) * obb->extents[0] +
                     std::abs(n.dot(obb->orientation.col(1))) * obb->extents[1] +
                     std::abs(n.dot(obb->orientation.col(2))) * obb->extents[2];
    if (r > std::abs(dist)) result = obb_frustum_intersect;
    if (dist + r < 0) return obb_frustum_outside;
  }
  return result;
}
