// Texture data in the JPEG slot of a node: JPEG, PNG or BMP, anything else
// refused. Inputs are folded into a good 16 x 16 PNG, BMP or JPEG (see
// message_input.h), so that short runs get past the signatures and into the
// image decoders; the first byte also picks the announced size.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "message_input.h"
#include "test_messages.h"
#include "tree/packed_decoders.h"
#include "tree/texture_decoding.h"

namespace {

// An uncompressed 24-bit bottom-up BMP of the given size, mid grey.
std::string makeBmp(int width, int height) {
  const uint32_t row = (static_cast<uint32_t>(width) * 3 + 3) & ~3u;
  const uint32_t pixels = row * static_cast<uint32_t>(height);
  std::string b = "BM";
  auto put32 = [&b](uint32_t v) {
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<char>(v >> (8 * k)));
  };
  auto put16 = [&b](uint16_t v) {
    b.push_back(static_cast<char>(v));
    b.push_back(static_cast<char>(v >> 8));
  };
  put32(54 + pixels), put32(0), put32(54);
  put32(40), put32(static_cast<uint32_t>(width)), put32(static_cast<uint32_t>(height));
  put16(1), put16(24), put32(0), put32(pixels), put32(2835), put32(2835), put32(0), put32(0);
  b.append(pixels, '\x80');
  return b;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string goods[] = {test_messages::makePng(16, 16, 3), makeBmp(16, 16),
                                      test_messages::makeJpeg(16, 16, 3, 90)};
  if (size == 0) return 0;
  const std::string& good = goods[data[0] % 3];
  geo_globetrotter_proto_rocktree::Texture texture;
  texture.set_format(geo_globetrotter_proto_rocktree::Texture_Format_JPG);
  texture.set_width(data[0] & 0x40 ? 16 : 8 + data[0] % 16);
  texture.set_height(16);
  std::vector<uint8_t> rgb;
  try {
    decodeJpgTexture(messageBytes(data, size, good), texture, rgb);
    if (rgb.size() != 16 * 3 * texture.width()) __builtin_trap();  // accepted only at the announced size
  } catch (const decode_error&) {
  }
  return 0;
}
