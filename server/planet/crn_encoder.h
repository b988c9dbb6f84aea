// CRN (DXT1) encoding of rocktreed's textures.
#pragma once

#include <cstdint>
#include <string>

// Encodes a width x height RGB image (3 bytes per pixel, rows top first) as a
// one-level CRN file with DXT1 blocks. Returns an empty string for sizes
// outside 1..4096 and when the image has more than 8192 distinct endpoint
// pairs or selector patterns (our palettes are exact, not quantised: that
// needs more than 8192 blocks, beyond a 256x256 texture's 4096).
std::string encodeCrnDxt1(const uint8_t* rgb, int width, int height);

// The packing step alone: ceil(width/4) x ceil(height/4) DXT1 blocks (8 bytes
// each, row after row, as compressDxt1 gives them) to a CRN file, with the
// same limits.
std::string packCrnDxt1(const uint8_t* blocks, int width, int height);
