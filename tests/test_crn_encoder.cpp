// rocktreed's CRN encoder against our decoder: the container must give back
// exactly the DXT1 blocks it was built from, and those must look like the
// source image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "crn/crn.h"
#include "crn/crn_decomp.h"
#include "planet/crn_encoder.h"
#include "planet/dxt1_encoder.h"
#include "test_crn_images.h"

namespace {

std::vector<uint8_t> decodeCrn(const std::string& crn) {
  const uint32_t size = crn_get_decompressed_size(crn.data(), static_cast<uint32_t>(crn.size()), 0);
  std::vector<uint8_t> out(size, 0xCD);
  crn_decompress(crn.data(), static_cast<uint32_t>(crn.size()), out.data(), size, 0);
  return out;
}

TEST(CrnEncoder, DecodesToExactlyItsDxt1Blocks) {
  const std::vector<image_t> images = {
      makeImage("flat 1x1", 1, 1, image_kind_flat),         makeImage("noise 3x5", 3, 5, image_kind_noise),
      makeImage("gradient 17x33", 17, 33, image_kind_gradient), makeImage("flat 256", 256, 256, image_kind_flat),
      makeImage("terrain 256", 256, 256, image_kind_terrain),  makeImage("noise 256", 256, 256, image_kind_noise),
      makeImage("gradient 250", 250, 250, image_kind_gradient), makeImage("terrain 300x130", 300, 130, image_kind_terrain),
  };
  for (const image_t& im : images) {
    const std::string crn = encodeCrnDxt1(im.rgb.data(), im.width, im.height);
    ASSERT_FALSE(crn.empty()) << im.name;
    EXPECT_TRUE(crnd::crnd_validate_file(crn.data(), static_cast<uint32_t>(crn.size()))) << im.name;
    EXPECT_EQ(decodeCrn(crn), compressDxt1(im.rgb.data(), im.width, im.height)) << im.name;
  }
  // The size the node population checks for a 250x250 texture.
  const image_t& g250 = images[6];
  const std::string crn = encodeCrnDxt1(g250.rgb.data(), 250, 250);
  EXPECT_EQ(crn_get_decompressed_size(crn.data(), static_cast<uint32_t>(crn.size()), 0), 31752u);
}

// DXT1's 5:6:5 endpoints and 4 colours per block bound the error on smooth
// images (errors in levels of 0..255 per channel); noise is only required to
// beat a flat grey on average.
TEST(CrnEncoder, DecodedColoursStayCloseToTheSource) {
  struct limit_t {
    image_t im;
    double mean;
    int worst;
  };
  const std::vector<limit_t> cases = {
      {makeImage("flat", 64, 64, image_kind_flat), 4.0, 4},
      {makeImage("gradient", 256, 256, image_kind_gradient), 3.0, 12},
      {makeImage("terrain", 256, 256, image_kind_terrain), 5.0, 40},
      {makeImage("noise", 64, 64, image_kind_noise), 50.0, 255},  // a flat grey would be ~64
  };
  for (const limit_t& c : cases) {
    const std::string crn = encodeCrnDxt1(c.im.rgb.data(), c.im.width, c.im.height);
    double mean = 0;
    int worst = 0;
    dxt1Error(decodeCrn(crn), c.im, &mean, &worst);
    EXPECT_LE(mean, c.mean) << c.im.name;
    EXPECT_LE(worst, c.worst) << c.im.name;
  }
}

TEST(CrnEncoder, RefusesWhatItCannotEncode) {
  const std::vector<uint8_t> px(3, 0);
  EXPECT_TRUE(encodeCrnDxt1(nullptr, 4, 4).empty());
  EXPECT_TRUE(encodeCrnDxt1(px.data(), 0, 1).empty());
  EXPECT_TRUE(encodeCrnDxt1(px.data(), 1, -1).empty());
  // Noise needs more distinct endpoints than one palette holds (8192).
  const image_t big = makeImage("noise", 512, 512, image_kind_noise);
  EXPECT_TRUE(encodeCrnDxt1(big.rgb.data(), big.width, big.height).empty());
}

}  // namespace
