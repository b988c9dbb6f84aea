// Picking, globe navigation, flights and the ground under the eye, on
// hand-built meshes: flat square patches tangent to a sphere.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "view/flight_path.h"
#include "view/geo_pose.h"
#include "view/globe_navigation.h"
#include "view/ground_clearance.h"
#include "view/picking.h"

namespace {

constexpr double R = 6371010;

// A downloaded node whose one mesh is a flat square of side `side` at
// `height` above the sphere, centred on the vertical of `up`, split into
// two triangles of octant `octant`.
std::unique_ptr<node_t> patch(const Eigen::Vector3d& up_dir, double height, double side, const std::string& path,
                              bulk_t* parent, uint8_t octant = 0) {
  auto n = std::make_unique<node_t>();
  n->parent = parent;
  n->request.mutable_node_key()->set_path(path);
  n->can_have_data = true;
  const Eigen::Vector3d up = up_dir.normalized();
  const Eigen::Vector3d east = up.unitOrthogonal(), north = up.cross(east);
  const Eigen::Vector3d centre = up * (R + height);
  Eigen::Matrix4d m = Eigen::Matrix4d::Identity();
  m.block<3, 1>(0, 0) = east * side / 255;
  m.block<3, 1>(0, 1) = north * side / 255;
  m.block<3, 1>(0, 2) = up * side / 255;
  m.block<3, 1>(0, 3) = centre - (east + north) * side / 2;
  n->matrix_globe_from_mesh = m;
  n->obb = {centre, Eigen::Vector3d(side / 2, side / 2, side / 10), (Eigen::Matrix3d() << east, north, up).finished()};
  mesh_t mesh{};
  mesh.uv_offset = Eigen::Vector2f::Zero();
  mesh.uv_scale = Eigen::Vector2f::Ones();
  for (auto [x, y] : {std::pair{0, 0}, {255, 0}, {0, 255}, {255, 255}}) {
    const vertex_t v{static_cast<uint8_t>(x), static_cast<uint8_t>(y), 0, octant, 0, 0};
    const auto* b = reinterpret_cast<const uint8_t*>(&v);
    mesh.vertices.insert(mesh.vertices.end(), b, b + sizeof v);
  }
  mesh.indices = {0, 1, 2, 3};
  n->meshes.push_back(std::move(mesh));
  n->setNotDownloadedYet();
  n->setStartedDownloading();
  n->setFinishedDownloading();
  return n;
}

struct scene_t {
  bulk_t root{};
  std::vector<std::unique_ptr<node_t>> nodes;
  std::vector<draw_item_t> draw_list;
  scene_t() {
    root.busy_ctr = 0;
    root.setNotDownloadedYet();
    root.setStartedDownloading();
    root.setFinishedDownloading();
  }
  node_t* add(double height, double side, const std::string& path, uint8_t mask = 0) {
    nodes.push_back(patch(Eigen::Vector3d::UnitX(), height, side, path, &root));
    draw_list.push_back({nodes.back().get(), mask});
    return nodes.back().get();
  }
};

ray_t down(double y, double z) { return {Eigen::Vector3d(R + 5000, y, z), Eigen::Vector3d(-1, 0, 0)}; }

// Looking at the patch under x from `altitude`, pitched below the horizon.
camera_t cameraAbove(double altitude, double pitch_deg) {
  camera_t cam{};
  placeCamera(cam, {0, 0, altitude, 30, pitch_deg}, static_cast<float>(R));
  return cam;
}

void expectUnderPixel(const camera_t& cam, const Eigen::Vector3d& p, double x, double y, int w, int h) {
  double px, py;
  ASSERT_TRUE(projectToPixel(screenOf(cam, w, h), p, &px, &py));
  EXPECT_NEAR(px, x, 0.5);
  EXPECT_NEAR(py, y, 0.5);
}

}  // namespace

// The nearest drawn triangle wins, hidden octants are not hit, and the
// sphere answers where no drawn mesh is hit.
TEST(Picking, NearestMeshThenSphere) {
  scene_t s;
  s.add(100, 100, "0");
  s.add(50, 1000, "01");
  pick_t p = pickSurface(down(10, 10), s.draw_list, R);
  EXPECT_EQ(p.source, pick_source_mesh);
  EXPECT_NEAR(p.point.x(), R + 100, 1e-6);
  EXPECT_NEAR(p.distance, 4900, 1e-6);

  s.draw_list[0].mask = 1;  // its octant 0 is drawn by a finer node
  EXPECT_NEAR(pickSurface(down(10, 10), s.draw_list, R).point.x(), R + 50, 1e-6);
  s.draw_list[0].mask = 0;
  EXPECT_NEAR(pickSurface(down(300, 10), s.draw_list, R).point.x(), R + 50, 1e-6);  // beside the small one

  p = pickSurface(down(3000, 0), s.draw_list, R);  // beside both
  EXPECT_EQ(p.source, pick_source_sphere);
  EXPECT_NEAR(p.point.norm(), R, 1e-6);
  EXPECT_EQ(pickSurface({Eigen::Vector3d(R + 5000, 0, 0), Eigen::Vector3d(1, 0, 0)}, s.draw_list, R).source,
            pick_source_none);

  // A pixel's ray goes through where the point projects.
  const camera_t cam = cameraAbove(3000, -40);
  const ray_t ray = pixelRay(screenOf(cam, 1280, 720), 200.5, 600.5);
  expectUnderPixel(cam, ray.origin + 1234 * ray.direction, 200.5, 600.5, 1280, 720);
}

// After every step of a drag, the grabbed point (on a mesh above the
// sphere) is under the cursor; the glide after the release covers the same
// turn at 5 and at 60 frames per second, and there is none after a pause.
TEST(GlobeNavigation, DragHoldsTheGrabbedPointAndGlidesAlikeAtAnyFrameRate) {
  scene_t s;
  s.add(2000, 200000, "0");
  camera_t cam = cameraAbove(8000, -35);
  const int w = 1280, h = 720;
  const pick_t grab = pickSurface(pixelRay(screenOf(cam, w, h), 640.5, 500.5), s.draw_list, R);
  ASSERT_EQ(grab.source, pick_source_mesh);
  globe_drag_t drag;
  startDrag(&drag, grab.point, 0);
  for (int k = 1; k <= 10; ++k) {
    const double x = 640.5 + 30 * k, y = 500.5 - 25 * k;
    dragTo(&drag, cam, w, h, x, y, 0.02 * k);
    expectUnderPixel(cam, grab.point, x, y, w, h);
  }
  globe_glide_t glide;
  releaseDrag(&drag, &glide, 0.2);
  ASSERT_TRUE(glide.active);
  globe_glide_t slow_glide = glide;
  camera_t slow = cam, fast = cam;
  for (int k = 0; k < 10; ++k) advanceGlide(&slow_glide, slow, 0.2);
  for (int k = 0; k < 120; ++k) advanceGlide(&glide, fast, 1.0 / 60);
  EXPECT_LT((slow.eye - fast.eye).norm(), 1e-3);
  EXPECT_GT((slow.eye - cam.eye).norm(), 100);  // it did glide
  EXPECT_FALSE(glide.active);                   // and stopped

  startDrag(&drag, grab.point, 1);
  dragTo(&drag, cam, w, h, 600, 400, 1.05);
  releaseDrag(&drag, &glide, 1.5);  // held still for 450 ms
  EXPECT_FALSE(glide.active);

  // Off the planet, the point follows to the limb: the camera stays sound.
  camera_t far = cameraAbove(12000000, -80);
  startDrag(&drag, Eigen::Vector3d(R, 0, 0), 0);
  dragTo(&drag, far, w, h, 5, 5, 0.1);
  EXPECT_TRUE(far.eye.allFinite() && far.direction.allFinite());
  EXPECT_NEAR(far.eye.norm(), R + 12000000, 1);
}

// Zooming in and out keeps the point under the cursor where it was, and
// the distance to it follows the notches; the tilt stops at the horizon and
// at the camera's pitch limit.
TEST(GlobeNavigation, ZoomKeepsThePointAndTiltStaysAboveTheHorizon) {
  scene_t s;
  s.add(2000, 200000, "0");
  camera_t cam = cameraAbove(8000, -35);
  const int w = 1280, h = 720;
  const pick_t p = pickSurface(pixelRay(screenOf(cam, w, h), 1000.5, 200.5), s.draw_list, R);
  ASSERT_EQ(p.source, pick_source_mesh);
  zoomTowards(cam, p.point, 3, w, h, 1000.5, 200.5, R);
  expectUnderPixel(cam, p.point, 1000.5, 200.5, w, h);
  EXPECT_NEAR((cam.eye - p.point).norm(), p.distance * std::pow(globe_wheel_keep, 3), 1e-6 * p.distance);
  zoomTowards(cam, p.point, -2, w, h, 1000.5, 200.5, R);
  expectUnderPixel(cam, p.point, 1000.5, 200.5, w, h);

  const Eigen::Vector3d centre =
      pickSurface(pixelRay(screenOf(cam, w, h), w / 2.0, h / 2.0), s.draw_list, R).point;
  const auto elevation = [&] {
    return std::asin((cam.eye - centre).normalized().dot(centre.normalized())) * 180 / M_PI;
  };
  turnAbout(cam, &centre, 300, -100000);
  EXPECT_NEAR(elevation(), globe_min_elevation_deg, 1e-6);
  turnAbout(cam, &centre, 0, 100000);
  EXPECT_LE(std::abs(cam.direction.dot(cam.eye.normalized())), camera_pitch_limit + 1e-12);
  EXPECT_GT(elevation(), 75);
}

// The path starts and ends on the poses exactly, takes at most 3 s, moves
// steadily on, and is the same at any frame rate; stopping leaves it where
// it is.
TEST(FlightPath, EndsExactlyWithinThreeSecondsAtAnyFrameRate) {
  camera_t paris{}, tokyo{};
  placeCamera(paris, {48.85, 2.35, 30000, 0, -60}, static_cast<float>(R));
  placeCamera(tokyo, {35.68, 139.69, 20000, 90, -45}, static_cast<float>(R));
  flight_t f;
  startFlight(&f, {paris.eye, paris.direction}, {tokyo.eye, tokyo.direction}, R);
  EXPECT_EQ(f.duration_s, flight_max_seconds);  // a long way: capped
  EXPECT_EQ(flightPoseAt(f, 0).eye, paris.eye);
  EXPECT_EQ(flightPoseAt(f, f.duration_s).eye, tokyo.eye);
  EXPECT_EQ(flightPoseAt(f, f.duration_s).direction, tokyo.direction);

  double last = 0, highest = 0;
  for (double t = 0.05; t < f.duration_s; t += 0.05) {
    const double along = flightProgress(f, t);
    EXPECT_GE(along, last) << t;
    last = along;
    highest = std::max(highest, flightPoseAt(f, t).eye.norm() - R);
  }
  EXPECT_GT(last, 0.99);
  EXPECT_GT(highest, 1000000);  // it rose to see both ends

  flight_t slow = f, fast = f;
  camera_pose_t a{}, b{};
  for (int k = 0; k < 5; ++k) a = advanceFlight(&slow, 0.2);
  for (int k = 0; k < 60; ++k) b = advanceFlight(&fast, 1.0 / 60);
  EXPECT_LT((a.eye - b.eye).norm(), 1e-6 * a.eye.norm());
  for (int k = 0; k < 20 && slow.active; ++k) a = advanceFlight(&slow, 0.2);
  EXPECT_FALSE(slow.active);
  EXPECT_EQ(a.eye, tokyo.eye);

  stopFlight(&fast);
  EXPECT_FALSE(fast.active);

  // A double click's approach: along the same line, a third of the way.
  const Eigen::Vector3d point = paris.eye + 40000 * paris.direction;
  const camera_pose_t near = approachPose(paris, point);
  startFlight(&f, {paris.eye, paris.direction}, near, R);
  EXPECT_GT(f.duration_s, 0.3);
  EXPECT_LT(f.duration_s, flight_max_seconds);
  EXPECT_NEAR((flightPoseAt(f, f.duration_s).eye - point).norm(), 40000.0 / 3, 1e-6);
}

// The eye is kept above the finest loaded mesh under it; over ground still
// loading, above the next coarser one; with nothing loaded it only stops
// descending below the highest relief.
TEST(GroundClearance, FinestLoadedMeshElseHighestRelief) {
  scene_t s;
  node_t* coarse = s.add(100, 100000, "0");
  node_t* fine = s.add(150, 1000, "01");
  for (auto& n : s.nodes) s.root.nodes[recordPath(n.get())] = std::move(n);

  const Eigen::Vector3d above(R + 3000, 10, 10);
  ground_t g = groundUnder(&s.root, above, R, 8000);
  EXPECT_TRUE(g.from_mesh);
  EXPECT_EQ(g.level, 2);
  EXPECT_NEAR(g.radius, R + 150, 1e-3);

  // Below the surface already (a start pose, a coarse mesh replaced): lifted.
  camera_t cam{};
  cam.eye = Eigen::Vector3d(R + 120, 10, 10);
  cam.direction = Eigen::Vector3d(0, 1, 0);
  EXPECT_TRUE(keepAboveGround(cam, cam.eye, groundUnder(&s.root, cam.eye, R, 8000), 0));
  EXPECT_NEAR(cam.eye.norm(), R + 150 + ground_clearance_metres, 1e-3);
  // A fast dive (20 m in a 60th of a second) stops higher.
  cam.eye = Eigen::Vector3d(R + 140, 10, 10);
  keepAboveGround(cam, Eigen::Vector3d(R + 160, 10, 10), g, 20 * 60);
  EXPECT_NEAR(cam.eye.norm(), R + 150 + ground_clearance_metres + 20 * 60 * ground_clearance_seconds, 1e-3);

  fine->setDeleted();  // the finer node is loading again
  g = groundUnder(&s.root, above, R, 8000);
  EXPECT_EQ(g.level, 1);
  EXPECT_NEAR(g.radius, R + 100, 1e-3);

  coarse->setDeleted();
  g = groundUnder(&s.root, above, R, 8000);
  EXPECT_FALSE(g.from_mesh);
  EXPECT_NEAR(g.radius, R + 8000, 1e-6);
  cam.eye = Eigen::Vector3d(R + 6000, 0, 0);  // below the highest relief, not moving: left there
  EXPECT_FALSE(keepAboveGround(cam, cam.eye, g, 0));
  keepAboveGround(cam, Eigen::Vector3d(R + 6500, 0, 0), g, 500 * 60);  // descending: held
  EXPECT_NEAR(cam.eye.norm(), R + 6500, 1e-6);
}
