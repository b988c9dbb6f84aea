#include "tree/population.h"

#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <utility>

#include "viewer_settings.h"
#include "tree/paths.h"
#include "tree/texture_decoding.h"

namespace {

void reportRejection(const char* kind, const std::string& path, const char* check) {
  // One fprintf call: the stream lock keeps the line whole among workers.
  std::fprintf(stderr, "rejected %s \"%s\": %s\n", kind, path.c_str(), check);
}

}  // namespace

void populatePlanetoid(rocktree_t* planetoid, std::unique_ptr<PlanetoidMetadata> planetoid_metadata) {
  auto* bulk = new bulk_t();
  bulk->request = createBulkMetadataRequest("", "", planetoid_metadata->root_node_metadata().epoch());
  bulk->busy_ctr = 0;
  bulk->setNotDownloadedYet();
  planetoid->root_bulk = bulk;
  planetoid->radius = planetoid_metadata->radius();
  planetoid->downloaded.store(true);
}

namespace {

// Everything a bulk gains from one message; handed over only when the whole
// message passed its checks.
struct bulk_contents_t {
  Eigen::Vector3f head_node_center;
  std::map<std::string, std::unique_ptr<node_t>> nodes;
  std::map<std::string, std::unique_ptr<bulk_t>> bulks;
};

bulk_contents_t decodeBulk(bulk_t* bulk, const BulkMetadata& meta) {
  bulk_contents_t out;
  requireData(meta.head_node_center_size() >= 3, "bulk_metadata.head_node_center_size() >= 3");
  for (int i = 0; i < 3; ++i) out.head_node_center[i] = static_cast<float>(meta.head_node_center(i));
  const std::string& base_path = bulk->request.node_key().path();

  for (const NodeMetadata& node_meta : meta.node_metadata()) {
    const node_data_path_and_flags_t aux = unpackPathAndFlags(node_meta);
    const bool has_data = !(aux.flags & NodeMetadata_Flags_NODATA);
    const bool is_leaf = aux.flags & NodeMetadata_Flags_LEAF;

    if (std::strlen(aux.path) == 4 && !is_leaf) {
      const uint32_t epoch = node_meta.has_bulk_metadata_epoch() ? node_meta.bulk_metadata_epoch()
                                                                 : meta.head_node_key().epoch();
      auto b = std::make_unique<bulk_t>();
      b->setNotDownloadedYet();
      b->parent = bulk;
      b->request = createBulkMetadataRequest(base_path, aux.path, static_cast<int>(epoch));
      b->busy_ctr = 0;
      requireData(out.bulks.insert(std::make_pair(std::string(aux.path), std::move(b))).second,
                  "bulk->bulks.insert(std::make_pair(aux.path,std::move(b))).second");
    }

    if (!has_data && is_leaf) continue;
    if (!node_meta.has_oriented_bounding_box()) {
      std::puts("skip unknown node");
      continue;
    }

    float meters_per_texel;
    if (node_meta.has_meters_per_texel()) {
      meters_per_texel = node_meta.meters_per_texel();
    } else {
      requireData(aux.level - 1 < meta.meters_per_texel_size(),
                  "aux.level - 1 < bulk_metadata.meters_per_texel_size()");
      meters_per_texel = meta.meters_per_texel(aux.level - 1);
    }
    // The level-of-detail test keeps a node whose texel size is not a
    // positive number: the service could make the walk select a whole tree.
    requireData(std::isfinite(meters_per_texel) && meters_per_texel > 0,
                "meters_per_texel is finite and above 0");

    auto n = std::make_unique<node_t>();
    n->setNotDownloadedYet();
    n->parent = bulk;
    n->can_have_data = has_data;
    if (has_data) n->request = createNodeDataRequest(base_path, meta, node_meta);
    n->meters_per_texel = meters_per_texel;
    n->obb = unpackObb(node_meta.oriented_bounding_box(), out.head_node_center, meters_per_texel);
    requireData(out.nodes.insert(std::make_pair(std::string(aux.path), std::move(n))).second,
                "bulk->nodes.insert(std::make_pair(aux.path,std::move(n))).second");
  }
  return out;
}

}  // namespace

bool populateBulk(bulk_t* bulk, std::unique_ptr<BulkMetadata> bulk_metadata) {
  bulk->_metadata = std::move(bulk_metadata);
  bulk_contents_t contents;
  try {
    contents = decodeBulk(bulk, *bulk->_metadata);
  } catch (const decode_error& e) {
    bulk->_metadata.reset();
    reportRejection("bulk", recordPath(bulk), e.what());
    markRetrievalFailed(bulk);
    return false;
  } catch (const std::bad_alloc&) {
    bulk->_metadata.reset();
    reportRejection("bulk", recordPath(bulk), "out of memory");
    markRetrievalFailed(bulk);
    return false;
  }
  bulk->head_node_center = contents.head_node_center;
  bulk->resident_bytes = bulkResidentBytes(contents.nodes.size(), contents.bulks.size());
  // A bulk comes back to population only after its release cleared both maps;
  // merge keeps any entry that is somehow already there, as insert would.
  bulk->nodes.merge(contents.nodes);
  bulk->bulks.merge(contents.bulks);
  bulk->_metadata.reset();
  bulk->setFinishedDownloading();
  return true;
}

namespace {

mesh_t decodeMesh(const Mesh& mesh) {
  mesh_t m{};
  m.indices = unpackIndices(mesh.indices());
  m.vertices = unpackVertices(mesh.vertices());
  // The octant decoder counts in int; a buffer beyond that cannot be indexed
  // by 16-bit indices anyway.
  requireData(m.vertices.size() <= INT_MAX, "m.vertices.size() <= INT_MAX");
  unpackTexCoords(mesh.texture_coordinates(), m.vertices.data(), m.vertices.size(), m.uv_offset,
                  m.uv_scale);
  if (mesh.uv_offset_and_scale_size() == 4) {
    m.uv_offset = Eigen::Vector2f(mesh.uv_offset_and_scale(0), mesh.uv_offset_and_scale(1));
    m.uv_scale = Eigen::Vector2f(mesh.uv_offset_and_scale(2), mesh.uv_offset_and_scale(3));
  } else {
    // Images store their first row on top; the service counts v from below.
    m.uv_offset.y() = m.uv_offset.y() - 1.0f / m.uv_scale.y();
    m.uv_scale.y() = -m.uv_scale.y();
  }

  int layer_bounds[10];
  unpackOctantMaskAndOctantCountsAndLayerBounds(mesh.layer_and_octant_counts(), m.indices.data(),
                                                static_cast<int>(m.indices.size()), m.vertices.data(),
                                                static_cast<int>(m.vertices.size()), layer_bounds);
  requireData(0 <= layer_bounds[3] && static_cast<size_t>(layer_bounds[3]) <= m.indices.size(),
              "0 <= layer_bounds[3] && layer_bounds[3] <= m.indices.size()");
  // Only the overground and terrain layers are drawn.
  m.indices.resize(static_cast<size_t>(layer_bounds[3]));

  requireData(mesh.texture_size() == 1, "textures.size() == 1");
  const Texture& texture = mesh.texture(0);
  requireData(texture.data_size() == 1, "texture.data().size() == 1");
  const std::string& data = texture.data(0);
  switch (texture.format()) {
    case Texture_Format_JPG:
      decodeJpgTexture(data, texture, m.texture);
      m.texture_format = rocktree_t::texture_format_rgb;
      break;
    case Texture_Format_CRN_DXT1:
      decodeCrnTexture(data, texture, m.texture);
      m.texture_format = rocktree_t::texture_format_dxt1;
      break;
    default: {
      char line[64];
      std::snprintf(line, sizeof line, "unsupported texture format: %d", static_cast<int>(texture.format()));
      throw decode_error(line);
    }
  }
  m.texture_width = static_cast<int>(texture.width());
  m.texture_height = static_cast<int>(texture.height());
  m.buffered = false;
  return m;
}

// Bytes taken from the tree's decoded-texture budget for one message; given
// back unless the node keeps them.
struct texture_reservation_t {
  size_t bytes = 0;
  texture_reservation_t() = default;
  texture_reservation_t(const texture_reservation_t&) = delete;
  texture_reservation_t& operator=(const texture_reservation_t&) = delete;
  ~texture_reservation_t() { releaseDecodedTextureBytes(bytes); }
  size_t keep() { return std::exchange(bytes, 0); }
};

struct node_contents_t {
  Eigen::Matrix4d matrix_globe_from_mesh;
  std::vector<mesh_t> meshes;
};

node_contents_t decodeNode(const node_t* node, const NodeData& data, texture_reservation_t* reservation) {
  requireData(node->can_have_data, "node->can_have_data");
  requireData(data.matrix_globe_from_mesh_size() >= 16, "node_data.matrix_globe_from_mesh_size() >= 16");
  node_contents_t out;
  for (int k = 0; k < 16; ++k) out.matrix_globe_from_mesh(k % 4, k / 4) = data.matrix_globe_from_mesh(k);
  // Announced texture sizes are bounded before anything is decoded.
  size_t texture_bytes = 0;
  for (const Mesh& mesh : data.meshes()) {
    for (const Texture& texture : mesh.texture()) {
      requireData(texture.width() <= max_texture_side && texture.height() <= max_texture_side,
                  "texture.width() <= 8192 && texture.height() <= 8192");
      const size_t width = texture.width(), height = texture.height();
      texture_bytes += texture.format() == Texture_Format_CRN_DXT1 ? (width + 3) / 4 * ((height + 3) / 4) * 8
                                                                   : width * height * 3;
    }
  }
  requireData(texture_bytes <= max_node_texture_bytes, "decoded texture bytes of the node <= 256 MiB");
  requireData(reserveDecodedTextureBytes(texture_bytes),
              "decoded texture bytes of all nodes stay within the texture budget");
  reservation->bytes = texture_bytes;
  out.meshes.reserve(static_cast<size_t>(data.meshes_size()));
  for (const Mesh& mesh : data.meshes()) out.meshes.push_back(decodeMesh(mesh));
  return out;
}

}  // namespace

bool populateNode(node_t* node, std::unique_ptr<NodeData> node_data) {
  node_contents_t contents;
  texture_reservation_t reservation;
  try {
    contents = decodeNode(node, *node_data, &reservation);
  } catch (const decode_error& e) {
    reportRejection("node", recordPath(node), e.what());
    markRetrievalFailed(node);
    return false;
  } catch (const std::bad_alloc&) {
    reportRejection("node", recordPath(node), "out of memory");
    markRetrievalFailed(node);
    return false;
  }
  node_data.reset();
  node->matrix_globe_from_mesh = contents.matrix_globe_from_mesh;
  node->decoded_texture_bytes += reservation.keep();
  if (node->meshes.empty()) {
    node->meshes = std::move(contents.meshes);
  } else {
    for (mesh_t& m : contents.meshes) node->meshes.push_back(std::move(m));
  }
  node->resident_bytes = nodeResidentBytes(node->meshes);
  node->setFinishedDownloading();
  return true;
}
