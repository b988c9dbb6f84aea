// Colours of a node's texture with a sharp shore: the GSHHG coverage of each
// texel (land_water_mask.h) mixes a land colour, hillshaded, a sea colour,
// lighter over shallow water, and a lake colour. The land and sea colours
// come from the base image's own land and sea pixels, each spread over the
// other's, so the image's smear of sea over a coast (and land over the sea)
// disappears at the vector shore.
#pragma once

#include <cstdint>
#include <vector>

#include "planet/terrain.h"

// Splits the built-in image into its land and sea colours (terrain_t's
// land_image and sea_image), once at start-up, on a thread of its own:
// shoreTexture waits for shore_colours_ready.
void prepareShoreColours(terrain_t* t);

// The RGB texture (texture_size^2, first row north) of a node over the
// built-in planet. `shades` is the hillshading on the (n + 1)^2 grid (row 0
// south) and `heights` the heightGrid(.., n, 1) it came from.
std::vector<uint8_t> shoreTexture(const terrain_t& t, const geo_box_t& box, int level,
                                  const std::vector<float>& shades, const std::vector<double>& heights, int n);
