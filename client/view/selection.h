// What one frame needs from the planet tree: the walk with
// culling, level of detail and requests; the octant masks of the drawing; the
// release of what the walk no longer selects; and the frame's counters.
// Free of GL and of networking: requests go through request_seam_t and the
// GPU release through a callback, so hand-built trees can drive all of it.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <Eigen/Core>

#include "app/viewer_settings.h"
#include "view/view_math.h"
#include "tree/tree.h"

struct walk_view_t {
  Eigen::Vector3d eye;
  Eigen::Vector3d direction;
  Eigen::Matrix4d viewprojection;
  frustum_planes_t frustum_planes;
};

// How the walk starts retrievals. The walk has already moved the record to
// dl_state_downloading when it calls these.
struct request_seam_t {
  std::function<void(bulk_t*)> request_bulk;
  std::function<void(node_t*)> request_node;
};

// The frame's selection: plain pointers into the tree, valid for one frame.
// One selection_t lives across the frames: it also remembers every record
// its walks took out of the stub state, so that the release visits those
// instead of every record of every bulk (a bulk lists hundreds of nodes and
// child bulks, nearly all of them stubs).
struct selection_t {
  std::map<std::string, node_t*> potential_nodes;  // selected nodes that can have data
  std::map<std::string, bulk_t*> potential_bulks;  // every path walked, to its bulk
  uint64_t frame = 0;                               // walks so far
  // Requested records, each with the last frame whose walk used it.
  std::unordered_map<node_t*, uint64_t> live_nodes;
  std::unordered_map<bulk_t*, uint64_t> live_bulks;
  // For each downloaded bulk the walk entered: the children of each of its
  // paths, by octant, keyed by the path relative to the bulk ("" for the
  // bulk's own head), with copies of what culling and detail read. Built
  // once per download of the bulk (its nodes do not change while it is
  // downloaded) and dropped when the release frees the bulk's records: the
  // walk then does one hash lookup per visited node instead of eight searches
  // of a map of hundreds of strings, and tests boxes that lie side by side.
  struct child_t;
  using octants_t = std::array<child_t, 8>;
  struct child_t {
    node_t* node;
    OrientedBoundingBox obb;
    float meters_per_texel;
    bool can_have_data;
    const octants_t* children;  // its own children in the same bulk, if any
  };
  std::unordered_map<const bulk_t*, std::unordered_map<std::string, octants_t>> children;
};

// Counters of one frame; the statistics line prints the first seven.
struct frame_stats_t {
  int buf_cnt;    // downloaded nodes with a buffered mesh, before release
  int total_n;    // downloaded nodes, before release
  int total_b;    // downloaded bulks, root included, before release
  size_t pot_n;   // selected nodes
  size_t pot_b;   // walked paths
  int obs_n_cnt;  // nodes released
  int obs_b_cnt;  // bulks released
  int examined;   // nodes the walk looked up and tested
  int visited;    // nodes that passed culling and level of detail
  int bulk_requests;
  int node_requests;
  int pending_nodes;  // selected nodes not yet downloaded, after requests
  int pending_bulks;  // walked bulks not yet downloaded, after requests
};

// The root bulk is requested at start-up; when that retrieval failed it is a
// stub again, and it is requested anew here once its back-off has passed.
// True when the planet and its root bulk are downloaded and a frame can run.
bool planetReady(rocktree_t* planet, int64_t now_ms, const request_seam_t& seam);

// Walks from the root bulk (downloaded), filling sel, requesting every stub
// bulk it reaches and, after the walk, every stub node it selected, in
// ascending path order. A stub whose retry back-off has not passed at now_ms
// is left alone.
void walkTree(bulk_t* root, const walk_view_t& view, int64_t now_ms, const request_seam_t& seam,
              selection_t* sel, frame_stats_t* stats);

// One node to draw and the octants of it to hide.
struct draw_item_t {
  node_t* node;
  uint8_t mask;  // bit i set: the child in octant i is selected and downloaded
};

// The selected, downloaded nodes, finest first (descending path order), each
// with the octants that its selected, downloaded children cover. A node whose
// eight octants are all covered is left out.
void computeDrawList(const selection_t& sel, std::vector<draw_item_t>* out);

using unbuffer_mesh_fn_t = std::function<void(mesh_t&)>;

// After the walk of the same frame on the same sel: releases every
// downloaded node that the walk did not select (its meshes go through
// unbuffer_mesh when buffered), then, children before parents in one pass,
// every downloaded bulk that the walk did not use and that has no busy child.
// Records only ever become downloaded through the walk's requests, so the
// ones sel remembers are all there is to release.
void releaseUnselected(bulk_t* root, selection_t* sel, const unbuffer_mesh_fn_t& unbuffer_mesh,
                       frame_stats_t* stats);

// "buffered: ..., obs b: ...", the statistics line, with its newline.
std::string statsLine(const frame_stats_t& stats);

// Time to full detail: notes when the selection goes from having pending
// records to having none. A walked bulk that has not arrived counts as
// pending too: until it arrives the finer nodes below it are not even known.
struct settle_tracker_t {
  bool unsettled;
  int64_t unsettled_since_ms;
};

// True in the frame that settles; *elapsed_ms is then the time since the
// frame in which the selection last became unsettled.
bool noteSettling(settle_tracker_t* tracker, const frame_stats_t& stats, int64_t now_ms,
                  int64_t* elapsed_ms);
