// The sky and the haze of --atmosphere, GL-free: single scattering of
// sunlight in a shell of air over the sphere (Rayleigh for the blue,
// aerosols for the glow at the limb), the sun straight above the camera so
// that the ground one looks at is always lit. The sky's fragment shader
// (gl/picture_program.cpp) looks its colour up in skyTable, computed here
// from skyRadiance, as skyTableCoordinate and skyFromTable do; the
// ground's vertex shader computes hazeTransmittance the same way, step for
// step, from the same settings passed as uniforms, and hazeColour.
#pragma once

#include <vector>

#include <Eigen/Core>

#include "viewer_settings.h"

// Light scattered towards the eye along the ray from eye (planet-centred,
// metres) in the unit direction dir, up to the ground or out of the air;
// linear, before the tone curve. Black when the ray misses the air.
Eigen::Vector3d skyRadiance(const Eigen::Vector3d& eye, const Eigen::Vector3d& dir, const Eigen::Vector3d& sun,
                            double planet_radius);

// The tone curve, 1 - exp(-radiance), per channel: bright skies saturate
// smoothly instead of clipping.
Eigen::Vector3d toneMap(const Eigen::Vector3d& radiance);

// What survives of the ground's colour between the eye and a point of the
// ground, per channel: through an exponential atmosphere along a straight
// line (flat layers between the two heights, which the vertex shader can
// afford for every vertex).
Eigen::Vector3d hazeTransmittance(const Eigen::Vector3d& eye, const Eigen::Vector3d& point, double planet_radius);

// The colour distant ground fades to: deep haze lit from above, seen sideways.
Eigen::Vector3d hazeColour();

// The sun's direction for a camera at eye: straight above it.
Eigen::Vector3d sunDirection(const Eigen::Vector3d& eye);

// With the sun straight above the eye the sky is the same all round the
// vertical: its colour depends on the eye's height and on the cosine of the
// ray from the vertical alone. So skyRadiance runs once per entry of a
// table (sky_table_size entries) when the eye's height changes, not once
// per pixel: the sky's fragment shader does a square root and a lookup.

// The cosine from the vertical of the ray to the planet's horizon; 0 at or
// below the ground.
double skyHorizonCosine(double eye_radius, double planet_radius);

// Where a ray of cosine mu from the vertical lies in the table, in [0, 1]:
// the horizon in the middle, entries crowding about it with the square
// root of the distance in cosine, since the limb is thin seen from far.
double skyTableCoordinate(double mu, double mu_horizon);

// The table's tone-mapped colours, entry k at coordinate (k + 0.5) / n.
std::vector<Eigen::Vector3f> skyTable(const Eigen::Vector3d& eye, double planet_radius, int n);

// The table read at coordinate u as GL's linear filter with clamped edges
// reads it.
Eigen::Vector3d skyFromTable(const std::vector<Eigen::Vector3f>& table, double u);
