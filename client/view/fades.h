// Fades between levels of detail, without waiting and without holes: a node
// that becomes drawable fades in over fade_ms while the node it refines
// keeps drawing the region beneath it; a node the walk no longer selects
// fades out over its parent the same way. The drawing is a screen door: at
// each pixel an ordered-dither threshold t in [0, 1) picks exactly one of
// the nodes that cover it, so nothing is sorted or blended and a pixel is
// never drawn twice. GL-free: the renderer gets each node's threshold
// interval per octant.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "view/selection.h"

struct fade_entry_t {
  node_t* node;
  double alpha;  // 0 (not drawn) to 1 (opaque), towards 1 while selected, towards 0 after
};

// Lives across frames, keyed by full path.
struct fade_state_t {
  std::map<std::string, fade_entry_t> entries;
};

// One node to draw: in octant i it keeps the pixels whose threshold t has
// low[i] <= t < high. Octants whose bit is set in mask are collapsed as in
// draw_item_t (a child covers them whole).
struct faded_draw_item_t {
  node_t* node;
  uint8_t mask;
  float high;
  std::array<float, 8> low;
};

// After the walk and the release of the frame, in place of computeDrawList:
// advances every fade by delta_ms and lists what to draw, finest first.
// Selected, downloaded nodes fade towards opaque (a new one starts at the
// opacity of its most opaque drawn child, so a parent arriving after its
// children never hides them); others fade out while their parent is drawn
// and they are still downloaded (else they go at once). A node's opacity is
// capped by its drawn parent's, so that along any point the drawn nodes
// split [0, 1) into disjoint intervals: the parent's octant keeps
// [child's opacity, parent's opacity). Once every fade is done the list is
// computeDrawList's, all thresholds [0, 1).
void computeFadedDrawList(const selection_t& sel, double delta_ms, fade_state_t* fades,
                          std::vector<faded_draw_item_t>* out);

// True when no fade is under way: every drawn node is opaque.
bool fadesSettled(const fade_state_t& fades);

// The screen door's threshold at a pixel: an 8x8 ordered-dither (Bayer)
// matrix, (rank + 0.5) / 64. The fragment shader computes the same.
float ditherThreshold(int x, int y);
