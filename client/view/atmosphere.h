// The sky and the haze of --atmosphere, GL-free: single scattering of
// sunlight in a shell of air over the sphere (Rayleigh for the blue,
// aerosols for the glow at the limb), the sun straight above the camera so
// that the ground one looks at is always lit. The sky's fragment shader
// (gl/picture_program.cpp) computes skyRadiance the same way, step for
// step, from the same settings passed as uniforms; the ground's haze is
// hazeTransmittance per vertex and hazeColour.
#pragma once

#include <Eigen/Core>

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
