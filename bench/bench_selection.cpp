// CPU cost of the frame's tree work on the render thread: the walk (culling,
// level of detail, wishes), the request scheduling and the release passes
// under the memory budget, per visited node, on a synthetic fully downloaded
// tree at a view that selects about 1,300 nodes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>

#include "view/selection.h"

namespace {

// A flat world of 4,194 km square in the plane z = 0, cut like the planet's
// octree above level 2: every node has four children (digits 0 to 3), a bulk
// starts every fourth level, 256 texels across a node. Children exist only
// where the level-of-detail rule could want them from the benchmark's camera
// (and one level beyond), so the tree stays finite and full bulks surround
// the selection as they would on the planet. Everything starts as a stub
// below a downloaded root; the walk's requests complete at once.
constexpr double world_side = 4194304;
constexpr double eye_height = 300;

struct synthetic_tree_t {
  std::unique_ptr<bulk_t> root;
  Eigen::Vector3d eye{0, 0, eye_height};
  int nodes = 0;

  synthetic_tree_t() {
    root = std::make_unique<bulk_t>();
    root->busy_ctr = 0;
    root->setNotDownloadedYet();
    root->setStartedDownloading();
    root->setFinishedDownloading();
    for (int d = 0; d < 4; ++d) grow(root.get(), std::string(1, char('0' + d)), 0, 0, world_side, d);
  }

  // The quarter d of the square centred at (cx, cy) with side `side`.
  void grow(bulk_t* bulk, const std::string& path, double cx, double cy, double side, int d) {
    const double half = side / 2;
    const double x = cx + (d & 1 ? half / 2 : -half / 2);
    const double y = cy + (d & 2 ? half / 2 : -half / 2);
    if (path.size() > 1 && (path.size() - 1) % 4 == 0) bulk = addBulk(bulk, path.substr(0, path.size() - 1));
    auto n = std::make_unique<node_t>();
    n->parent = bulk;
    n->request.mutable_node_key()->set_path(path);
    n->can_have_data = true;
    n->meters_per_texel = static_cast<float>(half / 256);
    n->obb = {Eigen::Vector3d(x, y, 0), Eigen::Vector3d(half / 2, half / 2, 50), Eigen::Matrix3d::Identity()};
    n->setNotDownloadedYet();
    bulk->nodes.emplace(path.substr(4 * ((path.size() - 1) / 4)), std::move(n));
    ++nodes;
    const double dist = (eye - Eigen::Vector3d(x, y, 0)).norm();
    // One level beyond what the rule selects, so the walk also meets the
    // nodes it turns down.
    if (half / 256 < dist / 2880 / 2 || path.size() >= 20) return;
    for (int c = 0; c < 4; ++c) grow(bulk, path + char('0' + c), x, y, half, c);
  }

  bulk_t* addBulk(bulk_t* parent, const std::string& full_path) {
    auto it = parent->bulks.find(full_path.substr(full_path.size() - 4));
    if (it != parent->bulks.end()) return it->second.get();
    auto b = std::make_unique<bulk_t>();
    b->parent = parent;
    b->busy_ctr = 0;
    b->request.mutable_node_key()->set_path(full_path);
    b->setNotDownloadedYet();
    bulk_t* raw = b.get();
    parent->bulks.emplace(full_path.substr(full_path.size() - 4), std::move(b));
    return raw;
  }
};

walk_view_t benchView(const Eigen::Vector3d& eye) {
  // 30 degrees below the horizon, as a flight over the ground looks.
  const double a = 2 * M_PI / 180;
  walk_view_t v;
  v.eye = eye;
  v.direction = Eigen::Vector3d(0, std::cos(a), -std::sin(a));
  v.viewprojection = perspective(0.9424778819084167, 2560.0 / 1440, 50, 2000000) *
                     lookAt(eye, eye + v.direction, Eigen::Vector3d(0, 0, 1));
  v.frustum_planes = getFrustumPlanes(v.viewprojection);
  return v;
}

void frameTreeWork(benchmark::State& state, bool with_draw_list) {
  synthetic_tree_t tree;
  const walk_view_t view = benchView(tree.eye);
  // An instantaneous service: a request is downloaded when it starts.
  const retrieval_start_t start{[](bulk_t* b, std::shared_ptr<retrieval_ticket_t> t) {
                                  b->setFinishedDownloading();
                                  t->ended = true;
                                },
                                [](node_t* n, std::shared_ptr<retrieval_ticket_t> t) {
                                  n->setFinishedDownloading();
                                  t->ended = true;
                                }};
  const unbuffer_mesh_fn_t unbuffer = [](mesh_t& m) { m.buffered = false; };
  selection_t sel;
  request_scheduler_t scheduler;
  scheduler.max_in_flight = 1 << 20;
  std::vector<draw_item_t> draw_list;
  // Frames until everything the view needs has arrived (a bulk is walked
  // into in the frame after its request): the timed frames are the steady
  // state of a settled view.
  frame_stats_t warm{};
  do {
    warm = frame_stats_t{};
    walkTree(tree.root.get(), view, 0, &sel, &warm);
    scheduleRequests(&scheduler, sel.wishes, sel.frame, start);
    releaseUnselected(tree.root.get(), &sel, unbuffer, memory_budget_bytes, &warm);
  } while (warm.pending_nodes + warm.pending_bulks > 0);

  frame_stats_t stats{};
  for (auto _ : state) {
    stats = frame_stats_t{};
    walkTree(tree.root.get(), view, 0, &sel, &stats);
    scheduleRequests(&scheduler, sel.wishes, sel.frame, start);
    releaseUnselected(tree.root.get(), &sel, unbuffer, memory_budget_bytes, &stats);
    if (with_draw_list) computeDrawList(sel, &draw_list);
    benchmark::DoNotOptimize(stats);
  }
  state.SetItemsProcessed(state.iterations() * stats.visited);
  state.counters["tree_nodes"] = tree.nodes;
  state.counters["examined"] = stats.examined;
  state.counters["visited"] = stats.visited;
  state.counters["selected"] = static_cast<double>(stats.pot_n);
  state.counters["bulks"] = stats.total_b;
  state.counters["ns_per_visited"] = benchmark::Counter(
      static_cast<double>(stats.visited) * state.iterations() / 1e9,
      benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_WalkAndRelease(benchmark::State& state) { frameTreeWork(state, false); }
void BM_WalkReleaseAndDrawList(benchmark::State& state) { frameTreeWork(state, true); }

BENCHMARK(BM_WalkAndRelease)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WalkReleaseAndDrawList)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
