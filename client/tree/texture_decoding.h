// Texture data of a node's mesh to what the GPU takes: JPEG (and PNG or BMP,
// which a service may put in the JPEG slot) to tightly packed RGB rows, CRN
// to raw DXT1 blocks. The data comes from the service: a stream that cannot
// be decoded, or that does not match the announced size, throws
// decode_error with the failed check.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "rocktree.pb.h"

void decodeJpgTexture(const std::string& data, const geo_globetrotter_proto_rocktree::Texture& texture,
                      std::vector<uint8_t>& rgb);
void decodeCrnTexture(const std::string& data, const geo_globetrotter_proto_rocktree::Texture& texture,
                      std::vector<uint8_t>& dxt1);
