#include "rocktree_ex.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include <turbojpeg.h>

// Non-JPEG image data (PNG, BMP, ...) still goes through stb_image. Its
// functions stay private to this file, so no other part of the program can
// clash with this copy of the implementation. JPEG data never reaches it:
// libjpeg-turbo decodes JPEG faster, and stb_image's JPEG decoder reads out
// of bounds on hostile streams.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_NO_JPEG
#define STBI_MAX_DIMENSIONS 8192  // = max_texture_side: refuse before allocating
#include <stb/stb_image.h>

#include "crn/crn.h"
#include "rocktree_util.h"

namespace {

// The largest texture side we accept. Larger sizes cannot be uploaded to GL
// anyway, and the size fields would otherwise let a tiny message make us
// allocate gigabytes (or wrap the DXT1 size arithmetic).
constexpr uint32_t max_texture_side = 8192;
// What all textures of one node may decode to. The service sends one
// 256x256 texture per node (192 KiB); without a bound, a message of many
// meshes with small but huge-announcing images could exhaust memory.
constexpr size_t max_node_texture_bytes = size_t{256} << 20;

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
  // A bulk comes back to population only after its release cleared both maps;
  // merge keeps any entry that is somehow already there, as insert would.
  bulk->nodes.merge(contents.nodes);
  bulk->bulks.merge(contents.bulks);
  bulk->_metadata.reset();
  bulk->setFinishedDownloading();
  return true;
}

namespace {

// One decompressor per worker thread: creating one per texture costs a
// noticeable share of a 256x256 decode. A stream that fails inside
// libjpeg-turbo can leave the handle unusable for the next one (a failed
// header read does), so after any failure the thread starts a fresh handle.
struct decompressor_t {
  tjhandle h = nullptr;
  ~decompressor_t() { reset(); }
  tjhandle get() {
    if (!h) h = tjInitDecompress();
    return h;
  }
  void reset() {
    if (h) tjDestroy(h);
    h = nullptr;
  }
};
thread_local decompressor_t decompressor;

const char* const jpg_size_check = "width == texture.width() && height == texture.height() && comp == 3";

void decodeWithStb(const std::string& data, const Texture& texture, std::vector<uint8_t>& rgb) {
  int width = 0, height = 0, comp = 0;
  stbi_uc* pixels = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(data.data()),
                                          static_cast<int>(data.size()), &width, &height, &comp, 0);
  requireData(pixels != NULL, "pixels != NULL");
  std::unique_ptr<stbi_uc, void (*)(void*)> owned(pixels, stbi_image_free);
  requireData(static_cast<uint32_t>(width) == texture.width() &&
                  static_cast<uint32_t>(height) == texture.height() && comp == 3,
              jpg_size_check);
  rgb.assign(pixels, pixels + static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
}

// CMYK to RGB as the viewer always did it (stb_image's rule): each colour
// times black, rounded to 8 bits.
uint8_t cmykChannel(unsigned colour, unsigned black) {
  const unsigned t = colour * black + 128;
  return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

// The checks and their texts are those of the image decoder this replaced:
// no pixels when the stream cannot be decoded, and three colour components
// (grayscale is refused; CMYK converts to RGB) of the announced size.
void decodeJpeg(const std::string& data, const Texture& texture, std::vector<uint8_t>& rgb) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  tjhandle tj = decompressor.get();
  requireData(tj != nullptr, "tjInitDecompress() != NULL");
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(tj, bytes, data.size(), &width, &height, &subsamp, &colorspace) != 0) {
    decompressor.reset();
    requireData(false, "pixels != NULL");
  }
  const int comp = colorspace == TJCS_GRAY ? 1 : 3;
  requireData(static_cast<uint32_t>(width) == texture.width() &&
                  static_cast<uint32_t>(height) == texture.height() && comp == 3,
              jpg_size_check);
  const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  std::vector<uint8_t> out(pixels * (cmyk ? 4 : 3));
  if (tjDecompress2(tj, bytes, data.size(), out.data(), width, 0, height, cmyk ? TJPF_CMYK : TJPF_RGB, 0) != 0) {
    // A warning (a premature end, say) still leaves every pixel written, as
    // far as the stream went; anything else leaves no image.
    const bool only_warned = tjGetErrorCode(tj) == TJERR_WARNING;
    decompressor.reset();
    requireData(only_warned, "pixels != NULL");
  }
  if (cmyk) {
    for (size_t i = 0; i < pixels; ++i) {
      const uint8_t* p = &out[4 * i];
      const uint8_t r = cmykChannel(p[0], p[3]), g = cmykChannel(p[1], p[3]), b = cmykChannel(p[2], p[3]);
      out[3 * i] = r;
      out[3 * i + 1] = g;
      out[3 * i + 2] = b;
    }
    out.resize(3 * pixels);
  }
  rgb = std::move(out);
}

void decodeJpgTexture(const std::string& data, const Texture& texture, std::vector<uint8_t>& rgb) {
  requireData(data.size() <= INT_MAX, "data.size() <= INT_MAX");
  // The JPEG start-of-image marker, as image decoders recognise JPEG data.
  const bool is_jpeg = data.size() >= 2 && static_cast<uint8_t>(data[0]) == 0xFF &&
                       static_cast<uint8_t>(data[1]) == 0xD8;
  if (is_jpeg) {
    decodeJpeg(data, texture, rgb);
  } else {
    decodeWithStb(data, texture, rgb);
  }
}

void decodeCrnTexture(const std::string& data, const Texture& texture, std::vector<uint8_t>& dxt1) {
  const uint32_t dst_size =
      crn_get_decompressed_size(data.data(), static_cast<uint32_t>(data.size()), 0);
  requireData(dst_size == ((texture.width() + 3) / 4) * ((texture.height() + 3) / 4) * 8,
              "dst_size == ((texture.width() + 3) / 4) * ((texture.height() + 3) / 4) * 8");
  dxt1.assign(dst_size, 0);
  crn_decompress(data.data(), static_cast<uint32_t>(data.size()), dxt1.data(), dst_size, 0);
}

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

struct node_contents_t {
  Eigen::Matrix4d matrix_globe_from_mesh;
  std::vector<mesh_t> meshes;
};

node_contents_t decodeNode(const node_t* node, const NodeData& data) {
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
  out.meshes.reserve(static_cast<size_t>(data.meshes_size()));
  for (const Mesh& mesh : data.meshes()) out.meshes.push_back(decodeMesh(mesh));
  return out;
}

}  // namespace

bool populateNode(node_t* node, std::unique_ptr<NodeData> node_data) {
  node_contents_t contents;
  try {
    contents = decodeNode(node, *node_data);
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
  if (node->meshes.empty()) {
    node->meshes = std::move(contents.meshes);
  } else {
    for (mesh_t& m : contents.meshes) node->meshes.push_back(std::move(m));
  }
  node->setFinishedDownloading();
  return true;
}
