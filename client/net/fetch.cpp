#include "net/fetch.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <sys/types.h>

#include "app/viewer_settings.h"
#include "net/http_client.h"

#ifndef OSTRAVEL_SERVICE_HOST
#define OSTRAVEL_SERVICE_HOST "127.0.0.1:8086"
#endif

const char cache_pfx[] = "cache/";
static_assert(sizeof cache_pfx - 1 == cache_pfx_len);
std::once_flag cache_init_once_flag;

namespace {

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
  static const std::string* url = new std::string("http://" + serviceHostString() + "/rt/earth/");
  return *url;
}

std::atomic<bool> fetches_aborted{false};
constexpr char shutting_down[] = "the viewer is shutting down";

// The reason behind the failure the current callback on this thread reports.
thread_local std::string fetch_failure;

void createCacheDirs() {
  createDir(cache_pfx);
  createDir((std::string(cache_pfx) + "BulkMetadata").c_str());
  createDir((std::string(cache_pfx) + "NodeData").c_str());
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

const char fetch_abandoned[] = "abandoned: no longer wanted";

void fetchData(const char* path, int i, fetch_thunk_t thunk, const std::atomic<bool>* abandon) {
  if (fetchesAborted()) {
    fetch_failure = shutting_down;
    thunk(i, 1, nullptr, 0);
    return;
  }
  std::call_once(cache_init_once_flag, createCacheDirs);

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
  thunk(i, 0, copy, len);
  free(copy);
}
