// Fetch layer: turns a request path of the rocktree service into the bytes of
// its response, on the calling thread.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

// The default cache directory. Its tree (the directory, BulkMetadata and
// NodeData) is created on the first fetch; the disk cache's database lives
// in the directory itself (net/disk_cache.h).
extern const char cache_pfx[];
constexpr size_t cache_pfx_len = 6;
extern std::once_flag cache_init_once_flag;

// How this process fetches, set by main from the command line before the
// first fetch. Without it: the service from the environment or the built-in
// address, no disk cache, the network allowed (what tests and tools get).
struct fetch_setup_t {
  std::string base_url;   // "http://host:port/rt/earth/"; empty: from serviceHost()
  std::string cache_dir;  // where the cache tree and database go
  uint64_t cache_bytes;   // the disk cache's budget; 0: no disk cache
  bool offline;           // no socket at all: only the disk cache answers
};
// Opens the disk cache (one line on standard error and none when it cannot).
void setUpFetching(const fetch_setup_t& setup);

// The service's host and port: the environment variable OSTRAVEL_SERVICE_HOST
// when set and not empty, read once at first use, else the built-in value.
const char* serviceHost();
// The base URL of setUpFetching, else "http://" + serviceHost() + "/rt/earth/";
// a request URL is this plus a path.
const char* baseUrl();

// mkdir with mode 0755; the result of mkdir (an existing directory fails harmlessly).
int createDir(const char* path);

// error is 0 for a response with a status below 300, else 1 with data null
// and len 0. data belongs to fetchData and is freed when the callback returns.
using fetch_thunk_t = void (*)(int i, int error, uint8_t* data, size_t len);

// GETs baseUrl() + path and calls thunk exactly once before returning. With
// a disk cache, answers that never change (bulks and nodes: their epoch is
// in the path) come from it when it has them, and every answer fetched is
// stored; offline, the disk cache alone answers, the planetoid included.
// Requests go out over persistent connections (HTTP/1.1, kept alive between
// requests of the calling thread's and other threads' fetches).
// When *abandon turns true while the transfer is under way, the transfer
// ends within one poll of its socket, which is closed, and the callback
// reports error 1 with the reason fetch_abandoned.
void fetchData(const char* path, int i, fetch_thunk_t thunk, const std::atomic<bool>* abandon = nullptr);
extern const char fetch_abandoned[];

// The viewer rejected the answer to path: the disk cache must not serve it
// again, so the next request goes to the service.
void forgetAnswer(const char* path);

// What the fetch layer has done so far; the exit line prints it.
struct fetch_counters_t {
  uint64_t network_requests;  // HTTP requests started
  uint64_t network_bytes;     // body bytes of the answers that arrived
  uint64_t cache_answers;     // answers the disk cache gave
  uint64_t cache_bytes;
};
fetch_counters_t fetchCounters();
// "network: N requests (X MB received); disk cache: M answers (Y MB)\n"
std::string fetchSummaryLine(const fetch_counters_t& counters);
// At exit: the disk cache writes down its use order.
void finishFetching();

// From now on every fetch fails at once ("the viewer is shutting down"),
// transfers in flight end within one poll of their socket, which is closed,
// and so are the idle kept-alive connections (none is kept from then on).
// For the exit: a silent service must not hold the process.
void abortFetches();
bool fetchesAborted();

// Inside a callback that reports error 1: what went wrong, e.g. "status 404"
// or "no progress within the stall limit". fetchData prints nothing itself;
// its callers name the failure with this.
const char* fetchFailureReason();
