// One connection of the HTTP client, plain TCP or TLS over it: a
// non-blocking connect (and handshake), send and receive that each do only
// what the socket allows right now, the wait for the event a request is
// waiting for, and the clock of the stall limit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "net/http_framing.h"
#include "net/tls_transport.h"

struct http_connection_t {
  int socket;            // -1: none
  bool connect_pending;  // the connect (and TLS handshake) is started and its outcome unknown
  bool tcp_connected;    // the TCP connect has succeeded
  SSL* tls;              // null: plain TCP
  short waits;           // the socket event the last TLS or tunnel step waits for; 0: none
  bool tls_handshaking;  // the handshake has begun
  bool tls_session_wait;  // waiting for another connection's session, not for the socket
  // Through a proxy to an https:// service: the CONNECT request, then the
  // proxy's answer (malloc'd, freed once the tunnel stands). Null: none.
  char* tunnel;
  size_t tunnel_request_size;
  size_t tunnel_sent;
  size_t tunnel_received;
  int64_t last_progress_ms;
  int64_t stall_limit_ms;
};

int64_t httpNowMs();

// Where a connection goes.
struct http_route_t {
  const char* host;  // the TCP peer: the service, or its proxy
  const char* port;
  const char* tls_host;  // TLS with this service (its name checked); null: plain
  const char* tls_port;
  const char* tunnel_request;  // sent first and answered by a proxy (CONNECT); null: none
  bool offer_h2;               // TLS offers HTTP/2 (kept-alive requests only)
};

// Starts a connect on a new non-blocking socket; false (socket -1) when the
// name does not resolve or no socket can be made. The stall clock starts now.
bool connectionOpen(http_connection_t* c, const http_route_t& route, int64_t stall_limit_ms);
// Closes the socket (if any) at once, without a word to the peer.
void connectionClose(http_connection_t* c);

enum connect_outcome_t { connect_waiting, connect_done, connect_failed, connect_poll_failed, connect_refused };
// Whether a pending connect (and its handshake) has ended, and how;
// connect_done when none was pending. connect_refused (a TLS handshake or
// a proxy's tunnel that failed) puts the reason in why.
connect_outcome_t connectionFinishConnect(http_connection_t* c, char* why, size_t why_size);

// Hands as much of [buf + *sent, buf + len) to the socket as it takes now.
// Returns false on a send error; a full socket buffer is no error.
bool connectionSend(http_connection_t* c, const char* buf, size_t len, size_t* sent);

enum receive_outcome_t {
  receive_data,         // bytes were appended to the answer
  receive_would_block,  // nothing more right now
  receive_closed,       // the peer closed
  receive_failed,       // a receive error
  receive_out_of_memory,
  receive_too_large,  // the answer passed its size limit
};
// One read of what the socket holds into the answer, under its size limit.
receive_outcome_t connectionReceive(http_connection_t* c, http_answer_t* a);

// Waits up to timeout_ms for the socket to become writable (for_write) or readable.
void connectionWait(const http_connection_t* c, bool for_write, int timeout_ms);

// No progress (connected, bytes sent or received) within the stall limit.
bool connectionStalled(const http_connection_t* c);
