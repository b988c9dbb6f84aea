// If-None-Match values from the network: any bytes must be classified
// without crashing or reading past the value, and a match must really name
// the answer's tag (or be "*").
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/caching_headers.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte picks the answer (so that the fuzzer can find its tag in
  // the rest), the rest is the header value, copied so that reading past it
  // is caught.
  if (size == 0) return 0;
  const std::string tag = entityTag(std::string_view(reinterpret_cast<const char*>(data), 1));
  const std::string header(reinterpret_cast<const char*>(data) + 1, size - 1);
  const bool hits = ifNoneMatchHits(header, tag);
  if (hits && header.find('*') == std::string::npos && header.find(tag) == std::string::npos) std::abort();
  // A tag that matched still matches after another tag in front of it.
  if (hits && header.find('*') == std::string::npos && !ifNoneMatchHits("\"other\", " + header, tag)) std::abort();
  return 0;
}
