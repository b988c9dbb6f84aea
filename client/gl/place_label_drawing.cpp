#include "gl/place_label_drawing.h"

#include <algorithm>
#include <cstdio>
#include <unordered_set>

#include <SDL_ttf.h>

#include "viewer_settings.h"
#include "gl/status_overlay.h"

namespace {

constexpr int outline_px = 1;
constexpr float dot_px = 3;  // half the side of the dot's dark square

SDL_Surface* renderArgb(TTF_Font* font, const std::string& text, SDL_Color colour) {
  SDL_Surface* s = TTF_RenderUTF8_Blended(font, text.c_str(), colour);
  SDL_Surface* argb = s ? SDL_ConvertSurfaceFormat(s, SDL_PIXELFORMAT_ARGB8888, 0) : nullptr;
  SDL_FreeSurface(s);
  return argb;
}

uint8_t alphaAt(SDL_Surface* s, int x, int y) {
  if (x < 0 || y < 0 || x >= s->w || y >= s->h) return 0;
  const auto* row = reinterpret_cast<const Uint32*>(static_cast<const uint8_t*>(s->pixels) + y * s->pitch);
  return static_cast<uint8_t>(row[x] >> 24);
}

// White text over its own dark outline, as premultiplied-free RGBA for
// GL_SRC_ALPHA / GL_ONE_MINUS_SRC_ALPHA: legible over bright snow and dark sea.
bool renderLabel(TTF_Font* font, const std::string& text, label_texture_t* out) {
  TTF_SetFontOutline(font, outline_px);
  SDL_Surface* outline = renderArgb(font, text, SDL_Color{0, 0, 0, 255});
  TTF_SetFontOutline(font, 0);
  SDL_Surface* fill = renderArgb(font, text, SDL_Color{255, 255, 255, 255});
  if (!outline || !fill) {
    SDL_FreeSurface(outline);
    SDL_FreeSurface(fill);
    return false;
  }
  const int w = outline->w, h = outline->h;
  std::vector<uint8_t> rgba(static_cast<size_t>(w) * static_cast<size_t>(h) * 4, 0);
  SDL_LockSurface(outline);
  SDL_LockSurface(fill);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double a_fill = alphaAt(fill, x - outline_px, y - outline_px) / 255.0;
      const double a_dark = alphaAt(outline, x, y) / 255.0;
      const double alpha = a_fill + a_dark * (1 - a_fill);
      uint8_t* px = &rgba[(static_cast<size_t>(y) * static_cast<size_t>(w) + static_cast<size_t>(x)) * 4];
      const auto c = static_cast<uint8_t>(alpha > 0 ? 255 * a_fill / alpha + 0.5 : 0);
      px[0] = px[1] = px[2] = c;
      px[3] = static_cast<uint8_t>(255 * alpha + 0.5);
    }
  SDL_UnlockSurface(fill);
  SDL_UnlockSurface(outline);
  SDL_FreeSurface(outline);
  SDL_FreeSurface(fill);
  glGenTextures(1, &out->texture);
  glBindTexture(GL_TEXTURE_2D, out->texture);
  glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
  glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
  glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA, w, h, 0, GL_RGBA, GL_UNSIGNED_BYTE, rgba.data());
  out->width = w;
  out->height = h;
  return true;
}

void square(float x, float y, float half) {
  glVertex2f(x - half, y - half);
  glVertex2f(x + half, y - half);
  glVertex2f(x + half, y + half);
  glVertex2f(x - half, y + half);
}

}  // namespace

bool initPlaceLabels(place_label_drawing_t& d) {
  if (TTF_Init() != 0) {
    std::fprintf(stderr, "labels: cannot start SDL_ttf (%s); running without labels\n", TTF_GetError());
    return false;
  }
  d.ttf_started = true;
  d.font = TTF_OpenFont(labels_font_path, labels_font_points);
  if (!d.font) {
    std::fprintf(stderr, "labels: cannot open the font %s (%s); running without labels\n", labels_font_path,
                 TTF_GetError());
    return false;
  }
  return true;
}

void measurePlaceLabels(place_label_drawing_t& d, const std::vector<place_result_t>& places,
                        std::vector<label_candidate_t>* candidates) {
  candidates->clear();
  std::unordered_set<int64_t> kept;
  for (const place_result_t& p : places) {
    int w = 0, h = 0;
    if (!d.font || TTF_SizeUTF8(d.font, p.name.c_str(), &w, &h) != 0) continue;
    candidates->push_back({p, w + 2 * outline_px, h + 2 * outline_px});
    kept.insert(p.id);
  }
  for (auto it = d.textures.begin(); it != d.textures.end();) {
    if (kept.count(it->first)) {
      ++it;
    } else {
      glDeleteTextures(1, &it->second.texture);
      it = d.textures.erase(it);
    }
  }
}

void drawPlaceLabels(place_label_drawing_t& d, const std::vector<label_candidate_t>& candidates,
                     const std::vector<screen_label_t>& labels, int width, int height) {
  if (!d.font || labels.empty() || width <= 0 || height <= 0) return;
  GLint program = 0;
  glGetIntegerv(GL_CURRENT_PROGRAM, &program);
  glPushAttrib(GL_ENABLE_BIT | GL_COLOR_BUFFER_BIT | GL_TEXTURE_BIT | GL_VIEWPORT_BIT | GL_TRANSFORM_BIT |
               GL_CURRENT_BIT | GL_DEPTH_BUFFER_BIT);
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glUseProgram(0);
  glViewport(0, 0, width, height);
  glDisable(GL_DEPTH_TEST);
  glDisable(GL_CULL_FACE);
  glEnable(GL_BLEND);
  glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
  glMatrixMode(GL_PROJECTION);
  glPushMatrix();
  glLoadIdentity();
  glOrtho(0, width, height, 0, -1, 1);  // pixels, top left origin
  glMatrixMode(GL_MODELVIEW);
  glPushMatrix();
  glLoadIdentity();

  // The dots: a dark square with a light one inside.
  glDisable(GL_TEXTURE_2D);
  glBegin(GL_QUADS);
  for (const screen_label_t& s : labels) {
    glColor4f(0, 0, 0, 0.8f);
    square(static_cast<float>(s.x), static_cast<float>(s.y), dot_px);
    glColor4f(1, 1, 1, 1);
    square(static_cast<float>(s.x), static_cast<float>(s.y), dot_px - 1.5f);
  }
  glEnd();

  glEnable(GL_TEXTURE_2D);
  glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
  for (const screen_label_t& s : labels) {
    if (s.candidate >= candidates.size()) continue;
    const place_result_t& p = candidates[s.candidate].place;
    auto it = d.textures.find(p.id);
    if (it == d.textures.end()) {
      label_texture_t t{};
      if (!renderLabel(d.font, p.name, &t)) continue;
      it = d.textures.emplace(p.id, t).first;
    }
    const label_texture_t& t = it->second;
    glBindTexture(GL_TEXTURE_2D, t.texture);
    // Where view/place_labels put the text: right of the dot, centred on it.
    const float x0 = static_cast<float>(s.right - t.width), y0 = static_cast<float>(s.y - t.height / 2);
    const float x1 = x0 + static_cast<float>(t.width), y1 = y0 + static_cast<float>(t.height);
    drawTexturedQuad(x0, y0, x1, y1);
  }

  glMatrixMode(GL_MODELVIEW);
  glPopMatrix();
  glMatrixMode(GL_PROJECTION);
  glPopMatrix();
  glPopClientAttrib();
  glPopAttrib();
  glUseProgram(static_cast<GLuint>(program));
}

void releasePlaceLabels(place_label_drawing_t& d) {
  for (auto& [id, t] : d.textures) glDeleteTextures(1, &t.texture);
  d.textures.clear();
  if (d.font) TTF_CloseFont(d.font);
  d.font = nullptr;
  if (d.ttf_started) TTF_Quit();
  d.ttf_started = false;
}
