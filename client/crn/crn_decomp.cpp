// CRN to DXT1 decoding. Layout of a file: a big-endian header with absolute
// offsets of the palette segments (endpoint pairs and selector patterns), a
// tables segment (the Huffman models of the level data) and one segment per
// mip level. Each segment is its own MSB-first bit stream.
#include "crn/crn_decomp.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace crnd {
namespace {

constexpr uint32_t fixed_header_size = 70;
constexpr uint32_t max_levels = 16;
constexpr uint32_t max_side = 4096;
constexpr uint32_t max_palette_entries = 8192;
constexpr uint32_t max_model_symbols = 8192;
constexpr uint32_t max_code_length = 16;
constexpr uint32_t dxt1_block_bytes = 8;
constexpr uint32_t context_magic = 0x43524e44;  // stamped into live contexts

uint32_t readBe(const uint8_t* p, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v = (v << 8) | p[i];
  return v;
}

struct palette_desc_t {
  uint32_t ofs = 0;
  uint32_t size = 0;
  uint32_t num = 0;
};

struct header_t {
  uint32_t header_size = 0;
  uint32_t data_size = 0;
  uint32_t width = 0;
  uint32_t height = 0;
  uint32_t levels = 0;
  uint32_t faces = 0;
  uint32_t format = 0;
  uint32_t flags = 0;
  uint32_t userdata0 = 0;
  uint32_t userdata1 = 0;
  palette_desc_t color_endpoints;
  palette_desc_t color_selectors;
  palette_desc_t alpha_endpoints;
  palette_desc_t alpha_selectors;
  uint32_t tables_size = 0;
  uint32_t tables_ofs = 0;
  uint32_t level_ofs[max_levels] = {};
};

palette_desc_t readPaletteDesc(const uint8_t* p) {
  return {readBe(p, 3), readBe(p + 3, 3), readBe(p + 6, 2)};
}

uint32_t maxLevelsFor(uint32_t width, uint32_t height) {
  uint32_t side = std::max(width, height), n = 1;
  while (side > 1) side >>= 1, ++n;
  return n;
}

// A segment must lie after the header and inside the data.
bool segmentInside(const header_t& h, uint32_t ofs, uint32_t size) {
  return ofs >= h.header_size && ofs <= h.data_size && size <= h.data_size - ofs;
}

bool paletteInside(const header_t& h, const palette_desc_t& p) {
  return p.num == 0 || (p.size > 0 && segmentInside(h, p.ofs, p.size));
}

// Everything a decoder must know before trusting an offset: the header fits,
// the geometry is legal, every segment lies inside data_size, and the level
// segments are non-empty and in increasing order.
bool parseHeader(const void* data, uint32_t data_size, header_t& h) {
  if (data == nullptr || data_size < fixed_header_size + 4) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  if (readBe(p, 2) != 0x4878) return false;
  h.header_size = readBe(p + 2, 2);
  h.data_size = readBe(p + 6, 4);
  h.width = readBe(p + 12, 2);
  h.height = readBe(p + 14, 2);
  h.levels = p[16];
  h.faces = p[17];
  h.format = p[18];
  h.flags = readBe(p + 19, 2);
  h.userdata0 = readBe(p + 25, 4);
  h.userdata1 = readBe(p + 29, 4);
  h.color_endpoints = readPaletteDesc(p + 33);
  h.color_selectors = readPaletteDesc(p + 41);
  h.alpha_endpoints = readPaletteDesc(p + 49);
  h.alpha_selectors = readPaletteDesc(p + 57);
  h.tables_size = readBe(p + 65, 2);
  h.tables_ofs = readBe(p + 67, 3);

  if (h.levels < 1 || h.levels > max_levels) return false;
  if (h.header_size < fixed_header_size + 4 * h.levels) return false;
  if (h.data_size < h.header_size || h.data_size > data_size) return false;
  if (h.width < 1 || h.width > max_side || h.height < 1 || h.height > max_side) return false;
  if (h.levels > maxLevelsFor(h.width, h.height)) return false;
  if (h.faces != 1 && h.faces != 6) return false;
  if (h.format >= crn_format_total) return false;

  if (!paletteInside(h, h.color_endpoints) || !paletteInside(h, h.color_selectors) ||
      !paletteInside(h, h.alpha_endpoints) || !paletteInside(h, h.alpha_selectors))
    return false;
  if (h.tables_size == 0 || !segmentInside(h, h.tables_ofs, h.tables_size)) return false;

  for (uint32_t i = 0; i < h.levels; ++i) {
    h.level_ofs[i] = readBe(p + fixed_header_size + 4 * i, 4);
    if (h.level_ofs[i] < h.header_size || h.level_ofs[i] >= h.data_size) return false;
    if (i > 0 && h.level_ofs[i] <= h.level_ofs[i - 1]) return false;
  }
  return true;
}

uint32_t bytesPerBlock(uint32_t format) {
  return (format == crn_format_dxt1 || format == crn_format_dxt5a) ? 8 : 16;
}

// MSB-first reader over one segment. Past the segment end it feeds zero
// bytes (as the format prescribes) and counts them, so that a stream that
// reads beyond its segment can be detected without touching the next one.
struct bit_reader_t {
  const uint8_t* next = nullptr;
  const uint8_t* end = nullptr;
  uint64_t buf = 0;  // valid bits are the top `count` bits
  int count = 0;
  uint32_t zero_fill = 0;
};

bit_reader_t openSegment(const uint8_t* begin, uint32_t size) { return {begin, begin + size, 0, 0, 0}; }

void refill(bit_reader_t& br) {
  if (br.end - br.next >= 8) {
    uint64_t w = 0;
    for (int i = 0; i < 8; ++i) w = (w << 8) | br.next[i];
    const int take = (64 - br.count) >> 3;
    br.buf |= (take == 8 ? w : (w >> (64 - 8 * take))) << (64 - br.count - 8 * take);
    br.next += take;
    br.count += 8 * take;
    return;
  }
  while (br.count <= 56) {
    uint64_t byte = 0;
    if (br.next < br.end)
      byte = *br.next++;
    else
      ++br.zero_fill;
    br.buf |= byte << (56 - br.count);
    br.count += 8;
  }
}

inline uint32_t peekBits(const bit_reader_t& br, int n) { return static_cast<uint32_t>(br.buf >> (64 - n)); }

inline void consumeBits(bit_reader_t& br, int n) {
  br.buf <<= n;
  br.count -= n;
}

uint32_t readBits(bit_reader_t& br, int n) {
  if (br.count < n) refill(br);
  const uint32_t v = peekBits(br, n);
  consumeBits(br, n);
  return v;
}

// True once a bit beyond the segment has actually been consumed (zero bytes
// still buffered but unread do not count).
bool overrun(const bit_reader_t& br) { return br.zero_fill * 8 > static_cast<uint32_t>(br.count); }

constexpr int lookup_bits = 11;

// A canonical Huffman code (lengths up to 16) with a lookup table for codes
// of up to lookup_bits bits and the canonical per-length walk for the rest.
struct huffman_model_t {
  uint32_t num_syms = 0;
  uint32_t first_code[max_code_length + 2] = {};
  uint32_t count[max_code_length + 2] = {};
  uint32_t first_index[max_code_length + 2] = {};
  std::vector<uint16_t> sorted;  // symbols by (length, symbol)
  std::vector<uint32_t> lookup;  // (symbol << 5) | length, 0 = not in table
};

// Builds the code; false for an empty, over-subscribed or unused code.
bool buildModel(huffman_model_t& m, const uint8_t* lengths, uint32_t n) {
  m.num_syms = n;
  std::fill(std::begin(m.count), std::end(m.count), 0u);
  for (uint32_t s = 0; s < n; ++s) ++m.count[lengths[s]];
  m.count[0] = 0;
  uint32_t code = 0, index = 0;
  for (uint32_t len = 1; len <= max_code_length; ++len) {
    m.first_code[len] = code;
    m.first_index[len] = index;
    code += m.count[len];
    index += m.count[len];
    if (code > (1u << len)) return false;  // over-subscribed
    code <<= 1;
  }
  if (index == 0) return false;
  m.sorted.assign(index, 0);
  uint32_t fill[max_code_length + 2];
  std::copy(std::begin(m.first_index), std::end(m.first_index), fill);
  for (uint32_t s = 0; s < n; ++s)
    if (lengths[s]) m.sorted[fill[lengths[s]]++] = static_cast<uint16_t>(s);
  m.lookup.assign(1u << lookup_bits, 0);
  for (uint32_t len = 1; len <= static_cast<uint32_t>(lookup_bits); ++len)
    for (uint32_t i = 0; i < m.count[len]; ++i) {
      const uint32_t codeword = m.first_code[len] + i;
      const uint32_t sym = m.sorted[m.first_index[len] + i];
      const uint32_t shift = lookup_bits - len;
      for (uint32_t k = 0; k < (1u << shift); ++k) m.lookup[(codeword << shift) | k] = (sym << 5) | len;
    }
  return true;
}

// Returns the symbol or -1 when the next bits are no codeword.
inline int decodeSymbol(const huffman_model_t& m, bit_reader_t& br) {
  if (br.count < static_cast<int>(max_code_length)) refill(br);
  const uint32_t e = m.lookup[peekBits(br, lookup_bits)];
  if (e) {
    consumeBits(br, static_cast<int>(e & 31));
    return static_cast<int>(e >> 5);
  }
  for (uint32_t len = lookup_bits + 1; len <= max_code_length; ++len) {
    const uint32_t v = peekBits(br, static_cast<int>(len)) - m.first_code[len];
    if (v < m.count[len]) {
      consumeBits(br, static_cast<int>(len));
      return m.sorted[m.first_index[len] + v];
    }
  }
  return -1;
}

constexpr uint8_t code_length_order[21] = {17, 18, 19, 20, 0, 8, 7, 9, 6, 10, 5,
                                           11, 4, 12, 3, 13, 2, 14, 1, 15, 16};

// Reads one transmitted model: symbol count, the code-length code, then the
// run-length coded code lengths. max_syms bounds the alphabet the caller can
// use, so that every decoded symbol is a valid index later on.
bool readModel(bit_reader_t& br, uint32_t max_syms, huffman_model_t& model) {
  uint32_t num_syms = readBits(br, 14);
  if (num_syms == 0 || num_syms > max_syms) return false;
  uint32_t num_cl = readBits(br, 5);
  if (num_cl < 1 || num_cl > 21) return false;
  uint8_t cl_lengths[21] = {};
  for (uint32_t i = 0; i < num_cl; ++i) cl_lengths[code_length_order[i]] = static_cast<uint8_t>(readBits(br, 3));
  huffman_model_t cl_model;
  if (!buildModel(cl_model, cl_lengths, 21)) return false;

  std::vector<uint8_t> lengths(num_syms, 0);
  uint32_t pos = 0;
  while (pos < num_syms) {
    int sym = decodeSymbol(cl_model, br);
    if (sym < 0) return false;
    uint32_t run = 0;
    uint8_t value = 0;
    if (sym <= 16) {
      lengths[pos++] = static_cast<uint8_t>(sym);
      continue;
    } else if (sym == 17) {
      run = 3 + readBits(br, 3);
    } else if (sym == 18) {
      run = 11 + readBits(br, 7);
    } else {
      if (pos == 0 || lengths[pos - 1] == 0) return false;
      value = lengths[pos - 1];
      run = sym == 19 ? 3 + readBits(br, 2) : 7 + readBits(br, 6);
    }
    if (run > num_syms - pos) return false;
    std::fill_n(lengths.begin() + pos, run, value);
    pos += run;
  }
  return !overrun(br) && buildModel(model, lengths.data(), num_syms);
}

// Chunk tile layouts: the number of endpoint pairs of each encoding and the
// pair that each block (TL, TR, BL, BR) uses.
constexpr uint8_t tile_count[8] = {1, 2, 2, 3, 3, 3, 3, 4};
constexpr uint8_t tile_of_block[8][4] = {{0, 0, 0, 0}, {0, 0, 1, 1}, {0, 1, 0, 1}, {0, 0, 1, 2},
                                         {1, 2, 0, 0}, {0, 1, 0, 2}, {1, 0, 2, 0}, {0, 1, 2, 3}};

// Linear selector (0 = colour0 .. 3 = colour1) to the DXT1 2-bit code.
constexpr uint32_t linear_to_dxt1[4] = {0, 2, 3, 1};

}  // namespace

struct crnd_unpack_context_t {
  uint32_t magic = context_magic;
  const uint8_t* data = nullptr;
  header_t header;
  huffman_model_t chunk_model;
  huffman_model_t endpoint_delta_model;
  huffman_model_t selector_delta_model;
  std::vector<uint32_t> endpoints;  // color0 | color1 << 16
  std::vector<uint32_t> selectors;  // DXT1 selector words
};

namespace {

bool decodeEndpoints(crnd_unpack_context_t& ctx) {
  const palette_desc_t& d = ctx.header.color_endpoints;
  bit_reader_t br = openSegment(ctx.data + d.ofs, d.size);
  huffman_model_t rb_model, g_model;
  if (!readModel(br, 32, rb_model) || !readModel(br, 64, g_model)) return false;
  ctx.endpoints.resize(d.num);
  uint32_t r0 = 0, g0 = 0, b0 = 0, r1 = 0, g1 = 0, b1 = 0;
  for (uint32_t k = 0; k < d.num; ++k) {
    int dr0 = decodeSymbol(rb_model, br), dg0 = decodeSymbol(g_model, br), db0 = decodeSymbol(rb_model, br);
    int dr1 = decodeSymbol(rb_model, br), dg1 = decodeSymbol(g_model, br), db1 = decodeSymbol(rb_model, br);
    if ((dr0 | dg0 | db0 | dr1 | dg1 | db1) < 0) return false;
    r0 = (r0 + dr0) & 31, g0 = (g0 + dg0) & 63, b0 = (b0 + db0) & 31;
    r1 = (r1 + dr1) & 31, g1 = (g1 + dg1) & 63, b1 = (b1 + db1) & 31;
    uint32_t c0 = (r0 << 11) | (g0 << 5) | b0, c1 = (r1 << 11) | (g1 << 5) | b1;
    ctx.endpoints[k] = c0 | (c1 << 16);
  }
  return !overrun(br);
}

bool decodeSelectors(crnd_unpack_context_t& ctx) {
  const palette_desc_t& d = ctx.header.color_selectors;
  bit_reader_t br = openSegment(ctx.data + d.ofs, d.size);
  huffman_model_t model;
  if (!readModel(br, 49, model)) return false;
  ctx.selectors.resize(d.num);
  uint32_t cur[16] = {};
  for (uint32_t k = 0; k < d.num; ++k) {
    uint32_t word = 0;
    for (uint32_t j = 0; j < 8; ++j) {
      int s = decodeSymbol(model, br);
      if (s < 0) return false;
      // A delta of -3 is +1 modulo 4, so s % 7 - 3 becomes s % 7 + 1.
      cur[2 * j] = (cur[2 * j] + s % 7 + 1) & 3;
      cur[2 * j + 1] = (cur[2 * j + 1] + s / 7 + 1) & 3;
      word |= linear_to_dxt1[cur[2 * j]] << (4 * j);
      word |= linear_to_dxt1[cur[2 * j + 1]] << (4 * j + 2);
    }
    ctx.selectors[k] = word;
  }
  return !overrun(br);
}

bool decodeTables(crnd_unpack_context_t& ctx) {
  bit_reader_t br = openSegment(ctx.data + ctx.header.tables_ofs, ctx.header.tables_size);
  // Delta alphabets larger than their palettes could only produce indices
  // outside it, so they are refused here rather than checked per block.
  return readModel(br, 512, ctx.chunk_model) &&
         readModel(br, ctx.header.color_endpoints.num, ctx.endpoint_delta_model) &&
         readModel(br, ctx.header.color_selectors.num, ctx.selector_delta_model);
}

inline void putBlock(uint8_t* p, uint32_t endpoints, uint32_t selectors) {
  uint8_t b[8] = {static_cast<uint8_t>(endpoints), static_cast<uint8_t>(endpoints >> 8),
                  static_cast<uint8_t>(endpoints >> 16), static_cast<uint8_t>(endpoints >> 24),
                  static_cast<uint8_t>(selectors), static_cast<uint8_t>(selectors >> 8),
                  static_cast<uint8_t>(selectors >> 16), static_cast<uint8_t>(selectors >> 24)};
  std::memcpy(p, b, 8);
}

}  // namespace

uint16_t crnd_crc16(const void* data, uint32_t size) {
  const auto* p = static_cast<const uint8_t*>(data);
  uint32_t crc = 0xFFFF;
  for (uint32_t i = 0; i < size; ++i) {
    crc ^= static_cast<uint32_t>(p[i]) << 8;
    for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
  }
  return static_cast<uint16_t>(crc ^ 0xFFFF);
}

bool crnd_get_texture_info(const void* data, uint32_t data_size, crnd_texture_info_t* info) {
  header_t h;
  if (info == nullptr || info->struct_size != sizeof(crnd_texture_info_t) ||
      !parseHeader(data, data_size, h))
    return false;
  info->width = h.width;
  info->height = h.height;
  info->levels = h.levels;
  info->faces = h.faces;
  info->bytes_per_block = bytesPerBlock(h.format);
  info->userdata0 = h.userdata0;
  info->userdata1 = h.userdata1;
  info->format = static_cast<crn_format_t>(h.format);
  return true;
}

bool crnd_get_level_info(const void* data, uint32_t data_size, uint32_t level_index,
                         crnd_level_info_t* info) {
  header_t h;
  if (info == nullptr || info->struct_size != sizeof(crnd_level_info_t) ||
      !parseHeader(data, data_size, h) || level_index >= h.levels)
    return false;
  info->width = std::max(1u, h.width >> level_index);
  info->height = std::max(1u, h.height >> level_index);
  info->faces = h.faces;
  info->blocks_x = (info->width + 3) / 4;
  info->blocks_y = (info->height + 3) / 4;
  info->bytes_per_block = bytesPerBlock(h.format);
  info->format = static_cast<crn_format_t>(h.format);
  return true;
}

bool crnd_validate_file(const void* data, uint32_t data_size) {
  header_t h;
  if (!parseHeader(data, data_size, h)) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  return crnd_crc16(p + 6, h.header_size - 6) == readBe(p + 4, 2) &&
         crnd_crc16(p + h.header_size, h.data_size - h.header_size) == readBe(p + 10, 2);
}

crnd_unpack_context_t* crnd_unpack_begin(const void* data, uint32_t data_size) {
  header_t h;
  if (!parseHeader(data, data_size, h)) return nullptr;
  // DXT1 only, and the level data must be in this buffer (not segmented).
  if (h.format != crn_format_dxt1 || (h.flags & 1)) return nullptr;
  if (h.color_endpoints.num == 0 || h.color_endpoints.num > max_palette_entries ||
      h.color_selectors.num == 0 || h.color_selectors.num > max_palette_entries)
    return nullptr;
  static_assert(max_palette_entries <= max_model_symbols);
  std::unique_ptr<crnd_unpack_context_t> ctx(new (std::nothrow) crnd_unpack_context_t);
  if (!ctx) return nullptr;
  ctx->data = static_cast<const uint8_t*>(data);
  ctx->header = h;
  if (!decodeTables(*ctx) || !decodeEndpoints(*ctx) || !decodeSelectors(*ctx)) return nullptr;
  return ctx.release();
}

bool crnd_unpack_level(crnd_unpack_context_t* context, void** dst, uint32_t dst_size,
                       uint32_t row_pitch, uint32_t level_index) {
  if (context == nullptr || context->magic != context_magic || dst == nullptr) return false;
  const header_t& h = context->header;
  if (level_index >= h.levels || dst_size < dxt1_block_bytes) return false;
  const uint32_t width = std::max(1u, h.width >> level_index);
  const uint32_t height = std::max(1u, h.height >> level_index);
  const uint32_t bx = (width + 3) / 4, by = (height + 3) / 4;
  const uint32_t cx = (bx + 1) / 2, cy = (by + 1) / 2;
  if (row_pitch == 0) row_pitch = bx * dxt1_block_bytes;
  if (row_pitch < bx * dxt1_block_bytes || (row_pitch & 3)) return false;
  if (static_cast<uint64_t>(row_pitch) * by > dst_size) return false;
  for (uint32_t f = 0; f < h.faces; ++f)
    if (dst[f] == nullptr) return false;

  const uint32_t ofs = h.level_ofs[level_index];
  const uint32_t end = level_index + 1 < h.levels ? h.level_ofs[level_index + 1] : h.data_size;
  bit_reader_t br = openSegment(context->data + ofs, end - ofs);
  const huffman_model_t& chunk_model = context->chunk_model;
  const huffman_model_t& ep_model = context->endpoint_delta_model;
  const huffman_model_t& sel_model = context->selector_delta_model;
  const uint32_t* endpoints = context->endpoints.data();
  const uint32_t* selectors = context->selectors.data();
  const uint32_t num_ep = static_cast<uint32_t>(context->endpoints.size());
  const uint32_t num_sel = static_cast<uint32_t>(context->selectors.size());

  uint32_t enc_bits = 1, ep_prev = 0, sel_prev = 0;
  for (uint32_t f = 0; f < h.faces; ++f) {
    auto* face = static_cast<uint8_t*>(dst[f]);
    for (uint32_t y = 0; y < cy; ++y) {
      const bool reverse = (y & 1) != 0;
      const bool bottom_inside = 2 * y + 1 < by;
      uint8_t* row = face + static_cast<size_t>(2 * y) * row_pitch;
      for (uint32_t i = 0; i < cx; ++i) {
        const uint32_t x = reverse ? cx - 1 - i : i;
        if (enc_bits == 1) {
          int sym = decodeSymbol(chunk_model, br);
          if (sym < 0) return false;
          enc_bits = static_cast<uint32_t>(sym) | 512;
        }
        const uint32_t enc = enc_bits & 7;
        enc_bits >>= 3;

        uint32_t tile[4];
        for (uint32_t t = 0; t < tile_count[enc]; ++t) {
          int d = decodeSymbol(ep_model, br);
          if (d < 0) return false;
          ep_prev += static_cast<uint32_t>(d);  // d < num_ep: the model was bounded
          if (ep_prev >= num_ep) ep_prev -= num_ep;
          tile[t] = endpoints[ep_prev];
        }
        uint32_t sel[4];
        for (uint32_t b = 0; b < 4; ++b) {
          int d = decodeSymbol(sel_model, br);
          if (d < 0) return false;
          sel_prev += static_cast<uint32_t>(d);
          if (sel_prev >= num_sel) sel_prev -= num_sel;
          sel[b] = selectors[sel_prev];
        }

        const bool right_inside = 2 * x + 1 < bx;
        uint8_t* p = row + static_cast<size_t>(2 * x) * dxt1_block_bytes;
        putBlock(p, tile[tile_of_block[enc][0]], sel[0]);
        if (right_inside) putBlock(p + dxt1_block_bytes, tile[tile_of_block[enc][1]], sel[1]);
        if (bottom_inside) {
          putBlock(p + row_pitch, tile[tile_of_block[enc][2]], sel[2]);
          if (right_inside)
            putBlock(p + row_pitch + dxt1_block_bytes, tile[tile_of_block[enc][3]], sel[3]);
        }
      }
      // A corrupt stream runs on zero fill; stop at the first row that does.
      if (overrun(br)) return false;
    }
  }
  return true;
}

bool crnd_unpack_end(crnd_unpack_context_t* context) {
  if (context == nullptr || context->magic != context_magic) return false;
  context->magic = 0;
  delete context;
  return true;
}

}  // namespace crnd
