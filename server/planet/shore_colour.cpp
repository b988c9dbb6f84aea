#include "planet/shore_colour.h"

#include <algorithm>
#include <array>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "planet/land_water_mask.h"
#include "planet/line_features.h"

namespace {

// The image's own word on a pixel: its seas are much bluer than red (land,
// green or brown, and ice are not); a coast's blend of both counts as sea.
bool looksLikeSea(const uint8_t* p) { return p[2] > p[0] * 1.2f + 8; }

// Colours of the pixels `keep` marks, spread by `passes` rings over the
// others (each unmarked pixel next to marked ones takes their mean); what is
// still unreached keeps its own colour. Each pass visits only the ring it
// fills.
std::vector<uint8_t> spread(const std::vector<uint8_t>& image, int w, int h, const std::vector<uint8_t>& marks,
                            int passes) {
  std::vector<uint8_t> out = image;
  enum : uint8_t { unmarked = 0, marked = 1, queued = 2 };
  std::vector<uint8_t> state = marks;
  auto neighbours = [w, h](size_t i, size_t n[4]) {
    const int x = static_cast<int>(i % w), y = static_cast<int>(i / w);
    n[0] = static_cast<size_t>(y) * w + (x ? x - 1 : w - 1);
    n[1] = static_cast<size_t>(y) * w + (x + 1 < w ? x + 1 : 0);
    n[2] = static_cast<size_t>(std::max(y - 1, 0)) * w + x;
    n[3] = static_cast<size_t>(std::min(y + 1, h - 1)) * w + x;
  };
  std::vector<size_t> ring;
  for (int y = 0; y < h; ++y) {
    const size_t row = static_cast<size_t>(y) * w;
    const size_t up = static_cast<size_t>(std::max(y - 1, 0)) * w, down = static_cast<size_t>(std::min(y + 1, h - 1)) * w;
    for (int x = 0; x < w; ++x) {
      if (state[row + x]) continue;
      const int west = x ? x - 1 : w - 1, east = x + 1 < w ? x + 1 : 0;
      if (state[row + west] == marked || state[row + east] == marked || state[up + x] == marked ||
          state[down + x] == marked) {
        ring.push_back(row + x);
        state[row + x] = queued;
      }
    }
  }
  std::vector<std::array<uint8_t, 3>> colours;
  std::vector<size_t> next;
  for (int pass = 0; pass < passes && !ring.empty(); ++pass) {
    // Every pixel of the ring from the pixels marked before the pass.
    colours.resize(ring.size());
    for (size_t r = 0; r < ring.size(); ++r) {
      size_t n[4];
      neighbours(ring[r], n);
      int sum[3] = {0, 0, 0}, count = 0;
      for (size_t j : n) {
        if (state[j] != marked) continue;
        for (int c = 0; c < 3; ++c) sum[c] += out[j * 3 + c];
        ++count;
      }
      for (int c = 0; c < 3; ++c) colours[r][c] = static_cast<uint8_t>((sum[c] + count / 2) / std::max(count, 1));
    }
    for (size_t r = 0; r < ring.size(); ++r) {
      state[ring[r]] = marked;
      for (int c = 0; c < 3; ++c) out[ring[r] * 3 + c] = colours[r][c];
    }
    next.clear();
    for (size_t i : ring) {
      size_t n[4];
      neighbours(i, n);
      for (size_t j : n)
        if (state[j] == unmarked) {
          state[j] = queued;
          next.push_back(j);
        }
    }
    ring.swap(next);
  }
  return out;
}

// Where a bilinear sample of an image on grid g reads along one axis: the
// two pixels and the weight of the second. A texture's rows share their
// latitudes' and its columns their longitudes'.
struct sample_axis_t {
  int i0, i1;
  float t;
};
sample_axis_t lonAxis(const global_grid_t& g, double lon) {
  const double x = (lon - g.lon0) * g.per_deg_x;
  const double fx = std::floor(x);
  const int i0 = (static_cast<int>(fx) % g.width + g.width) % g.width;
  return {i0, (i0 + 1) % g.width, static_cast<float>(x - fx)};
}
sample_axis_t latAxis(const global_grid_t& g, double lat) {
  const double y = std::clamp((g.lat0 - lat) * g.per_deg_y, 0.0, g.height - 1.0);
  const double fy = std::floor(y);
  const int i0 = static_cast<int>(fy);
  return {i0, std::min(i0 + 1, g.height - 1), static_cast<float>(y - fy)};
}

// The bilinear sample of an image (RGB, g.width pixels a row) there.
Eigen::Vector3f sampleAt(const std::vector<uint8_t>& image, int width, const sample_axis_t& x, const sample_axis_t& y) {
  auto px = [&](int ix, int iy) {
    const uint8_t* p = &image[(static_cast<size_t>(iy) * width + ix) * 3];
    return Eigen::Vector3f(p[0], p[1], p[2]);
  };
  return (px(x.i0, y.i0) * (1 - x.t) + px(x.i1, y.i0) * x.t) * (1 - y.t) +
         (px(x.i0, y.i1) * (1 - x.t) + px(x.i1, y.i1) * x.t) * y.t;
}

// The land and sea colours (those asked for) at a texel or grid point.
void sampleImages(const terrain_t& t, bool land, bool sea, const sample_axis_t& x, const sample_axis_t& y,
                  Eigen::Vector3f* land_out, Eigen::Vector3f* sea_out) {
  if (land) *land_out = sampleAt(t.land_image, t.image_grid.width, x, y);
  if (sea) *sea_out = sampleAt(t.sea_image, t.image_grid.width, x, y);
}

// Lighter and greener over shallow water, as the sea floor shows through.
Eigen::Vector3f seaTint(double height) {
  const double depth = std::max(0.0, -height);
  // exp(-0) is 1 exactly: land and the shore's sea skip the call.
  const float f = depth > 0 ? static_cast<float>(std::exp(-depth / shallow_sea_depth_metres)) : 1.0f;
  return Eigen::Vector3f(1 + (shallow_sea_tint[0] - 1) * f, 1 + (shallow_sea_tint[1] - 1) * f,
                         1 + (shallow_sea_tint[2] - 1) * f);
}

constexpr int w3 = texture_size * 3;

// o[i] = a[i] + (b[i] - a[i]) * f + 0.5, clamped to 0..255 and truncated to
// a byte, for count values (a multiple of 16): a row of colour between two
// upsampled rows. Sixteen at a time where SSE2 is there (the same
// operations in the same order, so the same bytes), instead of the
// compiler's four with two packs each.
void rowToBytes(const float* a, const float* b, float f, uint8_t* o, int count) {
  int i = 0;
#if defined(__SSE2__)
  const __m128 vf = _mm_set1_ps(f), half = _mm_set1_ps(0.5f), lo = _mm_setzero_ps(), hi = _mm_set1_ps(255.0f);
  auto four = [&](int at) {
    const __m128 va = _mm_loadu_ps(a + at), vb = _mm_loadu_ps(b + at);
    const __m128 v = _mm_add_ps(_mm_add_ps(va, _mm_mul_ps(_mm_sub_ps(vb, va), vf)), half);
    return _mm_cvttps_epi32(_mm_max_ps(_mm_min_ps(v, hi), lo));
  };
  for (; i + 16 <= count; i += 16) {
    const __m128i w0 = _mm_packs_epi32(four(i), four(i + 4)), w1 = _mm_packs_epi32(four(i + 8), four(i + 12));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o + i), _mm_packus_epi16(w0, w1));
  }
#endif
  for (; i < count; ++i) {
    const float v = a[i] + (b[i] - a[i]) * f + 0.5f;
    o[i] = static_cast<uint8_t>(v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v);
  }
}

// Bilinear upsampling of a grid (row 0 south, (n + 1)^2) to the texture's
// texels (first row north), texel centres at fractions k / 255 of the box,
// in two passes. The first: each grid row at the texture's width.
void upsampleRows(const std::vector<Eigen::Vector3f>& grid, int n, std::vector<float>* rows_out) {
  std::vector<float>& rows = *rows_out;
  rows.resize(static_cast<size_t>(n + 1) * w3);
  // Each texel column's grid column and weight, once for all rows.
  thread_local std::vector<int> col;
  thread_local std::vector<float> weight;
  col.resize(texture_size);
  weight.resize(texture_size);
  for (int c = 0; c < texture_size; ++c) {
    const double x = static_cast<double>(c) * n / (texture_size - 1);
    col[c] = std::min(static_cast<int>(x), n - 1);
    weight[c] = static_cast<float>(x - col[c]);
  }
  for (int j = 0; j <= n; ++j)
    for (int c = 0; c < texture_size; ++c) {
      const int i = col[c];
      const float f = weight[c];
      const Eigen::Vector3f v = grid[j * (n + 1) + i] * (1 - f) + grid[j * (n + 1) + i + 1] * f;
      for (int k = 0; k < 3; ++k) rows[static_cast<size_t>(j) * w3 + c * 3 + k] = v[k];
    }
}

// Texture row r between the rows of upsampleRows: the grid row below it
// and the weight of the one above.
void textureRowOf(int r, int n, int* j, float* f) {
  const double y = static_cast<double>(texture_size - 1 - r) * n / (texture_size - 1);
  *j = std::min(static_cast<int>(y), n - 1);
  *f = static_cast<float>(y - *j);
}

// Both passes.
void upsample(const std::vector<Eigen::Vector3f>& grid, int n, std::vector<float>* out) {
  out->resize(static_cast<size_t>(texture_size) * w3);
  thread_local std::vector<float> rows;
  upsampleRows(grid, n, &rows);
  for (int r = 0; r < texture_size; ++r) {
    int j;
    float f;
    textureRowOf(r, n, &j, &f);
    const float* a = &rows[static_cast<size_t>(j) * w3];
    const float* b = a + w3;
    float* o = &(*out)[static_cast<size_t>(r) * w3];
    for (int k = 0; k < w3; ++k) o[k] = a[k] + (b[k] - a[k]) * f;
  }
}

}  // namespace

void prepareShoreColours(terrain_t* t) {
  t->shore_colours_ready = std::async(std::launch::async, [t] {
    const int w = t->image_grid.width, h = t->image_grid.height;
    std::vector<uint8_t> sea(static_cast<size_t>(w) * h), land(sea.size());
    for (size_t i = 0; i < sea.size(); ++i) {
      sea[i] = looksLikeSea(&t->image[i * 3]);
      land[i] = !sea[i];
    }
    t->land_image = spread(t->image, w, h, land, colour_spread_pixels);
    t->sea_image = spread(t->image, w, h, sea, colour_spread_pixels);
  }).share();
}

namespace {

std::vector<uint8_t> shoreColours(const terrain_t& t, const geo_box_t& box,
                                  const std::vector<float>& shades, const std::vector<double>& heights, int n,
                                  const shore_mask_t& mask) {
  const bool need_land = !mask.uniform || mask.level == shore_land || mask.level == shore_island_in_lake;
  const bool need_sea = !mask.uniform || mask.level == shore_sea;
  const int side = n + 3;
  // Big nodes span more image pixels than the grid has samples: there the
  // colours are sampled per texel, the shade and the tint interpolated.
  const bool per_texel = (box.e - box.w) > (n + 1) * 360.0 / t.image_grid.width;
  std::vector<Eigen::Vector3f> land_grid, sea_grid;
  if (need_land) land_grid.resize(static_cast<size_t>(n + 1) * (n + 1));
  if (need_sea) sea_grid.resize(static_cast<size_t>(n + 1) * (n + 1));
  for (int r = 0; r <= n; ++r) {
    const double lat = gridCoord(box.s, box.n, r, n);
    for (int c = 0; c <= n; ++c) {
      const double lon = gridCoord(box.w, box.e, c, n);
      const size_t k = static_cast<size_t>(r) * (n + 1) + c;
      Eigen::Vector3f land_colour = Eigen::Vector3f::Ones(), sea_colour = Eigen::Vector3f::Ones();
      if (!per_texel)
        sampleImages(t, need_land, need_sea, lonAxis(t.image_grid, lon), latAxis(t.image_grid, lat), &land_colour,
                     &sea_colour);
      if (need_land) land_grid[k] = land_colour * shades[k];
      if (need_sea) {
        const Eigen::Vector3f tint = seaTint(heights[static_cast<size_t>(r + 1) * side + c + 1]);
        sea_grid[k] = per_texel ? tint : Eigen::Vector3f(sea_colour.cwiseProduct(tint));
      }
    }
  }
  std::vector<uint8_t> rgb(static_cast<size_t>(texture_size) * texture_size * 3);
  auto toByte = [](float v) { return static_cast<uint8_t>(v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v); };
  if (mask.uniform && (need_land || need_sea) && !per_texel) {
    // All land or all sea: that colour a row at a time, each row made into
    // bytes while it is in the cache (the same sums as upsample and the
    // conversion below).
    thread_local std::vector<float> one_rows;
    upsampleRows(need_land ? land_grid : sea_grid, n, &one_rows);
    for (int r = 0; r < texture_size; ++r) {
      int j;
      float f;
      textureRowOf(r, n, &j, &f);
      const float* a = &one_rows[static_cast<size_t>(j) * w3];
      const float* b = a + w3;
      uint8_t* o = &rgb[static_cast<size_t>(r) * w3];
      rowToBytes(a, b, f, o, w3);
    }
    return rgb;
  }
  if (!mask.uniform && !per_texel) {
    // The coast's common case: both colours a row at a time, mixed while
    // the row is in the cache (the same sums as upsample and the mix below).
    thread_local std::vector<float> land_rows, sea_rows;
    upsampleRows(land_grid, n, &land_rows);
    upsampleRows(sea_grid, n, &sea_rows);
    // A row in blocks of texels: a block wholly land or wholly sea needs
    // that colour alone (the mix's sum is then exactly it, + 0.5); the
    // others mix all three, over the block's channel values at once (no
    // shuffling of three channels per texel).
    constexpr int block = 16, b3 = block * 3;
    static_assert(texture_size % block == 0);
    float l3[b3], k3[b3], lake3[b3];
    for (int k = 0; k < b3; ++k) lake3[k] = lake_colour[k % 3];
    for (int r = 0; r < texture_size; ++r) {
      int j;
      float f;
      textureRowOf(r, n, &j, &f);
      const float* fl = &mask.land[static_cast<size_t>(r) * texture_size];
      const float* fk = &mask.lake[static_cast<size_t>(r) * texture_size];
      for (int t0 = 0; t0 < texture_size; t0 += block) {
        bool all_land = true, all_sea = true;
        for (int p = t0; p < t0 + block; ++p) {
          all_land &= (fl[p] == 1.0f) & (fk[p] == 0.0f);
          all_sea &= (fl[p] == 0.0f) & (fk[p] == 0.0f);
        }
        const size_t at = static_cast<size_t>(j) * w3 + t0 * 3;
        uint8_t* o = &rgb[static_cast<size_t>(r) * w3 + t0 * 3];
        if (all_land || all_sea) {
          const float* a = &(all_land ? land_rows : sea_rows)[at];
          const float* b = a + w3;
          rowToBytes(a, b, f, o, b3);
          continue;
        }
        const float* la = &land_rows[at];
        const float* lb = la + w3;
        const float* sa = &sea_rows[at];
        const float* sb = sa + w3;
        for (int p = 0; p < block; ++p)
          for (int c = 0; c < 3; ++c) l3[p * 3 + c] = fl[t0 + p], k3[p * 3 + c] = fk[t0 + p];
        for (int i = 0; i < b3; ++i) {
          const float lv = la[i] + (lb[i] - la[i]) * f, sv = sa[i] + (sb[i] - sa[i]) * f;
          const float l = l3[i], k = k3[i], w = 1.0f - l - k;
          o[i] = toByte(k * lake3[i] + l * lv + w * sv + 0.5f);
        }
      }
    }
    return rgb;
  }
  // Reused between a thread's nodes: fresh buffers cost page faults.
  thread_local std::vector<float> land, sea;
  if (need_land) upsample(land_grid, n, &land);
  if (need_sea) upsample(sea_grid, n, &sea);
  if (per_texel) {
    std::array<sample_axis_t, texture_size> columns;
    for (int c = 0; c < texture_size; ++c)
      columns[c] = lonAxis(t.image_grid, box.w + (box.e - box.w) * c / (texture_size - 1));
    for (int r = 0; r < texture_size; ++r) {
      const sample_axis_t row = latAxis(t.image_grid, box.n - (box.n - box.s) * r / (texture_size - 1));
      for (int c = 0; c < texture_size; ++c) {
        const size_t p = static_cast<size_t>(r) * texture_size + c, i = p * 3;
        // A colour whose weight in the mix below is 0 adds 0 whatever it
        // is: where the texel is wholly land or wholly water only the one.
        const bool want_land = need_land && (mask.uniform || mask.land[p] != 0.0f);
        const bool want_sea = need_sea && (mask.uniform || 1.0f - mask.land[p] - mask.lake[p] != 0.0f);
        Eigen::Vector3f lv, sv;
        sampleImages(t, want_land, want_sea, columns[c], row, &lv, &sv);
        if (want_land)
          for (int k = 0; k < 3; ++k) land[i + k] *= lv[k];
        if (want_sea)
          for (int k = 0; k < 3; ++k) sea[i + k] *= sv[k];
      }
    }
  }
  if (mask.uniform && (need_land || need_sea)) {
    const std::vector<float>& v = need_land ? land : sea;
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(std::clamp(v[i] + 0.5f, 0.0f, 255.0f));
    return rgb;
  }
  // A uniform lake; otherwise all three mixed by the coverage, branch-free
  // so that the compiler vectorizes it.
  if (mask.uniform) {
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = static_cast<uint8_t>(lake_colour[i % 3] + 0.5f);
    return rgb;
  }
  const float* fl = mask.land.data();
  const float* fk = mask.lake.data();
  const float* lv = land.data();
  const float* sv = sea.data();
  for (size_t p = 0; p < rgb.size() / 3; ++p) {
    const float l = fl[p], k = fk[p], w = 1.0f - l - k;
    for (int c = 0; c < 3; ++c) {
      const float v = k * lake_colour[c] + l * lv[p * 3 + c] + w * sv[p * 3 + c] + 0.5f;
      rgb[p * 3 + c] = static_cast<uint8_t>(v < 0.0f ? 0.0f : v > 255.0f ? 255.0f : v);
    }
  }
  return rgb;
}

}  // namespace

std::vector<uint8_t> shoreTexture(const terrain_t& t, const geo_box_t& box, int level,
                                  const std::vector<float>& shades, const std::vector<double>& heights, int n) {
  thread_local shore_mask_t mask;
  shoreMask(*t.shoreline, box, level, &mask);
  if (t.shore_colours_ready.valid()) t.shore_colours_ready.wait();
  std::vector<uint8_t> rgb = shoreColours(t, box, shades, heights, n, mask);
  if (t.lines) t.lines->draw(box, level, mask, &rgb);
  return rgb;
}
