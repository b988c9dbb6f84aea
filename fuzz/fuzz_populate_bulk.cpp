// populateBulk on arbitrary bytes parsed as a BulkMetadata message. Either
// the bulk is populated and consistent, or it is back to a clean stub.
#include <cstdint>
#include <string>

#include "message_input.h"
#include "tree/population.h"
#include "test_messages.h"

using namespace test_messages;

namespace {

std::string goodBulk() {
  BulkMetadata m;
  m.mutable_head_node_key()->set_path("");
  m.mutable_head_node_key()->set_epoch(3);
  for (double c : {6371010.0, 10.0, -20.0}) m.add_head_node_center(c);
  for (float mpt : {100.0f, 50.0f, 25.0f, 12.5f}) m.add_meters_per_texel(mpt);
  m.set_default_available_texture_formats(33);
  m.set_default_imagery_epoch(5);
  const struct {
    const char* path;
    int flags;
  } entries[] = {{"0", 0}, {"01", 16}, {"012", 8}, {"0123", 0}, {"0124", 4}, {"0125", 12}};
  for (const auto& e : entries) {
    NodeMetadata* n = m.add_node_metadata();
    n->set_path_and_flags(packPathAndFlags(e.path, e.flags));
    n->set_oriented_bounding_box(packObb({1, 2, 3}, {4, 5, 6}, {7, 8, 9}));
  }
  return m.SerializeAsString();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string good = goodBulk();
  auto message = std::make_unique<BulkMetadata>();
  const std::string bytes = messageBytes(data, size, good);
  if (!message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) return 0;

  bulk_t root{};
  root.setNotDownloadedYet();
  root.busy_ctr = 0;
  bulk_t* bulk = new bulk_t();
  bulk->parent = &root;
  bulk->request.mutable_node_key()->set_path("2");
  bulk->setNotDownloadedYet();
  root.bulks.emplace("2", std::unique_ptr<bulk_t>(bulk));
  bulk->setStartedDownloading();

  if (populateBulk(bulk, std::move(message))) {
    if (bulk->dl_state.load() != dl_state_downloaded || root.busy_ctr.load() != 1) __builtin_trap();
    for (const auto& [key, n] : bulk->nodes)
      if (n->parent != bulk || n->dl_state.load() != dl_state_stub || key.empty() || key.size() > 4)
        __builtin_trap();
    for (const auto& [key, b] : bulk->bulks)
      if (b->parent != bulk || b->dl_state.load() != dl_state_stub || key.size() != 4 ||
          b->request.node_key().path() != "2" + key)
        __builtin_trap();
  } else {
    if (bulk->dl_state.load() != dl_state_stub || root.busy_ctr.load() != 0 || !bulk->nodes.empty() ||
        !bulk->bulks.empty())
      __builtin_trap();
  }
  if (bulk->_metadata) __builtin_trap();
  return 0;
}
