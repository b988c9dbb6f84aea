#include "net/request_wish.h"

#include <algorithm>
#include <cstring>

request_priority_t requestPriority(bool is_node, size_t level, const Eigen::Vector3d& centre,
                                   const Eigen::Matrix4d& viewprojection) {
  // Behind the eye, or nowhere sensible: last among its kind and level.
  constexpr float far_off = 1e30f;
  const Eigen::Vector4d p = viewprojection * Eigen::Vector4d(centre.x(), centre.y(), centre.z(), 1);
  float d2 = far_off;
  if (p.w() > 0) {
    const double x = p.x() / p.w(), y = p.y() / p.w();
    const double d = x * x + y * y;
    if (d < far_off) d2 = static_cast<float>(d);  // also false for NaN
  }
  uint32_t bits;
  std::memcpy(&bits, &d2, sizeof bits);
  return (static_cast<uint64_t>(is_node) << 62) | (static_cast<uint64_t>(std::min<size_t>(level, 31)) << 57) | bits;
}
