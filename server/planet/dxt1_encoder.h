// DXT1 block compression of RGB images (the first step of CRN encoding).
#pragma once

#include <cstdint>
#include <vector>

// Compresses a width x height RGB image (3 bytes per pixel, rows top first)
// to DXT1: ceil(width/4) x ceil(height/4) blocks of 8 bytes, row after row.
// Pixels of partial edge blocks repeat the image's last column and row.
std::vector<uint8_t> compressDxt1(const uint8_t* rgb, int width, int height);
