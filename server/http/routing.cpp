#include "http/routing.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "http/caching_headers.h"
#include "planet/user_layers.h"
#include "http/request_parser.h"
#include "planet/fine_image.h"
#include "planet/land_water_mask.h"
#include "planet/line_features.h"
#include "planet/shore_colour.h"
#include "planet/node_builder.h"
#include "rocktreed_settings.h"

namespace {

service_response_t answer(int status, ResponseCache::body_t body, const char* content_type,
                          const char* cache_control) {
  service_response_t r;
  r.status = status;
  r.body = std::move(body);
  r.content_type = content_type;
  r.cache_control = cache_control;
  return r;
}

service_response_t text(int status, const char* message) {
  return answer(status, std::make_shared<const std::string>(message), "text/plain", cache_control_no_store);
}

bool formatOffered(const service_t& s, uint32_t format) {
  return format >= 1 && format <= 32 && (s.texture_formats & (1u << (format - 1)));
}

answer_kind kindOf(request_kind k) {
  switch (k) {
    case request_kind_planetoid: return answer_kind_planetoid;
    case request_kind_bulk: return answer_kind_bulk;
    case request_kind_node: return answer_kind_node;
    default: return answer_kind_other;
  }
}

// The answer to a request that does not name something of this planet; a
// 200 status (with no body) when it does.
service_response_t check(const service_t& s, const parsed_request_t& req) {
  switch (req.kind) {
    case request_kind_malformed:
      return text(400, "malformed request\n");
    case request_kind_planetoid:
      break;
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
  return answer(200, nullptr, "", cache_control_no_store);
}

// The bytes of a checked bulk or node request; empty when the texture cannot
// be made in the asked format.
std::string build(const service_t& s, const parsed_request_t& req) {
  return req.kind == request_kind_bulk
             ? buildBulkMetadata(s.terrain, req.path, s.texture_formats)
             : buildNodeData(s.terrain, req.path, static_cast<int>(req.texture_format));
}

service_response_t notInThisFormat() { return text(404, "texture not available in this format\n"); }

service_response_t message(ResponseCache::body_t body, std::string_view if_none_match) {
  service_response_t r = answer(200, std::move(body), "application/octet-stream", cache_control_immutable);
  r.etag = entityTag(*r.body);
  if (!if_none_match.empty() && ifNoneMatchHits(if_none_match, r.etag)) {
    r.status = 304;
    r.body = std::make_shared<const std::string>();
  }
  return r;
}

// Rivers and borders over the shore textures, when their files are there.
void openLines(const std::string& dir, bool borders, terrain_t* t) {
  std::string note;
  t->lines = LineFeatures::open(dir, borders, &note);
  if (!note.empty())
    std::fprintf(stderr, "rocktreed: rivers: %s%s\n", note.c_str(), t->lines ? "" : " (serving the planet without them)");
  if (borders && t->lines && !t->lines->hasBorders())
    std::fprintf(stderr, "rocktreed: --borders: no binned_border_*.nc in %s (serving the planet without them)\n", dir.c_str());
}

// GSHHG's coasts and lakes, when the files are there (a missing or broken
// one is one line, and the planet goes on without it). Returns the bytes
// its bin caches (shorelines, rivers) may keep.
size_t openShore(const std::string& dir, bool rivers, bool borders, size_t cache_bytes, terrain_t* t) {
  if (dir.empty()) return 0;
  const size_t bytes = std::max<size_t>(cache_bytes / shore_cache_share_den * shore_cache_share_num, 1 << 20);
  std::string note;
  t->shoreline = Shoreline::open(dir, bytes, &note);
  if (!note.empty())
    std::fprintf(stderr, "rocktreed: coastlines: %s%s\n", note.c_str(),
                 t->shoreline ? "" : " (install gmt-gshhg-full for sharp coasts and lakes; serving the planet without them)");
  if (!t->shoreline) return 0;
  prepareShoreColours(t);
  if (rivers) openLines(dir, borders, t);
  return bytes + (t->lines ? line_cache_bytes : 0);
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
  std::string why;
  if (!inputs.fine_imagery.empty() && !blendFineImage(inputs.fine_imagery, &s->terrain, &why))
    std::fprintf(stderr, "rocktreed: finer base image: %s (install kstars-data for it; serving the planet without it)\n",
                 why.c_str());
  const size_t shore_bytes = openShore(inputs.gshhg_dir, inputs.rivers, inputs.borders, cache_bytes, &s->terrain);
  s->texture_formats = texture_formats;
  const size_t answers = cache_bytes / cache_share_den * cache_share_num;
  s->cache = std::make_unique<ResponseCache>(answers - std::min(answers, gdal_bytes + shore_bytes));
  s->planetoid = std::make_shared<const std::string>(buildPlanetoidMetadata(s->terrain));
  return true;
}

service_response_t answerGet(service_t& s, std::string_view target, std::string_view if_none_match) {
  if (target == "/metrics") {
    countRequest(s.metrics, answer_kind_metrics, 200);
    return answer(200, std::make_shared<const std::string>(renderMetrics(s.metrics, *s.cache)),
                  "text/plain; version=0.0.4", cache_control_no_store);
  }
  const parsed_request_t req = parseRequestTarget(target);
  const answer_kind kind = kindOf(req.kind);
  service_response_t r = check(s, req);
  if (r.status == 200) {
    ResponseCache::body_t body;
    if (req.kind == request_kind_planetoid) {
      body = s.planetoid;
    } else {
      const std::string key(target);
      body = s.cache->find(key);
      if (body) {
        s.metrics.cache_hits.fetch_add(1, std::memory_order_relaxed);
      } else {
        s.metrics.cache_misses.fetch_add(1, std::memory_order_relaxed);
        if (s.build_slots) s.build_slots->acquire();
        const auto start = std::chrono::steady_clock::now();
        std::string bytes = build(s, req);
        if (s.build_slots) s.build_slots->release();
        countBuild(kind == answer_kind_bulk ? s.metrics.bulk_builds : s.metrics.node_builds,
                   static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                             std::chrono::steady_clock::now() - start)
                                             .count()));
        if (!bytes.empty()) {
          body = std::make_shared<const std::string>(std::move(bytes));
          s.cache->insert(key, body);
        }
      }
    }
    r = body ? message(std::move(body), if_none_match) : notInThisFormat();
  }
  countRequest(s.metrics, kind, r.status);
  return r;
}

service_response_t buildAnswer(const service_t& s, std::string_view target) {
  const parsed_request_t req = parseRequestTarget(target);
  service_response_t r = check(s, req);
  if (r.status != 200) return r;
  if (req.kind == request_kind_planetoid)
    return answer(200, s.planetoid, "application/octet-stream", cache_control_immutable);
  std::string bytes = build(s, req);
  if (bytes.empty()) return notInThisFormat();
  return answer(200, std::make_shared<const std::string>(std::move(bytes)), "application/octet-stream",
                cache_control_immutable);
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
