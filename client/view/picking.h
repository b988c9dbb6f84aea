// The surface under a pixel: the ray through it, cast against the triangles
// of the meshes drawn this frame (planet frame, octants hidden as the drawing
// hides them), and against the planet's sphere where nothing drawn is hit.
// Meshes keep their positions and indices on the CPU after the upload (the
// memory budget counts them, see nodeResidentBytes), so no copy is made.
#pragma once

#include <cstdint>
#include <vector>

#include <Eigen/Core>

#include "view/selection.h"

// What the picture shows: the camera of the frame and the drawable's size.
// The camera's up is the local vertical at the eye, as the frame's view
// matrix takes it.
struct screen_view_t {
  Eigen::Vector3d eye;
  Eigen::Vector3d direction;
  int width, height;
};

struct ray_t {
  Eigen::Vector3d origin;
  Eigen::Vector3d direction;  // unit length
};

// The ray through the picture point (x, y): pixels from the top left corner,
// x to the right, y down, the centre of the top left pixel at (0.5, 0.5).
ray_t pixelRay(const screen_view_t& view, double x, double y);

// Where a point lands in the picture, in the same coordinates; false when it
// is not in front of the eye.
bool projectToPixel(const screen_view_t& view, const Eigen::Vector3d& point, double* x, double* y);

// The nearest distance along the ray below *t at which it meets one of the
// node's triangles whose octants are not in mask; *t is lowered to it. The
// node must be downloaded. Its quantisation box is tested first: a ray that
// misses it costs one inverse and one box test.
bool rayHitsNode(const ray_t& ray, const node_t& node, uint8_t mask, double* t);

// The nearest distance in front of the origin at which the ray meets the
// sphere (from outside, or from inside going out).
bool rayHitsSphere(const ray_t& ray, double radius, double* t);

enum pick_source {
  pick_source_none,    // the ray meets neither the meshes nor the sphere
  pick_source_mesh,    // a triangle of a drawn mesh
  pick_source_sphere,  // the sphere, where no drawn mesh is hit
};

struct pick_t {
  pick_source source;
  Eigen::Vector3d point;  // planet frame
  double distance;        // from the ray's origin
};

// The nearest hit on the frame's draw list, else on the sphere.
pick_t pickSurface(const ray_t& ray, const std::vector<draw_item_t>& draw_list, double sphere_radius);
