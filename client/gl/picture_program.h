// The planet's second pair of shader programs, for the look that options
// turn on: the screen door of the fades (view/fades) and the haze over the
// ground, and the sky behind the planet (view/atmosphere). The plain
// program in renderer.cpp stays the only one of a plain start, so its
// pixels do not change. Render thread only.
#pragma once

#include <vector>

#include <Eigen/Core>
#include <glad/gl.h>

#include "gl/renderer.h"
#include "view/fades.h"

struct picture_program_t {
  bool fades;
  bool atmosphere;
  GLuint program;      // the nodes
  GLuint sky_program;  // with the atmosphere only
  GLint transform_loc;
  GLint eye_from_mesh_loc;
  GLint uv_offset_loc;
  GLint uv_scale_loc;
  GLint octant_mask_loc;
  GLint fade_low_loc;
  GLint fade_high_loc;
  GLint texture_loc;
  GLuint sky_table;         // skyTable's colours, a 1D texture
  double sky_table_radius;  // the eye's distance from the centre it was filled for
};

// After initGL: the programs, the nodes' attributes bound to the plain
// program's locations (whose arrays initGL enabled), so both read the same
// buffers. Leaves the plain program current.
void initPictureProgram(picture_program_t& p, const gl_ctx_t& plain, bool fades, bool atmosphere);

// Draws the list (uploading meshes on first use), and makes the plain
// program current again.
void drawPictureNodes(const std::vector<faded_draw_item_t>& items, const Eigen::Matrix4d& viewprojection,
                      const Eigen::Vector3d& eye, float planet_radius, const picture_program_t& p,
                      const gl_ctx_t& plain);

// After the nodes, with the atmosphere: the sky in every pixel no node
// covered. Leaves the depth, culling and program as it found them; fills
// the sky's table again when the eye's height changed.
void drawSky(const Eigen::Matrix4d& viewprojection, const Eigen::Vector3d& eye, float planet_radius,
             picture_program_t& p, const gl_ctx_t& plain);
