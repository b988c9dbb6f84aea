// rocktreed's HTTP front end: libmicrohttpd's event loops move the bytes,
// answerGet answers. A few event loops serve every open connection, so
// idle, slow and never-reading clients cost a socket and a little memory
// each, not a thread; http/connection_limits decides how many may be open
// and how long each may take.
#pragma once

#include <memory>
#include <string>

#include "http/connection_limits.h"
#include "http/routing.h"

struct front_end_options_t {
  std::string bind = default_bind_address;
  int port = default_port;  // 0: a free one
  int event_loops = 2;
  bool quiet = false;  // no access log line per request on standard output
  connection_limits_t limits;
};

struct front_end_t {
  struct state_t;  // the library's daemon and what its callbacks share
  std::unique_ptr<state_t> state;
  int port = 0;  // the one bound
  front_end_t();
  ~front_end_t();
};

// Binds and starts serving; false with the reason ("cannot bind ...").
bool startFrontEnd(service_t& service, const front_end_options_t& options, front_end_t* fe, std::string* error);
// Stops accepting at once, lets the answers under way finish for up to
// grace_s seconds, then closes every connection and returns.
void stopFrontEnd(front_end_t* fe, int grace_s);
