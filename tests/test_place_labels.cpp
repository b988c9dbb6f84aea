// Which labels a view gets: declutter (no two boxes overlap, the larger
// place wins, the cap), thinning with altitude, nothing behind the limb or
// under the horizon, and the visible boxes the index is asked for.
#include <gtest/gtest.h>

#include "view/camera.h"
#include "view/geo_pose.h"
#include "view/place_labels.h"

namespace {

constexpr float radius = 6371010;

label_view_t viewFrom(const geo_pose_t& pose, int width = 1280, int height = 720) {
  camera_t cam{};
  placeCamera(cam, pose, radius);
  camera_frame_t frame;
  updateCamera(cam, camera_input_t{}, 0, radius, width, height, &frame);
  return {cam.eye, frame.viewprojection, width, height, radius};
}

label_candidate_t candidate(int64_t id, double lat, double lon, int64_t population) {
  return {{id, "place", "", lat, lon, 0, population}, 80, 18};
}

std::vector<size_t> chosen(const std::vector<label_candidate_t>& c, const label_view_t& v, size_t max = 40) {
  std::vector<screen_label_t> labels;
  chooseLabels(c, v, max, &labels);
  std::vector<size_t> out;
  for (const screen_label_t& s : labels) out.push_back(s.candidate);
  return out;
}

TEST(PlaceLabels, NoTwoOverlapTheLargerWinsAndTheCapHolds) {
  // Over Zermatt from 60 km, looking nearly straight down.
  const label_view_t v = viewFrom({45.9, 7.75, 60000, 0, -80});
  const std::vector<label_candidate_t> c = {
      candidate(1, 46.02, 7.75, 9000),    // the larger of two at nearly one place
      candidate(2, 46.021, 7.752, 8000),  // hidden by the first
      candidate(3, 46.1, 7.5, 7000),      // far enough apart
      candidate(4, 46.0, 8.0, 1000),      // too small for its distance (needs about 1,300)
      candidate(5, 45.9, 7.9, 1400),      // large enough for it
  };
  EXPECT_EQ(chosen(c, v), (std::vector<size_t>{0, 2, 4}));
  EXPECT_EQ(chosen(c, v, 1), (std::vector<size_t>{0}));
  std::vector<screen_label_t> labels;
  chooseLabels(c, v, 40, &labels);
  for (size_t a = 0; a < labels.size(); ++a) {
    EXPECT_TRUE(labels[a].left >= 0 && labels[a].right <= 1280 && labels[a].top >= 0 && labels[a].bottom <= 720);
    for (size_t b = a + 1; b < labels.size(); ++b)
      EXPECT_TRUE(labels[a].right <= labels[b].left || labels[b].right <= labels[a].left ||
                  labels[a].bottom <= labels[b].top || labels[b].bottom <= labels[a].top);
  }
  EXPECT_EQ(labelMinPopulation(300000), 6000);  // the README's figure
}

TEST(PlaceLabels, NothingBehindTheLimbOrUnderTheHorizon) {
  // The whole Earth from 12,000 km over (0, 0): a place at 100 degrees east
  // projects inside the disc but is on the far side.
  const label_view_t far = viewFrom({0, 0, 12000000, 0, -81.9});
  EXPECT_EQ(chosen({candidate(1, 0, 100, 10000000), candidate(2, 10, 30, 10000000)}, far), (std::vector<size_t>{1}));
  EXPECT_FALSE(aboveHorizon(far.eye, placePoint(0, 100, 0, radius)));
  // 1 km up, looking north along the ground: the horizon is about 113 km
  // away; a place 500 km north is under it, one 20 km north is not.
  const label_view_t low = viewFrom({45, 7, 1000, 0, -2});
  EXPECT_EQ(chosen({candidate(1, 49.5, 7, 10000000), candidate(2, 45.18, 7, 1000)}, low), (std::vector<size_t>{1}));
}

TEST(PlaceLabels, VisibleBoxesFollowTheViewAcrossTheAntimeridianAndPoles) {
  const std::vector<place_box_t> alps = visibleBoxes(viewFrom({46, 7.75, 100000, 0, -80}), 0);
  ASSERT_EQ(alps.size(), 1u);
  EXPECT_TRUE(alps[0].south < 46 && alps[0].north > 46.2 && alps[0].west < 7.75 && alps[0].east > 7.75);
  EXPECT_LT(alps[0].north - alps[0].south, 3);
  const std::vector<place_box_t> pacific = visibleBoxes(viewFrom({0, 180, 300000, 0, -80}), 0);
  ASSERT_EQ(pacific.size(), 2u);
  EXPECT_EQ(pacific[0].east, 180);
  EXPECT_EQ(pacific[1].west, -180);
  const std::vector<place_box_t> pole = visibleBoxes(viewFrom({85, 0, 2000000, 0, -60}), 0);
  ASSERT_EQ(pole.size(), 1u);
  EXPECT_EQ(pole[0].north, 90);
  EXPECT_EQ(pole[0].west, -180);
  EXPECT_EQ(pole[0].east, 180);
}

}  // namespace
