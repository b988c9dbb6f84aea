// Request records and paths: what population derives from a bulk's entries
// to ask for a node or child bulk, and the octant path of a point on the
// planet.
#pragma once

#include <string>

#include "rocktree.pb.h"

using namespace geo_globetrotter_proto_rocktree;

// Texture formats the viewer decodes, in order of preference.
extern const Texture_Format supported[2];

BulkMetadataRequest createBulkMetadataRequest(const std::string& base_path, const std::string& path,
                                              int epoch);
// Throws decode_error when the service's data breaks the record's
// preconditions (a NODATA node, a bulk without a head key epoch).
NodeDataRequest createNodeDataRequest(const std::string& base_path, const BulkMetadata& bulk,
                                      const NodeMetadata& node_meta);

// Writes the 21-digit path of the point and a NUL into octant (>= 22 bytes).
void latLonToOctant(double lat, double lon, char* octant);
