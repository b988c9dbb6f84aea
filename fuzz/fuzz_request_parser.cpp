// Request targets from the network: the parser must classify any bytes
// without crashing, and what it accepts must be exactly what it says.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "http/request_parser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The first byte may pick a well-formed prefix, so that the fuzzer spends
  // its runs in the entries rather than rediscovering the route names.
  static const char* const prefixes[] = {"", "/rt/earth/", "/rt/earth/BulkMetadata/pb=!1m2!1s",
                                         "/rt/earth/NodeData/pb=!1m2!1s"};
  std::string input;
  if (size > 0) {
    input = prefixes[data[0] % 4];
    input.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  }
  const std::string_view target(input);
  const parsed_request_t r = parseRequestTarget(target);
  if (r.kind == request_kind_malformed) return 0;
  // An accepted target is the canonical form of what was parsed.
  std::string canonical = "/rt/earth/";
  if (r.kind == request_kind_planetoid) {
    canonical += "PlanetoidMetadata";
  } else {
    canonical += r.kind == request_kind_bulk ? "BulkMetadata" : "NodeData";
    canonical += "/pb=!1m2!1s" + r.path + "!2u" + std::to_string(r.epoch);
    if (r.kind == request_kind_node) {
      canonical += "!2e" + std::to_string(r.texture_format);
      if (r.has_imagery_epoch) canonical += "!3u" + std::to_string(r.imagery_epoch);
      canonical += "!4b0";
    }
  }
  if (canonical != target) std::abort();
  if (r.path.size() > max_request_path_length) std::abort();
  for (char c : r.path)
    if (c < '0' || c > '7') std::abort();
  return 0;
}
