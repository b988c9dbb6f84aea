// Everything the viewer does with OpenGL besides clearing the frame and
// uploading a node's transform: fixed state, the one shader program, and the
// upload, draw and release of a mesh's GPU objects. Render thread only.
#pragma once

#include <cstdint>

#include <glad/gl.h>

#include "tree/tree.h"

struct gl_ctx_t {
  GLuint program;
  GLint transform_loc;
  GLint uv_offset_loc;
  GLint uv_scale_loc;
  GLint octant_mask_loc;
  GLint texture_loc;
  GLint position_loc;
  GLint octant_loc;
  GLint texcoords_loc;
};

// Depth test, back-face culling, the program made current, its locations
// looked up and the three vertex attributes enabled for the whole run.
void initGL(gl_ctx_t& ctx);

GLuint makeShader(const char* vert_src, const char* frag_src);

// A vertex attribute's location fixed before linking.
struct shader_attribute_t {
  GLint location;
  const char* name;
};
// makeShader with these attributes bound first, so that a second program
// reads the vertex arrays the plain one has set up.
GLuint makeShaderWithAttributes(const char* vert_src, const char* frag_src, const shader_attribute_t* attributes,
                                int attribute_count);

// Returns only when the shader compiled; otherwise prints the compiler's log
// and aborts: our own sources failing to compile is a broken build.
void checkCompileShaderError(GLuint shader);

void meshTexImage2d(const mesh_t& mesh);

// Aborts when the mesh is already buffered (a caller bug, not service data).
void bufferMesh(mesh_t& mesh);

// Draws the mesh's strip with the octants whose bit is set in octant_mask
// collapsed away; the transform uniform is already set for its node.
void bindAndDrawMesh(const mesh_t& mesh, uint8_t octant_mask, const gl_ctx_t& ctx);

// Aborts when the mesh is not buffered.
void unbufferMesh(mesh_t& mesh);
