#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#define STBI_ONLY_PNG
#include <stb/stb_image.h>

#include "view/screenshot_file.h"
#include "view/status_lines.h"

// Hemispheres, the altitude's unit and a heading that rounds to 360 all
// read as a person expects.
TEST(StatusLines, WhereWhatAndHow) {
  status_t s{{45.83264, 6.86517, 6000, 179.6, -30}, 812, 3, 45, true, 59.7, false, false, 0, 0, 0};
  std::vector<std::string> lines = statusLines(s);
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "45.8326\u00b0 N  6.8652\u00b0 E  altitude 6.00 km  heading 180\u00b0");
  EXPECT_EQ(lines[1], "nodes drawn 812  downloads 3 in flight, 45 queued");
  EXPECT_EQ(lines[2], "settled  60 fps");

  s = {{-33.86881, -151.2, 250, 359.7, 0}, 0, 0, 0, false, 0, false, false, 0, 0, 0};
  lines = statusLines(s);
  EXPECT_EQ(lines[0], "33.8688\u00b0 S  151.2000\u00b0 W  altitude 250 m  heading 0\u00b0");
  EXPECT_EQ(lines[2], "loading  0 fps");
  s.pose.altitude_m = 12000000;
  EXPECT_NE(statusLines(s)[0].find("altitude 12000 km"), std::string::npos);

  // The surface under the cursor: a fourth line, the sphere's without a height.
  s.pointed = true;
  s.pointed_on_mesh = true;
  s.pointed_lat_deg = 45.8326;
  s.pointed_lon_deg = -6.8652;
  s.pointed_height_m = 4808;
  lines = statusLines(s);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], "cursor 45.8326\u00b0 N  6.8652\u00b0 W  height 4.81 km");
  s.pointed_on_mesh = false;
  EXPECT_EQ(statusLines(s)[3], "cursor 45.8326\u00b0 N  6.8652\u00b0 W  on the sphere");
}

TEST(StatusLines, FrameRateOverHalfSecondWindows) {
  frame_rate_meter_t m{};
  for (int k = 0; k < 29; ++k) noteFrame(&m, 1000.0 / 60);
  EXPECT_EQ(m.fps, 0);  // no whole window yet
  noteFrame(&m, 1000.0 / 60);
  EXPECT_NEAR(m.fps, 60, 0.01);
  for (int k = 0; k < 5; ++k) noteFrame(&m, 100);
  EXPECT_NEAR(m.fps, 10, 0.01);
}

namespace {

struct temp_dir_t {
  std::string path;
  temp_dir_t() {
    char tmpl[] = "/tmp/ostravel-shot-XXXXXX";
    path = mkdtemp(tmpl);
  }
  ~temp_dir_t() {
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

}  // namespace

// GL gives the bottom row first; the file has the top row first and the
// same pixels.
TEST(Screenshot, PngHoldsThePictureTopRowFirst) {
  temp_dir_t dir;
  const int w = 5, h = 3;
  std::vector<uint8_t> bottom_up(w * h * 3);
  for (size_t k = 0; k < bottom_up.size(); ++k) bottom_up[k] = static_cast<uint8_t>(k * 7);
  const std::string path = dir.path + "/shot.png";
  std::string why;
  ASSERT_TRUE(writeScreenshotPng(path, w, h, bottom_up, &why)) << why;
  int rw = 0, rh = 0, n = 0;
  stbi_uc* back = stbi_load(path.c_str(), &rw, &rh, &n, 3);
  ASSERT_NE(back, nullptr);
  ASSERT_EQ(rw, w);
  ASSERT_EQ(rh, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w * 3; ++x)
      EXPECT_EQ(back[y * w * 3 + x], bottom_up[(h - 1 - y) * w * 3 + x]) << y << "," << x;
  stbi_image_free(back);

  EXPECT_FALSE(writeScreenshotPng(dir.path + "/no/such/dir/x.png", w, h, bottom_up, &why));
  EXPECT_FALSE(why.empty());
  EXPECT_FALSE(writeScreenshotPng(path, w, h + 1, bottom_up, &why));  // fewer pixels than the size says
}

TEST(Screenshot, NameFromLocalTimeNeverTakesAnExistingFile) {
  setenv("TZ", "UTC", 1);
  tzset();
  const std::time_t when = 1767225599;  // 2025-12-31 23:59:59 UTC
  std::set<std::string> taken;
  auto exists = [&](const std::string& name) { return taken.count(name) > 0; };
  EXPECT_EQ(screenshotFileName(when, exists), "ostravel-20251231-235959.png");
  taken = {"ostravel-20251231-235959.png", "ostravel-20251231-235959-2.png"};
  EXPECT_EQ(screenshotFileName(when, exists), "ostravel-20251231-235959-3.png");
}
