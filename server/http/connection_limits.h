// What rocktreed lets a connection do, independent of the HTTP library and
// of sockets: how many may be open per client address and in all, and how
// long each may take over its request head or idle between requests. The
// front end (http/front_end.cpp) reports what happens on its connections;
// the table decides which are admitted, which are told 503, and which have
// run out of time, and counts all of it in the service's metrics.
#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "http/metrics.h"
#include "rocktreed_settings.h"

struct connection_limits_t {
  int max_per_address = default_max_connections_per_ip;
  int max_total = default_max_connections;
  int head_timeout_s = default_head_timeout_s;
  int idle_timeout_s = default_idle_timeout_s;
  int send_timeout_s = default_send_timeout_s;
};

using connection_clock_t = std::chrono::steady_clock;

enum connection_phase_t {
  phase_first_head,  // opened, its first request head not complete yet
  phase_answer,      // a head arrived: answering, or sending the answer
  phase_idle,        // kept alive, waiting for the next head
};

struct tracked_connection_t {
  int fd = -1;  // the socket, shut down when a deadline passes
  std::string address;
  connection_phase_t phase = phase_first_head;
  connection_clock_t::time_point since;  // the phase's start
  bool refused = false;  // over max_total: answered 503 and closed
  bool cut = false;      // a deadline passed; the socket is shut down
  int requests = 0;      // answered on this connection so far
};

struct connection_table_t {
  connection_limits_t limits;
  connection_metrics_t* metrics = nullptr;  // the service's counters
  std::mutex mutex;
  std::unordered_map<std::string, int> per_address;  // open and reserved connections by address
  // Places taken at accept, before the library reports the connection
  // (several event loops accept at once); one it never reports is given
  // back after a second.
  std::vector<std::pair<connection_clock_t::time_point, std::string>> reserved;
  std::unordered_set<tracked_connection_t*> open;
  int admitted = 0;  // open and not refused
};

// At accept: takes a place for one more connection from an address, or
// counts the refusal when it has its share (the caller closes it unanswered).
bool reserveAddress(connection_table_t& t, const std::string& address, connection_clock_t::time_point now);
// A new connection, in the place reserved for its address; refused (to be
// answered 503) when max_total are admitted already. untrackConnection
// frees it.
tracked_connection_t* trackConnection(connection_table_t& t, int fd, const std::string& address,
                                      connection_clock_t::time_point now);
void untrackConnection(connection_table_t& t, tracked_connection_t* c);
// A request head is complete / its answer has been sent.
void headArrived(connection_table_t& t, tracked_connection_t* c);
void answerSent(connection_table_t& t, tracked_connection_t* c, connection_clock_t::time_point now);
// Connections whose head or idle deadline has passed at `now`: each is
// marked cut and counted, and `cut` is called on it with the table locked
// (so that its socket is still the connection's). Stale reservations go too.
void expireConnections(connection_table_t& t, connection_clock_t::time_point now,
                       const std::function<void(const tracked_connection_t&)>& cut);
// Requests under way (a head arrived, the answer not sent yet).
int answersUnderWay(connection_table_t& t);
