#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/http_client.h"
#include "startup/planet_startup.h"
#include "net/fetch.h"
#include "fetch_fixture.h"

namespace {

// One service and working directory for the whole process.
fetch_fixture_t& env() {
  static fetch_fixture_t e("fetch");
  return e;
}
// Created before main: a death test's child starts with the same set-up.
const fetch_fixture_t& env_at_start = env();

struct call_t {
  int i;
  int error;
  bool has_data;
  std::string data;
  size_t len;
  std::string reason;
};

std::mutex calls_mutex;
std::vector<call_t> calls;

void recordCall(int i, int error, uint8_t* data, size_t len) {
  std::lock_guard<std::mutex> lock(calls_mutex);
  calls.push_back({i, error, data != nullptr, data ? std::string(reinterpret_cast<char*>(data), len) : "", len,
                   error ? fetchFailureReason() : ""});
}

std::vector<call_t> fetch(const char* path, int i) {
  {
    std::lock_guard<std::mutex> lock(calls_mutex);
    calls.clear();
  }
  fetchData(path, i, recordCall);
  std::lock_guard<std::mutex> lock(calls_mutex);
  return calls;
}

bool isDir(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool cacheTreeExists() {
  return isDir("cache") && isDir("cache/BulkMetadata") && isDir("cache/NodeData");
}

}  // namespace

TEST(Fetch, UrlIsBaseUrlPlusPath) {
  EXPECT_EQ(std::string(baseUrl()), "http://" + env().server.host() + "/rt/earth/");
  env().server.reply("/rt/earth/PlanetoidMetadata", httpReply(200, "OK", "p"));
  auto c = fetch("PlanetoidMetadata", 3);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].error, 0);
  auto reqs = env().server.requests();
  ASSERT_FALSE(reqs.empty());
  EXPECT_EQ(reqs.back().head,
            "GET /rt/earth/PlanetoidMetadata HTTP/1.1\r\nHost: " + env().server.host() + "\r\n\r\n");
}

TEST(Fetch, CallbackOnceWithCopiedBodyOrFailure) {
  ScriptServer& s = env().server;
  const std::string nul_body("\0x\0y", 4);
  s.reply("/rt/earth/body", httpReply(200, "OK", nul_body));
  s.reply("/rt/earth/empty", httpReply(200, "OK", ""));
  s.reply("/rt/earth/missing", httpReply(404, "Not Found", "not for you"));
  s.reply("/rt/earth/closed", closeWithoutReply());
  s.reply("/rt/earth/garbage", {"this is not HTTP"});

  auto c = fetch("body", 11);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].i, 11);
  EXPECT_EQ(c[0].error, 0);
  EXPECT_EQ(c[0].len, nul_body.size());
  EXPECT_EQ(c[0].data, nul_body);

  c = fetch("empty", 12);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].error, 0);
  EXPECT_TRUE(c[0].has_data);
  EXPECT_EQ(c[0].len, 0u);

  const std::pair<const char*, const char*> failures[] = {
      {"missing", "status 404"},
      {"closed", "no blank line ends the response header"},
      {"garbage", "no blank line ends the response header"}};
  for (auto [path, reason] : failures) {
    c = fetch(path, 13);
    ASSERT_EQ(c.size(), 1u) << path;
    EXPECT_EQ(c[0].i, 13);
    EXPECT_EQ(c[0].error, 1) << path;
    EXPECT_FALSE(c[0].has_data) << path;
    EXPECT_EQ(c[0].len, 0u) << path;
    EXPECT_EQ(c[0].reason, reason) << path;
  }
}

TEST(Fetch, ServerThatNeverClosesStillReturns) {
  http_stall_timeout_ms = 150;
  env().server.reply("/rt/earth/held", neverReply());
  auto c = fetch("held", 5);
  http_stall_timeout_ms = http_stall_limit_ms;
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].error, 1);
  EXPECT_EQ(c[0].reason, "no progress within the stall limit");
}

namespace {

std::atomic<int> saw_tree{0};
std::atomic<int> reports{0};

void noteReport(int, int, uint8_t*, size_t) {
  if (cacheTreeExists()) ++saw_tree;
  ++reports;
}

// Runs in a child process of its own, where no fetch has happened yet: eight
// concurrent first calls (failing ones among them) find the cache tree in
// place by the time each of them reports, and once it exists no later call
// creates it again.
void concurrentFirstCalls() {
  env().server.reply("/rt/earth/x", httpReply(200, "OK", "x"));
  env().server.reply("/rt/earth/fail", httpReply(500, "Error", ""));
  const bool fresh = !isDir("cache");
  std::vector<std::thread> threads;
  for (int k = 0; k < 8; ++k) threads.emplace_back([k] { fetchData(k % 2 ? "x" : "fail", k, noteReport); });
  for (auto& t : threads) t.join();
  std::filesystem::remove_all("cache");
  fetchData("x", 99, noteReport);
  const bool ok = fresh && saw_tree == 8 && reports == 9 && !isDir("cache");
  std::exit(ok ? 0 : 1);
}

}  // namespace

TEST(Fetch, ConcurrentFirstCallsCreateCacheTreeOnce) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(concurrentFirstCalls(), testing::ExitedWithCode(0), "");
}

namespace {

// In a child process: a fetch leaves its connection kept alive (the service
// announces HTTP/1.1 and keeps it); at exit abortFetches closes it, and no
// fetch after that keeps one.
void exitClosesKeptConnections() {
  scripted_reply_t kept;
  kept.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nkept";
  kept.keep_alive = true;
  env().server.reply("/rt/earth/kept", kept);
  const bool fetched = fetch("kept", 1).size() == 1 && calls[0].data == "kept";
  const bool held = env().server.openConnections() == 1;
  abortFetches();
  bool closed = false;
  for (int k = 0; k < 1000 && !closed; ++k) {
    closed = env().server.openConnections() == 0;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  std::exit(fetched && held && closed ? 0 : 1);
}

}  // namespace

TEST(Fetch, ExitClosesKeptAliveConnections) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(exitClosesKeptConnections(), testing::ExitedWithCode(0), "");
}

// The planetoid cannot be had: two lines on standard error, exit status 1.
TEST(Planet, NoPlanetoidExitsWithStatusOne) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  env().server.reply("/rt/earth/PlanetoidMetadata", httpReply(503, "Unavailable", ""));
  // The child process runs a service of its own, on another port.
  EXPECT_EXIT(loadPlanet(), testing::ExitedWithCode(1),
              "no planetoid\ntried http://127\\.0\\.0\\.1:[0-9]+/rt/earth/PlanetoidMetadata\n");
}
