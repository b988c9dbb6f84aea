#include "net/http_client.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

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

// The server has closed the connection: everything received is the response.
// Every search is confined to the received bytes, which may hold NULs.
http_status_t http_internal_parse_response(http_t* http) {
  http_internal_t* h = internalOf(http);
  const char* data = static_cast<const char*>(h->data);
  std::string_view all(data, h->data_size);

  size_t header_end = all.find("\r\n\r\n");
  if (header_end == std::string_view::npos) return fail(h, "no blank line ends the response header");

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

  h->http.status = h->http.status_code <= 299 ? HTTP_STATUS_COMPLETED : HTTP_STATUS_FAILED;
  size_t body = header_end + 4;
  h->http.response_data = static_cast<char*>(h->data) + body;
  h->http.response_size = h->data_size - body;
  static_cast<char*>(h->data)[h->data_size] = '\0';
  return h->http.status;
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

int http_internal_append(http_t* http, const void* bytes, size_t size) {
  http_internal_t* h = internalOf(http);
  if (!reserve(h, size)) return 0;
  memcpy(static_cast<char*>(h->data) + h->data_size, bytes, size);
  h->data_size += size;
  return 1;
}

namespace {

http_t* createRequest(const char* url, const void* body, size_t body_size, bool post,
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
  if (post) {
    snprintf(head, head_capacity, "POST %s HTTP/1.0\r\nHost: %s:%s\r\nContent-Length: %d\r\n\r\n",
             resource, host, port, static_cast<int>(body_size));
    h->request_data = reinterpret_cast<char*>(h) + sizeof(http_internal_t);
    if (body_size) memcpy(h->request_data, body, body_size);
    h->request_data_size = body_size;
  } else {
    snprintf(head, head_capacity, "GET %s HTTP/1.0\r\nHost: %s:%s\r\n\r\n", resource, host, port);
  }

  // Connect last: the clock of the stall limit starts with the attempt.
  h->socket = http_internal_connect(host, port);
  if (h->socket < 0) {
    http_release(handle);
    return nullptr;
  }
  h->last_progress_ms = nowMs();
  return handle;
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
  return createRequest(url, nullptr, 0, false, memctx);
}

http_t* http_post(const char* url, const void* data, size_t size, void* memctx) {
  return createRequest(url, data, size, true, memctx);
}

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
    if (!sendSome(h, head, head_len, &h->header_sent)) return fail(h, "send failed");
    if (h->header_sent == head_len && h->request_data_size) {
      if (!sendSome(h, static_cast<const char*>(h->request_data), h->request_data_size,
                    &h->data_sent))
        return fail(h, "send failed");
    }
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
        continue;
      }
      if (n == 0) return http_internal_parse_response(http);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return fail(h, "receive failed");
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
  if (h->socket >= 0) close(h->socket);
  free(h->request_header_large);
  free(h->data);
  free(h);
}
