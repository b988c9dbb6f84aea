// populateNode on arbitrary bytes parsed as a NodeData message. Either the
// node holds meshes the GPU can take as they are, or it is back to a clean
// stub.
#include <cstdint>
#include <string>

#include "message_input.h"
#include "tree/population.h"
#include "test_messages.h"

using namespace test_messages;

namespace {

std::string goodNode() {
  NodeData nd = nodeDataWithMatrix();
  Mesh* jpeg_mesh = nd.add_meshes();
  fillMesh(jpeg_mesh, gridMesh(4, 2), 300, 200);
  setTexture(jpeg_mesh, Texture_Format_JPG, makeJpeg(16, 8, 3), 16, 8);
  Mesh* png_mesh = nd.add_meshes();
  fillMesh(png_mesh, gridMesh(3));
  setTexture(png_mesh, Texture_Format_JPG, makePng(4, 4, 3), 4, 4);
  for (float f : {0.0f, 0.0f, 1.0f, 1.0f}) png_mesh->add_uv_offset_and_scale(f);
  Mesh* crn_mesh = nd.add_meshes();
  fillMesh(crn_mesh, gridMesh(2));
  setTexture(crn_mesh, Texture_Format_CRN_DXT1, std::string(64, '\x11'), 8, 8);
  return nd.SerializeAsString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string good = goodNode();
  auto message = std::make_unique<NodeData>();
  const std::string bytes = messageBytes(data, size, good);
  if (!message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) return 0;

  bulk_t bulk{};
  bulk.setNotDownloadedYet();
  bulk.busy_ctr = 0;
  node_t node{};
  node.parent = &bulk;
  node.can_have_data = true;
  node.request.mutable_node_key()->set_path("0123");
  node.setNotDownloadedYet();
  node.setStartedDownloading();

  if (populateNode(&node, std::move(message))) {
    if (node.dl_state.load() != dl_state_downloaded || bulk.busy_ctr.load() != 1) __builtin_trap();
    for (const mesh_t& m : node.meshes) {
      // Every index that will be drawn names a vertex of the buffer.
      const size_t vertex_count = m.vertices.size() / sizeof(vertex_t);
      for (uint16_t i : m.indices)
        if (i >= vertex_count) __builtin_trap();
      const size_t w = static_cast<size_t>(m.texture_width), h = static_cast<size_t>(m.texture_height);
      const size_t expected = m.texture_format == rocktree_t::texture_format_rgb ? w * h * 3
                                                                                   : (w + 3) / 4 * ((h + 3) / 4) * 8;
      if (m.texture.size() != expected || m.buffered) __builtin_trap();
    }
    // Its texture bytes go back to the budget, or later runs would all be
    // refused once the reservations of earlier ones filled it.
    dropNodeContents(&node);
  } else {
    if (node.dl_state.load() != dl_state_stub || bulk.busy_ctr.load() != 0 || !node.meshes.empty())
      __builtin_trap();
  }
  return 0;
}
