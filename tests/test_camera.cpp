#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <set>
#include <string>

#include "view/camera.h"
#include "view/geo_pose.h"
#include "view/places.h"

namespace {

constexpr float kRadius = 6371010.0f;

camera_input_t noInput() { return camera_input_t{}; }

// Camera at an altitude over the north pole, looking along dir.
camera_t cameraAt(double altitude, Eigen::Vector3d dir) {
  camera_t cam{};
  cam.eye = Eigen::Vector3d(0, 0, kRadius + altitude);
  cam.direction = dir.normalized();
  cam.initialised = true;
  return cam;
}

double angleToVertical(const camera_t& cam) {
  return std::acos(std::clamp(cam.direction.dot(cam.eye.normalized()), -1.0, 1.0));
}

// Heading in the tangent plane at the pole: x is 0, y is a quarter turn.
double heading(const camera_t& cam) { return std::atan2(cam.direction.y(), cam.direction.x()); }

TEST(Camera, StartsTenKilometresAboveTheStartPoint) {
  camera_t cam{};
  initCamera(cam, kRadius);
  EXPECT_NEAR(cam.eye.norm() - kRadius, 10000, 1.0);
  EXPECT_NEAR(cam.eye.normalized().dot(Eigen::Vector3d(4202.393, 173.554, 4778.808).normalized()), 1, 1e-12);
  camera_frame_t f;
  ASSERT_TRUE(updateCamera(cam, noInput(), 16, kRadius, 2560, 1440, &f));
  EXPECT_NEAR(cam.direction.norm(), 1, 1e-12);
  EXPECT_NEAR(f.altitude, 10000, 1.0);
  // The start pose looks up, 46.5 degrees from the vertical: sky only.
  EXPECT_NEAR(angleToVertical(cam) * 180 / M_PI, 46.5, 0.1);
}

TEST(Camera, ClippingPlanesAtTheEdgeAltitudes) {
  double near = 0, far = 0;
  clipPlanes(-100, kRadius, &near, &far);  // below the sphere
  EXPECT_EQ(near, 50);
  EXPECT_EQ(far, 51);
  clipPlanes(0, kRadius, &near, &far);  // on it
  EXPECT_EQ(near, -1);
  EXPECT_EQ(far, 0);
  clipPlanes(1e-4, kRadius, &near, &far);  // horizon closer than 50 m
  const double h = std::sqrt(1e-4 * (2.0 * kRadius + 1e-4));
  EXPECT_NEAR(far, h, 1e-9);
  EXPECT_NEAR(near, h - 1, 1e-9);
  clipPlanes(10000, kRadius, &near, &far);  // horizon about 357 km
  EXPECT_EQ(near, 50);
  EXPECT_NEAR(far, 357101, 10);
  clipPlanes(20000, kRadius, &near, &far);  // horizon past 370 km
  EXPECT_EQ(near, 10000);
  EXPECT_GT(far, 370000);
}

TEST(Camera, EveryAltitudeGivesAValidProjection) {
  // Near and far stay ordered so that the projection's precondition holds.
  for (double alt : {-1e6, -1.0, 0.0, 1e-6, 0.5, 49.0, 1e3, 1e5, 9e6}) {
    camera_t cam = cameraAt(alt, {1, 0, -1});
    camera_frame_t f;
    ASSERT_TRUE(updateCamera(cam, noInput(), 16, kRadius, 800, 600, &f));
    EXPECT_LT(f.near, f.far) << alt;
    EXPECT_FALSE(f.viewprojection.hasNaN()) << alt;
  }
}

TEST(Camera, EmptyDrawableSkipsTheFrame) {
  camera_t cam = cameraAt(10000, {1, 0, 0});
  const camera_t before = cam;
  camera_input_t in = noInput();
  in.key_w = 1;
  in.mouse_x = 40;
  camera_frame_t f;
  EXPECT_FALSE(updateCamera(cam, in, 16, kRadius, 0, 1440, &f));
  EXPECT_FALSE(updateCamera(cam, in, 16, kRadius, 2560, 0, &f));
  EXPECT_EQ(cam.eye, before.eye);
  EXPECT_EQ(cam.direction, before.direction);
}

TEST(Camera, PitchStopsNearTheVerticalButTurnsBack) {
  // About 5 degrees from straight down: overhead = cos(5 deg) > 0.99.
  const double tilt = 5 * M_PI / 180;
  camera_t cam = cameraAt(10000, {std::sin(tilt), 0, -std::cos(tilt)});
  camera_frame_t f;
  camera_input_t down = noInput();
  down.mouse_y = 200;  // towards the bottom of the screen: look further down
  ASSERT_TRUE(updateCamera(cam, down, 16, kRadius, 800, 600, &f));
  EXPECT_NEAR(angleToVertical(cam), M_PI - tilt, 1e-9);

  camera_input_t up = noInput();
  up.mouse_y = -200;
  ASSERT_TRUE(updateCamera(cam, up, 16, kRadius, 800, 600, &f));
  EXPECT_NEAR(angleToVertical(cam), M_PI - tilt - 0.2, 1e-6);

  // The same limit looking straight up.
  camera_t sky = cameraAt(10000, {std::sin(tilt), 0, std::cos(tilt)});
  camera_input_t further_up = noInput();
  further_up.mouse_y = -200;
  ASSERT_TRUE(updateCamera(sky, further_up, 16, kRadius, 800, 600, &f));
  EXPECT_NEAR(angleToVertical(sky), tilt, 1e-9);
}

TEST(Camera, YawTurnsTheHeadingByTheAngleAtAnyPitch) {
  for (double below_horizon : {0.0, 30.0, 60.0}) {
    const double a = below_horizon * M_PI / 180;
    camera_t cam = cameraAt(10000, {std::cos(a), 0, -std::sin(a)});
    const double vertical_before = angleToVertical(cam);
    camera_input_t in = noInput();
    in.mouse_x = 50;  // to the right
    camera_frame_t f;
    ASSERT_TRUE(updateCamera(cam, in, 16, kRadius, 800, 600, &f));
    // Right of a camera looking along +x over the north pole is -y.
    EXPECT_NEAR(heading(cam), -0.05, 1e-3) << below_horizon;
    EXPECT_NEAR(angleToVertical(cam), vertical_before, 1e-3) << below_horizon;
  }
}

TEST(Camera, KeysMoveAlongTheViewAndTheVertical) {
  camera_frame_t f;
  camera_t still = cameraAt(1000, {1, 0, 0});
  camera_input_t ws = noInput();
  ws.key_w = ws.key_s = 1;
  ASSERT_TRUE(updateCamera(still, ws, 17, kRadius, 800, 600, &f));
  EXPECT_NEAR((still.eye - Eigen::Vector3d(0, 0, kRadius + 1000.0)).norm(), 0, 1e-6);

  camera_t walk = cameraAt(1000, {1, 0, 0});
  camera_input_t w = noInput();
  w.key_w = 1;
  ASSERT_TRUE(updateCamera(walk, w, 17, kRadius, 800, 600, &f));
  const double step = walk.eye.x();
  EXPECT_GT(step, 10);  // about 17 m per 17 ms near the ground
  EXPECT_LT(step, 30);

  camera_t run = cameraAt(1000, {1, 0, 0});
  w.shift = true;
  ASSERT_TRUE(updateCamera(run, w, 17, kRadius, 800, 600, &f));
  EXPECT_NEAR(run.eye.x(), 5 * step, 1e-6);

  camera_t sink = cameraAt(1000, {1, 0, 0});
  camera_input_t q = noInput();
  q.key_q = 1;
  ASSERT_TRUE(updateCamera(sink, q, 17, kRadius, 800, 600, &f));
  EXPECT_NEAR(sink.eye.z(), kRadius + 1000.0 - step, 1e-6);
  EXPECT_NEAR(sink.eye.x(), 0, 1e-9);

  // Higher up the same keys go faster.
  camera_t high = cameraAt(500000, {1, 0, 0});
  w.shift = false;
  ASSERT_TRUE(updateCamera(high, w, 17, kRadius, 800, 600, &f));
  EXPECT_GT(high.eye.x(), 10 * step);
}

TEST(Camera, MoveToTenThousandKilometresIsRefusedButTheTurnIsNot) {
  camera_t cam = cameraAt(9999000, {1, 0, 0});
  const Eigen::Vector3d eye_before = cam.eye;
  camera_input_t in = noInput();
  in.key_e = 1;
  in.mouse_x = 100;
  camera_frame_t f;
  ASSERT_TRUE(updateCamera(cam, in, 17, kRadius, 800, 600, &f));
  EXPECT_EQ(cam.eye, eye_before);
  EXPECT_LT(heading(cam), -0.05);

  // Downwards from the same place is allowed, and so is passing below the sphere.
  in.key_e = 0;
  in.key_q = 1;
  ASSERT_TRUE(updateCamera(cam, in, 17, kRadius, 800, 600, &f));
  EXPECT_LT(cam.eye.norm(), eye_before.norm());
  camera_t low = cameraAt(5, {1, 0, 0});
  ASSERT_TRUE(updateCamera(low, in, 17, kRadius, 800, 600, &f));
  EXPECT_LT(low.eye.norm(), kRadius);
  // Above the limit (a place far out), down still works and up does not.
  camera_t far = cameraAt(12000000, {1, 0, 0});
  const double far_before = far.eye.norm();
  ASSERT_TRUE(updateCamera(far, in, 17, kRadius, 800, 600, &f));
  EXPECT_LT(far.eye.norm(), far_before);
  in.key_q = 0;
  in.key_e = 1;
  const Eigen::Vector3d far_eye = far.eye;
  ASSERT_TRUE(updateCamera(far, in, 17, kRadius, 800, 600, &f));
  EXPECT_EQ(far.eye, far_eye);
}

TEST(Camera, PeriodicLineRestartsFromZero) {
  double ms = 0;
  EXPECT_FALSE(periodicLineDue(&ms, 1000));
  EXPECT_FALSE(periodicLineDue(&ms, 1000));  // exactly 2000 is not enough
  EXPECT_TRUE(periodicLineDue(&ms, 500));
  EXPECT_EQ(ms, 0);  // the excess is dropped
  EXPECT_FALSE(periodicLineDue(&ms, 1999));
  EXPECT_TRUE(periodicLineDue(&ms, 2));
}

// A pose given on the command line comes back out of the position line the
// viewer prints (6 decimals of metres): latitude, longitude, altitude,
// heading and pitch, also in the southern and western hemispheres and
// across the date line.
TEST(GeoPose, PoseComesBackOutOfThePositionLine) {
  const geo_pose_t poses[] = {{45.8326, 6.8652, 6000, 180, -30},
                              {-33.8688, 151.2093, 250, 45, -10},
                              {36.1, -112.1, 25000, 300, -60},
                              {10, 179.99, 12000000, 0, -81},
                              {-89.5, -45, 1000, 90, 20}};
  for (const geo_pose_t& pose : poses) {
    camera_t cam{};
    cam.initialised = true;
    placeCamera(cam, pose, kRadius);
    double e[3], d[3];
    ASSERT_EQ(std::sscanf(positionLine(cam).c_str(), "pos: %lf %lf %lf, dir: %lf %lf %lf\n", &e[0], &e[1], &e[2],
                          &d[0], &d[1], &d[2]),
              6);
    const geo_pose_t back = poseOf({e[0], e[1], e[2]}, {d[0], d[1], d[2]}, kRadius);
    EXPECT_NEAR(back.lat_deg, pose.lat_deg, 1e-6) << pose.lat_deg;
    EXPECT_NEAR(back.lon_deg, pose.lon_deg, 1e-6) << pose.lat_deg;
    EXPECT_NEAR(back.altitude_m, pose.altitude_m, 1e-3) << pose.lat_deg;
    EXPECT_NEAR(back.heading_deg, pose.heading_deg, 1e-3) << pose.lat_deg;
    EXPECT_NEAR(back.pitch_deg, pose.pitch_deg, 1e-3) << pose.lat_deg;
  }

  // Heading 90 is east, pitch -90 is held where the mouse stops.
  camera_t cam{};
  placeCamera(cam, {0, 0, 1000, 90, -90}, kRadius);
  const geo_pose_t held = poseOf(cam.eye, cam.direction, kRadius);
  EXPECT_NEAR(held.heading_deg, 90, 1e-6);
  EXPECT_NEAR(std::sin(held.pitch_deg * M_PI / 180), -camera_pitch_limit, 1e-9);
  EXPECT_GT(cam.direction.y(), 0);  // east at longitude 0 is +y
}

// Nine places for keys 1 to 9, each with a unique name and a pose that the
// command line would accept, looking below the horizon, at a distinct spot.
TEST(Places, TableIsSane) {
  std::set<std::string> names;
  for (const place_t& p : places) {
    EXPECT_TRUE(names.insert(p.name).second) << p.name;
    EXPECT_EQ(findPlace(p.name), &p);
    EXPECT_EQ(std::string(p.name).find_first_not_of("abcdefghijklmnopqrstuvwxyz-"), std::string::npos) << p.name;
    EXPECT_GT(std::string(p.title).size(), 2u);
    EXPECT_LE(std::fabs(p.pose.lat_deg), 90) << p.name;
    EXPECT_LE(std::fabs(p.pose.lon_deg), 180) << p.name;
    EXPECT_GT(p.pose.altitude_m, 0) << p.name;
    EXPECT_LE(p.pose.altitude_m, position_max_altitude) << p.name;
    EXPECT_LT(p.pose.pitch_deg, 0) << p.name;
    EXPECT_GE(p.pose.heading_deg, 0) << p.name;
    EXPECT_LT(p.pose.heading_deg, 360) << p.name;
  }
  EXPECT_EQ(findPlace("nowhere"), nullptr);
  EXPECT_STREQ(places[0].name, "mont-blanc");
  EXPECT_STREQ(places[8].name, "earth");
  EXPECT_NEAR(places[8].pose.altitude_m, 12000000, 1);
}

}  // namespace
