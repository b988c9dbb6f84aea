// Search and labels on the real place index (build/data/places.sqlite):
// - one search per typed prefix of about 200 place names spread over the
//   index (1, 2, 3, 5 and 8 characters and the whole name), each timed
//   alone: p50, p95 and the slowest, in ms (goal: p95 at most 20 ms);
// - the labels' CPU per frame over the Alps from 300 km and over Paris from
//   30 km, once the view's places are known (the frames between two index
//   queries), and the index query a real move costs.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include <sqlite3.h>

#include "view/camera.h"
#include "view/geo_pose.h"
#include "view/place_labels.h"
#include "view/place_search.h"
#include "view/places.h"

namespace {

constexpr float radius = 6371010;

place_index_t* index() {
  static place_index_ptr_t i = [] {
    std::string why;
    return openPlaceIndex(builtPlaceIndexPath(), &why);
  }();
  return i.get();
}

std::vector<std::string> typedQueries() {
  std::vector<std::string> names;
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(builtPlaceIndexPath(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* s = nullptr;
    sqlite3_prepare_v2(db, "SELECT name FROM places WHERE id % 997 = 1", -1, &s, nullptr);
    while (s && sqlite3_step(s) == SQLITE_ROW) names.push_back(reinterpret_cast<const char*>(sqlite3_column_text(s, 0)));
    sqlite3_finalize(s);
  }
  sqlite3_close(db);
  std::vector<std::string> queries;
  for (const std::string& n : names)
    for (size_t length : {1, 2, 3, 5, 8, 1000}) {
      // Cut on a character boundary.
      size_t end = std::min(length, n.size());
      while (end < n.size() && (static_cast<unsigned char>(n[end]) & 0xc0) == 0x80) ++end;
      queries.push_back(n.substr(0, end));
    }
  queries.push_back("45°49'N 6°52'E");
  queries.push_back("45.83, 6.86");
  return queries;
}

void BM_SearchPerQuery(benchmark::State& state) {
  if (!index()) return state.SkipWithError("no place index: build the place_index target");
  const std::vector<std::string> queries = typedQueries();
  std::vector<double> ms;
  for (auto _ : state) {
    ms.clear();
    for (const std::string& q : queries) {
      const auto t0 = std::chrono::steady_clock::now();
      benchmark::DoNotOptimize(searchPlaces(index(), q, 5));
      ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
  }
  std::sort(ms.begin(), ms.end());
  state.counters["queries"] = static_cast<double>(ms.size());
  state.counters["p50_ms"] = ms[ms.size() / 2];
  state.counters["p95_ms"] = ms[ms.size() * 95 / 100];
  state.counters["max_ms"] = ms.back();
}
BENCHMARK(BM_SearchPerQuery)->Unit(benchmark::kMillisecond)->Iterations(3);

label_view_t viewAt(const geo_pose_t& pose) {
  camera_t cam{};
  placeCamera(cam, pose, radius);
  camera_frame_t frame;
  updateCamera(cam, camera_input_t{}, 0, radius, 1920, 1080, &frame);
  return {cam.eye, frame.viewprojection, 1920, 1080, radius};
}

// A frame of labels: asking whether the index must be asked again, then the
// choice; the text sizes as a font of about 8 pixels a byte would give.
void labelsPerFrame(benchmark::State& state, const char* place) {
  if (!index()) return state.SkipWithError("no place index: build the place_index target");
  const label_view_t view = viewAt(findPlace(place)->pose);
  label_query_t query;
  refreshLabelPlaces(index(), view, &query);
  std::vector<label_candidate_t> candidates;
  for (const place_result_t& p : query.places)
    candidates.push_back({p, 8 * static_cast<int>(p.name.size()), 18});
  std::vector<screen_label_t> labels;
  for (auto _ : state) {
    benchmark::DoNotOptimize(refreshLabelPlaces(index(), view, &query));
    chooseLabels(candidates, view, labels_max, &labels);
    benchmark::DoNotOptimize(labels.data());
  }
  state.counters["candidates"] = static_cast<double>(candidates.size());
  state.counters["labels"] = static_cast<double>(labels.size());
}
void BM_LabelsPerFrameAlps(benchmark::State& state) { labelsPerFrame(state, "alps"); }
void BM_LabelsPerFrameParis(benchmark::State& state) { labelsPerFrame(state, "paris"); }
BENCHMARK(BM_LabelsPerFrameAlps)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LabelsPerFrameParis)->Unit(benchmark::kMicrosecond);

// The index query of a view the last query does not cover.
void labelQuery(benchmark::State& state, const char* place) {
  if (!index()) return state.SkipWithError("no place index: build the place_index target");
  const label_view_t view = viewAt(findPlace(place)->pose);
  for (auto _ : state) {
    label_query_t query;
    benchmark::DoNotOptimize(refreshLabelPlaces(index(), view, &query));
    state.counters["places"] = static_cast<double>(query.places.size());
  }
}
void BM_LabelQueryAlps(benchmark::State& state) { labelQuery(state, "alps"); }
void BM_LabelQueryParis(benchmark::State& state) { labelQuery(state, "paris"); }
void BM_LabelQueryEarth(benchmark::State& state) { labelQuery(state, "earth"); }
BENCHMARK(BM_LabelQueryAlps)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LabelQueryParis)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LabelQueryEarth)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
