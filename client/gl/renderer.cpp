#include "gl/renderer.h"

#include "view/texture_upload.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

// A vertex whose octant is masked gets w = 0 and collapses onto the origin
// with its neighbours, so its triangles have no area and draw nothing.
constexpr char vertex_shader_src[] =
    "uniform mat4 transform;"
    "uniform vec2 uv_offset;"
    "uniform vec2 uv_scale;"
    "uniform bool octant_mask[8];"
    "attribute vec3 position;"
    "attribute float octant;"
    "attribute vec2 texcoords;"
    "varying vec2 v_texcoords;"
    "void main() {"
    "\tfloat mask = octant_mask[int(octant)] ? 0.0 : 1.0;"
    "\tv_texcoords = (texcoords + uv_offset) * uv_scale * mask;"
    "\tgl_Position = transform * vec4(position, 1.0) * mask;"
    "}";

// No lighting: the relief is baked into the textures.
constexpr char fragment_shader_src[] =
    "#ifdef GL_ES\n"
    "precision mediump float;\n"
    "#endif\n"
    "uniform sampler2D texture;"
    "varying vec2 v_texcoords;"
    "void main() {"
    "\tgl_FragColor = vec4(texture2D(texture, v_texcoords).rgb, 1.0);"
    "}";
static_assert(sizeof vertex_shader_src == 369 + 1 && sizeof fragment_shader_src == 173 + 1,
              "shader sources changed");

GLuint compileShader(GLenum kind, const char* src) {
  GLuint shader = glCreateShader(kind);
  glShaderSource(shader, 1, &src, nullptr);
  glCompileShader(shader);
  checkCompileShaderError(shader);
  return shader;
}

}  // namespace

void checkCompileShaderError(GLuint shader) {
  GLint ok = 0;
  glGetShaderiv(shader, GL_COMPILE_STATUS, &ok);
  if (ok == GL_TRUE) return;
  GLint len = 0;
  glGetShaderiv(shader, GL_INFO_LOG_LENGTH, &len);
  std::vector<char> log(static_cast<size_t>(len > 0 ? len : 1), '\0');
  glGetShaderInfoLog(shader, len, &len, log.data());
  std::printf("%s\n", log.data());
  std::fflush(stdout);
  glDeleteShader(shader);
  std::abort();
}

GLuint makeShader(const char* vert_src, const char* frag_src) {
  return makeShaderWithAttributes(vert_src, frag_src, nullptr, 0);
}

GLuint makeShaderWithAttributes(const char* vert_src, const char* frag_src, const shader_attribute_t* attributes,
                                int attribute_count) {
  GLuint vs = compileShader(GL_VERTEX_SHADER, vert_src);
  GLuint fs = compileShader(GL_FRAGMENT_SHADER, frag_src);
  GLuint program = glCreateProgram();
  glAttachShader(program, vs);
  glAttachShader(program, fs);
  for (int i = 0; i < attribute_count; i++)
    glBindAttribLocation(program, static_cast<GLuint>(attributes[i].location), attributes[i].name);
  glLinkProgram(program);
  glDetachShader(program, vs);
  glDetachShader(program, fs);
  glDeleteShader(vs);
  glDeleteShader(fs);
  return program;
}

void initGL(gl_ctx_t& ctx) {
  glEnable(GL_DEPTH_TEST);
  glEnable(GL_CULL_FACE);
  // Decoded RGB rows are tightly packed: any width reads its own pixels.
  glPixelStorei(GL_UNPACK_ALIGNMENT, texture_unpack_alignment);
  ctx.program = makeShader(vertex_shader_src, fragment_shader_src);
  glUseProgram(ctx.program);
  ctx.transform_loc = glGetUniformLocation(ctx.program, "transform");
  ctx.uv_offset_loc = glGetUniformLocation(ctx.program, "uv_offset");
  ctx.uv_scale_loc = glGetUniformLocation(ctx.program, "uv_scale");
  ctx.octant_mask_loc = glGetUniformLocation(ctx.program, "octant_mask");
  ctx.texture_loc = glGetUniformLocation(ctx.program, "texture");
  ctx.position_loc = glGetAttribLocation(ctx.program, "position");
  ctx.octant_loc = glGetAttribLocation(ctx.program, "octant");
  ctx.texcoords_loc = glGetAttribLocation(ctx.program, "texcoords");
  glEnableVertexAttribArray(ctx.position_loc);
  glEnableVertexAttribArray(ctx.octant_loc);
  glEnableVertexAttribArray(ctx.texcoords_loc);
}

void meshTexImage2d(const mesh_t& mesh) {
  const texture_upload_t up = planTextureUpload(mesh);
  if (up.width == 0) {
    std::fprintf(stderr, "unsupported texture format: %d\n", static_cast<int>(mesh.texture_format));
    std::abort();
  }
  if (up.compressed) {
    glCompressedTexImage2D(GL_TEXTURE_2D, 0, GL_COMPRESSED_RGB_S3TC_DXT1_EXT, up.width, up.height, 0,
                           static_cast<GLsizei>(up.bytes_read), up.data);
  } else {
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, up.width, up.height, 0, GL_RGB, GL_UNSIGNED_BYTE, up.data);
  }
}

void bufferMesh(mesh_t& mesh) {
  if (mesh.buffered) {
    std::fprintf(stderr, "mesh already buffered\n");
    std::abort();
  }
  glGenBuffers(1, &mesh.vertex_buffer);
  glBindBuffer(GL_ARRAY_BUFFER, mesh.vertex_buffer);
  glBufferData(GL_ARRAY_BUFFER, static_cast<GLsizeiptr>(mesh.vertices.size()), mesh.vertices.data(),
               GL_STATIC_DRAW);

  glGenBuffers(1, &mesh.index_buffer);
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, mesh.index_buffer);
  glBufferData(GL_ELEMENT_ARRAY_BUFFER, static_cast<GLsizeiptr>(mesh.indices.size() * sizeof(uint16_t)),
               mesh.indices.data(), GL_STATIC_DRAW);

  glGenTextures(1, &mesh.texture_buffer);
  glBindTexture(GL_TEXTURE_2D, mesh.texture_buffer);
  // No mipmaps are made, so the minification filter must not ask for them.
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  meshTexImage2d(mesh);

  mesh.buffered = true;
}

void bindAndDrawMesh(const mesh_t& mesh, uint8_t octant_mask, const gl_ctx_t& ctx) {
  glUniform2fv(ctx.uv_offset_loc, 1, mesh.uv_offset.data());
  glUniform2fv(ctx.uv_scale_loc, 1, mesh.uv_scale.data());
  GLint v[8];
  for (int i = 0; i < 8; ++i) v[i] = (octant_mask >> i) & 1;
  glUniform1iv(ctx.octant_mask_loc, 8, v);
  glUniform1i(ctx.texture_loc, 0);

  glBindTexture(GL_TEXTURE_2D, mesh.texture_buffer);
  glBindBuffer(GL_ARRAY_BUFFER, mesh.vertex_buffer);
  glVertexAttribPointer(ctx.position_loc, 3, GL_UNSIGNED_BYTE, GL_FALSE, 8, reinterpret_cast<const void*>(0));
  glVertexAttribPointer(ctx.octant_loc, 1, GL_UNSIGNED_BYTE, GL_FALSE, 8, reinterpret_cast<const void*>(3));
  glVertexAttribPointer(ctx.texcoords_loc, 2, GL_UNSIGNED_SHORT, GL_FALSE, 8, reinterpret_cast<const void*>(4));
  glBindBuffer(GL_ELEMENT_ARRAY_BUFFER, mesh.index_buffer);
  glDrawElements(GL_TRIANGLE_STRIP, static_cast<GLsizei>(mesh.indices.size()), GL_UNSIGNED_SHORT,
                 reinterpret_cast<const void*>(0));
}

void unbufferMesh(mesh_t& mesh) {
  if (!mesh.buffered) {
    std::fprintf(stderr, "mesh isn't buffered\n");
    std::abort();
  }
  mesh.buffered = false;
  glDeleteTextures(1, &mesh.texture_buffer);
  glDeleteBuffers(1, &mesh.index_buffer);
  glDeleteBuffers(1, &mesh.vertex_buffer);
}
