#include "planet/dxt1_encoder.h"

#include <algorithm>
#include <cstring>

// stb_dxt: on rocktreed's node textures it is 2.4 times as fast as
// libsquish's fastest (range) fit, with a smaller error (0.61 against 0.73
// levels per channel on average), measured in bench/bench_crn.cpp.
#define STB_DXT_STATIC
#define STB_DXT_IMPLEMENTATION
#include <stb/stb_dxt.h>

std::vector<uint8_t> compressDxt1(const uint8_t* rgb, int width, int height) {
  if (rgb == nullptr || width <= 0 || height <= 0) return {};
  const int bx = (width + 3) / 4, by = (height + 3) / 4;
  std::vector<uint8_t> blocks(static_cast<size_t>(bx) * by * 8);
  uint8_t rgba[16 * 4];
  for (int y = 0; y < by; ++y)
    for (int x = 0; x < bx; ++x) {
      for (int p = 0; p < 16; ++p) {
        const int px = std::min(4 * x + p % 4, width - 1), py = std::min(4 * y + p / 4, height - 1);
        const uint8_t* src = rgb + (static_cast<size_t>(py) * width + px) * 3;
        rgba[4 * p] = src[0];
        rgba[4 * p + 1] = src[1];
        rgba[4 * p + 2] = src[2];
        rgba[4 * p + 3] = 255;
      }
      // One refinement step (STB_DXT_NORMAL): a second one changed neither
      // the error nor the time on terrain imagery.
      stb_compress_dxt_block(&blocks[(static_cast<size_t>(y) * bx + x) * 8], rgba, 0, STB_DXT_NORMAL);
    }
  return blocks;
}
