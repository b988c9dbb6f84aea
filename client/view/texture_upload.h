// What the renderer hands GL for a mesh's texture, decided without GL so
// that the rules hold in tests: RGB rows are tightly packed (the decoders
// write width * 3 bytes per row), so GL must read them with an unpack
// alignment of 1; with GL's default of 4 a width that is not a multiple of 4
// would shear the image and read past its end.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tree/tree.h"

struct texture_upload_t {
  bool compressed;        // DXT1 blocks (glCompressedTexImage2D), else RGB bytes
  int width, height;
  int unpack_alignment;   // GL_UNPACK_ALIGNMENT the renderer sets once at start
  size_t row_bytes;       // bytes of one row as GL steps through them (RGB)
  size_t bytes_read;      // what GL reads from data
  const uint8_t* data;    // null (an empty texture) when the bytes do not cover bytes_read
};

// The renderer's one unpack alignment, set in its GL set-up.
constexpr int texture_unpack_alignment = 1;

// The upload of mesh's texture; a format the renderer cannot upload gives
// width and height 0 and no data.
texture_upload_t planTextureUpload(const mesh_t& mesh);
