// rocktreed under slow, idle, never-reading and flooding clients, and its
// clean stop: the connection table on hand-built connections, then the real
// binary on loopback. Hostile clients connect from 127.0.0.2 and up (all of
// 127/8 is loopback), well-formed ones from 127.0.0.1, so that the per-address
// cap tells them apart. Every wait is bounded: a hang fails, never blocks.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "http/connection_limits.h"
#include "kept_answer.h"
#include "planet/octree_geometry.h"


// Under AddressSanitizer freed memory stays in its quarantine (the resident
// size says nothing of the service's bound) and every step is several times
// slower (which phase a deaf client's connection is in when it is cut is
// then a matter of timing).
#if defined(__SANITIZE_ADDRESS__)
#define ADDRESS_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ADDRESS_SANITIZED 1
#endif
#endif
namespace {

using namespace std::chrono_literals;

TEST(ConnectionTable, CapsEachAddressAndTheTotalAndCutsByPhase) {
  connection_metrics_t m;
  connection_table_t t;
  t.metrics = &m;
  t.limits.max_per_address = 2;
  t.limits.max_total = 3;
  const auto now = connection_clock_t::now();
  auto open = [&](int fd, const std::string& address) {
    return reserveAddress(t, address, now) ? trackConnection(t, fd, address, now) : nullptr;
  };
  tracked_connection_t* a1 = open(1, "a");
  tracked_connection_t* a2 = open(2, "a");
  EXPECT_EQ(open(0, "a"), nullptr);  // its share is taken
  tracked_connection_t* b1 = open(3, "b");
  tracked_connection_t* b2 = open(4, "b");  // the fourth: over the total
  ASSERT_TRUE(a1 && a2 && b1 && b2);
  EXPECT_FALSE(a1->refused || a2->refused || b1->refused);
  EXPECT_TRUE(b2->refused);
  untrackConnection(t, a1);
  tracked_connection_t* c = open(5, "c");
  ASSERT_TRUE(c);
  EXPECT_FALSE(c->refused);  // a1's place; b2 stays refused
  ASSERT_TRUE(reserveAddress(t, "a", now));  // a place the library never fills ...
  EXPECT_EQ(open(6, "a"), nullptr);           // ... counts until it goes stale
  EXPECT_EQ(m.refused_per_address.load(), 2u);
  EXPECT_EQ(m.refused_busy.load(), 1u);
  EXPECT_EQ(m.open.load(), 4);

  // a2 and b2 wait for their first head, b1 is being answered, c is idle.
  headArrived(t, b1);
  headArrived(t, c);
  answerSent(t, c, now);
  EXPECT_EQ(answersUnderWay(t), 1);
  std::vector<int> cut;
  auto collect = [&](const tracked_connection_t& x) { cut.push_back(x.fd); };
  expireConnections(t, now + std::chrono::seconds(t.limits.idle_timeout_s) + 1ms, collect);
  EXPECT_EQ(cut, std::vector<int>{5});
  expireConnections(t, now + std::chrono::seconds(t.limits.head_timeout_s) + 1ms, collect);
  std::sort(cut.begin(), cut.end());
  EXPECT_EQ(cut, (std::vector<int>{2, 4, 5}));  // each once; b1 is the send timeout's
  EXPECT_EQ(m.timed_out_idle.load(), 1u);
  EXPECT_EQ(m.timed_out_head.load(), 2u);
  for (tracked_connection_t* x : {a2, b1, b2, c}) untrackConnection(t, x);
  EXPECT_EQ(m.open.load(), 0);
  EXPECT_TRUE(t.per_address.empty());  // the stale reservation is gone too

  // The head's deadline runs from the accept, also when an event loop
  // reports the connection later.
  ASSERT_TRUE(reserveAddress(t, "d", now));
  tracked_connection_t* late = trackConnection(t, 7, "d", now + 500ms);
  cut.clear();
  expireConnections(t, now + std::chrono::seconds(t.limits.head_timeout_s) + 1ms, collect);
  EXPECT_EQ(cut, std::vector<int>{7});
  untrackConnection(t, late);
}

// --- the binary on loopback ---------------------------------------------------------

struct server_t {
  pid_t pid = -1;
  int out = -1;  // its standard output
  int port = 0;
};

// Starts rocktreed with the arguments after --port 0; port 0 when it did
// not say where it listens within 20 s.
server_t startServer(const std::vector<std::string>& args) {
  server_t s;
  int fds[2];
  if (pipe(fds) != 0) return s;
  s.pid = fork();
  if (s.pid == 0) {
    dup2(fds[1], STDOUT_FILENO);
    close(fds[0]);
    close(fds[1]);
    std::vector<std::string> all = {ROCKTREED_BINARY, "--port", "0", "--threads", "2", "--cache-mb", "16", "--quiet"};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(ROCKTREED_BINARY, argv.data());
    _exit(127);
  }
  close(fds[1]);
  s.out = fds[0];
  std::string line;
  char ch;
  pollfd p{s.out, POLLIN, 0};
  while (line.find('\n') == std::string::npos && poll(&p, 1, 20000) > 0 && read(s.out, &ch, 1) == 1) line += ch;
  const size_t at = line.find("127.0.0.1:");
  if (at != std::string::npos) s.port = std::atoi(line.c_str() + at + 10);
  return s;
}

// SIGTERM, then its exit status (-1 when it did not exit normally).
int stopServer(server_t& s) {
  kill(s.pid, SIGTERM);
  int status = 0;
  waitpid(s.pid, &status, 0);
  close(s.out);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A socket from 127.0.0.`host` to the port, or -1 (refused); `rcvbuf` > 0
// shrinks its receive buffer first.
int connectFrom(int host, int port, int rcvbuf = 0) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  if (rcvbuf > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  sockaddr_in from{};
  from.sin_family = AF_INET;
  from.sin_addr.s_addr = htonl(INADDR_LOOPBACK - 1 + static_cast<uint32_t>(host));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void sendAll(int fd, const std::string& bytes) { send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

// What arrives until the server closes, or at most `limit` (against a hang).
std::string readUntilClosed(int fd, std::chrono::milliseconds limit = 10s, bool* closed = nullptr) {
  std::string raw;
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    char buf[65536];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (closed) *closed = true;
      break;
    }
    raw.append(buf, static_cast<size_t>(n));
  }
  return raw;
}

// An HTTP/1.0 GET from 127.0.0.`host`: the whole answer as read.
std::string get(int port, const std::string& path, int host = 1) {
  const int fd = connectFrom(host, port);
  if (fd < 0) return "";
  sendAll(fd, "GET " + path + " HTTP/1.0\r\nHost: x\r\n\r\n");
  std::string raw = readUntilClosed(fd);
  close(fd);
  return raw;
}

int status(const std::string& raw) { return raw.rfind("HTTP/1.", 0) == 0 ? std::atoi(raw.c_str() + 9) : 0; }

// A counter of /metrics ("name{labels}"), -1 when absent.
long long metric(int port, const std::string& name) {
  const std::string raw = get(port, "/metrics");
  const size_t at = raw.find("\n" + name + " ");
  return at == std::string::npos ? -1 : std::atoll(raw.c_str() + at + name.size() + 2);
}

// Room for the test's sockets: they are descriptors.
int socketBudget(int wanted) {
  rlimit r{};
  getrlimit(RLIMIT_NOFILE, &r);
  r.rlim_cur = r.rlim_max;
  setrlimit(RLIMIT_NOFILE, &r);
  return static_cast<int>(std::min<rlim_t>(static_cast<rlim_t>(wanted), r.rlim_cur > 200 ? r.rlim_cur - 200 : 0));
}

std::string node(int k) {
  // Level-4 nodes around the globe: answers of tens of kilobytes.
  static const char* paths[] = {"3003", "3002", "2130", "2131", "0213", "1302", "3120", "2031"};
  return "/rt/earth/NodeData/pb=!1m2!1s" + std::string(paths[k % 8]) + "!2u1001!2e1!4b0";
}

TEST(RocktreedLimits, SlowIdleAndNeverReadingClientsAreCutWhileWellFormedOnesAreServed) {
  server_t s = startServer({"--head-timeout", "1", "--idle-timeout", "1", "--send-timeout", "2",
                            "--max-connections-per-ip", "2000", "--max-connections", "1500"});
  ASSERT_GT(s.port, 0);
  const int count = socketBudget(1000);
  ASSERT_GE(count, 100);
  // 1,000 hostile connections from one address: 20 asking for more
  // answers than the socket buffers hold (a few MB on loopback) and never
  // reading them, 10 half-open (half a head, then their sending side shut),
  // the rest half idle, half dripping a request head.
  std::vector<int> idle, slow, deaf;
  std::string many;
  for (int k = 0; k < 256; ++k) many += "GET " + node(k) + " HTTP/1.1\r\nHost: x\r\n\r\n";
  for (int i = 0; i < count; ++i) {
    const int kind = i < 20 ? 2 : i % 2;
    const int fd = connectFrom(2, s.port, kind == 2 ? 2048 : 0);
    ASSERT_GE(fd, 0) << i;
    if (kind == 1) sendAll(fd, "GET /rt/earth/Planeto");
    if (kind == 1 && i < 40) shutdown(fd, SHUT_WR);
    if (kind == 2) sendAll(fd, many);
    (kind == 0 ? idle : kind == 1 ? slow : deaf).push_back(fd);
  }
  // Well-formed clients are answered meanwhile, and a kept-alive one that
  // then goes quiet is closed.
  for (int k = 0; k < 30; ++k) {
    for (size_t i = k % 7; i < slow.size(); i += 7) sendAll(slow[i], "i");  // a byte now and then
    ASSERT_EQ(status(get(s.port, k % 2 ? node(k) : "/rt/earth/PlanetoidMetadata")), 200) << k;
  }
  const int kept = connectFrom(1, s.port);
  sendAll(kept, "GET /rt/earth/PlanetoidMetadata HTTP/1.1\r\nHost: x\r\n\r\n");
  bool kept_closed = false;
  EXPECT_EQ(status(readUntilClosed(kept, 5s, &kept_closed)), 200);
  EXPECT_TRUE(kept_closed);
  close(kept);

  // Every hostile connection ends, closed by the server.
  int closed = 0;
  for (const std::vector<int>* group : {&idle, &slow, &deaf})
    for (int fd : *group) {
      bool c = false;
      readUntilClosed(fd, 10s, &c);
      closed += c;
      close(fd);
    }
  EXPECT_EQ(closed, count);
  EXPECT_GE(metric(s.port, "rocktreed_connections_timed_out_total{phase=\"head\"}"),
            static_cast<long long>(idle.size() + slow.size()) - 10);  // half-open ones may end on their own
  EXPECT_GE(metric(s.port, "rocktreed_connections_timed_out_total{phase=\"idle\"}"), 1);
#ifndef ADDRESS_SANITIZED
  EXPECT_GE(metric(s.port, "rocktreed_connections_timed_out_total{phase=\"send\"}"), 1);
#endif
  EXPECT_EQ(status(get(s.port, node(3))), 200);
  EXPECT_EQ(stopServer(s), 0);
}

TEST(RocktreedLimits, AFloodFromOneAddressIsCappedAndTheTotalIsRefusedWith503) {
  server_t s = startServer({"--max-connections-per-ip", "8", "--max-connections", "12"});
  ASSERT_GT(s.port, 0);
  std::vector<int> flood;
  for (int i = 0; i < 20; ++i) flood.push_back(connectFrom(2, s.port));
  // Past 8, each is closed at once, unanswered; the first 8 stay open.
  int closed = 0;
  for (int i = 0; i < 20; ++i) {
    bool c = false;
    const std::string raw = readUntilClosed(flood[i], i < 8 ? 300ms : 5s, &c);
    EXPECT_EQ(raw, "") << i;
    closed += c;
    EXPECT_EQ(c, i >= 8) << i;
  }
  EXPECT_EQ(closed, 12);
  // 8 + 4 from another address fill the total (each of the 4 is answered
  // once, so it is surely counted); the next is told to retry.
  std::vector<int> more;
  for (int i = 0; i < 4; ++i) {
    more.push_back(connectFrom(3, s.port));
    sendAll(more.back(), "GET /rt/earth/PlanetoidMetadata HTTP/1.1\r\nHost: x\r\n\r\n");
    std::string first;
    for (int k = 0; k < 100 && first.find("\r\n\r\n") == std::string::npos; ++k)
      first += readUntilClosed(more.back(), 20ms);
    ASSERT_EQ(status(first), 200) << i << first;
  }
  const std::string refused = get(s.port, "/rt/earth/PlanetoidMetadata", 4);
  EXPECT_EQ(status(refused), 503) << refused;
  EXPECT_NE(refused.find("\r\nRetry-After: 1\r\n"), std::string::npos) << refused;
  for (int fd : flood) close(fd);
  for (int fd : more) close(fd);
  // Once they are gone, the service has room again (a few tries: the closes
  // reach it asynchronously).
  int answered = 0;
  for (int k = 0; k < 50 && answered != 200; ++k, std::this_thread::sleep_for(20ms))
    answered = status(get(s.port, "/rt/earth/PlanetoidMetadata", 4));
  EXPECT_EQ(answered, 200);
  EXPECT_GE(metric(s.port, "rocktreed_connections_refused_total{reason=\"busy\"}"), 1);
  EXPECT_EQ(metric(s.port, "rocktreed_connections_refused_total{reason=\"per_address\"}"), 12);
  EXPECT_EQ(stopServer(s), 0);
}

TEST(RocktreedLimits, SigtermFinishesTheAnswersUnderWayRefusesNewOnesAndExits0) {
  server_t s = startServer({});
  ASSERT_GT(s.port, 0);
  // A failed check must not leave the service running (it holds the test's
  // output open).
  struct reap_t {
    pid_t pid;
    ~reap_t() {
      if (waitpid(pid, nullptr, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
      }
    }
  } reap{s.pid};
  // Many answers asked at once on a connection that reads slowly: when the
  // signal comes, one of them is being sent.
  const int fd = connectFrom(1, s.port, 2048);
  std::string many;
  for (int k = 0; k < 16; ++k) many += "GET " + node(k) + " HTTP/1.1\r\nHost: x\r\n\r\n";
  sendAll(fd, many);
  // The first bytes (the first build waits for the planet's colours): then
  // the rest is still to come.
  std::string raw;
  for (int k = 0; k < 400 && raw.empty(); ++k) raw += readUntilClosed(fd, 50ms);
  ASSERT_FALSE(raw.empty());
  kill(s.pid, SIGTERM);
  int refused = 0;
  for (int k = 0; k < 100 && refused >= 0; ++k, std::this_thread::sleep_for(20ms)) {
    const int probe = connectFrom(1, s.port);
    if (probe < 0) refused = -1;
    else close(probe);
  }
  EXPECT_EQ(refused, -1) << "still accepting after SIGTERM";
  bool closed = false;
  raw += readUntilClosed(fd, 20s, &closed);
  close(fd);
  EXPECT_TRUE(closed);
  // The stream is whole answers only: none cut after its head.
  int answers = 0;
  for (size_t at = 0; at < raw.size(); ++answers) {
    const size_t head_end = raw.find("\r\n\r\n", at);
    const size_t length_at = raw.find("Content-Length: ", at);
    ASSERT_NE(head_end, std::string::npos);
    ASSERT_LT(length_at, head_end);
    EXPECT_EQ(status(raw.substr(at)), 200);
    at = head_end + 4 + std::strtoul(raw.c_str() + length_at + 16, nullptr, 10);
    ASSERT_LE(at, raw.size()) << "answer " << answers << " cut";
  }
  EXPECT_GE(answers, 1);
  int st = 0;
  waitpid(s.pid, &st, 0);
  close(s.out);
  ASSERT_TRUE(WIFEXITED(st));
  EXPECT_EQ(WEXITSTATUS(st), 0);
}

// The resident size of a process, MB.
long residentMb(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6) / 1024;
  return -1;
}

TEST(RocktreedLimits, DistinctDeepRequestsStayWithinTheCacheAndItsMargin) {
#ifdef ADDRESS_SANITIZED
  GTEST_SKIP() << "the resident size under AddressSanitizer includes its quarantine";
#endif
  // The small version of bench/rocktreed_memory.sh: 5,000 distinct nodes of
  // levels 14 to 20 (missing sea nodes and costly land ones) fill a 4 MB
  // cache over and over; the service stays within it and its margin.
  server_t s = startServer({"--cache-mb", "4"});
  ASSERT_GT(s.port, 0);
  const int fd = connectFrom(1, s.port);
  sendAll(fd, "GET /rt/earth/PlanetoidMetadata HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_EQ(readKeptAnswer(fd), 200);
  // One node over a coast first: what every later build shares (the land
  // and sea colours, the shoreline files' indices) is then in place.
  sendAll(fd, "GET /rt/earth/NodeData/pb=!1m2!1s" + nodePathOver(37.8, -122.45, 14) +
                  "!2u1001!2e1!4b0 HTTP/1.1\r\nHost: x\r\n\r\n");
  ASSERT_EQ(readKeptAnswer(fd), 200);
  const long start = residentMb(s.pid);
  std::mt19937 rng(23);
  std::uniform_real_distribution<double> lat(-80, 80), lon(-180, 180);
  std::uniform_int_distribution<int> level(14, 20);
  int built = 0;
  for (int i = 0; i < 5000; ++i) {
    const std::string path = nodePathOver(lat(rng), lon(rng), level(rng));
    sendAll(fd, "GET /rt/earth/NodeData/pb=!1m2!1s" + path + "!2u1001!2e1!4b0 HTTP/1.1\r\nHost: x\r\n\r\n");
    const int answer = readKeptAnswer(fd);
    ASSERT_TRUE(answer == 200 || answer == 404) << path << ": " << answer;
    built += answer == 200;
  }
  EXPECT_GT(built, 1000);  // several times the cache's worth
  std::printf("resident: %ld MB above the start after %d builds\n", residentMb(s.pid) - start, built);
  EXPECT_LE(residentMb(s.pid) - start, 4 + serving_memory_margin_mb);
  close(fd);
  EXPECT_EQ(stopServer(s), 0);
}

// The lines of the export's manifest after its header: "SIZE PATH".
std::vector<std::string> manifestLines(const std::string& dir) {
  std::ifstream in(dir + "/rocktreed-export.manifest");
  std::vector<std::string> lines;
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

// Runs an export to `dir` and returns its exit status; with `stop_after`,
// SIGTERM once the manifest lists that many files.
int runExportBinary(const std::string& dir, size_t stop_after, std::string* log) {
  const std::string log_path = dir + ".log";
  const pid_t pid = fork();
  if (pid == 0) {
    const int fd = open(log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, STDERR_FILENO);
    execl(ROCKTREED_BINARY, ROCKTREED_BINARY, "export", "--out", dir.c_str(), "--base-level", "5", "--threads", "2",
          "--texture-formats", "jpg", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int k = 0; stop_after && k < 3000 && manifestLines(dir).size() < stop_after; ++k)
    std::this_thread::sleep_for(10ms);
  if (stop_after) kill(pid, SIGTERM);
  int st = 0;
  waitpid(pid, &st, 0);
  std::ifstream in(log_path);
  log->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST(RocktreedLimits, SigtermStopsAnExportWithAManifestItResumesFrom) {
  const std::string dir = ::testing::TempDir() + "rocktreed-stopped-export";
  std::filesystem::remove_all(dir);
  std::string log;
  ASSERT_EQ(runExportBinary(dir, 20, &log), 3) << log;
  EXPECT_NE(log.find("stopped with"), std::string::npos) << log;
  // Every file the manifest lists is there, whole.
  const std::vector<std::string> listed = manifestLines(dir);
  ASSERT_GE(listed.size(), 20u);
  for (const std::string& line : listed) {
    const size_t space = line.find(' ');
    ASSERT_NE(space, std::string::npos) << line;
    EXPECT_EQ(std::filesystem::file_size(dir + "/rt/earth/" + line.substr(space + 1)),
              std::strtoull(line.c_str(), nullptr, 10))
        << line;
  }
  ASSERT_EQ(runExportBinary(dir, 0, &log), 0) << log;
  const size_t at = log.find(" written, ");
  ASSERT_NE(at, std::string::npos) << log;
  EXPECT_GE(std::strtoull(log.c_str() + at + 10, nullptr, 10), listed.size()) << log;  // "N already there"
  std::filesystem::remove_all(dir);
  std::filesystem::remove(dir + ".log");
}

}  // namespace
