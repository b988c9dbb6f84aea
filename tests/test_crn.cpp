// Our CRN decoder: the worked examples of docs/crn-format.md, the API's
// argument checks, and corrupt input (truncated, bit-flipped, random).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "crn/crn.h"
#include "crn/crn_decomp.h"
#include "crn_test_vectors.h"

namespace {

using namespace crn_test_vectors;

uint32_t size32(const std::vector<uint8_t>& v) { return static_cast<uint32_t>(v.size()); }

// Decodes level 0 through the two C functions, the way the node population
// does; the buffer carries guard bytes after dst_size that must survive.
std::vector<uint8_t> decodeWithGuard(const std::vector<uint8_t>& crn, bool* guard_intact) {
  const uint32_t dst_size = crn_get_decompressed_size(crn.data(), size32(crn), 0);
  std::vector<uint8_t> dst(dst_size + 64, 0xCD);
  crn_decompress(crn.data(), size32(crn), dst.data(), dst_size, 0);
  *guard_intact = true;
  for (size_t i = dst_size; i < dst.size(); ++i) *guard_intact &= dst[i] == 0xCD;
  dst.resize(dst_size);
  return dst;
}

std::vector<uint8_t> decode(const std::vector<uint8_t>& crn) {
  bool guard = false;
  auto out = decodeWithGuard(crn, &guard);
  EXPECT_TRUE(guard);
  return out;
}

TEST(CrnDecoder, WorkedExamplesDecodeToTheToolsBlocks) {
  EXPECT_EQ(decode(fromHex(file_1x1)), fromHex("374499" "2baaaaaaaa"));
  EXPECT_EQ(decode(fromHex(file_3x5)), fromHex("cdb61551" "01a0f6fb" "7778db1f" "f8f8f8f8"));
  EXPECT_EQ(decode(fromHex(file_17x33)), fromHex(blocks_17x33));
}

TEST(CrnDecoder, TextureAndLevelInfoReadTheHeader) {
  const auto crn = fromHex(file_17x33);
  crnd::crnd_texture_info_t info;
  ASSERT_TRUE(crnd::crnd_get_texture_info(crn.data(), size32(crn), &info));
  EXPECT_EQ(info.width, 17u);
  EXPECT_EQ(info.height, 33u);
  EXPECT_EQ(info.levels, 1u);
  EXPECT_EQ(info.faces, 1u);
  EXPECT_EQ(info.bytes_per_block, 8u);
  EXPECT_EQ(info.format, crnd::crn_format_dxt1);
  crnd::crnd_level_info_t level;
  ASSERT_TRUE(crnd::crnd_get_level_info(crn.data(), size32(crn), 0, &level));
  EXPECT_EQ(level.blocks_x, 5u);
  EXPECT_EQ(level.blocks_y, 9u);
  EXPECT_FALSE(crnd::crnd_get_level_info(crn.data(), size32(crn), 1, &level));
  EXPECT_EQ(crn_get_decompressed_size(crn.data(), size32(crn), 0), 5u * 9 * 8);

  crnd::crnd_texture_info_t wrong_size;
  wrong_size.struct_size = 4;
  EXPECT_FALSE(crnd::crnd_get_texture_info(crn.data(), size32(crn), &wrong_size));
  EXPECT_FALSE(crnd::crnd_get_texture_info(nullptr, size32(crn), &info));

  for (const char* hex : {file_1x1, file_3x5, file_17x33}) {
    auto file = fromHex(hex);
    EXPECT_TRUE(crnd::crnd_validate_file(file.data(), size32(file)));
    file.back() ^= 1;
    EXPECT_FALSE(crnd::crnd_validate_file(file.data(), size32(file)));
  }
}

TEST(CrnDecoder, UnpackLevelChecksItsArguments) {
  const auto crn = fromHex(file_17x33);
  const auto expected = fromHex(blocks_17x33);
  crnd::crnd_unpack_context_t* ctx = crnd::crnd_unpack_begin(crn.data(), size32(crn));
  ASSERT_NE(ctx, nullptr);
  const uint32_t tight = 5 * 8, rows = 9;
  std::vector<uint8_t> dst(64 * rows, 0xCD);
  void* faces[1] = {dst.data()};
  EXPECT_FALSE(crnd::crnd_unpack_level(ctx, faces, size32(dst), tight, 1));        // no level 1
  EXPECT_FALSE(crnd::crnd_unpack_level(ctx, faces, size32(dst), tight - 8, 0));    // pitch too small
  EXPECT_FALSE(crnd::crnd_unpack_level(ctx, faces, size32(dst), tight + 2, 0));    // pitch not 4-aligned
  EXPECT_FALSE(crnd::crnd_unpack_level(ctx, faces, tight * rows - 1, tight, 0));   // buffer too small
  EXPECT_FALSE(crnd::crnd_unpack_level(ctx, nullptr, size32(dst), tight, 0));
  void* no_face[1] = {nullptr};
  EXPECT_FALSE(crnd::crnd_unpack_level(ctx, no_face, size32(dst), tight, 0));
  EXPECT_TRUE(std::all_of(dst.begin(), dst.end(), [](uint8_t b) { return b == 0xCD; }));

  // A wider pitch puts each block row at its own offset and leaves the
  // padding after it untouched.
  ASSERT_TRUE(crnd::crnd_unpack_level(ctx, faces, size32(dst), 64, 0));
  for (uint32_t y = 0; y < rows; ++y) {
    EXPECT_TRUE(std::equal(expected.begin() + y * tight, expected.begin() + (y + 1) * tight, dst.begin() + y * 64));
    EXPECT_TRUE(std::all_of(dst.begin() + y * 64 + tight, dst.begin() + (y + 1) * 64,
                            [](uint8_t b) { return b == 0xCD; }));
  }
  EXPECT_TRUE(crnd::crnd_unpack_end(ctx));
  EXPECT_FALSE(crnd::crnd_unpack_end(nullptr));
}

// Header fields that no valid file has make the header unreadable, so the
// size check of the node population rejects the texture.
TEST(CrnDecoder, InconsistentHeadersAreRefused) {
  const auto good = fromHex(file_17x33);
  struct edit_t {
    const char* what;
    size_t at;
    std::vector<uint8_t> bytes;
  };
  const std::vector<edit_t> edits = {
      {"signature", 0, {0x48, 0x79}},
      {"header size below 70 + 4 * levels", 2, {0x00, 0x49}},
      {"data size beyond the buffer", 6, {0x00, 0x00, 0x01, 0xa1}},
      {"data size inside the header", 6, {0x00, 0x00, 0x00, 0x10}},
      {"zero width", 12, {0x00, 0x00}},
      {"width above 4096", 12, {0x10, 0x01}},
      {"zero levels", 16, {0x00}},
      {"more levels than the offset table holds", 16, {0x02}},
      {"two faces", 17, {0x02}},
      {"format 11", 18, {0x0b}},
      {"endpoint palette past the data", 33, {0x00, 0x01, 0xa0}},
      {"endpoint palette size past the data", 36, {0x00, 0x01, 0x60}},
      {"tables past the data", 67, {0x00, 0x01, 0xa0}},
      {"tables size past the data", 65, {0x01, 0x00}},
      {"empty tables", 65, {0x00, 0x00}},
      {"level offset at the data end", 70, {0x00, 0x00, 0x01, 0xa0}},
      {"level offset inside the header", 70, {0x00, 0x00, 0x00, 0x20}},
  };
  crnd::crnd_texture_info_t info;
  for (const edit_t& e : edits) {
    auto crn = good;
    std::copy(e.bytes.begin(), e.bytes.end(), crn.begin() + e.at);
    EXPECT_FALSE(crnd::crnd_get_texture_info(crn.data(), size32(crn), &info)) << e.what;
    EXPECT_EQ(crnd::crnd_unpack_begin(crn.data(), size32(crn)), nullptr) << e.what;
    EXPECT_EQ(crn_get_decompressed_size(crn.data(), size32(crn), 0), 0u) << e.what;
  }

  // Readable headers the unpacker still refuses: another block format, a
  // segmented file, an empty palette.
  const std::vector<edit_t> undecodable = {
      {"DXT5", 18, {0x02}},
      {"segmented", 20, {0x01}},
      {"no endpoints", 39, {0x00, 0x00}},
      {"no selectors", 47, {0x00, 0x00}},
  };
  for (const edit_t& e : undecodable) {
    auto crn = good;
    std::copy(e.bytes.begin(), e.bytes.end(), crn.begin() + e.at);
    EXPECT_TRUE(crnd::crnd_get_texture_info(crn.data(), size32(crn), &info)) << e.what;
    EXPECT_EQ(crnd::crnd_unpack_begin(crn.data(), size32(crn)), nullptr) << e.what;
  }
}

TEST(CrnDecoder, TruncatedFilesAreRefused) {
  for (const char* hex : {file_1x1, file_3x5, file_17x33}) {
    const auto crn = fromHex(hex);
    for (size_t n = 0; n < crn.size(); ++n) {
      const std::vector<uint8_t> cut(crn.begin(), crn.begin() + n);
      EXPECT_EQ(crn_get_decompressed_size(cut.data(), size32(cut), 0), 0u) << n;
      EXPECT_EQ(crnd::crnd_unpack_begin(cut.data(), size32(cut)), nullptr) << n;
    }
  }
}

// Every single-bit corruption either is refused or decodes inside the
// buffer; the guard after the buffer must survive. (The fuzz target checks
// the same under AddressSanitizer.)
TEST(CrnDecoder, FlippedBitsStayInsideTheBuffer) {
  for (const char* hex : {file_1x1, file_3x5, file_17x33}) {
    const auto crn = fromHex(hex);
    const auto expected = decode(crn);
    size_t changed_output = 0;
    for (size_t bit = 0; bit < crn.size() * 8; ++bit) {
      auto bad = crn;
      bad[bit / 8] ^= static_cast<uint8_t>(0x80 >> (bit % 8));
      bool guard = false;
      const auto out = decodeWithGuard(bad, &guard);
      ASSERT_TRUE(guard) << "bit " << bit;
      changed_output += out != expected;
    }
    // Sanity of the test itself: corruption is visible in the output.
    EXPECT_GT(changed_output, crn.size());
  }
}

TEST(CrnDecoder, RandomDataBehindAValidHeaderIsHarmless) {
  std::mt19937 rng(7);
  const auto good = fromHex(file_17x33);
  for (int round = 0; round < 2000; ++round) {
    auto crn = good;
    // Keep the header (so the decoder gets past it) and randomise the rest.
    for (size_t i = 74; i < crn.size(); ++i) crn[i] = static_cast<uint8_t>(rng());
    bool guard = false;
    decodeWithGuard(crn, &guard);
    ASSERT_TRUE(guard) << round;
  }
  for (int round = 0; round < 2000; ++round) {
    std::vector<uint8_t> crn(rng() % 600);
    for (auto& b : crn) b = static_cast<uint8_t>(rng());
    if (crn.size() > 2) crn[0] = 0x48, crn[1] = 0x78;
    bool guard = false;
    decodeWithGuard(crn, &guard);
    ASSERT_TRUE(guard) << round;
  }
}

}  // namespace
