// Parsing of request targets. Every byte comes from the network: the parser
// accepts exactly the three request paths the viewer sends and nothing else
// (no query, no trailing entries, numbers in range), and says which.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum request_kind {
  request_kind_malformed = 0,
  request_kind_planetoid = 1,
  request_kind_bulk = 2,
  request_kind_node = 3,
};

struct parsed_request_t {
  request_kind kind = request_kind_malformed;
  std::string path;  // octant digits '0'..'7', at most max_request_path_length
  uint32_t epoch = 0;
  uint32_t texture_format = 0;  // a Texture.Format value, 1..6
  bool has_imagery_epoch = false;
  uint32_t imagery_epoch = 0;
};

// Longer paths than any client sends (the viewer's keys stay below 30).
constexpr size_t max_request_path_length = 32;

// Where every request path lives on the service.
constexpr std::string_view request_base = "/rt/earth/";

// Parses a request target such as "/rt/earth/NodeData/pb=!1m2!1s0213!2u1!2e1!4b0".
parsed_request_t parseRequestTarget(std::string_view target);

// The request paths (below request_base) the viewer asks for, in the form
// the parser accepts: "PlanetoidMetadata", "BulkMetadata/pb=!1m2!1sPATH!2uEPOCH"
// and "NodeData/pb=!1m2!1sPATH!2uEPOCH!2eFORMAT!4b0" (no imagery epoch: the
// planet's bulks do not ask for one).
std::string planetoidRequestPath();
std::string bulkRequestPath(const std::string& path, uint32_t epoch);
std::string nodeRequestPath(const std::string& path, uint32_t epoch, uint32_t texture_format);
