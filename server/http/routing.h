// What rocktreed answers, independent of the HTTP library: a request target
// in, a status and a body out. The front end in main.cpp only moves bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "http/response_cache.h"
#include "planet/terrain.h"

struct service_t {
  terrain_t terrain;
  uint32_t texture_formats = 0;  // bit (f - 1) for each Texture.Format f offered
  std::unique_ptr<ResponseCache> cache;
  ResponseCache::body_t planetoid;
};

// What the planet is made of: the built-in global rasters at the bottom and
// the user's files over them, each list bottom to top.
struct planet_inputs_t {
  std::string relief = default_relief_path;
  std::string imagery = default_imagery_path;
  std::vector<std::string> relief_layers, imagery_layers;
};

// Checks the user's files (metadata only), reads the built-in rasters, sizes
// the caches from cache_bytes and prepares the planetoid answer; false with
// "PATH: reason".
bool openService(service_t* s, const planet_inputs_t& inputs, uint32_t texture_formats,
                 size_t cache_bytes, std::string* error);
// The built-in planet alone.
inline bool openService(service_t* s, const std::string& relief_path, const std::string& imagery_path,
                        uint32_t texture_formats, size_t cache_bytes, std::string* error) {
  return openService(s, planet_inputs_t{relief_path, imagery_path, {}, {}}, texture_formats, cache_bytes,
                     error);
}

struct service_response_t {
  int status = 500;
  ResponseCache::body_t body;  // the message for 200, a short text otherwise
};

// Answers one GET: 200 with a serialized message, 400 for a malformed
// target, 404 for a well-formed one that names no node, bulk, epoch or
// texture format of this planet.
service_response_t answerGet(service_t& s, std::string_view target);

// Parses "jpg" or "jpg,crn" (any order, no repeats) into format bits.
bool parseTextureFormats(std::string_view list, uint32_t* bits);

// Appends the files of "a.tif,b.tif" (--relief, --imagery) to a list,
// skipping empty items; a file name cannot hold a comma here.
void appendFileList(std::string_view list, std::vector<std::string>* files);
