#include "net/http_connection.h"

#include "net/http_proxy.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

namespace {

// One read takes at most this much; a drain repeats until the socket is empty.
constexpr size_t receive_chunk = 16384;
// The longest answer to CONNECT read (proxyParseConnectAnswer's bound).
constexpr size_t tunnel_answer_capacity = 16384;

// CONNECT out, the proxy's answer in: connect_done once the tunnel stands.
// The answer is read no further than its head could reach, and nothing may
// follow it: the service's TLS speaks only after ours.
connect_outcome_t advanceTunnel(http_connection_t* c, char* why, size_t why_size) {
  while (c->tunnel_sent < c->tunnel_request_size) {
    const ssize_t n = send(c->socket, c->tunnel + c->tunnel_sent, c->tunnel_request_size - c->tunnel_sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      c->waits = POLLOUT;
      return connect_waiting;
    }
    if (n < 0) {
      snprintf(why, why_size, "proxy: the connection failed while asking for a tunnel");
      return connect_refused;
    }
    c->tunnel_sent += static_cast<size_t>(n);
    c->last_progress_ms = httpNowMs();
  }
  char* answer = c->tunnel + c->tunnel_request_size;
  for (;;) {
    const ssize_t n = recv(c->socket, answer + c->tunnel_received, tunnel_answer_capacity - c->tunnel_received, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      c->waits = POLLIN;
      return connect_waiting;
    }
    if (n <= 0) {
      snprintf(why, why_size, "proxy: the connection ended before its answer to CONNECT");
      return connect_refused;
    }
    c->tunnel_received += static_cast<size_t>(n);
    c->last_progress_ms = httpNowMs();
    size_t head_size = 0;
    switch (proxyParseConnectAnswer(answer, c->tunnel_received, &head_size, why, why_size)) {
      case proxy_answer_pending:
        continue;
      case proxy_answer_failed:
        return connect_refused;
      case proxy_answer_ok:
        if (head_size != c->tunnel_received) {
          snprintf(why, why_size, "proxy: bytes follow its answer to CONNECT");
          return connect_refused;
        }
        free(c->tunnel);
        c->tunnel = nullptr;
        c->waits = 0;
        return connect_done;
    }
  }
}

}  // namespace

int64_t httpNowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

int http_internal_connect(const char* address, const char* port) {
  addrinfo hints{};
  hints.ai_flags = AI_PASSIVE;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  addrinfo* addri = nullptr;
  if (getaddrinfo(address, port, &hints, &addri) != 0) return -1;

  int sock = socket(addri->ai_family, addri->ai_socktype, addri->ai_protocol);
  if (sock == -1) {
    freeaddrinfo(addri);
    return -1;
  }
  int flags = fcntl(sock, F_GETFL, 0);
  if (flags == -1 || fcntl(sock, F_SETFL, flags | O_NONBLOCK) == -1) {
    freeaddrinfo(addri);
    close(sock);
    return -1;
  }
  int res = connect(sock, addri->ai_addr, addri->ai_addrlen);
  freeaddrinfo(addri);
  if (res == -1 && errno != EINPROGRESS && errno != EAGAIN) {
    close(sock);
    return -1;
  }
  return sock;
}

bool connectionOpen(http_connection_t* c, const http_route_t& route, int64_t stall_limit_ms) {
  *c = http_connection_t{};
  c->socket = http_internal_connect(route.host, route.port);
  c->connect_pending = true;
  c->stall_limit_ms = stall_limit_ms;
  c->last_progress_ms = httpNowMs();
  if (c->socket >= 0 && route.tls_host) {
    char why[256];
    c->tls = tlsStart(c->socket, route.tls_host, route.tls_port, route.offer_h2, why, sizeof why);
    if (!c->tls) connectionClose(c);
  }
  if (c->socket >= 0 && route.tunnel_request) {
    c->tunnel_request_size = strlen(route.tunnel_request);
    c->tunnel = static_cast<char*>(malloc(c->tunnel_request_size + tunnel_answer_capacity));
    if (c->tunnel) memcpy(c->tunnel, route.tunnel_request, c->tunnel_request_size);
    else connectionClose(c);
  }
  return c->socket >= 0;
}

void connectionClose(http_connection_t* c) {
  free(c->tunnel);
  c->tunnel = nullptr;
  if (c->tls) tlsFree(c->tls);
  c->tls = nullptr;
  if (c->socket >= 0) close(c->socket);
  c->socket = -1;
}

connect_outcome_t connectionFinishConnect(http_connection_t* c, char* why, size_t why_size) {
  if (!c->connect_pending) return connect_done;
  if (!c->tcp_connected) {
    pollfd p{c->socket, POLLOUT, 0};
    int ready = poll(&p, 1, 0);
    if (ready < 0 && errno != EINTR) return connect_poll_failed;
    if (ready <= 0) return connect_waiting;
    // Writable means the attempt is over; its outcome is the pending error.
    int err = 0;
    socklen_t len = sizeof err;
    if (getsockopt(c->socket, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return connect_failed;
    c->tcp_connected = true;
    c->last_progress_ms = httpNowMs();
  }
  if (c->tunnel) {
    const connect_outcome_t tunnel = advanceTunnel(c, why, why_size);
    if (tunnel != connect_done) return tunnel;
  }
  if (c->tls) {
    if (!c->tls_handshaking) {
      c->tls_session_wait = !tlsReadyToHandshake(c->tls);
      if (c->tls_session_wait) return connect_waiting;
      c->tls_handshaking = true;
    }
    switch (tlsHandshake(c->tls, why, why_size)) {
      case tls_ok:
        break;
      case tls_want_read:
        c->waits = POLLIN;
        return connect_waiting;
      case tls_want_write:
        c->waits = POLLOUT;
        return connect_waiting;
      case tls_closed:
      case tls_failed:
        return connect_refused;
    }
    c->waits = 0;
    c->last_progress_ms = httpNowMs();
  }
  c->connect_pending = false;
  return connect_done;
}

namespace {

bool tlsSend(http_connection_t* c, const char* buf, size_t len, size_t* sent) {
  while (*sent < len) {
    size_t n = 0;
    switch (tlsWrite(c->tls, buf + *sent, len - *sent, &n)) {
      case tls_ok:
        *sent += n;
        c->waits = 0;
        c->last_progress_ms = httpNowMs();
        continue;
      case tls_want_read:
        c->waits = POLLIN;
        return true;
      case tls_want_write:
        c->waits = POLLOUT;
        return true;
      case tls_closed:
      case tls_failed:
        return false;
    }
  }
  return true;
}

receive_outcome_t tlsReceive(http_connection_t* c, http_answer_t* a) {
  if (!answerReserve(a, receive_chunk)) return receive_out_of_memory;
  size_t n = 0;
  switch (tlsRead(c->tls, a->data + a->data_size, receive_chunk, &n)) {
    case tls_ok:
      a->data_size += n;
      c->waits = 0;
      c->last_progress_ms = httpNowMs();
      return a->data_size > a->max_size ? receive_too_large : receive_data;
    case tls_want_read:
      c->waits = POLLIN;
      return receive_would_block;
    case tls_want_write:
      c->waits = POLLOUT;
      return receive_would_block;
    case tls_closed:
      return receive_closed;
    case tls_failed:
      break;
  }
  return receive_failed;
}

}  // namespace

bool connectionSend(http_connection_t* c, const char* buf, size_t len, size_t* sent) {
  if (c->tls) return tlsSend(c, buf, len, sent);
  while (*sent < len) {
    ssize_t n = send(c->socket, buf + *sent, len - *sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    *sent += static_cast<size_t>(n);
    c->last_progress_ms = httpNowMs();
  }
  return true;
}

receive_outcome_t connectionReceive(http_connection_t* c, http_answer_t* a) {
  if (c->tls) return tlsReceive(c, a);
  for (;;) {
    if (!answerReserve(a, receive_chunk)) return receive_out_of_memory;
    ssize_t n = recv(c->socket, a->data + a->data_size, receive_chunk, 0);
    if (n > 0) {
      a->data_size += static_cast<size_t>(n);
      c->last_progress_ms = httpNowMs();
      return a->data_size > a->max_size ? receive_too_large : receive_data;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return receive_would_block;
    return n < 0 ? receive_failed : receive_closed;
  }
}

void connectionWait(const http_connection_t* c, bool for_write, int timeout_ms) {
  if (c->tls_session_wait) {
    poll(nullptr, 0, timeout_ms);  // nothing to watch: another connection brings the session
    return;
  }
  // TLS may need to read while sending or write while receiving: it says which.
  const short events = c->waits ? c->waits : static_cast<short>(for_write ? POLLOUT : POLLIN);
  pollfd p{c->socket, events, 0};
  poll(&p, 1, timeout_ms);
}

bool connectionStalled(const http_connection_t* c) {
  return httpNowMs() - c->last_progress_ms >= c->stall_limit_ms;
}
