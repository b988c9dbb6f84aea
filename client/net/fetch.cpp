#include "net/fetch.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/types.h>

#include "viewer_settings.h"
#include "net/disk_cache.h"
#include "net/http_client.h"

#ifndef OSTRAVEL_SERVICE_HOST
#define OSTRAVEL_SERVICE_HOST "127.0.0.1:8086"
#endif

const char cache_pfx[] = "cache/";
static_assert(sizeof cache_pfx - 1 == cache_pfx_len);
std::once_flag cache_init_once_flag;

namespace {

// Set once by setUpFetching before the first fetch, then only read. Never
// destroyed, like the strings below: downloads that drain from webpool at
// exit still use them.
const fetch_setup_t* setup = nullptr;
disk_cache_t* disk_cache = nullptr;

std::atomic<uint64_t> network_requests{0}, network_bytes{0}, cache_answers{0}, cache_bytes{0};

// Both strings are never destroyed: downloads that drain from webpool at exit
// still build their URLs from them.
const std::string& serviceHostString() {
  static const std::string* host = [] {
    const char* env = std::getenv("OSTRAVEL_SERVICE_HOST");
    return new std::string(env && *env ? env : OSTRAVEL_SERVICE_HOST);
  }();
  return *host;
}

const std::string& baseUrlString() {
  static const std::string* url = new std::string(
      setup && !setup->base_url.empty() ? setup->base_url : "http://" + serviceHostString() + "/rt/earth/");
  return *url;
}

std::atomic<bool> fetches_aborted{false};
constexpr char shutting_down[] = "the viewer is shutting down";

// The reason behind the failure the current callback on this thread reports.
thread_local std::string fetch_failure;

void createCacheDirs() {
  std::string dir = setup ? setup->cache_dir : cache_pfx;
  if (!dir.empty() && dir.back() != '/') dir += '/';
  createDir(dir.c_str());
  createDir((dir + "BulkMetadata").c_str());
  createDir((dir + "NodeData").c_str());
}

// Bulks and nodes carry their epoch in the path: their answers never change.
// The planetoid's does (it names the current epoch), so online it is always
// asked of the service.
bool answerNeverChanges(const char* path) {
  return std::strncmp(path, "BulkMetadata/", 13) == 0 || std::strncmp(path, "NodeData/", 9) == 0;
}

// The disk cache's answer to path, handed to thunk; false when it has none.
bool answerFromDisk(const char* path, int i, fetch_thunk_t thunk) {
  if (!disk_cache || (!setup->offline && !answerNeverChanges(path))) return false;
  std::vector<uint8_t> bytes;
  if (!diskCacheGet(*disk_cache, baseUrlString() + path, &bytes)) return false;
  ++cache_answers;
  cache_bytes += bytes.size();
  bytes.push_back(0);  // a real buffer even for an empty answer
  thunk(i, 0, bytes.data(), bytes.size() - 1);
  return true;
}

}  // namespace

void abortFetches() {
  fetches_aborted.store(true);
  httpStopKeepingConnections();
}

bool fetchesAborted() { return fetches_aborted.load(); }

const char* fetchFailureReason() { return fetch_failure.c_str(); }

const char* serviceHost() { return serviceHostString().c_str(); }

const char* baseUrl() { return baseUrlString().c_str(); }

int createDir(const char* path) { return mkdir(path, 0755); }

void setUpFetching(const fetch_setup_t& s) {
  setup = new fetch_setup_t(s);
  if (s.cache_bytes == 0) return;
  std::string why;
  disk_cache_ptr_t cache = openDiskCache(s.cache_dir, s.cache_bytes, &why);
  if (!cache) {
    std::fprintf(stderr, "disk cache: %s; running without it\n", why.c_str());
    return;
  }
  disk_cache = cache.release();
}

void forgetAnswer(const char* path) {
  if (disk_cache) diskCacheForget(*disk_cache, baseUrlString() + path);
}

fetch_counters_t fetchCounters() {
  return {network_requests.load(), network_bytes.load(), cache_answers.load(), cache_bytes.load()};
}

std::string fetchSummaryLine(const fetch_counters_t& c) {
  char buf[160];
  std::snprintf(buf, sizeof buf, "network: %llu requests (%.1f MB received); disk cache: %llu answers (%.1f MB)\n",
                static_cast<unsigned long long>(c.network_requests), static_cast<double>(c.network_bytes) / 1e6,
                static_cast<unsigned long long>(c.cache_answers), static_cast<double>(c.cache_bytes) / 1e6);
  return buf;
}

void finishFetching() {
  if (disk_cache) diskCacheFlush(*disk_cache);
}

const char fetch_abandoned[] = "abandoned: no longer wanted";

void fetchData(const char* path, int i, fetch_thunk_t thunk, const std::atomic<bool>* abandon) {
  if (fetchesAborted()) {
    fetch_failure = shutting_down;
    thunk(i, 1, nullptr, 0);
    return;
  }
  std::call_once(cache_init_once_flag, createCacheDirs);
  if (answerFromDisk(path, i, thunk)) return;
  if (setup && setup->offline) {
    fetch_failure = "not in the disk cache, and offline";
    thunk(i, 1, nullptr, 0);
    return;
  }

  const std::string& base = baseUrlString();
  size_t url_len = strlen(path) + base.size() + 1;
  char* url = static_cast<char*>(malloc(url_len));
  if (!url) {
    fetch_failure = "out of memory";
    thunk(i, 1, nullptr, 0);
    return;
  }
  memcpy(url, base.data(), base.size());
  memcpy(url + base.size(), path, url_len - base.size());
  ++network_requests;
  http_t* request = httpGetKeepAlive(url, nullptr);
  free(url);
  if (!request) {
    fetch_failure = "bad URL, unknown host or connection refused";
    thunk(i, 1, nullptr, 0);
    return;
  }

  // Waiting on the socket rather than sleeping a fixed 1 ms picks the
  // response up as soon as it is readable; http_process itself never waits,
  // and the stall limit of the client guarantees the loop ends.
  http_status_t status;
  while ((status = http_process(request)) == HTTP_STATUS_PENDING) {
    const bool aborted = fetchesAborted();
    if (aborted || (abandon && abandon->load())) {
      fetch_failure = aborted ? shutting_down : fetch_abandoned;
      http_release(request);  // closes the socket: the transfer is unfinished
      thunk(i, 1, nullptr, 0);
      return;
    }
    http_wait(request, fetch_poll_wait_ms);
  }

  if (status == HTTP_STATUS_FAILED) {
    const char* why = http_failure_reason(request);
    fetch_failure = why == http_failure_status ? "status " + std::to_string(request->status_code) : why;
    http_release(request);
    thunk(i, 1, nullptr, 0);
    return;
  }
  size_t len = request->response_size;
  // One spare byte so that an empty body still gets a real buffer.
  auto* copy = static_cast<uint8_t*>(malloc(len + 1));
  if (!copy) {
    fetch_failure = "out of memory";
    http_release(request);
    thunk(i, 1, nullptr, 0);
    return;
  }
  memcpy(copy, request->response_data, len);
  http_release(request);
  network_bytes += len;
  if (disk_cache) diskCachePut(*disk_cache, base + path, copy, len);
  thunk(i, 0, copy, len);
  free(copy);
}
