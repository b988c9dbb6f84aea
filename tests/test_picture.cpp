#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "view/atmosphere.h"
#include "view/camera_path.h"
#include "view/fades.h"

namespace {

// A hand-built selection: nodes by full path, downloaded, remembered by the
// selection as the walk would.
struct scene_t {
  selection_t sel;
  std::vector<std::unique_ptr<node_t>> nodes;
  fade_state_t fades;
  std::vector<faded_draw_item_t> items;

  node_t* add(const std::string& path) {
    auto n = std::make_unique<node_t>();
    n->request.mutable_node_key()->set_path(path);
    n->can_have_data = true;
    n->setNotDownloadedYet();
    n->setStartedDownloading();
    n->setFinishedDownloading();
    select(n.get());
    nodes.push_back(std::move(n));
    return nodes.back().get();
  }
  void select(node_t* n) {
    sel.potential_nodes[recordPath(n)] = n;
    sel.live_nodes[n] = 0;
  }
  void deselect(node_t* n) { sel.potential_nodes.erase(recordPath(n)); }

  void frame(double ms) { computeFadedDrawList(sel, ms, &fades, &items); }
  void settle() {
    for (int i = 0; i < 100 && !(fadesSettled(fades) && !items.empty()); ++i) frame(50);
  }
  const faded_draw_item_t* item(const std::string& path) const {
    for (const faded_draw_item_t& it : items)
      if (recordPath(it.node) == path) return &it;
    return nullptr;
  }

  // Every point of the region under "0" (its 64 grandchildren's octants)
  // at every dither threshold is drawn by exactly one node.
  void expectEachPixelDrawnOnce() const {
    for (int a = 0; a < 8; ++a)
      for (int b = 0; b < 8; ++b) {
        const std::string region = "0" + std::to_string(a) + std::to_string(b) + "0";
        for (int k = 0; k < 64; ++k) {
          const float t = (static_cast<float>(k) + 0.5f) / 64;
          int drawn = 0;
          for (const faded_draw_item_t& it : items) {
            const std::string& p = recordPath(it.node);
            if (region.compare(0, p.size(), p) != 0) continue;
            const int o = region[p.size()] - '0';
            if (!((it.mask >> o) & 1) && it.low[static_cast<size_t>(o)] <= t && t < it.high) ++drawn;
          }
          ASSERT_EQ(drawn, 1) << "region " << region << " at threshold " << t;
        }
      }
  }
};

std::set<std::string> paths(const std::vector<faded_draw_item_t>& items) {
  std::set<std::string> out;
  for (const faded_draw_item_t& it : items) out.insert(recordPath(it.node));
  return out;
}

}  // namespace

// A child that arrives fades in over its parent, which keeps drawing the
// child's octant beneath it until the child is opaque; then the list is the
// plain one (the octant collapsed).
TEST(Fades, RefinementFadesInOverTheParentWithoutAHole) {
  scene_t s;
  s.add("0");
  s.settle();
  ASSERT_TRUE(fadesSettled(s.fades));
  s.add("03");
  s.frame(50);
  ASSERT_NE(s.item("03"), nullptr);
  EXPECT_FLOAT_EQ(s.item("03")->high, 0.2f);
  EXPECT_FLOAT_EQ(s.item("0")->low[3], 0.2f);
  EXPECT_EQ(s.item("0")->mask, 0);
  EXPECT_FALSE(fadesSettled(s.fades));
  s.expectEachPixelDrawnOnce();
  // A grandchild arriving mid-fade is capped by its fading parent.
  s.add("035");
  for (double t = 50; t < 250; t += 50) {
    s.frame(50);
    s.expectEachPixelDrawnOnce();
  }
  EXPECT_LE(s.item("035")->high, s.item("03")->high);
  s.settle();
  EXPECT_EQ(s.item("0")->mask, 1u << 3);
  EXPECT_EQ(s.item("03")->mask, 1u << 5);
  std::vector<draw_item_t> plain;
  computeDrawList(s.sel, &plain);
  ASSERT_EQ(plain.size(), s.items.size());
  for (size_t i = 0; i < plain.size(); ++i) {
    EXPECT_EQ(plain[i].node, s.items[i].node);
    EXPECT_EQ(plain[i].mask, s.items[i].mask);
    EXPECT_EQ(s.items[i].high, 1.0f);
  }
}

// Back to the coarser node: the child the walk no longer selects stays drawn
// while the parent fades in over it; a child evicted meanwhile goes at once.
TEST(Fades, CoarseningFadesTheParentBackOverTheChild) {
  scene_t s;
  s.add("0");
  node_t* c = s.add("01");
  node_t* d = s.add("02");
  node_t* g = s.add("012");
  s.settle();
  s.deselect(c);
  s.deselect(g);
  s.deselect(d);
  s.frame(100);
  EXPECT_EQ(paths(s.items), (std::set<std::string>{"0", "01", "012", "02"}));
  EXPECT_FLOAT_EQ(s.item("01")->high, 0.6f);
  EXPECT_FLOAT_EQ(s.item("0")->low[1], 0.6f);
  s.expectEachPixelDrawnOnce();
  s.sel.live_nodes.erase(d);  // the memory budget released it
  s.frame(100);
  EXPECT_EQ(paths(s.items), (std::set<std::string>{"0", "01", "012"}));
  s.expectEachPixelDrawnOnce();
  // Selected again mid-fade: it turns back from where it was.
  s.select(c);
  s.frame(50);
  EXPECT_FLOAT_EQ(s.item("01")->high, 0.4f);
  s.expectEachPixelDrawnOnce();
  s.deselect(c);
  s.settle();
  EXPECT_EQ(paths(s.items), (std::set<std::string>{"0"}));
  EXPECT_EQ(s.item("0")->mask, 0);
}

// A parent that arrives after its child starts as opaque as the child, so
// the child is never hidden behind a parent fading in.
TEST(Fades, ALateParentNeverHidesItsChildren) {
  scene_t s;
  s.add("06");
  s.settle();
  s.add("0");
  s.frame(10);
  EXPECT_EQ(s.item("06")->high, 1.0f);
  EXPECT_EQ(s.item("0")->high, 1.0f);
  EXPECT_EQ(s.item("0")->mask, 1u << 6);
  s.expectEachPixelDrawnOnce();
}

// The screen door's matrix gives each of its 64 thresholds once per 8x8
// block, so a fade of k/64 draws exactly k pixels of every block.
TEST(Fades, DitherThresholdsAreEachLevelOnce) {
  std::set<float> seen;
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 8; ++x) {
      const float t = ditherThreshold(x, y);
      seen.insert(t);
      EXPECT_EQ(t, ditherThreshold(x + 8, y + 16));
    }
  EXPECT_EQ(seen.size(), 64u);
  EXPECT_EQ(*seen.begin(), 0.5f / 64);
  EXPECT_EQ(ditherThreshold(0, 0), 0.5f / 64);
  EXPECT_EQ(ditherThreshold(1, 0), 32.5f / 64);  // neighbours are far apart
}

namespace {

constexpr double earth_radius = 6371010;

Eigen::Vector3d skyAt(double altitude, const Eigen::Vector3d& dir) {
  const Eigen::Vector3d eye(0, 0, earth_radius + altitude);
  return toneMap(skyRadiance(eye, dir.normalized(), sunDirection(eye), earth_radius));
}

// The direction from a point at radius r on the z axis that grazes the
// sphere of the given radius (tangent), bent by a small angle upwards.
Eigen::Vector3d grazing(double r, double radius, double up) {
  const double a = std::asin(radius / r);  // from the nadir to the tangent
  return Eigen::Vector3d(std::sin(a + up), 0, -std::cos(a + up));
}

}  // namespace

// Near the ground the sky is blue and brightest at the horizon; from orbit
// space is black above and the limb glows, brighter than the air straight down.
TEST(Atmosphere, BlueSkyBelowBlackSpaceAndAGlowingLimb) {
  const Eigen::Vector3d horizon = skyAt(1000, {1, 0, 0.02});
  // High in the sky, away from the sun's glow straight above.
  const Eigen::Vector3d zenith = skyAt(1000, {1, 0, 1.7});
  EXPECT_GT(horizon.z(), horizon.x());  // blue over red
  EXPECT_GT(zenith.z(), 1.5 * zenith.x());
  EXPECT_GT(horizon.sum(), zenith.sum());
  EXPECT_GT(zenith.z(), 0.2);
  EXPECT_LT(horizon.maxCoeff(), 1.0);

  const double orbit = 800000, r = earth_radius + orbit;
  EXPECT_EQ(skyAt(orbit, {0, 0, 1}).sum(), 0);  // out into space, no air on the way
  // The body of the glow, 10 km over the ground (the lowest kilometres
  // redden like a low sun, as seen from the ground).
  const Eigen::Vector3d limb = skyAt(orbit, grazing(r, earth_radius + 10000, 0));
  const Eigen::Vector3d above = skyAt(orbit, grazing(r, earth_radius + atmosphere_height_m + 1000, 0));
  const Eigen::Vector3d down = skyAt(orbit, {0, 0, -1});
  EXPECT_EQ(above.sum(), 0);
  EXPECT_GT(limb.sum(), 2 * down.sum());
  EXPECT_GT(limb.z(), limb.x());
}

// The sky's table, read as the shader reads it, gives the sky computed ray
// by ray, near the ground and from orbit, across the thin limb too.
TEST(Atmosphere, SkyTableGivesTheSkyOfEachRay) {
  for (const double altitude : {1000.0, 800000.0}) {
    const Eigen::Vector3d eye(0, 0, earth_radius + altitude);
    const std::vector<Eigen::Vector3f> table = skyTable(eye, earth_radius, sky_table_size);
    const double mu_horizon = skyHorizonCosine(eye.norm(), earth_radius);
    const double r = eye.norm();
    std::vector<Eigen::Vector3d> rays = {{1, 0, 0.02}, {1, 0, 1.7}, {0, 0, -1}, {0, 1, 0.3}};
    for (const double over : {2000.0, 10000.0, 30000.0, 60000.0})
      if (over < altitude) rays.push_back(grazing(r, earth_radius + over, 0));
    for (const Eigen::Vector3d& ray : rays) {
      const Eigen::Vector3d dir = ray.normalized();
      const Eigen::Vector3d looked_up = skyFromTable(table, skyTableCoordinate(dir.z(), mu_horizon));
      EXPECT_LT((looked_up - skyAt(altitude, dir)).cwiseAbs().maxCoeff(), 2.0 / 255)
          << "altitude " << altitude << ", ray " << dir.transpose();
    }
  }
}

// Haze grows with the air between the eye and the ground: none at the eye,
// more far along the ground than down from orbit through the whole air.
TEST(Atmosphere, HazeFollowsTheAirOnTheWay) {
  const Eigen::Vector3d eye(0, 0, earth_radius + 1000);
  const Eigen::Vector3d here = hazeTransmittance(eye, eye, earth_radius);
  EXPECT_DOUBLE_EQ(here.minCoeff(), 1);
  const Eigen::Vector3d near_ground = hazeTransmittance(eye, {2000, 0, earth_radius}, earth_radius);
  const Eigen::Vector3d far_ground = hazeTransmittance(eye, {100000, 0, earth_radius - 780}, earth_radius);
  EXPECT_GT(near_ground.z(), 0.9);
  EXPECT_LT(far_ground.z(), near_ground.z());
  EXPECT_LT(far_ground.z(), far_ground.x());  // blue goes first
  const Eigen::Vector3d from_orbit =
      hazeTransmittance({0, 0, earth_radius + 800000}, {0, 0, earth_radius}, earth_radius);
  EXPECT_GT(from_orbit.z(), far_ground.z());
  EXPECT_GT(from_orbit.z(), 0.5);
  const Eigen::Vector3d haze = hazeColour();
  EXPECT_GT(haze.z(), haze.x());
  EXPECT_LT(haze.maxCoeff(), 1);
}

// A path goes through its poses, the short way round in longitude and
// heading, smoothly between them, and holds its ends.
TEST(CameraPath, InterpolatesThroughThePosesTheShortWay) {
  camera_path_t path;
  std::string why;
  ASSERT_TRUE(parseCameraPath("# t lat lon alt heading pitch\n"
                              "0 45 179 10000 350 -30\n"
                              "\n"
                              "2\t46 -179 20000 10 -20\r\n"
                              "4 47 -178 30000 20 -10",
                              &path, &why))
      << why;
  ASSERT_EQ(path.poses.size(), 3u);
  EXPECT_EQ(pathDuration(path), 4);
  const geo_pose_t at2 = poseAt(path, 2);
  EXPECT_NEAR(at2.lat_deg, 46, 1e-9);
  EXPECT_NEAR(at2.lon_deg, -179, 1e-9);
  const geo_pose_t mid = poseAt(path, 1);
  EXPECT_NEAR(mid.lat_deg, 45.5, 0.1);
  EXPECT_GT(std::abs(mid.lon_deg), 179);  // over the date line, not round the world
  EXPECT_TRUE(mid.heading_deg > 355 || mid.heading_deg < 5);
  EXPECT_NEAR(mid.altitude_m, 15000, 1000);
  EXPECT_EQ(poseAt(path, -1).lat_deg, 45);
  EXPECT_EQ(poseAt(path, 99).altitude_m, 30000);
  // Smooth: no jump between close times across a pose.
  EXPECT_NEAR(poseAt(path, 1.999).altitude_m, poseAt(path, 2.001).altitude_m, 50);
}

// Untrusted files: each fault is rejected with the line and the reason.
TEST(CameraPath, RejectsMalformedFilesNamingTheFault) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"", "no pose"},
      {"# only a comment\n", "no pose"},
      {"0 45 7 1000 0\n", "line 1: expected six numbers"},
      {"0 45 7 1000 0 0 9\n", "line 1: expected six numbers"},
      {"0 45 7 1000 0 x\n", "line 1: expected six numbers"},
      {"0 45 7 nan 0 0\n", "line 1: expected six numbers"},
      {"0 45 7 1e999 0 0\n", "line 1: expected six numbers"},
      {"0 95 7 1000 0 0\n", "latitude"},
      {"0 45 7 1000 0 0\n1 45 200 1000 0 0\n", "line 2: the longitude"},
      {"0 45 7 -5000 0 0\n", "altitude"},
      {"0 45 7 1000 0 -91\n", "pitch"},
      {"-1 45 7 1000 0 0\n", "time"},
      {"1 45 7 1000 0 0\n1 45 7 1000 0 0\n", "line 2: the time must be later"},
      {std::string(path_max_bytes + 1, '#'), "larger than"},
  };
  for (const auto& [text, named] : bad) {
    camera_path_t path;
    std::string why;
    EXPECT_FALSE(parseCameraPath(text, &path, &why)) << text.substr(0, 40);
    EXPECT_NE(why.find(named), std::string::npos) << text.substr(0, 40) << ": " << why;
  }
  std::string many;
  for (size_t k = 0; k <= path_max_poses; ++k) many += std::to_string(k) + " 0 0 0 0 0\n";
  camera_path_t path;
  std::string why;
  EXPECT_FALSE(parseCameraPath(many, &path, &why));
  EXPECT_NE(why.find("more than"), std::string::npos) << why;
  EXPECT_FALSE(loadCameraPath("/nonexistent/path.txt", &path, &why));
  EXPECT_NE(why.find("/nonexistent/path.txt"), std::string::npos);
}
