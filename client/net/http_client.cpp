#include "net/http_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <unistd.h>

std::atomic<int64_t> http_stall_timeout_ms{http_stall_limit_ms};
const char http_failure_status[] = "status code 300 or more";
std::atomic<size_t> http_max_response_bytes{http_response_limit};

namespace {

constexpr size_t receive_initial_capacity = 65536;
// One read takes at most this much; a drain repeats until the socket is empty.
constexpr size_t receive_chunk = 16384;
constexpr size_t reason_capacity = 1024;
constexpr size_t content_type_capacity = 256;
constexpr size_t status_code_capacity = 16;

enum answer_framing_t { framing_until_close, framing_length, framing_chunked };
enum chunk_phase_t { chunk_size_line, chunk_data, chunk_data_end, chunk_trailer };

// Limits of the parts of a framed answer that the body's limit does not
// bound: a service that never ends its header or a chunk line must not make
// us read up to 64 MiB to find out.
constexpr size_t max_header_bytes = 65536;
constexpr size_t max_chunk_line_bytes = 1024;

struct http_internal_t {
  http_t http;  // first member: the caller's handle and this record share an address
  void* memctx;
  int socket;
  int connect_pending;
  int request_sent;
  char address[256];
  char request_header[256];
  char* request_header_large;
  void* request_data;
  size_t request_data_size;
  char reason_phrase[reason_capacity];
  char content_type[content_type_capacity];
  size_t data_size;
  size_t data_capacity;
  void* data;
  // A send may take only part of what it is given; these say how far the
  // head and the body have gone, so the next call continues from there.
  size_t header_sent;
  size_t data_sent;
  int64_t last_progress_ms;
  int64_t stall_limit_ms;
  size_t max_response_size;
  const char* failure;  // what ended the request, for diagnostics; null otherwise

  // Persistent connections (httpGetKeepAlive): the answer is framed, and a
  // complete one may leave its connection to the next request.
  int keep_alive;
  int reused;  // the socket came from the idle set and has not been replaced
  char host[http_address_capacity];
  char port[http_port_capacity];
  size_t head_end;  // offset of the body once the header's blank line is in; 0 before
  answer_framing_t framing;
  size_t content_length;
  int persistent;  // the service lets the connection carry another request
  int complete;    // the whole answer is in
  // The chunked coding is decoded in place: the raw bytes from chunk_read on
  // are still coded, the decoded body ends at head_end + body_size.
  chunk_phase_t chunk_phase;
  size_t chunk_read;
  size_t chunk_left;
  size_t body_size;
};

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

http_internal_t* internalOf(http_t* http) { return reinterpret_cast<http_internal_t*>(http); }

const char* requestHeader(const http_internal_t* h) {
  return h->request_header_large ? h->request_header_large : h->request_header;
}

http_status_t fail(http_internal_t* h, const char* why) {
  h->failure = why;
  h->http.status = HTTP_STATUS_FAILED;
  return h->http.status;
}

// Keeps at least one spare byte behind the data for the body's terminator.
bool reserve(http_internal_t* h, size_t n) {
  size_t needed = h->data_size + n + 1;
  if (h->data_capacity >= needed) return true;
  size_t capacity = std::max(h->data_capacity * 2, needed);
  void* grown = malloc(capacity);
  if (!grown) return false;
  memcpy(grown, h->data, h->data_size);
  free(h->data);
  h->data = grown;
  h->data_capacity = capacity;
  return true;
}

// Copies [begin, end) of the received bytes into dst, cut to capacity - 1.
void copyCut(char* dst, size_t capacity, const char* begin, size_t len) {
  len = std::min(len, capacity - 1);
  memcpy(dst, begin, len);
  dst[len] = '\0';
}

}  // namespace

namespace {

// The status line and the header fields in all[0, header_end + 2): status
// code, reason phrase and Content-Type. PENDING when they parse.
http_status_t parseHead(http_internal_t* h, std::string_view all, size_t header_end) {
  const char* data = all.data();
  size_t space1 = all.find(' ');
  if (space1 == std::string_view::npos) return fail(h, "status line without two spaces");
  size_t space2 = all.find(' ', space1 + 1);
  if (space2 == std::string_view::npos) return fail(h, "status line without two spaces");
  size_t code_len = space2 - space1 - 1;
  // A status code that does not fit its buffer is no HTTP status code.
  if (code_len >= status_code_capacity) return fail(h, "status code longer than 15 characters");
  char code[status_code_capacity];
  memcpy(code, data + space1 + 1, code_len);
  code[code_len] = '\0';
  h->http.status_code = static_cast<int>(strtol(code, nullptr, 10));

  size_t line_end = all.find("\r\n", space2 + 1);
  if (line_end == std::string_view::npos) return fail(h, "status line without a line end");
  copyCut(h->reason_phrase, sizeof h->reason_phrase, data + space2 + 1, line_end - space2 - 1);

  // Only the header is searched: a body may well contain the same words.
  std::string_view header = all.substr(0, header_end + 2);
  static constexpr std::string_view content_type_key = "Content-Type: ";
  size_t key = header.find(content_type_key, line_end + 1);
  if (key != std::string_view::npos) {
    size_t value = key + content_type_key.size();
    size_t value_end = header.find("\r\n", value);
    if (value_end != std::string_view::npos)
      copyCut(h->content_type, sizeof h->content_type, data + value, value_end - value);
  }
  return HTTP_STATUS_PENDING;
}

// The answer is complete: body at [body, body + size), status from its code.
http_status_t finishAnswer(http_internal_t* h, size_t body, size_t size) {
  h->http.status = h->http.status_code <= 299 ? HTTP_STATUS_COMPLETED : HTTP_STATUS_FAILED;
  h->http.response_data = static_cast<char*>(h->data) + body;
  h->http.response_size = size;
  static_cast<char*>(h->data)[body + size] = '\0';
  return h->http.status;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t k = 0; k < a.size(); ++k)
    if (tolower(static_cast<unsigned char>(a[k])) != tolower(static_cast<unsigned char>(b[k]))) return false;
  return true;
}

std::string_view trimmed(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

// How a framed answer ends and whether its connection may carry another
// request, from the version and the header fields (names in any case).
http_status_t parseFraming(http_internal_t* h, std::string_view header) {
  const size_t first_end = header.find("\r\n");
  const std::string_view version = header.substr(0, std::min(header.find(' '), first_end));
  bool close = false, keep_alive = false, has_length = false, chunked = false;
  size_t length = 0;
  for (size_t at = first_end + 2; at < header.size();) {
    size_t end = header.find("\r\n", at);
    if (end == std::string_view::npos) end = header.size();
    const std::string_view line = header.substr(at, end - at);
    at = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    const std::string_view name = line.substr(0, colon);
    const std::string_view value = trimmed(line.substr(colon + 1));
    if (equalsNoCase(name, "Content-Length")) {
      if (value.empty() || value.size() > 18 || value.find_first_not_of("0123456789") != std::string_view::npos)
        return fail(h, "Content-Length is not a decimal number");
      size_t v = 0;
      for (char c : value) v = v * 10 + static_cast<size_t>(c - '0');
      if (has_length && v != length) return fail(h, "two different Content-Length values");
      has_length = true;
      length = v;
    } else if (equalsNoCase(name, "Transfer-Encoding")) {
      if (!equalsNoCase(value, "chunked")) return fail(h, "transfer coding other than chunked");
      chunked = true;
    } else if (equalsNoCase(name, "Connection")) {
      for (size_t t = 0; t <= value.size();) {
        size_t comma = value.find(',', t);
        if (comma == std::string_view::npos) comma = value.size();
        const std::string_view token = trimmed(value.substr(t, comma - t));
        close = close || equalsNoCase(token, "close");
        keep_alive = keep_alive || equalsNoCase(token, "keep-alive");
        t = comma + 1;
      }
    }
  }
  if (chunked) {
    h->framing = framing_chunked;
  } else if (has_length) {
    if (length > h->max_response_size) return fail(h, "response larger than the limit");
    h->framing = framing_length;
    h->content_length = length;
  } else {
    h->framing = framing_until_close;
  }
  // Both framings at once is how a request gets smuggled: answer this one
  // by the chunks, trust the connection with nothing more.
  h->persistent = !close && h->framing != framing_until_close && !(chunked && has_length) &&
                  (version == "HTTP/1.1" || (version == "HTTP/1.0" && keep_alive));
  return HTTP_STATUS_PENDING;
}

// Decodes what has arrived of a chunked body, in place.
http_status_t advanceChunks(http_internal_t* h) {
  char* data = static_cast<char*>(h->data);
  for (;;) {
    const std::string_view rest(data + h->chunk_read, h->data_size - h->chunk_read);
    switch (h->chunk_phase) {
      case chunk_size_line: {
        const size_t end = rest.find("\r\n");
        if (end == std::string_view::npos) {
          if (rest.size() > max_chunk_line_bytes) return fail(h, "chunk size line longer than 1 KiB");
          return HTTP_STATUS_PENDING;
        }
        if (end > max_chunk_line_bytes) return fail(h, "chunk size line longer than 1 KiB");
        size_t size = 0, digits = 0;
        for (; digits < end && isxdigit(static_cast<unsigned char>(rest[digits])); ++digits) {
          const char c = rest[digits];
          size = size * 16 + static_cast<size_t>(c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10);
          if (size > h->max_response_size) return fail(h, "response larger than the limit");
        }
        if (digits == 0 || (digits < end && rest[digits] != ';' && rest[digits] != ' ' && rest[digits] != '\t'))
          return fail(h, "chunk size is not a hexadecimal number");
        h->chunk_read += end + 2;
        h->chunk_left = size;
        h->chunk_phase = size == 0 ? chunk_trailer : chunk_data;
        break;
      }
      case chunk_data: {
        const size_t take = std::min(rest.size(), h->chunk_left);
        memmove(data + h->head_end + h->body_size, data + h->chunk_read, take);
        h->body_size += take;
        h->chunk_read += take;
        h->chunk_left -= take;
        if (h->chunk_left) return HTTP_STATUS_PENDING;
        h->chunk_phase = chunk_data_end;
        break;
      }
      case chunk_data_end:
        if (rest.size() < 2) return HTTP_STATUS_PENDING;
        if (rest.substr(0, 2) != "\r\n") return fail(h, "chunk data not followed by a line end");
        h->chunk_read += 2;
        h->chunk_phase = chunk_size_line;
        break;
      case chunk_trailer: {
        const size_t end = rest.find("\r\n");
        if (end == std::string_view::npos) {
          if (rest.size() > max_chunk_line_bytes) return fail(h, "trailer line longer than 1 KiB");
          return HTTP_STATUS_PENDING;
        }
        h->chunk_read += end + 2;
        if (end == 0) {
          h->complete = 1;
          if (h->chunk_read != h->data_size) h->persistent = 0;  // bytes nobody asked for
          return finishAnswer(h, h->head_end, h->body_size);
        }
        break;
      }
    }
  }
}

}  // namespace

// The server has closed the connection: everything received is the response.
// Every search is confined to the received bytes, which may hold NULs.
http_status_t http_internal_parse_response(http_t* http) {
  http_internal_t* h = internalOf(http);
  std::string_view all(static_cast<const char*>(h->data), h->data_size);
  size_t header_end = all.find("\r\n\r\n");
  if (header_end == std::string_view::npos) return fail(h, "no blank line ends the response header");
  if (parseHead(h, all, header_end) != HTTP_STATUS_PENDING) return h->http.status;
  return finishAnswer(h, header_end + 4, h->data_size - header_end - 4);
}

http_status_t httpInternalAdvanceFramed(http_t* http, bool peer_closed) {
  http_internal_t* h = internalOf(http);
  if (h->http.status != HTTP_STATUS_PENDING) return h->http.status;
  std::string_view all(static_cast<const char*>(h->data), h->data_size);
  if (!h->head_end) {
    size_t header_end = all.find("\r\n\r\n");
    if (header_end == std::string_view::npos) {
      if (h->data_size > max_header_bytes) return fail(h, "response header larger than 64 KiB");
      return peer_closed ? fail(h, "no blank line ends the response header") : HTTP_STATUS_PENDING;
    }
    if (header_end + 4 > max_header_bytes) return fail(h, "response header larger than 64 KiB");
    if (parseHead(h, all, header_end) != HTTP_STATUS_PENDING) return h->http.status;
    if (parseFraming(h, all.substr(0, header_end + 2)) != HTTP_STATUS_PENDING) return h->http.status;
    h->head_end = header_end + 4;
    h->chunk_read = h->head_end;
  }
  switch (h->framing) {
    case framing_until_close:
      if (!peer_closed) return HTTP_STATUS_PENDING;
      h->complete = 1;
      return finishAnswer(h, h->head_end, h->data_size - h->head_end);
    case framing_length:
      if (h->data_size - h->head_end >= h->content_length) {
        h->complete = 1;
        if (h->data_size - h->head_end > h->content_length) h->persistent = 0;  // bytes nobody asked for
        return finishAnswer(h, h->head_end, h->content_length);
      }
      return peer_closed ? fail(h, "connection closed before the end of the body") : HTTP_STATUS_PENDING;
    case framing_chunked:
      if (advanceChunks(h) != HTTP_STATUS_PENDING) return h->http.status;
      return peer_closed ? fail(h, "connection closed before the last chunk") : HTTP_STATUS_PENDING;
  }
  return HTTP_STATUS_PENDING;
}

namespace {

// Hands as much of [buf + *sent, buf + len) to the socket as it takes now.
// Returns false on a send error; a full socket buffer is no error.
bool sendSome(http_internal_t* h, const char* buf, size_t len, size_t* sent) {
  while (*sent < len) {
    ssize_t n = send(h->socket, buf + *sent, len - *sent, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK;
    }
    *sent += static_cast<size_t>(n);
    h->last_progress_ms = nowMs();
  }
  return true;
}

}  // namespace

http_t* http_internal_create(size_t extra, void* memctx) {
  auto* h = static_cast<http_internal_t*>(calloc(1, sizeof(http_internal_t) + extra));
  if (!h) return nullptr;
  h->data = malloc(receive_initial_capacity);
  if (!h->data) {
    free(h);
    return nullptr;
  }
  h->data_capacity = receive_initial_capacity;
  h->http.status = HTTP_STATUS_PENDING;
  h->http.reason_phrase = h->reason_phrase;
  h->http.content_type = h->content_type;
  h->memctx = memctx;
  h->socket = -1;
  h->connect_pending = 1;
  h->last_progress_ms = nowMs();
  h->stall_limit_ms = http_stall_timeout_ms.load();
  h->max_response_size = http_max_response_bytes.load();
  return &h->http;
}

void httpInternalExpectFramed(http_t* http) { internalOf(http)->keep_alive = 1; }

int http_internal_append(http_t* http, const void* bytes, size_t size) {
  http_internal_t* h = internalOf(http);
  if (!reserve(h, size)) return 0;
  memcpy(static_cast<char*>(h->data) + h->data_size, bytes, size);
  h->data_size += size;
  return 1;
}

namespace {

// Idle kept-alive connections, by "host:port". At most one per download
// thread is ever idle; the bound only guards against a caller that makes
// more threads than the viewer does.
struct idle_connections_t {
  std::mutex m;
  std::vector<std::pair<std::string, int>> sockets;
  bool keeping = true;  // false once the process shuts its connections
};

idle_connections_t& idleConnections() {
  // Never destroyed: download threads may return connections during exit.
  static auto* idle = new idle_connections_t();
  return *idle;
}

constexpr size_t max_idle_connections = 4 * download_pool_threads;

std::atomic<int64_t> connections_opened{0};
std::atomic<int64_t> requests_on_reused{0};

std::string connectionKey(const char* host, const char* port) { return std::string(host) + ":" + port; }

// An idle connection to host:port that the service has not closed, or -1.
// One the service has closed (or that holds bytes nobody asked for) reads
// as readable: it is dropped here rather than failing a request later.
int takeIdleConnection(const std::string& key) {
  idle_connections_t& idle = idleConnections();
  for (;;) {
    int fd = -1;
    {
      std::lock_guard<std::mutex> lock(idle.m);
      for (size_t k = idle.sockets.size(); k-- > 0;) {
        if (idle.sockets[k].first != key) continue;
        fd = idle.sockets[k].second;
        idle.sockets.erase(idle.sockets.begin() + static_cast<std::ptrdiff_t>(k));
        break;
      }
    }
    if (fd < 0) return -1;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 0) == 0) return fd;
    close(fd);
  }
}

void keepIdleConnection(const std::string& key, int fd) {
  idle_connections_t& idle = idleConnections();
  {
    std::lock_guard<std::mutex> lock(idle.m);
    if (idle.keeping && idle.sockets.size() < max_idle_connections) {
      idle.sockets.emplace_back(key, fd);
      return;
    }
  }
  close(fd);
}

int connectCounted(const char* host, const char* port) {
  int fd = http_internal_connect(host, port);
  if (fd >= 0) ++connections_opened;
  return fd;
}

http_t* createRequest(const char* url, const void* body, size_t body_size, bool post, bool keep_alive,
                      void* memctx) {
  char host[http_address_capacity];
  char port[http_port_capacity];
  const char* resource = nullptr;
  if (!http_internal_parse_url(url, host, sizeof host, port, sizeof port, &resource)) return nullptr;

  http_t* handle = http_internal_create(post ? body_size : 0, memctx);
  if (!handle) return nullptr;
  http_internal_t* h = internalOf(handle);

  size_t head_size = strlen(resource) + strlen(host) + strlen(port) + 64;
  char* head = h->request_header;
  size_t head_capacity = sizeof h->request_header;
  if (head_size >= sizeof h->request_header) {
    head_capacity = head_size + 65;
    h->request_header_large = static_cast<char*>(malloc(head_capacity));
    if (!h->request_header_large) {
      http_release(handle);
      return nullptr;
    }
    head = h->request_header_large;
  }
  const char* version = keep_alive ? "HTTP/1.1" : "HTTP/1.0";
  if (post) {
    snprintf(head, head_capacity, "POST %s %s\r\nHost: %s:%s\r\nContent-Length: %d\r\n\r\n",
             resource, version, host, port, static_cast<int>(body_size));
    h->request_data = reinterpret_cast<char*>(h) + sizeof(http_internal_t);
    if (body_size) memcpy(h->request_data, body, body_size);
    h->request_data_size = body_size;
  } else {
    snprintf(head, head_capacity, "GET %s %s\r\nHost: %s:%s\r\n\r\n", resource, version, host, port);
  }

  // Connect last: the clock of the stall limit starts with the attempt.
  if (keep_alive) {
    h->keep_alive = 1;
    memcpy(h->host, host, sizeof h->host);
    memcpy(h->port, port, sizeof h->port);
    h->socket = takeIdleConnection(connectionKey(host, port));
    if (h->socket >= 0) {
      h->reused = 1;
      h->connect_pending = 0;
      ++requests_on_reused;
    }
  }
  if (h->socket < 0) h->socket = connectCounted(host, port);
  if (h->socket < 0) {
    http_release(handle);
    return nullptr;
  }
  h->last_progress_ms = nowMs();
  return handle;
}

// A reused connection that ends before a byte of the answer came back was
// closed by the service while idle (it may do so at any time): the request
// goes out once more on a new connection. False when that cannot be done.
bool retryOnNewConnection(http_internal_t* h) {
  if (!h->reused || h->data_size != 0) return false;
  close(h->socket);
  h->reused = 0;
  h->socket = connectCounted(h->host, h->port);
  if (h->socket < 0) return false;
  h->connect_pending = 1;
  h->request_sent = 0;
  h->header_sent = 0;
  h->data_sent = 0;
  h->last_progress_ms = nowMs();
  return true;
}

}  // namespace

int http_internal_parse_url(const char* url, char* address, size_t address_capacity, char* port,
                            size_t port_capacity, const char** resource) {
  static const char prefix[] = "http://";
  if (strncmp(url, prefix, sizeof prefix - 1) != 0) return 0;
  const char* host = url + sizeof prefix - 1;
  // The host ends at its port's ':' or at the resource's '/'; a ':' further
  // on belongs to the resource.
  size_t host_len = strcspn(host, ":/");
  if (host_len >= address_capacity) return 0;
  memcpy(address, host, host_len);
  address[host_len] = '\0';

  const char* rest = host + host_len;
  if (*rest == ':') {
    const char* port_text = rest + 1;
    size_t port_len = strcspn(port_text, "/");
    if (port_len >= port_capacity) return 0;
    memcpy(port, port_text, port_len);
    port[port_len] = '\0';
    rest = port_text + port_len;
  } else {
    snprintf(port, port_capacity, "80");
  }
  *resource = rest;
  return 1;
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

http_t* http_get(const char* url, void* memctx) {
  return createRequest(url, nullptr, 0, false, false, memctx);
}

http_t* http_post(const char* url, const void* data, size_t size, void* memctx) {
  return createRequest(url, data, size, true, false, memctx);
}

http_t* httpGetKeepAlive(const char* url, void* memctx) {
  return createRequest(url, nullptr, 0, false, true, memctx);
}

void httpCloseIdleConnections() {
  idle_connections_t& idle = idleConnections();
  std::lock_guard<std::mutex> lock(idle.m);
  for (auto& [key, fd] : idle.sockets) close(fd);
  idle.sockets.clear();
}

void httpStopKeepingConnections() {
  {
    std::lock_guard<std::mutex> lock(idleConnections().m);
    idleConnections().keeping = false;
  }
  httpCloseIdleConnections();
}

http_connection_stats_t httpConnectionStats() { return {connections_opened.load(), requests_on_reused.load()}; }

http_status_t http_process(http_t* http) {
  http_internal_t* h = internalOf(http);
  if (http->status != HTTP_STATUS_PENDING) return http->status;

  if (h->connect_pending) {
    pollfd p{h->socket, POLLOUT, 0};
    int ready = poll(&p, 1, 0);
    if (ready < 0 && errno != EINTR) return fail(h, "poll failed");
    if (ready > 0) {
      // Writable means the attempt is over; its outcome is the pending error.
      int err = 0;
      socklen_t len = sizeof err;
      if (getsockopt(h->socket, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) return fail(h, "connection failed");
      h->connect_pending = 0;
      h->last_progress_ms = nowMs();
    }
  }

  if (!h->connect_pending && !h->request_sent) {
    const char* head = requestHeader(h);
    size_t head_len = strlen(head);
    bool sent = sendSome(h, head, head_len, &h->header_sent);
    if (sent && h->header_sent == head_len && h->request_data_size)
      sent = sendSome(h, static_cast<const char*>(h->request_data), h->request_data_size, &h->data_sent);
    if (!sent) return retryOnNewConnection(h) ? http->status : fail(h, "send failed");
    if (h->header_sent == head_len && h->data_sent == h->request_data_size) h->request_sent = 1;
  } else if (h->request_sent) {
    // The socket is non-blocking: read until it has nothing more right now.
    for (;;) {
      if (!reserve(h, receive_chunk)) return fail(h, "out of memory");
      ssize_t n = recv(h->socket, static_cast<char*>(h->data) + h->data_size, receive_chunk, 0);
      if (n > 0) {
        h->data_size += static_cast<size_t>(n);
        h->last_progress_ms = nowMs();
        if (h->data_size > h->max_response_size) return fail(h, "response larger than the limit");
        // A framed answer ends with its last byte, not with the connection.
        if (h->keep_alive && httpInternalAdvanceFramed(http, false) != HTTP_STATUS_PENDING) return http->status;
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (retryOnNewConnection(h)) return http->status;
      if (n < 0) return fail(h, "receive failed");
      return h->keep_alive ? httpInternalAdvanceFramed(http, true) : http_internal_parse_response(http);
    }
  }

  if (nowMs() - h->last_progress_ms >= h->stall_limit_ms) return fail(h, "no progress within the stall limit");
  return http->status;
}

void http_wait(http_t* http, int timeout_ms) {
  if (!http || http->status != HTTP_STATUS_PENDING) return;
  http_internal_t* h = internalOf(http);
  short events = (h->connect_pending || !h->request_sent) ? POLLOUT : POLLIN;
  pollfd p{h->socket, events, 0};
  poll(&p, 1, timeout_ms);
}

const char* http_failure_reason(const http_t* http) {
  const auto* h = reinterpret_cast<const http_internal_t*>(http);
  if (h->failure) return h->failure;
  if (http->status == HTTP_STATUS_FAILED) return http_failure_status;
  return "";
}

void http_release(http_t* http) {
  if (!http) return;
  http_internal_t* h = internalOf(http);
  if (h->socket >= 0) {
    // Only a connection whose last answer was read to its end, and that the
    // service keeps open, can carry the next request.
    if (h->keep_alive && h->complete && h->persistent)
      keepIdleConnection(connectionKey(h->host, h->port), h->socket);
    else
      close(h->socket);
  }
  free(h->request_header_large);
  free(h->data);
  free(h);
}
