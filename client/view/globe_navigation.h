// Globe navigation: the planet handled like a globe under the mouse. A left
// drag turns the planet about its centre so that the grabbed point stays
// under the cursor; the wheel moves the eye towards the point under the
// cursor, which stays there; a right drag tilts and turns about the point at
// the view's centre; a released drag glides on and slows down; keys move
// at a speed that follows the height above the ground. All of it on the
// camera's eye and direction, without SDL or GL; the app turns events into
// these calls and picks the points with view/picking.
#pragma once

#include <vector>

#include <Eigen/Core>
#include <Eigen/Geometry>

#include "view/camera.h"
#include "view/flight_path.h"
#include "view/picking.h"

// The picture a camera gives on a drawable of that size.
screen_view_t screenOf(const camera_t& cam, int width, int height);

struct globe_drag_t {
  bool active = false;
  Eigen::Vector3d grabbed{0, 0, 0};  // the surface point held under the cursor
  double start_s = 0;
  // The turns of the last moments of the drag, for the glide.
  struct step_t {
    double t_s;
    Eigen::Quaterniond turn;
  };
  std::vector<step_t> steps;
};

struct globe_glide_t {
  bool active = false;
  Eigen::Vector3d axis{0, 0, 1};  // through the planet's centre
  double rate = 0;                // radians per second at the release
  double elapsed_s = 0;
};

// Holds the surface point `grabbed` (picked under the cursor) from now on.
void startDrag(globe_drag_t* drag, const Eigen::Vector3d& grabbed, double now_s);

// Turns the camera about the planet's centre so that the grabbed point
// projects to the picture point (x, y). Where the cursor has left the
// planet, the point goes to the limb in the cursor's direction.
void dragTo(globe_drag_t* drag, camera_t& cam, int width, int height, double x, double y, double now_s);

// Ends the drag; the glide carries on with the turn rate of the drag's last
// globe_inertia_window_s (none when the cursor stood still before).
void releaseDrag(globe_drag_t* drag, globe_glide_t* glide, double now_s);

// Moves the glide on by dt: the rate decays as exp(-t / tau) and the camera
// turns by its integral over the step, so that any split of the same time
// gives the same pose; it stops five time constants after the release.
// False (and inactive) once it has stopped.
bool advanceGlide(globe_glide_t* glide, camera_t& cam, double dt_s);

// `notches` of the wheel (positive: in) towards `point`, the surface under
// the picture point (x, y), which stays under it. Zooming out stops at
// globe_max_altitude.
void zoomTowards(camera_t& cam, const Eigen::Vector3d& point, double notches, int width, int height, double x,
                 double y, double planet_radius);

// A right drag of (dx, dy) pixels: turns the heading about the vertical of
// `centre` (the surface at the view's centre) and tilts the view about it,
// up to globe_min_elevation_deg above that point's horizon and down to the
// camera's pitch limit. Without a centre (the view meets nothing), the view
// turns in place.
void turnAbout(camera_t& cam, const Eigen::Vector3d* centre, double dx, double dy);

// Where a double click on `point` flies: a third of the way there, looking
// at it.
camera_pose_t approachPose(const camera_t& cam, const Eigen::Vector3d& point);

// The movement keys in globe mode: forwards, back and sideways along the
// ground at the current heading, down and up, by globe_key_altitudes_per_s
// times `height` (above the ground) per second.
void moveWithKeys(camera_t& cam, const camera_input_t& in, double height, double dt_s);

// Keeps the view direction within the camera's pitch limit, as the free
// camera's mouse does: lookAt needs the view off the vertical.
void holdPitch(camera_t& cam);
