// Test images and DXT1 error measure shared by the CRN test suites.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <turbojpeg.h>

enum image_kind_t { image_kind_flat, image_kind_gradient, image_kind_noise, image_kind_terrain };

struct image_t {
  std::string name;
  int width, height;
  std::vector<uint8_t> rgb;
};

inline image_t makeImage(const std::string& name, int w, int h, image_kind_t kind) {
  image_t im{name, w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  std::mt19937 rng(w * 131 + h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &im.rgb[(static_cast<size_t>(y) * w + x) * 3];
      switch (kind) {
        case image_kind_flat: p[0] = 40, p[1] = 120, p[2] = 200; break;                         // flat
        case image_kind_gradient: p[0] = x * 255 / std::max(1, w - 1), p[1] = y * 255 / std::max(1, h - 1), p[2] = 90; break;  // gradient
        case image_kind_noise: p[0] = rng(), p[1] = rng(), p[2] = rng(); break;                   // noise
        default: {  // smooth terrain-like colours with mild noise
          const double v = 0.5 + 0.25 * std::sin(x * 0.07) + 0.25 * std::cos(y * 0.05 + x * 0.02);
          const int n = static_cast<int>(rng() % 13) - 6;
          p[0] = static_cast<uint8_t>(std::clamp(static_cast<int>(60 + 120 * v) + n, 0, 255));
          p[1] = static_cast<uint8_t>(std::clamp(static_cast<int>(90 + 100 * v) + n, 0, 255));
          p[2] = static_cast<uint8_t>(std::clamp(static_cast<int>(40 + 60 * v) + n, 0, 255));
        }
      }
    }
  return im;
}

// Mean and largest absolute channel error of DXT1 blocks against the image.
inline void dxt1Error(const std::vector<uint8_t>& blocks, const image_t& im, double* mean, int* worst) {
  const int bx = (im.width + 3) / 4;
  double sum = 0;
  *worst = 0;
  for (int y = 0; y < im.height; ++y)
    for (int x = 0; x < im.width; ++x) {
      const uint8_t* b = &blocks[(static_cast<size_t>(y / 4) * bx + x / 4) * 8];
      const int c0 = b[0] | b[1] << 8, c1 = b[2] | b[3] << 8;
      int pal[4][3];
      for (int k = 0; k < 2; ++k) {
        const int c = k ? c1 : c0;
        pal[k][0] = (c >> 11) * 255 / 31, pal[k][1] = ((c >> 5) & 63) * 255 / 63, pal[k][2] = (c & 31) * 255 / 31;
      }
      for (int ch = 0; ch < 3; ++ch) {
        if (c0 > c1) {
          pal[2][ch] = (2 * pal[0][ch] + pal[1][ch]) / 3;
          pal[3][ch] = (pal[0][ch] + 2 * pal[1][ch]) / 3;
        } else {
          pal[2][ch] = (pal[0][ch] + pal[1][ch]) / 2;
          pal[3][ch] = 0;
        }
      }
      const int sel = (b[4 + y % 4] >> (2 * (x % 4))) & 3;
      for (int ch = 0; ch < 3; ++ch) {
        const int e = std::abs(pal[sel][ch] - im.rgb[(static_cast<size_t>(y) * im.width + x) * 3 + ch]);
        sum += e;
        *worst = std::max(*worst, e);
      }
    }
  *mean = sum / (3.0 * im.width * im.height);
}

// A JPEG photo (the Blue Marble image in practice), decoded once.
inline const image_t& photo(const char* jpeg_path) {
  static const image_t image = [jpeg_path] {
    image_t im{"photo", 0, 0, {}};
    std::ifstream in(jpeg_path, std::ios::binary);
    const std::vector<uint8_t> jpeg{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    tjhandle tj = tjInitDecompress();
    int w = 0, h = 0, sub = 0, cs = 0;
    if (!jpeg.empty() &&
        tjDecompressHeader3(tj, jpeg.data(), static_cast<unsigned long>(jpeg.size()), &w, &h, &sub, &cs) == 0) {
      im.rgb.resize(static_cast<size_t>(w) * h * 3);
      if (tjDecompress2(tj, jpeg.data(), static_cast<unsigned long>(jpeg.size()), im.rgb.data(), w, 0, h,
                        TJPF_RGB, 0) == 0)
        im.width = w, im.height = h;
    }
    tjDestroy(tj);
    return im;
  }();
  return image;
}

// A crop of the photo at (x0, y0), wrapping around its edges; empty (width
// 0) when the photo could not be read.
inline image_t photoCrop(const char* jpeg_path, const std::string& name, int w, int h, int x0, int y0) {
  const image_t& e = photo(jpeg_path);
  if (e.width == 0) return {name, 0, 0, {}};
  image_t im{name, w, h, std::vector<uint8_t>(static_cast<size_t>(w) * h * 3)};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < 3; ++c)
        im.rgb[(static_cast<size_t>(y) * w + x) * 3 + c] =
            e.rgb[(static_cast<size_t>((y0 + y) % e.height) * e.width + (x0 + x) % e.width) * 3 + c];
  return im;
}
