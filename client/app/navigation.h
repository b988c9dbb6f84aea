// How the camera is moved besides the free camera's keys and mouse: globe
// navigation (--navigation globe, N switches) from SDL's mouse events,
// flights to places, the ground kept under the eye in both modes, the
// flight's destination handed to the request scheduler, and the surface
// under the cursor for the status overlay. The rules are GL-free in view/
// (picking, globe_navigation, flight_path, ground_clearance); this file
// turns events into them.
#pragma once

#include <cstdint>
#include <vector>

#include <SDL.h>

#include "startup/command_line.h"
#include "view/camera.h"
#include "view/flight_path.h"
#include "view/selection.h"
#include "view/status_lines.h"

// Before the first frame: the mode asked for, the mouse captured or not.
void startNavigation(const viewer_options_t& options);

// Every event of the frame loop, before the user interface's: N, the mouse
// in globe mode; any key, click or wheel ends a flight and a glide.
void handleNavigationEvent(const SDL_Event& event);

// A flight to this pose starts with the next frame (the place keys, and
// what else wants to fly somewhere).
void flyTo(const geo_pose_t& pose);
// A flight asked for or under way: a view seen on the way is not the one
// that settling (--exit-when-settled, --screenshot-when-settled) waits for.
bool flightUnderway();

// In drawPlanet before updateCamera: a flight or the globe's moves set the
// camera; the input that the free camera must not see then is cleared.
// draw_list is the last frame's (its nodes are still there: the release
// comes after the walk), for picking.
void navigateCamera(camera_t& cam, camera_input_t* in, const std::vector<draw_item_t>& draw_list,
                    const rocktree_t* planet, int width, int height, double delta_time_ms);

// In drawPlanet after updateCamera: true when the eye had to be lifted
// above the ground (the frame's matrices must then be built again).
bool keepCameraAboveGround(camera_t& cam, const rocktree_t* planet, double delta_time_ms);

// In drawPlanet after the frame's walk: while flying, the destination's
// view is walked too, its wishes ranked after the frame's.
void prefetchDestination(bulk_t* root, int64_t now_ms, selection_t* sel, float planet_radius, int width,
                         int height);

// The surface under the cursor (the view's centre while the free camera
// holds the mouse) into the status.
void pointAtCursor(status_t* status, const camera_t& cam, const std::vector<draw_item_t>& draw_list,
                   float planet_radius, int width, int height);
