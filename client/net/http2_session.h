// HTTP/2 (nghttp2) for kept-alive requests to a TLS service whose handshake
// chose "h2": the requests to one place share one connection, each as a
// stream, as many at once as the service allows (nghttp2 holds back the
// streams beyond its SETTINGS_MAX_CONCURRENT_STREAMS). Any download thread
// may drive the shared connection: one lock guards it, and whichever thread
// runs reads and writes for every stream on it. The same limits hold as
// over HTTP/1.1: the stall limit per stream, the response size limit, header
// size bound; a request given up resets its stream only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "net/http_connection.h"
#include "net/http_framing.h"

struct http2_session_t;

// One request as a stream of a shared session. Zero-filled: on no session.
struct http2_stream_t {
  std::shared_ptr<http2_session_t> session;  // null: not on HTTP/2
  int32_t id;           // 0 until submitted
  http_answer_t* answer;  // the request's answer, filled as frames come
  std::string path;       // the request's :path
  std::string authority;  // host:port
  std::string extra_headers;  // "Name: value\r\n" lines sent with it (--header)
  bool finished;          // the answer is complete or failed
  // The service refused the stream unprocessed (above a GOAWAY's last
  // stream, or its connection ended before a byte of the answer): it may
  // go out again on another connection.
  bool retry;
  size_t header_bytes;  // of the answer's header fields, bounded
  int64_t last_progress_ms;
  int64_t stall_limit_ms;
};

// Joins the live session to key (a place: "https://host:port ..."), if
// there is one that takes new streams.
bool http2Attach(const std::string& key, http2_stream_t* s, int64_t stall_limit_ms);
// A connection whose TLS handshake chose "h2" becomes key's session, taken
// from *c; when another connection became it meanwhile, *c is closed and
// the stream joins that one. False when out of memory (c is closed).
bool http2Adopt(const std::string& key, http_connection_t* c, http2_stream_t* s, int64_t stall_limit_ms);

// Whether a connection (who) to key may begin its TLS handshake now. At a
// place that has spoken HTTP/2, one handshake at a time: the others wait
// and join the session it brings (after a GOAWAY every refused stream would
// otherwise open a connection of its own). Anywhere else: always.
bool http2MayHandshake(const std::string& key, const void* who);
// who's handshake has ended, whichever way, or it never began.
void http2HandshakeOver(const std::string& key, const void* who);

// Submits the stream once, then reads and writes what the socket allows
// for the whole session. PENDING until the stream's answer is complete or
// failed (in the answer), or *retry. Other threads fill the answer until
// then: *status_code is its status so far, read under the lock.
http_status_t http2Process(http2_stream_t* s, int* status_code, bool* retry);
// Waits up to timeout_ms for the session's socket, or for another thread's
// turn at it to finish.
void http2Wait(http2_stream_t* s, int timeout_ms);
// Leaves the session; a stream still open is reset (CANCEL), the others go on.
void http2Leave(http2_stream_t* s);

// Sessions without streams are closed; stop: and no session takes new
// streams from now on.
void http2CloseIdle(bool stop);

struct http2_counts_t {
  int64_t connections;  // connections that chose HTTP/2
  int64_t streams;      // requests sent as streams
  int64_t refused;      // streams the service refused unprocessed (GOAWAY), sent again
};
http2_counts_t http2Counts();
// Counts a refused stream sent again.
void http2NoteRetry();

// For the fuzz target: a session without a socket with three streams
// submitted, one per answer (each answerInit'd by the caller), fed bytes
// as the service's side.
void http2FeedForTest(const uint8_t* data, size_t size, http_answer_t answers[3]);
