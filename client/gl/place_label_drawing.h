// Place labels drawn over the planet's frame: each name rendered once with
// SDL2_ttf (white with a dark outline) into a texture of its own, kept while
// the place stays a candidate, and a dot at the place. What is drawn where
// is view/place_labels' choice. Render thread only; every piece of GL state
// it changes is saved and restored, as the status overlay does.
#pragma once

#include <cstdint>
#include <unordered_map>
#include <vector>

#include <glad/gl.h>

#include "view/place_labels.h"

typedef struct _TTF_Font TTF_Font;

struct label_texture_t {
  GLuint texture;
  int width, height;
};

struct place_label_drawing_t {
  TTF_Font* font = nullptr;
  bool ttf_started = false;
  std::unordered_map<int64_t, label_texture_t> textures;  // by place id
};

// Opens the labels' font (labels_font_path). False, after one line on
// standard error, when it cannot: the viewer then runs without labels.
bool initPlaceLabels(place_label_drawing_t& drawing);

// The candidates of a new set of places: their text measured with the font;
// the textures of places no longer among them are dropped.
void measurePlaceLabels(place_label_drawing_t& drawing, const std::vector<place_result_t>& places,
                        std::vector<label_candidate_t>* candidates);

void drawPlaceLabels(place_label_drawing_t& drawing, const std::vector<label_candidate_t>& candidates,
                     const std::vector<screen_label_t>& labels, int width, int height);

void releasePlaceLabels(place_label_drawing_t& drawing);
