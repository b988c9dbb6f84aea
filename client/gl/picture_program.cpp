#include "gl/picture_program.h"

#include <cmath>
#include <string>

#include <Eigen/LU>

#include "viewer_settings.h"
#include "view/atmosphere.h"

namespace {

// The plain vertex shader, with the octant's low fade threshold passed on
// and, with the atmosphere, what survives of the ground's colour to the eye
// (hazeTransmittance in view/atmosphere.cpp). eye_from_mesh puts the vertex
// in planet axes with the eye at the origin, precise near the eye. The
// program is compiled for the look chosen (FADES, HAZE): under a software
// renderer every varying and uniform branch costs on every pixel.
constexpr char vertex_src[] = R"(
uniform mat4 transform;
uniform vec2 uv_offset;
uniform vec2 uv_scale;
uniform bool octant_mask[8];
attribute vec3 position;
attribute float octant;
attribute vec2 texcoords;
varying vec2 v_texcoords;
#if FADES
uniform float fade_low[8];
varying float v_low;
#endif
#if HAZE
uniform mat4 eye_from_mesh;
uniform vec3 eye;
uniform float planet_radius;
uniform vec3 beta_r;
uniform float ext_m;
uniform vec2 scale_heights;
uniform vec2 eye_air;  // exp(-eye's height / scale height), Rayleigh and Mie
varying vec3 v_transmittance;
float air(float len, float dh, float at_eye, float at_point, float scale) {
  if (abs(dh) < 1.0) return len * at_eye;
  return len * scale * (at_eye - at_point) / dh;
}
#endif
void main() {
  int o = int(octant);
  float mask = octant_mask[o] ? 0.0 : 1.0;
  v_texcoords = (texcoords + uv_offset) * uv_scale * mask;
#if FADES
  v_low = fade_low[o];
#endif
#if HAZE
  vec3 rel = (eye_from_mesh * vec4(position, 1.0)).xyz;
  float h_eye = length(eye) - planet_radius;
  float h_point = length(eye + rel) - planet_radius;
  float len = length(rel);
  float dh = h_point - h_eye;
  vec3 tau = beta_r * air(len, dh, eye_air.x, exp(-h_point / scale_heights.x), scale_heights.x) +
             vec3(ext_m * air(len, dh, eye_air.y, exp(-h_point / scale_heights.y), scale_heights.y));
  v_transmittance = exp(-tau);
#endif
  gl_Position = transform * vec4(position, 1.0) * mask;
}
)";

// The screen door: the pixel's threshold from an 8x8 ordered-dither matrix
// (ditherThreshold in view/fades.cpp computes the same), kept when it lies
// in [low, high); then the haze over the ground.
constexpr char fragment_src[] = R"(
uniform sampler2D texture;
varying vec2 v_texcoords;
#if FADES
uniform float fade_high;
varying float v_low;
float rank2(vec2 b) { return 2.0 * b.x + 3.0 * b.y - 4.0 * b.x * b.y; }
#endif
#if HAZE
uniform vec3 haze_colour;
varying vec3 v_transmittance;
#endif
void main() {
#if FADES
  vec2 p = floor(gl_FragCoord.xy);
  float rank = 16.0 * rank2(mod(p, 2.0)) + 4.0 * rank2(mod(floor(p * 0.5), 2.0)) +
               rank2(mod(floor(p * 0.25), 2.0));
  float t = (rank + 0.5) / 64.0;
  if (t < v_low || t >= fade_high) discard;
#endif
  vec3 ground = texture2D(texture, v_texcoords).rgb;
#if HAZE
  gl_FragColor = vec4(ground * v_transmittance + haze_colour * (vec3(1.0) - v_transmittance), 1.0);
#else
  gl_FragColor = vec4(ground, 1.0);
#endif
}
)";

// The sky behind the planet: a grid over the screen at the far plane, drawn
// where no node was, each pixel's colour looked up in the table of skyTable
// (view/atmosphere.cpp) by the ray's cosine from the vertical, at
// skyTableCoordinate. The cosine varies smoothly over the screen, so it is
// found at the grid's corners and interpolated: a software renderer then
// spends on a pixel of sky only the table's lookup.
constexpr char sky_vertex_src[] = R"(
uniform mat4 ray_from_clip;
uniform vec3 up;
varying float v_mu;
void main() {
  vec4 far_point = ray_from_clip * vec4(gl_Vertex.xy, 1.0, 1.0);
  vec4 near_point = ray_from_clip * vec4(gl_Vertex.xy, -1.0, 1.0);
  v_mu = dot(normalize(far_point.xyz / far_point.w - near_point.xyz / near_point.w), up);
  gl_Position = vec4(gl_Vertex.xy, 1.0, 1.0);
}
)";

constexpr char sky_fragment_src[] = R"(
uniform sampler1D sky_table;
uniform float mu_horizon;
varying float v_mu;
void main() {
  float s = v_mu - mu_horizon;
  float span = max(s >= 0.0 ? 1.0 - mu_horizon : 1.0 + mu_horizon, 1e-6);
  float u = 0.5 + 0.5 * sign(s) * sqrt(min(abs(s) / span, 1.0));
  gl_FragColor = vec4(texture1D(sky_table, u).rgb, 1.0);
}
)";

GLuint link(const char* vert, const char* frag, const gl_ctx_t* plain) {
  if (!plain) return makeShader(vert, frag);
  const shader_attribute_t attributes[] = {
      {plain->position_loc, "position"}, {plain->octant_loc, "octant"}, {plain->texcoords_loc, "texcoords"}};
  return makeShaderWithAttributes(vert, frag, attributes, 3);
}

Eigen::Matrix4d translation(const Eigen::Vector3d& by) {
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m.block<3, 1>(0, 3) = by;
  return m;
}

// The air's constants for the ground's haze.
void setAirUniforms(GLuint program, const Eigen::Vector3d& eye, float planet_radius) {
  const Eigen::Vector3f e = eye.cast<float>();
  glUniform3fv(glGetUniformLocation(program, "eye"), 1, e.data());
  glUniform1f(glGetUniformLocation(program, "planet_radius"), planet_radius);
  glUniform3f(glGetUniformLocation(program, "beta_r"), static_cast<float>(rayleigh_scattering_per_m[0]),
              static_cast<float>(rayleigh_scattering_per_m[1]), static_cast<float>(rayleigh_scattering_per_m[2]));
  glUniform1f(glGetUniformLocation(program, "ext_m"), static_cast<float>(mie_scattering_per_m / 0.9));
  glUniform2f(glGetUniformLocation(program, "scale_heights"), static_cast<float>(rayleigh_scale_height_m),
              static_cast<float>(mie_scale_height_m));
  const double h_eye = eye.norm() - planet_radius;
  glUniform2f(glGetUniformLocation(program, "eye_air"), static_cast<float>(std::exp(-h_eye / rayleigh_scale_height_m)),
              static_cast<float>(std::exp(-h_eye / mie_scale_height_m)));
}

}  // namespace

void initPictureProgram(picture_program_t& p, const gl_ctx_t& plain, bool fades, bool atmosphere) {
  p.fades = fades;
  p.atmosphere = atmosphere;
  const std::string look = std::string("#define FADES ") + (fades ? "1" : "0") + "\n#define HAZE " +
                           (atmosphere ? "1" : "0") + "\n";
  p.program = link((look + vertex_src).c_str(), (look + fragment_src).c_str(), &plain);
  p.transform_loc = glGetUniformLocation(p.program, "transform");
  p.eye_from_mesh_loc = glGetUniformLocation(p.program, "eye_from_mesh");
  p.uv_offset_loc = glGetUniformLocation(p.program, "uv_offset");
  p.uv_scale_loc = glGetUniformLocation(p.program, "uv_scale");
  p.octant_mask_loc = glGetUniformLocation(p.program, "octant_mask");
  p.fade_low_loc = glGetUniformLocation(p.program, "fade_low");
  p.fade_high_loc = glGetUniformLocation(p.program, "fade_high");
  p.texture_loc = glGetUniformLocation(p.program, "texture");
  glUseProgram(p.program);
  if (atmosphere) {
    const Eigen::Vector3f haze = hazeColour().cast<float>();
    glUniform3fv(glGetUniformLocation(p.program, "haze_colour"), 1, haze.data());
    p.sky_program = link(sky_vertex_src, sky_fragment_src, nullptr);
    glUseProgram(p.sky_program);
    glUniform1i(glGetUniformLocation(p.sky_program, "sky_table"), 0);
    glGenTextures(1, &p.sky_table);
    glBindTexture(GL_TEXTURE_1D, p.sky_table);
    glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_1D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glBindTexture(GL_TEXTURE_1D, 0);
    p.sky_table_radius = -1;
  }
  glUseProgram(plain.program);
}

void drawPictureNodes(const std::vector<faded_draw_item_t>& items, const Eigen::Matrix4d& viewprojection,
                      const Eigen::Vector3d& eye, float planet_radius, const picture_program_t& p,
                      const gl_ctx_t& plain) {
  glUseProgram(p.program);
  if (p.atmosphere) setAirUniforms(p.program, eye, planet_radius);
  // bindAndDrawMesh sets the uniforms at the plain program's locations; this
  // program has its own, so it gets a copy of the context with these.
  gl_ctx_t ctx = plain;
  ctx.program = p.program;
  ctx.uv_offset_loc = p.uv_offset_loc;
  ctx.uv_scale_loc = p.uv_scale_loc;
  ctx.octant_mask_loc = p.octant_mask_loc;
  ctx.texture_loc = p.texture_loc;
  const Eigen::Matrix4d eye_from_globe = translation(-eye);
  for (const faded_draw_item_t& item : items) {
    node_t* node = item.node;
    const Eigen::Matrix4f transform = (viewprojection * node->matrix_globe_from_mesh).cast<float>();
    glUniformMatrix4fv(p.transform_loc, 1, GL_FALSE, transform.data());
    if (p.atmosphere) {
      const Eigen::Matrix4f eye_from_mesh = (eye_from_globe * node->matrix_globe_from_mesh).cast<float>();
      glUniformMatrix4fv(p.eye_from_mesh_loc, 1, GL_FALSE, eye_from_mesh.data());
    }
    glUniform1fv(p.fade_low_loc, 8, item.low.data());
    glUniform1f(p.fade_high_loc, item.high);
    for (mesh_t& mesh : node->meshes) {
      if (!mesh.buffered) {
        bufferMesh(mesh);
        dropUploadedTexture(mesh);
      }
      bindAndDrawMesh(mesh, item.mask, ctx);
    }
  }
  glUseProgram(plain.program);
}

void drawSky(const Eigen::Matrix4d& viewprojection, const Eigen::Vector3d& eye, float planet_radius,
             picture_program_t& p, const gl_ctx_t& plain) {
  if (!p.atmosphere) return;
  glUseProgram(p.sky_program);
  glActiveTexture(GL_TEXTURE0);
  glBindTexture(GL_TEXTURE_1D, p.sky_table);
  const double radius = eye.norm();
  // The table depends on the eye's height alone: filled again when it moves
  // by a metre, not every frame.
  if (std::abs(radius - p.sky_table_radius) >= 1) {
    const std::vector<Eigen::Vector3f> table = skyTable(eye, planet_radius, sky_table_size);
    glTexImage1D(GL_TEXTURE_1D, 0, GL_RGB8, sky_table_size, 0, GL_RGB, GL_FLOAT, table.data());
    p.sky_table_radius = radius;
  }
  const Eigen::Vector3f up = (eye / radius).cast<float>();
  glUniform3fv(glGetUniformLocation(p.sky_program, "up"), 1, up.data());
  glUniform1f(glGetUniformLocation(p.sky_program, "mu_horizon"),
              static_cast<float>(skyHorizonCosine(radius, planet_radius)));
  // Clip space to eye-centred planet axes: the translation taken out, so
  // that single precision keeps the ray's direction.
  const Eigen::Matrix4f ray_from_clip = (viewprojection * translation(eye)).inverse().cast<float>();
  glUniformMatrix4fv(glGetUniformLocation(p.sky_program, "ray_from_clip"), 1, GL_FALSE, ray_from_clip.data());
  // Only where no node wrote a depth; nothing else changes.
  glDepthFunc(GL_LEQUAL);
  glDepthMask(GL_FALSE);
  glDisable(GL_CULL_FACE);
  for (int row = 0; row < sky_grid_rows; ++row) {
    const float y0 = -1 + 2.0f * static_cast<float>(row) / sky_grid_rows;
    const float y1 = -1 + 2.0f * static_cast<float>(row + 1) / sky_grid_rows;
    glBegin(GL_TRIANGLE_STRIP);
    for (int col = 0; col <= sky_grid_columns; ++col) {
      const float x = -1 + 2.0f * static_cast<float>(col) / sky_grid_columns;
      glVertex2f(x, y0);
      glVertex2f(x, y1);
    }
    glEnd();
  }
  glEnable(GL_CULL_FACE);
  glDepthMask(GL_TRUE);
  glDepthFunc(GL_LESS);
  glBindTexture(GL_TEXTURE_1D, 0);
  glUseProgram(plain.program);
}
