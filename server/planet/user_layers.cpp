#include "planet/user_layers.h"

#include <algorithm>
#include <cmath>

bool openUserLayers(const std::vector<std::string>& relief, const std::vector<std::string>& imagery,
                    terrain_t* t, std::string* error) {
  for (int k = 0; k < 2; ++k) {
    const layer_kind_t kind = k == 0 ? layer_relief : layer_imagery;
    for (const std::string& path : k == 0 ? relief : imagery) {
      std::unique_ptr<RasterLayer> layer = RasterLayer::open(path, kind, error);
      if (!layer) return false;
      (kind == layer_relief ? t->relief_layers : t->imagery_layers).push_back(std::move(layer));
    }
  }
  return true;
}

bool layersCallForChildren(const terrain_t& t, const geo_box_t& box) {
  const double texel = (box.n - box.s) / texture_size;
  for (const auto* layers : {&t.relief_layers, &t.imagery_layers})
    for (const std::unique_ptr<RasterLayer>& layer : *layers)
      if (layer->pixelDegrees() < texel && layer->overlaps(box)) return true;
  return false;
}

std::vector<layer_window_t> reliefWindows(const terrain_t& t, const geo_box_t& box) {
  std::vector<layer_window_t> out;
  const double spacing = (box.n - box.s) / shading_cells;
  const geo_box_t region{box.s - spacing, box.n + spacing, box.w - spacing, box.e + spacing};
  for (const std::unique_ptr<RasterLayer>& layer : t.relief_layers) {
    if (!layer->overlaps(region)) continue;
    layer_window_t w;
    if (!layer->read(region, spacing, &w.window) || w.window.empty()) continue;
    w.first_octave = firstOctaveBelow(layer->pixelMetres());
    out.push_back(std::move(w));
  }
  return out;
}

double blendRelief(const std::vector<layer_window_t>& windows, double lat, double lon, double height,
                   const Eigen::Vector3d& unit, int octaves, detail_cache_t& cache) {
  for (const layer_window_t& w : windows) {
    float v = 0;
    const float a = sampleWindow(w.window, lat, lonNearWindow(w.window, lon), &v);
    if (a <= 0.0f) continue;
    const double relief = std::clamp(static_cast<double>(v), static_cast<double>(relief_floor_metres),
                                     static_cast<double>(relief_ceiling_metres));
    double detail = 0;
    if (octaves > w.first_octave && relief > -100.0)
      detail = detailNoiseCached(unit, octaves, cache, w.first_octave);
    height += a * (terrainHeight(relief, detail) - height);
  }
  return height;
}

void paintImagery(const terrain_t& t, const geo_box_t& box, const std::vector<float>& shades, int n,
                  uint8_t* rgb) {
  constexpr int size = texture_size;
  const double texel = (box.n - box.s) / (size - 1);
  std::vector<layer_window_t> windows;
  for (const std::unique_ptr<RasterLayer>& layer : t.imagery_layers) {
    if (!layer->overlaps(box)) continue;
    layer_window_t w;
    if (!layer->read(box, texel, &w.window) || w.window.empty()) continue;
    w.shade_weight = static_cast<float>(std::clamp(std::log2(layer->pixelDegrees() / texel), 0.0, 1.0));
    windows.push_back(std::move(w));
  }
  if (windows.empty()) return;

  std::vector<double> lons(size);
  for (int c = 0; c < size; ++c) lons[c] = box.w + (box.e - box.w) * c / (size - 1);
  for (int r = 0; r < size; ++r) {
    const double lat = box.n - (box.n - box.s) * r / (size - 1);
    const double y = static_cast<double>(size - 1 - r) * n / (size - 1);
    const int j = std::min(static_cast<int>(y), n - 1);
    const float ty = static_cast<float>(y - j);
    for (int c = 0; c < size; ++c) {
      uint8_t* px = &rgb[(static_cast<size_t>(r) * size + c) * 3];
      float colour[3] = {static_cast<float>(px[0]), static_cast<float>(px[1]), static_cast<float>(px[2])};
      bool painted = false;
      for (const layer_window_t& w : windows) {
        float v[3];
        const float a = sampleWindow(w.window, lat, lonNearWindow(w.window, lons[c]), v);
        if (a <= 0.0f) continue;
        float shade = 1.0f;
        if (w.shade_weight > 0.0f) {
          const double x = static_cast<double>(c) * n / (size - 1);
          const int i = std::min(static_cast<int>(x), n - 1);
          const float tx = static_cast<float>(x - i);
          const float* s0 = &shades[static_cast<size_t>(j) * (n + 1) + i];
          const float* s1 = s0 + (n + 1);
          const float s = (s0[0] * (1 - tx) + s0[1] * tx) * (1 - ty) + (s1[0] * (1 - tx) + s1[1] * tx) * ty;
          shade = 1.0f + (s - 1.0f) * w.shade_weight;
        }
        for (int k = 0; k < 3; ++k) colour[k] += a * (v[k] * shade - colour[k]);
        painted = true;
      }
      if (!painted) continue;
      for (int k = 0; k < 3; ++k) px[k] = static_cast<uint8_t>(std::clamp(colour[k] + 0.5f, 0.0f, 255.0f));
    }
  }
}
