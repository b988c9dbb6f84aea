// The two C functions the node population uses, on top of our CRN decoder.
#include "crn/crn.h"

#include "crn/crn_decomp.h"

extern "C" uint32_t crn_get_decompressed_size(const void* src, uint32_t src_size, uint32_t level_index) {
  crnd::crnd_texture_info_t info;
  if (level_index >= 32 || !crnd::crnd_get_texture_info(src, src_size, &info)) return 0;
  const uint32_t blocks_x = ((info.width >> level_index) + 3) / 4;
  const uint32_t blocks_y = ((info.height >> level_index) + 3) / 4;
  return blocks_x * blocks_y * info.bytes_per_block;
}

extern "C" void crn_decompress(const void* src, uint32_t src_size, void* dst, uint32_t dst_size,
                               uint32_t level_index) {
  crnd::crnd_texture_info_t info;
  // One destination buffer: cube maps (six faces) are not textures of ours.
  if (level_index >= 32 || !crnd::crnd_get_texture_info(src, src_size, &info) || info.faces != 1) return;
  const uint32_t row_pitch = ((info.width >> level_index) + 3) / 4 * info.bytes_per_block;
  crnd::crnd_unpack_context_t* context = crnd::crnd_unpack_begin(src, src_size);
  if (context == nullptr) return;
  if (dst_size >= 8 && level_index <= 15) {
    void* faces[1] = {dst};
    crnd::crnd_unpack_level(context, faces, dst_size, row_pitch, level_index);
  }
  crnd::crnd_unpack_end(context);
}
