#include "tree/paths.h"

#include "tree/packed_decoders.h"

const Texture_Format supported[2] = {Texture_Format_CRN_DXT1, Texture_Format_JPG};

BulkMetadataRequest createBulkMetadataRequest(const std::string& base_path, const std::string& path,
                                              int epoch) {
  BulkMetadataRequest req;
  req.mutable_node_key()->set_path(base_path + path);
  req.mutable_node_key()->set_epoch(epoch);
  return req;
}

NodeDataRequest createNodeDataRequest(const std::string& base_path, const BulkMetadata& bulk,
                                      const NodeMetadata& node_meta) {
  NodeDataRequest req;
  node_data_path_and_flags_t aux = unpackPathAndFlags(node_meta);
  requireData(!(aux.flags & NodeMetadata_Flags_NODATA), "!(aux.flags & NodeMetadata_Flags_NODATA)");

  uint32_t available = node_meta.has_available_texture_formats()
                           ? node_meta.available_texture_formats()
                           : bulk.default_available_texture_formats();
  Texture_Format format = Texture_Format_CRN_DXT1;
  for (Texture_Format f : supported) {
    if (available & (1u << (f - 1))) {
      format = f;
      break;
    }
  }
  req.set_texture_format(format);

  if (aux.flags & NodeMetadata_Flags_USE_IMAGERY_EPOCH) {
    req.set_imagery_epoch(node_meta.has_imagery_epoch() ? node_meta.imagery_epoch()
                                                        : bulk.default_imagery_epoch());
  }

  req.mutable_node_key()->set_path(base_path + aux.path);
  requireData(bulk.has_head_node_key() && bulk.head_node_key().has_epoch(),
              "bulk.has_head_node_key() && bulk.head_node_key().has_epoch()");
  req.mutable_node_key()->set_epoch(node_meta.has_epoch() ? node_meta.epoch()
                                                          : bulk.head_node_key().epoch());
  return req;
}

void latLonToOctant(double lat, double lon, char* octant) {
  struct llbounds_t {
    double n, s, w, e;
  };
  // The first two digits: hemisphere and quarter of longitude.
  static const char first[2][4][2] = {
      {{'0', '2'}, {'0', '3'}, {'1', '2'}, {'1', '3'}},  // south
      {{'2', '0'}, {'2', '1'}, {'3', '0'}, {'3', '1'}},  // north
  };
  const int north = lat >= 0.0 ? 1 : 0;
  const int quarter = lon < -90.0 ? 0 : lon < 0.0 ? 1 : lon < 90.0 ? 2 : 3;
  octant[0] = first[north][quarter][0];
  octant[1] = first[north][quarter][1];
  llbounds_t box{north ? 90.0 : 0.0, north ? 0.0 : -90.0, -180.0 + 90.0 * quarter,
                 -90.0 + 90.0 * quarter};

  for (int k = 2; k < MAX_LEVEL; ++k) {
    const double mid_lat = (box.n + box.s) * 0.5;
    const double mid_lon = (box.w + box.e) * 0.5;
    octant[k] = static_cast<char>('0' + (lat >= mid_lat ? 2 : 0) + (lon >= mid_lon ? 1 : 0));
    if (lat < mid_lat)
      box.n = mid_lat;
    else
      box.s = mid_lat;
    if (lon < mid_lon)
      box.e = mid_lon;
    else
      box.w = mid_lon;
  }
  octant[MAX_LEVEL] = '\0';
}
