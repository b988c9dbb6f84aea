#include "selection.h"

#include <cstdio>
#include <utility>

namespace {

// A bulk holds four levels below its own path: the key of a node in its bulk
// is what follows the last multiple of 4 before it.
std::string relativeKey(const std::string& path) {
  const size_t start = 4 * ((path.size() - 1) / 4);
  return path.substr(start, 4);
}

bool requestable(const std::atomic<dl_state>& state, const retry_backoff_t& backoff, int64_t now_ms) {
  return state.load() == dl_state_stub && retryDue(backoff, now_ms);
}

// Screen pixels per metre at the node's distance, for the nominal height:
// the node is needed when its texels are no finer than that.
bool coarseEnough(const node_t& node, const walk_view_t& view) {
  const double d = (view.eye - node.obb.center).norm();
  const Eigen::Vector3d t = view.eye + view.direction * d;
  const double w = view.viewprojection.row(3).dot(Eigen::Vector4d(t.x(), t.y(), t.z(), 1));
  const double r = 2 * (1 / w) * lod_screen_height;
  const float texels_per_meter = 1.0f / node.meters_per_texel;
  return !(texels_per_meter > r);  // NaN on either side keeps the node
}

}  // namespace

bool planetReady(rocktree_t* planet, int64_t now_ms, const request_seam_t& seam) {
  if (!planet || !planet->downloaded.load()) return false;
  bulk_t* root = planet->root_bulk;
  if (!root) return false;
  if (requestable(root->dl_state, root->backoff, now_ms)) {
    root->setStartedDownloading();
    seam.request_bulk(root);
  }
  return root->dl_state.load() == dl_state_downloaded;
}

void walkTree(bulk_t* root, const walk_view_t& view, int64_t now_ms, const request_seam_t& seam,
              selection_t* sel, frame_stats_t* stats) {
  static const char octs[] = "01234567";
  sel->potential_nodes.clear();
  sel->potential_bulks.clear();

  std::vector<std::pair<std::string, bulk_t*>> valid{{std::string(), root}};
  std::vector<std::pair<std::string, bulk_t*>> next_valid;
  while (!valid.empty()) {
    for (auto& [cur, found_in] : valid) {
      bulk_t* bulk = found_in;
      if (!cur.empty() && cur.size() % 4 == 0) {
        auto it = bulk->bulks.find(cur.substr(cur.size() - 4));
        if (it == bulk->bulks.end()) continue;
        bulk_t* b = it->second.get();
        sel->potential_bulks[cur] = b;
        if (requestable(b->dl_state, b->backoff, now_ms)) {
          b->setStartedDownloading();
          seam.request_bulk(b);
          ++stats->bulk_requests;
        }
        // Its maps are written by a worker until it is downloaded.
        if (b->dl_state.load() != dl_state_downloaded) continue;
        bulk = b;
      }
      sel->potential_bulks[cur] = bulk;

      for (int o = 0; o < 8; ++o) {
        std::string nxt = cur;
        nxt.push_back(octs[o]);
        auto it = bulk->nodes.find(relativeKey(nxt));
        if (it == bulk->nodes.end()) continue;
        node_t* node = it->second.get();
        ++stats->examined;
        if (classifyObbFrustum(&node->obb, view.frustum_planes) == obb_frustum_outside) continue;
        if (!coarseEnough(*node, view)) continue;
        ++stats->visited;
        if (node->can_have_data) sel->potential_nodes[nxt] = node;
        next_valid.emplace_back(std::move(nxt), bulk);
      }
    }
    valid.swap(next_valid);
    next_valid.clear();
  }

  // Ascending order: a node before its descendants, coarse detail first.
  for (auto& [path, node] : sel->potential_nodes) {
    if (requestable(node->dl_state, node->backoff, now_ms)) {
      node->setStartedDownloading();
      seam.request_node(node);
      ++stats->node_requests;
    }
    if (node->dl_state.load() != dl_state_downloaded) ++stats->pending_nodes;
  }
  for (auto& [path, bulk] : sel->potential_bulks)
    if (bulk->dl_state.load() != dl_state_downloaded) ++stats->pending_bulks;
  stats->pot_n = sel->potential_nodes.size();
  stats->pot_b = sel->potential_bulks.size();
}

void computeDrawList(const selection_t& sel, std::vector<draw_item_t>* out) {
  out->clear();
  // Keys view the paths held by sel, which outlive this call.
  std::map<std::string_view, uint8_t> mask_map;
  for (auto it = sel.potential_nodes.rbegin(); it != sel.potential_nodes.rend(); ++it) {
    const std::string& full_path = it->first;
    node_t* node = it->second;
    if (full_path.empty() || node->dl_state.load() != dl_state_downloaded) continue;
    const int octant = full_path.back() - '0';
    if (octant >= 0 && octant < 8) {
      std::string_view prev(full_path.data(), full_path.size() - 1);
      mask_map[prev] |= static_cast<uint8_t>(1u << octant);
    }
    auto own = mask_map.find(std::string_view(full_path));
    const uint8_t mask = own == mask_map.end() ? 0 : own->second;
    if (mask == 0xFF) continue;
    out->push_back({node, mask});
  }
}

void releaseUnselected(bulk_t* root, const selection_t& sel, const unbuffer_mesh_fn_t& unbuffer_mesh,
                       frame_stats_t* stats) {
  // Node pass, over every downloaded bulk. Also remembers the bulks in an
  // order where each comes before its children, for the bulk pass.
  std::vector<bulk_t*> bulks_preorder;
  std::vector<bulk_t*> work{root};
  while (!work.empty()) {
    bulk_t* cur = work.back();
    work.pop_back();
    bulks_preorder.push_back(cur);
    for (auto& [key, b] : cur->bulks)
      if (b->dl_state.load() == dl_state_downloaded) work.push_back(b.get());
    for (auto& [key, n] : cur->nodes) {
      if (n->dl_state.load() != dl_state_downloaded) continue;
      for (const mesh_t& m : n->meshes) {
        if (m.buffered) {
          ++stats->buf_cnt;
          break;
        }
      }
      ++stats->total_n;
      if (sel.potential_nodes.count(recordPath(n.get()))) continue;
      ++stats->obs_n_cnt;
      for (mesh_t& m : n->meshes)
        if (m.buffered) unbuffer_mesh(m);
      n->_data.reset();
      n->matrix_globe_from_mesh.setZero();
      std::vector<mesh_t>().swap(n->meshes);
      n->setDeleted();
    }
  }

  // Bulk pass, children before parents: a parent whose last busy child goes
  // in this pass goes in the same pass.
  for (auto it = bulks_preorder.rbegin(); it != bulks_preorder.rend(); ++it) {
    bulk_t* b = *it;
    ++stats->total_b;
    if (b == root || sel.potential_bulks.count(recordPath(b))) continue;
    if (b->busy_ctr.load() != 0) continue;
    // Every child is a stub now: nothing in flight refers to them.
    b->nodes.clear();
    b->bulks.clear();
    b->setDeleted();
    ++stats->obs_b_cnt;
  }
}

std::string statsLine(const frame_stats_t& s) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "buffered: %d, tot_n: %d, tot_b: %d, pot_n: %lu, pot_b: %lu, obs n: %d, obs b: %d\n",
                s.buf_cnt, s.total_n, s.total_b, static_cast<unsigned long>(s.pot_n),
                static_cast<unsigned long>(s.pot_b), s.obs_n_cnt, s.obs_b_cnt);
  return buf;
}

bool noteSettling(settle_tracker_t* tracker, const frame_stats_t& stats, int64_t now_ms,
                  int64_t* elapsed_ms) {
  if (stats.pending_nodes + stats.pending_bulks > 0) {
    if (!tracker->unsettled) {
      tracker->unsettled = true;
      tracker->unsettled_since_ms = now_ms;
    }
    return false;
  }
  if (!tracker->unsettled) return false;
  tracker->unsettled = false;
  *elapsed_ms = now_ms - tracker->unsettled_since_ms;
  return true;
}
