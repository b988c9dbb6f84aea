#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "synthetic_tree.h"
#include "view/selection.h"

namespace {

// A hand-built tree in a small world: the camera looks down -z from 10 m
// above the plane z = 0, where the nodes lie as 1 m boxes.
struct world_t {
  std::unique_ptr<bulk_t> root;
  walk_view_t view;
  // The records each walk queued, in the order of its wishes; every one is
  // dispatched at once (a scheduler without a cap).
  std::vector<bulk_t*> requested_bulks;
  std::vector<node_t*> requested_nodes;
  // When set, a request completes at once (as if the service were
  // instantaneous), except for the records in `held`, which stay downloading.
  bool complete_requests = false;
  std::set<const void*> held;

  world_t() {
    root = std::make_unique<bulk_t>();
    root->busy_ctr = 0;
    root->setNotDownloadedYet();
    markDownloaded(root.get());
    lookFrom({0, 0, 10}, {0, 0, -1});
  }

  template <class R>
  void dispatch(R* r, std::vector<R*>* requested) {
    if (r->dl_state.load() != dl_state_queued) return;
    requested->push_back(r);
    r->setDispatched();
    if (complete_requests && !held.count(r)) r->setFinishedDownloading();
  }

  void lookFrom(Eigen::Vector3d eye, Eigen::Vector3d dir) {
    view.eye = eye;
    view.direction = dir;
    view.viewprojection = perspective(0.94, 1.0, 0.5, 1000) * lookAt(eye, eye + dir, {0, 1, 0});
    view.frustum_planes = getFrustumPlanes(view.viewprojection);
  }

  static void markDownloaded(bulk_t* b) {
    b->setStartedDownloading();
    b->setFinishedDownloading();
  }
  static void markDownloaded(node_t* n) {
    n->setStartedDownloading();
    n->setFinishedDownloading();
  }

  // Child bulk headed by the node at full_path (length a multiple of 4).
  bulk_t* addBulk(bulk_t* parent, const std::string& full_path) { return addChildBulk(parent, full_path); }

  // Coarse enough for any distance here unless meters_per_texel is tiny.
  node_t* addNode(bulk_t* bulk, const std::string& full_path, Eigen::Vector3d center = {0, 0, 0},
                  float meters_per_texel = 1.0f, bool can_have_data = true) {
    auto n = std::make_unique<node_t>();
    n->parent = bulk;
    n->request.mutable_node_key()->set_path(full_path);
    n->can_have_data = can_have_data;
    n->meters_per_texel = meters_per_texel;
    n->obb = {center, {0.5, 0.5, 0.5}, Eigen::Matrix3d::Identity()};
    n->setNotDownloadedYet();
    node_t* raw = n.get();
    const size_t start = 4 * ((full_path.size() - 1) / 4);
    bulk->nodes.emplace(full_path.substr(start), std::move(n));
    return raw;
  }

  frame_stats_t walk(selection_t* sel, int64_t now_ms = 0) {
    frame_stats_t stats{};
    walkTree(root.get(), view, now_ms, sel, &stats);
    for (const request_wish_t& wish : sel->wishes) {
      if (wish.bulk) dispatch(wish.bulk, &requested_bulks);
      if (wish.node) dispatch(wish.node, &requested_nodes);
    }
    return stats;
  }
};

std::vector<std::string> keys(const std::map<std::string, node_t*>& m) {
  std::vector<std::string> out;
  for (auto& [k, v] : m) out.push_back(k);
  return out;
}

using Strings = std::vector<std::string>;

TEST(Walk, CullingAndDetailCutWholeSubtrees) {
  world_t w;
  w.addNode(w.root.get(), "0", {100, 0, 0});  // far off to the side
  w.addNode(w.root.get(), "00", {0, 0, 0});   // visible, but under a culled node
  w.addNode(w.root.get(), "1", {0, 0, 0}, 1e-6f);  // finer than the screen needs
  w.addNode(w.root.get(), "10", {0, 0, 0});
  w.addNode(w.root.get(), "2", {1, 1, 0});
  w.addNode(w.root.get(), "21", {1, 1, 0});
  w.addNode(w.root.get(), "213", {1, 1, 0});
  selection_t sel;
  frame_stats_t stats = w.walk(&sel);
  EXPECT_EQ(keys(sel.potential_nodes), (Strings{"2", "21", "213"}));
  EXPECT_EQ(stats.examined, 5);  // 0, 1, 2, 21, 213: nothing below 0 or 1
  EXPECT_EQ(stats.visited, 3);
  EXPECT_EQ(sel.potential_bulks.count(""), 1u);
  EXPECT_EQ(sel.potential_bulks.at(""), w.root.get());
}

TEST(Walk, DetailFollowsDistance) {
  world_t w;
  // 1 cm texels: needed up close, too fine from far away (r = 2880 / d).
  w.addNode(w.root.get(), "0", {0, 0, 0}, 0.01f);
  selection_t sel;
  w.lookFrom({0, 0, 10}, {0, 0, -1});
  w.walk(&sel);
  EXPECT_EQ(sel.potential_nodes.size(), 1u);
  w.lookFrom({0, 0, 500}, {0, 0, -1});
  w.walk(&sel);
  EXPECT_TRUE(sel.potential_nodes.empty());
  // A box centred on the eye has w = 0 and passes, however fine.
  world_t close;
  node_t* around_eye = close.addNode(close.root.get(), "0", {0, 0, 500}, 1e-9f);
  around_eye->obb.extents = {2, 2, 2};
  close.lookFrom({0, 0, 500}, {0, 0, -1});
  selection_t fresh;
  close.walk(&fresh);
  EXPECT_EQ(fresh.potential_nodes.size(), 1u);
}

TEST(Walk, BulksSwitchAtEveryFourthLevel) {
  world_t w;
  w.addNode(w.root.get(), "3");
  w.addNode(w.root.get(), "30");
  w.addNode(w.root.get(), "301");
  w.addNode(w.root.get(), "3012");
  w.addNode(w.root.get(), "2");  // a level-4 path below it has no bulk
  w.addNode(w.root.get(), "22");
  w.addNode(w.root.get(), "222");
  w.addNode(w.root.get(), "2222");
  bulk_t* b4 = w.addBulk(w.root.get(), "3012");
  for (std::string p : {"30123", "301233", "3012333", "30123333"}) w.addNode(b4, p);
  bulk_t* b8 = w.addBulk(b4, "30123333");
  for (std::string p : {"301233330", "3012333301", "30123333012", "301233330123"}) w.addNode(b8, p);
  bulk_t* b12 = w.addBulk(b8, "301233330123");
  w.addNode(b12, "3012333301230");

  selection_t sel;
  // First frame: only the root bulk is here; the level-4 bulk is requested.
  frame_stats_t stats = w.walk(&sel);
  EXPECT_EQ(keys(sel.potential_nodes), (Strings{"2", "22", "222", "2222", "3", "30", "301", "3012"}));
  EXPECT_EQ(w.requested_bulks, (std::vector<bulk_t*>{b4}));
  EXPECT_EQ(b4->dl_state.load(), dl_state_downloading);
  EXPECT_EQ(w.root->busy_ctr.load(), 9);  // the bulk and the eight nodes requested
  EXPECT_EQ(sel.potential_bulks.at("3012"), b4);
  EXPECT_EQ(sel.potential_bulks.count("2222"), 0u);
  EXPECT_EQ(stats.pending_bulks, 1);

  // Still downloading: not requested again, not descended, still in use.
  w.walk(&sel);
  EXPECT_EQ(w.requested_bulks.size(), 1u);
  EXPECT_EQ(sel.potential_nodes.count("30123"), 0u);
  EXPECT_EQ(sel.potential_bulks.at("3012"), b4);

  b4->setFinishedDownloading();
  w.walk(&sel);
  EXPECT_EQ(sel.potential_nodes.count("30123333"), 1u);
  EXPECT_EQ(w.requested_bulks.back(), b8);
  EXPECT_EQ(sel.potential_bulks.at("301233"), b4);  // looked up in the bulk that holds it

  b8->setFinishedDownloading();
  w.walk(&sel);
  EXPECT_EQ(sel.potential_nodes.count("301233330123"), 1u);
  EXPECT_EQ(w.requested_bulks.back(), b12);
  b12->setFinishedDownloading();
  frame_stats_t last = w.walk(&sel);
  EXPECT_EQ(sel.potential_nodes.count("3012333301230"), 1u);
  EXPECT_EQ(w.requested_bulks.size(), 3u);
  EXPECT_EQ(last.pending_bulks, 0);
}

TEST(Walk, NodesWithoutDataAreWalkedButNeverSelected) {
  world_t w;
  node_t* empty = w.addNode(w.root.get(), "5", {0, 0, 0}, 1.0f, false);
  w.addNode(w.root.get(), "51");
  selection_t sel;
  frame_stats_t stats = w.walk(&sel);
  EXPECT_EQ(keys(sel.potential_nodes), (Strings{"51"}));
  EXPECT_EQ(stats.visited, 2);
  EXPECT_EQ(empty->dl_state.load(), dl_state_stub);
  ASSERT_EQ(w.requested_nodes.size(), 1u);
  EXPECT_EQ(recordPath(w.requested_nodes[0]), "51");
}

TEST(Walk, NodeRequestsGoOutOnceInAscendingPathOrder) {
  world_t w;
  for (std::string p : {"7", "1", "13", "10", "0", "103", "6"}) w.addNode(w.root.get(), p);
  node_t* done = w.addNode(w.root.get(), "2");
  world_t::markDownloaded(done);
  selection_t sel;
  frame_stats_t stats = w.walk(&sel);
  std::vector<std::string> order;
  for (node_t* n : w.requested_nodes) order.push_back(recordPath(n));
  EXPECT_EQ(order, (Strings{"0", "1", "10", "103", "13", "6", "7"}));
  EXPECT_EQ(stats.node_requests, 7);
  EXPECT_EQ(stats.pending_nodes, 7);
  EXPECT_EQ(w.root->busy_ctr.load(), 8);
  for (node_t* n : w.requested_nodes) EXPECT_EQ(n->dl_state.load(), dl_state_downloading);
  w.walk(&sel);
  EXPECT_EQ(w.requested_nodes.size(), 7u);
}

TEST(Walk, StubsInBackOffWaitTheirTurn) {
  world_t w;
  node_t* n = w.addNode(w.root.get(), "0");
  w.addNode(w.root.get(), "00");
  w.addNode(w.root.get(), "000");
  w.addNode(w.root.get(), "0000");
  bulk_t* b = w.addBulk(w.root.get(), "0000");
  n->setStartedDownloading();
  markRetrievalFailed(n);  // back to stub, not before now + 1 s
  b->setStartedDownloading();
  markRetrievalFailed(b);
  const int64_t now = retryClockMs();
  selection_t sel;
  frame_stats_t stats = w.walk(&sel, now);
  EXPECT_TRUE(w.requested_bulks.empty());
  EXPECT_EQ(stats.node_requests, 3);  // "00", "000", "0000" but not "0"
  EXPECT_EQ(n->dl_state.load(), dl_state_stub);
  EXPECT_EQ(stats.pending_nodes, 4);
  EXPECT_EQ(stats.pending_bulks, 1);

  w.walk(&sel, now + retry_first_delay_ms + 1);
  EXPECT_EQ(w.requested_bulks, (std::vector<bulk_t*>{b}));
  ASSERT_EQ(w.requested_nodes.size(), 4u);
  EXPECT_EQ(w.requested_nodes.back(), n);
}

TEST(Walk, RootBulkIsRequestedAgainAfterAFailure) {
  rocktree_t planet{};
  auto root = std::make_unique<bulk_t>();
  root->busy_ctr = 0;
  root->setNotDownloadedYet();
  planet.root_bulk = root.get();
  int requests = 0;
  const auto seam = [&](bulk_t* b) {
    EXPECT_EQ(b, root.get());
    ++requests;
  };

  EXPECT_FALSE(planetReady(&planet, 0, seam));  // planetoid not populated yet
  EXPECT_EQ(requests, 0);
  planet.downloaded = true;
  root->setStartedDownloading();  // start-up queued it; then it failed
  markRetrievalFailed(root.get());
  const int64_t now = retryClockMs();
  EXPECT_FALSE(planetReady(&planet, now, seam));
  EXPECT_EQ(requests, 0);
  EXPECT_FALSE(planetReady(&planet, now + retry_first_delay_ms + 1, seam));
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(root->dl_state.load(), dl_state_downloading);
  EXPECT_FALSE(planetReady(&planet, now + retry_first_delay_ms + 2, seam));
  EXPECT_EQ(requests, 1);
  root->setFinishedDownloading();
  EXPECT_TRUE(planetReady(&planet, now, seam));
}

// Draw list: the paths in drawing order with their masks.
std::vector<std::pair<std::string, int>> drawn(const selection_t& sel) {
  std::vector<draw_item_t> list;
  computeDrawList(sel, &list);
  std::vector<std::pair<std::string, int>> out;
  for (const draw_item_t& d : list) out.emplace_back(recordPath(d.node), d.mask);
  return out;
}

using Drawn = std::vector<std::pair<std::string, int>>;

// A view to come (a flight's destination) is wished for after everything
// the frame's view wants, each record once (the coarse nodes both views
// share are ranked as the frame's), and leaves the frame's selection alone.
TEST(Walk, AViewToComeIsWishedAfterTheFramesView) {
  synthetic_tree_t tree({0, 0, 3000});
  selection_t sel;
  frame_stats_t stats{};
  walkTree(tree.root.get(), syntheticView(tree.eye, 30), 0, &sel, &stats);
  const size_t own = sel.wishes.size(), selected = sel.potential_nodes.size();
  frame_stats_t later{};
  walkViewToCome(tree.root.get(), syntheticView({1500000, -1500000, 3000}, 30), 0, &sel, &later);
  ASSERT_GT(sel.wishes.size(), own);
  EXPECT_EQ(sel.potential_nodes.size(), selected);
  std::set<const void*> seen;
  request_priority_t worst_own = 0;
  for (size_t i = 0; i < sel.wishes.size(); ++i) {
    const request_wish_t& w = sel.wishes[i];
    EXPECT_TRUE(seen.insert(w.bulk ? static_cast<const void*>(w.bulk) : w.node).second) << i;
    if (i < own)
      worst_own = std::max(worst_own, w.priority);
    else
      EXPECT_GT(w.priority, worst_own) << i;
  }
}

TEST(Masks, DownloadedChildrenHideExactlyTheirOctants) {
  world_t w;
  node_t* parent = w.addNode(w.root.get(), "3");
  node_t* c1 = w.addNode(w.root.get(), "31");
  node_t* c3 = w.addNode(w.root.get(), "33");
  w.addNode(w.root.get(), "35");  // selected, still downloading
  node_t* c6 = w.addNode(w.root.get(), "36");
  for (node_t* n : {parent, c1, c3, c6}) world_t::markDownloaded(n);
  // None of these has meshes: a child covers its octant all the same.
  selection_t sel;
  w.walk(&sel);
  EXPECT_EQ(drawn(sel), (Drawn{{"36", 0}, {"33", 0}, {"31", 0}, {"3", 0b01001010}}));
}

TEST(Masks, EightChildrenHideTheParent) {
  world_t w;
  node_t* top = w.addNode(w.root.get(), "1");
  node_t* parent = w.addNode(w.root.get(), "12");
  world_t::markDownloaded(top);
  world_t::markDownloaded(parent);
  for (char o = '0'; o < '8'; ++o) world_t::markDownloaded(w.addNode(w.root.get(), std::string("12") + o));
  // One of the eight is itself fully covered: it still counts for "12".
  for (char o = '0'; o < '8'; ++o) world_t::markDownloaded(w.addNode(w.root.get(), std::string("125") + o));
  selection_t sel;
  w.walk(&sel);
  Drawn d = drawn(sel);
  auto has = [&](const std::string& p) {
    return std::any_of(d.begin(), d.end(), [&](auto& e) { return e.first == p; });
  };
  EXPECT_FALSE(has("12"));
  EXPECT_FALSE(has("125"));
  EXPECT_TRUE(has("124"));
  EXPECT_TRUE(has("1257"));
  ASSERT_FALSE(d.empty());
  EXPECT_EQ(d.back(), (std::pair<std::string, int>{"1", 1 << 2}));
  // Finest first: no node comes before one of its descendants.
  for (size_t i = 0; i < d.size(); ++i)
    for (size_t j = i + 1; j < d.size(); ++j)
      EXPECT_FALSE(d[j].first.size() > d[i].first.size() && d[j].first.starts_with(d[i].first))
          << d[i].first << " before " << d[j].first;
}

TEST(Masks, UndownloadedNodesDrawNothingAndHideNothing) {
  world_t w;
  node_t* parent = w.addNode(w.root.get(), "4");
  w.addNode(w.root.get(), "40");
  node_t* grandchild = w.addNode(w.root.get(), "402");
  world_t::markDownloaded(parent);
  world_t::markDownloaded(grandchild);
  selection_t sel;
  w.walk(&sel);
  // "40" has not arrived, so "4" keeps drawing its octant 0, under "402".
  EXPECT_EQ(drawn(sel), (Drawn{{"402", 0}, {"4", 0}}));
}

mesh_t bufferedMesh() {
  mesh_t m{};
  m.vertices.assign(80, 1);
  m.buffered = true;
  m.vertex_buffer = 7;
  return m;
}

// From high above, the whole small world is in view and coarse enough.
void lookAtEverything(world_t& w) { w.lookFrom({50, 0, 300}, {0, 0, -1}); }
void lookAtTheOrigin(world_t& w) { w.lookFrom({0, 0, 10}, {0, 0, -1}); }

TEST(Release, UnselectedNodesGoAtOnceDownloadingOnesStay) {
  world_t w;
  node_t* kept = w.addNode(w.root.get(), "0");
  node_t* gone = w.addNode(w.root.get(), "1", {100, 0, 0});
  node_t* busy = w.addNode(w.root.get(), "2", {100, 0, 0});
  selection_t sel;
  lookAtEverything(w);
  w.walk(&sel);
  ASSERT_EQ(w.requested_nodes.size(), 3u);
  kept->setFinishedDownloading();
  gone->setFinishedDownloading();
  kept->meshes.push_back(bufferedMesh());
  gone->meshes.push_back(bufferedMesh());
  gone->meshes.push_back(mesh_t{});  // never drawn: not unbuffered
  gone->matrix_globe_from_mesh.setIdentity();
  EXPECT_EQ(w.root->busy_ctr.load(), 3);

  lookAtTheOrigin(w);  // "1" and "2" leave the view
  frame_stats_t stats = w.walk(&sel);
  std::vector<mesh_t*> unbuffered;
  releaseUnselected(w.root.get(), &sel, [&](mesh_t& m) {
    unbuffered.push_back(&m);
    m.buffered = false;
  }, 0, &stats);
  ASSERT_EQ(unbuffered.size(), 1u);
  EXPECT_EQ(gone->dl_state.load(), dl_state_stub);
  EXPECT_TRUE(gone->meshes.empty());
  EXPECT_TRUE(gone->matrix_globe_from_mesh.isZero());
  EXPECT_EQ(busy->dl_state.load(), dl_state_downloading);
  EXPECT_EQ(kept->dl_state.load(), dl_state_downloaded);
  EXPECT_TRUE(kept->meshes[0].buffered);
  EXPECT_EQ(w.root->busy_ctr.load(), 2);
  EXPECT_EQ(stats.buf_cnt, 2);  // counted before the release
  EXPECT_EQ(stats.total_n, 2);
  EXPECT_EQ(stats.obs_n_cnt, 1);
  EXPECT_EQ(stats.total_b, 1);
  EXPECT_EQ(stats.obs_b_cnt, 0);
  EXPECT_EQ(w.root->nodes.size(), 3u);  // records stay, as stubs

  // The finished download is released in the first later frame.
  busy->setFinishedDownloading();
  frame_stats_t next = w.walk(&sel);
  releaseUnselected(w.root.get(), &sel, [](mesh_t& m) { m.buffered = false; }, 0, &next);
  EXPECT_EQ(busy->dl_state.load(), dl_state_stub);
  EXPECT_EQ(next.obs_n_cnt, 1);
  EXPECT_EQ(w.root->busy_ctr.load(), 1);

  // A node whose retrieval failed is back in stub: nothing to release.
  kept->setDeleted();
  kept->setStartedDownloading();
  markRetrievalFailed(kept);
  frame_stats_t after_failure = w.walk(&sel);
  releaseUnselected(w.root.get(), &sel, [](mesh_t&) {}, 0, &after_failure);
  EXPECT_EQ(after_failure.total_n, 0);
  EXPECT_EQ(after_failure.obs_n_cnt, 0);
}

TEST(Release, IdleBulksGoBottomUpInOnePass) {
  world_t w;
  w.complete_requests = true;
  // A branch that will leave the view: root > "0000" > "00000000".
  for (std::string p : {"0", "00", "000", "0000"}) w.addNode(w.root.get(), p, {100, 0, 0});
  bulk_t* b4 = w.addBulk(w.root.get(), "0000");
  for (std::string p : {"00000", "000000", "0000000", "00000000"}) w.addNode(b4, p, {100, 0, 0});
  bulk_t* b8 = w.addBulk(b4, "00000000");
  w.addNode(b8, "000000000", {100, 0, 0});
  // And one that stays, whose bulk must stay although it holds nothing.
  for (std::string p : {"1", "11", "111", "1111"}) w.addNode(w.root.get(), p);
  bulk_t* in_view = w.addBulk(w.root.get(), "1111");

  selection_t sel;
  lookAtEverything(w);
  for (int frame = 0; frame < 3; ++frame) {  // a bulk is walked into in the frame after its request
    frame_stats_t first = w.walk(&sel);
    releaseUnselected(w.root.get(), &sel, [](mesh_t&) {}, 0, &first);
    EXPECT_EQ(first.obs_n_cnt + first.obs_b_cnt, 0);
  }
  ASSERT_EQ(b8->dl_state.load(), dl_state_downloaded);

  lookAtTheOrigin(w);
  frame_stats_t stats = w.walk(&sel);
  releaseUnselected(w.root.get(), &sel, [](mesh_t&) {}, 0, &stats);
  EXPECT_EQ(stats.obs_n_cnt, 9);  // the whole branch
  EXPECT_EQ(stats.total_b, 4);
  EXPECT_EQ(stats.obs_b_cnt, 2);  // b8 first, which frees b4 in the same pass
  EXPECT_EQ(b4->dl_state.load(), dl_state_stub);
  EXPECT_TRUE(b4->nodes.empty());
  EXPECT_TRUE(b4->bulks.empty());
  EXPECT_EQ(in_view->dl_state.load(), dl_state_downloaded);
  EXPECT_EQ(w.root->busy_ctr.load(), 5);  // in_view and the four nodes above it
  EXPECT_EQ(w.root->bulks.size(), 2u);    // b4 stays as a stub record
  EXPECT_EQ(statsLine(stats),
            "buffered: 0, tot_n: 13, tot_b: 4, pot_n: 4, pot_b: 5, obs n: 9, obs b: 2\n");

  // Coming back requests the branch anew, from its first bulk.
  lookAtEverything(w);
  const size_t bulk_requests = w.requested_bulks.size();
  frame_stats_t back = w.walk(&sel);
  releaseUnselected(w.root.get(), &sel, [](mesh_t&) {}, 0, &back);
  EXPECT_EQ(w.requested_bulks.size(), bulk_requests + 1);
  EXPECT_EQ(w.requested_bulks.back(), b4);
  EXPECT_EQ(back.obs_b_cnt, 0);
}

TEST(Release, ABulkWaitsForItsLastDownload) {
  world_t w;
  w.complete_requests = true;
  for (std::string p : {"0", "00", "000", "0000"}) w.addNode(w.root.get(), p, {100, 0, 0});
  bulk_t* b = w.addBulk(w.root.get(), "0000");
  node_t* loading = w.addNode(b, "00001", {100, 0, 0});
  w.held.insert(loading);
  selection_t sel;
  lookAtEverything(w);
  w.walk(&sel);
  w.walk(&sel);
  ASSERT_EQ(loading->dl_state.load(), dl_state_downloading);

  lookAtTheOrigin(w);
  frame_stats_t stats = w.walk(&sel);
  releaseUnselected(w.root.get(), &sel, [](mesh_t&) {}, 0, &stats);
  EXPECT_EQ(stats.obs_n_cnt, 4);  // the nodes above the bulk
  EXPECT_EQ(b->dl_state.load(), dl_state_downloaded);
  EXPECT_EQ(stats.obs_b_cnt, 0);

  loading->setFinishedDownloading();
  stats = w.walk(&sel);
  releaseUnselected(w.root.get(), &sel, [](mesh_t&) {}, 0, &stats);
  EXPECT_EQ(stats.obs_n_cnt, 1);
  EXPECT_EQ(stats.obs_b_cnt, 1);
  EXPECT_EQ(b->dl_state.load(), dl_state_stub);
  EXPECT_EQ(w.root->busy_ctr.load(), 0);
}

TEST(Release, TurningAwayAndBackRequestsAgain) {
  world_t w;
  node_t* n = w.addNode(w.root.get(), "0");
  selection_t sel;
  frame_stats_t s1 = w.walk(&sel);
  EXPECT_EQ(s1.node_requests, 1);
  n->setFinishedDownloading();
  n->meshes.push_back(bufferedMesh());
  w.lookFrom({0, 0, 10}, {0, 0, 1});  // looking away
  frame_stats_t s2 = w.walk(&sel);
  int unbuffers = 0;
  releaseUnselected(w.root.get(), &sel, [&](mesh_t& m) {
    ++unbuffers;
    m.buffered = false;
  }, 0, &s2);
  EXPECT_EQ(unbuffers, 1);
  EXPECT_EQ(n->dl_state.load(), dl_state_stub);
  w.lookFrom({0, 0, 10}, {0, 0, -1});
  frame_stats_t s3 = w.walk(&sel);
  EXPECT_EQ(s3.node_requests, 1);
  EXPECT_EQ(w.requested_nodes.size(), 2u);
}

// Under a budget, nodes the walk leaves stay downloaded until the bytes of
// all downloaded records reach it; then the least recently selected go
// first, and a node selected in the current frame stays whatever the budget.
// A released node is requested again when the view comes back to it.
TEST(Release, TheBudgetKeepsWhatFitsAndReleasesTheLeastRecentFirst) {
  world_t w;
  w.complete_requests = true;
  node_t* n[4];
  for (int k = 0; k < 4; ++k) {
    n[k] = w.addNode(w.root.get(), std::to_string(k), {100.0 * k, 0, 0});
    n[k]->resident_bytes = 100;
  }
  selection_t sel;
  std::vector<int> released;
  const auto look = [&](int k, size_t budget) {
    w.lookFrom({100.0 * k, 0, 10}, {0, 0, -1});
    frame_stats_t stats = w.walk(&sel);
    releaseUnselected(w.root.get(), &sel, [](mesh_t&) {}, budget, &stats);
    released.push_back(stats.obs_n_cnt);
    return stats;
  };
  look(0, 250);
  look(1, 250);
  frame_stats_t third = look(2, 250);  // 300 bytes: the oldest goes
  EXPECT_EQ(n[0]->dl_state.load(), dl_state_stub);
  EXPECT_EQ(n[1]->dl_state.load(), dl_state_downloaded);
  EXPECT_EQ(third.cache_bytes, 200);
  look(3, 250);
  EXPECT_EQ(n[1]->dl_state.load(), dl_state_stub);
  EXPECT_EQ(n[2]->dl_state.load(), dl_state_downloaded);
  frame_stats_t tight = look(3, 1);  // over budget with the selection alone
  EXPECT_EQ(n[2]->dl_state.load(), dl_state_stub);
  EXPECT_EQ(n[3]->dl_state.load(), dl_state_downloaded);
  EXPECT_EQ(tight.cache_bytes, 100);
  EXPECT_EQ(released, (std::vector<int>{0, 0, 1, 1, 1}));
  EXPECT_EQ(w.root->busy_ctr.load(), 1);
  frame_stats_t back = look(0, 250);
  EXPECT_EQ(back.node_requests, 1);
  EXPECT_EQ(n[0]->dl_state.load(), dl_state_downloaded);
}

// A bulk the budget keeps gives its walk index back once the walk has left
// it for walk_index_keep_frames frames, and the walk rebuilds it on return.
TEST(Release, KeptBulksGiveTheirWalkIndexBack) {
  world_t w;
  w.complete_requests = true;
  for (std::string p : {"0", "00", "000", "0000"}) w.addNode(w.root.get(), p, {100, 0, 0});
  bulk_t* b = w.addBulk(w.root.get(), "0000");
  node_t* inside = w.addNode(b, "00001", {100, 0, 0});
  selection_t sel;
  const auto frame = [&] {
    frame_stats_t stats = w.walk(&sel);
    releaseUnselected(w.root.get(), &sel, [](mesh_t&) {}, memory_budget_bytes, &stats);
  };
  lookAtEverything(w);
  frame();
  frame();
  ASSERT_EQ(inside->dl_state.load(), dl_state_downloaded);
  ASSERT_EQ(sel.children.count(b), 1u);
  lookAtTheOrigin(w);
  for (uint64_t k = 1; k < walk_index_keep_frames; ++k) frame();
  EXPECT_EQ(sel.children.count(b), 1u);
  frame();
  EXPECT_EQ(sel.children.count(b), 0u);
  EXPECT_EQ(b->dl_state.load(), dl_state_downloaded);  // the bulk itself is kept
  lookAtEverything(w);
  frame();
  EXPECT_EQ(sel.potential_nodes.count("00001"), 1u);
  EXPECT_EQ(w.requested_bulks.size(), 1u);
}

TEST(Settling, ReportsEachTimeTheLastPendingRecordArrives) {
  settle_tracker_t t{};
  frame_stats_t pending{};
  pending.pending_nodes = 3;
  frame_stats_t bulk_pending{};
  bulk_pending.pending_bulks = 1;
  frame_stats_t done{};
  int64_t elapsed = -1;
  EXPECT_FALSE(noteSettling(&t, done, 0, &elapsed));  // settled from the start: no line
  EXPECT_FALSE(noteSettling(&t, pending, 100, &elapsed));
  EXPECT_FALSE(noteSettling(&t, bulk_pending, 400, &elapsed));
  EXPECT_TRUE(noteSettling(&t, done, 1100, &elapsed));
  EXPECT_EQ(elapsed, 1000);
  EXPECT_FALSE(noteSettling(&t, done, 1200, &elapsed));
  EXPECT_FALSE(noteSettling(&t, pending, 5000, &elapsed));
  EXPECT_TRUE(noteSettling(&t, done, 5250, &elapsed));
  EXPECT_EQ(elapsed, 250);
}

}  // namespace
