#include "planet/user_layers.h"

#include <algorithm>
#include <cmath>
#include <span>

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
  // Kept per builder thread: a window of imagery is a few MB.
  thread_local std::vector<layer_window_t> kept;
  size_t used = 0;
  for (const std::unique_ptr<RasterLayer>& layer : t.imagery_layers) {
    if (!layer->overlaps(box)) continue;
    if (used == kept.size()) kept.emplace_back();
    layer_window_t& w = kept[used];
    if (!layer->read(box, texel, &w.window) || w.window.empty()) continue;
    w.shade_weight = static_cast<float>(std::clamp(std::log2(layer->pixelDegrees() / texel), 0.0, 1.0));
    ++used;
  }
  if (used == 0) return;
  const auto windows = std::span(kept).first(used);

  // Every texel of a row shares its latitude, of a column its longitude:
  // the window and shading-grid positions are computed once per axis.
  std::vector<axis_sample_t> shade_x(size), shade_y(size), win_x(size), win_y(size);
  for (int k = 0; k < size; ++k) {
    shade_x[k] = axisSample(static_cast<double>(k) * n / (size - 1), n + 1);
    shade_y[k] = axisSample(static_cast<double>(size - 1 - k) * n / (size - 1), n + 1);
  }
  for (const layer_window_t& w : windows) {
    for (int k = 0; k < size; ++k) {
      win_x[k] = axisSample(windowColumn(w.window, lonNearWindow(w.window, box.w + (box.e - box.w) * k / (size - 1))),
                            w.window.width);
      win_y[k] = axisSample(windowRow(w.window, box.n - (box.n - box.s) * k / (size - 1)), w.window.height);
    }
    for (int r = 0; r < size; ++r) {
      if (!win_y[r].inside) continue;
      const axis_sample_t& sy = shade_y[r];
      const float* s0 = &shades[static_cast<size_t>(sy.i0) * (n + 1)];
      const float* s1 = &shades[static_cast<size_t>(sy.i1) * (n + 1)];
      uint8_t* row = &rgb[static_cast<size_t>(r) * size * 3];
      for (int c = 0; c < size; ++c) {
        if (!win_x[c].inside) continue;
        float v[3];
        const float a = sampleWindowAt(w.window, win_x[c], win_y[r], v);
        if (a <= 0.0f) continue;
        float shade = 1.0f;
        if (w.shade_weight > 0.0f) {
          const axis_sample_t& sx = shade_x[c];
          const float s = (s0[sx.i0] * (1 - sx.f) + s0[sx.i1] * sx.f) * (1 - sy.f) +
                          (s1[sx.i0] * (1 - sx.f) + s1[sx.i1] * sx.f) * sy.f;
          shade = 1.0f + (s - 1.0f) * w.shade_weight;
        }
        uint8_t* px = &row[c * 3];
        for (int k = 0; k < 3; ++k) {
          const float colour = px[k] + a * (v[k] * shade - px[k]);
          px[k] = static_cast<uint8_t>(std::clamp(colour + 0.5f, 0.0f, 255.0f));
        }
      }
    }
  }
}
