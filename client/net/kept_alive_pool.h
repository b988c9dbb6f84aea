// The kept-alive connections of httpGetKeepAlive: the idle ones by host and
// port, the connection counters (httpConnectionStats), and the one retry of
// a request whose reused connection the service had closed while idle.
#pragma once

#include <string>

#include "net/http_connection.h"
#include "net/http_proxy.h"

// The service a connection goes to: plain or TLS, host and port, and the
// proxy on the way (null: direct).
struct kept_alive_target_t {
  bool tls;
  const char* host;
  const char* port;
  const http_proxy_t* proxy;
  bool h2;  // a TLS connection offers HTTP/2 (net/http2_session.h)
};

// "https://host:port" (and " via PROXY"): the place a connection goes.
std::string keptAliveKey(const kept_alive_target_t& to);

// An idle connection to the target that the service has not closed (stall
// clock restarted with stall_limit_ms), or false. Counts a request on a
// reused connection.
bool keptAliveTake(const kept_alive_target_t& to, int64_t stall_limit_ms, http_connection_t* out);
// Keeps a connection whose answer was read to its end idle for the next
// request to the target (or closes it when no more are kept).
void keptAliveKeep(const kept_alive_target_t& to, http_connection_t* c);
// connectionOpen, counted in connections_opened.
bool keptAliveOpen(http_connection_t* c, const kept_alive_target_t& to, int64_t stall_limit_ms);

// A reused connection that ends before a byte of the answer came back
// (received == 0) was closed by the service while idle (it may do so at any
// time): closes it and opens a new one to the target, and *reused turns
// false. False when that cannot be done: the request then fails.
bool keptAliveRetry(http_connection_t* c, bool* reused, size_t received, const kept_alive_target_t& to);
