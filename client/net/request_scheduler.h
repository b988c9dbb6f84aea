// The request scheduler: between the frame's walk and the download pool.
// Every frame the walk hands over what it wants and does not have (its
// wishes, each with a priority); the scheduler ranks them, cancels queued
// wishes the walk dropped, and abandons transfers nobody has wanted for a
// while (main thread, once a frame). It keeps at most max_requests_in_flight
// retrievals under way: the thread that ends one starts the best-ranked
// queued record in its slot at once, so the rate of requests does not hang
// on the frame rate. Free of sockets and pools: retrievals start through
// retrieval_start_t, so hand-built trees drive all of it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <Eigen/Core>

#include "viewer_settings.h"
#include "net/request_wish.h"
#include "net/retrieval.h"
#include "tree/tree.h"

// How the scheduler starts a retrieval of a record it has moved to
// dl_state_downloading. The retrieval sets ticket->ended once the record has
// left that state, and gives the transfer up when ticket->abandon is set.
struct retrieval_start_t {
  std::function<void(bulk_t*, std::shared_ptr<retrieval_ticket_t>)> bulk;
  std::function<void(node_t*, std::shared_ptr<retrieval_ticket_t>)> node;
};

// The streaming engine's counters as one record: the "net:" line prints it,
// an overlay and the benchmarks read it. Totals count since start.
struct stream_stats_t {
  int in_flight;               // retrievals started and not yet ended (transfer and decode)
  int queued;                  // wanted records waiting for a slot
  int64_t cancelled;           // total: queued wishes dropped, and transfers abandoned
  int64_t abandoned;           // total: of those, transfers abandoned under way
  int64_t cache_bytes;         // bytes of downloaded records, selected or kept: what the memory budget bounds
  int64_t evicted;             // total: downloaded records the memory budget released
  int64_t reused_connections;  // total: requests sent on a kept-alive connection
  int64_t tls_handshakes_full;     // total: TLS handshakes that set up a new session
  int64_t tls_handshakes_resumed;  // total: TLS handshakes that resumed a session
  int64_t http2_connections;       // total: connections whose service chose HTTP/2
  int64_t http2_streams;           // total: requests sent as HTTP/2 streams
};

struct request_scheduler_t {
  size_t max_in_flight = max_requests_in_flight;
  size_t max_in_flight_http2 = max_requests_in_flight_http2;  // once a connection speaks HTTP/2
  size_t node_reserve = request_slots_for_nodes;
  uint64_t abandon_after = abandon_after_frames;

  // Guards everything below, and with it the transitions out of
  // dl_state_queued, which the main thread and the workers that end
  // retrievals both make. Never held while a retrieval starts.
  std::mutex m;
  const retrieval_start_t* start = nullptr;  // the last frame's, for refills
  uint64_t frame = 0;                        // the last frame scheduled
  bool stopped = false;                      // no refills from workers (exit)

  struct waiting_t {
    bulk_t* bulk;
    node_t* node;
    request_priority_t priority;
  };
  struct flight_t {
    bulk_t* bulk;
    node_t* node;
    uint64_t wanted_frame;  // the last frame whose walk wanted it
    std::shared_ptr<retrieval_ticket_t> ticket;
  };
  std::vector<waiting_t> queue;      // every record in dl_state_queued, best first
  std::vector<flight_t> in_flight;   // retrievals this scheduler started that have not ended
  stream_stats_t stats{};            // in_flight, queued, cancelled, abandoned (the rest: noteRelease)
  // Scratch space kept across frames so that a frame allocates nothing.
  std::vector<waiting_t> wished;
  std::vector<const void*> wished_keys;
};

// Once per frame on the main thread, after the walk that produced `wishes`
// (frame: that walk's number): ends the bookkeeping of retrievals that
// ended, cancels queued records the walk no longer wants (back to stub, no
// traffic, no back-off), abandons transfers not wanted for abandon_after
// frames, re-ranks the queue, and starts the best-ranked queued records
// while fewer than max_in_flight retrievals are under way; while nodes
// wait, bulks take at most max_in_flight - node_reserve of the slots.
// `start` must outlive the scheduler's use of it (refills use the last one).
void scheduleRequests(request_scheduler_t* s, const std::vector<request_wish_t>& wishes, uint64_t frame,
                      const retrieval_start_t& start);

// Called through a ticket's on_end by the thread that ends a retrieval the
// scheduler started: fills the free slots from the queue, as ranked in the
// last frame.
void onRetrievalEnded(request_scheduler_t* s);

// No more refills from workers: for the exit, before downloads are dropped.
void stopScheduling(request_scheduler_t* s);

// After the release of the same frame: what the memory budget holds and has
// released (the frame's evictions are added to the total).
void noteRelease(request_scheduler_t* s, int64_t cache_bytes, int evicted_this_frame);

// The counters, with the connections reused by the HTTP client filled in.
stream_stats_t streamStats(request_scheduler_t& s);

// "net: in_flight ..., reused_connections ...", the streaming line, with its newline.
std::string netLine(const stream_stats_t& stats);
