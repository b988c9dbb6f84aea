#include "http/routing.h"

#include <algorithm>

#include "planet/node_builder.h"
#include "planet/user_layers.h"
#include "http/request_parser.h"
#include "rocktreed_settings.h"

namespace {

service_response_t text(int status, const char* message) {
  return {status, std::make_shared<const std::string>(message)};
}

bool formatOffered(const service_t& s, uint32_t format) {
  return format >= 1 && format <= 32 && (s.texture_formats & (1u << (format - 1)));
}

}  // namespace

bool openService(service_t* s, const planet_inputs_t& inputs, uint32_t texture_formats,
                 size_t cache_bytes, std::string* error) {
  // --cache-mb bounds all the memory the service grows by while serving:
  // the response cache and, with user layers, GDAL's block cache each keep
  // their share of it.
  const bool layers = !inputs.relief_layers.empty() || !inputs.imagery_layers.empty();
  const size_t gdal_bytes = layers ? cache_bytes / gdal_cache_share_den * gdal_cache_share_num : 0;
  // The user's files first: a bad one is reported before the built-in
  // rasters take their second to read.
  setGdalCacheBytes(std::max<size_t>(gdal_bytes, 1 << 20));
  if (!openUserLayers(inputs.relief_layers, inputs.imagery_layers, &s->terrain, error)) return false;
  if (!loadTerrain(inputs.relief, inputs.imagery, &s->terrain, error)) return false;
  s->texture_formats = texture_formats;
  s->cache = std::make_unique<ResponseCache>(cache_bytes / cache_share_den * cache_share_num - gdal_bytes);
  s->planetoid = std::make_shared<const std::string>(buildPlanetoidMetadata(s->terrain));
  return true;
}

service_response_t answerGet(service_t& s, std::string_view target) {
  const parsed_request_t req = parseRequestTarget(target);
  switch (req.kind) {
    case request_kind_malformed:
      return text(400, "malformed request\n");
    case request_kind_planetoid:
      return {200, s.planetoid};
    case request_kind_bulk:
      if (req.epoch != planet_epoch) return text(404, "no bulk of this epoch\n");
      if (!bulkExists(s.terrain, req.path)) return text(404, "no such bulk\n");
      break;
    case request_kind_node:
      if (req.epoch != planet_epoch) return text(404, "no node of this epoch\n");
      if (req.has_imagery_epoch && req.imagery_epoch != planet_imagery_epoch)
        return text(404, "no imagery of this epoch\n");
      if (!formatOffered(s, req.texture_format)) return text(404, "texture format not offered\n");
      if (!nodeExists(s.terrain, req.path)) return text(404, "no such node\n");
      break;
  }
  const std::string key(target);
  if (ResponseCache::body_t hit = s.cache->find(key)) return {200, hit};
  std::string bytes = req.kind == request_kind_bulk
                          ? buildBulkMetadata(s.terrain, req.path, s.texture_formats)
                          : buildNodeData(s.terrain, req.path, static_cast<int>(req.texture_format));
  if (bytes.empty()) return text(404, "texture not available in this format\n");
  auto body = std::make_shared<const std::string>(std::move(bytes));
  s.cache->insert(key, body);
  return {200, body};
}

bool parseTextureFormats(std::string_view list, uint32_t* bits) {
  uint32_t out = 0;
  while (true) {
    const size_t comma = list.find(',');
    const std::string_view item = list.substr(0, comma);
    uint32_t bit = item == "jpg" ? 1u << 0 : item == "crn" ? 1u << 5 : 0;
    if (!bit || (out & bit)) return false;
    out |= bit;
    if (comma == std::string_view::npos) break;
    list.remove_prefix(comma + 1);
  }
  *bits = out;
  return true;
}

void appendFileList(std::string_view list, std::vector<std::string>* files) {
  while (!list.empty()) {
    const size_t comma = std::min(list.find(','), list.size());
    if (comma > 0) files->emplace_back(list.substr(0, comma));
    list.remove_prefix(std::min(comma + 1, list.size()));
  }
}
