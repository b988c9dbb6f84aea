// Request records, request paths and asynchronous retrieval of the three
// message kinds, with the two worker pools they run on.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "tree/tree.h"
#include "net/thread_pool.h"

// Decoding pool and download pool (sizes in viewer_settings.h); defined with
// the other process-wide objects in startup/process_objects.cpp, which fixes
// their order.
extern ThreadPool pool;
extern ThreadPool webpool;

// Texture formats the viewer decodes, in order of preference.
extern const Texture_Format supported[2];

BulkMetadataRequest createBulkMetadataRequest(const std::string& base_path, const std::string& path,
                                              int epoch);
// Throws decode_error when the service's data breaks the record's
// preconditions (a NODATA node, a bulk without a head key epoch).
NodeDataRequest createNodeDataRequest(const std::string& base_path, const BulkMetadata& bulk,
                                      const NodeMetadata& node_meta);

using planetoid_cb_t = std::function<void(std::unique_ptr<PlanetoidMetadata>)>;
using bulk_cb_t = std::function<void(std::unique_ptr<BulkMetadata>)>;
using node_cb_t = std::function<void(std::unique_ptr<NodeData>)>;

// What the request scheduler shares with one retrieval it started.
struct retrieval_ticket_t {
  // Set by the main thread: give the transfer up. A transfer under way ends
  // within one poll of its socket (closed); the record goes back to stub
  // without a back-off and without a diagnostic. One that has already
  // arrived goes on to population as usual.
  std::atomic<bool> abandon{false};
  // Set by the worker once the record has left dl_state_downloading, for
  // good or not: the retrieval no longer counts as in flight.
  std::atomic<bool> ended{false};
  // Called right after ended is set, on the same thread (set before the
  // retrieval starts, never changed after).
  std::function<void()> on_end;
};

// Runs on the calling thread and calls cb before it returns.
void getPlanetoid(planetoid_cb_t cb);
// The record is already dl_state_downloading. Main thread, or a worker
// refilling the request scheduler's slots. cb is called exactly once, after
// the record has left dl_state_downloading (with the message's contents
// already in the record: the message itself is not passed on), and then
// ticket->ended is set and ticket->on_end called.
void getBulk(BulkMetadataRequest req, bulk_t* b, bulk_cb_t cb, std::shared_ptr<retrieval_ticket_t> ticket = nullptr);
void getNode(NodeDataRequest req, node_t* n, node_cb_t cb, std::shared_ptr<retrieval_ticket_t> ticket = nullptr);

// Writes the 21-digit path of the point and a NUL into octant (>= 22 bytes).
void latLonToOctant(double lat, double lon, char* octant);
