#include "http/caching_headers.h"

#include <cstdint>

#include <xxhash.h>

std::string entityTag(std::string_view body) {
  const uint64_t h = XXH3_64bits(body.data(), body.size());
  static constexpr char hex[] = "0123456789abcdef";
  std::string tag(18, '"');
  for (int i = 0; i < 16; ++i) tag[1 + i] = hex[(h >> (60 - 4 * i)) & 15];
  return tag;
}

namespace {

bool isSpace(char c) { return c == ' ' || c == '\t'; }

// etagc: any visible character but the quote, and obs-text.
bool isTagChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u == 0x21 || (u >= 0x23 && u != 0x7F);
}

std::string_view opaque(std::string_view tag) {
  if (tag.substr(0, 2) == "W/") tag.remove_prefix(2);
  return tag;
}

}  // namespace

bool ifNoneMatchHits(std::string_view header, std::string_view tag) {
  const std::string_view want = opaque(tag);
  size_t i = 0;
  auto skipSpace = [&] {
    while (i < header.size() && isSpace(header[i])) ++i;
  };
  skipSpace();
  if (i < header.size() && header[i] == '*') {
    ++i;
    skipSpace();
    return i == header.size();
  }
  while (true) {
    // Empty list elements are allowed (", ,").
    while (i < header.size() && (header[i] == ',' || isSpace(header[i]))) ++i;
    if (i == header.size()) return false;
    const size_t start = i;
    if (header.substr(i, 2) == "W/") i += 2;
    if (i >= header.size() || header[i] != '"') return false;
    ++i;
    while (i < header.size() && isTagChar(header[i])) ++i;
    if (i >= header.size() || header[i] != '"') return false;
    ++i;
    const bool same = opaque(header.substr(start, i - start)) == want;
    skipSpace();
    if (i < header.size() && header[i] != ',') return false;
    if (same) return true;
  }
}
