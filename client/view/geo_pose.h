// Where the camera is, in the terms a person uses: latitude, longitude,
// altitude above the sphere, heading and pitch; to the camera and back.
#pragma once

#include <Eigen/Core>

#include "view/camera.h"

struct geo_pose_t {
  double lat_deg;      // north positive, -90 to 90
  double lon_deg;      // east positive
  double altitude_m;   // above the planet's sphere
  double heading_deg;  // clockwise from north
  double pitch_deg;    // above the horizon; negative looks down
};

// Puts the eye at the pose and turns the view to its heading and pitch. The
// pitch is held to what the mouse can reach (camera_pitch_limit): the view
// never looks straight up or down, where the heading would be lost. The
// frame time of the position line and `initialised` are left as they are.
void placeCamera(camera_t& cam, const geo_pose_t& pose, float planet_radius);

// The pose of an eye and a view direction (planet frame, metres); at a pole
// the longitude is 0 and the heading is measured from the 0 meridian's north.
geo_pose_t poseOf(const Eigen::Vector3d& eye, const Eigen::Vector3d& direction, float planet_radius);
