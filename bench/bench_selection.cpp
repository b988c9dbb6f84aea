// CPU cost of the frame's tree work on the render thread: the walk (culling,
// level of detail, wishes), the request scheduling and the release passes
// under the memory budget, per visited node, on a synthetic fully downloaded
// tree at a view that selects about 1,300 nodes.
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>
#include <string>

#include "net/request_scheduler.h"
#include "synthetic_tree.h"
#include "view/selection.h"

namespace {

constexpr double eye_height = 300;

void frameTreeWork(benchmark::State& state, bool with_draw_list) {
  synthetic_tree_t tree({0, 0, eye_height});
  // 2 degrees below the horizon, as a flight over the ground looks.
  const walk_view_t view = syntheticView(tree.eye, 2);
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
