// Picking on the start view: the surface under one pixel against the frame's
// draw list, and the ground under the eye, on the meshes rocktreed serves (built in process, read back by
// the viewer's population), once the view looking down from the start pose
// has everything it needs.
#include <benchmark/benchmark.h>

#include <memory>
#include <string>
#include <vector>

#include "planet/node_builder.h"
#include "http/request_parser.h"
#include "http/routing.h"
#include "net/retrieval.h"
#include "tree/population.h"
#include "view/geo_pose.h"
#include "view/globe_navigation.h"
#include "view/ground_clearance.h"
#include "view/picking.h"

namespace {

constexpr int width = 1280, height = 720;

struct start_view_t {
  service_t service;
  std::unique_ptr<bulk_t> root;
  camera_t cam{};
  float radius = 6371010;
  selection_t sel;
  std::vector<draw_item_t> draw_list;
};

std::string nodeTarget(const NodeDataRequest& req) {
  std::string target = "/rt/earth/NodeData/pb=!1m2!1s" + req.node_key().path() + "!2u" +
                       std::to_string(req.node_key().epoch()) + "!2e" + std::to_string(req.texture_format());
  if (req.has_imagery_epoch()) target += "!3u" + std::to_string(req.imagery_epoch());
  return target + "!4b0";
}

template <class M>
std::unique_ptr<M> answer(service_t& s, const std::string& target) {
  const service_response_t r = answerGet(s, target);
  auto msg = std::make_unique<M>();
  if (r.status != 200 || !msg->ParseFromString(*r.body)) return nullptr;
  return msg;
}

// The start pose turned 45 degrees below the horizon, as the end-to-end run
// looks, with every record its walk wants downloaded.
start_view_t* startView() {
  static start_view_t* v = [] {
    auto* out = new start_view_t;
    std::string error;
    if (!openService(&out->service, default_relief_path, default_imagery_path, format_bit_jpg, 256 << 20, &error))
      return out;
    out->root = std::make_unique<bulk_t>();
    out->root->request = createBulkMetadataRequest("", "", planet_epoch);
    out->root->busy_ctr = 0;
    out->root->setNotDownloadedYet();
    out->root->setStartedDownloading();
    populateBulk(out->root.get(),
                 answer<BulkMetadata>(out->service, std::string(request_base) + bulkRequestPath("", planet_epoch)));
    initCamera(out->cam, out->radius);
    geo_pose_t pose = poseOf(out->cam.eye, out->cam.direction, out->radius);
    pose.pitch_deg = -45;
    placeCamera(out->cam, pose, out->radius);
    for (int frame = 0; frame < 40; ++frame) {
      camera_frame_t f;
      updateCamera(out->cam, camera_input_t{}, 0, out->radius, width, height, &f);
      frame_stats_t stats{};
      walkTree(out->root.get(), {out->cam.eye, out->cam.direction, f.viewprojection, f.frustum_planes}, 0,
               &out->sel, &stats);
      if (out->sel.wishes.empty()) break;
      for (const request_wish_t& w : out->sel.wishes) {
        if (w.bulk) {
          w.bulk->setDispatched();
          auto m = answer<BulkMetadata>(out->service, std::string(request_base) +
                                                          bulkRequestPath(recordPath(w.bulk), planet_epoch));
          if (!m || !populateBulk(w.bulk, std::move(m))) w.bulk->setFailedDownloading();
        } else {
          w.node->setDispatched();
          auto m = answer<NodeData>(out->service, nodeTarget(w.node->request));
          if (!m || !populateNode(w.node, std::move(m))) w.node->setFailedDownloading();
        }
      }
    }
    computeDrawList(out->sel, &out->draw_list);
    return out;
  }();
  return v;
}

// One pick, at the given share of the picture's width and height.
void pickPixel(benchmark::State& state, double fx, double fy) {
  start_view_t* v = startView();
  if (v->draw_list.empty()) {
    state.SkipWithError("no start view (rocktreed's data missing?)");
    return;
  }
  const ray_t ray = pixelRay(screenOf(v->cam, width, height), fx * width, fy * height);
  pick_t p{};
  for (auto _ : state) {
    p = pickSurface(ray, v->draw_list, v->radius);
    benchmark::DoNotOptimize(p);
  }
  state.counters["nodes_drawn"] = static_cast<double>(v->draw_list.size());
  state.counters["on_mesh"] = p.source == pick_source_mesh;
}

// The ground under the eye, which every frame looks up: the downloaded
// bulks' boxes along the vertical, then the finest meshes there.
void groundUnderEye(benchmark::State& state) {
  start_view_t* v = startView();
  ground_t g{};
  for (auto _ : state) {
    g = groundUnder(v->root.get(), v->cam.eye, v->radius, 8000);
    benchmark::DoNotOptimize(g);
  }
  state.counters["mesh_level"] = g.level;
}

}  // namespace

BENCHMARK(groundUnderEye)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(pickPixel, centre, 0.5, 0.5)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(pickPixel, lower_left, 0.2, 0.85)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(pickPixel, near_horizon, 0.6, 0.05)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
