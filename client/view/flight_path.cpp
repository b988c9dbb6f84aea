#include "view/flight_path.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include <Eigen/Geometry>

namespace {

// East, north and up at a point (north along the planet's z axis).
void localAxes(const Eigen::Vector3d& p, Eigen::Vector3d* east, Eigen::Vector3d* north, Eigen::Vector3d* up) {
  *up = p.normalized();
  Eigen::Vector3d e = Eigen::Vector3d::UnitZ().cross(*up);
  if (e.squaredNorm() < 1e-18) e = Eigen::Vector3d::UnitY();  // at a pole: any east will do
  *east = e.normalized();
  *north = up->cross(*east);
}

void headingPitch(const Eigen::Vector3d& at, const Eigen::Vector3d& dir, double* heading, double* pitch) {
  Eigen::Vector3d east, north, up;
  localAxes(at, &east, &north, &up);
  *pitch = std::asin(std::clamp(dir.dot(up), -1.0, 1.0));
  *heading = std::atan2(dir.dot(east), dir.dot(north));
}

Eigen::Vector3d directionAt(const Eigen::Vector3d& at, double heading, double pitch) {
  Eigen::Vector3d east, north, up;
  localAxes(at, &east, &north, &up);
  return (std::cos(pitch) * (std::cos(heading) * north + std::sin(heading) * east) + std::sin(pitch) * up)
      .normalized();
}

// A point on the pose's view ray to look at: where the ray meets the sphere,
// but no farther than a few altitudes (a view along the horizon meets it
// hundreds of kilometres away), and a few altitudes out when it misses.
Eigen::Vector3d targetOf(const camera_pose_t& pose, double radius) {
  const double altitude = std::max(pose.eye.norm() - radius, 100.0);
  double reach = 3 * altitude;
  const double b = pose.eye.dot(pose.direction);
  const double disc = b * b - (pose.eye.squaredNorm() - radius * radius);
  if (disc >= 0) {
    const double t = -b - std::sqrt(disc);
    if (t > 0) reach = std::min(reach, t);
  }
  return pose.eye + reach * pose.direction;
}

// Width of the picture at the distance of the point looked at.
double widthAt(double distance) { return 2 * distance * std::tan(static_cast<double>(camera_fov_rad) / 2); }

// Slows in and out: the same path, gentle at both ends.
double ease(double x) { return x * x * (3 - 2 * x); }

}  // namespace

void startFlight(flight_t* f, const camera_pose_t& from, const camera_pose_t& to, double planet_radius) {
  *f = flight_t{};
  f->active = true;
  f->from = from;
  f->to = to;
  f->target_from = targetOf(from, planet_radius);
  f->target_to = targetOf(to, planet_radius);
  f->w0 = std::max(widthAt((f->target_from - from.eye).norm()), 1e-3);
  f->w1 = std::max(widthAt((f->target_to - to.eye).norm()), 1e-3);
  const double angle = std::atan2(f->target_from.cross(f->target_to).norm(), f->target_from.dot(f->target_to));
  f->u1 = angle * (f->target_from.norm() + f->target_to.norm()) / 2;
  headingPitch(f->target_from, from.direction.normalized(), &f->heading_from, &f->pitch_from);
  headingPitch(f->target_to, to.direction.normalized(), &f->heading_to, &f->pitch_to);

  const double rho = flight_rho, rho2 = rho * rho;
  if (f->u1 < 1e-6 * std::max(f->w0, f->w1)) {
    f->zoom_only = true;
    f->length = std::abs(std::log(f->w1 / f->w0)) / rho;
  } else {
    const double b0 = (f->w1 * f->w1 - f->w0 * f->w0 + rho2 * rho2 * f->u1 * f->u1) / (2 * f->w0 * rho2 * f->u1);
    const double b1 = (f->w1 * f->w1 - f->w0 * f->w0 - rho2 * rho2 * f->u1 * f->u1) / (2 * f->w1 * rho2 * f->u1);
    f->r0 = -std::asinh(b0);  // ln(sqrt(b0^2 + 1) - b0)
    f->length = (-std::asinh(b1) - f->r0) / rho;
  }
  // A change of heading or pitch alone still takes a moment.
  const double turn = std::max(std::abs(f->pitch_to - f->pitch_from),
                               std::abs(std::remainder(f->heading_to - f->heading_from, 2 * std::numbers::pi)));
  f->duration_s = std::min(flight_max_seconds, flight_seconds_per_unit * std::max(f->length, turn));
}

namespace {

// Where the curve is at t: the share of the way along the ground, and the
// picture's width there.
void curveAt(const flight_t& f, double t_s, double* along, double* width) {
  const double rho = flight_rho;
  const double x = std::clamp(t_s / f.duration_s, 0.0, 1.0);
  const double s = f.length * ease(x);
  if (f.zoom_only) {
    *along = f.length > 0 ? s / f.length : x;
    *width = f.w0 * std::exp((f.w1 >= f.w0 ? 1 : -1) * rho * s);
  } else {
    const double u = f.w0 / (rho * rho) * (std::cosh(f.r0) * std::tanh(rho * s + f.r0) - std::sinh(f.r0));
    *along = std::clamp(u / f.u1, 0.0, 1.0);
    *width = f.w0 * std::cosh(f.r0) / std::cosh(rho * s + f.r0);
  }
}

}  // namespace

double flightProgress(const flight_t& f, double t_s) {
  if (t_s <= 0) return 0;
  if (t_s >= f.duration_s) return 1;
  double along, width;
  curveAt(f, t_s, &along, &width);
  return along;
}

camera_pose_t flightPoseAt(const flight_t& f, double t_s) {
  if (t_s <= 0) return f.from;
  if (t_s >= f.duration_s) return f.to;
  double along, width;
  curveAt(f, t_s, &along, &width);
  // The point looked at, on the great circle, its height between the two.
  const Eigen::Quaterniond turn = Eigen::Quaterniond::Identity().slerp(
      along, Eigen::Quaterniond::FromTwoVectors(f.target_from, f.target_to));
  const double radius = f.target_from.norm() + along * (f.target_to.norm() - f.target_from.norm());
  const Eigen::Vector3d target = (turn * f.target_from).normalized() * radius;
  const double heading =
      f.heading_from + along * std::remainder(f.heading_to - f.heading_from, 2 * std::numbers::pi);
  const double pitch = f.pitch_from + along * (f.pitch_to - f.pitch_from);
  const Eigen::Vector3d dir = directionAt(target, heading, pitch);
  const double distance = width / (2 * std::tan(static_cast<double>(camera_fov_rad) / 2));
  return {target - distance * dir, dir};
}

camera_pose_t advanceFlight(flight_t* f, double dt_s) {
  f->elapsed_s += std::max(dt_s, 0.0);
  const camera_pose_t pose = flightPoseAt(*f, f->elapsed_s);
  if (f->elapsed_s >= f->duration_s) f->active = false;
  return pose;
}

void stopFlight(flight_t* f) { f->active = false; }
