// The request record and the driver of one request: creation (URL, request
// head, a connection new or kept alive), then each http_process call moves
// it as far as its connection allows and hands the bytes to the framing.
#include "net/http_client.h"

#include <poll.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "net/http2_session.h"
#include "net/http_connection.h"
#include "net/http_framing.h"
#include "net/http_proxy.h"
#include "net/kept_alive_pool.h"

std::atomic<int64_t> http_stall_timeout_ms{http_stall_limit_ms};
const char http_failure_status[] = "status code 300 or more";
std::atomic<size_t> http_max_response_bytes{http_response_limit};

namespace {

struct http_internal_t {
  http_t http;  // first member: the caller's handle and this record share an address
  http_connection_t connection;
  http_answer_t answer;
  bool request_sent;
  char request_header[256];
  char* request_header_large;
  void* request_data;
  size_t request_data_size;
  // A send may take only part of what it is given; these say how far the
  // head and the body have gone, so the next call continues from there.
  size_t header_sent;
  size_t data_sent;
  const char* failure;  // what ended the request, for diagnostics; null otherwise
  char failure_text[256];  // a failure made up at run time (TLS), pointed to by failure

  // Persistent connections (httpGetKeepAlive): the answer is framed, and a
  // complete one may leave its connection to the next request.
  bool keep_alive;
  bool reused;  // the connection came from the idle set and has not been replaced
  http_url_t url;  // resource not kept: it points into the caller's text
  const http_proxy_t* proxy;  // the proxy on the way; null: direct

  // Over TLS a kept-alive request offers HTTP/2; when the service chooses
  // it the request becomes a stream of the place's shared connection.
  bool offer_h2;
  http2_stream_t h2;  // constructed in place in the calloc'd record
  int h2_retries;     // times it went out again after a refused stream
  bool h2_gated;      // its handshake waits for another's to the place (http2MayHandshake)
};

// The --header lines, each ending in CRLF; never destroyed (downloads that
// drain at exit still build requests).
std::string& requestHeaders() {
  static auto* headers = new std::string();
  return *headers;
}

kept_alive_target_t targetOf(const http_internal_t* h) {
  return {h->url.tls, h->url.host, h->url.port, h->proxy, h->offer_h2};
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

// What the framing has found so far, in the caller's record.
http_status_t publishAnswer(http_internal_t* h) {
  const http_answer_t& a = h->answer;
  h->http.status_code = a.status_code;
  if (a.status == HTTP_STATUS_PENDING) return HTTP_STATUS_PENDING;
  if (a.failure) return fail(h, a.failure);
  h->http.response_data = a.body;
  h->http.response_size = a.body_size;
  h->http.status = a.status;
  return h->http.status;
}

// A pending request record with no connection, with extra bytes behind it
// for a POST body; http_release frees it.
http_t* createRecord(size_t extra) {
  auto* h = static_cast<http_internal_t*>(calloc(1, sizeof(http_internal_t) + extra));
  if (!h) return nullptr;
  if (!answerInit(&h->answer, http_max_response_bytes.load())) {
    free(h);
    return nullptr;
  }
  h->http.status = HTTP_STATUS_PENDING;
  h->http.reason_phrase = h->answer.reason_phrase;
  h->http.content_type = h->answer.content_type;
  h->connection.socket = -1;
  h->connection.connect_pending = true;
  new (&h->h2) http2_stream_t{};
  h->h2.answer = &h->answer;
  return &h->http;
}

http_t* createRequest(const char* url, const void* body, size_t body_size, bool post, bool keep_alive) {
  http_url_t parsed;
  if (!httpParseUrl(url, &parsed)) return nullptr;
  const char* host = parsed.host;
  const char* port = parsed.port;
  const char* resource = parsed.resource;

  http_t* handle = createRecord(post ? body_size : 0);
  if (!handle) return nullptr;
  http_internal_t* h = internalOf(handle);
  h->url = parsed;
  h->url.resource = "";
  h->proxy = httpProxyFor(parsed);
  // Plain HTTP through a proxy: the request names the whole URL.
  const bool absolute_form = h->proxy && !parsed.tls;
  std::string target = absolute_form ? "http://" + std::string(host) + ":" + port + resource : resource;
  std::string extra = requestHeaders();
  if (absolute_form && h->proxy->authorization[0])
    extra += std::string("Proxy-Authorization: ") + h->proxy->authorization + "\r\n";

  size_t head_size = target.size() + strlen(host) + strlen(port) + extra.size() + 64;
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
    snprintf(head, head_capacity, "POST %s %s\r\nHost: %s:%s\r\n%sContent-Length: %d\r\n\r\n",
             target.c_str(), version, host, port, extra.c_str(), static_cast<int>(body_size));
    h->request_data = reinterpret_cast<char*>(h) + sizeof(http_internal_t);
    if (body_size) memcpy(h->request_data, body, body_size);
    h->request_data_size = body_size;
  } else {
    snprintf(head, head_capacity, "GET %s %s\r\nHost: %s:%s\r\n%s\r\n", target.c_str(), version, host, port,
             extra.c_str());
  }

  // Connect last: the clock of the stall limit starts with the attempt.
  const int64_t stall_limit_ms = http_stall_timeout_ms.load();
  if (keep_alive) {
    h->keep_alive = true;
    h->answer.framed = true;
    h->offer_h2 = parsed.tls && http2_enabled;
    if (h->offer_h2) {
      h->h2.path = resource;
      h->h2.authority = std::string(host) + ":" + port;
      h->h2.extra_headers = requestHeaders();
      if (http2Attach(keptAliveKey(targetOf(h)), &h->h2, stall_limit_ms)) return handle;
    }
    h->reused = keptAliveTake(targetOf(h), stall_limit_ms, &h->connection);
  }
  if (!h->reused && !keptAliveOpen(&h->connection, targetOf(h), stall_limit_ms)) {
    http_release(handle);
    return nullptr;
  }
  return handle;
}

// The request goes out once more on a new connection when its reused one
// had been closed by the service; false when that cannot be done.
bool retryOnNewConnection(http_internal_t* h) {
  if (!keptAliveRetry(&h->connection, &h->reused, h->answer.data_size, targetOf(h))) return false;
  h->request_sent = false;
  h->header_sent = 0;
  h->data_sent = 0;
  return true;
}

// A stream's turn; one the service refused unprocessed goes out again, on
// the place's HTTP/2 connection if there is one, else on a new connection.
http_status_t processStream(http_internal_t* h) {
  int status_code = 0;
  bool retry = false;
  // Until the stream is finished other threads write its answer: only
  // what was read under the session's lock is used.
  const http_status_t status = http2Process(&h->h2, &status_code, &retry);
  if (!retry && status == HTTP_STATUS_PENDING) {
    h->http.status_code = status_code;
    return status;
  }
  if (!retry) return publishAnswer(h);
  http2Leave(&h->h2);
  http2NoteRetry();
  const int64_t stall_limit_ms = h->h2.stall_limit_ms;
  h->h2.id = 0;
  h->h2.finished = false;
  h->h2.retry = false;
  h->h2.header_bytes = 0;
  answerFree(&h->answer);
  h->answer = http_answer_t{};
  if (!answerInit(&h->answer, http_max_response_bytes.load())) return fail(h, "out of memory");
  h->answer.framed = true;
  if (++h->h2_retries > http2_max_retries) return fail(h, "the service refused the request on every HTTP/2 connection");
  if (http2Attach(keptAliveKey(targetOf(h)), &h->h2, stall_limit_ms)) return h->http.status;
  h->reused = false;
  if (!keptAliveOpen(&h->connection, targetOf(h), stall_limit_ms)) return fail(h, "connection failed");
  return h->http.status;
}

http_status_t sendRequest(http_internal_t* h) {
  const char* head = requestHeader(h);
  size_t head_len = strlen(head);
  bool sent = connectionSend(&h->connection, head, head_len, &h->header_sent);
  if (sent && h->header_sent == head_len && h->request_data_size)
    sent = connectionSend(&h->connection, static_cast<const char*>(h->request_data), h->request_data_size,
                          &h->data_sent);
  if (!sent) return retryOnNewConnection(h) ? h->http.status : fail(h, "send failed");
  if (h->header_sent == head_len && h->data_sent == h->request_data_size) h->request_sent = true;
  return h->http.status;
}

// The socket is non-blocking: reads until it has nothing more right now.
http_status_t receiveAnswer(http_internal_t* h) {
  http_answer_t* a = &h->answer;
  for (;;) {
    switch (connectionReceive(&h->connection, a)) {
      case receive_data:
        // A framed answer ends with its last byte, not with the connection.
        if (a->framed && answerAdvanceFramed(a, false) != HTTP_STATUS_PENDING) return publishAnswer(h);
        continue;
      case receive_would_block:
        return publishAnswer(h);
      case receive_out_of_memory:
        return fail(h, "out of memory");
      case receive_too_large:
        return fail(h, "response larger than the limit");
      case receive_failed:
        if (retryOnNewConnection(h)) return h->http.status;
        return fail(h, "receive failed");
      case receive_closed:
        if (retryOnNewConnection(h)) return h->http.status;
        if (a->framed) answerAdvanceFramed(a, true);
        else answerParseToClose(a);
        return publishAnswer(h);
    }
  }
}

}  // namespace

bool httpCheckRequestHeader(const char* header, char* why, size_t why_size) {
  static const char token[] =
      "!#$%&'*+-.^_`|~0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
  const char* colon = strchr(header, ':');
  if (!colon) {
    snprintf(why, why_size, "--header: expected \"Name: value\", got a text without ':'");
    return false;
  }
  const size_t name_len = static_cast<size_t>(colon - header);
  if (name_len == 0 || name_len > 64 || strspn(header, token) != name_len) {
    snprintf(why, why_size, "--header: the name before ':' must be 1 to 64 letters, digits or !#$%%&'*+-.^_`|~");
    return false;
  }
  for (const char* c = colon + 1; *c; ++c)
    if ((static_cast<unsigned char>(*c) < ' ' && *c != '\t') || *c == 0x7f) {
      snprintf(why, why_size, "--header: the value of %.*s holds a control character", static_cast<int>(name_len),
               header);
      return false;
    }
  return true;
}

void httpAddRequestHeader(const char* header) { requestHeaders() += std::string(header) + "\r\n"; }

bool httpAddCaFile(const char* path, char* why, size_t why_size) { return tlsAddCaFile(path, why, why_size); }

http_t* http_get(const char* url, void* /*memctx*/) { return createRequest(url, nullptr, 0, false, false); }

http_t* http_post(const char* url, const void* data, size_t size, void* /*memctx*/) {
  return createRequest(url, data, size, true, false);
}

http_t* httpGetKeepAlive(const char* url, void* /*memctx*/) { return createRequest(url, nullptr, 0, false, true); }

http_status_t http_process(http_t* http) {
  http_internal_t* h = internalOf(http);
  if (http->status != HTTP_STATUS_PENDING) return http->status;
  if (h->h2.session) return processStream(h);
  // Another connection to the place became HTTP/2 before this one's
  // handshake ended: the request goes there instead (a handshake cut short
  // costs nothing more).
  h->h2_gated = false;
  if (h->offer_h2 && h->connection.tls && h->connection.connect_pending) {
    const std::string key = keptAliveKey(targetOf(h));
    if (http2Attach(key, &h->h2, h->connection.stall_limit_ms)) {
      connectionClose(&h->connection);
      http2HandshakeOver(key, h);
      return processStream(h);
    }
    if (!h->connection.tls_handshaking && !http2MayHandshake(key, h)) {
      h->h2_gated = true;
      if (connectionStalled(&h->connection)) return fail(h, "no progress within the stall limit");
      return http->status;
    }
  }

  const connect_outcome_t connected =
      connectionFinishConnect(&h->connection, h->failure_text, sizeof h->failure_text);
  if (h->offer_h2 && connected != connect_waiting) http2HandshakeOver(keptAliveKey(targetOf(h)), h);
  switch (connected) {
    case connect_poll_failed:
      return fail(h, "poll failed");
    case connect_failed:
      return fail(h, "connection failed");
    case connect_refused:
      return fail(h, h->failure_text);
    case connect_waiting:
      break;
    case connect_done:
      if (h->offer_h2 && h->connection.tls && !h->request_sent && h->header_sent == 0 &&
          tlsChoseH2(h->connection.tls)) {
        if (!http2Adopt(keptAliveKey(targetOf(h)), &h->connection, &h->h2, h->connection.stall_limit_ms))
          return fail(h, "out of memory");
        return processStream(h);
      }
      break;
  }
  if (!h->connection.connect_pending && !h->request_sent) {
    if (sendRequest(h) != HTTP_STATUS_PENDING) return http->status;
  } else if (h->request_sent) {
    if (receiveAnswer(h) != HTTP_STATUS_PENDING) return http->status;
  }

  if (connectionStalled(&h->connection)) return fail(h, "no progress within the stall limit");
  return http->status;
}

void http_wait(http_t* http, int timeout_ms) {
  if (!http || http->status != HTTP_STATUS_PENDING) return;
  http_internal_t* h = internalOf(http);
  if (h->h2.session) return http2Wait(&h->h2, timeout_ms);
  if (h->h2_gated) {
    poll(nullptr, 0, timeout_ms);  // nothing to watch: another connection's handshake decides
    return;
  }
  connectionWait(&h->connection, h->connection.connect_pending || !h->request_sent, timeout_ms);
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
  http2Leave(&h->h2);
  if (h->offer_h2) http2HandshakeOver(keptAliveKey(targetOf(h)), h);
  h->h2.~http2_stream_t();
  // Only a connection whose last answer was read to its end, and that the
  // service keeps open, can carry the next request.
  if (h->keep_alive && h->answer.complete && h->answer.persistent && h->connection.socket >= 0)
    keptAliveKeep(targetOf(h), &h->connection);
  else
    connectionClose(&h->connection);
  free(h->request_header_large);
  answerFree(&h->answer);
  free(h);
}
