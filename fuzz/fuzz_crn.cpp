// CRN decoding of hostile bytes. Output buffers are exactly as large as the
// header says, so AddressSanitizer sees any write past them. Inputs that do
// not start with the CRN signature are read as edits (truncation and byte
// changes) of one of the format's worked examples, so that short runs reach
// the palettes and the level data instead of stopping at the header.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "crn/crn.h"
#include "crn/crn_decomp.h"
#include "crn_test_vectors.h"

namespace {

std::vector<uint8_t> seedEdit(const uint8_t* data, size_t size) {
  using namespace crn_test_vectors;
  static const std::vector<uint8_t> seeds[] = {fromHex(file_1x1), fromHex(file_3x5), fromHex(file_17x33)};
  std::vector<uint8_t> crn = seeds[data[0] % 3];
  size_t i = 1;
  if (i + 2 <= size && (data[0] & 0x80)) {
    const size_t keep = (data[i] << 8 | data[i + 1]) % (crn.size() + 1);
    crn.resize(keep);
    i += 2;
  }
  for (; i + 3 <= size && !crn.empty(); i += 3) crn[(data[i] << 8 | data[i + 1]) % crn.size()] ^= data[i + 2];
  return crn;
}

void decodeEverything(const std::vector<uint8_t>& crn) {
  const auto size = static_cast<uint32_t>(crn.size());
  const uint32_t dst_size = crn_get_decompressed_size(crn.data(), size, 0);
  std::vector<uint8_t> dst(dst_size);
  crn_decompress(crn.data(), size, dst.data(), dst_size, 0);

  crnd::crnd_texture_info_t info;
  if (!crnd::crnd_get_texture_info(crn.data(), size, &info)) return;
  crnd::crnd_unpack_context_t* ctx = crnd::crnd_unpack_begin(crn.data(), size);
  if (ctx == nullptr) return;
  for (uint32_t level = 0; level < info.levels; ++level) {
    crnd::crnd_level_info_t li;
    if (!crnd::crnd_get_level_info(crn.data(), size, level, &li)) break;
    const uint32_t face_size = li.blocks_x * li.blocks_y * 8;
    std::vector<std::vector<uint8_t>> faces(info.faces, std::vector<uint8_t>(face_size));
    void* ptrs[6] = {};
    for (uint32_t f = 0; f < info.faces; ++f) ptrs[f] = faces[f].data();
    crnd::crnd_unpack_level(ctx, ptrs, face_size, 0, level);
  }
  crnd::crnd_unpack_end(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (size >= 2 && data[0] == 0x48 && data[1] == 0x78)
    decodeEverything(std::vector<uint8_t>(data, data + size));
  else
    decodeEverything(seedEdit(data, size));
  return 0;
}
