// Camera path files (--path) are untrusted: any bytes end in a path that
// holds its checks (poses in range, times growing) or in a reason, never in
// a crash; the interpolation of an accepted path stays in range.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "view/camera_path.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  camera_path_t path;
  std::string why;
  if (!parseCameraPath(std::string_view(reinterpret_cast<const char*>(data), size), &path, &why)) {
    if (why.empty()) std::abort();
    return 0;
  }
  if (path.poses.empty() || path.poses.size() > path_max_poses) std::abort();
  for (size_t k = 1; k < path.poses.size(); ++k)
    if (!(path.poses[k].time_s > path.poses[k - 1].time_s)) std::abort();
  const double end = pathDuration(path);
  for (int k = -1; k <= 16; ++k) {
    const geo_pose_t g = poseAt(path, end * k / 15.0);
    if (!(g.lat_deg >= -90 && g.lat_deg <= 90 && std::abs(g.lon_deg) <= 180 && g.pitch_deg >= -90 &&
          g.pitch_deg <= 90 && g.heading_deg >= 0 && g.heading_deg <= 360 && std::isfinite(g.altitude_m)))
      std::abort();
  }
  return 0;
}
