// Writes the answers of an export plan as files named by their request
// paths (out_dir/rt/earth/<request path>), byte for byte what the live
// service answers, so that any static HTTP server, object store or CDN can
// serve them.
//
// Resumable: a manifest (out_dir/rocktreed-export.manifest) records the size
// of every file written; a later run with the same texture formats skips
// every file whose size on disk is the recorded one and rebuilds the rest.
// Files are written under a temporary name and renamed, so a file at its
// final name is never half written.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "export/export_plan.h"
#include "http/routing.h"

struct export_summary_t {
  uint64_t files = 0;    // in the plan, every texture format counted
  uint64_t written = 0;  // built and written by this run
  uint64_t skipped = 0;  // already there with the recorded size
  uint64_t failed = 0;   // not answered with 200, or not written (named on the log)
  uint64_t bytes = 0;    // of all the plan's files, written or skipped
  double seconds = 0;
  bool stopped = false;  // by `stop`, with files left
};

// Runs the plan on `threads` threads. Progress (files, rate, time left) and
// the summary go to `log` as lines. Once *stop is true, each thread
// finishes the file it is writing and takes no other: the manifest then
// lists every file written, and the next run resumes from it.
export_summary_t runExport(const service_t& s, const std::vector<export_item_t>& plan,
                           const std::string& out_dir, int threads, std::FILE* log,
                           const std::atomic<bool>* stop = nullptr);
