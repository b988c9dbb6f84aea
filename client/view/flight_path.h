// Flights between two camera poses on the smooth zoom-and-pan path of van
// Wijk and Nuij ("Smooth and efficient zooming and panning", 2003): the point
// looked at travels the great circle between the two, the distance to it
// rises and falls so that the picture's change per second stays even, and
// heading and pitch turn along the way. The pose is a function of the time
// since the start alone, so the path is the same at any frame rate. GL-free.
#pragma once

#include <Eigen/Core>

#include "viewer_settings.h"

struct camera_pose_t {
  Eigen::Vector3d eye{0, 0, 0};        // metres, planet frame
  Eigen::Vector3d direction{0, 0, 0};  // unit length
};

struct flight_t {
  bool active = false;
  double elapsed_s = 0;
  double duration_s = 0;  // at most flight_max_seconds
  camera_pose_t from, to;
  // The path: points looked at (on each pose's view ray), view widths
  // there, the great-circle length between them, and the curve's constants.
  Eigen::Vector3d target_from{0, 0, 0}, target_to{0, 0, 0};
  double w0 = 0, w1 = 0, u1 = 0;
  double r0 = 0, length = 0;  // length: S, in units of the curve
  bool zoom_only = false;     // the targets (nearly) coincide: width alone changes
  // Each end's view direction in the local frame (east, north, up) of its
  // target.
  double heading_from = 0, pitch_from = 0, heading_to = 0, pitch_to = 0;
};

// Starts a flight from one pose to the other over a planet of that radius.
// A flight of length zero ends at once (the next advance gives `to`).
void startFlight(flight_t* flight, const camera_pose_t& from, const camera_pose_t& to, double planet_radius);

// The pose t seconds after the start: `from` exactly at 0, `to` exactly from
// the flight's duration on.
camera_pose_t flightPoseAt(const flight_t& flight, double t_s);

// The share of the way along the ground (the great circle between the
// points looked at) t seconds after the start: 0 to 1, never going back.
double flightProgress(const flight_t& flight, double t_s);

// Moves the flight on by dt and returns its pose; the flight ends (inactive)
// once it has arrived, on `to` exactly.
camera_pose_t advanceFlight(flight_t* flight, double dt_s);

// Ends the flight where it is: the camera keeps the last pose it was given.
void stopFlight(flight_t* flight);
