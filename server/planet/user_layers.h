// The user's relief and imagery layers (--relief, --imagery) over the
// built-in planet. A layer covers only its footprint; inside, its data wins
// where it has valid pixels, fading into the layers below over a few of its
// own pixels at its edges and around its nodata. Each node reads the
// windows it needs at the resolution it needs (raster_layer.h).
#pragma once

#include <string>
#include <vector>

#include <Eigen/Core>

#include "planet/fractal_detail.h"
#include "planet/raster_window.h"
#include "planet/terrain.h"

// Opens the user's files, each list bottom to top; false with "PATH: reason"
// for the first bad one. Reads metadata only.
bool openUserLayers(const std::vector<std::string>& relief, const std::vector<std::string>& imagery,
                    terrain_t* t, std::string* error);

// Whether a layer reaching into the box has pixels finer than the box's
// texels: then the node has children even over the sea, so that the layer
// shows at its own resolution. Metadata only (a layer that failed to read
// still counts), so the tree never changes while serving.
bool layersCallForChildren(const terrain_t& t, const geo_box_t& box);

// One layer's pixels around a node.
struct layer_window_t {
  raster_window_t window;
  int first_octave = 0;     // relief: fractal detail only below the layer's resolution
  float shade_weight = 0;   // imagery: hillshading only below the layer's resolution
};

// The relief layers' windows for a node's height grids: the box and one
// shading cell around it, at the shading grid's spacing, so that the mesh
// grid and the shading grid read the same pixels.
std::vector<layer_window_t> reliefWindows(const terrain_t& t, const geo_box_t& box);

// The height at a point with the relief layers blended over `height` (the
// built-in terrain's height there). `unit` is the point's unit vector,
// `octaves` the level's detail octaves.
double blendRelief(const std::vector<layer_window_t>& windows, double lat, double lon, double height,
                   const Eigen::Vector3d& unit, int octaves, detail_cache_t& cache);

// Paints the imagery layers over a node's texture (texture_size^2 RGB, first
// row north). `shades` is the hillshading on the (n + 1)^2 shading grid
// (row 0 south); a layer takes it only where the node's texels are finer
// than its pixels: real imagery carries its own light.
void paintImagery(const terrain_t& t, const geo_box_t& box, const std::vector<float>& shades, int n,
                  uint8_t* rgb);
