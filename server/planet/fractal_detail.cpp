#include "planet/fractal_detail.h"

#include <cmath>
#include <numbers>

namespace {

inline uint64_t mix(uint64_t h) {
  h ^= h >> 31;
  h *= 0x7FB5D329728EA185ULL;
  h ^= h >> 27;
  h *= 0x81DADEF4BC2DD44DULL;
  h ^= h >> 33;
  return h;
}

inline double lattice(int64_t x, int64_t y, int64_t z, uint64_t seed) {
  const uint64_t h = mix(static_cast<uint64_t>(x) * 0x9E3779B97F4A7C15ULL ^
                         static_cast<uint64_t>(y) * 0xC2B2AE3D27D4EB4FULL ^
                         static_cast<uint64_t>(z) * 0x165667B19E3779F9ULL ^ seed);
  return static_cast<double>(h >> 11) * (2.0 / 9007199254740992.0) - 1.0;
}

inline double smooth(double t) { return t * t * t * (t * (t * 6 - 15) + 10); }

// Value noise on the integer lattice, C2 between cells.
double valueNoise(double x, double y, double z, uint64_t seed, noise_cell_t& cell) {
  const double fx = std::floor(x), fy = std::floor(y), fz = std::floor(z);
  const int64_t ix = static_cast<int64_t>(fx), iy = static_cast<int64_t>(fy),
                iz = static_cast<int64_t>(fz);
  if (ix != cell.x || iy != cell.y || iz != cell.z) {
    cell.x = ix, cell.y = iy, cell.z = iz;
    for (int k = 0; k < 8; ++k) cell.corner[k] = lattice(ix + (k & 1), iy + ((k >> 1) & 1), iz + (k >> 2), seed);
  }
  const double tx = smooth(x - fx), ty = smooth(y - fy), tz = smooth(z - fz);
  const double* c = cell.corner;
  const double x00 = c[0] + (c[1] - c[0]) * tx, x10 = c[2] + (c[3] - c[2]) * tx;
  const double x01 = c[4] + (c[5] - c[4]) * tx, x11 = c[6] + (c[7] - c[6]) * tx;
  const double y0 = x00 + (x10 - x00) * ty, y1 = x01 + (x11 - x01) * ty;
  return y0 + (y1 - y0) * tz;
}

// The sum of every octave's amplitude: what a sum of octaves is divided by,
// so that adding octaves never rescales the coarser ones (a level and its
// children agree on the octaves they share).
double fullAmplitude() {
  static const double full = [] {
    double sum = 0, a = 1;
    for (int k = 0; k < detail_max_octaves; ++k, a *= detail_gain) sum += a;
    return sum;
  }();
  return full;
}

double octaveScale(int k) { return planet_radius * std::ldexp(1.0, k) / detail_first_wavelength; }

}  // namespace

int detailOctaves(int level) {
  // Grid spacing of a node's shading grid along latitude.
  const double span_deg = level <= 2 ? 90.0 : 90.0 / std::ldexp(1.0, level - 2);
  const double spacing = span_deg * planet_radius * std::numbers::pi / 180.0 / shading_cells;
  int k = 0;
  while (k < detail_max_octaves && detail_first_wavelength / std::ldexp(1.0, k) >= 4 * spacing) ++k;
  return k;
}

int firstOctaveBelow(double metres) {
  int k = 0;
  while (k < detail_max_octaves && detail_first_wavelength / std::ldexp(1.0, k) >= metres) ++k;
  return k;
}

double detailNoiseCached(const Eigen::Vector3d& unit, int octaves, detail_cache_t& cache,
                         int first_octave) {
  double sum = 0, amp = 1;
  for (int k = 0; k < octaves; ++k) {
    if (k >= first_octave) {
      const double scale = octaveScale(k);
      sum += amp * valueNoise(unit.x() * scale, unit.y() * scale, unit.z() * scale, 0x5EED + k,
                              cache.cells[k]);
    }
    amp *= detail_gain;
  }
  return sum / fullAmplitude();
}

void detailRange(const Eigen::Vector3d& centre, double chord, int octaves, int first_octave, double* lo,
                 double* hi) {
  // Within a cell, d(noise)/dx is smooth'(t) <= 30/16 times a weighted mean
  // of corner differences (each < 2), and the noise is C1 across cells: the
  // noise changes by at most 3.75 per lattice unit along each axis, so by
  // 3.75 * sqrt(3) times a straight-line distance in lattice units.
  const double slope = 3.75 * std::numbers::sqrt3;
  double l = 0, h = 0, amp = 1;
  detail_cache_t cache;
  for (int k = 0; k < octaves; ++k, amp *= detail_gain) {
    if (k < first_octave) continue;
    const double scale = octaveScale(k);
    const double spread = slope * chord * scale;
    double v_lo = -1, v_hi = 1;
    if (spread < 2) {
      const double v = valueNoise(centre.x() * scale, centre.y() * scale, centre.z() * scale, 0x5EED + k,
                                  cache.cells[k]);
      v_lo = std::max(-1.0, v - spread);
      v_hi = std::min(1.0, v + spread);
    }
    l += amp * v_lo;
    h += amp * v_hi;
  }
  *lo = l / fullAmplitude();
  *hi = h / fullAmplitude();
}

double detailNoise(const Eigen::Vector3d& unit, int octaves) {
  detail_cache_t cache;
  return detailNoiseCached(unit, octaves, cache);
}
