// What one frame needs from the planet tree: the walk with
// culling, level of detail and wishes; the octant masks of the drawing; the
// release of what the memory budget no longer keeps; and the frame's
// counters. Free of GL and of networking: the walk's wishes go to the
// request scheduler as a list and the GPU release through a callback, so
// hand-built trees can drive all of it.
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

#include "viewer_settings.h"
#include "net/request_wish.h"
#include "view/view_math.h"
#include "tree/tree.h"

struct walk_view_t {
  Eigen::Vector3d eye;
  Eigen::Vector3d direction;
  Eigen::Matrix4d viewprojection;
  frustum_planes_t frustum_planes;
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
  // What the last walk wants and does not have, for the request scheduler.
  std::vector<request_wish_t> wishes;
  // Requested records, each with the last frame whose walk used it.
  std::unordered_map<node_t*, uint64_t> live_nodes;
  std::unordered_map<bulk_t*, uint64_t> live_bulks;
  // For each downloaded bulk the walk entered: the children of each of its
  // paths, by octant, keyed by the path relative to the bulk ("" for the
  // bulk's own head), with copies of what culling and detail read. Built
  // once per download of the bulk (its nodes do not change while it is
  // downloaded) and dropped when the release frees the bulk's records, or
  // once the walk has not entered the bulk for walk_index_keep_frames: the
  // walk then does one hash lookup per bulk it enters instead of eight
  // searches of a map of hundreds of strings per node, and tests boxes that
  // lie side by side.
  struct child_t;
  using octants_t = std::array<child_t, 8>;
  struct child_t {
    node_t* node;
    OrientedBoundingBox obb;
    float meters_per_texel;
    bool can_have_data;
    const octants_t* children;  // its own children in the same bulk, if any
    bulk_t* bulk;               // the child bulk it heads, at the bulk's fourth level
  };
  struct bulk_index_t {
    std::unordered_map<std::string, octants_t> octants;
    const octants_t* head;  // octants[""], if any
  };
  std::unordered_map<const bulk_t*, bulk_index_t> children;
  // Map entries that earlier walks dropped, for reuse by later ones (their
  // keys keep their buffers).
  std::vector<std::map<std::string, node_t*>::node_type> spare_nodes;
  std::vector<std::map<std::string, bulk_t*>::node_type> spare_bulks;
  // An entry of the walk's depth-first stack. The walk keeps one path
  // buffer: an entry's parent path is always its first depth - 1 characters
  // when the entry is taken, since everything taken since the parent lies
  // below it.
  struct walk_item_t {
    uint32_t depth;  // length of the path
    char digit;      // its last digit
    bool can_have_data;
    bulk_t* bulk;            // the bulk in which the walk found the node
    const child_t* child;    // its entry there; null for the root
  };
  // The walk's path buffer and stack, kept for their capacity.
  std::string walk_path;
  std::vector<walk_item_t> walk_stack;
};

// Counters of one frame; the statistics line prints the first seven.
struct frame_stats_t {
  int buf_cnt;    // downloaded nodes with a buffered mesh, before release
  int total_n;    // downloaded nodes, before release
  int total_b;    // downloaded bulks, root included, before release
  size_t pot_n;   // selected nodes
  size_t pot_b;   // walked paths
  int obs_n_cnt;  // nodes released (evicted by the memory budget)
  int obs_b_cnt;  // bulks released (evicted by the memory budget)
  int examined;   // nodes the walk looked up and tested
  int visited;    // nodes that passed culling and level of detail
  int bulk_requests;  // stubs the walk queued
  int node_requests;
  int pending_nodes;  // selected nodes not yet downloaded, after requests
  int pending_bulks;  // walked bulks not yet downloaded, after requests
  int64_t cache_bytes;  // bytes of downloaded records after release (what the budget bounds)
};

// The root bulk is requested at start-up; when that retrieval failed it is a
// stub again, and it is requested anew here once its back-off has passed:
// request_root gets it in dl_state_downloading (the root is the one record
// that does not wait in the scheduler: nothing else can start before it).
// True when the planet and its root bulk are downloaded and a frame can run.
bool planetReady(rocktree_t* planet, int64_t now_ms, const std::function<void(bulk_t*)>& request_root);

// Walks from the root bulk (downloaded), filling sel. Every stub bulk it
// reaches and, after the walk, every stub node it selected (in ascending
// path order) goes to dl_state_queued; a stub whose retry back-off has not
// passed at now_ms is left alone. sel->wishes then lists every walked bulk
// and selected node that is queued or downloading, bulks in walk order,
// then nodes in ascending path order, each with its request priority.
void walkTree(bulk_t* root, const walk_view_t& view, int64_t now_ms, selection_t* sel, frame_stats_t* stats);

// After walkTree on the same sel, in the same frame: walks a view the camera
// is going to (a flight's destination) and adds its wishes after the
// frame's, ranked after everything the frame's view wants (laterPriority),
// so that its detail streams in while nothing nearer waits. Its records are
// remembered as used in this frame, so that the memory budget keeps them;
// the frame's selection and draw list are left as they are.
void walkViewToCome(bulk_t* root, const walk_view_t& view, int64_t now_ms, selection_t* sel,
                    frame_stats_t* stats);

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

// After the walk of the same frame on the same sel: while the bytes of all
// downloaded records (resident_bytes) reach budget_bytes, releases the
// downloaded records that the walk did not use in this frame, least
// recently used first (a node before a bulk used in the same frame, a
// deeper bulk before a shallower one): a node loses its meshes (through
// unbuffer_mesh when buffered) and contents, a bulk its child records, and
// both return to stub. A bulk with a busy child is never released. With a
// budget of 0 every record the walk did not use goes at once. Records only
// ever become downloaded through the walk's requests, so the ones sel
// remembers are all there is to release.
void releaseUnselected(bulk_t* root, selection_t* sel, const unbuffer_mesh_fn_t& unbuffer_mesh,
                       size_t budget_bytes, frame_stats_t* stats);

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
