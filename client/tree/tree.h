// The in-memory planet: one root record, bulks that own nodes and child
// bulks, and the download state that the render thread and the workers hand
// each record back and forth with.
//
// Who moves which transition (every store is a sequentially consistent
// atomic store; no compare-and-swap on a state, each transition has one writer
// at a time):
//
//   from         event                            method                 to           parent busy_ctr  thread
//   (new, 0)     created by population            setNotDownloadedYet    stub         -                creator
//   stub         the walk wants it                setQueued              queued       +1               main
//   queued       the scheduler gives it a slot    setDispatched          downloading  -                main, or the worker
//                                                                                                      that freed the slot*
//   queued       cancel: the walk no longer wants setCancelled           stub         -1               main*
//   stub         start-up requests the root bulk  setStartedDownloading  downloading  +1               main
//   downloading  population complete              setFinishedDownloading downloaded   -                worker
//   downloading  any failed retrieval             setFailedDownloading   stub         -1               worker
//   downloading  abandon: unwanted for a while,   setFailedDownloading   stub         -1               worker
//                transfer closed, no back-off
//   downloaded   evict: the memory budget         setDeleted             stub         -1               main
//                releases it
//
// * under the request scheduler's lock, which alone keeps the queue of
//   queued records: the walk's stub-to-queued store precedes the record's
//   entry into that queue, so no other thread has seen it before.
// A failed retrieval also arms the record's retry back-off (markRetrievalFailed)
// before the state store, so a walk that sees the stub also sees the delay;
// a cancelled or abandoned one does not (nothing went wrong with it).
// Workers write a record's contents only while it is downloading; the main
// thread reads them only after it has seen downloaded.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "viewer_settings.h"
#include "rocktree.pb.h"
#include "tree/packed_decoders.h"

using namespace geo_globetrotter_proto_rocktree;

enum dl_state {
  dl_state_stub = 1,
  dl_state_downloading = 2,
  dl_state_downloaded = 4,
  dl_state_queued = 8,  // wanted, waiting in the request scheduler for a slot
};

// Retry back-off of one record: after a failed retrieval the record may not
// be requested again before `not_before_ms` (on retryClockMs()). The delay is
// 1 s after the first failure and doubles per consecutive failure up to 60 s;
// a successful population resets it.
struct retry_backoff_t {
  std::atomic<int64_t> not_before_ms{0};
  std::atomic<int> failures{0};
};

// Milliseconds on a monotonic clock; the time base of every back-off.
int64_t retryClockMs();
// Delay that follows the given number of consecutive failures (1 = first).
int64_t retryDelayMs(int failures);
void noteRetrievalFailure(retry_backoff_t& b, int64_t now_ms);
void noteRetrievalSuccess(retry_backoff_t& b);
inline bool retryDue(const retry_backoff_t& b, int64_t now_ms) {
  return now_ms >= b.not_before_ms.load();
}

struct rocktree_t {
  enum texture_format {
    texture_format_rgb = 1,
    texture_format_dxt1 = 2,
  };

  struct bulk_t;

  struct node_t {
    struct mesh_t {
      std::vector<uint8_t> vertices;
      std::vector<uint16_t> indices;
      Eigen::Vector2f uv_offset;
      Eigen::Vector2f uv_scale;
      std::vector<uint8_t> texture;
      // Qualified: a member may not share an unqualified name with the type
      // it was declared with (GCC enforces it).
      rocktree_t::texture_format texture_format;
      int texture_width;
      int texture_height;
      unsigned vertex_buffer;
      unsigned index_buffer;
      unsigned texture_buffer;
      bool buffered;
    };

    NodeDataRequest request;
    bool can_have_data;
    std::atomic<::dl_state> dl_state;
    bulk_t* parent;
    float meters_per_texel;
    OrientedBoundingBox obb;
    std::unique_ptr<NodeData> _data;
    Eigen::Matrix4d matrix_globe_from_mesh;
    std::vector<mesh_t> meshes;
    size_t decoded_texture_bytes = 0;  // of meshes, taken from the tree's texture budget
    // What the node holds once drawn, for the memory budget: its geometry on
    // the CPU and on the GPU, its texture on one of them (the CPU copy goes
    // once uploaded). Written by population before the node is published.
    size_t resident_bytes = 0;
    retry_backoff_t backoff;

    void setNotDownloadedYet();
    void setQueued();
    void setDispatched();
    void setCancelled();
    void setStartedDownloading();
    void setFinishedDownloading();
    void setFailedDownloading();
    void setDeleted();
  };

  struct bulk_t {
    BulkMetadataRequest request;
    std::atomic<::dl_state> dl_state;
    bulk_t* parent;
    Eigen::Vector3f head_node_center;
    std::unique_ptr<BulkMetadata> _metadata;
    std::atomic<int> busy_ctr;
    std::map<std::string, std::unique_ptr<node_t>> nodes;
    std::map<std::string, std::unique_ptr<bulk_t>> bulks;
    // What its child records cost while it is downloaded, for the memory
    // budget. Written by population before the bulk is published.
    size_t resident_bytes = 0;
    retry_backoff_t backoff;

    void setNotDownloadedYet();
    void setQueued();
    void setDispatched();
    void setCancelled();
    void setStartedDownloading();
    void setFinishedDownloading();
    void setFailedDownloading();
    void setDeleted();
  };

  float radius;
  bulk_t* root_bulk;
  std::unique_ptr<PlanetoidMetadata> _metadata;
  std::atomic<bool> downloaded;
};

using bulk_t = rocktree_t::bulk_t;
using node_t = rocktree_t::node_t;
using mesh_t = rocktree_t::node_t::mesh_t;

// The decoded textures of all downloaded nodes share one budget
// (decoded_texture_budget_bytes at start; tests lower it). Population
// reserves a node's bytes before it decodes anything and refuses the node
// when they do not fit; dropNodeContents gives them back.
extern std::atomic<size_t> decoded_texture_budget;
// False, reserving nothing, when bytes would take the total over the budget.
bool reserveDecodedTextureBytes(size_t bytes);
void releaseDecodedTextureBytes(size_t bytes);
// Bytes reserved now, over all nodes.
size_t decodedTextureBytes();

// Frees what population gave a downloaded node (meshes, matrix, texture
// budget); GPU objects must already be released. Main thread, during release.
void dropNodeContents(node_t* n);

// Bytes the memory budget counts for a downloaded node with these meshes
// (see node_t::resident_bytes) and for a downloaded bulk with this many child
// records (the records themselves with their request keys, an estimate).
size_t nodeResidentBytes(const std::vector<mesh_t>& meshes);
size_t bulkResidentBytes(size_t nodes, size_t bulks);

// Once a mesh's texture is on the GPU its CPU copy is never read again (a
// mesh is only uploaded anew after its node was dropped and downloaded
// again): frees it. The texture budget keeps its bytes until dropNodeContents,
// since the GPU still holds them. Main thread, after the upload.
void dropUploadedTexture(mesh_t& m);

// Every failed retrieval of a record (transfer failure, unparsable response,
// message rejected by population) ends here: arm the back-off, then return
// the record to stub and uncount it in its parent.
void markRetrievalFailed(node_t* n);
void markRetrievalFailed(bulk_t* b);

// Full path of a record, as carried in its request key ("" for the root bulk).
inline const std::string& recordPath(const node_t* n) { return n->request.node_key().path(); }
inline const std::string& recordPath(const bulk_t* b) { return b->request.node_key().path(); }
