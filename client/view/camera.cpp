#include "view/camera.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include <Eigen/Geometry>

namespace {

Eigen::Vector3d normalisedOrSame(const Eigen::Vector3d& v) {
  double sq = v.squaredNorm();
  return sq > 0 ? Eigen::Vector3d(v / std::sqrt(sq)) : v;
}

// Angle and axis as they are: the yaw axis is deliberately not of unit length
// (see updateCamera), so this must not normalise it.
Eigen::Quaterniond rawAngleAxis(double angle, const Eigen::Vector3d& axis) {
  const double s = std::sin(angle / 2);
  return Eigen::Quaterniond(std::cos(angle / 2), s * axis.x(), s * axis.y(), s * axis.z());
}

}  // namespace

void initCamera(camera_t& cam, float planet_radius) {
  const Eigen::Vector3d ecef(4202.393, 173.554, 4778.808);
  const Eigen::Vector3d ecef_norm = ecef.normalized();
  cam.eye = ecef_norm * static_cast<double>(planet_radius + static_cast<float>(camera_start_altitude));
  cam.direction = Eigen::Vector3d(0.219862, 0.419329, 0.312226);
  cam.ms = 0;
  cam.initialised = true;
}

void clipPlanes(double altitude, float planet_radius, double* near, double* far) {
  const float diameter = 2 * planet_radius;
  // NaN below the sphere; the fix-ups below then give near 50, far 51.
  const double horizon = std::sqrt(altitude * (static_cast<double>(diameter) + altitude));
  double n = horizon > camera_far_near_horizon_metres ? altitude * 0.5 : camera_near_metres;
  double f = horizon;
  if (n >= f) n = f - 1;
  if (std::isnan(f) || f < n) f = n + 1;
  *near = n;
  *far = f;
}

std::string positionLine(const camera_t& cam) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "pos: %f %f %f, dir: %f %f %f\n", cam.eye.x(), cam.eye.y(), cam.eye.z(),
                cam.direction.x(), cam.direction.y(), cam.direction.z());
  return buf;
}

bool periodicLineDue(double* ms, double delta_time_ms) {
  *ms += delta_time_ms;
  if (*ms > periodic_line_ms) {
    *ms = 0;
    return true;
  }
  return false;
}

bool updateCamera(camera_t& cam, const camera_input_t& in, double delta_time_ms,
                  float planet_radius, int width, int height, camera_frame_t* out) {
  if (width <= 0 || height <= 0) return false;

  const Eigen::Vector3d up = normalisedOrSame(cam.eye);
  const float aspect_ratio = static_cast<float>(width) / static_cast<float>(height);
  const double altitude = cam.eye.norm() - planet_radius;
  double near = 0, far = 0;
  clipPlanes(altitude, planet_radius, &near, &far);
  out->projection = perspective(camera_fov_rad, aspect_ratio, near, far);

  // Turning.
  const double yaw = in.mouse_x * camera_mouse_radians;
  double pitch = -in.mouse_y * camera_mouse_radians;
  const double overhead = -up.dot(cam.direction);
  if ((overhead > camera_pitch_limit && pitch < 0) || (overhead < -camera_pitch_limit && pitch > 0))
    pitch = 0;
  const Eigen::Vector3d c = cam.direction.cross(up);
  // Unnormalised on purpose: its length, the sine of the angle to the
  // vertical, makes a yaw turn the heading by the full angle at any pitch.
  const Eigen::Vector3d yaw_axis = cam.direction.cross(c);
  const Eigen::Vector3d pitch_axis = normalisedOrSame(c);
  const Eigen::Quaterniond quat = rawAngleAxis(0, Eigen::Vector3d(0, 0, 1)) *
                                  rawAngleAxis(yaw, yaw_axis) * rawAngleAxis(pitch, pitch_axis);
  cam.direction = normalisedOrSame(quat.toRotationMatrix() * cam.direction);

  // Moving: faster with altitude, so that the planet can be left and reached.
  const float base = static_cast<float>(std::max((altitude - 500) / 10000, 0.0) + 1);
  const double speed_amp = std::min<double>(powf(base, 1.337f), 2600) / 6;
  const double mag = delta_time_ms / 17 * 100 * (in.shift ? 5 : 1) * speed_amp;
  const Eigen::Vector3d sideways = normalisedOrSame(cam.direction.cross(up));
  const Eigen::Vector3d new_eye = cam.eye + cam.direction * mag * in.key_w -
                                  cam.direction * mag * in.key_s - sideways * mag * in.key_a +
                                  sideways * mag * in.key_d - up * mag * in.key_q +
                                  up * mag * in.key_e;
  // Moving down is always allowed: a place may start the camera above the
  // limit (the whole Earth from 12,000 km), and it must be able to come back.
  const double pot_altitude = new_eye.norm() - planet_radius;
  if (pot_altitude < camera_max_altitude || pot_altitude < altitude) cam.eye = new_eye;

  out->up = up;
  out->altitude = altitude;
  out->near = near;
  out->far = far;
  out->view = lookAt(cam.eye, cam.eye + cam.direction, up);
  out->viewprojection = out->projection * out->view;
  out->frustum_planes = getFrustumPlanes(out->viewprojection);
  return true;
}
