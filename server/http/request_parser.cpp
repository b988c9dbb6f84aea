#include "http/request_parser.h"

namespace {

bool consume(std::string_view& s, std::string_view prefix) {
  if (s.substr(0, prefix.size()) != prefix) return false;
  s.remove_prefix(prefix.size());
  return true;
}

// Unsigned decimal in canonical form (no sign, no leading zero unless "0")
// not above `max`.
bool consumeNumber(std::string_view& s, uint64_t max, uint32_t* out) {
  size_t i = 0;
  uint64_t v = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '9') {
    v = v * 10 + static_cast<uint64_t>(s[i] - '0');
    if (v > max) return false;
    ++i;
  }
  if (i == 0 || (i > 1 && s[0] == '0')) return false;
  s.remove_prefix(i);
  *out = static_cast<uint32_t>(v);
  return true;
}

bool consumePath(std::string_view& s, std::string* out) {
  size_t i = 0;
  while (i < s.size() && s[i] >= '0' && s[i] <= '7') ++i;
  if (i > max_request_path_length) return false;
  out->assign(s.substr(0, i));
  s.remove_prefix(i);
  return true;
}

}  // namespace

parsed_request_t parseRequestTarget(std::string_view target) {
  parsed_request_t r;
  std::string_view s = target;
  if (!consume(s, request_base)) return r;
  if (s == "PlanetoidMetadata") {
    r.kind = request_kind_planetoid;
    return r;
  }
  const bool bulk = consume(s, "BulkMetadata/pb=!1m2!1s");
  if (!bulk && !consume(s, "NodeData/pb=!1m2!1s")) return r;
  if (!consumePath(s, &r.path) || !consume(s, "!2u") || !consumeNumber(s, UINT32_MAX, &r.epoch))
    return r;
  if (bulk) {
    if (!s.empty()) return r;
    r.kind = request_kind_bulk;
    return r;
  }
  if (!consume(s, "!2e") || !consumeNumber(s, 6, &r.texture_format) || r.texture_format < 1)
    return r;
  if (consume(s, "!3u")) {
    if (!consumeNumber(s, UINT32_MAX, &r.imagery_epoch)) return r;
    r.has_imagery_epoch = true;
  }
  if (s != "!4b0") return r;
  r.kind = request_kind_node;
  return r;
}

std::string planetoidRequestPath() { return "PlanetoidMetadata"; }

std::string bulkRequestPath(const std::string& path, uint32_t epoch) {
  return "BulkMetadata/pb=!1m2!1s" + path + "!2u" + std::to_string(epoch);
}

std::string nodeRequestPath(const std::string& path, uint32_t epoch, uint32_t texture_format) {
  return "NodeData/pb=!1m2!1s" + path + "!2u" + std::to_string(epoch) + "!2e" +
         std::to_string(texture_format) + "!4b0";
}
