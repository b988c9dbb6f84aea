// A scripted HTTP server for tests: listens on 127.0.0.1 on an ephemeral
// port, reads each request (head and, with Content-Length, its body), and
// answers with bytes chosen by the request's path, written exactly as
// scripted: all at once or dripped, then closed, reset, held open or kept
// for the next request. It is a hostile service on demand; it never
// interprets what it sends. It speaks TLS on demand (useTls), and can greet
// a connection with bytes of its own and close it, before any request.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct scripted_reply_t {
  std::string bytes;       // sent verbatim (status line, headers, body, or anything)
  size_t chunk_size = 0;   // 0: one write; otherwise pieces of this many bytes
  int chunk_delay_ms = 0;  // pause before every piece but the first
  int delay_ms = 0;        // pause before the first byte
  bool hold_open = false;  // after the bytes, keep the connection until the client or the server ends it
  bool reset = false;      // end with a reset instead of an orderly close
  bool keep_alive = false; // after the bytes, read the next request on the same connection
};

// "HTTP/1.0 <code> <reason>\r\n" + headers (each ending in "\r\n") + "\r\n" + body.
scripted_reply_t httpReply(int code, const std::string& reason, const std::string& body,
                           const std::string& headers = "");
// "HTTP/1.1 200 OK" framed by its Content-Length, the connection kept for the next request.
scripted_reply_t keptAliveReply(const std::string& body);
// Closes the connection without sending a byte.
scripted_reply_t closeWithoutReply();
// Sends nothing and never closes.
scripted_reply_t neverReply();

struct received_request_t {
  std::string head;    // request line and header lines, with the blank line
  std::string body;    // Content-Length bytes after the head
  std::string method;  // first word of the request line
  std::string path;    // second word (the resource, e.g. "/rt/earth/PlanetoidMetadata")
  bool complete = false;  // false when the client closed before the whole request arrived
  int connection = 0;     // serial number of the connection it came on, from 1
};

class ScriptServer {
 public:
  // backlog is the listen queue; 0 with no accepting (see pauseAccepting)
  // lets a test fill the queue so that further connects never complete.
  explicit ScriptServer(int backlog = 128);
  ~ScriptServer();
  ScriptServer(const ScriptServer&) = delete;
  ScriptServer& operator=(const ScriptServer&) = delete;

  uint16_t port() const { return m_port; }
  std::string host() const;                              // "127.0.0.1:<port>"
  std::string url(const std::string& resource) const;  // "http://127.0.0.1:<port>" + resource

  // The reply for one path, given for every request of it.
  void reply(const std::string& path, scripted_reply_t r);
  // Replies for one path in turn; the last one repeats.
  void replySequence(const std::string& path, std::vector<scripted_reply_t> rs);
  // The reply for paths without their own; a 404 at first.
  void replyDefault(scripted_reply_t r);
  // Decides every reply itself when set (replaces the tables above).
  void handler(std::function<scripted_reply_t(const received_request_t&)> h);
  // Pause between accepting a connection and reading its request: the
  // client's sends then fill the socket buffers and come back short.
  void setRequestReadDelay(int ms) { m_read_delay_ms = ms; }
  // While paused, connections stay in the listen queue unaccepted.
  void pauseAccepting(bool paused) { m_accept_paused = paused; }
  // Connections accepted from now on speak TLS with this certificate chain
  // and key (PEM files); false when they do not load. With choose_h2 the
  // handshake chooses "h2" when the client offers it (the scripted replies
  // then answer HTTP/2's preface, read as a request "PRI *").
  bool useTls(const std::string& cert_file, const std::string& key_file, bool choose_h2 = false);
  // Connections accepted from now on get these bytes at once (before any
  // TLS) and are closed: a peer that is no TLS service, or that stops
  // mid-handshake.
  void greetAndClose(const std::string& bytes);
  // "https://127.0.0.1:<port>" + resource.
  std::string tlsUrl(const std::string& resource) const;

  std::vector<received_request_t> requests() const;
  size_t requestCount() const;
  size_t requestCount(const std::string& path) const;
  // Waits until at least n requests were read; false after timeout_ms.
  bool waitForRequests(size_t n, int timeout_ms) const;
  // Connections accepted and not yet ended (by either side).
  size_t openConnections();

  // Ends every connection (held ones included) and joins all threads.
  void stop();

 private:
  struct connection_t {
    std::thread thread;
    std::atomic<bool> done{false};
  };

  // A connection's socket and, over TLS, its OpenSSL state.
  struct peer_t {
    int fd;
    struct ssl_st* tls;
  };

  void acceptLoop();
  void serve(int fd, int connection);
  void serveRequests(peer_t& peer, int connection);
  bool readRequest(peer_t& peer, received_request_t& req);
  scripted_reply_t choose(const received_request_t& req);
  void sendReply(peer_t& peer, const scripted_reply_t& r);
  // Sleeps up to ms; false when the server is stopping.
  bool pause(int ms) const;
  bool waitReadable(const peer_t& peer) const;
  long receive(peer_t& peer, char* buf, size_t n);
  long sendSome(peer_t& peer, const char* buf, size_t n);

  int m_listen_fd = -1;
  int m_wake[2] = {-1, -1};  // written once by stop(); every wait watches it
  uint16_t m_port = 0;
  std::atomic<bool> m_stopping{false};
  std::atomic<int> m_read_delay_ms{0};
  std::atomic<bool> m_accept_paused{false};
  struct ssl_ctx_st* m_tls = nullptr;  // set before the connections it serves, never replaced
  std::string m_greeting;
  bool m_greet = false;
  int m_connections_accepted = 0;  // accept thread only

  mutable std::mutex m_mutex;
  mutable std::condition_variable m_requests_cv;
  std::map<std::string, std::vector<scripted_reply_t>> m_replies;
  scripted_reply_t m_default;
  std::function<scripted_reply_t(const received_request_t&)> m_handler;
  std::vector<received_request_t> m_requests;

  std::mutex m_connections_mutex;
  std::list<std::unique_ptr<connection_t>> m_connections;
  std::thread m_accept_thread;
};
