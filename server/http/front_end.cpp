#include "http/front_end.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

#include <microhttpd.h>

#include "http/caching_headers.h"

struct front_end_t::state_t {
  service_t* service = nullptr;
  front_end_options_t options;
  connection_table_t table;
  MHD_Daemon* daemon = nullptr;
  int listening = -1;
  int wake_acceptor[2] = {-1, -1};  // a byte here ends the accept loop
  std::thread acceptor;
  std::thread sweeper;
  std::mutex mutex;
  std::condition_variable wake;
  bool stopping = false;
};

namespace {

using state_t = front_end_t::state_t;

// One request, from its request line to the end of its answer.
struct request_t {
  std::string target;  // as sent, query and all (the library's url is decoded)
  connection_clock_t::time_point start;
  bool head_seen = false;
  size_t body_bytes = 0;
  ResponseCache::body_t body;  // the answer's bytes, alive until they are sent
};

std::string addressText(const sockaddr* a) {
  char buf[INET6_ADDRSTRLEN] = "?";
  if (a->sa_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(a)->sin_addr, buf, sizeof buf);
  else if (a->sa_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr, buf, sizeof buf);
  return buf;
}

tracked_connection_t* trackedOf(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info ? static_cast<tracked_connection_t*>(info->socket_context) : nullptr;
}

// The accept loop is ours, not the library's: stopping then closes the
// listening socket at once, which the library's own quiescing cannot do
// safely under several epoll loops (it races them for the descriptor), and
// connections reach the per-address table in the order they were made.
void acceptConnections(state_t* st) {
  pollfd watch[2] = {{st->listening, POLLIN, 0}, {st->wake_acceptor[0], POLLIN, 0}};
  for (;;) {
    if (poll(watch, 2, -1) < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "rocktreed: no longer accepting connections: %s\n", std::strerror(errno));
      return;
    }
    if (watch[1].revents) return;
    sockaddr_storage from{};
    socklen_t from_len = sizeof from;
    const int fd = accept4(st->listening, reinterpret_cast<sockaddr*>(&from), &from_len, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      // Out of descriptors or memory: wait for some to be freed rather than spin.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        std::this_thread::sleep_for(std::chrono::milliseconds(accept_retry_ms));
      continue;
    }
    if (!reserveAddress(st->table, addressText(reinterpret_cast<sockaddr*>(&from)), connection_clock_t::now())) {
      close(fd);  // over its address's share: closed unanswered
      continue;
    }
    // The library owns the socket from here, and closes it if it is full.
    MHD_add_connection(st->daemon, fd, reinterpret_cast<sockaddr*>(&from), from_len);
  }
}

void notifyConnection(void* cls, MHD_Connection* connection, void** socket_context,
                      MHD_ConnectionNotificationCode code) {
  auto* st = static_cast<state_t*>(cls);
  if (code == MHD_CONNECTION_NOTIFY_STARTED) {
    const MHD_ConnectionInfo* fd = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    const MHD_ConnectionInfo* addr = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    *socket_context = trackConnection(st->table, fd ? fd->connect_fd : -1,
                                      addr ? addressText(addr->client_addr) : "?", connection_clock_t::now());
  } else if (*socket_context) {
    untrackConnection(st->table, static_cast<tracked_connection_t*>(*socket_context));
    *socket_context = nullptr;
  }
}

void* requestStarted(void*, const char* uri, MHD_Connection*) {
  auto* r = new request_t;
  r->target = uri ? uri : "";
  r->start = connection_clock_t::now();
  return r;
}

void requestEnded(void* cls, MHD_Connection* connection, void** con_cls, MHD_RequestTerminationCode code) {
  auto* st = static_cast<state_t*>(cls);
  auto* r = static_cast<request_t*>(*con_cls);
  tracked_connection_t* c = trackedOf(connection);
  if (c && r && r->head_seen) {
    if (code == MHD_REQUEST_TERMINATED_TIMEOUT_REACHED)
      st->service->metrics.connections.timed_out_send.fetch_add(1, std::memory_order_relaxed);
    answerSent(st->table, c, connection_clock_t::now());
  }
  delete r;
  *con_cls = nullptr;
}

MHD_Response* textResponse(const std::string& text) {
  MHD_Response* res = MHD_create_response_from_buffer(text.size(), const_cast<char*>(text.data()), MHD_RESPMEM_MUST_COPY);
  MHD_add_response_header(res, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain");
  MHD_add_response_header(res, MHD_HTTP_HEADER_CACHE_CONTROL, cache_control_no_store);
  return res;
}

// Over --max-connections: told when to come back, then closed.
MHD_Result refuse(MHD_Connection* connection) {
  MHD_Response* res = textResponse("rocktreed is busy: too many connections; retry in " +
                                   std::to_string(refused_retry_after_s) + " s\n");
  MHD_add_response_header(res, MHD_HTTP_HEADER_RETRY_AFTER, std::to_string(refused_retry_after_s).c_str());
  MHD_add_response_header(res, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result ok = MHD_queue_response(connection, MHD_HTTP_SERVICE_UNAVAILABLE, res);
  MHD_destroy_response(res);
  return ok;
}

// The answer to a complete request; its status and body size for the log.
MHD_Response* answer(state_t* st, MHD_Connection* connection, const char* method, request_t* r, int* status,
                     size_t* bytes) {
  service_t& s = *st->service;
  if (r->body_bytes > max_request_payload_bytes) {
    *status = MHD_HTTP_CONTENT_TOO_LARGE;
    MHD_Response* res = textResponse("request body too large\n");
    MHD_add_response_header(res, MHD_HTTP_HEADER_CONNECTION, "close");
    return res;
  }
  // HEAD is a GET without the body (the library leaves it out).
  if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
    countRequest(s.metrics, answer_kind_other, 405);
    *status = 405;
    const std::string text = "only GET and HEAD\n";
    *bytes = text.size();
    MHD_Response* res = textResponse(text);
    MHD_add_response_header(res, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    return res;
  }
  const char* inm = MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_IF_NONE_MATCH);
  service_response_t a = answerGet(s, r->target, inm ? inm : "");
  *status = a.status;
  *bytes = a.body->size();
  MHD_Response* res = nullptr;
  if (a.status == 304) {
    res = MHD_create_response_from_buffer(0, nullptr, MHD_RESPMEM_PERSISTENT);
  } else {
    // The cached bytes go out as they are: the request keeps them alive.
    r->body = a.body;
    res = MHD_create_response_from_buffer(r->body->size(), const_cast<char*>(r->body->data()),
                                          MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(res, MHD_HTTP_HEADER_CONTENT_TYPE, a.content_type);
  }
  MHD_add_response_header(res, MHD_HTTP_HEADER_CACHE_CONTROL, a.cache_control);
  if (!a.etag.empty()) MHD_add_response_header(res, MHD_HTTP_HEADER_ETAG, a.etag.c_str());
  return res;
}

MHD_Result handleRequest(void* cls, MHD_Connection* connection, const char*, const char* method, const char*,
                         const char*, size_t* upload_data_size, void** con_cls) {
  auto* st = static_cast<state_t*>(cls);
  auto* r = static_cast<request_t*>(*con_cls);
  tracked_connection_t* c = trackedOf(connection);
  if (!r || !c) return MHD_NO;
  if (!r->head_seen) {  // the head is complete; a body, if any, follows
    r->head_seen = true;
    headArrived(st->table, c);
    return MHD_YES;
  }
  if (*upload_data_size > 0) {  // a GET's body is read and dropped
    r->body_bytes += *upload_data_size;
    *upload_data_size = 0;
    if (r->body_bytes <= max_request_payload_bytes) return MHD_YES;
  }
  if (c->refused) return refuse(connection);
  int status = 500;
  size_t bytes = 0;
  MHD_Response* res = answer(st, connection, method, r, &status, &bytes);
  if (c->requests + 1 >= keep_alive_max_requests) MHD_add_response_header(res, MHD_HTTP_HEADER_CONNECTION, "close");
  const MHD_Result ok = MHD_queue_response(connection, static_cast<unsigned>(status), res);
  MHD_destroy_response(res);
  if (!st->options.quiet) {
    const long long us =
        std::chrono::duration_cast<std::chrono::microseconds>(connection_clock_t::now() - r->start).count();
    std::printf("%s %s %d %zu %lldus\n", method, r->target.c_str(), status, bytes, us);
  }
  return ok;
}

// The listening socket on the address and port, or -1 with the reason.
int listenOn(const std::string& bind, int port, int* bound_port, std::string* error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string where = bind + ":" + std::to_string(port);
  if (getaddrinfo(bind.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found) {
    *error = "cannot bind " + where + " (no such address)";
    return -1;
  }
  int fd = -1;
  for (addrinfo* a = found; a && fd < 0; a = a->ai_next) {
    fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) continue;
    const int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, a->ai_addr, a->ai_addrlen) != 0 || listen(fd, SOMAXCONN) != 0) {
      close(fd);
      fd = -1;
      continue;
    }
  }
  freeaddrinfo(found);
  if (fd < 0) {
    *error = "cannot bind " + where + " (" + std::strerror(errno) + ")";
    return -1;
  }
  sockaddr_storage bound{};
  socklen_t len = sizeof bound;
  getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len);
  *bound_port = ntohs(bound.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                                                  : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
  return fd;
}

// Cuts the connections whose head or idle deadline has passed: shutting
// the socket down makes the event loop see its end and close it.
void sweep(state_t* st) {
  std::unique_lock<std::mutex> lock(st->mutex);
  while (!st->stopping) {
    st->wake.wait_for(lock, std::chrono::milliseconds(connection_sweep_ms));
    expireConnections(st->table, connection_clock_t::now(),
                      [](const tracked_connection_t& c) { shutdown(c.fd, SHUT_RDWR); });
  }
}

}  // namespace

front_end_t::front_end_t() = default;

front_end_t::~front_end_t() {
  if (state) stopFrontEnd(this, 0);
}

bool startFrontEnd(service_t& service, const front_end_options_t& options, front_end_t* fe, std::string* error) {
  auto st = std::make_unique<state_t>();
  st->service = &service;
  st->options = options;
  st->table.limits = options.limits;
  st->table.metrics = &service.metrics.connections;
  const int fd = listenOn(options.bind, options.port, &fe->port, error);
  if (fd < 0) return false;
  if (pipe2(st->wake_acceptor, O_CLOEXEC) != 0) {
    close(fd);
    *error = std::string("cannot start the HTTP front end (") + std::strerror(errno) + ")";
    return false;
  }
  st->listening = fd;
  const unsigned flags = MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_EPOLL | MHD_USE_ITC | MHD_USE_NO_LISTEN_SOCKET;
  st->daemon = MHD_start_daemon(
      flags, 0, nullptr, nullptr, handleRequest, st.get(), MHD_OPTION_THREAD_POOL_SIZE, static_cast<unsigned>(std::max(1, options.event_loops)),
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(options.limits.max_total + refusal_headroom_connections),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(options.limits.send_timeout_s),
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory_bytes, MHD_OPTION_NOTIFY_CONNECTION,
      notifyConnection, st.get(), MHD_OPTION_NOTIFY_COMPLETED, requestEnded, st.get(),
      MHD_OPTION_URI_LOG_CALLBACK, requestStarted, st.get(), MHD_OPTION_END);
  if (!st->daemon) {
    close(fd);
    close(st->wake_acceptor[0]);
    close(st->wake_acceptor[1]);
    *error = "cannot start the HTTP front end on " + options.bind + ":" + std::to_string(fe->port);
    return false;
  }
  state_t* raw = st.get();
  st->sweeper = std::thread([raw] { sweep(raw); });
  st->acceptor = std::thread([raw] { acceptConnections(raw); });
  fe->state = std::move(st);
  return true;
}

void stopFrontEnd(front_end_t* fe, int grace_s) {
  state_t* st = fe->state.get();
  if (!st) return;
  // New connections are refused from here on.
  const char stop = 's';
  if (write(st->wake_acceptor[1], &stop, 1) != 1) std::perror("rocktreed: waking the accept loop");
  st->acceptor.join();
  close(st->listening);
  close(st->wake_acceptor[0]);
  close(st->wake_acceptor[1]);
  const auto end = connection_clock_t::now() + std::chrono::seconds(grace_s);
  while (answersUnderWay(st->table) > 0 && connection_clock_t::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  // The sweeper first: the daemon's stop closes the sockets it would cut.
  {
    std::lock_guard<std::mutex> lock(st->mutex);
    st->stopping = true;
  }
  st->wake.notify_all();
  st->sweeper.join();
  MHD_stop_daemon(st->daemon);
  fe->state.reset();
}
