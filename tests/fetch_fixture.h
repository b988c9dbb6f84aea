// The set-up of the tests and benchmarks that fetch over the network: a
// scripted service, its host where the fetch layer reads it
// (OSTRAVEL_SERVICE_HOST, read once per process), and a fresh working
// directory for the cache tree that fetching creates, removed at the end.
// The fetch layer's set-up is fixed at the first fetch, so a program makes
// one of these for its whole run.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

#include "net/http_client.h"
#include "script_server.h"

// A fresh directory /tmp/ostravel-WHAT-XXXXXX, removed with everything in
// it at the end; or, given one, an existing directory, kept.
struct temp_dir_t {
  std::string path;
  bool keep;
  explicit temp_dir_t(const std::string& what = "test", const char* existing = nullptr)
      : path(existing ? existing : "/tmp/ostravel-" + what + "-XXXXXX"), keep(existing != nullptr) {
    if (!existing && !mkdtemp(path.data())) std::abort();
  }
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;
  ~temp_dir_t() {
    if (keep) return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
  }
};

// A loopback port free right now, for a helper server the test starts.
inline uint16_t freePort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  close(fd);
  return ntohs(addr.sin_port);
}

// Whether something listens on a loopback port yet (a helper server the
// test started).
inline bool loopbackAccepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(port);
  const bool up = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  close(fd);
  return up;
}

struct fetch_fixture_t {
  ScriptServer server;
  temp_dir_t dir;
  // what names the directory; existing_dir (not null) is worked in and kept
  // instead, e.g. a parent's cache for a child process.
  explicit fetch_fixture_t(const std::string& what, const char* existing_dir = nullptr, int backlog = 128)
      : server(backlog), dir(what, existing_dir) {
    setenv("OSTRAVEL_SERVICE_HOST", server.host().c_str(), 1);
    if (chdir(dir.path.c_str()) != 0) std::abort();
  }
};

// How one request ended.
struct http_outcome_t {
  http_status_t status;
  std::string body;
  std::string reason;  // http_failure_reason, "status N" for a status of 300 or more
};

// One kept-alive GET driven to its end (bounded by the stall limit).
inline http_outcome_t getToEnd(const std::string& url) {
  http_t* h = httpGetKeepAlive(url.c_str(), nullptr);
  if (!h) return {HTTP_STATUS_FAILED, "", "not started"};
  http_status_t s;
  while ((s = http_process(h)) == HTTP_STATUS_PENDING) http_wait(h, 5);
  http_outcome_t o{s, s == HTTP_STATUS_COMPLETED ? std::string(static_cast<char*>(h->response_data), h->response_size) : "",
                   http_failure_reason(h)};
  if (s == HTTP_STATUS_FAILED && o.reason == http_failure_status) o.reason = "status " + std::to_string(h->status_code);
  http_release(h);
  return o;
}
