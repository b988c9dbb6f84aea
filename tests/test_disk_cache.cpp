#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "net/disk_cache.h"
#include "net/fetch.h"
#include "fetch_fixture.h"
#include "rocktree.pb.h"
#include "startup/planet_startup.h"

namespace {

using namespace geo_globetrotter_proto_rocktree;

// The answer a service would give for a key: the same bytes every time, of
// a length from 1 to 24 KB that depends on the key.
std::string answerFor(const std::string& key) {
  const size_t h = std::hash<std::string>{}(key);
  std::string body(1000 + h % 23000, '\0');
  std::mt19937 gen(static_cast<uint32_t>(h));
  for (char& c : body) c = static_cast<char>(gen());
  return body;
}

void put(disk_cache_t& c, const std::string& key) {
  const std::string body = answerFor(key);
  diskCachePut(c, key, reinterpret_cast<const uint8_t*>(body.data()), body.size());
}

bool holds(disk_cache_t& c, const std::string& key) {
  std::vector<uint8_t> out;
  return diskCacheGet(c, key, &out) && std::string(out.begin(), out.end()) == answerFor(key);
}

disk_cache_ptr_t open(const std::string& dir, uint64_t budget) {
  std::string why;
  disk_cache_ptr_t c = openDiskCache(dir, budget, &why);
  EXPECT_TRUE(c) << why;
  return c;
}

// Runs SQL on the cache's database with a connection of its own.
std::string sql(const std::string& dir, const std::string& statement) {
  sqlite3* db = nullptr;
  sqlite3_open((dir + "/" + disk_cache_file_name).c_str(), &db);
  std::string result;
  char* err = nullptr;
  sqlite3_exec(
      db, statement.c_str(),
      [](void* out, int n, char** values, char**) {
        for (int k = 0; k < n; ++k) *static_cast<std::string*>(out) += std::string(values[k] ? values[k] : "") + "\n";
        return 0;
      },
      &result, &err);
  if (err) result += std::string("error: ") + err;
  sqlite3_free(err);
  sqlite3_close(db);
  return result;
}

std::vector<std::string> keysIn(const std::string& dir) {
  std::vector<std::string> keys;
  std::istringstream in(sql(dir, "SELECT key FROM answers"));
  for (std::string line; std::getline(in, line);) keys.push_back(line);
  return keys;
}

uint64_t fileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

// Every entry is whole: SQLite finds the file sound and every answer reads
// back with the bytes the service would give.
void expectSound(const std::string& dir, uint64_t budget) {
  EXPECT_EQ(sql(dir, "PRAGMA integrity_check"), "ok\n");
  disk_cache_ptr_t c = open(dir, budget);
  ASSERT_TRUE(c);
  const std::vector<std::string> keys = keysIn(dir);
  EXPECT_FALSE(keys.empty());
  for (const std::string& k : keys) EXPECT_TRUE(holds(*c, k)) << k;
  EXPECT_EQ(diskCacheCounters(*c).damaged, 0u);
  EXPECT_LE(diskCacheUsedBytes(*c), budget);
}

}  // namespace

// The database file keeps to the budget after every store (the write-ahead
// log beside it within 1 % more), and what goes first is what was used
// least recently: a read counts as a use.
TEST(DiskCache, BudgetAndLeastRecentlyUsedEviction) {
  temp_dir_t dir("cache");
  const uint64_t budget = 1 << 20;
  disk_cache_ptr_t c = open(dir.path, budget);
  ASSERT_TRUE(c);
  int n = 0;
  for (; diskCacheCounters(*c).evictions == 0; ++n) {
    put(*c, "k" + std::to_string(n));
    if (n == 10) {
      ASSERT_TRUE(holds(*c, "k0"));  // k0 is now newer than k1 to k10
    }
    ASSERT_LE(diskCacheUsedBytes(*c), budget);
  }
  EXPECT_GT(n, 40);  // about 12 KB an answer: the budget holds most of its bytes
  EXPECT_TRUE(holds(*c, "k0"));
  EXPECT_FALSE(holds(*c, "k1"));
  for (int k = 0; k < 3 * n; ++k) {
    put(*c, "more" + std::to_string(k));
    ASSERT_LE(diskCacheUsedBytes(*c), budget);
  }
  // The newest answers are all there; the oldest are gone.
  for (int k = 3 * n - n / 2; k < 3 * n; ++k) EXPECT_TRUE(holds(*c, "more" + std::to_string(k))) << k;
  EXPECT_FALSE(holds(*c, "k0"));

  // Too large for the cache (an eighth of the budget): not stored.
  const std::string big(budget / 4, 'b');
  diskCachePut(*c, "big", reinterpret_cast<const uint8_t*>(big.data()), big.size());
  std::vector<uint8_t> out;
  EXPECT_FALSE(diskCacheGet(*c, "big", &out));

  diskCacheFlush(*c);
  const std::string db = dir.path + "/" + disk_cache_file_name;
  EXPECT_LE(fileSize(db) + fileSize(db + "-wal"), budget * 101 / 100);

  // A smaller budget at the next start: evicted down to it, the file shrinks.
  c.reset();
  c = open(dir.path, budget / 2);
  ASSERT_TRUE(c);
  EXPECT_LE(diskCacheUsedBytes(*c), budget / 2);
  EXPECT_LE(fileSize(db), budget / 2 * 101 / 100);
}

// A database that is not one (garbage, or cut short by a crash of the disk)
// is replaced, never a crash; the cache goes on working.
TEST(DiskCache, DamagedDatabaseFileIsReplaced) {
  temp_dir_t dir("cache");
  const std::string db = dir.path + "/" + disk_cache_file_name;
  {
    std::ofstream garbage(db, std::ios::binary);
    garbage << std::string(8192, 'x');
  }
  testing::internal::CaptureStderr();
  disk_cache_ptr_t c = open(dir.path, 1 << 20);
  EXPECT_NE(testing::internal::GetCapturedStderr().find("is damaged"), std::string::npos);
  ASSERT_TRUE(c);
  for (int k = 0; k < 40; ++k) put(*c, "k" + std::to_string(k));
  EXPECT_TRUE(holds(*c, "k39"));
  c.reset();

  // Cut to half: whatever SQLite notices, at start or at a read, ends with
  // a new database at the next start.
  ASSERT_EQ(truncate(db.c_str(), static_cast<off_t>(fileSize(db) / 2)), 0);
  testing::internal::CaptureStderr();
  c = open(dir.path, 1 << 20);
  if (c) {
    for (int k = 0; k < 40; ++k) holds(*c, "k" + std::to_string(k));
  }
  c.reset();
  c = open(dir.path, 1 << 20);
  testing::internal::GetCapturedStderr();
  ASSERT_TRUE(c);
  put(*c, "again");
  EXPECT_TRUE(holds(*c, "again"));
}

// ---------------------------------------------------------------------------
// Other viewers, as processes of their own: this test program started again
// with OSTRAVEL_TEST_CACHE_WRITER="ROLE DIR BUDGET WHO COUNT" does what ROLE
// says before any test runs and exits. A fresh process, not a fork: a fork
// of this multi-threaded program may inherit a lock some other thread held
// (the allocator's, under AddressSanitizer) and wait for it forever.

namespace {

// Stores COUNT answers (forever when negative), some shared with the other
// writers, reading some back as it goes.
int writeAnswers(const std::string& dir, uint64_t budget, int who, int count) {
  std::string why;
  disk_cache_ptr_t c = openDiskCache(dir, budget, &why);
  if (!c) return 3;
  for (int k = 0; k < count || count < 0; ++k) {
    put(*c, "shared" + std::to_string(k % 80));
    put(*c, "own" + std::to_string(who) + "-" + std::to_string(k));
    if (k % 3 == 0) holds(*c, "shared" + std::to_string((k * 7) % 80));
  }
  return 0;
}

// Stores a few answers, then meets a file-size limit (a full disk fails
// writes the same way): storing must turn off, what was stored must still
// be read. Standard error goes to DIR/stderr for the test to count lines.
int fillTheDisk(const std::string& dir, uint64_t budget) {
  const int fd = ::open((dir + "/stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  dup2(fd, 2);
  signal(SIGXFSZ, SIG_IGN);
  std::string why;
  disk_cache_ptr_t c = openDiskCache(dir, budget, &why);
  if (!c) return 3;
  for (int k = 0; k < 5; ++k) put(*c, "before" + std::to_string(k));
  diskCacheFlush(*c);
  const rlimit limit{fileSize(dir + "/" + disk_cache_file_name) + 20000, RLIM_INFINITY};
  setrlimit(RLIMIT_FSIZE, &limit);
  for (int k = 0; k < 200; ++k) put(*c, "after" + std::to_string(k));
  return !diskCacheStoring(*c) && holds(*c, "before3") && !holds(*c, "after199") ? 0 : 4;
}

const int writer_role = [] {
  const char* role = std::getenv("OSTRAVEL_TEST_CACHE_WRITER");
  if (!role) return 0;
  std::istringstream in(role);
  std::string what, dir;
  uint64_t budget = 0;
  int who = 0, count = 0;
  in >> what >> dir >> budget >> who >> count;
  _exit(what == "write" ? writeAnswers(dir, budget, who, count) : fillTheDisk(dir, budget));
}();

pid_t startWriter(const std::string& role) {
  const std::string variable = "OSTRAVEL_TEST_CACHE_WRITER=" + role;
  char* const argv[] = {const_cast<char*>("test_disk_cache"), nullptr};
  char* const envp[] = {const_cast<char*>(variable.c_str()), nullptr};
  pid_t pid = -1;
  if (posix_spawn(&pid, "/proc/self/exe", nullptr, nullptr, argv, envp) != 0) return -1;
  return pid;
}

int exitStatus(pid_t pid) {
  int status = -1;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

// Two viewers share one directory and both store (the same answers among
// them) while evicting; then a writer is killed with SIGKILL at random
// moments. Every entry left is whole.
TEST(DiskCache, SharedDirectorySurvivesConcurrentWritersAndKill) {
  temp_dir_t dir("cache");
  const uint64_t budget = 600 << 10;
  const std::string args = dir.path + " " + std::to_string(budget) + " ";
  open(dir.path, budget).reset();  // the database exists before they race
  const pid_t a = startWriter("write " + args + "1 120");
  const pid_t b = startWriter("write " + args + "2 120");
  EXPECT_EQ(exitStatus(a), 0);
  EXPECT_EQ(exitStatus(b), 0);
  expectSound(dir.path, budget);

  std::mt19937 gen(12);
  for (int round = 0; round < 6; ++round) {
    const pid_t w = startWriter("write " + args + std::to_string(3 + round) + " -1");
    // Long enough for the process to start and store for a while.
    std::this_thread::sleep_for(std::chrono::milliseconds(200 + gen() % 200));
    kill(w, SIGKILL);
    EXPECT_EQ(exitStatus(w), 128 + SIGKILL);
  }
  expectSound(dir.path, budget);
}

// A write that fails for lack of space turns storing off with one line;
// what was stored is still read.
TEST(DiskCache, FullDiskTurnsStoringOffWithOneLine) {
  temp_dir_t dir("cache");
  EXPECT_EQ(exitStatus(startWriter("fill " + dir.path + " " + std::to_string(64 << 20) + " 0 0")), 0);
  std::ifstream err(dir.path + "/stderr");
  std::vector<std::string> lines;
  for (std::string line; std::getline(err, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("disk cache: cannot write"), std::string::npos) << lines[0];
}

// ---------------------------------------------------------------------------
// Through the fetch layer, as the viewer uses it.

namespace {

// One fetch set-up per process (the fetch layer's is fixed at start): online
// with a scripted service and a disk cache, or, in the child of the offline
// test, offline on the parent's cache with the parent's service address.
struct fetch_env_t {
  fetch_fixture_t fixture{"fetch-cache", std::getenv("OSTRAVEL_TEST_OFFLINE_DIR")};
  ScriptServer& server = fixture.server;
  const std::string& dir = fixture.dir.path;
  std::string base_url;
  fetch_env_t() {
    const char* offline_url = std::getenv("OSTRAVEL_TEST_OFFLINE_URL");
    base_url = offline_url ? offline_url : server.url("/rt/earth/");
    setUpFetching({base_url, dir + "/cache", 64 << 20, offline_url != nullptr});
  }
};

fetch_env_t& env() {
  static fetch_env_t e;
  return e;
}
const fetch_env_t& env_at_start = env();

std::string fetched(const char* path, std::string* reason = nullptr) {
  static std::string body, why;
  body = "<failed>";
  fetchData(path, 0, [](int, int error, uint8_t* data, size_t len) {
    if (!error) body.assign(reinterpret_cast<char*>(data), len);
    else why = fetchFailureReason();
  });
  if (reason) *reason = why;
  return body;
}

}  // namespace

// An answer is fetched once and then read from disk; an entry torn (cut
// short) or with a flipped byte is deleted with one line and fetched again;
// an answer the viewer rejected is not served from disk again.
TEST(DiskCacheFetch, DamagedOrRejectedEntriesAreFetchedAgain) {
  ScriptServer& s = env().server;
  const std::string path = "NodeData/pb=!1m2!1s0123!2u7!2e1!4b0";
  const std::string body = answerFor(path);
  s.reply("/rt/earth/" + path, httpReply(200, "OK", body));
  const size_t before = s.requestCount();
  EXPECT_EQ(fetched(path.c_str()), body);
  EXPECT_EQ(fetched(path.c_str()), body);
  EXPECT_EQ(s.requestCount(), before + 1);

  const std::string cache = env().dir + "/cache";
  const std::string damages[] = {
      "UPDATE bodies SET body = substr(body, 1, 100)",                                       // torn
      "UPDATE bodies SET body = substr(body, 1, 99) || x'5a' || substr(body, 101)",            // one byte
      "UPDATE answers SET size = 5000000000",                                                 // a lying length
  };
  for (const std::string& damage : damages) {
    EXPECT_EQ(sql(cache, damage).find("error"), std::string::npos) << damage;
    const size_t n = s.requestCount();
    testing::internal::CaptureStderr();
    EXPECT_EQ(fetched(path.c_str()), body) << damage;
    EXPECT_NE(testing::internal::GetCapturedStderr().find("disk cache: deleted a damaged entry"), std::string::npos)
        << damage;
    EXPECT_EQ(s.requestCount(), n + 1) << damage;
    EXPECT_EQ(fetched(path.c_str()), body);  // stored again, read from disk
    EXPECT_EQ(s.requestCount(), n + 1);
  }

  forgetAnswer(path.c_str());
  const size_t n = s.requestCount();
  EXPECT_EQ(fetched(path.c_str()), body);
  EXPECT_EQ(s.requestCount(), n + 1);

  // The planetoid names the current epoch: online it always comes from the
  // service (and is stored for offline starts).
  s.reply("/rt/earth/PlanetoidMetadata", httpReply(200, "OK", "p"));
  fetched("PlanetoidMetadata");
  fetched("PlanetoidMetadata");
  EXPECT_EQ(s.requestCount(), n + 3);
}

namespace {

// In the child: the planet starts from the disk cache alone.
void startOffline() {
  const bool loaded = tryLoadPlanet();
  bulk_t* root = loaded ? _planetoid->root_bulk : nullptr;
  for (int k = 0; root && k < 10000 && root->dl_state.load() != dl_state_downloaded; ++k)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  std::string why;
  const bool missing_fails = fetched("NodeData/pb=!1m2!1s0!2u4!2e1!4b0", &why) == "<failed>" &&
                             why == "not in the disk cache, and offline";
  std::exit(loaded && root && root->dl_state.load() == dl_state_downloaded && missing_fails ? 0 : 1);
}

}  // namespace

// Offline, from a filled cache: the planetoid and the root bulk come from
// disk, an answer not there fails at once, and no request reaches the
// service (whose address the offline viewer still has).
TEST(DiskCacheFetch, OfflineStartFromAFilledCache) {
  ScriptServer& s = env().server;
  PlanetoidMetadata p;
  p.set_radius(1000.0f);
  p.mutable_root_node_metadata()->set_epoch(4);
  BulkMetadata bulk;
  for (int k = 0; k < 3; ++k) bulk.add_head_node_center(1.0 + k);
  s.reply("/rt/earth/PlanetoidMetadata", httpReply(200, "OK", p.SerializeAsString()));
  s.reply("/rt/earth/BulkMetadata/pb=!1m2!1s!2u4", httpReply(200, "OK", bulk.SerializeAsString()));
  fetched("PlanetoidMetadata");
  fetched("BulkMetadata/pb=!1m2!1s!2u4");

  const size_t n = s.requestCount();
  setenv("OSTRAVEL_TEST_OFFLINE_URL", env().base_url.c_str(), 1);
  setenv("OSTRAVEL_TEST_OFFLINE_DIR", env().dir.c_str(), 1);
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(startOffline(), testing::ExitedWithCode(0), "");
  unsetenv("OSTRAVEL_TEST_OFFLINE_URL");
  unsetenv("OSTRAVEL_TEST_OFFLINE_DIR");
  EXPECT_EQ(s.requestCount(), n);
}
