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

// The children of a bulk's head. A bulk keys its nodes by the 1 to 4 digits
// of their paths below the bulk's own; the children of the node keyed k are
// keyed k plus one digit. The bulk is downloaded, so its nodes and child
// bulks no longer change; entries of an unordered_map stay where they are,
// so the links between them hold.
const selection_t::octants_t* headChildren(selection_t* sel, const bulk_t* bulk) {
  auto [it, inserted] = sel->children.try_emplace(bulk);
  selection_t::bulk_index_t& index = it->second;
  if (inserted) {
    for (auto& [key, node] : bulk->nodes) {
      const int octant = key.empty() ? -1 : key.back() - '0';
      if (key.size() > 4 || octant < 0 || octant > 7) continue;  // no walk asks for it
      auto child_bulk = key.size() == 4 ? bulk->bulks.find(key) : bulk->bulks.end();
      // A new entry is value-initialised: eight null children.
      index.octants.try_emplace(key.substr(0, key.size() - 1)).first->second[octant] = {
          node.get(), node->obb, node->meters_per_texel, node->can_have_data, nullptr,
          child_bulk == bulk->bulks.end() ? nullptr : child_bulk->second.get()};
    }
    for (auto& [parent_key, octants] : index.octants) {
      for (int o = 0; o < 8; ++o) {
        if (!octants[o].node || parent_key.size() >= 3) continue;  // the bulk ends below
        auto kids = index.octants.find(parent_key + static_cast<char>('0' + o));
        if (kids != index.octants.end()) octants[o].children = &kids->second;
      }
    }
    auto head = index.octants.find(std::string());
    index.head = head == index.octants.end() ? nullptr : &head->second;
  }
  return index.head;
}

// Fills a map again with keys that come in ascending order, changing only
// what differs from its current contents: a settled view's walk finds every
// key where it was and neither allocates nor rebalances. Entries it drops
// are kept for reuse (their keys keep their buffers).
template <class V>
struct refill_t {
  using map_t = std::map<std::string, V>;
  map_t* m;
  std::vector<typename map_t::node_type>* spare;
  typename map_t::iterator at;

  refill_t(map_t* map, std::vector<typename map_t::node_type>* spare_entries)
      : m(map), spare(spare_entries), at(map->begin()) {}

  void add(const std::string& key, V v) {
    while (at != m->end()) {
      const int c = at->first.compare(key);
      if (c > 0) break;
      if (c == 0) {
        at->second = v;
        ++at;
        return;
      }
      dropAt();
    }
    if (spare->empty()) {
      m->emplace_hint(at, key, v);
      return;
    }
    auto entry = std::move(spare->back());
    spare->pop_back();
    entry.key() = key;
    entry.mapped() = v;
    m->insert(at, std::move(entry));
  }

  // Drops what the walk did not add again.
  void finish() {
    while (at != m->end()) dropAt();
  }

 private:
  void dropAt() {
    auto next = std::next(at);
    spare->push_back(m->extract(at));
    at = next;
  }
};

}  // namespace

bool planetReady(rocktree_t* planet, int64_t now_ms, const std::function<void(bulk_t*)>& request_root) {
  if (!planet || !planet->downloaded.load()) return false;
  bulk_t* root = planet->root_bulk;
  if (!root) return false;
  if (requestable(root->dl_state, root->backoff, now_ms)) {
    root->setStartedDownloading();
    request_root(root);
  }
  return root->dl_state.load() == dl_state_downloaded;
}

namespace {

// The walk itself, shared by the frame's view and a view to come: every
// node it selects goes to add_node and every path it walks to add_bulk, in
// ascending path order. Bulks it reaches are queued and wished for as they
// are met; `later` marks wishes of a view to come, which skip records the
// frame's own walk already wished for (a record is ranked once).
template <class AddNode, class AddBulk>
void walkPaths(bulk_t* root, const walk_view_t& view, int64_t now_ms, bool later, selection_t* sel,
               frame_stats_t* stats, AddNode add_node, AddBulk add_bulk) {
  const uint64_t frame = sel->frame;
  // Depth first, children in digit order: the paths come out in ascending
  // order, so both maps are refilled in one pass without a search. Which
  // nodes are visited does not depend on the order: a node is visited when
  // every ancestor passed both tests and every bulk on the way is here.
  std::string& cur = sel->walk_path;
  cur.clear();
  std::vector<selection_t::walk_item_t>& stack = sel->walk_stack;
  stack.assign(1, {0, 0, false, root, nullptr});
  while (!stack.empty()) {
    const selection_t::walk_item_t item = stack.back();
    stack.pop_back();
    if (item.depth) {
      cur.resize(item.depth - 1);
      cur.push_back(item.digit);
    }
    bulk_t* bulk = item.bulk;
    const selection_t::child_t* here = item.child;
    if (here && item.can_have_data) add_node(cur, here->node);

    const selection_t::octants_t* kids;
    if (item.depth && item.depth % 4 == 0) {
      bulk_t* b = here->bulk;
      if (!b) continue;
      add_bulk(cur, b);
      if (requestable(b->dl_state, b->backoff, now_ms)) {
        b->setQueued();
        ++stats->bulk_requests;
      }
      const dl_state state = b->dl_state.load();
      const auto used = sel->live_bulks.find(b);
      const bool wished = used != sel->live_bulks.end() && used->second == frame;
      if (state != dl_state_stub) sel->live_bulks[b] = frame;
      // Its maps are written by a worker until it is downloaded.
      if (state != dl_state_downloaded) {
        ++stats->pending_bulks;
        if (state != dl_state_stub && !(later && wished)) {
          const request_priority_t p = requestPriority(false, cur.size(), here->obb.center, view.viewprojection);
          sel->wishes.push_back({b, nullptr, later ? laterPriority(p) : p});
        }
        continue;
      }
      bulk = b;
      kids = headChildren(sel, bulk);
    } else {
      add_bulk(cur, bulk);
      kids = item.depth == 0 ? headChildren(sel, bulk) : here->children;
    }

    if (!kids) continue;
    for (int o = 7; o >= 0; --o) {
      const selection_t::child_t& child = (*kids)[o];
      if (!child.node) continue;
      ++stats->examined;
      if (classifyObbFrustum(&child.obb, view.frustum_planes) == obb_frustum_outside) continue;
      if (!coarseEnough(child.obb.center, child.meters_per_texel, view)) continue;
      ++stats->visited;
      stack.push_back({item.depth + 1, static_cast<char>('0' + o), child.can_have_data, bulk, &child});
    }
  }
}

// After a walk: the selected nodes (ascending path order) are queued when
// they are stubs, remembered, and wished for while they have not arrived.
template <class Nodes>
void requestNodes(const Nodes& nodes, const walk_view_t& view, int64_t now_ms, bool later, selection_t* sel,
                  frame_stats_t* stats) {
  const uint64_t frame = sel->frame;
  for (auto& [path, node] : nodes) {
    if (requestable(node->dl_state, node->backoff, now_ms)) {
      node->setQueued();
      ++stats->node_requests;
    }
    const dl_state state = node->dl_state.load();
    const auto used = sel->live_nodes.find(node);
    const bool wished = used != sel->live_nodes.end() && used->second == frame;
    if (state != dl_state_stub) sel->live_nodes[node] = frame;
    if (state != dl_state_downloaded) {
      ++stats->pending_nodes;
      if (state != dl_state_stub && !(later && wished)) {
        const request_priority_t p = requestPriority(true, path.size(), node->obb.center, view.viewprojection);
        sel->wishes.push_back({nullptr, node, later ? laterPriority(p) : p});
      }
    }
  }
}

}  // namespace

void walkTree(bulk_t* root, const walk_view_t& view, int64_t now_ms, selection_t* sel, frame_stats_t* stats) {
  refill_t<node_t*> nodes(&sel->potential_nodes, &sel->spare_nodes);
  refill_t<bulk_t*> bulks(&sel->potential_bulks, &sel->spare_bulks);
  sel->wishes.clear();
  ++sel->frame;
  walkPaths(
      root, view, now_ms, false, sel, stats, [&](const std::string& path, node_t* n) { nodes.add(path, n); },
      [&](const std::string& path, bulk_t* b) { bulks.add(path, b); });
  nodes.finish();
  bulks.finish();
  // Ascending order: a node before its descendants, coarse detail first.
  requestNodes(sel->potential_nodes, view, now_ms, false, sel, stats);
  stats->pot_n = sel->potential_nodes.size();
  stats->pot_b = sel->potential_bulks.size();
}

void walkViewToCome(bulk_t* root, const walk_view_t& view, int64_t now_ms, selection_t* sel,
                    frame_stats_t* stats) {
  std::vector<std::pair<std::string, node_t*>> nodes;
  walkPaths(
      root, view, now_ms, true, sel, stats, [&](const std::string& path, node_t* n) { nodes.emplace_back(path, n); },
      [](const std::string&, bulk_t*) {});
  requestNodes(nodes, view, now_ms, true, sel, stats);
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

namespace {

// A downloaded node goes: GPU objects, contents, back to stub.
void evictNode(node_t* n, const unbuffer_mesh_fn_t& unbuffer_mesh) {
  for (mesh_t& m : n->meshes)
    if (m.buffered) unbuffer_mesh(m);
  dropNodeContents(n);
  n->setDeleted();
}

// An idle downloaded bulk goes: every child is a stub now and nothing in
// flight refers to it; the selection forgets the ones it still remembers (a
// retrieval that failed since the passes began) before they are destroyed.
void evictBulk(bulk_t* b, selection_t* sel) {
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
}

struct candidate_t {
  uint64_t last_used;
  size_t depth;  // path length; bulks only
  node_t* node;
  bulk_t* bulk;
};

}  // namespace

void releaseUnselected(bulk_t* root, selection_t* sel, const unbuffer_mesh_fn_t& unbuffer_mesh,
                       size_t budget_bytes, frame_stats_t* stats) {
  const uint64_t frame = sel->frame;
  size_t bytes = 0;
  std::vector<candidate_t> nodes, bulks;

  // Node pass. A remembered node back in stub had its retrieval fail or
  // cancelled: it is forgotten here, before a bulk may be destroyed.
  for (auto it = sel->live_nodes.begin(); it != sel->live_nodes.end();) {
    node_t* n = it->first;
    const dl_state state = n->dl_state.load();
    if (state == dl_state_stub) {
      it = sel->live_nodes.erase(it);
      continue;
    }
    if (state == dl_state_downloaded) {
      for (const mesh_t& m : n->meshes) {
        if (m.buffered) {
          ++stats->buf_cnt;
          break;
        }
      }
      ++stats->total_n;
      bytes += n->resident_bytes;
      if (it->second != frame) nodes.push_back({it->second, 0, n, nullptr});
    }
    ++it;  // queued or downloading: left alone until it has arrived
  }

  // Bulk pass over the downloaded bulks.
  for (auto it = sel->live_bulks.begin(); it != sel->live_bulks.end();) {
    bulk_t* b = it->first;
    const dl_state state = b->dl_state.load();
    if (state == dl_state_stub) {
      it = sel->live_bulks.erase(it);
      continue;
    }
    if (state == dl_state_downloaded && b != root) {
      ++stats->total_b;
      bytes += b->resident_bytes;
      if (it->second != frame) bulks.push_back({it->second, recordPath(b).size(), nullptr, b});
      // A kept bulk the walk has left for a while gives its walk index back
      // (about 110 KB for a bulk of 341 nodes, rebuilt in well under a
      // millisecond if the walk comes back): kept bulks would otherwise
      // hold as much again as their records.
      if (frame - it->second == walk_index_keep_frames) sel->children.erase(b);
    }
    ++it;
  }
  ++stats->total_b;  // the root, never released: its path is always walked

  // Least recently used first. A bulk is used whenever one of its records
  // is, so its children come before it (nodes before a bulk of the same
  // frame, deeper bulks before shallower ones): a parent whose last busy
  // child goes in this pass can go in the same pass.
  if (bytes >= budget_bytes && !(nodes.empty() && bulks.empty())) {
    const auto older = [](const candidate_t& a, const candidate_t& b) {
      return a.last_used != b.last_used ? a.last_used < b.last_used : a.depth > b.depth;
    };
    std::sort(nodes.begin(), nodes.end(), older);
    std::sort(bulks.begin(), bulks.end(), older);
    size_t i = 0, j = 0;
    while (bytes >= budget_bytes && (i < nodes.size() || j < bulks.size())) {
      if (i < nodes.size() && (j == bulks.size() || nodes[i].last_used <= bulks[j].last_used)) {
        node_t* n = nodes[i++].node;
        bytes -= n->resident_bytes;
        evictNode(n, unbuffer_mesh);
        sel->live_nodes.erase(n);
        ++stats->obs_n_cnt;
        continue;
      }
      bulk_t* b = bulks[j++].bulk;
      if (b->busy_ctr.load() != 0) continue;
      bytes -= b->resident_bytes;
      evictBulk(b, sel);
      ++stats->obs_b_cnt;
    }
  }
  stats->cache_bytes = static_cast<int64_t>(bytes);
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
