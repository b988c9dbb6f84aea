// Which place names the view shows, decided without GL: the places of the
// index in the visible part of the sphere (asked again only after a real
// move), then per frame the most populous of them that are on the screen,
// on the near side of the planet and above the eye's horizon, each with a
// box that overlaps no larger place's, at most labels_max, fewer the
// farther they are. gl/place_label_drawing draws what this chooses.
#pragma once

#include <Eigen/Core>
#include <vector>

#include "view/place_search.h"

struct label_view_t {
  Eigen::Vector3d eye;             // planet frame, metres
  Eigen::Matrix4d viewprojection;  // of the frame (view/camera)
  int width, height;               // the drawable, pixels
  double planet_radius;
};

// A place that may get a label, with the size of its text in pixels (the
// drawer measures it with its font).
struct label_candidate_t {
  place_result_t place;
  int text_width, text_height;
};

// A chosen label: the place's pixel (top left origin) and its text's box.
struct screen_label_t {
  size_t candidate;  // index into the candidates
  int x, y;          // the place
  int left, top, right, bottom;
};

// How populous a place must be for a label at this distance from the eye.
double labelMinPopulation(double distance_m);

// The point of a place in the planet frame: on the sphere, raised by its elevation.
Eigen::Vector3d placePoint(double lat_deg, double lon_deg, double elevation_m, double planet_radius);

// True when a surface point is above the horizon of the eye: on the near
// side of the limb, not hidden by the planet's curve.
bool aboveHorizon(const Eigen::Vector3d& eye, const Eigen::Vector3d& point);

// The latitude/longitude boxes (one, two across the antimeridian) around
// what the view shows of the sphere: where rays through a grid of pixels
// meet it, or the horizon in their direction when they miss; grown by
// `margin` of their size on each side. Of the band of the picture from
// bottom to top (normalised device coordinates, -1 the bottom row); the
// distance from the eye to the nearest of those points in *nearest_m.
std::vector<place_box_t> visibleBoxes(const label_view_t& view, double margin, double bottom = -1, double top = 1,
                                      double* nearest_m = nullptr);

// The candidates of the last query and what it covered.
constexpr int label_bands = 3;
struct label_query_t {
  std::vector<place_box_t> boxes;  // empty before the first
  double min_population[label_bands] = {};  // asked for, by band
  std::vector<place_result_t> places;  // the most populous first
};

// Asks the index again when the visible boxes leave the last query's or a
// band of the picture wants smaller places than it asked for. True when
// `places` changed. Each of three bands of the picture, bottom to top, asks
// for its share of the candidates, as small as its nearest ground allows:
// in a view along the ground the near places count as much as the many far
// ones that crowd the top.
bool refreshLabelPlaces(place_index_t* index, const label_view_t& view, label_query_t* query);

// This frame's labels among candidates ordered most populous first.
void chooseLabels(const std::vector<label_candidate_t>& candidates, const label_view_t& view, size_t max_labels,
                  std::vector<screen_label_t>* out);
