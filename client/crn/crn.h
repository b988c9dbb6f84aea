// CRN-compressed DXT1 textures to raw DXT1 blocks (level 0 is the largest mip).
#pragma once

#include <cstdint>

extern "C" {
// Byte size of the given level decoded to raw blocks; 0 when the header
// cannot be read.
uint32_t crn_get_decompressed_size(const void* src, uint32_t src_size, uint32_t level_index);
// Fills dst with the raw blocks of the level. Data that cannot be unpacked
// leaves dst untouched, or partly written when a level stream is corrupt
// (never beyond dst_size).
void crn_decompress(const void* src, uint32_t src_size, void* dst, uint32_t dst_size,
                    uint32_t level_index);
}
