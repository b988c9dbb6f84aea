// What the frame's walk hands the request scheduler: a wish (a record it
// wants and does not have) and the priority that ranks it. Apart from the
// scheduler, so that the walk sees neither retrieval nor the pools.
#pragma once

#include <cstddef>
#include <cstdint>

#include <Eigen/Core>

#include "tree/tree.h"

// Lower goes first; see request priority in viewer_settings.h. Packed into
// one integer so that ranking is one comparison: bit 63 is set for a view
// the camera is going to (after everything the current view wants), bit 62
// for nodes (bulks first), bits 57 to 61 hold the level (coarse first), the
// low 32 bits the squared distance from the picture's centre (a
// non-negative float whose bits order like its value).
using request_priority_t = uint64_t;

// level: path length of the record; centre: its box's centre in planet
// coordinates; viewprojection: the frame's.
request_priority_t requestPriority(bool is_node, size_t level, const Eigen::Vector3d& centre,
                                   const Eigen::Matrix4d& viewprojection);

// The same wish for a view to come: ranked after every wish of the current
// view.
inline request_priority_t laterPriority(request_priority_t p) { return p | (uint64_t{1} << 63); }

// One record the frame's walk wants and does not have: a stub it has just
// moved to dl_state_queued, or one still queued or downloading. Exactly one
// of bulk and node is set.
struct request_wish_t {
  bulk_t* bulk;
  node_t* node;
  request_priority_t priority;
};
