// Our CRN ("crunch") decoder: CRN files with DXT1 blocks to raw DXT1 blocks.
// The entry points keep the names and argument shapes of the crunch decoder
// library, so code written against that library reads the same. The data is
// untrusted: every call checks what it reads against the size it was given.
#pragma once

#include <cstdint>

namespace crnd {

// Block formats a CRN header can name; only crn_format_dxt1 is decoded.
enum crn_format_t : int32_t {
  crn_format_invalid = -1,
  crn_format_dxt1 = 0,
  crn_format_dxt3,
  crn_format_dxt5,
  crn_format_dxt5_ccxy,
  crn_format_dxt5_xgxr,
  crn_format_dxt5_xgbr,
  crn_format_dxt5_agbr,
  crn_format_dxn_xy,
  crn_format_dxn_yx,
  crn_format_dxt5a,
  crn_format_etc1,
  crn_format_total
};

// The caller sets struct_size to sizeof the record; other sizes are refused
// so that a caller built against another layout fails loudly.
struct crnd_texture_info_t {
  uint32_t struct_size = sizeof(crnd_texture_info_t);
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t levels = 0;
  uint32_t faces = 0;
  uint32_t bytes_per_block = 0;
  uint32_t userdata0 = 0;
  uint32_t userdata1 = 0;
  crn_format_t format = crn_format_invalid;
};

struct crnd_level_info_t {
  uint32_t struct_size = sizeof(crnd_level_info_t);
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t faces = 0;
  uint32_t blocks_x = 0;
  uint32_t blocks_y = 0;
  uint32_t bytes_per_block = 0;
  crn_format_t format = crn_format_invalid;
};

struct crnd_unpack_context_t;

// Header checks only; fails on anything that is not a consistent CRN header.
bool crnd_get_texture_info(const void* data, uint32_t data_size, crnd_texture_info_t* info);
bool crnd_get_level_info(const void* data, uint32_t data_size, uint32_t level_index,
                         crnd_level_info_t* info);

// Header, CRCs and segment bounds; not needed before unpacking.
bool crnd_validate_file(const void* data, uint32_t data_size);

// Decodes the tables and palettes; null when the file is not a decodable DXT1
// CRN. The data must stay alive and unchanged until crnd_unpack_end.
crnd_unpack_context_t* crnd_unpack_begin(const void* data, uint32_t data_size);

// Decodes one level into dst[face] for each face (row_pitch 0 = tight). A
// corrupt level stream makes it return false, possibly after writing some
// blocks; it never writes outside the dst_size bytes of each buffer.
bool crnd_unpack_level(crnd_unpack_context_t* context, void** dst, uint32_t dst_size,
                       uint32_t row_pitch, uint32_t level_index);

// Frees a context made by crnd_unpack_begin; false for null or a foreign pointer.
bool crnd_unpack_end(crnd_unpack_context_t* context);

// CRC-16 of the CRN header and data checks (poly 0x1021, init and final xor 0xFFFF).
uint16_t crnd_crc16(const void* data, uint32_t size);

}  // namespace crnd
