#include "net/retrieval.h"

#include <climits>
#include <cstdio>
#include <map>
#include <mutex>
#include <new>
#include <string_view>
#include <utility>
#include <vector>

#include "tree/population.h"
#include "net/fetch.h"

// ---------------------------------------------------------------------------
// Asynchronous retrieval.


namespace {

// Request paths of bulks and nodes are formatted into a buffer of this size;
// key paths of 30 characters or more are refused before formatting.
constexpr size_t url_buf_size = 200;
constexpr size_t max_key_path_len = 30;

// The pending-request tables, one per kind. Their ids link a fetch's
// completion (a plain function) back to the caller's callback and record.
struct planetoid_table_t {
  int i = 0;
  std::map<int, planetoid_cb_t> map;  // touched only by the thread in getPlanetoid
};

template <class T, class R>
struct async_table_t {
  struct pending_t {
    std::function<void(std::unique_ptr<T>)> cb;
    R* target;
    std::shared_ptr<const std::string> path;  // forgotten by the disk cache if rejected
  };
  std::atomic<int> i{0};  // the main thread and workers refilling the scheduler
  std::map<int, pending_t> map;
  std::mutex m;
};

// The tables are never destroyed: at exit webpool drains its queued
// downloads during static destruction, and those still register in and
// complete through the tables. A function-local static would be destroyed
// before the pools (it is constructed after them).
planetoid_table_t& planetoidTable() {
  static auto* t = new planetoid_table_t();
  return *t;
}

async_table_t<BulkMetadata, bulk_t>& bulkTable() {
  static auto* t = new async_table_t<BulkMetadata, bulk_t>();
  return *t;
}

async_table_t<NodeData, node_t>& nodeTable() {
  static auto* t = new async_table_t<NodeData, node_t>();
  return *t;
}

void planetoidThunk(int i, int error, uint8_t* data, size_t len) {
  planetoid_table_t& t = planetoidTable();
  planetoid_cb_t cb = t.map[i];
  if (error) {
    std::fprintf(stderr, "could not load planetoid\n");
    cb(nullptr);
  } else {
    auto meta = std::make_unique<PlanetoidMetadata>();
    if (len <= static_cast<size_t>(INT_MAX) && meta->ParseFromArray(data, static_cast<int>(len)))
      cb(std::move(meta));
    else
      cb(nullptr);
  }
  t.map.erase(i);
}

bool populate(bulk_t* b, std::unique_ptr<BulkMetadata> m) { return populateBulk(b, std::move(m)); }
bool populate(node_t* n, std::unique_ptr<NodeData> m) { return populateNode(n, std::move(m)); }

// Out of memory anywhere on a record's road ends like any failed retrieval:
// back to stub with the back-off armed, so that the walk asks again later
// and the parent bulk is not pinned by a record that will never arrive.
template <class R>
void failForLackOfMemory(R* target) {
  std::fprintf(stderr, "could not load node\n  \"%s\": out of memory\n", recordPath(target).c_str());
  markRetrievalFailed(target);
}

// Runs enqueue, which hands the retrieval on to a pool; when that fails the
// record goes back to stub and cb is called, so that nothing stays in flight.
template <class R, class Cb, class F>
void enqueueOrFail(R* target, const Cb& cb, F&& enqueue) {
  try {
    enqueue();
  } catch (const std::bad_alloc&) {
    failForLackOfMemory(target);
    cb(nullptr);
  } catch (const std::runtime_error&) {
    // Only once the pools are shutting down.
    markRetrievalFailed(target);
    cb(nullptr);
  }
}

// Decode task, on a pool worker. Population marks a rejected message failed
// itself; a response that does not even parse is marked failed here.
template <class T, class R>
void decodeTask(R* target, std::function<void(std::unique_ptr<T>)> cb, std::vector<uint8_t> bytes,
                std::shared_ptr<const std::string> path) {
  std::unique_ptr<T> message;
  bool parsed = false;
  try {
    message = std::make_unique<T>();
    parsed = bytes.size() <= static_cast<size_t>(INT_MAX) &&
             message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()));
  } catch (const std::bad_alloc&) {
    failForLackOfMemory(target);
    cb(nullptr);
    return;
  }
  if (!parsed) {
    std::printf("download failed\n");
    std::fflush(stdout);
    forgetAnswer(path->c_str());
    markRetrievalFailed(target);
    cb(nullptr);
    return;
  }
  std::vector<uint8_t>().swap(bytes);  // the message holds what it needs
  if (!populate(target, std::move(message))) forgetAnswer(path->c_str());
  cb(nullptr);
}

// Completion of a bulk or node fetch, on the webpool worker inside fetchData.
template <class T, class R>
void asyncThunk(async_table_t<T, R>& t, int i, int error, uint8_t* data, size_t len) {
  std::function<void(std::unique_ptr<T>)> cb;
  R* target;
  std::shared_ptr<const std::string> path;
  {
    std::lock_guard<std::mutex> lock(t.m);
    auto it = t.map.find(i);
    if (it == t.map.end()) return;  // cannot happen: the download task registers first
    cb = std::move(it->second.cb);
    target = it->second.target;
    path = std::move(it->second.path);
    t.map.erase(it);
  }
  if (fetchesAborted()) {
    // The viewer is quitting: nothing will decode or draw this record.
    markRetrievalFailed(target);
    cb(nullptr);
    return;
  }
  if (error && fetchFailureReason() == std::string_view(fetch_abandoned)) {
    // Given up because nobody wants it any more: nothing went wrong with the
    // record, so no diagnostic and no back-off.
    target->setFailedDownloading();
    cb(nullptr);
    return;
  }
  if (error) {
    // One call: the stream lock keeps the two lines together among workers.
    std::fprintf(stderr, "could not load node\n  \"%s\": %s\n", recordPath(target).c_str(),
                 fetchFailureReason());
    // The record goes back to stub with its back-off armed, so the walk asks
    // again later and its parent's busy_ctr no longer holds the bulk alive.
    markRetrievalFailed(target);
    cb(nullptr);
    return;
  }
  enqueueOrFail(target, cb, [&] {
    std::vector<uint8_t> bytes(data, data + len);
    pool.enqueue(decodeTask<T, R>, target, cb, std::move(bytes), std::move(path));
  });
}

void bulkThunk(int i, int error, uint8_t* data, size_t len) { asyncThunk(bulkTable(), i, error, data, len); }
void nodeThunk(int i, int error, uint8_t* data, size_t len) { asyncThunk(nodeTable(), i, error, data, len); }

template <class T, class R>
void downloadTask(async_table_t<T, R>& t, std::shared_ptr<const std::string> url, int id,
                  fetch_thunk_t thunk, std::function<void(std::unique_ptr<T>)> cb, R* target,
                  std::shared_ptr<retrieval_ticket_t> ticket) {
  try {
    std::lock_guard<std::mutex> lock(t.m);
    t.map[id] = {cb, target, url};  // a copy: cb still answers if the insertion throws
  } catch (const std::bad_alloc&) {
    failForLackOfMemory(target);
    cb(nullptr);
    return;
  }
  fetchData(url->c_str(), id, thunk, ticket ? &ticket->abandon : nullptr);
}

// The caller's callback, then the ticket's end: every way a retrieval ends
// calls the callback once, after the record's last state store.
template <class T>
std::function<void(std::unique_ptr<T>)> endingTicket(std::function<void(std::unique_ptr<T>)> cb,
                                                    std::shared_ptr<retrieval_ticket_t> ticket) {
  if (!ticket) return cb;
  return [cb = std::move(cb), ticket = std::move(ticket)](std::unique_ptr<T> m) {
    cb(std::move(m));
    ticket->ended.store(true);
    if (ticket->on_end) ticket->on_end();
  };
}

// Everything that getBulk and getNode share once the request path is known.
template <class T, class R>
void startRetrieval(async_table_t<T, R>& t, fetch_thunk_t thunk, const std::string& path,
                    const std::function<int(char*)>& format, R* target,
                    std::function<void(std::unique_ptr<T>)> caller_cb,
                    std::shared_ptr<retrieval_ticket_t> ticket) {
  std::function<void(std::unique_ptr<T>)> cb = endingTicket(std::move(caller_cb), ticket);
  // Only service data can produce a bad key; refuse it rather than format
  // it. A key path is a string of octant digits: anything else would end up
  // verbatim in the request line.
  const char* check = nullptr;
  if (path.size() >= max_key_path_len)
    check = "strlen(path) < 30";
  else if (path.find_first_not_of("01234567") != std::string::npos)
    check = "path holds only the octant digits 0 to 7";
  if (check) {
    std::fprintf(stderr, "rejected request \"%.64s\": %s\n", path.c_str(), check);
    markRetrievalFailed(target);
    cb(nullptr);
    return;
  }
  char url_buf[url_buf_size];
  int n = format(url_buf);
  if (n < 0 || static_cast<size_t>(n) >= url_buf_size) {
    std::fprintf(stderr, "rejected request \"%.64s\": request path fits 200 bytes\n", path.c_str());
    markRetrievalFailed(target);
    cb(nullptr);
    return;
  }
  int id = ++t.i;
  enqueueOrFail(target, cb, [&] {
    auto url = std::make_shared<const std::string>(url_buf, static_cast<size_t>(n));
    webpool.enqueue(downloadTask<T, R>, std::ref(t), std::move(url), id, thunk, cb, target, std::move(ticket));
  });
}

}  // namespace

void getPlanetoid(planetoid_cb_t cb) {
  planetoid_table_t& t = planetoidTable();
  int id = ++t.i;
  t.map[id] = std::move(cb);
  fetchData("PlanetoidMetadata", id, planetoidThunk);
}

void getBulk(BulkMetadataRequest req, bulk_t* b, bulk_cb_t cb, std::shared_ptr<retrieval_ticket_t> ticket) {
  const std::string& path = req.node_key().path();
  const int epoch = static_cast<int>(req.node_key().epoch());
  startRetrieval(bulkTable(), bulkThunk, path,
                 [&](char* buf) {
                   return std::snprintf(buf, url_buf_size, "BulkMetadata/pb=!1m2!1s%s!2u%d",
                                        path.c_str(), epoch);
                 },
                 b, std::move(cb), std::move(ticket));
}

void getNode(NodeDataRequest req, node_t* n, node_cb_t cb, std::shared_ptr<retrieval_ticket_t> ticket) {
  const std::string& path = req.node_key().path();
  const int epoch = static_cast<int>(req.node_key().epoch());
  const int format = static_cast<int>(req.texture_format());
  startRetrieval(nodeTable(), nodeThunk, path,
                 [&](char* buf) {
                   if (req.has_imagery_epoch())
                     return std::snprintf(buf, url_buf_size, "NodeData/pb=!1m2!1s%s!2u%d!2e%d!3u%d!4b0",
                                          path.c_str(), epoch, format,
                                          static_cast<int>(req.imagery_epoch()));
                   return std::snprintf(buf, url_buf_size, "NodeData/pb=!1m2!1s%s!2u%d!2e%d!4b0",
                                        path.c_str(), epoch, format);
                 },
                 n, std::move(cb), std::move(ticket));
}
