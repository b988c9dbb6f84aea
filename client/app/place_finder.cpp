#include "app/place_finder.h"

#include <cstdio>

#include "app/user_interface.h"
#include "gl/place_label_drawing.h"
#include "view/place_labels.h"
#include "view/place_search.h"

namespace {

struct place_finder_t {
  place_index_ptr_t index;
  std::string unavailable;  // why there is no index; empty when there is one
  bool has_start_place = false;
  place_result_t start_place{};
  // The search line.
  bool open = false;
  bool skip_slash = false;  // the '/' that opened the line comes as text too
  std::string text;
  std::vector<place_result_t> suggestions;
  size_t chosen = 0;
  // Labels.
  bool labels_on = false;
  bool labels_started = false;
  bool labels_failed = false;
  place_label_drawing_t drawing;
  label_query_t query;
  std::vector<label_candidate_t> candidates;
  std::vector<screen_label_t> chosen_labels;
};

place_finder_t finder;

void openIndex() {
  if (finder.index || !finder.unavailable.empty()) return;
  std::string why;
  finder.index = openPlaceIndex(builtPlaceIndexPath(), &why);
  if (!finder.index)
    finder.unavailable = why + " (build the viewer after scripts/bootstrap has installed GeoNames' cities500)";
}

void go(const place_result_t& r, bool fly = true) {
  std::printf("go: %s at %.5f, %.5f\n", resultLine(r).c_str(), r.lat_deg, r.lon_deg);
  goToPlace(r.lat_deg, r.lon_deg, r.elevation_m + resultViewHeight(r), fly);
}

void suggest() {
  finder.suggestions = searchPlaces(finder.index.get(), finder.text, search_suggestions);
  finder.chosen = 0;
}

// Removes the last UTF-8 character.
void backspace(std::string* text) {
  while (!text->empty()) {
    const unsigned char c = static_cast<unsigned char>(text->back());
    text->pop_back();
    if ((c & 0xc0) != 0x80) break;
  }
}

void closeLine() {
  finder.open = false;
  finder.text.clear();
  finder.suggestions.clear();
  SDL_StopTextInput();
}

}  // namespace

bool findStartPlace(const viewer_options_t& options) {
  if (options.go.empty()) return true;
  openIndex();
  const std::vector<place_result_t> r = searchPlaces(finder.index.get(), options.go, 1);
  if (r.empty()) {
    if (!finder.index)
      std::fprintf(stderr, "ostravel: --go: search is unavailable: %s\n", finder.unavailable.c_str());
    else
      std::fprintf(stderr, "ostravel: --go: no place matches \"%s\"\n", cleanSearchText(options.go).c_str());
    return false;
  }
  finder.has_start_place = true;
  finder.start_place = r[0];
  return true;
}

void startPlaceFinder(const viewer_options_t& options) {
  finder.labels_on = options.labels;
  if (finder.has_start_place) go(finder.start_place);
}

bool searchLineOpen() { return finder.open; }

bool handlePlaceFinderEvent(const SDL_Event& event) {
  if (!finder.open) {
    if (event.type != SDL_KEYDOWN || event.key.repeat) return false;
    const SDL_Keycode key = event.key.keysym.sym;
    if (key == SDLK_SLASH || key == SDLK_KP_DIVIDE) {
      openIndex();
      finder.open = true;
      finder.skip_slash = true;
      finder.text.clear();
      finder.suggestions.clear();
      SDL_StartTextInput();
      return true;
    }
    if (key == SDLK_l) {
      finder.labels_on = !finder.labels_on;
      std::printf("labels: %s\n", finder.labels_on ? "on" : "off");
      return true;
    }
    return false;
  }
  if (event.type == SDL_TEXTINPUT) {
    const std::string typed = event.text.text;
    const bool skip = finder.skip_slash && typed == "/";
    finder.skip_slash = false;
    if (skip) return true;
    finder.text = cleanSearchText(finder.text + typed);
    if (!typed.empty() && typed.back() == ' ' && !finder.text.empty() && finder.text.size() < search_max_query_bytes) finder.text += ' ';
    suggest();
    return true;
  }
  if (event.type != SDL_KEYDOWN) return false;
  finder.skip_slash = false;  // its text would have come right after it
  if (event.key.keysym.sym == SDLK_F12) return false;  // a screenshot of the line
  switch (event.key.keysym.sym) {
    case SDLK_ESCAPE:
      closeLine();
      break;
    case SDLK_BACKSPACE:
      backspace(&finder.text);
      suggest();
      break;
    case SDLK_UP:
      if (finder.chosen > 0) --finder.chosen;
      break;
    case SDLK_DOWN:
      if (finder.chosen + 1 < finder.suggestions.size()) ++finder.chosen;
      break;
    case SDLK_RETURN:
    case SDLK_KP_ENTER:
      if (finder.chosen < finder.suggestions.size()) {
        const place_result_t r = finder.suggestions[finder.chosen];
        closeLine();
        go(r);
      }
      break;
    default:
      break;
  }
  return true;  // every key belongs to the line while it is open
}

std::vector<std::string> searchLines() {
  if (!finder.open) return {};
  std::vector<std::string> lines{"search: " + finder.text + "_"};
  if (!finder.index) lines.push_back("  search is unavailable: " + finder.unavailable);
  else if (finder.suggestions.empty() && !finder.text.empty()) lines.push_back("  no place matches");
  for (size_t k = 0; k < finder.suggestions.size(); ++k)
    lines.push_back((k == finder.chosen ? "> " : "  ") + resultLine(finder.suggestions[k]));
  return lines;
}

void drawPlaceFinder(const camera_t& cam, float planet_radius, int width, int height) {
  if (!finder.labels_on || finder.labels_failed) return;
  if (!finder.labels_started) {
    finder.labels_started = true;
    openIndex();
    if (!finder.index) {
      std::fprintf(stderr, "labels: unavailable: %s\n", finder.unavailable.c_str());
      finder.labels_failed = true;
      return;
    }
    if (!initPlaceLabels(finder.drawing)) {
      finder.labels_failed = true;
      return;
    }
  }
  // This frame's matrices, as updateCamera made them for the walk.
  camera_t copy = cam;
  camera_frame_t frame;
  if (!updateCamera(copy, camera_input_t{}, 0, planet_radius, width, height, &frame)) return;
  const label_view_t view{cam.eye, frame.viewprojection, width, height, planet_radius};
  if (refreshLabelPlaces(finder.index.get(), view, &finder.query))
    measurePlaceLabels(finder.drawing, finder.query.places, &finder.candidates);
  chooseLabels(finder.candidates, view, labels_max, &finder.chosen_labels);
  drawPlaceLabels(finder.drawing, finder.candidates, finder.chosen_labels, width, height);
}

void stopPlaceFinder() {
  releasePlaceLabels(finder.drawing);
  finder.index.reset();
}
