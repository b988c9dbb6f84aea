// Non-blocking HTTP client, for http:// and https:// URLs (TLS with the
// certificate always verified: net/tls_transport.h). http_get and http_post speak HTTP/1.0: one
// request per TCP connection, the response ends when the server closes.
// httpGetKeepAlive speaks HTTP/1.1 over persistent connections: the answer
// ends with its framing (Content-Length or the chunked coding), and its
// connection may carry the next request; over TLS to a service that
// chooses HTTP/2, its requests are streams of one shared connection
// (net/http2_session.h). A request is created by one of
// those, driven by repeated http_process calls (each does only what the
// socket allows right now) and freed by http_release. Everything in http_t
// stays readable until release. Every limit (stall, size) holds per request.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "viewer_settings.h"
#include "net/http_url.h"

enum http_status_t {
  HTTP_STATUS_PENDING = 0,
  HTTP_STATUS_COMPLETED = 1,
  HTTP_STATUS_FAILED = 2,
};

// The public part of a request; the caller reads it and never writes it.
struct http_t {
  http_status_t status;
  int status_code;            // 0 until the response is parsed
  const char* reason_phrase;  // "" until parsed
  const char* content_type;   // "" when the "Content-Type: " line is absent
  size_t response_size;       // body bytes, without the NUL behind them
  void* response_data;        // body + NUL; null until parsed
};

// The stall limit that new requests take (http_stall_limit_ms at start);
// tests shorten it instead of waiting.
extern std::atomic<int64_t> http_stall_timeout_ms;

// The response size limit that new requests take (http_response_limit at
// start); tests lower it.
extern std::atomic<size_t> http_max_response_bytes;

http_t* http_get(const char* url, void* memctx);
http_t* http_post(const char* url, const void* data, size_t size, void* memctx);
http_status_t http_process(http_t* http);
void http_release(http_t* http);

// A GET over a persistent connection: an idle one to the same host and port
// when there is one (one that the service closed meanwhile is dropped
// first), else a new one. When the answer is read to its end and the service
// keeps the connection (HTTP/1.1 without "Connection: close", or HTTP/1.0
// with "keep-alive"), http_release keeps it idle for the next request;
// anything else (a failure, an answer that ends with the connection, an
// unfinished transfer) closes it. A reused connection that ends before the
// first byte of its answer is taken for one the service closed while idle:
// the request goes out once more on a new connection.
http_t* httpGetKeepAlive(const char* url, void* memctx);
// Closes every idle kept-alive connection.
void httpCloseIdleConnections();
// The same, and from now on no connection is kept idle: for the exit.
void httpStopKeepingConnections();

struct http_connection_stats_t {
  int64_t connections_opened;      // TCP connections made, since start
  int64_t requests_on_reused;      // requests sent on a kept-alive connection, since start
  int64_t tls_handshakes_full;     // TLS handshakes that set up a new session, since start
  int64_t tls_handshakes_resumed;  // TLS handshakes that resumed an earlier session of the host
  int64_t http2_connections;       // connections whose service chose HTTP/2
  int64_t http2_streams;           // requests sent as HTTP/2 streams
  int64_t http2_refused;           // streams refused unprocessed (GOAWAY) and sent again
};
http_connection_stats_t httpConnectionStats();

// Why a failed request failed ("" while it has not): a text such as
// "connection failed", "no progress within the stall limit" or, over TLS,
// "certificate of HOST rejected: REASON"; valid until release.
// A complete response whose status code is 300 or more gives this very text.
const char* http_failure_reason(const http_t* http);
extern const char http_failure_status[];

// Waits up to timeout_ms for the socket event the request is waiting for
// (writable while connecting or sending, readable while receiving). Returns
// at once for a request that is no longer pending. Callers poll with this in
// place of a blind sleep, so a response is picked up the moment it arrives.
void http_wait(http_t* http, int timeout_ms);

// Trusts the CAs of a PEM file too, beside the system's (--ca-file); before
// the first https:// request. False with the reason in why when it does not load.
bool httpAddCaFile(const char* path, char* why, size_t why_size);

// Request headers sent with every request (--header), e.g. an API key.
// "Name: value": a name of letters, digits and !#$%&'*+-.^_`|~, a value
// without control characters. False when it is not one, with a reason in
// why that names the header but never shows its value.
bool httpCheckRequestHeader(const char* header, char* why, size_t why_size);
// Adds a checked header to every request from now on; before the first
// request (the requests of other threads read them unguarded).
void httpAddRequestHeader(const char* header);

// Internal step, exposed for tests: a non-blocking socket with its connect
// started, or -1.
int http_internal_connect(const char* address, const char* port);
// The URL parser is net/http_url.h and the framing parser of the answers
// net/http_framing.h, fed bytes directly by their fuzz targets.
