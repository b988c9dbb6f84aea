// A finer base image over the built-in one: kstars-data's geomap.jpg, a
// Blue Marble with sea-floor shading at 4 minutes a pixel (2.6 times finer
// than the built-in 2048x1024), which covers 83.33 S to 83.33 N only. Inside
// its extent it replaces the built-in image, fading into it over the last
// degrees towards the poles, so that no seam shows; beyond, the built-in
// image stays.
#pragma once

#include <string>

#include "planet/terrain.h"

// Reads FILE (three 8-bit bands spanning default_fine_imagery_extent) and
// replaces t->image with the blend at the finer image's resolution. False
// with "FILE: reason" (the terrain unchanged) when it is missing or is not
// such an image.
bool blendFineImage(const std::string& path, terrain_t* t, std::string* error);
