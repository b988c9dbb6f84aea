// One GSHHG bin's values as a hostile file could hold them: the decoder
// must reject or decode any of them without crashing, and a decoded bin
// answers every point with a level it can have.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "planet/gshhg_bins.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // corner levels (2 bytes), segment count (1), then per segment its word
  // and first point (4 + 2 bytes), then points (2 + 2 bytes each).
  if (size < 3) return 0;
  gshhg_raw_bin_t raw;
  raw.corner_levels = data[0] | data[1] << 8;
  const size_t segments = data[2];
  size_t at = 3;
  for (size_t s = 0; s < segments && at + 6 <= size; ++s, at += 6) {
    int32_t info;
    std::memcpy(&info, data + at, 4);
    raw.segment_info.push_back(info);
    raw.segment_first_point.push_back(static_cast<int16_t>(data[at + 4] | data[at + 5] << 8));
  }
  for (; at + 4 <= size; at += 4) {
    raw.x.push_back(static_cast<uint16_t>(data[at] | data[at + 1] << 8));
    raw.y.push_back(static_cast<uint16_t>(data[at + 2] | data[at + 3] << 8));
  }
  // The same bytes as a river or border bin: per segment its point count,
  // class and first point from the segment's six bytes.
  gshhg_raw_line_bin_t lines;
  for (size_t s = 0; s < raw.segment_info.size(); ++s) {
    lines.segment_points.push_back(static_cast<uint16_t>(raw.segment_info[s]));
    lines.segment_level.push_back(static_cast<int16_t>(raw.segment_info[s] >> 16));
    lines.segment_first_point.push_back(raw.segment_first_point[s]);
  }
  lines.x = raw.x;
  lines.y = raw.y;
  line_bin_t line_bin;
  std::string error;
  if (decodeLineBin(lines, 4096, &line_bin, &error)) {
    for (const line_segment_t& s : line_bin.segments)
      if (s.level > max_line_level || s.points.size() < 2) std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  error.clear();
  gshhg_bin_t bin;
  if (!decodeBin(raw, 4096, &bin, &error)) {
    if (error.empty()) std::abort();  // a rejection always says why
    return 0;
  }
  for (const gshhg_ring_t& r : bin.rings)
    if (r.level < shore_land || r.level > shore_pond || r.points.empty()) std::abort();
  for (double x : {0.0, 1000.5, 32767.5, 65535.0})
    for (double y : {0.0, 20000.25, 65535.0}) {
      const int level = levelAt(bin, x, y);
      if (level < shore_sea || level > shore_pond) std::abort();
    }
  return 0;
}
