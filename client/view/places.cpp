#include "view/places.h"

// Each pose looks at its subject from where its relief shows: from the side
// and above for mountains (the textures carry the hillshading), from high
// up for coasts, whose outline is what the open imagery resolves.
const std::array<place_t, 9> places{{
    {"mont-blanc", "Mont Blanc", {46.25, 6.40, 40000, 140, -40}},
    {"everest", "Everest", {27.55, 86.55, 40000, 40, -35}},
    {"grand-canyon", "Grand Canyon", {35.80, -112.30, 25000, 20, -35}},
    {"alps", "the Alps from 300 km", {49.20, 7.50, 300000, 170, -48}},
    {"paris", "Paris", {48.55, 2.10, 30000, 30, -35}},
    {"sydney", "Sydney", {-34.20, 150.90, 30000, 35, -40}},
    {"himalaya", "the Himalaya from orbit", {21.00, 84.00, 800000, 0, -50}},
    {"gibraltar", "Gibraltar", {35.40, -5.60, 60000, 0, -45}},
    {"earth", "the whole Earth from 12,000 km", {30.00, 10.00, 12000000, 0, -81}},
}};

const place_t* findPlace(std::string_view name) {
  for (const place_t& p : places)
    if (name == p.name) return &p;
  return nullptr;
}
