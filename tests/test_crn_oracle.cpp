// Our CRN decoder and encoder against the crunch tool (crnlib 1.04 from the
// npm package texture-compressor@1.0.2), fetched by scripts/fetch-crunch.
// Direction 1: crunch encodes a corpus of images to CRN; our decoder's DXT1
// blocks must equal, byte for byte, the DDS that crunch decodes them to.
// Direction 2: crunch decodes CRN files from our encoder without error, to
// exactly our decoder's blocks.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "crn/crn_decomp.h"
#include "planet/crn_encoder.h"
#include "test_crn_images.h"

namespace {

const std::string crunch_tool = CRN_CRUNCH_TOOL;

std::vector<uint8_t> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::string& path, const void* data, size_t size) {
  std::ofstream out(path, std::ios::binary);
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

// 24-bit uncompressed TGA, rows stored top first.
void writeTga(const std::string& path, const image_t& im) {
  std::vector<uint8_t> tga(18, 0);
  tga[2] = 2;
  tga[12] = im.width & 255, tga[13] = im.width >> 8;
  tga[14] = im.height & 255, tga[15] = im.height >> 8;
  tga[16] = 24;
  tga[17] = 0x20;  // top-left origin
  for (size_t i = 0; i < im.rgb.size(); i += 3) {
    tga.push_back(im.rgb[i + 2]);
    tga.push_back(im.rgb[i + 1]);
    tga.push_back(im.rgb[i]);
  }
  writeFile(path, tga.data(), tga.size());
}

bool haveCrunch() { return access(crunch_tool.c_str(), X_OK) == 0; }

#define REQUIRE_CRUNCH()                                                                       \
  if (!haveCrunch())                                                                           \
  GTEST_SKIP() << "crunch oracle not available at " << crunch_tool                             \
               << " (scripts/fetch-crunch could not run npm pack texture-compressor@1.0.2)"

// A scratch directory per test, under the test's working directory; kept
// only when the test fails, for a look at the files.
struct scratch_cleanup_t {
  std::string dir;
  ~scratch_cleanup_t() {
    if (!dir.empty() && !testing::Test::HasFailure()) std::filesystem::remove_all(dir);
  }
};

std::string scratchDir() {
  const auto* info = testing::UnitTest::GetInstance()->current_test_info();
  std::string dir = std::string("crn_oracle_") + info->test_suite_name() + "_" + info->name();
  for (char& c : dir)
    if (c == '/') c = '_';
  mkdir(dir.c_str(), 0755);
  return dir;
}

int runCrunch(const std::string& args) {
  const std::string cmd = "'" + crunch_tool + "' " + args + " -quiet >/dev/null 2>&1";
  return std::system(cmd.c_str());
}

struct oracle_case_t {
  std::string name;
  int width, height;
  int kind;  // image_kind_t, or -1 for a crop of the Blue Marble at (x0, y0)
  int x0, y0;
  std::string options;  // crunch encoder options besides the format
};

// Test names in CTest show the case name rather than the record's bytes.
void PrintTo(const oracle_case_t& c, std::ostream* os) { *os << c.name; }

image_t caseImage(const oracle_case_t& c) {
  if (c.kind < 0) return photoCrop(CRN_EARTH_JPG, c.name, c.width, c.height, c.x0, c.y0);
  return makeImage(c.name, c.width, c.height, static_cast<image_kind_t>(c.kind));
}

// Decodes every level of a one-face CRN with a tight pitch, concatenated in
// the order of a DDS file; empty when the decoder refuses the file.
std::vector<uint8_t> decodeAllLevels(const std::vector<uint8_t>& crn) {
  const auto size = static_cast<uint32_t>(crn.size());
  crnd::crnd_texture_info_t info;
  if (!crnd::crnd_get_texture_info(crn.data(), size, &info) || info.faces != 1) return {};
  crnd::crnd_unpack_context_t* ctx = crnd::crnd_unpack_begin(crn.data(), size);
  if (ctx == nullptr) return {};
  std::vector<uint8_t> out;
  for (uint32_t level = 0; level < info.levels; ++level) {
    crnd::crnd_level_info_t li;
    crnd::crnd_get_level_info(crn.data(), size, level, &li);
    std::vector<uint8_t> blocks(li.blocks_x * li.blocks_y * 8u);
    void* faces[1] = {blocks.data()};
    if (!crnd::crnd_unpack_level(ctx, faces, static_cast<uint32_t>(blocks.size()), 0, level)) {
      out.clear();
      break;
    }
    out.insert(out.end(), blocks.begin(), blocks.end());
  }
  crnd::crnd_unpack_end(ctx);
  return out;
}

// crunch's DDS of a CRN file: checks the header fields we rely on and
// returns the block data after the 128-byte header.
std::vector<uint8_t> crunchDecode(const std::string& crn_path, const std::string& dds_path, int width,
                                  int height) {
  EXPECT_EQ(runCrunch("-file '" + crn_path + "' -fileformat dds -out '" + dds_path + "'"), 0);
  const auto dds = readFile(dds_path);
  if (dds.size() < 128) {
    ADD_FAILURE() << "no DDS from crunch for " << crn_path;
    return {};
  }
  EXPECT_EQ(std::string(dds.begin(), dds.begin() + 4), "DDS ");
  EXPECT_EQ(std::string(dds.begin() + 84, dds.begin() + 88), "DXT1");
  EXPECT_EQ(dds[12] | dds[13] << 8, height);
  EXPECT_EQ(dds[16] | dds[17] << 8, width);
  return {dds.begin() + 128, dds.end()};
}

class CrnOracleDecode : public testing::TestWithParam<oracle_case_t> {};

TEST_P(CrnOracleDecode, OurBlocksEqualCrunchsDds) {
  REQUIRE_CRUNCH();
  const oracle_case_t& c = GetParam();
  const image_t im = caseImage(c);
  ASSERT_EQ(im.width, c.width) << "could not read " << CRN_EARTH_JPG;
  const std::string dir = scratchDir();
  const scratch_cleanup_t cleanup{dir};
  writeTga(dir + "/in.tga", im);
  ASSERT_EQ(runCrunch("-file " + dir + "/in.tga -fileformat crn -DXT1 " + c.options + " -out " + dir + "/in.crn"), 0);
  const auto crn = readFile(dir + "/in.crn");
  ASSERT_FALSE(crn.empty());
  const auto expected = crunchDecode(dir + "/in.crn", dir + "/out.dds", c.width, c.height);
  const auto ours = decodeAllLevels(crn);
  ASSERT_FALSE(ours.empty()) << "our decoder refused crunch's file";
  ASSERT_EQ(ours.size(), expected.size());
  size_t first_difference = 0;
  while (first_difference < ours.size() && ours[first_difference] == expected[first_difference]) ++first_difference;
  EXPECT_EQ(first_difference, ours.size()) << "first differing byte (block " << first_difference / 8 << ")";
}

// Sizes and contents that exercise partial chunks, serpentine rows, small
// and large palettes and mip chains; single-level unless options say more.
const std::vector<oracle_case_t> decode_cases = {
    {"flat_1x1", 1, 1, image_kind_flat, 0, 0, "-mipMode None"},
    {"noise_1x1", 1, 1, image_kind_noise, 0, 0, "-mipMode None"},
    {"noise_3x5", 3, 5, image_kind_noise, 0, 0, "-mipMode None"},
    {"noise_3x5_mips", 3, 5, image_kind_noise, 0, 0, ""},
    {"gradient_4x4", 4, 4, image_kind_gradient, 0, 0, "-mipMode None"},
    {"noise_4x4", 4, 4, image_kind_noise, 0, 0, "-mipMode None"},
    {"photo_4x4", 4, 4, -1, 1000, 300, "-mipMode None"},
    {"noise_17x33", 17, 33, image_kind_noise, 0, 0, "-mipMode None"},
    {"gradient_17x33", 17, 33, image_kind_gradient, 0, 0, "-mipMode None"},
    {"photo_17x33_mips", 17, 33, -1, 400, 200, ""},
    {"flat_250x250", 250, 250, image_kind_flat, 0, 0, "-mipMode None"},
    {"gradient_250x250", 250, 250, image_kind_gradient, 0, 0, "-mipMode None"},
    {"gradient_250x250_mips", 250, 250, image_kind_gradient, 0, 0, ""},
    {"photo_250x250", 250, 250, -1, 1100, 350, "-mipMode None"},
    {"terrain_250x250", 250, 250, image_kind_terrain, 0, 0, "-mipMode None"},
    {"flat_256x256", 256, 256, image_kind_flat, 0, 0, "-mipMode None"},
    {"gradient_256x256", 256, 256, image_kind_gradient, 0, 0, "-mipMode None"},
    {"noise_256x256", 256, 256, image_kind_noise, 0, 0, "-mipMode None"},
    {"noise_256x256_q255", 256, 256, image_kind_noise, 0, 0, "-mipMode None -quality 255"},
    {"photo_256x256_europe", 256, 256, -1, 960, 180, "-mipMode None"},
    {"photo_256x256_africa", 256, 256, -1, 1000, 400, "-mipMode None"},
    {"photo_256x256_pacific", 256, 256, -1, 100, 400, "-mipMode None"},
    {"photo_256x256_q0", 256, 256, -1, 1500, 250, "-mipMode None -quality 0"},
    {"photo_256x256_mips", 256, 256, -1, 300, 150, ""},
    {"terrain_256x256", 256, 256, image_kind_terrain, 0, 0, "-mipMode None"},
    {"photo_512x256", 512, 256, -1, 700, 200, "-mipMode None"},
    {"photo_512x256_mips", 512, 256, -1, 1200, 500, ""},
    {"noise_512x256_c32_s32", 512, 256, image_kind_noise, 0, 0, "-mipMode None -c 32 -s 32"},
    {"noise_512x256_c8192_s8192", 512, 256, image_kind_noise, 0, 0, "-mipMode None -c 8192 -s 8192"},
    {"gradient_512x256", 512, 256, image_kind_gradient, 0, 0, "-mipMode None"},
    {"photo_1024x1024", 1024, 1024, -1, 512, 0, "-mipMode None"},
};

INSTANTIATE_TEST_SUITE_P(Corpus, CrnOracleDecode, testing::ValuesIn(decode_cases),
                         [](const auto& info) { return info.param.name; });

class CrnOracleEncode : public testing::TestWithParam<oracle_case_t> {};

TEST_P(CrnOracleEncode, CrunchDecodesOurFilesToOurBlocks) {
  REQUIRE_CRUNCH();
  const oracle_case_t& c = GetParam();
  const image_t im = caseImage(c);
  ASSERT_EQ(im.width, c.width) << "could not read " << CRN_EARTH_JPG;
  const std::string crn = encodeCrnDxt1(im.rgb.data(), im.width, im.height);
  ASSERT_FALSE(crn.empty());
  const std::string dir = scratchDir();
  const scratch_cleanup_t cleanup{dir};
  writeFile(dir + "/ours.crn", crn.data(), crn.size());
  const auto expected = crunchDecode(dir + "/ours.crn", dir + "/ours.dds", c.width, c.height);
  const auto ours = decodeAllLevels({crn.begin(), crn.end()});
  ASSERT_FALSE(ours.empty());
  EXPECT_EQ(ours, expected);

  // What the viewer will show: photos and smooth images stay close.
  double mean = 0;
  int worst = 0;
  dxt1Error(expected, im, &mean, &worst);
  EXPECT_LE(mean, c.kind == image_kind_noise ? 50.0 : 6.0);
}

const std::vector<oracle_case_t> encode_cases = {
    {"flat_1x1", 1, 1, image_kind_flat, 0, 0, ""},
    {"noise_3x5", 3, 5, image_kind_noise, 0, 0, ""},
    {"photo_17x33", 17, 33, -1, 400, 200, ""},
    {"gradient_250x250", 250, 250, image_kind_gradient, 0, 0, ""},
    {"photo_256x256_europe", 256, 256, -1, 960, 180, ""},
    {"photo_256x256_pacific", 256, 256, -1, 100, 400, ""},
    {"noise_256x256", 256, 256, image_kind_noise, 0, 0, ""},
    {"terrain_256x256", 256, 256, image_kind_terrain, 0, 0, ""},
    {"photo_512x256", 512, 256, -1, 700, 200, ""},
};

INSTANTIATE_TEST_SUITE_P(Corpus, CrnOracleEncode, testing::ValuesIn(encode_cases),
                         [](const auto& info) { return info.param.name; });

}  // namespace
