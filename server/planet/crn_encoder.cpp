// CRN container for rocktreed's DXT1 textures. The DXT1 blocks are exact
// (no further quantisation): the endpoint palette holds every distinct
// endpoint pair and the selector palette every distinct selector word, in
// order of first use, so decoding gives back exactly the compressed blocks.
// What CRN adds over raw DXT1 is the entropy coding: Huffman-coded palette
// deltas, shared endpoint pairs inside 2x2-block chunks, and Huffman-coded
// palette index deltas.
#include "planet/crn_encoder.h"

#include <algorithm>
#include <array>
#include <vector>

#include "planet/dxt1_encoder.h"

namespace {

constexpr uint32_t max_palette_entries = 8192;
constexpr uint32_t header_bytes = 74;  // fixed part plus one level offset

// MSB-first bit string, the order every CRN segment is read in. Whole
// values go into a 64-bit accumulator and leave it a byte at a time: bit by
// bit, writing was a fifth of the packing's time.
struct bit_writer_t {
  std::string bytes;
  uint64_t acc = 0;
  int count = 0;  // pending bits in acc, below 8 between calls
};

// n <= 32.
inline void putBits(bit_writer_t& bw, uint32_t value, int n) {
  bw.acc = (bw.acc << n) | (value & ((uint64_t{1} << n) - 1));
  bw.count += n;
  while (bw.count >= 8) {
    bw.count -= 8;
    bw.bytes.push_back(static_cast<char>(bw.acc >> bw.count));
  }
}

// Pads the last byte with zero bits.
std::string finishBits(bit_writer_t& bw) {
  if (bw.count) putBits(bw, 0, 8 - bw.count);
  return std::move(bw.bytes);
}

// Huffman code lengths limited to max_len. When the optimal code is too
// deep the frequencies are halved (keeping every used symbol) and the code
// rebuilt; this converges quickly and costs little in code length. The code
// is built with two queues over the symbols sorted by frequency (ties by
// symbol, so the result is deterministic): linear after the sort, where a
// heap cost a tenth of the packing's time on 256x256 textures.
std::vector<uint8_t> codeLengths(std::vector<uint32_t> freq, int max_len) {
  const size_t n = freq.size();
  std::vector<uint8_t> lengths(n, 0);
  std::vector<uint32_t> used;
  for (size_t s = 0; s < n; ++s)
    if (freq[s]) used.push_back(static_cast<uint32_t>(s));
  if (used.empty()) return lengths;
  if (used.size() == 1) {
    lengths[used[0]] = 1;  // a lone symbol still needs a one-bit codeword
    return lengths;
  }
  const size_t leaves = used.size();
  // Nodes 0..leaves-1 are the sorted leaves, then the merged nodes in the
  // order they are made (their weights never decrease).
  std::vector<uint64_t> weight(2 * leaves - 1);
  std::vector<uint32_t> parent(2 * leaves - 1);
  std::vector<uint32_t> depth(2 * leaves - 1);
  for (;;) {
    std::sort(used.begin(), used.end(), [&](uint32_t a, uint32_t b) {
      return freq[a] != freq[b] ? freq[a] < freq[b] : a < b;
    });
    for (size_t i = 0; i < leaves; ++i) weight[i] = freq[used[i]];
    size_t next_leaf = 0, next_merged = leaves, made = leaves;
    auto take = [&]() -> size_t {
      // A leaf wins ties: shallower trees for the same total length.
      if (next_leaf < leaves && (next_merged == made || weight[next_leaf] <= weight[next_merged]))
        return next_leaf++;
      return next_merged++;
    };
    while (made < 2 * leaves - 1) {
      const size_t a = take(), b = take();
      weight[made] = weight[a] + weight[b];
      parent[a] = parent[b] = static_cast<uint32_t>(made);
      ++made;
    }
    // Parents come after their children: one pass from the root down.
    uint32_t deepest = 0;
    depth[made - 1] = 0;
    for (size_t i = made - 1; i-- > 0;) {
      depth[i] = depth[parent[i]] + 1;
      if (i < leaves) deepest = std::max(deepest, depth[i]);
    }
    if (deepest <= static_cast<uint32_t>(max_len)) {
      for (size_t i = 0; i < leaves; ++i) lengths[used[i]] = static_cast<uint8_t>(depth[i]);
      return lengths;
    }
    for (uint32_t s : used) freq[s] = std::max(1u, freq[s] >> 1);
  }
}

// Canonical codewords for the lengths (shorter first, then by symbol).
std::vector<uint16_t> canonicalCodes(const std::vector<uint8_t>& lengths) {
  uint32_t count[17] = {}, next[17] = {};
  for (uint8_t l : lengths)
    if (l) ++count[l];
  uint32_t code = 0;
  for (int l = 1; l <= 16; ++l) {
    next[l] = code;
    code = (code + count[l]) << 1;
  }
  std::vector<uint16_t> codes(lengths.size(), 0);
  for (size_t s = 0; s < lengths.size(); ++s)
    if (lengths[s]) codes[s] = static_cast<uint16_t>(next[lengths[s]]++);
  return codes;
}

struct huffman_code_t {
  std::vector<uint8_t> lengths;
  std::vector<uint16_t> codes;
};

void putSymbol(bit_writer_t& bw, const huffman_code_t& code, uint32_t sym) {
  putBits(bw, code.codes[sym], code.lengths[sym]);
}

constexpr uint8_t code_length_order[21] = {17, 18, 19, 20, 0, 8, 7, 9, 6, 10, 5,
                                           11, 4, 12, 3, 13, 2, 14, 1, 15, 16};

// Builds a code for the symbol frequencies and writes its description:
// symbol count, the code-length code, then the run-length coded lengths.
huffman_code_t writeModel(bit_writer_t& bw, const std::vector<uint32_t>& freq) {
  huffman_code_t code;
  code.lengths = codeLengths(freq, 16);
  code.codes = canonicalCodes(code.lengths);
  size_t num_syms = code.lengths.size();
  while (num_syms > 0 && code.lengths[num_syms - 1] == 0) --num_syms;

  // Run-length ops over the lengths: (code-length symbol, extra bits value).
  std::vector<std::pair<uint32_t, uint32_t>> ops;
  for (size_t i = 0; i < num_syms;) {
    const uint8_t len = code.lengths[i];
    size_t run = 1;
    while (i + run < num_syms && code.lengths[i + run] == len) ++run;
    if (len == 0) {
      size_t left = run;
      while (left >= 3) {
        if (left >= 11) {
          size_t r = std::min<size_t>(left, 138);
          ops.push_back({18, static_cast<uint32_t>(r - 11)});
          left -= r;
        } else {
          size_t r = std::min<size_t>(left, 10);
          ops.push_back({17, static_cast<uint32_t>(r - 3)});
          left -= r;
        }
      }
      for (; left > 0; --left) ops.push_back({0, 0});
    } else {
      ops.push_back({len, 0});
      size_t left = run - 1;
      while (left >= 3) {
        if (left >= 7) {
          size_t r = std::min<size_t>(left, 70);
          ops.push_back({20, static_cast<uint32_t>(r - 7)});
          left -= r;
        } else {
          size_t r = std::min<size_t>(left, 6);
          ops.push_back({19, static_cast<uint32_t>(r - 3)});
          left -= r;
        }
      }
      for (; left > 0; --left) ops.push_back({len, 0});
    }
    i += run;
  }

  std::vector<uint32_t> cl_freq(21, 0);
  for (auto& op : ops) ++cl_freq[op.first];
  huffman_code_t cl;
  cl.lengths = codeLengths(cl_freq, 7);
  cl.codes = canonicalCodes(cl.lengths);
  int num_cl = 21;
  while (num_cl > 1 && cl.lengths[code_length_order[num_cl - 1]] == 0) --num_cl;

  putBits(bw, static_cast<uint32_t>(num_syms), 14);
  putBits(bw, static_cast<uint32_t>(num_cl), 5);
  for (int i = 0; i < num_cl; ++i) putBits(bw, cl.lengths[code_length_order[i]], 3);
  static constexpr int extra_bits[21] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 7, 2, 6};
  for (auto& [sym, extra] : ops) {
    putSymbol(bw, cl, sym);
    if (extra_bits[sym]) putBits(bw, extra, extra_bits[sym]);
  }
  return code;
}

// CRC-16 (polynomial 0x1021) a byte at a time through a table: bit by bit
// it took as long as the rest of the packing.
struct crc16_table_t {
  uint16_t t[256];
  constexpr crc16_table_t() : t() {
    for (uint32_t i = 0; i < 256; ++i) {
      uint32_t crc = i << 8;
      for (int b = 0; b < 8; ++b) crc = (crc & 0x8000) ? ((crc << 1) ^ 0x1021) & 0xFFFF : (crc << 1) & 0xFFFF;
      t[i] = static_cast<uint16_t>(crc);
    }
  }
};
constexpr crc16_table_t crc16_table;

uint16_t crc16(const std::string& s, size_t from, size_t to) {
  uint32_t crc = 0xFFFF;
  for (size_t i = from; i < to; ++i)
    crc = ((crc << 8) ^ crc16_table.t[((crc >> 8) ^ static_cast<uint8_t>(s[i])) & 0xFF]) & 0xFFFF;
  return static_cast<uint16_t>(crc ^ 0xFFFF);
}

void putBe(std::string& s, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>(value >> (8 * (bytes - 1 - i)));
}

uint32_t readLe32(const uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

// Palette of distinct words in order of first appearance, indexed by an
// open-addressing table twice the largest palette (a node hash map per word
// cost a fifth of the packing). Past max_palette_entries it refuses words.
struct palette_t {
  static constexpr uint32_t slots = 2 * max_palette_entries;  // a power of two
  std::vector<uint32_t> entries;
  std::vector<uint32_t> table = std::vector<uint32_t>(slots, 0);  // entry index + 1; 0 = empty
};

// The word's index, or false when the palette is full.
bool addToPalette(palette_t& p, uint32_t word, uint32_t* index) {
  for (uint32_t slot = (word * 0x9E3779B1u) >> 18;; slot = (slot + 1) & (palette_t::slots - 1)) {
    const uint32_t e = p.table[slot];
    if (e == 0) {
      if (p.entries.size() >= max_palette_entries) return false;
      p.entries.push_back(word);
      p.table[slot] = static_cast<uint32_t>(p.entries.size());
      *index = p.table[slot] - 1;
      return true;
    }
    if (p.entries[e - 1] == word) {
      *index = e - 1;
      return true;
    }
  }
}

constexpr uint8_t tile_count[8] = {1, 2, 2, 3, 3, 3, 3, 4};
constexpr uint8_t tile_of_block[8][4] = {{0, 0, 0, 0}, {0, 0, 1, 1}, {0, 1, 0, 1}, {0, 0, 1, 2},
                                         {1, 2, 0, 0}, {0, 1, 0, 2}, {1, 0, 2, 0}, {0, 1, 2, 3}};

struct chunk_t {
  uint8_t encoding = 7;
  uint32_t tiles[4] = {};      // endpoint palette indices per tile
  uint32_t selectors[4] = {};  // selector palette indices, TL TR BL BR
};

std::string endpointSegment(const std::vector<uint32_t>& entries) {
  // Deltas of the six 5/6/5 components, each modulo its range.
  std::vector<std::array<uint32_t, 6>> deltas;
  std::vector<uint32_t> rb_freq(32, 0), g_freq(64, 0);
  uint32_t prev[6] = {};
  for (uint32_t e : entries) {
    const uint32_t c0 = e & 0xFFFF, c1 = e >> 16;
    const uint32_t v[6] = {c0 >> 11, (c0 >> 5) & 63, c0 & 31, c1 >> 11, (c1 >> 5) & 63, c1 & 31};
    std::array<uint32_t, 6> d;
    for (int i = 0; i < 6; ++i) {
      const uint32_t mask = (i % 3 == 1) ? 63 : 31;
      d[i] = (v[i] - prev[i]) & mask;
      prev[i] = v[i];
      ++((i % 3 == 1) ? g_freq : rb_freq)[d[i]];
    }
    deltas.push_back(d);
  }
  bit_writer_t bw;
  huffman_code_t rb = writeModel(bw, rb_freq);
  huffman_code_t g = writeModel(bw, g_freq);
  for (auto& d : deltas)
    for (int i = 0; i < 6; ++i) putSymbol(bw, (i % 3 == 1) ? g : rb, d[i]);
  return finishBits(bw);
}

std::string selectorSegment(const std::vector<uint32_t>& entries) {
  // DXT1 2-bit code to linear position between colour0 and colour1.
  static constexpr uint32_t dxt1_to_linear[4] = {0, 3, 1, 2};
  // Linear difference modulo 4 to a delta in -3..3, the smallest in size.
  static constexpr int wrap_delta[4] = {0, 1, 2, -1};
  std::vector<uint32_t> symbols, freq(49, 0);
  uint32_t cur[16] = {};
  for (uint32_t word : entries)
    for (int j = 0; j < 8; ++j) {
      int d[2];
      for (int k = 0; k < 2; ++k) {
        const int p = 2 * j + k;
        const uint32_t v = dxt1_to_linear[(word >> (2 * p)) & 3];
        d[k] = wrap_delta[(v - cur[p]) & 3];
        cur[p] = v;
      }
      const uint32_t sym = static_cast<uint32_t>((d[0] + 3) + 7 * (d[1] + 3));
      symbols.push_back(sym);
      ++freq[sym];
    }
  bit_writer_t bw;
  huffman_code_t code = writeModel(bw, freq);
  for (uint32_t s : symbols) putSymbol(bw, code, s);
  return finishBits(bw);
}

}  // namespace

std::string encodeCrnDxt1(const uint8_t* rgb, int width, int height) {
  if (rgb == nullptr || width < 1 || height < 1 || width > 4096 || height > 4096) return {};
  return packCrnDxt1(compressDxt1(rgb, width, height).data(), width, height);
}

std::string packCrnDxt1(const uint8_t* blocks_data, int width, int height) {
  if (blocks_data == nullptr || width < 1 || height < 1 || width > 4096 || height > 4096) return {};
  const uint8_t* blocks = blocks_data;
  const int bx = (width + 3) / 4, by = (height + 3) / 4;
  const int cx = (bx + 1) / 2, cy = (by + 1) / 2;

  // Chunks in the order the level is coded: rows of chunks, odd rows right
  // to left. Blocks past the image edge copy the nearest block inside, which
  // keeps them free (delta 0 or a shared tile).
  palette_t endpoints, selectors;
  std::vector<chunk_t> chunks;
  chunks.reserve(static_cast<size_t>(cx) * cy);
  for (int y = 0; y < cy; ++y)
    for (int i = 0; i < cx; ++i) {
      const int x = (y & 1) ? cx - 1 - i : i;
      uint32_t ep[4];
      chunk_t c;
      for (int b = 0; b < 4; ++b) {
        const int X = std::min(2 * x + (b & 1), bx - 1), Y = std::min(2 * y + (b >> 1), by - 1);
        const uint8_t* block = &blocks[(static_cast<size_t>(Y) * bx + X) * 8];
        // Beyond max_palette_entries the palettes would need quantising,
        // which we do not do.
        if (!addToPalette(endpoints, readLe32(block), &ep[b]) ||
            !addToPalette(selectors, readLe32(block + 4), &c.selectors[b]))
          return {};
      }
      // Encodings are numbered by tile count: the first that fits shares most.
      for (uint8_t e = 0; e < 8; ++e) {
        uint32_t tiles[4];
        bool set[4] = {}, fits = true;
        for (int b = 0; b < 4 && fits; ++b) {
          const int t = tile_of_block[e][b];
          if (!set[t]) {
            tiles[t] = ep[b];
            set[t] = true;
          } else {
            fits = tiles[t] == ep[b];
          }
        }
        if (fits) {
          c.encoding = e;
          std::copy(tiles, tiles + tile_count[e], c.tiles);
          break;
        }
      }
      chunks.push_back(c);
    }
  const uint32_t num_ep = static_cast<uint32_t>(endpoints.entries.size());
  const uint32_t num_sel = static_cast<uint32_t>(selectors.entries.size());
  // Palette index deltas modulo the palette size.
  auto delta = [](uint32_t to, uint32_t from, uint32_t size) { return to >= from ? to - from : to + size - from; };

  // Symbol frequencies of the level first; the models precede the level.
  std::vector<uint32_t> enc_freq(512, 0), ep_freq(num_ep, 0), sel_freq(num_sel, 0);
  std::vector<uint32_t> enc_symbols;
  for (size_t k = 0; k < chunks.size(); k += 3) {
    uint32_t sym = 0;
    for (size_t j = 0; j < 3 && k + j < chunks.size(); ++j) sym |= chunks[k + j].encoding << (3 * j);
    enc_symbols.push_back(sym);
    ++enc_freq[sym];
  }
  {
    uint32_t ep_prev = 0, sel_prev = 0;
    for (const chunk_t& c : chunks) {
      for (int t = 0; t < tile_count[c.encoding]; ++t) {
        ++ep_freq[delta(c.tiles[t], ep_prev, num_ep)];
        ep_prev = c.tiles[t];
      }
      for (int b = 0; b < 4; ++b) {
        ++sel_freq[delta(c.selectors[b], sel_prev, num_sel)];
        sel_prev = c.selectors[b];
      }
    }
  }

  bit_writer_t tables;
  const huffman_code_t enc_code = writeModel(tables, enc_freq);
  const huffman_code_t ep_code = writeModel(tables, ep_freq);
  const huffman_code_t sel_code = writeModel(tables, sel_freq);
  const std::string tables_segment = finishBits(tables);

  bit_writer_t level;
  {
    uint32_t ep_prev = 0, sel_prev = 0;
    for (size_t k = 0; k < chunks.size(); ++k) {
      if (k % 3 == 0) putSymbol(level, enc_code, enc_symbols[k / 3]);
      const chunk_t& c = chunks[k];
      for (int t = 0; t < tile_count[c.encoding]; ++t) {
        putSymbol(level, ep_code, delta(c.tiles[t], ep_prev, num_ep));
        ep_prev = c.tiles[t];
      }
      for (int b = 0; b < 4; ++b) {
        putSymbol(level, sel_code, delta(c.selectors[b], sel_prev, num_sel));
        sel_prev = c.selectors[b];
      }
    }
  }
  const std::string level_segment = finishBits(level);
  const std::string ep_segment = endpointSegment(endpoints.entries);
  const std::string sel_segment = selectorSegment(selectors.entries);

  // Header: big-endian fields; segments in the order crunch writes them.
  std::string out(header_bytes, '\0');
  const uint32_t ep_ofs = header_bytes;
  const uint32_t sel_ofs = ep_ofs + static_cast<uint32_t>(ep_segment.size());
  const uint32_t tables_ofs = sel_ofs + static_cast<uint32_t>(sel_segment.size());
  const uint32_t level_ofs = tables_ofs + static_cast<uint32_t>(tables_segment.size());
  const uint32_t data_size = level_ofs + static_cast<uint32_t>(level_segment.size());
  if (tables_segment.size() > 0xFFFF || data_size > 0xFFFFFF) return {};
  out += ep_segment;
  out += sel_segment;
  out += tables_segment;
  out += level_segment;

  putBe(out, 0, 0x4878, 2);
  putBe(out, 2, header_bytes, 2);
  putBe(out, 6, data_size, 4);
  putBe(out, 12, static_cast<uint32_t>(width), 2);
  putBe(out, 14, static_cast<uint32_t>(height), 2);
  out[16] = 1;  // levels
  out[17] = 1;  // faces
  out[18] = 0;  // DXT1
  putBe(out, 33, ep_ofs, 3);
  putBe(out, 36, static_cast<uint32_t>(ep_segment.size()), 3);
  putBe(out, 39, num_ep, 2);
  putBe(out, 41, sel_ofs, 3);
  putBe(out, 44, static_cast<uint32_t>(sel_segment.size()), 3);
  putBe(out, 47, num_sel, 2);
  putBe(out, 65, static_cast<uint32_t>(tables_segment.size()), 2);
  putBe(out, 67, tables_ofs, 3);
  putBe(out, 70, level_ofs, 4);
  putBe(out, 10, crc16(out, header_bytes, data_size), 2);
  putBe(out, 4, crc16(out, 6, header_bytes), 2);
  return out;
}
