#include "view/texture_upload.h"

texture_upload_t planTextureUpload(const mesh_t& mesh) {
  texture_upload_t up{};
  up.unpack_alignment = texture_unpack_alignment;
  if (mesh.texture_width <= 0 || mesh.texture_height <= 0) return up;
  const size_t width = static_cast<size_t>(mesh.texture_width);
  const size_t height = static_cast<size_t>(mesh.texture_height);
  switch (mesh.texture_format) {
    case rocktree_t::texture_format_rgb: {
      const size_t row = width * 3;
      const size_t align = static_cast<size_t>(up.unpack_alignment);
      up.row_bytes = (row + align - 1) / align * align;
      up.bytes_read = up.row_bytes * (height - 1) + row;
      break;
    }
    case rocktree_t::texture_format_dxt1:
      up.compressed = true;
      up.row_bytes = (width + 3) / 4 * 8;
      up.bytes_read = up.row_bytes * ((height + 3) / 4);
      break;
    default:
      return up;
  }
  up.width = mesh.texture_width;
  up.height = mesh.texture_height;
  // Sizes come from the service: never let GL read past the pixels.
  up.data = mesh.texture.size() >= up.bytes_read ? mesh.texture.data() : nullptr;
  return up;
}
