#include "script_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace {

// How often the accept loop looks at the pause flag.
constexpr int accept_poll_ms = 20;
// A request head larger than this is not one the tests send.
constexpr size_t max_request_head = 1 << 20;

size_t contentLength(const std::string& head) {
  static const char key[] = "Content-Length: ";
  size_t at = head.find(key);
  if (at == std::string::npos) return 0;
  return static_cast<size_t>(std::strtoull(head.c_str() + at + sizeof key - 1, nullptr, 10));
}

}  // namespace

scripted_reply_t httpReply(int code, const std::string& reason, const std::string& body,
                           const std::string& headers) {
  scripted_reply_t r;
  r.bytes = "HTTP/1.0 " + std::to_string(code) + " " + reason + "\r\n" + headers + "\r\n" + body;
  return r;
}

scripted_reply_t keptAliveReply(const std::string& body) {
  scripted_reply_t r;
  r.bytes = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  r.keep_alive = true;
  return r;
}

scripted_reply_t closeWithoutReply() { return scripted_reply_t{}; }

scripted_reply_t neverReply() {
  scripted_reply_t r;
  r.hold_open = true;
  return r;
}

ScriptServer::ScriptServer(int backlog) {
  m_default = httpReply(404, "Not Found", "no script for this path");
  if (pipe(m_wake) != 0) throw std::runtime_error("ScriptServer: pipe failed");
  m_listen_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (m_listen_fd < 0) throw std::runtime_error("ScriptServer: socket failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  if (bind(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      listen(m_listen_fd, backlog) != 0)
    throw std::runtime_error("ScriptServer: bind or listen failed");
  socklen_t len = sizeof addr;
  getsockname(m_listen_fd, reinterpret_cast<sockaddr*>(&addr), &len);
  m_port = ntohs(addr.sin_port);
  m_accept_thread = std::thread([this] { acceptLoop(); });
}

ScriptServer::~ScriptServer() { stop(); }

std::string ScriptServer::host() const { return "127.0.0.1:" + std::to_string(m_port); }

std::string ScriptServer::url(const std::string& resource) const { return "http://" + host() + resource; }

std::string ScriptServer::tlsUrl(const std::string& resource) const { return "https://" + host() + resource; }

bool ScriptServer::useTls(const std::string& cert_file, const std::string& key_file, bool choose_h2) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (!ctx || SSL_CTX_use_certificate_chain_file(ctx, cert_file.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, key_file.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(ctx);
    return false;
  }
  if (choose_h2)
    SSL_CTX_set_alpn_select_cb(
        ctx,
        [](SSL*, const unsigned char** out, unsigned char* out_len, const unsigned char* in, unsigned int in_len,
           void*) {
          static const unsigned char h2[] = "\x02h2";
          unsigned char* chosen = nullptr;
          if (SSL_select_next_proto(&chosen, out_len, h2, 3, in, in_len) != OPENSSL_NPN_NEGOTIATED)
            return SSL_TLSEXT_ERR_NOACK;
          *out = chosen;
          return SSL_TLSEXT_ERR_OK;
        },
        nullptr);
  std::lock_guard<std::mutex> lock(m_mutex);
  m_tls = ctx;
  return true;
}

void ScriptServer::greetAndClose(const std::string& bytes) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_greeting = bytes;
  m_greet = true;
}

long ScriptServer::receive(peer_t& peer, char* buf, size_t n) {
  if (!peer.tls) return recv(peer.fd, buf, n, 0);
  size_t got = 0;
  return SSL_read_ex(peer.tls, buf, n, &got) == 1 ? static_cast<long>(got) : 0;
}

long ScriptServer::sendSome(peer_t& peer, const char* buf, size_t n) {
  if (!peer.tls) return send(peer.fd, buf, n, MSG_NOSIGNAL);
  size_t put = 0;
  return SSL_write_ex(peer.tls, buf, n, &put) == 1 ? static_cast<long>(put) : -1;
}

void ScriptServer::reply(const std::string& path, scripted_reply_t r) { replySequence(path, {std::move(r)}); }

void ScriptServer::replySequence(const std::string& path, std::vector<scripted_reply_t> rs) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_replies[path] = std::move(rs);
}

void ScriptServer::replyDefault(scripted_reply_t r) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_default = std::move(r);
}

void ScriptServer::handler(std::function<scripted_reply_t(const received_request_t&)> h) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_handler = std::move(h);
}

std::vector<received_request_t> ScriptServer::requests() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests;
}

size_t ScriptServer::requestCount() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_requests.size();
}

size_t ScriptServer::requestCount(const std::string& path) const {
  std::lock_guard<std::mutex> lock(m_mutex);
  size_t n = 0;
  for (const received_request_t& r : m_requests) n += r.path == path;
  return n;
}

bool ScriptServer::waitForRequests(size_t n, int timeout_ms) const {
  std::unique_lock<std::mutex> lock(m_mutex);
  return m_requests_cv.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                [&] { return m_requests.size() >= n; });
}

void ScriptServer::stop() {
  if (m_stopping.exchange(true)) return;
  char c = 1;
  if (write(m_wake[1], &c, 1) != 1) std::abort();
  if (m_accept_thread.joinable()) m_accept_thread.join();
  for (auto& c : m_connections) c->thread.join();
  m_connections.clear();
  close(m_listen_fd);
  close(m_wake[0]);
  close(m_wake[1]);
  SSL_CTX_free(m_tls);
}

bool ScriptServer::pause(int ms) const {
  if (ms <= 0) return !m_stopping;
  pollfd p{m_wake[0], POLLIN, 0};
  return poll(&p, 1, ms) == 0;
}

bool ScriptServer::waitReadable(const peer_t& peer) const {
  if (peer.tls && SSL_pending(peer.tls) > 0) return !m_stopping;
  pollfd p[2] = {{peer.fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
  for (;;) {
    int n = poll(p, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    return n > 0 && !(p[1].revents & POLLIN);
  }
}

void ScriptServer::acceptLoop() {
  for (;;) {
    pollfd p[2] = {{m_listen_fd, POLLIN, 0}, {m_wake[0], POLLIN, 0}};
    int n = poll(p, 2, accept_poll_ms);
    if (m_stopping) return;
    if (n <= 0 || m_accept_paused || !(p[0].revents & POLLIN)) continue;
    int fd = accept4(m_listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::lock_guard<std::mutex> lock(m_connections_mutex);
    for (auto it = m_connections.begin(); it != m_connections.end();) {
      if ((*it)->done) {
        (*it)->thread.join();
        it = m_connections.erase(it);
      } else {
        ++it;
      }
    }
    auto c = std::make_unique<connection_t>();
    connection_t* raw = c.get();
    const int serial = ++m_connections_accepted;
    raw->thread = std::thread([this, fd, raw, serial] {
      serve(fd, serial);
      raw->done = true;
    });
    m_connections.push_back(std::move(c));
  }
}

bool ScriptServer::readRequest(peer_t& peer, received_request_t& req) {
  std::string data;
  char buf[65536];
  size_t head_end = std::string::npos;
  size_t want = 0;
  for (;;) {
    if (head_end == std::string::npos) {
      head_end = data.find("\r\n\r\n");
      if (head_end != std::string::npos) want = head_end + 4 + contentLength(data.substr(0, head_end + 4));
    }
    if (head_end != std::string::npos && data.size() >= want) break;
    if (data.size() > max_request_head && head_end == std::string::npos) break;
    if (!waitReadable(peer)) return false;
    ssize_t n = receive(peer, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buf, static_cast<size_t>(n));
  }
  if (head_end == std::string::npos) {
    req.head = data;
  } else {
    req.head = data.substr(0, head_end + 4);
    req.body = data.substr(head_end + 4);
    req.complete = data.size() >= want;
  }
  size_t sp1 = req.head.find(' ');
  req.method = req.head.substr(0, sp1);
  if (sp1 != std::string::npos) {
    size_t sp2 = req.head.find_first_of(" \r", sp1 + 1);
    req.path = req.head.substr(sp1 + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp1 - 1);
  }
  return true;
}

scripted_reply_t ScriptServer::choose(const received_request_t& req) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_handler) return m_handler(req);
  auto it = m_replies.find(req.path);
  if (it == m_replies.end() || it->second.empty()) return m_default;
  scripted_reply_t r = it->second.front();
  if (it->second.size() > 1) it->second.erase(it->second.begin());
  return r;
}

void ScriptServer::sendReply(peer_t& peer, const scripted_reply_t& r) {
  if (!pause(r.delay_ms)) return;
  size_t chunk = r.chunk_size ? r.chunk_size : r.bytes.size();
  for (size_t at = 0; at < r.bytes.size(); at += chunk) {
    if (at && !pause(r.chunk_delay_ms)) return;
    size_t len = std::min(chunk, r.bytes.size() - at);
    size_t sent = 0;
    while (sent < len) {
      ssize_t n = sendSome(peer, r.bytes.data() + at + sent, len - sent);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;  // the client went away
      sent += static_cast<size_t>(n);
    }
  }
}

void ScriptServer::serve(int fd, int connection) {
  SSL_CTX* tls = nullptr;
  bool greet = false;
  std::string greeting;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    tls = m_tls;
    greet = m_greet;
    greeting = m_greeting;
  }
  peer_t peer{fd, nullptr};
  if (greet) {
    sendSome(peer, greeting.data(), greeting.size());
  } else if (pause(m_read_delay_ms)) {
    if (tls) {
      // OpenSSL writes without MSG_NOSIGNAL: a client that goes away must
      // not end the test. Blocked in this thread only, so that the client's
      // own writes would still raise it.
      sigset_t pipe;
      sigemptyset(&pipe);
      sigaddset(&pipe, SIGPIPE);
      pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
      // OpenSSL writes a long answer as several records, one write each:
      // without this the last one waits for the client's delayed ACK.
      const int on = 1;
      setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      peer.tls = SSL_new(tls);
      if (peer.tls && SSL_set_fd(peer.tls, fd) == 1 && SSL_accept(peer.tls) == 1) serveRequests(peer, connection);
      SSL_free(peer.tls);
    } else {
      serveRequests(peer, connection);
    }
  }
  close(fd);
}

void ScriptServer::serveRequests(peer_t& peer, int connection) {
  const int fd = peer.fd;
  {
    for (bool first = true;; first = false) {
      received_request_t req;
      // A kept-alive connection that the client closes ends here.
      if (!readRequest(peer, req) || (!first && req.head.empty())) break;
      req.connection = connection;
      scripted_reply_t r = choose(req);
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_requests.push_back(req);
      }
      m_requests_cv.notify_all();
      sendReply(peer, r);
      if (r.reset) {
        linger l{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
      } else if (r.hold_open) {
        // Until the client closes (or sends more, which is read and dropped)
        // or the server stops.
        char buf[4096];
        while (waitReadable(peer) && receive(peer, buf, sizeof buf) > 0) {
        }
      } else if (r.keep_alive) {
        continue;
      }
      break;
    }
  }
}

size_t ScriptServer::openConnections() {
  std::lock_guard<std::mutex> lock(m_connections_mutex);
  size_t n = 0;
  for (auto& c : m_connections) n += !c->done;
  return n;
}
