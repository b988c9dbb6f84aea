// Finding places and naming them on the map: the search line (/), --go, and
// the place labels (L, --labels). The search and the choice of labels are
// GL-free (view/place_search, view/place_labels); this is the part that
// takes keys and text from SDL and draws through gl/place_label_drawing.
// A chosen result goes to goToPlace (app/user_interface).
#pragma once

#include <string>
#include <vector>

#include <SDL.h>

#include "startup/command_line.h"
#include "view/camera.h"

// Before any window: opens the place index and looks up --go. False, after
// one line on standard error, when --go finds nothing or search is
// unavailable; the viewer then exits with status 2.
bool findStartPlace(const viewer_options_t& options);

// With the GL context current: labels on or off as asked, and the place
// --go found handed to goToPlace.
void startPlaceFinder(const viewer_options_t& options);

// True while the search line is open: the keys are its own (Escape closes
// it instead of quitting, letters do not fly the camera).
bool searchLineOpen();

// An event of the frame loop; true when the search line or L took it.
bool handlePlaceFinderEvent(const SDL_Event& event);

// The search line and its suggestions, for the status overlay; none while closed.
std::vector<std::string> searchLines();

// After the planet is drawn: the labels of this view.
void drawPlaceFinder(const camera_t& cam, float planet_radius, int width, int height);

void stopPlaceFinder();
