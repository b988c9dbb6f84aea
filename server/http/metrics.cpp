#include "http/metrics.h"

#include <cstdio>
#include <utility>

namespace {

constexpr const char* kind_names[answer_kind_count] = {"planetoid", "bulk", "node", "metrics", "other"};

size_t statusSlot(int status) {
  for (size_t i = 0; i < counted_statuses.size(); ++i)
    if (counted_statuses[i] == status) return i;
  return counted_statuses.size();
}

void line(std::string& out, const char* fmt, auto... args) {
  char buf[256];
  const int n = std::snprintf(buf, sizeof buf, fmt, args...);
  if (n > 0) out.append(buf, static_cast<size_t>(std::min<int>(n, sizeof buf - 1)));
}

void renderHistogram(std::string& out, const char* kind, const build_histogram_t& h) {
  uint64_t cumulative = 0;
  for (size_t i = 0; i < build_time_bounds_us.size(); ++i) {
    cumulative += h.buckets[i].load(std::memory_order_relaxed);
    line(out, "rocktreed_build_seconds_bucket{kind=\"%s\",le=\"%g\"} %llu\n", kind,
         static_cast<double>(build_time_bounds_us[i]) * 1e-6, static_cast<unsigned long long>(cumulative));
  }
  cumulative += h.buckets.back().load(std::memory_order_relaxed);
  line(out, "rocktreed_build_seconds_bucket{kind=\"%s\",le=\"+Inf\"} %llu\n", kind,
       static_cast<unsigned long long>(cumulative));
  line(out, "rocktreed_build_seconds_sum{kind=\"%s\"} %.6f\n", kind,
       static_cast<double>(h.sum_us.load(std::memory_order_relaxed)) * 1e-6);
  line(out, "rocktreed_build_seconds_count{kind=\"%s\"} %llu\n", kind,
       static_cast<unsigned long long>(h.count.load(std::memory_order_relaxed)));
}

}  // namespace

void countRequest(service_metrics_t& m, answer_kind kind, int status) {
  m.requests[kind][statusSlot(status)].fetch_add(1, std::memory_order_relaxed);
}

void countBuild(build_histogram_t& h, uint64_t us) {
  size_t i = 0;
  while (i < build_time_bounds_us.size() && us > build_time_bounds_us[i]) ++i;
  h.buckets[i].fetch_add(1, std::memory_order_relaxed);
  h.count.fetch_add(1, std::memory_order_relaxed);
  h.sum_us.fetch_add(us, std::memory_order_relaxed);
}

uint64_t requestCount(const service_metrics_t& m, answer_kind kind, int status) {
  return m.requests[kind][statusSlot(status)].load(std::memory_order_relaxed);
}

std::string renderMetrics(const service_metrics_t& m, const ResponseCache& cache) {
  std::string out;
  out += "# HELP rocktreed_requests_total Requests answered, by kind and status.\n"
         "# TYPE rocktreed_requests_total counter\n";
  for (int k = 0; k < answer_kind_count; ++k)
    for (size_t s = 0; s <= counted_statuses.size(); ++s) {
      const uint64_t n = m.requests[k][s].load(std::memory_order_relaxed);
      if (s < counted_statuses.size())
        line(out, "rocktreed_requests_total{kind=\"%s\",status=\"%d\"} %llu\n", kind_names[k],
             counted_statuses[s], static_cast<unsigned long long>(n));
      else
        line(out, "rocktreed_requests_total{kind=\"%s\",status=\"other\"} %llu\n", kind_names[k],
             static_cast<unsigned long long>(n));
    }
  out += "# HELP rocktreed_cache_hits_total Bulk and node answers found in the response cache.\n"
         "# TYPE rocktreed_cache_hits_total counter\n";
  line(out, "rocktreed_cache_hits_total %llu\n",
       static_cast<unsigned long long>(m.cache_hits.load(std::memory_order_relaxed)));
  out += "# HELP rocktreed_cache_misses_total Bulk and node answers built because the cache lacked them.\n"
         "# TYPE rocktreed_cache_misses_total counter\n";
  line(out, "rocktreed_cache_misses_total %llu\n",
       static_cast<unsigned long long>(m.cache_misses.load(std::memory_order_relaxed)));
  out += "# HELP rocktreed_cache_bytes Bytes the response cache holds.\n"
         "# TYPE rocktreed_cache_bytes gauge\n";
  line(out, "rocktreed_cache_bytes %zu\n", cache.sizeBytes());
  out += "# HELP rocktreed_cache_entries Answers the response cache holds.\n"
         "# TYPE rocktreed_cache_entries gauge\n";
  line(out, "rocktreed_cache_entries %zu\n", cache.entries());
  out += "# HELP rocktreed_build_seconds Time to build a bulk or node answer on a cache miss.\n"
         "# TYPE rocktreed_build_seconds histogram\n";
  renderHistogram(out, "bulk", m.bulk_builds);
  renderHistogram(out, "node", m.node_builds);
  const connection_metrics_t& c = m.connections;
  out += "# HELP rocktreed_connections_open Connections open now.\n"
         "# TYPE rocktreed_connections_open gauge\n";
  line(out, "rocktreed_connections_open %lld\n", static_cast<long long>(c.open.load(std::memory_order_relaxed)));
  out += "# HELP rocktreed_connections_refused_total Connections refused: closed at once (per_address) or "
         "answered 503 (busy).\n"
         "# TYPE rocktreed_connections_refused_total counter\n";
  line(out, "rocktreed_connections_refused_total{reason=\"per_address\"} %llu\n",
       static_cast<unsigned long long>(c.refused_per_address.load(std::memory_order_relaxed)));
  line(out, "rocktreed_connections_refused_total{reason=\"busy\"} %llu\n",
       static_cast<unsigned long long>(c.refused_busy.load(std::memory_order_relaxed)));
  out += "# HELP rocktreed_connections_timed_out_total Connections closed for taking too long: over the "
         "request head, idle between requests, or not reading the answer.\n"
         "# TYPE rocktreed_connections_timed_out_total counter\n";
  const std::pair<const char*, const std::atomic<uint64_t>*> phases[] = {
      {"head", &c.timed_out_head}, {"idle", &c.timed_out_idle}, {"send", &c.timed_out_send}};
  for (const auto& [phase, n] : phases)
    line(out, "rocktreed_connections_timed_out_total{phase=\"%s\"} %llu\n", phase,
         static_cast<unsigned long long>(n->load(std::memory_order_relaxed)));
  return out;
}
