// The free-flying camera: its state between frames and the per-frame update
// from keys, mouse motion and frame time. No SDL and no GL here, so that the
// flight rules run in tests with made-up input.
#pragma once

#include <string>

#include <Eigen/Core>

#include "viewer_settings.h"
#include "view/view_math.h"

struct camera_t {
  Eigen::Vector3d eye;        // metres, planet frame
  Eigen::Vector3d direction;  // unit length after the first update
  double ms;                  // frame time since the last position line
  bool initialised;           // set on the first frame the planet is known
};

// One frame's input, sampled by the shell: each movement key 0 or 1.
struct camera_input_t {
  int key_w, key_s, key_a, key_d, key_q, key_e;
  bool shift;  // either Shift key: movement times 5
  int mouse_x, mouse_y;  // relative motion since the last frame
};

// What the later stages of the frame need from the camera.
struct camera_frame_t {
  Eigen::Vector3d up;  // local vertical before this frame's move
  double altitude;     // before this frame's move
  double near, far;
  Eigen::Matrix4d projection;
  Eigen::Matrix4d view;
  Eigen::Matrix4d viewprojection;
  frustum_planes_t frustum_planes;
};

// 10 km above the start point, looking along the start direction.
void initCamera(camera_t& cam, float planet_radius);

// Clipping planes for an altitude: far at the horizon of the sphere, near 50 m
// close in (half the altitude once the horizon is past 370 km), both kept
// ordered so that the projection stays valid even below the sphere.
void clipPlanes(double altitude, float planet_radius, double* near, double* far);

// Turns, moves and builds the frame's matrices. Returns false, touching
// nothing, when the drawable is empty: a zero width or height has no aspect
// ratio, and the frame then skips every stage after its set-up.
bool updateCamera(camera_t& cam, const camera_input_t& in, double delta_time_ms,
                  float planet_radius, int width, int height, camera_frame_t* out);

// "pos: x y z, dir: x y z" with its newline: the eye and the view direction.
std::string positionLine(const camera_t& cam);

// Accumulates frame time; true (and restarts from 0) once more than 2000 ms
// have gathered. Drives the position and the statistics lines.
bool periodicLineDue(double* ms, double delta_time_ms);
