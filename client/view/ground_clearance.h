// Never under the ground: the surface under the eye, from the finest mesh
// loaded there (any node downloaded, drawn this frame or only kept), else
// the sphere raised by the highest relief the planet announces; and the rule
// that keeps the eye above it. GL-free: hand-built trees drive it.
#pragma once

#include <Eigen/Core>

#include "view/camera.h"
#include "tree/tree.h"

struct ground_t {
  bool from_mesh;  // a loaded mesh; else the sphere plus the highest relief
  int level;       // the path length of that mesh's node (0 without one)
  double radius;   // distance of the surface from the planet's centre, metres
};

// The surface on the vertical through `eye`. Reads downloaded bulks and
// nodes only (main thread): the boxes of each downloaded bulk's nodes are
// tested against the vertical first, and only child bulks whose head meets
// it are entered.
ground_t groundUnder(const bulk_t* root, const Eigen::Vector3d& eye, double planet_radius, double max_relief);

// The relief the planet announces, held to what a planet can have (a
// hostile planetoid must not send the eye to orbit).
double announcedRelief(const rocktree_t* planet);

// Keeps the eye above the ground after a move from previous_eye: at least
// ground_clearance_metres above it, plus ground_clearance_seconds of the
// descent's speed (metres a second, as the caller measures it). Under a loaded mesh the eye is lifted to that height; over
// ground not loaded yet it is only kept from going lower than it was (a
// start or a place may be below the highest relief, and must not jump up
// before the ground is known). True when the eye was moved.
bool keepAboveGround(camera_t& cam, const Eigen::Vector3d& previous_eye, const ground_t& ground, double descent_m_s);
