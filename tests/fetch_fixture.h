// The set-up of the tests and benchmarks that fetch over the network: a
// scripted service, its host where the fetch layer reads it
// (OSTRAVEL_SERVICE_HOST, read once per process), and a fresh working
// directory for the cache tree that fetching creates, removed at the end.
// The fetch layer's set-up is fixed at the first fetch, so a program makes
// one of these for its whole run.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

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
