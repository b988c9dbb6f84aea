#include "gl/status_overlay.h"

#include <algorithm>
#include <cstdio>

#include <SDL_ttf.h>

#include "viewer_settings.h"

namespace {

constexpr int margin = 12;   // from the drawable's corner
constexpr int padding = 8;   // around the text, inside its dark box
constexpr double box_opacity = 0.6;

// One RGBA picture of the lines (top row first): white text on a dark,
// half-transparent box, ready for GL_SRC_ALPHA / GL_ONE_MINUS_SRC_ALPHA. A
// text pixel of coverage a must look like white * a over the box over the
// planet, so its alpha is box + (1 - box) * a and its colour 255 * a / alpha.
bool renderLines(TTF_Font* font, const std::vector<std::string>& lines, std::vector<uint8_t>* rgba, int* width,
                 int* height) {
  const int skip = TTF_FontLineSkip(font);
  std::vector<SDL_Surface*> rendered;
  int text_width = 0;
  for (const std::string& line : lines) {
    SDL_Surface* s = TTF_RenderUTF8_Blended(font, line.empty() ? " " : line.c_str(), SDL_Color{255, 255, 255, 255});
    SDL_Surface* argb = s ? SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_ARGB8888, 0) : nullptr;
    SDL_FreeSurface(s);
    if (!argb) {
      for (SDL_Surface* r : rendered) SDL_FreeSurface(r);
      return false;
    }
    text_width = std::max(text_width, argb->w);
    rendered.push_back(argb);
  }
  *width = text_width + 2 * padding;
  *height = skip * static_cast<int>(lines.size()) + 2 * padding;
  rgba->assign(static_cast<size_t>(*width) * static_cast<size_t>(*height) * 4, 0);
  for (size_t k = 3; k < rgba->size(); k += 4) (*rgba)[k] = static_cast<uint8_t>(255 * box_opacity);
  for (size_t n = 0; n < rendered.size(); ++n) {
    SDL_Surface* s = rendered[n];
    SDL_LockSurface(s);
    for (int y = 0; y < s->h; ++y) {
      const int ty = padding + static_cast<int>(n) * skip + y;
      if (ty >= *height) break;
      const auto* row = reinterpret_cast<const Uint32*>(static_cast<const uint8_t*>(s->pixels) + y * s->pitch);
      for (int x = 0; x < s->w; ++x) {
        const double a = (row[x] >> 24) / 255.0;
        const double alpha = box_opacity + (1 - box_opacity) * a;
        uint8_t* px = &(*rgba)[(static_cast<size_t>(ty) * static_cast<size_t>(*width) + padding + x) * 4];
        const auto c = static_cast<uint8_t>(255 * a / alpha + 0.5);
        px[0] = px[1] = px[2] = c;
        px[3] = static_cast<uint8_t>(255 * alpha + 0.5);
      }
    }
    SDL_UnlockSurface(s);
    SDL_FreeSurface(s);
  }
  return true;
}

}  // namespace

bool initStatusOverlay(status_overlay_t& o) {
  o = status_overlay_t{};
  // SDL_ttf counts its starts: the labels start it too, each quits once.
  if (TTF_Init() != 0) {
    std::fprintf(stderr, "status overlay: cannot start SDL_ttf (%s); running without it\n", TTF_GetError());
    o.unavailable = true;
    return false;
  }
  o.ttf_started = true;
  o.font = TTF_OpenFont(overlay_font_path, overlay_font_points);
  if (!o.font) {
    std::fprintf(stderr, "status overlay: cannot open the font %s (%s); running without it\n", overlay_font_path,
                 TTF_GetError());
    o.unavailable = true;
    return false;
  }
  return true;
}

void drawStatusOverlay(status_overlay_t& o, const std::vector<std::string>& lines, int width, int height,
                       double delta_time_ms, bool now) {
  if (o.unavailable || !o.font || width <= 0 || height <= 0) return;
  o.since_render_ms += delta_time_ms;
  // Everything the overlay changes, saved: the fixed-function state (enables,
  // blending, the bound texture, viewport, matrix mode, colour) by GL's own
  // stack, the program and the matrices by hand. Nothing of the planet's
  // vertex arrays or buffers is touched: the quad is drawn immediately.
  GLint program = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_TEXTURE_BIT | GL_VIEWPORT_BIT | GL_TRANSFORM_BIT |
               GL_CURRENT_BIT | GL_DEPTH_BUFFER_BIT);
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);

  if (!o.texture) glGenTextures(1, &o.texture);
  glBindTexture(GL_TEXTURE_2D, o.texture);
  if (o.shown.empty() || (lines != o.shown && (now || o.since_render_ms >= overlay_refresh_ms))) {
    std::vector<uint8_t> rgba;
    int w = 0, h = 0;
    if (renderLines(o.font, lines, &rgba, &w, &h)) {
      glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
      glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
      glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
      o.width = w;
      o.height = h;
      o.shown = lines;
      o.since_render_ms = 0;
    }
  }

  if (o.width > 0) {
    glUseProgram(0);
    glViewport(0, 0, width, height);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_CULL_FACE);
    glEnable(GL_BLEND);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
    glEnable(GL_TEXTURE_2D);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0, width, height, 0, -1, 1);  // pixels, top left origin
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    const float x0 = margin, y0 = margin, x1 = x0 + static_cast<float>(o.width), y1 = y0 + static_cast<float>(o.height);
    drawTexturedQuad(x0, y0, x1, y1);
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
  }

  glPopClientAttrib();
  glPopAttrib();  // also the matrix mode, the texture binding and the enables
  glUseProgram(static_cast<GLuint>(program));
}

void drawTexturedQuad(float x0, float y0, float x1, float y1) {
  glBegin(GL_QUADS);
  glTexCoord2f(0, 0);
  glVertex2f(x0, y0);
  glTexCoord2f(1, 0);
  glVertex2f(x1, y0);
  glTexCoord2f(1, 1);
  glVertex2f(x1, y1);
  glTexCoord2f(0, 1);
  glVertex2f(x0, y1);
  glEnd();
}

void releaseStatusOverlay(status_overlay_t& o) {
  if (o.texture) glDeleteTextures(1, &o.texture);
  if (o.font) TTF_CloseFont(o.font);
  const bool started = o.ttf_started;
  o = status_overlay_t{};
  if (started) TTF_Quit();
}
