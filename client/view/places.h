// The built-in places: keys 1 to 9 and --place NAME fly the camera there.
#pragma once

#include <array>
#include <string_view>

#include "view/geo_pose.h"

struct place_t {
  const char* name;   // for --place: lower case, no spaces
  const char* title;  // for people: help text and the status overlay
  geo_pose_t pose;
};

// In key order: places[0] is key 1.
extern const std::array<place_t, 9> places;

// The place of that name, or null.
const place_t* findPlace(std::string_view name);
