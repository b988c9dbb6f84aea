// rocktreed's counters, served as plain text on GET /metrics (the
// Prometheus text format, which most monitoring reads): requests by kind and
// status, response cache hits and misses, and how long answers took to
// build. One record, written by the serving threads with relaxed atomic
// increments and read by /metrics, tests and benchmarks alike.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "http/response_cache.h"

enum answer_kind {
  answer_kind_planetoid = 0,
  answer_kind_bulk = 1,
  answer_kind_node = 2,
  answer_kind_metrics = 3,
  answer_kind_other = 4,  // malformed targets, methods other than GET
  answer_kind_count = 5,
};

// The statuses rocktreed gives; anything else is counted as "other".
constexpr std::array<int, 6> counted_statuses = {200, 304, 400, 404, 405, 500};

// Upper bounds of the build time histogram, microseconds: a JPEG node
// builds in a few hundred, a bulk in tens of thousands.
constexpr std::array<uint64_t, 10> build_time_bounds_us = {100,   250,   500,    1000,   2500,
                                                           5000,  10000, 25000, 50000,  100000};

struct build_histogram_t {
  std::array<std::atomic<uint64_t>, build_time_bounds_us.size() + 1> buckets{};  // last: above all bounds
  std::atomic<uint64_t> count{0};
  std::atomic<uint64_t> sum_us{0};
};

// What the front end did with connections (http/connection_limits.h).
struct connection_metrics_t {
  std::atomic<int64_t> open{0};                   // now, refused ones included
  std::atomic<uint64_t> refused_per_address{0};  // closed at once: its address had its share
  std::atomic<uint64_t> refused_busy{0};         // answered 503: the total was reached
  std::atomic<uint64_t> timed_out_head{0};       // no whole request head in time
  std::atomic<uint64_t> timed_out_idle{0};       // kept alive, no next request in time
  std::atomic<uint64_t> timed_out_send{0};       // the client stopped reading its answer
};

struct service_metrics_t {
  std::array<std::array<std::atomic<uint64_t>, counted_statuses.size() + 1>, answer_kind_count> requests{};
  std::atomic<uint64_t> cache_hits{0};
  std::atomic<uint64_t> cache_misses{0};
  build_histogram_t bulk_builds;
  build_histogram_t node_builds;
  connection_metrics_t connections;
};

void countRequest(service_metrics_t& m, answer_kind kind, int status);
void countBuild(build_histogram_t& h, uint64_t us);
// Requests of one kind and status so far (status not in counted_statuses:
// the "other" count).
uint64_t requestCount(const service_metrics_t& m, answer_kind kind, int status);

// The text of GET /metrics; the cache's current size and entries too.
std::string renderMetrics(const service_metrics_t& m, const ResponseCache& cache);
