#include "tree/tree.h"

#include <algorithm>
#include <chrono>
#include <utility>

int64_t retryClockMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int64_t retryDelayMs(int failures) {
  if (failures <= 1) return retry_first_delay_ms;
  int64_t d = retry_first_delay_ms;
  for (int i = 1; i < failures && d < retry_max_delay_ms; ++i) d *= 2;
  return std::min(d, retry_max_delay_ms);
}

void noteRetrievalFailure(retry_backoff_t& b, int64_t now_ms) {
  int f = b.failures.fetch_add(1) + 1;
  b.not_before_ms.store(now_ms + retryDelayMs(f));
}

void noteRetrievalSuccess(retry_backoff_t& b) {
  b.failures.store(0);
  b.not_before_ms.store(0);
}

// The parent's counter is raised before the state is published and lowered
// after the stub is published, so a bulk's busy_ctr never undercounts the
// children that are in flight or loaded.
#define ROCKTREE_STATE_METHODS(T)                                          \
  void T::setNotDownloadedYet() { dl_state.store(dl_state_stub); }         \
  void T::setQueued() {                                                    \
    if (parent) parent->busy_ctr.fetch_add(1);                             \
    dl_state.store(dl_state_queued);                                       \
  }                                                                        \
  void T::setDispatched() { dl_state.store(dl_state_downloading); }        \
  void T::setCancelled() {                                                 \
    dl_state.store(dl_state_stub);                                         \
    if (parent) parent->busy_ctr.fetch_sub(1);                             \
  }                                                                        \
  void T::setStartedDownloading() {                                        \
    if (parent) parent->busy_ctr.fetch_add(1);                             \
    dl_state.store(dl_state_downloading);                                  \
  }                                                                        \
  void T::setFinishedDownloading() {                                       \
    noteRetrievalSuccess(backoff);                                         \
    dl_state.store(dl_state_downloaded);                                   \
  }                                                                        \
  void T::setFailedDownloading() {                                         \
    dl_state.store(dl_state_stub);                                         \
    if (parent) parent->busy_ctr.fetch_sub(1);                             \
  }                                                                        \
  void T::setDeleted() {                                                   \
    dl_state.store(dl_state_stub);                                         \
    if (parent) parent->busy_ctr.fetch_sub(1);                             \
  }

ROCKTREE_STATE_METHODS(rocktree_t::node_t)
ROCKTREE_STATE_METHODS(rocktree_t::bulk_t)

std::atomic<size_t> decoded_texture_budget{decoded_texture_budget_bytes};

namespace {
std::atomic<size_t> decoded_texture_total{0};
}  // namespace

bool reserveDecodedTextureBytes(size_t bytes) {
  size_t total = decoded_texture_total.load();
  do {
    if (bytes > decoded_texture_budget.load() || total > decoded_texture_budget.load() - bytes) return false;
  } while (!decoded_texture_total.compare_exchange_weak(total, total + bytes));
  return true;
}

void releaseDecodedTextureBytes(size_t bytes) {
  if (bytes) decoded_texture_total.fetch_sub(bytes);
}

size_t decodedTextureBytes() { return decoded_texture_total.load(); }

void dropNodeContents(node_t* n) {
  n->_data.reset();
  n->matrix_globe_from_mesh.setZero();
  std::vector<mesh_t>().swap(n->meshes);
  releaseDecodedTextureBytes(std::exchange(n->decoded_texture_bytes, 0));
}

size_t nodeResidentBytes(const std::vector<mesh_t>& meshes) {
  size_t bytes = 0;
  for (const mesh_t& m : meshes)
    bytes += 2 * (m.vertices.size() + m.indices.size() * sizeof(uint16_t)) + m.texture.size();
  return bytes;
}

namespace {
// A child record's share of a bulk beyond its own size: the map entry, its
// key and the request key's strings.
constexpr size_t record_overhead_bytes = 128;
}  // namespace

size_t bulkResidentBytes(size_t nodes, size_t bulks) {
  return nodes * (sizeof(node_t) + record_overhead_bytes) + bulks * (sizeof(bulk_t) + record_overhead_bytes);
}

void dropUploadedTexture(mesh_t& m) { std::vector<uint8_t>().swap(m.texture); }

void markRetrievalFailed(node_t* n) {
  noteRetrievalFailure(n->backoff, retryClockMs());
  n->setFailedDownloading();
}

void markRetrievalFailed(bulk_t* b) {
  noteRetrievalFailure(b->backoff, retryClockMs());
  b->setFailedDownloading();
}
