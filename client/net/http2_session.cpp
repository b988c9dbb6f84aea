#include "net/http2_session.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <nghttp2/nghttp2.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <string_view>
#include <vector>

#include "viewer_settings.h"
#include "net/tls_transport.h"

// One HTTP/2 connection and everything on it; every field under m.
struct http2_session_t {
  std::mutex m;
  std::condition_variable turn_over;  // a thread's wait on the socket has ended
  nghttp2_session* ng = nullptr;
  http_connection_t connection{};  // socket -1: none (the fuzz target's)
  std::string key;
  std::set<http2_stream_t*> streams;
  bool polling = false;        // a thread waits on the socket for all
  bool usable = true;          // takes new streams
  bool dead = false;           // the connection has ended
  bool goaway = false;
  int32_t goaway_last = INT32_MAX;
  bool protocol_error = false;  // nghttp2 ended the connection over what the service sent
  bool write_blocked = false;  // the socket took less than it was given
  std::vector<uint8_t> out;    // serialized frames not yet taken by the socket
  size_t out_sent = 0;
  int64_t last_receive_ms = 0;

  ~http2_session_t() {
    if (ng) nghttp2_session_del(ng);
    connectionClose(&connection);
  }
};

namespace {

// Sessions that take new streams, by place. Never destroyed: download
// threads may still leave sessions during exit.
struct registry_t {
  std::mutex m;
  std::map<std::string, std::shared_ptr<http2_session_t>> live;
  std::set<std::string> spoken;                    // places that have had a session
  std::map<std::string, const void*> handshaking;  // at those: the one handshake under way
  bool stopped = false;
};

registry_t& registry() {
  static auto* r = new registry_t();
  return *r;
}

std::atomic<int64_t> connections_h2{0};
std::atomic<int64_t> streams_h2{0};
std::atomic<int64_t> refused_h2{0};

// The bound of HTTP/1.1's answer head, here over all header fields of a stream.
constexpr size_t max_header_bytes = 65536;

// Out of the registry (under S->m; the registry's lock is taken after it).
void unregister(http2_session_t* S) {
  S->usable = false;
  registry_t& r = registry();
  std::lock_guard<std::mutex> lock(r.m);
  auto found = r.live.find(S->key);
  if (found != r.live.end() && found->second.get() == S) r.live.erase(found);
}

http2_stream_t* streamOf(nghttp2_session* ng, int32_t id) {
  return static_cast<http2_stream_t*>(nghttp2_session_get_stream_user_data(ng, id));
}

void failStream(http2_stream_t* s, const char* why) {
  answerFail(s->answer, why);
  s->finished = true;
}

// A stream with no byte of its answer may go out again elsewhere.
bool untouched(const http2_stream_t* s) { return s->answer->status_code == 0 && s->answer->data_size == 0; }

// Ends a stream of ours before its answer is whole; the others go on.
void resetStream(http2_session_t* S, http2_stream_t* s, uint32_t code) {
  if (s->id <= 0) return;
  nghttp2_submit_rst_stream(S->ng, NGHTTP2_FLAG_NONE, s->id, code);
  nghttp2_session_set_stream_user_data(S->ng, s->id, nullptr);
}

// The connection has ended: when it closed (the service may close an idle
// one at any time), streams that got nothing may go out again (bounded by
// their retries); after a protocol error, and the rest, fail.
void die(http2_session_t* S, const char* why, bool closed = true) {
  if (S->dead) return;
  S->dead = true;
  unregister(S);
  for (http2_stream_t* s : S->streams) {
    if (s->finished) continue;
    if (closed && untouched(s)) {
      s->retry = true;
      s->finished = true;
    } else {
      failStream(s, why);
    }
  }
}

int onHeader(nghttp2_session* ng, const nghttp2_frame* frame, const uint8_t* name, size_t namelen,
             const uint8_t* value, size_t valuelen, uint8_t, void*) {
  http2_stream_t* s = streamOf(ng, frame->hd.stream_id);
  if (!s || s->finished) return 0;
  s->header_bytes += namelen + valuelen + 32;  // 32: the per-field overhead HPACK counts too
  if (s->header_bytes > max_header_bytes) {
    failStream(s, "response header larger than 64 KiB");
    return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;  // nghttp2 resets the stream
  }
  s->last_progress_ms = httpNowMs();
  const std::string_view n(reinterpret_cast<const char*>(name), namelen);
  const std::string_view v(reinterpret_cast<const char*>(value), valuelen);
  http_answer_t* a = s->answer;
  if (n == ":status") {
    // nghttp2 checks it is three digits; a bad one fails the stream either way.
    if (v.size() != 3 || !isdigit(static_cast<unsigned char>(v[0])) || !isdigit(static_cast<unsigned char>(v[1])) ||
        !isdigit(static_cast<unsigned char>(v[2]))) {
      failStream(s, "HTTP/2 answer without a valid status");
      return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
    }
    a->status_code = (v[0] - '0') * 100 + (v[1] - '0') * 10 + (v[2] - '0');
  } else if (n == "content-type") {
    const size_t len = std::min(valuelen, sizeof a->content_type - 1);
    memcpy(a->content_type, value, len);
    a->content_type[len] = '\0';
  } else if (n == "content-length") {
    // nghttp2 checks the body against it; a length over the limit fails now.
    size_t length = 0;
    for (char c : v) {
      if (!isdigit(static_cast<unsigned char>(c))) break;
      length = length * 10 + static_cast<size_t>(c - '0');
      if (length > a->max_size) {
        failStream(s, "response larger than the limit");
        return NGHTTP2_ERR_TEMPORAL_CALLBACK_FAILURE;
      }
    }
  }
  return 0;
}

int onDataChunk(nghttp2_session* ng, uint8_t, int32_t id, const uint8_t* data, size_t len, void* user) {
  http2_stream_t* s = streamOf(ng, id);
  if (!s || s->finished) return 0;
  auto* S = static_cast<http2_session_t*>(user);
  http_answer_t* a = s->answer;
  if (a->data_size + len > a->max_size) {
    failStream(s, "response larger than the limit");
    resetStream(S, s, NGHTTP2_CANCEL);
    return 0;
  }
  if (!answerAppend(a, data, len)) {
    failStream(s, "out of memory");
    resetStream(S, s, NGHTTP2_CANCEL);
    return 0;
  }
  s->last_progress_ms = httpNowMs();
  return 0;
}

int onFrame(nghttp2_session* ng, const nghttp2_frame* frame, void* user) {
  auto* S = static_cast<http2_session_t*>(user);
  if (frame->hd.type == NGHTTP2_GOAWAY) {
    // No new streams here; those above last_stream_id are closed by
    // nghttp2 as refused and go out again on another connection.
    S->goaway = true;
    S->goaway_last = frame->goaway.last_stream_id;
    unregister(S);
    return 0;
  }
  if ((frame->hd.type != NGHTTP2_DATA && frame->hd.type != NGHTTP2_HEADERS) ||
      !(frame->hd.flags & NGHTTP2_FLAG_END_STREAM))
    return 0;
  http2_stream_t* s = streamOf(ng, frame->hd.stream_id);
  if (!s || s->finished) return 0;
  http_answer_t* a = s->answer;
  a->complete = true;
  a->body = a->data;
  a->body_size = a->data_size;
  a->data[a->data_size] = '\0';  // answerInit and answerReserve keep a spare byte
  a->status = a->status_code <= 299 ? HTTP_STATUS_COMPLETED : HTTP_STATUS_FAILED;
  s->finished = true;
  return 0;
}

int onStreamClose(nghttp2_session* ng, int32_t id, uint32_t code, void* user) {
  http2_stream_t* s = streamOf(ng, id);
  if (!s || s->finished) return 0;
  auto* S = static_cast<http2_session_t*>(user);
  if (untouched(s) && (code == NGHTTP2_REFUSED_STREAM || (S->goaway && id > S->goaway_last))) {
    s->retry = true;
    s->finished = true;
  } else {
    failStream(s, code == NGHTTP2_NO_ERROR ? "HTTP/2 stream ended before its answer"
                                           : "the service reset the HTTP/2 stream");
  }
  return 0;
}

// Our GOAWAY with an error: the service broke the protocol.
int onFrameSent(nghttp2_session*, const nghttp2_frame* frame, void* user) {
  if (frame->hd.type == NGHTTP2_GOAWAY && frame->goaway.error_code != NGHTTP2_NO_ERROR)
    static_cast<http2_session_t*>(user)->protocol_error = true;
  return 0;
}

// A request's HEADERS that could not go out (a GOAWAY came first).
int onNotSent(nghttp2_session* ng, const nghttp2_frame* frame, int, void*) {
  if (frame->hd.type != NGHTTP2_HEADERS) return 0;
  http2_stream_t* s = streamOf(ng, frame->hd.stream_id);
  if (s && !s->finished && untouched(s)) {
    s->retry = true;
    s->finished = true;
  }
  return 0;
}

void receiveBytes(http2_session_t* S, const uint8_t* data, size_t size) {
  const ssize_t used = nghttp2_session_mem_recv(S->ng, data, size);
  if (used < 0) die(S, "HTTP/2 protocol error from the service", false);
}

// Hands nghttp2's frames to the socket as far as it takes them now.
void flush(http2_session_t* S) {
  S->write_blocked = false;
  while (!S->dead) {
    if (S->out_sent == S->out.size()) {
      S->out.clear();
      S->out_sent = 0;
      const uint8_t* frames = nullptr;
      const ssize_t n = nghttp2_session_mem_send(S->ng, &frames);
      if (n < 0) return die(S, "HTTP/2 protocol error", false);
      if (n == 0) return;
      S->out.assign(frames, frames + n);
    }
    if (S->connection.socket < 0) {  // the fuzz target's session: nobody listens
      S->out_sent = S->out.size();
      continue;
    }
    size_t sent = 0;
    switch (tlsWrite(S->connection.tls, reinterpret_cast<const char*>(S->out.data() + S->out_sent),
                     S->out.size() - S->out_sent, &sent)) {
      case tls_ok:
        S->out_sent += sent;
        continue;
      case tls_want_write:
        S->write_blocked = true;
        return;
      case tls_want_read:
        return;
      case tls_closed:
      case tls_failed:
        return die(S, "HTTP/2 connection failed");
    }
  }
}

// Everything the socket holds goes to nghttp2, then its answers out. True
// when bytes came (other streams' answers may have moved on).
bool pump(http2_session_t* S) {
  bool received = false;
  while (!S->dead && S->connection.socket >= 0) {
    uint8_t buf[16384];
    size_t n = 0;
    const tls_outcome_t got = tlsRead(S->connection.tls, reinterpret_cast<char*>(buf), sizeof buf, &n);
    if (got == tls_want_read || got == tls_want_write) break;
    if (got != tls_ok) {
      die(S, got == tls_closed ? "the service closed the HTTP/2 connection" : "HTTP/2 connection failed");
      break;
    }
    S->last_receive_ms = httpNowMs();
    received = true;
    receiveBytes(S, buf, n);
  }
  flush(S);
  // After a GOAWAY, once its last streams are answered, nothing more comes.
  if (!S->dead && !nghttp2_session_want_read(S->ng) && !nghttp2_session_want_write(S->ng))
    die(S, S->protocol_error ? "HTTP/2 protocol error from the service" : "the service ended the HTTP/2 connection",
        !S->protocol_error);
  return received || S->dead;
}

// The --header lines as fields: names in lower case, as HTTP/2 wants them;
// those HTTP/2 forbids or makes pseudo-headers of are left out.
void addExtraHeaders(const std::string& lines, std::vector<std::string>* names, std::vector<std::string>* values) {
  size_t at = 0;
  while (at < lines.size()) {
    size_t end = lines.find("\r\n", at);
    if (end == std::string::npos) end = lines.size();
    const std::string line = lines.substr(at, end - at);
    at = end + 2;
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    std::string name = line.substr(0, colon);
    for (char& c : name) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    if (name == "host" || name == "connection" || name == "keep-alive" || name == "proxy-connection" ||
        name == "transfer-encoding" || name == "upgrade" || name == "te")
      continue;
    size_t start = colon + 1;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
    names->push_back(name);
    values->push_back(line.substr(start));
  }
}

nghttp2_nv field(const std::string& name, const std::string& value) {
  return {reinterpret_cast<uint8_t*>(const_cast<char*>(name.data())),
          reinterpret_cast<uint8_t*>(const_cast<char*>(value.data())), name.size(), value.size(),
          NGHTTP2_NV_FLAG_NONE};
}

void submit(http2_session_t* S, http2_stream_t* s) {
  if (S->dead || S->goaway) {
    s->retry = true;
    s->finished = true;
    return;
  }
  static const std::string method = ":method", get = "GET", scheme = ":scheme", https = "https",
                           authority = ":authority", path = ":path";
  std::vector<std::string> names, values;
  addExtraHeaders(s->extra_headers, &names, &values);
  std::vector<nghttp2_nv> nva = {field(method, get), field(scheme, https), field(authority, s->authority),
                                 field(path, s->path)};
  for (size_t k = 0; k < names.size(); ++k) nva.push_back(field(names[k], values[k]));
  const int32_t id = nghttp2_submit_request(S->ng, nullptr, nva.data(), nva.size(), nullptr, s);
  if (id == NGHTTP2_ERR_STREAM_ID_NOT_AVAILABLE) {  // the connection's stream ids are used up
    unregister(S);
    s->retry = true;
    s->finished = true;
    return;
  }
  if (id < 0) return failStream(s, "HTTP/2 request could not be made");
  s->id = id;
  s->last_progress_ms = httpNowMs();
  ++streams_h2;
}

bool join(const std::shared_ptr<http2_session_t>& S, http2_stream_t* s, int64_t stall_limit_ms) {
  std::lock_guard<std::mutex> lock(S->m);
  if (S->dead || !S->usable) return false;
  s->session = S;
  S->streams.insert(s);
  s->stall_limit_ms = stall_limit_ms;
  s->last_progress_ms = httpNowMs();
  return true;
}

// A client session over S's connection with our windows; false when out of memory.
bool startSession(http2_session_t* S) {
  nghttp2_session_callbacks* cb = nullptr;
  if (nghttp2_session_callbacks_new(&cb) != 0) return false;
  nghttp2_session_callbacks_set_on_header_callback(cb, onHeader);
  nghttp2_session_callbacks_set_on_data_chunk_recv_callback(cb, onDataChunk);
  nghttp2_session_callbacks_set_on_frame_recv_callback(cb, onFrame);
  nghttp2_session_callbacks_set_on_stream_close_callback(cb, onStreamClose);
  nghttp2_session_callbacks_set_on_frame_not_send_callback(cb, onNotSent);
  nghttp2_session_callbacks_set_on_frame_send_callback(cb, onFrameSent);
  const int made = nghttp2_session_client_new(&S->ng, cb, S);
  nghttp2_session_callbacks_del(cb);
  if (made != 0) return false;
  const nghttp2_settings_entry settings[] = {{NGHTTP2_SETTINGS_ENABLE_PUSH, 0},
                                             {NGHTTP2_SETTINGS_INITIAL_WINDOW_SIZE, http2_stream_window_bytes}};
  nghttp2_submit_settings(S->ng, NGHTTP2_FLAG_NONE, settings, sizeof settings / sizeof settings[0]);
  nghttp2_session_set_local_window_size(S->ng, NGHTTP2_FLAG_NONE, 0, http2_connection_window_bytes);
  S->last_receive_ms = httpNowMs();
  return true;
}

}  // namespace

bool http2Attach(const std::string& key, http2_stream_t* s, int64_t stall_limit_ms) {
  std::shared_ptr<http2_session_t> S;
  {
    registry_t& r = registry();
    std::lock_guard<std::mutex> lock(r.m);
    auto found = r.live.find(key);
    if (found == r.live.end()) return false;
    S = found->second;
  }
  return join(S, s, stall_limit_ms);
}

bool http2Adopt(const std::string& key, http_connection_t* c, http2_stream_t* s, int64_t stall_limit_ms) {
  if (http2Attach(key, s, stall_limit_ms)) {
    connectionClose(c);
    return true;
  }
  auto S = std::make_shared<http2_session_t>();
  S->connection = *c;
  *c = http_connection_t{};
  c->socket = -1;
  S->key = key;
  // Streams write small frames one after another while earlier ones are
  // unacknowledged: Nagle's algorithm would hold each behind the peer's
  // delayed ACK (tens of milliseconds per request).
  const int on = 1;
  setsockopt(S->connection.socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  if (!startSession(S.get())) return false;
  ++connections_h2;
  // Joined before it is shared: once others use it, a GOAWAY may come at once.
  join(S, s, stall_limit_ms);
  registry_t& r = registry();
  std::lock_guard<std::mutex> lock(r.m);
  r.spoken.insert(key);
  // One that another thread made meanwhile stays the shared one.
  if (!r.stopped && !r.live.count(key)) r.live[key] = S;
  return true;
}

bool http2MayHandshake(const std::string& key, const void* who) {
  registry_t& r = registry();
  std::lock_guard<std::mutex> lock(r.m);
  if (!r.spoken.count(key)) return true;
  return r.handshaking.emplace(key, who).first->second == who;
}

void http2HandshakeOver(const std::string& key, const void* who) {
  registry_t& r = registry();
  std::lock_guard<std::mutex> lock(r.m);
  auto found = r.handshaking.find(key);
  if (found != r.handshaking.end() && found->second == who) r.handshaking.erase(found);
}

http_status_t http2Process(http2_stream_t* s, int* status_code, bool* retry) {
  const std::shared_ptr<http2_session_t> S = s->session;  // stays alive while its lock is held
  std::lock_guard<std::mutex> lock(S->m);
  if (!s->id && !s->finished) submit(S.get(), s);
  // While one thread waits on the socket it reads for all (http2Wait); the
  // others only hand over what they have to send.
  bool news = false;
  if (S->polling) flush(S.get());
  else news = pump(S.get());
  if (!s->finished && httpNowMs() - s->last_progress_ms >= s->stall_limit_ms) {
    failStream(s, "no progress within the stall limit");
    resetStream(S.get(), s, NGHTTP2_CANCEL);
    // A connection that has stayed silent that long takes no more streams.
    if (httpNowMs() - S->last_receive_ms >= s->stall_limit_ms) unregister(S.get());
    flush(S.get());
  }
  if (news) S->turn_over.notify_all();
  *status_code = s->answer->status_code;
  *retry = s->retry;
  if (!s->finished || s->retry) return HTTP_STATUS_PENDING;
  return s->answer->status;
}

void http2Wait(http2_stream_t* s, int timeout_ms) {
  const std::shared_ptr<http2_session_t> S = s->session;
  std::unique_lock<std::mutex> lock(S->m);
  if (s->finished || S->dead) return;
  if (S->polling || S->connection.socket < 0) {
    // Woken early only when this stream is done or the socket is nobody's.
    S->turn_over.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                          [&] { return s->finished || S->dead || !S->polling; });
    return;
  }
  S->polling = true;
  pollfd p{S->connection.socket, static_cast<short>(POLLIN | (S->write_blocked ? POLLOUT : 0)), 0};
  lock.unlock();
  poll(&p, 1, timeout_ms);
  lock.lock();
  S->polling = false;
  if (pump(S.get())) S->turn_over.notify_all();
}

void http2Leave(http2_stream_t* s) {
  if (!s->session) return;
  const std::shared_ptr<http2_session_t> S = std::move(s->session);
  std::lock_guard<std::mutex> lock(S->m);
  S->streams.erase(s);
  if (!S->dead && s->id > 0) {
    // Given up under way: only this stream ends. (A refused one is closed already.)
    if (!s->finished) nghttp2_submit_rst_stream(S->ng, NGHTTP2_FLAG_NONE, s->id, NGHTTP2_CANCEL);
    nghttp2_session_set_stream_user_data(S->ng, s->id, nullptr);
    flush(S.get());
  }
}

void http2CloseIdle(bool stop) {
  std::vector<std::shared_ptr<http2_session_t>> sessions;
  {
    registry_t& r = registry();
    std::lock_guard<std::mutex> lock(r.m);
    if (stop) r.stopped = true;
    for (auto& [key, S] : r.live) sessions.push_back(S);
  }
  for (auto& S : sessions) {
    std::lock_guard<std::mutex> lock(S->m);
    if (stop || S->streams.empty()) unregister(S.get());
  }
}  // the last reference of an unregistered session without streams closes it here

http2_counts_t http2Counts() { return {connections_h2.load(), streams_h2.load(), refused_h2.load()}; }

void http2NoteRetry() { ++refused_h2; }

void http2FeedForTest(const uint8_t* data, size_t size, http_answer_t answers[3]) {
  auto S = std::make_shared<http2_session_t>();
  S->connection.socket = -1;
  S->key = "fuzz";
  if (!startSession(S.get())) return;
  http2_stream_t streams[3] = {};
  for (int k = 0; k < 3; ++k) {
    streams[k].answer = &answers[k];
    streams[k].path = "/" + std::to_string(k);
    streams[k].authority = "fuzz:443";
    streams[k].extra_headers = "X-Key: v\r\n";
    join(S, &streams[k], INT64_MAX / 2);
  }
  {
    std::lock_guard<std::mutex> lock(S->m);
    for (auto& s : streams) submit(S.get(), &s);
    flush(S.get());
    receiveBytes(S.get(), data, size);
    flush(S.get());
  }
  for (auto& s : streams) http2Leave(&s);
}
