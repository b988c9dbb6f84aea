// What rocktreed answers, independent of the HTTP library: a request target
// (and the request's If-None-Match) in, a status, headers and a body out.
// The front end in main.cpp only moves bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <semaphore>
#include <string>
#include <string_view>
#include <vector>

#include "http/metrics.h"
#include "http/response_cache.h"
#include "planet/terrain.h"

struct service_t {
  terrain_t terrain;
  uint32_t texture_formats = 0;  // bit (f - 1) for each Texture.Format f offered
  std::unique_ptr<ResponseCache> cache;
  ResponseCache::body_t planetoid;
  service_metrics_t metrics;
  // Bulk and node builds at once (the CPU's share); null: no limit.
  std::unique_ptr<std::counting_semaphore<>> build_slots;
};

// What the planet is made of: the built-in global rasters at the bottom and
// the user's files over them, each list bottom to top.
struct planet_inputs_t {
  std::string relief = default_relief_path;
  std::string imagery = default_imagery_path;
  std::vector<std::string> relief_layers, imagery_layers;
  // GMT's binned GSHHG files (coasts, lakes), and the finer base image
  // (planet/fine_image.h); empty: none.
  std::string gshhg_dir = default_gshhg_dir;
  std::string fine_imagery = default_fine_imagery_path;
  // Draw the countries' borders too (--borders).
  bool borders = false;
  // Draw the rivers (the GSHHG folder's river files); tests of other
  // layers turn them off to compare images without them.
  bool rivers = true;
};

// Checks the user's files (metadata only), reads the built-in rasters, sizes
// the caches from cache_bytes and prepares the planetoid answer; false with
// "PATH: reason".
bool openService(service_t* s, const planet_inputs_t& inputs, uint32_t texture_formats,
                 size_t cache_bytes, std::string* error);
// The built-in planet alone.
inline bool openService(service_t* s, const std::string& relief_path, const std::string& imagery_path,
                        uint32_t texture_formats, size_t cache_bytes, std::string* error) {
  return openService(s, planet_inputs_t{relief_path, imagery_path, {}, {}, default_gshhg_dir, default_fine_imagery_path},
                     texture_formats, cache_bytes, error);
}

struct service_response_t {
  int status = 500;
  ResponseCache::body_t body;  // the message for 200, a short text otherwise, empty for 304
  const char* content_type = "text/plain";
  const char* cache_control = "no-store";  // see http/caching_headers.h
  std::string etag;                        // 200 and 304 only
};

// Answers one GET: 200 with a serialized message (or 304 when
// `if_none_match` names its entity tag), 400 for a malformed target, 404 for
// a well-formed one that names no node, bulk, epoch or texture format of
// this planet; "/metrics" gives the counters. Every answer is counted.
service_response_t answerGet(service_t& s, std::string_view target, std::string_view if_none_match = {});

// The status and body answerGet gives a target under request_base, built
// afresh: no cache, no counters, no headers. What the static export writes.
service_response_t buildAnswer(const service_t& s, std::string_view target);

// Parses "jpg", "crn" or both, comma-separated in any order without
// repeats, into format bits.
bool parseTextureFormats(std::string_view list, uint32_t* bits);

// Appends the files of "a.tif,b.tif" (--relief, --imagery) to a list,
// skipping empty items; a file name cannot hold a comma here.
void appendFileList(std::string_view list, std::vector<std::string>* files);
