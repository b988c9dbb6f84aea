// CRN (DXT1) encoding of rocktreed's textures.
#pragma once

#include <cstdint>
#include <string>

// Encodes a width x height RGB image (3 bytes per pixel, rows top first) as a
// one-level CRN file with DXT1 blocks. Returns an empty string when CRN
// encoding is not available.
std::string encodeCrnDxt1(const uint8_t* rgb, int width, int height);
