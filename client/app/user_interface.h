// What the viewer offers a person besides flying: the start pose and the
// place keys (1 to 9), the status overlay (H), screenshots (F12, and the
// one taken when the view settles) and the exit once settled. The frame
// loop calls in at four points; the logic behind each lives in the GL-free
// layers (view/places, view/status_lines, view/screenshot_file).
#pragma once

#include <SDL.h>

#include "startup/command_line.h"
#include "view/camera.h"
#include "view/selection.h"

// Before the first frame, with the GL context current.
void startUserInterface(const viewer_options_t& options);

// Every event of the frame loop.
void handleUserEvent(const SDL_Event& event);

// In drawPlanet, once the camera exists: a start pose or a place asked for
// since the last frame moves it now.
void applyPendingPose(camera_t& cam, float planet_radius);

// Flies the camera to the pose on the smooth zoom-and-pan path (from the
// next frame on; any key, click or wheel stops it where it is).
void flyToPose(const geo_pose_t& pose);

// In drawPlanet, after the planet is drawn and before the swap.
struct drawn_frame_t {
  const camera_t& cam;
  float planet_radius;
  int nodes_drawn;
  bool unsettled;  // the settle tracker's state after this frame's walk
  int width, height;
  double delta_time_ms;
  const std::vector<draw_item_t>* draw_list;  // the frame's, for the surface under the cursor
};
void finishFrame(const drawn_frame_t& frame);

// Every frame, after drawPlanet: true when the viewer should end, with the
// exit status (0 once settled as asked, 1 when the settled picture could not
// be written, 2 when nothing settled in time).
bool userInterfaceWantsExit(int* status);

// Shows the place at latitude/longitude (degrees) at the centre of the view,
// seen from altitude metres above the sphere, from the south and nearly
// overhead. Search results and --go come here.
// fly: a flight from where the camera is; else the next frame starts there
// (the place --go names, before the planet has been seen).
void goToPlace(double latitude, double longitude, double altitude, bool fly = true);

// At exit, with the GL context still current.
void stopUserInterface();
