#include "view/geo_pose.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double deg = std::numbers::pi / 180;

// The local frame at a latitude and longitude: up, east, north. East and
// north are the derivatives along longitude and latitude, so they stay
// defined at the poles.
struct local_frame_t {
  Eigen::Vector3d up, east, north;
};

local_frame_t localFrame(double lat, double lon) {
  const double sla = std::sin(lat), cla = std::cos(lat), slo = std::sin(lon), clo = std::cos(lon);
  return {{cla * clo, cla * slo, sla}, {-slo, clo, 0}, {-sla * clo, -sla * slo, cla}};
}

}  // namespace

void placeCamera(camera_t& cam, const geo_pose_t& pose, float planet_radius) {
  const local_frame_t f = localFrame(pose.lat_deg * deg, pose.lon_deg * deg);
  const double limit = std::asin(camera_pitch_limit);
  const double pitch = std::clamp(pose.pitch_deg * deg, -limit, limit);
  const double heading = pose.heading_deg * deg;
  cam.eye = f.up * (static_cast<double>(planet_radius) + pose.altitude_m);
  cam.direction = (std::cos(pitch) * (std::cos(heading) * f.north + std::sin(heading) * f.east) +
                   std::sin(pitch) * f.up)
                      .normalized();
}

geo_pose_t poseOf(const Eigen::Vector3d& eye, const Eigen::Vector3d& direction, float planet_radius) {
  const double r = eye.norm();
  geo_pose_t p{};
  if (r > 0) {
    p.lat_deg = std::asin(std::clamp(eye.z() / r, -1.0, 1.0)) / deg;
    p.lon_deg = (eye.x() == 0 && eye.y() == 0) ? 0 : std::atan2(eye.y(), eye.x()) / deg;
  }
  p.altitude_m = r - planet_radius;
  const local_frame_t f = localFrame(p.lat_deg * deg, p.lon_deg * deg);
  const Eigen::Vector3d d = direction.normalized();
  p.pitch_deg = std::asin(std::clamp(d.dot(f.up), -1.0, 1.0)) / deg;
  double heading = std::atan2(d.dot(f.east), d.dot(f.north)) / deg;
  if (heading < 0) heading += 360;
  p.heading_deg = heading;
  return p;
}
