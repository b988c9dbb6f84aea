// Deterministic fractal detail below the data's resolution: value noise on
// the unit sphere, summed over octaves that halve in wavelength. A function
// of position alone, so every node, level and thread computes the same value
// at the same point.
#pragma once

#include <climits>
#include <cstdint>

#include <Eigen/Core>

#include "rocktreed_settings.h"

// Number of detail octaves (8 km wavelength, halving) that a node of this
// level can show; nodes of one level all use the same set.
int detailOctaves(int level);

// Fractal detail in [-1, 1] at a unit vector, from `octaves` octaves.
double detailNoise(const Eigen::Vector3d& unit, int octaves);

// The corners of the last noise cell of each octave. Neighbouring samples of
// a grid mostly fall into the same cell of the coarser octaves, so a grid
// walk that keeps one of these reuses them.
struct noise_cell_t {
  int64_t x = INT64_MIN, y = 0, z = 0;
  double corner[8];
};
struct detail_cache_t {
  noise_cell_t cells[detail_max_octaves];
};

// detailNoise, reusing the cells of the previous call with the same cache;
// from `first_octave` on only (data finer than the first octaves replaces
// them), with the same amplitudes.
double detailNoiseCached(const Eigen::Vector3d& unit, int octaves, detail_cache_t& cache,
                         int first_octave = 0);

// Lowest and highest value detailNoiseCached(.., octaves, .., first_octave)
// can take within `chord` (straight-line distance) of the unit vector
// `centre`: each octave is its value at the centre plus or minus its
// steepest slope times the distance, never beyond [-1, 1]. Tight where the
// octave's wavelength is long against the distance, the amplitude where not.
void detailRange(const Eigen::Vector3d& centre, double chord, int octaves, int first_octave, double* lo,
                 double* hi);

// The first octave whose wavelength is below a resolution in metres: detail
// starts where the data ends.
int firstOctaveBelow(double metres);
