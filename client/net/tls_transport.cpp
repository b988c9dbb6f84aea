#include "net/tls_transport.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>

namespace {

// One client context for the process, made at first use, and what the
// connections share through it. Never destroyed: download threads may
// still be closing connections during exit.
struct tls_state_t {
  std::mutex m;
  SSL_CTX* ctx = nullptr;
  // By "host:port": the sessions offered for resumption, oldest first. A
  // TLS 1.3 ticket is meant to be used once: each connection takes one of
  // its own while there are several, and the newest stays for the rest.
  std::map<std::string, std::deque<SSL_SESSION*>> sessions;
  std::set<std::string> keys;                    // "host:port" of every connection's app data
  std::set<std::string> reported;                // hosts whose rejected certificate has been told
  // By "host:port" with no session yet: the one connection that makes the
  // full handshake while the others to the same place wait for its session.
  std::map<std::string, const SSL*> first_handshakes;
};

tls_state_t& state() {
  static auto* s = new tls_state_t();
  return *s;
}

constexpr size_t max_sessions_per_place = 8;

// Sets a kept session of key on tls (under s.m): one of its own while
// more than one is kept, else the newest, shared.
void offerSession(tls_state_t& s, const std::string& key, SSL* tls) {
  auto found = s.sessions.find(key);
  if (found == s.sessions.end() || found->second.empty()) return;
  std::deque<SSL_SESSION*>& kept = found->second;
  SSL_set_session(tls, kept.back());  // takes its own reference
  if (kept.size() > 1) {
    SSL_SESSION_free(kept.back());
    kept.pop_back();
  }
}

std::atomic<int64_t> handshakes_full{0};
std::atomic<int64_t> handshakes_resumed{0};

// OpenSSL hands over each session the service offers for resumption (with
// TLS 1.3 after the handshake, in a ticket): the newest one per host and
// port is kept.
int keepSession(SSL* tls, SSL_SESSION* session) {
  const char* key = static_cast<const char*>(SSL_get_app_data(tls));
  if (!key) return 0;
  tls_state_t& s = state();
  std::lock_guard<std::mutex> lock(s.m);
  std::deque<SSL_SESSION*>& kept = s.sessions[key];
  kept.push_back(session);
  if (kept.size() > max_sessions_per_place) {
    SSL_SESSION_free(kept.front());
    kept.pop_front();
  }
  s.first_handshakes.erase(key);
  return 1;  // the reference is ours now
}

// The first connection to a place no longer holds the others back: it has
// ended, failed, or its answer began without a session (none will come).
void releaseFirst(SSL* tls) {
  const char* key = static_cast<const char*>(SSL_get_app_data(tls));
  if (!key) return;
  tls_state_t& s = state();
  std::lock_guard<std::mutex> lock(s.m);
  auto first = s.first_handshakes.find(key);
  if (first != s.first_handshakes.end() && first->second == tls) s.first_handshakes.erase(first);
}

// The context, made on first use; under s.m.
SSL_CTX* context(tls_state_t& s) {
  if (s.ctx) return s.ctx;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (!ctx) return nullptr;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_default_verify_paths(ctx);
  // A send may take part of a buffer and be continued from elsewhere in it.
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // A close without close_notify reads as a close, as it does over plain
  // TCP: the answer's framing decides whether the answer is whole.
  SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, keepSession);
  s.ctx = ctx;
  return ctx;
}

const char* lastError(const char* otherwise) {
  const unsigned long e = ERR_get_error();
  const char* reason = e ? ERR_reason_error_string(e) : nullptr;
  return reason ? reason : otherwise;
}

// The host of an SSL's "host:port" key.
std::string hostOf(SSL* tls) {
  const char* key = static_cast<const char*>(SSL_get_app_data(tls));
  std::string host = key ? key : "?";
  return host.substr(0, host.rfind(':'));
}

// The socket's bytes for OpenSSL. Its own socket BIO writes without
// MSG_NOSIGNAL: a service that closes while a request goes out would raise
// SIGPIPE and end the viewer.
int socketOf(BIO* bio) { return static_cast<int>(reinterpret_cast<intptr_t>(BIO_get_data(bio))); }

int bioWrite(BIO* bio, const char* buf, int len) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t n = send(socketOf(bio), buf, static_cast<size_t>(len), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_write(bio);
    return -1;
  }
}

int bioRead(BIO* bio, char* buf, int len) {
  BIO_clear_retry_flags(bio);
  for (;;) {
    const ssize_t n = recv(socketOf(bio), buf, static_cast<size_t>(len), 0);
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) BIO_set_retry_read(bio);
    return -1;
  }
}

long bioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

int bioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

// Made once; under s.m.
BIO_METHOD* socketMethod() {
  static BIO_METHOD* method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ostravel socket");
    if (m) {
      BIO_meth_set_write(m, bioWrite);
      BIO_meth_set_read(m, bioRead);
      BIO_meth_set_ctrl(m, bioCtrl);
      BIO_meth_set_create(m, bioCreate);
    }
    return m;
  }();
  return method;
}

tls_outcome_t ioOutcome(SSL* tls, int result) {
  switch (SSL_get_error(tls, result)) {
    case SSL_ERROR_WANT_READ:
      return tls_want_read;
    case SSL_ERROR_WANT_WRITE:
      return tls_want_write;
    case SSL_ERROR_ZERO_RETURN:
      return tls_closed;
    default:
      return tls_failed;
  }
}

}  // namespace

bool tlsAddCaFile(const char* path, char* why, size_t why_size) {
  tls_state_t& s = state();
  std::lock_guard<std::mutex> lock(s.m);
  SSL_CTX* ctx = context(s);
  ERR_clear_error();
  if (ctx && SSL_CTX_load_verify_locations(ctx, path, nullptr) == 1) return true;
  snprintf(why, why_size, "--ca-file: cannot load CA certificates from %s: %s", path,
           lastError("no certificate in the file"));
  return false;
}

SSL* tlsStart(int fd, const char* host, const char* port, bool offer_h2, char* why, size_t why_size) {
  tls_state_t& s = state();
  std::lock_guard<std::mutex> lock(s.m);
  SSL_CTX* ctx = context(s);
  BIO_METHOD* method = socketMethod();
  SSL* tls = ctx && method ? SSL_new(ctx) : nullptr;
  BIO* bio = tls ? BIO_new(method) : nullptr;
  if (!bio) {
    snprintf(why, why_size, "TLS with %s failed: %s", host, lastError("out of memory"));
    if (tls) SSL_free(tls);
    return nullptr;
  }
  BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
  SSL_set_bio(tls, bio, bio);
  // A name is sent (SNI) and checked against the certificate; an address
  // literal is checked against the certificate's addresses and not sent.
  unsigned char address[16];
  const bool literal = inet_pton(AF_INET, host, address) == 1 || inet_pton(AF_INET6, host, address) == 1;
  X509_VERIFY_PARAM* param = SSL_get0_param(tls);
  bool named = false;
  if (literal) {
    named = X509_VERIFY_PARAM_set1_ip_asc(param, host) == 1;
  } else {
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    named = SSL_set_tlsext_host_name(tls, host) == 1 && SSL_set1_host(tls, host) == 1;
  }
  if (!named) {
    snprintf(why, why_size, "TLS with %s failed: the host name cannot be checked", host);
    SSL_free(tls);
    return nullptr;
  }
  // Without offer_h2 no protocol is named, as before HTTP/2 was spoken.
  static const unsigned char protocols[] = "\x02h2\x08http/1.1";
  if (offer_h2 && SSL_set_alpn_protos(tls, protocols, sizeof protocols - 1) != 0) {
    snprintf(why, why_size, "TLS with %s failed: %s", host, lastError("out of memory"));
    SSL_free(tls);
    return nullptr;
  }
  const std::string& key = *s.keys.insert(std::string(host) + ":" + port).first;
  SSL_set_app_data(tls, const_cast<char*>(key.c_str()));
  offerSession(s, key, tls);
  SSL_set_connect_state(tls);
  return tls;
}

bool tlsChoseH2(SSL* tls) {
  const unsigned char* chosen = nullptr;
  unsigned int len = 0;
  SSL_get0_alpn_selected(tls, &chosen, &len);
  return len == 2 && memcmp(chosen, "h2", 2) == 0;
}

void tlsFree(SSL* tls) {
  releaseFirst(tls);
  SSL_free(tls);
}

bool tlsReadyToHandshake(SSL* tls) {
  const char* key = static_cast<const char*>(SSL_get_app_data(tls));
  tls_state_t& s = state();
  std::lock_guard<std::mutex> lock(s.m);
  if (!SSL_get_session(tls)) offerSession(s, key, tls);  // one may have come while this one waited
  if (SSL_get_session(tls)) return true;
  auto first = s.first_handshakes.emplace(key, tls).first;
  return first->second == tls;
}

tls_outcome_t tlsHandshake(SSL* tls, char* why, size_t why_size) {
  ERR_clear_error();
  const int result = SSL_do_handshake(tls);
  if (result == 1) {
    ++(SSL_session_reused(tls) ? handshakes_resumed : handshakes_full);
    return tls_ok;
  }
  const int error = SSL_get_error(tls, result);
  if (error == SSL_ERROR_WANT_READ) return tls_want_read;
  if (error == SSL_ERROR_WANT_WRITE) return tls_want_write;
  const std::string host = hostOf(tls);
  const long verify = SSL_get_verify_result(tls);
  if (verify != X509_V_OK) {
    snprintf(why, why_size, "certificate of %s rejected: %s", host.c_str(), X509_verify_cert_error_string(verify));
    tls_state_t& s = state();
    bool first = false;
    {
      std::lock_guard<std::mutex> lock(s.m);
      first = s.reported.insert(host).second;
    }
    if (first) std::fprintf(stderr, "%s\n", why);
  } else {
    const char* reason = error == SSL_ERROR_SYSCALL || error == SSL_ERROR_ZERO_RETURN
                             ? lastError("the service closed the connection")
                             : lastError("no reason given");
    snprintf(why, why_size, "TLS handshake with %s failed: %s", host.c_str(), reason);
  }
  releaseFirst(tls);
  return tls_failed;
}

tls_outcome_t tlsWrite(SSL* tls, const char* buf, size_t len, size_t* n) {
  ERR_clear_error();
  const int result = SSL_write_ex(tls, buf, len, n);
  return result == 1 ? tls_ok : ioOutcome(tls, result);
}

tls_outcome_t tlsRead(SSL* tls, char* buf, size_t cap, size_t* n) {
  ERR_clear_error();
  const int result = SSL_read_ex(tls, buf, cap, n);
  if (result != 1) return ioOutcome(tls, result);
  releaseFirst(tls);
  return tls_ok;
}

bool tlsIdleStillClean(SSL* tls) {
  char byte;
  size_t n = 0;
  ERR_clear_error();
  const int result = SSL_peek_ex(tls, &byte, 1, &n);
  return result != 1 && SSL_get_error(tls, result) == SSL_ERROR_WANT_READ;
}

tls_handshake_counts_t tlsHandshakeCounts() { return {handshakes_full.load(), handshakes_resumed.load()}; }
