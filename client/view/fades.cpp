#include "view/fades.h"

#include <algorithm>

#include "viewer_settings.h"

namespace {

// Still the record we saw: the selection remembers every record that is not
// a stub and forgets one before its memory goes, and the path tells a
// record apart from a new one at the same address.
bool stillDownloaded(const selection_t& sel, const std::string& path, node_t* node) {
  return sel.live_nodes.count(node) && node->dl_state.load() == dl_state_downloaded && recordPath(node) == path;
}

std::string_view parentOf(const std::string& path) { return std::string_view(path).substr(0, path.size() - 1); }

}  // namespace

void computeFadedDrawList(const selection_t& sel, double delta_ms, fade_state_t* fades,
                          std::vector<faded_draw_item_t>* out) {
  out->clear();
  auto& entries = fades->entries;
  const double step = fade_ms > 0 ? delta_ms / fade_ms : 1;

  // What the frame would draw without fades: the selected, downloaded nodes.
  std::map<std::string_view, node_t*> wanted;
  for (const auto& [path, node] : sel.potential_nodes)
    if (!path.empty() && node->dl_state.load() == dl_state_downloaded) wanted.emplace(path, node);

  // New entries start under their most opaque drawn child (deeper paths
  // come later in the map, so look them up by prefix).
  for (const auto& [path, node] : wanted) {
    auto [it, inserted] = entries.try_emplace(std::string(path), fade_entry_t{node, 0});
    if (!inserted) continue;
    const std::string& key = it->first;
    for (auto c = std::next(it); c != entries.end() && c->first.size() > key.size() &&
                                 c->first.compare(0, key.size(), key) == 0;
         ++c)
      if (c->first.size() == key.size() + 1) it->second.alpha = std::max(it->second.alpha, c->second.alpha);
  }

  // Ascending: a parent before its children, so its fate and opacity are
  // known when they are decided. effective holds the capped opacities.
  std::map<std::string_view, double> effective;
  for (auto it = entries.begin(); it != entries.end();) {
    const std::string& path = it->first;
    fade_entry_t& e = it->second;
    auto w = wanted.find(path);
    auto parent = effective.find(parentOf(path));
    if (w != wanted.end()) {
      e.node = w->second;
      e.alpha = e.alpha + step >= 1 - 1e-9 ? 1 : e.alpha + step;
    } else {
      e.alpha -= step;
      if (e.alpha <= 1e-9 || parent == effective.end() || !stillDownloaded(sel, path, e.node)) {
        it = entries.erase(it);
        continue;
      }
    }
    effective.emplace(path, parent == effective.end() ? e.alpha : std::min(e.alpha, parent->second));
    ++it;
  }

  // Finest first, as computeDrawList: each node's octants take their low
  // end from the child drawn there.
  std::map<std::string_view, std::array<float, 8>> lows;
  for (auto it = entries.rbegin(); it != entries.rend(); ++it) {
    const std::string& path = it->first;
    const float high = static_cast<float>(effective.at(path));
    const int octant = path.back() - '0';
    if (octant >= 0 && octant < 8) {
      auto [low, fresh] = lows.try_emplace(parentOf(path));
      if (fresh) low->second.fill(0);
      low->second[static_cast<size_t>(octant)] = high;
    }
    faded_draw_item_t item{it->second.node, 0, high, {}};
    item.low.fill(0);
    auto own = lows.find(path);
    if (own != lows.end()) item.low = own->second;
    for (int o = 0; o < 8; ++o)
      if (item.low[static_cast<size_t>(o)] >= 1) item.mask |= static_cast<uint8_t>(1u << o);
    if (item.mask == 0xFF || high <= 0) continue;
    out->push_back(item);
  }
}

bool fadesSettled(const fade_state_t& fades) {
  for (const auto& [path, e] : fades.entries)
    if (e.alpha < 1) return false;
  return true;
}

float ditherThreshold(int x, int y) {
  // Three levels of the 2x2 matrix [0 2; 3 1], the lowest bits weighing most.
  const auto b2 = [](int bx, int by) { return 2 * bx + 3 * by - 4 * bx * by; };
  int rank = 0;
  for (int level = 0; level < 3; ++level)
    rank = rank * 4 + b2((x >> level) & 1, (y >> level) & 1);
  return (static_cast<float>(rank) + 0.5f) / 64.0f;
}
