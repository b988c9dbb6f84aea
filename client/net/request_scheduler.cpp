#include "net/request_scheduler.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "net/http_client.h"

namespace {

const void* recordOf(bulk_t* bulk, node_t* node) {
  return bulk ? static_cast<const void*>(bulk) : static_cast<const void*>(node);
}

dl_state stateOf(bulk_t* bulk, node_t* node) { return bulk ? bulk->dl_state.load() : node->dl_state.load(); }

using flight_t = request_scheduler_t::flight_t;
using waiting_t = request_scheduler_t::waiting_t;

struct start_t {
  bulk_t* bulk;
  node_t* node;
  std::shared_ptr<retrieval_ticket_t> ticket;
};

// Moves the best-ranked queued records into the free slots: queued to
// downloading, a ticket each; the caller starts them once the lock is
// released. While nodes wait, bulks leave them node_reserve slots: flying
// over new ground finds new bulks every frame, and a picture whose nodes wait
// for every last bulk stays coarse while the data streams in.
void dispatchLocked(request_scheduler_t* s, size_t cap, size_t free, std::vector<start_t>* starts) {
  size_t bulks_in_flight = 0;
  for (const flight_t& f : s->in_flight) bulks_in_flight += f.bulk != nullptr;
  const bool nodes_wait = s->queue.back().node != nullptr;  // nodes sort last
  const size_t bulk_cap = !nodes_wait ? cap : cap > s->node_reserve ? cap - s->node_reserve : 1;
  size_t bulk_free = bulk_cap > bulks_in_flight ? bulk_cap - bulks_in_flight : 0;
  size_t kept = 0;
  for (size_t k = 0; k < s->queue.size(); ++k) {
    const waiting_t w = s->queue[k];
    if (free == 0 || (w.bulk && bulk_free == 0)) {
      s->queue[kept++] = w;
      continue;
    }
    --free;
    bulk_free -= w.bulk != nullptr;
    auto ticket = std::make_shared<retrieval_ticket_t>();
    // The slot is refilled by whichever thread ends the retrieval.
    ticket->on_end = [s] { onRetrievalEnded(s); };
    s->in_flight.push_back({w.bulk, w.node, s->frame, ticket});
    if (w.bulk)
      w.bulk->setDispatched();
    else
      w.node->setDispatched();
    starts->push_back({w.bulk, w.node, std::move(ticket)});
  }
  s->queue.resize(kept);
}

// Frees the slots of ended retrievals, fills them from the queue and
// updates the counts (under the lock).
void takeLocked(request_scheduler_t* s, std::vector<start_t>* starts) {
  std::erase_if(s->in_flight, [](const flight_t& f) { return f.ticket->ended.load(); });
  // Requests over HTTP/2 share one connection: more of them at once cost
  // no connections, and hide more round trips.
  const size_t cap = httpConnectionStats().http2_connections > 0 ? std::max(s->max_in_flight, s->max_in_flight_http2)
                                                                  : s->max_in_flight;
  size_t free = cap > s->in_flight.size() ? cap - s->in_flight.size() : 0;
  if (free > 0 && !s->queue.empty()) dispatchLocked(s, cap, free, starts);
  s->stats.in_flight = static_cast<int>(s->in_flight.size());
  s->stats.queued = static_cast<int>(s->queue.size());
}

// Outside the lock: a start may end its retrieval at once (a refused path),
// and that ending takes the lock again to fill the slot.
void startAll(const retrieval_start_t& start, std::vector<start_t>& starts) {
  for (start_t& x : starts) {
    if (x.bulk)
      start.bulk(x.bulk, std::move(x.ticket));
    else
      start.node(x.node, std::move(x.ticket));
  }
}

}  // namespace

void scheduleRequests(request_scheduler_t* s, const std::vector<request_wish_t>& wishes, uint64_t frame,
                      const retrieval_start_t& start) {
  std::vector<start_t> starts;
  {
    std::lock_guard<std::mutex> lock(s->m);
    s->frame = frame;
    s->start = &start;
    // Retrievals that ended, well or not, free their slots. Only the ticket
    // is read: the record may have been released since.
    std::erase_if(s->in_flight, [](const flight_t& f) { return f.ticket->ended.load(); });

    // What the walk wants this frame: queued records go into the new
    // ranking, downloading ones keep their transfer alive.
    s->wished.clear();
    s->wished_keys.clear();
    for (const request_wish_t& w : wishes) {
      const dl_state state = stateOf(w.bulk, w.node);
      const void* key = recordOf(w.bulk, w.node);
      if (state == dl_state_queued) {
        s->wished.push_back({w.bulk, w.node, w.priority});
        s->wished_keys.push_back(key);
      } else if (state == dl_state_downloading) {
        for (flight_t& f : s->in_flight)
          if (recordOf(f.bulk, f.node) == key) f.wanted_frame = frame;
      }
    }

    // Queued records the walk no longer wants go back to stub at once: no
    // worker has seen them, so nothing needs to be undone.
    std::sort(s->wished_keys.begin(), s->wished_keys.end());
    for (const waiting_t& q : s->queue) {
      if (std::binary_search(s->wished_keys.begin(), s->wished_keys.end(), recordOf(q.bulk, q.node))) continue;
      if (q.bulk)
        q.bulk->setCancelled();
      else
        q.node->setCancelled();
      ++s->stats.cancelled;
    }

    // Transfers for views that are gone hold slots the current view needs.
    for (flight_t& f : s->in_flight) {
      if (f.ticket->abandon.load() || frame - f.wanted_frame < s->abandon_after) continue;
      f.ticket->abandon.store(true);
      ++s->stats.abandoned;
      ++s->stats.cancelled;
    }

    std::sort(s->wished.begin(), s->wished.end(), [](const auto& a, const auto& b) { return a.priority < b.priority; });
    s->queue.swap(s->wished);
    takeLocked(s, &starts);
  }
  startAll(start, starts);
}

void onRetrievalEnded(request_scheduler_t* s) {
  std::vector<start_t> starts;
  const retrieval_start_t* start;
  {
    std::lock_guard<std::mutex> lock(s->m);
    start = s->start;
    if (s->stopped || !start) return;
    takeLocked(s, &starts);
  }
  startAll(*start, starts);
}

void stopScheduling(request_scheduler_t* s) {
  std::lock_guard<std::mutex> lock(s->m);
  s->stopped = true;
}

void noteRelease(request_scheduler_t* s, int64_t cache_bytes, int evicted_this_frame) {
  std::lock_guard<std::mutex> lock(s->m);
  s->stats.cache_bytes = cache_bytes;
  s->stats.evicted += evicted_this_frame;
}

stream_stats_t streamStats(request_scheduler_t& s) {
  stream_stats_t out;
  {
    std::lock_guard<std::mutex> lock(s.m);
    out = s.stats;
  }
  const http_connection_stats_t connections = httpConnectionStats();
  out.reused_connections = connections.requests_on_reused;
  out.tls_handshakes_full = connections.tls_handshakes_full;
  out.tls_handshakes_resumed = connections.tls_handshakes_resumed;
  out.http2_connections = connections.http2_connections;
  out.http2_streams = connections.http2_streams;
  return out;
}

std::string netLine(const stream_stats_t& s) {
  char buf[256];
  std::snprintf(buf, sizeof buf,
                "net: in_flight %d, queued %d, cancelled %lld, cache_bytes %lld, evicted %lld, reused_connections %lld\n",
                s.in_flight, s.queued, static_cast<long long>(s.cancelled), static_cast<long long>(s.cache_bytes),
                static_cast<long long>(s.evicted), static_cast<long long>(s.reused_connections));
  std::string line(buf, std::strlen(buf) - 1);
  // Only a run that spoke TLS says so: a plain run's line stays as it was.
  if (s.tls_handshakes_full || s.tls_handshakes_resumed) {
    std::snprintf(buf, sizeof buf, ", tls_handshakes %lld full %lld resumed",
                  static_cast<long long>(s.tls_handshakes_full), static_cast<long long>(s.tls_handshakes_resumed));
    line += buf;
  }
  // And only a run that spoke HTTP/2: its connections and the streams on them.
  if (s.http2_connections) {
    std::snprintf(buf, sizeof buf, ", http2 %lld connections %lld streams", static_cast<long long>(s.http2_connections),
                  static_cast<long long>(s.http2_streams));
    line += buf;
  }
  return line + "\n";
}
