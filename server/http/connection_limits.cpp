#include "http/connection_limits.h"

#include <algorithm>

bool reserveAddress(connection_table_t& t, const std::string& address, connection_clock_t::time_point now) {
  std::lock_guard<std::mutex> lock(t.mutex);
  int& n = t.per_address[address];
  if (n >= t.limits.max_per_address) {
    t.metrics->refused_per_address.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  ++n;
  t.reserved.push_back({now, address});
  return true;
}

tracked_connection_t* trackConnection(connection_table_t& t, int fd, const std::string& address,
                                      connection_clock_t::time_point now) {
  auto* c = new tracked_connection_t;
  c->fd = fd;
  c->address = address;
  c->since = now;
  std::lock_guard<std::mutex> lock(t.mutex);
  const auto place = std::find_if(t.reserved.begin(), t.reserved.end(), [&](const auto& r) { return r.second == address; });
  if (place != t.reserved.end()) {
    // The head's deadline runs from the accept, not from when an event
    // loop got round to the connection (later under load).
    c->since = std::min(c->since, place->first);
    t.reserved.erase(place);
  } else {
    ++t.per_address[address];
  }
  t.open.insert(c);
  t.metrics->open.fetch_add(1, std::memory_order_relaxed);
  if (t.admitted >= t.limits.max_total) {
    c->refused = true;
    t.metrics->refused_busy.fetch_add(1, std::memory_order_relaxed);
  } else {
    ++t.admitted;
  }
  return c;
}

void untrackConnection(connection_table_t& t, tracked_connection_t* c) {
  {
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.per_address.find(c->address);
    if (it != t.per_address.end() && --it->second <= 0) t.per_address.erase(it);
    t.open.erase(c);
    if (!c->refused) --t.admitted;
    t.metrics->open.fetch_sub(1, std::memory_order_relaxed);
  }
  delete c;
}

void headArrived(connection_table_t& t, tracked_connection_t* c) {
  std::lock_guard<std::mutex> lock(t.mutex);
  c->phase = phase_answer;
}

void answerSent(connection_table_t& t, tracked_connection_t* c, connection_clock_t::time_point now) {
  std::lock_guard<std::mutex> lock(t.mutex);
  c->phase = phase_idle;
  c->since = now;
  ++c->requests;
}

void expireConnections(connection_table_t& t, connection_clock_t::time_point now,
                       const std::function<void(const tracked_connection_t&)>& cut) {
  const auto head = std::chrono::seconds(t.limits.head_timeout_s);
  const auto idle = std::chrono::seconds(t.limits.idle_timeout_s);
  std::lock_guard<std::mutex> lock(t.mutex);
  std::erase_if(t.reserved, [&](const auto& r) {
    if (now - r.first < std::chrono::seconds(1)) return false;
    if (--t.per_address[r.second] <= 0) t.per_address.erase(r.second);
    return true;
  });
  for (tracked_connection_t* c : t.open) {
    if (c->cut || c->phase == phase_answer) continue;  // sending is the library's send timeout
    const bool first = c->phase == phase_first_head;
    if (now - c->since < (first ? head : idle)) continue;
    c->cut = true;
    (first ? t.metrics->timed_out_head : t.metrics->timed_out_idle).fetch_add(1, std::memory_order_relaxed);
    cut(*c);
  }
}

int answersUnderWay(connection_table_t& t) {
  std::lock_guard<std::mutex> lock(t.mutex);
  int n = 0;
  for (const tracked_connection_t* c : t.open) n += c->phase == phase_answer;
  return n;
}
