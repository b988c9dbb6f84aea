// The status overlay: lines of text rendered with SDL2_ttf into one texture
// and drawn over the planet's frame, in its top left corner. Render thread
// only; it leaves every piece of GL state as it found it, so that the
// planet's next frame draws exactly as without it.
#pragma once

#include <string>
#include <vector>

#include <glad/gl.h>

typedef struct _TTF_Font TTF_Font;

struct status_overlay_t {
  TTF_Font* font;
  GLuint texture;
  int width, height;               // of the text picture, in pixels
  std::vector<std::string> shown;  // the lines the texture holds
  double since_render_ms;
  bool unavailable;  // the font could not be had: said once, nothing drawn
  bool ttf_started;  // SDL_ttf started for the overlay: quit once at release
};

// Opens the font (overlay_font_path). False, after one line on standard
// error, when it cannot: the viewer then runs without the overlay.
bool initStatusOverlay(status_overlay_t& overlay);

// Draws the lines in a drawable of width x height. The texture is rendered
// again when the lines changed and overlay_refresh_ms have passed since the
// last rendering, or at once when `now` (a screenshot must show this frame's
// figures).
void drawStatusOverlay(status_overlay_t& overlay, const std::vector<std::string>& lines, int width, int height,
                       double delta_time_ms, bool now);

void releaseStatusOverlay(status_overlay_t& overlay);

// The bound texture drawn whole on the pixel rectangle (x0, y0) to (x1, y1)
// of a top-left-origin orthographic projection: the overlay's box and each
// place label.
void drawTexturedQuad(float x0, float y0, float x1, float y1);
