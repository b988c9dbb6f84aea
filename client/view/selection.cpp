#include "view/selection.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace {

bool requestable(const std::atomic<dl_state>& state, const retry_backoff_t& backoff, int64_t now_ms) {
  return state.load() == dl_state_stub && retryDue(backoff, now_ms);
}

// Screen pixels per metre at the node's distance, for the nominal height:
// the node is needed when its texels are no finer than that.
bool coarseEnough(const Eigen::Vector3d& center, float meters_per_texel, const walk_view_t& view) {
  const double d = (view.eye - center).norm();
  const Eigen::Vector3d t = view.eye + view.direction * d;
  const double w = view.viewprojection.row(3).dot(Eigen::Vector4d(t.x(), t.y(), t.z(), 1));
  const double r = 2 * (1 / w) * lod_screen_height;
  const float texels_per_meter = 1.0f / meters_per_texel;
  return !(texels_per_meter > r);  // NaN on either side keeps the node
}

using children_index_t = std::unordered_map<std::string, selection_t::octants_t>;

// The children of a bulk's head. A bulk keys its nodes by the 1 to 4 digits
// of their paths below the bulk's own; the children of the node keyed k are
// keyed k plus one digit. The bulk is downloaded, so its nodes no longer
// change; entries of an unordered_map stay where they are, so the links
// between them hold.
const selection_t::octants_t* headChildren(selection_t* sel, const bulk_t* bulk) {
  auto [it, inserted] = sel->children.try_emplace(bulk);
  children_index_t& index = it->second;
  if (inserted) {
    for (auto& [key, node] : bulk->nodes) {
      const int octant = key.empty() ? -1 : key.back() - '0';
      if (key.size() > 4 || octant < 0 || octant > 7) continue;  // no walk asks for it
      // A new entry is value-initialised: eight null children.
      index.try_emplace(key.substr(0, key.size() - 1)).first->second[octant] = {
          node.get(), node->obb, node->meters_per_texel, node->can_have_data, nullptr};
    }
    for (auto& [parent_key, octants] : index) {
      for (int o = 0; o < 8; ++o) {
        if (!octants[o].node || parent_key.size() >= 3) continue;  // the bulk ends below
        auto kids = index.find(parent_key + static_cast<char>('0' + o));
        if (kids != index.end()) octants[o].children = &kids->second;
      }
    }
  }
  auto head = index.find(std::string());
  return head == index.end() ? nullptr : &head->second;
}

struct walk_item_t {
  std::string path;
  bulk_t* bulk;                        // the bulk in which the walk found the node
  const selection_t::octants_t* kids;  // its children there; unused at a bulk's head
  node_t* node;                        // null for the root
  bool can_have_data;
};

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
  const uint64_t frame = ++sel->frame;

  // Depth first, children in digit order: the paths come out in ascending
  // order, so both maps are filled at their end without a search. Which
  // nodes are visited does not depend on the order: a node is visited when
  // every ancestor passed both tests and every bulk on the way is here.
  std::vector<walk_item_t> stack{{std::string(), root, nullptr, nullptr, false}};
  while (!stack.empty()) {
    walk_item_t item = std::move(stack.back());
    stack.pop_back();
    const std::string& cur = item.path;
    bulk_t* bulk = item.bulk;
    if (item.node && item.can_have_data)
      sel->potential_nodes.emplace_hint(sel->potential_nodes.end(), cur, item.node);

    if (!cur.empty() && cur.size() % 4 == 0) {
      auto it = bulk->bulks.find(cur.substr(cur.size() - 4));
      if (it == bulk->bulks.end()) continue;
      bulk_t* b = it->second.get();
      sel->potential_bulks.emplace_hint(sel->potential_bulks.end(), cur, b);
      if (requestable(b->dl_state, b->backoff, now_ms)) {
        b->setStartedDownloading();
        seam.request_bulk(b);
        ++stats->bulk_requests;
      }
      if (b->dl_state.load() != dl_state_stub) sel->live_bulks[b] = frame;
      // Its maps are written by a worker until it is downloaded.
      if (b->dl_state.load() != dl_state_downloaded) {
        ++stats->pending_bulks;
        continue;
      }
      bulk = b;
    } else {
      sel->potential_bulks.emplace_hint(sel->potential_bulks.end(), cur, bulk);
    }

    const selection_t::octants_t* kids = cur.size() % 4 == 0 ? headChildren(sel, bulk) : item.kids;
    if (!kids) continue;
    for (int o = 7; o >= 0; --o) {
      const selection_t::child_t& child = (*kids)[o];
      if (!child.node) continue;
      ++stats->examined;
      if (classifyObbFrustum(&child.obb, view.frustum_planes) == obb_frustum_outside) continue;
      if (!coarseEnough(child.obb.center, child.meters_per_texel, view)) continue;
      ++stats->visited;
      std::string nxt;
      nxt.reserve(cur.size() + 1);
      nxt = cur;
      nxt.push_back(octs[o]);
      stack.push_back({std::move(nxt), bulk, child.children, child.node, child.can_have_data});
    }
  }

  // Ascending order: a node before its descendants, coarse detail first.
  for (auto& [path, node] : sel->potential_nodes) {
    if (requestable(node->dl_state, node->backoff, now_ms)) {
      node->setStartedDownloading();
      seam.request_node(node);
      ++stats->node_requests;
    }
    const dl_state state = node->dl_state.load();
    if (state != dl_state_stub) sel->live_nodes[node] = frame;
    if (state != dl_state_downloaded) ++stats->pending_nodes;
  }
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

void releaseUnselected(bulk_t* root, selection_t* sel, const unbuffer_mesh_fn_t& unbuffer_mesh,
                       frame_stats_t* stats) {
  const uint64_t frame = sel->frame;

  // Node pass. A remembered node back in stub had its retrieval fail: it is
  // forgotten here, before the bulk pass may destroy it.
  for (auto it = sel->live_nodes.begin(); it != sel->live_nodes.end();) {
    node_t* n = it->first;
    const dl_state state = n->dl_state.load();
    if (state == dl_state_stub) {
      it = sel->live_nodes.erase(it);
      continue;
    }
    if (state != dl_state_downloaded) {
      ++it;  // still downloading: left alone until it has arrived
      continue;
    }
    for (const mesh_t& m : n->meshes) {
      if (m.buffered) {
        ++stats->buf_cnt;
        break;
      }
    }
    ++stats->total_n;
    if (it->second == frame) {
      ++it;
      continue;
    }
    ++stats->obs_n_cnt;
    for (mesh_t& m : n->meshes)
      if (m.buffered) unbuffer_mesh(m);
    dropNodeContents(n);
    n->setDeleted();
    it = sel->live_nodes.erase(it);
  }

  // Bulk pass over the downloaded bulks, deeper ones first: a child's path
  // is longer than its parent's, so a parent whose last busy child goes in
  // this pass goes in the same pass.
  std::vector<std::pair<size_t, bulk_t*>> bulks;
  for (auto it = sel->live_bulks.begin(); it != sel->live_bulks.end();) {
    const dl_state state = it->first->dl_state.load();
    if (state == dl_state_stub) {
      it = sel->live_bulks.erase(it);
      continue;
    }
    if (state == dl_state_downloaded && it->first != root) bulks.emplace_back(recordPath(it->first).size(), it->first);
    ++it;
  }
  std::sort(bulks.begin(), bulks.end(),
            [](const auto& a, const auto& b) { return a.first > b.first; });
  ++stats->total_b;  // the root, never released: its path is always walked
  for (auto& [depth, b] : bulks) {
    ++stats->total_b;
    if (sel->live_bulks[b] == frame) continue;
    if (b->busy_ctr.load() != 0) continue;
    // Every child is a stub now and nothing in flight refers to it; forget
    // the ones still remembered (a retrieval that failed since the passes
    // began) before they are destroyed.
    for (auto& [key, n] : b->nodes) sel->live_nodes.erase(n.get());
    for (auto& [key, c] : b->bulks) {
      sel->live_bulks.erase(c.get());
      sel->children.erase(c.get());
    }
    sel->children.erase(b);
    b->nodes.clear();
    b->bulks.clear();
    b->setDeleted();
    sel->live_bulks.erase(b);
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
