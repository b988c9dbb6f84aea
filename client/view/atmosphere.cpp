#include "view/atmosphere.h"

#include <algorithm>
#include <cmath>

#include <Eigen/Geometry>

#include "viewer_settings.h"

namespace {

constexpr double pi = 3.14159265358979323846;

Eigen::Vector3d rayleighBeta() {
  return {rayleigh_scattering_per_m[0], rayleigh_scattering_per_m[1], rayleigh_scattering_per_m[2]};
}
// Aerosols absorb a little of what they do not scatter.
constexpr double mie_extinction_per_m = mie_scattering_per_m / 0.9;

double rayleighPhase(double mu) { return 3.0 / (16.0 * pi) * (1 + mu * mu); }
double miePhase(double mu) {
  const double g = mie_asymmetry;
  return 3.0 / (8.0 * pi) * ((1 - g * g) * (1 + mu * mu)) / ((2 + g * g) * std::pow(1 + g * g - 2 * g * mu, 1.5));
}

// Distances along the ray to where it enters and leaves the sphere.
bool raySphere(const Eigen::Vector3d& o, const Eigen::Vector3d& d, double r, double* t0, double* t1) {
  const double b = o.dot(d);
  const double c = o.dot(o) - r * r;
  const double disc = b * b - c;
  if (disc < 0) return false;
  const double s = std::sqrt(disc);
  *t0 = -b - s;
  *t1 = -b + s;
  return true;
}

// Air along the ray from a point towards the sun (mu: the cosine of the
// sun's angle from the vertical), in units of the air at the point times
// the scale height: Chapman's function, in Schueler's approximation, for the
// sun above the point's horizon. The point's radius is taken as the
// planet's (at most 1.3 % off inside the air, 0.6 % in the result), so that
// the shader has one square root less per sample.
double chapman(double planet_radius, double scale_height, double mu) {
  const double c = std::sqrt(pi * planet_radius / (2 * scale_height));
  return c / ((c - 1) * std::max(mu, 0.0) + 1);
}

}  // namespace

Eigen::Vector3d skyRadiance(const Eigen::Vector3d& eye, const Eigen::Vector3d& dir, const Eigen::Vector3d& sun,
                            double planet_radius) {
  const double top = planet_radius + atmosphere_height_m;
  double t0 = 0, t1 = 0;
  if (!raySphere(eye, dir, top, &t0, &t1) || t1 <= 0) return Eigen::Vector3d::Zero();
  double g0 = 0, g1 = 0;
  double end = t1;
  if (raySphere(eye, dir, planet_radius, &g0, &g1) && g0 > 0) end = std::min(end, g0);
  const double start = std::max(t0, 0.0);
  if (end <= start) return Eigen::Vector3d::Zero();

  const Eigen::Vector3d beta_r = rayleighBeta();
  // The air is densest where the ray comes closest to the centre: the
  // samples crowd there from both sides (steps growing with the square of
  // their rank), so that a few of them integrate both a ray along the
  // ground and one grazing the limb.
  const double closest = std::clamp(-eye.dot(dir), start, end);
  const double before = closest - start, after = end - closest;
  const int n = sky_view_samples;
  const double n1 = std::floor(n * before / (before + after) + 0.5), n2 = n - n1;
  double depth_r = 0, depth_m = 0;  // air so far along the view, times the scale height's unit
  Eigen::Vector3d sum_r = Eigen::Vector3d::Zero(), sum_m = Eigen::Vector3d::Zero();
  for (int i = 0; i < n; ++i) {
    double a, b;
    if (i < n1) {
      const double k = n1 - 1 - i;
      a = closest - before * ((k + 1) / n1) * ((k + 1) / n1);
      b = closest - before * (k / n1) * (k / n1);
    } else {
      const double k = i - n1;
      a = closest + after * (k / n2) * (k / n2);
      b = closest + after * ((k + 1) / n2) * ((k + 1) / n2);
    }
    const double ds = b - a;
    const Eigen::Vector3d p = eye + dir * ((a + b) / 2);
    const double r = p.norm();
    const double h = r - planet_radius;
    const double density_r = std::exp(-h / rayleigh_scale_height_m);
    const double density_m = std::exp(-h / mie_scale_height_m);
    const double air_r = density_r * ds, air_m = density_m * ds;
    // The sun is above the eye, so the air one sees is on the lit side: a
    // point past the terminator (at most grazing rays from far away) counts
    // as lit at a low sun.
    const double mu_sun = p.dot(sun) / r;
    const double sun_r = density_r * rayleigh_scale_height_m * chapman(planet_radius, rayleigh_scale_height_m, mu_sun);
    const double sun_m = density_m * mie_scale_height_m * chapman(planet_radius, mie_scale_height_m, mu_sun);
    const Eigen::Vector3d tau = beta_r * (depth_r + air_r / 2 + sun_r) +
                                Eigen::Vector3d::Constant(mie_extinction_per_m * (depth_m + air_m / 2 + sun_m));
    const Eigen::Vector3d att = (-tau).array().exp();
    sum_r += att * air_r;
    sum_m += att * air_m;
    depth_r += air_r;
    depth_m += air_m;
  }
  const double mu = dir.dot(sun);
  return sun_intensity * (sum_r.cwiseProduct(beta_r) * rayleighPhase(mu) + sum_m * mie_scattering_per_m * miePhase(mu));
}

Eigen::Vector3d toneMap(const Eigen::Vector3d& radiance) {
  return Eigen::Vector3d::Ones() - (-radiance).array().exp().matrix();
}

Eigen::Vector3d hazeTransmittance(const Eigen::Vector3d& eye, const Eigen::Vector3d& point, double planet_radius) {
  const double length = (point - eye).norm();
  const double h_eye = eye.norm() - planet_radius;
  const double h_point = point.norm() - planet_radius;
  const auto air = [&](double scale_height) {
    const double dh = h_point - h_eye;
    if (std::abs(dh) < 1) return length * std::exp(-h_eye / scale_height);
    return length * scale_height * (std::exp(-h_eye / scale_height) - std::exp(-h_point / scale_height)) / dh;
  };
  const Eigen::Vector3d tau = rayleighBeta() * air(rayleigh_scale_height_m) +
                              Eigen::Vector3d::Constant(mie_extinction_per_m * air(mie_scale_height_m));
  return (-tau).array().exp();
}

Eigen::Vector3d hazeColour() {
  const Eigen::Vector3d beta_r = rayleighBeta();
  Eigen::Vector3d deep;
  for (int c = 0; c < 3; ++c)
    deep[c] = (beta_r[c] * rayleighPhase(0) + mie_scattering_per_m * miePhase(0)) / (beta_r[c] + mie_extinction_per_m);
  return toneMap(sun_intensity * deep);
}

Eigen::Vector3d sunDirection(const Eigen::Vector3d& eye) { return eye.normalized(); }

double skyHorizonCosine(double eye_radius, double planet_radius) {
  if (eye_radius <= planet_radius) return 0;
  const double sine = planet_radius / eye_radius;
  return -std::sqrt(1 - sine * sine);
}

double skyTableCoordinate(double mu, double mu_horizon) {
  const double s = mu - mu_horizon;
  const double span = std::max(s >= 0 ? 1 - mu_horizon : 1 + mu_horizon, 1e-6);
  return 0.5 + 0.5 * (s >= 0 ? 1 : -1) * std::sqrt(std::min(std::abs(s) / span, 1.0));
}

std::vector<Eigen::Vector3f> skyTable(const Eigen::Vector3d& eye, double planet_radius, int n) {
  const double r = eye.norm();
  const double mu_horizon = skyHorizonCosine(r, planet_radius);
  const Eigen::Vector3d up = eye / r;
  // Any direction across the vertical: the sky is the same all round.
  const Eigen::Vector3d across = up.unitOrthogonal();
  const Eigen::Vector3d sun = sunDirection(eye);
  std::vector<Eigen::Vector3f> table(static_cast<size_t>(n));
  for (int k = 0; k < n; ++k) {
    // skyTableCoordinate undone at the entry's centre.
    const double v = 2 * (k + 0.5) / n - 1;
    const double span = std::max(v >= 0 ? 1 - mu_horizon : 1 + mu_horizon, 1e-6);
    const double mu = std::clamp(mu_horizon + (v >= 0 ? 1 : -1) * v * v * span, -1.0, 1.0);
    const Eigen::Vector3d dir = up * mu + across * std::sqrt(1 - mu * mu);
    table[static_cast<size_t>(k)] = toneMap(skyRadiance(eye, dir, sun, planet_radius)).cast<float>();
  }
  return table;
}

Eigen::Vector3d skyFromTable(const std::vector<Eigen::Vector3f>& table, double u) {
  const int n = static_cast<int>(table.size());
  const double x = u * n - 0.5;
  const double below = std::floor(x);
  const double f = x - below;
  const int i0 = std::clamp(static_cast<int>(below), 0, n - 1);
  const int i1 = std::clamp(static_cast<int>(below) + 1, 0, n - 1);
  return (table[static_cast<size_t>(i0)].cast<double>() * (1 - f) + table[static_cast<size_t>(i1)].cast<double>() * f);
}
