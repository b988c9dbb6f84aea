#include "view/globe_navigation.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace {

constexpr double deg = std::numbers::pi / 180;

// The point of the sphere of that radius where the ray meets it, else the
// point of the sphere nearest to the ray (its limb, seen along the ray).
Eigen::Vector3d onSphere(const ray_t& ray, double radius) {
  double t;
  if (rayHitsSphere(ray, radius, &t)) return ray.origin + t * ray.direction;
  const double along = std::max(0.0, -ray.origin.dot(ray.direction));
  const Eigen::Vector3d closest = ray.origin + along * ray.direction;
  return closest.normalized() * radius;
}

void turnCamera(camera_t& cam, const Eigen::Quaterniond& q, const Eigen::Vector3d& about) {
  cam.eye = about + q * (cam.eye - about);
  cam.direction = (q * cam.direction).normalized();
}

}  // namespace

screen_view_t screenOf(const camera_t& cam, int width, int height) { return {cam.eye, cam.direction, width, height}; }

void holdPitch(camera_t& cam) {
  const Eigen::Vector3d up = cam.eye.normalized();
  const double s = cam.direction.dot(up);
  if (std::abs(s) <= camera_pitch_limit) return;
  Eigen::Vector3d flat = cam.direction - s * up;
  if (flat.squaredNorm() < 1e-18) flat = up.unitOrthogonal();
  const double limit = std::copysign(camera_pitch_limit, s);
  cam.direction = (flat.normalized() * std::sqrt(1 - limit * limit) + up * limit).normalized();
}

void startDrag(globe_drag_t* drag, const Eigen::Vector3d& grabbed, double now_s) {
  drag->active = true;
  drag->grabbed = grabbed;
  drag->start_s = now_s;
  drag->steps.clear();
}

void dragTo(globe_drag_t* drag, camera_t& cam, int width, int height, double x, double y, double now_s) {
  if (!drag->active) return;
  // The ray through the cursor meets the grabbed point's sphere at q; the
  // turn that takes q to the grabbed point, applied to the whole camera,
  // takes that ray through it.
  const ray_t ray = pixelRay(screenOf(cam, width, height), x, y);
  const Eigen::Vector3d q = onSphere(ray, drag->grabbed.norm());
  const Eigen::Quaterniond turn = Eigen::Quaterniond::FromTwoVectors(q, drag->grabbed);
  turnCamera(cam, turn, Eigen::Vector3d::Zero());
  drag->steps.push_back({now_s, turn});
  std::erase_if(drag->steps, [&](const globe_drag_t::step_t& s) { return s.t_s < now_s - globe_inertia_window_s; });
}

void releaseDrag(globe_drag_t* drag, globe_glide_t* glide, double now_s) {
  drag->active = false;
  glide->active = false;
  Eigen::Quaterniond total = Eigen::Quaterniond::Identity();
  for (const globe_drag_t::step_t& s : drag->steps)
    if (s.t_s >= now_s - globe_inertia_window_s) total = s.turn * total;
  drag->steps.clear();
  const double span = std::min(globe_inertia_window_s, now_s - drag->start_s);
  const Eigen::AngleAxisd aa(total);
  if (!(span > 0) || aa.angle() == 0) return;
  glide->active = true;
  glide->axis = aa.axis();
  glide->rate = aa.angle() / span;
  glide->elapsed_s = 0;
}

bool advanceGlide(globe_glide_t* glide, camera_t& cam, double dt_s) {
  if (!glide->active) return false;
  // It ends after five time constants (less than 1 % of its way is left),
  // on the same instant at any frame rate, or once slower than the least.
  const double tau = globe_inertia_tau_s, end = 5 * tau;
  const double t1 = std::min(glide->elapsed_s + std::max(dt_s, 0.0), end);
  const double a = std::exp(-glide->elapsed_s / tau), b = std::exp(-t1 / tau);
  glide->elapsed_s = t1;
  turnCamera(cam, Eigen::Quaterniond(Eigen::AngleAxisd(glide->rate * tau * (a - b), glide->axis)),
             Eigen::Vector3d::Zero());
  if (t1 >= end || glide->rate * b < globe_inertia_min_rad_per_s) glide->active = false;
  return glide->active;
}

void zoomTowards(camera_t& cam, const Eigen::Vector3d& point, double notches, int width, int height, double x,
                 double y, double planet_radius) {
  double keep = std::pow(globe_wheel_keep, notches);
  const Eigen::Vector3d from_point = cam.eye - point;
  Eigen::Vector3d eye = point + from_point * keep;
  if (keep > 1 && eye.norm() - planet_radius > globe_max_altitude) return;
  cam.eye = eye;
  // The eye moved along the ray through the point, but the picture's up
  // follows the vertical at the eye, which moved with it: turn the view
  // until the ray through (x, y) meets the point again (a few steps
  // converge, since the correction hardly changes the vertical).
  const Eigen::Vector3d want = (point - cam.eye).normalized();
  for (int i = 0; i < 4; ++i) {
    const ray_t ray = pixelRay(screenOf(cam, width, height), x, y);
    cam.direction = (Eigen::Quaterniond::FromTwoVectors(ray.direction, want) * cam.direction).normalized();
  }
  holdPitch(cam);
}

void turnAbout(camera_t& cam, const Eigen::Vector3d* centre, double dx, double dy) {
  const double yaw = -dx * globe_turn_rad_per_pixel, tilt = dy * globe_turn_rad_per_pixel;
  if (!centre) {
    const Eigen::Vector3d up = cam.eye.normalized();
    const Eigen::Vector3d right = cam.direction.cross(up).normalized();
    cam.direction = (Eigen::AngleAxisd(yaw, up) * Eigen::AngleAxisd(-tilt, right) * cam.direction).normalized();
    holdPitch(cam);
    return;
  }
  const Eigen::Vector3d c = *centre, n = c.normalized();
  turnCamera(cam, Eigen::Quaterniond(Eigen::AngleAxisd(yaw, n)), c);
  // Elevation of the eye seen from the centre; a drag down raises it.
  const Eigen::Vector3d v = cam.eye - c;
  const Eigen::Vector3d axis = n.cross(v);
  if (axis.squaredNorm() < 1e-18) return;
  const double elevation = std::asin(std::clamp(v.normalized().dot(n), -1.0, 1.0));
  const double highest = std::asin(camera_pitch_limit) - 1 * deg;
  const double wanted = std::clamp(elevation + tilt, globe_min_elevation_deg * deg, highest);
  // Turning v about n x v by a positive angle lowers it towards the horizon.
  turnCamera(cam, Eigen::Quaterniond(Eigen::AngleAxisd(elevation - wanted, axis.normalized())), c);
  holdPitch(cam);
}

camera_pose_t approachPose(const camera_t& cam, const Eigen::Vector3d& point) {
  return {point + (cam.eye - point) * globe_double_click_keep, (point - cam.eye).normalized()};
}

void moveWithKeys(camera_t& cam, const camera_input_t& in, double height, double dt_s) {
  const double step = globe_key_altitudes_per_s * std::max(height, 1.0) * dt_s * (in.shift ? 5 : 1);
  const Eigen::Vector3d up = cam.eye.normalized();
  Eigen::Vector3d ahead = cam.direction - cam.direction.dot(up) * up;
  if (ahead.squaredNorm() < 1e-18) ahead = up.unitOrthogonal();
  ahead.normalize();
  const Eigen::Vector3d right = ahead.cross(up);
  const Eigen::Vector3d along = ahead * (in.key_w - in.key_s) + right * (in.key_d - in.key_a);
  if (along.squaredNorm() > 0) {
    // Along the ground: a turn about the centre keeps altitude and pitch.
    const Eigen::Vector3d axis = up.cross(along).normalized();
    turnCamera(cam, Eigen::Quaterniond(Eigen::AngleAxisd(step * along.norm() / cam.eye.norm(), axis)),
               Eigen::Vector3d::Zero());
  }
  // Down by at most half the height in one step: the ground is not crossed
  // at a low frame rate either.
  const double vertical = in.key_e * step - in.key_q * std::min(step, height / 2);
  cam.eye += cam.eye.normalized() * vertical;
}
