#include "rocktree_util.h"

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
