// Camera matrices and the visibility test of a node's box. Double precision
// throughout: planet coordinates are millions of metres, and the walk compares
// boxes of a few metres against planes built from them.
#pragma once

#include <array>

#include <Eigen/Core>

#include "tree/packed_decoders.h"

enum obb_frustum {
  obb_frustum_inside = -1,
  obb_frustum_intersect = 0,
  obb_frustum_outside = 1,
};

// Six planes (a, b, c, d), inner side where a*x + b*y + c*z + d >= 0, in the
// order left, bottom, near, right, top, far. Not normalised: every test
// compares two quantities scaled by the same length.
using frustum_planes_t = std::array<Eigen::Vector4d, 6>;

// Right-handed projection to clip space with depth in [-w, w]. The caller
// guarantees aspect_ratio > 0 and far > near (checked; a breach aborts).
Eigen::Matrix4d perspective(double fov_rad, double aspect_ratio, double near, double far);

// View matrix looking from eye towards center. Degenerate input (eye at
// center, up along the view) gives zero rows rather than a division by zero.
Eigen::Matrix4d lookAt(Eigen::Vector3d eye, Eigen::Vector3d center, Eigen::Vector3d up);

// Clip planes of a combined matrix (the view-projection, in the walk).
frustum_planes_t getFrustumPlanes(Eigen::Matrix4d projection);

// Outside as soon as one plane has the whole box on its outer side;
// intersect when some plane cuts it; inside otherwise.
obb_frustum classifyObbFrustum(const OrientedBoundingBox* obb, const frustum_planes_t& planes);
