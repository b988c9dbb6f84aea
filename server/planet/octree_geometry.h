// The geographic octree: which paths name nodes, the latitude and longitude
// box of each, and the planet's Cartesian frame (x towards 0 N 0 E, z
// towards the north pole, metres). Digits follow the viewer's
// latLonToOctant: level 1 picks the hemisphere and east/west half, level 2
// the 90-degree quarter of longitude, every later level halves both.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include <Eigen/Core>

#include "rocktreed_settings.h"

constexpr int bulk_depth = 4;  // a bulk lists the nodes of four levels (the protocol's)

struct geo_box_t {
  double s, n, w, e;  // degrees
};

// Box of a node path, or false when a digit cannot occur at its level
// (4 to 7 anywhere, or a level-2 digit of the other hemisphere). The empty
// path is the whole globe.
bool nodeBox(std::string_view path, geo_box_t* box);

struct child_quadrant_t {
  char digit;
  geo_box_t box;
};
// The children of a node at the given level (0 = the root), in digit order:
// four quadrants, except for the root and level 1 whose children split it
// differently.
std::vector<child_quadrant_t> childQuadrants(const geo_box_t& box, int level);

// Digit of the child of a node (at `level`, with `box`) that holds a point.
char childDigit(const geo_box_t& box, int level, double lat, double lon);

// Path of the node at `level` over a point (latitude, longitude in degrees),
// digit by digit from the root; its box in *box when given.
std::string nodePathOver(double lat, double lon, int level, geo_box_t* box = nullptr);

// Unit vector of a latitude and longitude (degrees).
Eigen::Vector3d unitVector(double lat, double lon);

// Lowest and highest value of axes.col(k).dot(unitVector(lat, lon)) over a
// box, for each k: the exact extremes, found among the corners, the points
// of its edges where the derivative along the edge vanishes, and the
// directions +axis and -axis.
void unitDotRange(const geo_box_t& box, const Eigen::Matrix3d& axes, Eigen::Vector3d* lo, Eigen::Vector3d* hi);

// Metres per texel of a node's 256-texel texture along its longer side.
double nominalMetersPerTexel(const geo_box_t& box);

// Whether a path of length >= 1 may head a bulk (length multiple of 4).
inline bool isBulkLength(size_t len) { return len % bulk_depth == 0; }
