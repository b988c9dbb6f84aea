#include "net/disk_cache.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include "viewer_settings.h"

const char disk_cache_file_name[] = "answers.sqlite3";

namespace {

// Bumped when the tables change: a database of another layout is replaced.
constexpr int schema_version = 1;

// The answers' index (small rows, so that recording a use does not rewrite
// the body) and their bodies under the same id.
constexpr char schema_sql[] =
    "CREATE TABLE IF NOT EXISTS answers(id INTEGER PRIMARY KEY, key TEXT NOT NULL UNIQUE,"
    " size INTEGER NOT NULL, crc INTEGER NOT NULL, last_used INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS answers_by_use ON answers(last_used);"
    "CREATE TABLE IF NOT EXISTS bodies(id INTEGER PRIMARY KEY, body BLOB NOT NULL);";

enum statement_t {
  st_find,
  st_clock,
  st_touch,
  st_insert_answer,
  st_insert_body,
  st_oldest,
  st_delete_answer,
  st_delete_body,
  st_page_count,
  st_freelist_count,
  st_begin_read,
  st_begin_write,
  st_commit,
  st_rollback,
  st_count
};

constexpr const char* statement_sql[st_count] = {
    "SELECT id, size, crc FROM answers WHERE key = ?1",
    "SELECT coalesce(max(last_used), 0) FROM answers",
    "UPDATE answers SET last_used = ?1 WHERE id = ?2",
    "INSERT INTO answers(key, size, crc, last_used) VALUES(?1, ?2, ?3, ?4)",
    "INSERT INTO bodies(id, body) VALUES(?1, ?2)",
    "SELECT id FROM answers ORDER BY last_used LIMIT 1",
    "DELETE FROM answers WHERE id = ?1",
    "DELETE FROM bodies WHERE id = ?1",
    "PRAGMA page_count",
    "PRAGMA freelist_count",
    "BEGIN",
    "BEGIN IMMEDIATE",
    "COMMIT",
    "ROLLBACK",
};

struct connection_t {
  sqlite3* db = nullptr;
  sqlite3_stmt* st[st_count] = {};
  ~connection_t() {
    for (sqlite3_stmt* s : st) sqlite3_finalize(s);
    sqlite3_close(db);
  }
};

bool isDamage(int rc) {
  rc &= 0xff;
  return rc == SQLITE_CORRUPT || rc == SQLITE_NOTADB;
}

bool isNoSpace(int rc) {
  rc &= 0xff;
  return rc == SQLITE_FULL || rc == SQLITE_IOERR || rc == SQLITE_CANTOPEN || rc == SQLITE_READONLY;
}

uint32_t checksum(const uint8_t* data, size_t len) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (len > 0) {
    const uInt n = static_cast<uInt>(std::min<size_t>(len, 1u << 30));
    crc = crc32(crc, data, n);
    data += n;
    len -= n;
  }
  return static_cast<uint32_t>(crc);
}

void removeDatabaseFiles(const std::string& path) {
  for (const char* suffix : {"", "-wal", "-shm", "-journal"}) unlink((path + suffix).c_str());
}

}  // namespace

struct disk_cache_t {
  std::string dir;
  std::string path;
  uint64_t budget_bytes = 0;     // the database file and its write-ahead log together
  uint64_t database_bytes = 0;   // the budget less the log's share: what eviction keeps to
  uint64_t page_size = 4096;
  // The largest answer stored: one answer must not push out a large share of
  // the others, and nothing larger than a response may come back.
  uint64_t max_entry_bytes = 0;
  int log_limit_pages = 16;  // of the write-ahead log, see checkpointWhenLong

  std::mutex mutex;  // guards idle and touched
  std::vector<std::unique_ptr<connection_t>> idle;
  std::vector<int64_t> touched;  // ids read since the last write, oldest first

  std::atomic<bool> reading{true};  // off once the database was found damaged
  std::atomic<bool> storing{true};  // off after a failed write or damage
  std::atomic<bool> said_busy{false};

  std::atomic<uint64_t> hits{0}, misses{0}, damaged{0}, stores{0}, evictions{0}, skipped{0};
  std::atomic<uint64_t> bytes_read{0}, bytes_stored{0};
};

namespace {

// Runs a prepared statement to its end; the SQLite result code.
int run(sqlite3_stmt* s) {
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
  }
  sqlite3_reset(s);
  return rc == SQLITE_DONE ? SQLITE_OK : rc;
}

int64_t single(sqlite3_stmt* s, int* rc) {
  int64_t v = 0;
  *rc = sqlite3_step(s);
  if (*rc == SQLITE_ROW) {
    v = sqlite3_column_int64(s, 0);
    *rc = SQLITE_OK;
  }
  sqlite3_reset(s);
  return v;
}

// After each commit: once the write-ahead log holds more than its share of
// the budget, copy it into the database and cut it to nothing. SQLite's own
// automatic checkpoint never cuts the log while other connections keep
// reading, and with eight download threads there always is one.
int checkpointWhenLong(void* limit_pages, sqlite3* db, const char* name, int pages) {
  if (pages > *static_cast<int*>(limit_pages))
    sqlite3_wal_checkpoint_v2(db, name, SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
  return SQLITE_OK;
}

std::unique_ptr<connection_t> openConnection(disk_cache_t& cache, int* rc) {
  auto c = std::make_unique<connection_t>();
  *rc = sqlite3_open_v2(cache.path.c_str(), &c->db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (*rc != SQLITE_OK) return nullptr;
  sqlite3_busy_timeout(c->db, disk_cache_busy_ms);
  const std::string pragmas = "PRAGMA synchronous = NORMAL; PRAGMA cache_size = -" +
                              std::to_string(disk_cache_page_cache_kib) + ";";
  *rc = sqlite3_exec(c->db, pragmas.c_str(), nullptr, nullptr, nullptr);
  if (*rc != SQLITE_OK) return nullptr;
  sqlite3_wal_hook(c->db, checkpointWhenLong, &cache.log_limit_pages);
  for (int k = 0; k < st_count; ++k) {
    *rc = sqlite3_prepare_v3(c->db, statement_sql[k], -1, SQLITE_PREPARE_PERSISTENT, &c->st[k], nullptr);
    if (*rc != SQLITE_OK) return nullptr;
  }
  return c;
}

// The first connection sets the database up: write-ahead logging (readers
// never wait for a writer), page reuse that can give space back, and the
// tables at the current layout.
int setUp(disk_cache_t& cache, sqlite3* db) {
  int rc = sqlite3_exec(db, "PRAGMA auto_vacuum = INCREMENTAL; PRAGMA journal_mode = WAL;", nullptr, nullptr,
                        nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
  if (rc != SQLITE_OK) return rc;
  sqlite3_stmt* s = nullptr;
  int version = 0;
  rc = sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &s, nullptr);
  if (rc == SQLITE_OK) version = static_cast<int>(single(s, &rc));
  sqlite3_finalize(s);
  if (rc == SQLITE_OK && version != schema_version) {
    rc = sqlite3_exec(db, "DROP TABLE IF EXISTS answers; DROP TABLE IF EXISTS bodies;", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
      rc = sqlite3_exec(db, ("PRAGMA user_version = " + std::to_string(schema_version)).c_str(), nullptr,
                        nullptr, nullptr);
  }
  if (rc == SQLITE_OK) rc = sqlite3_exec(db, schema_sql, nullptr, nullptr, nullptr);
  if (rc == SQLITE_OK && sqlite3_prepare_v2(db, "PRAGMA page_size", -1, &s, nullptr) == SQLITE_OK) {
    cache.page_size = static_cast<uint64_t>(single(s, &rc));
    sqlite3_finalize(s);
  }
  if (rc != SQLITE_OK || cache.page_size == 0) {
    sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return rc != SQLITE_OK ? rc : SQLITE_CORRUPT;
  }
  return sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
}

std::unique_ptr<connection_t> take(disk_cache_t& cache) {
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    if (!cache.idle.empty()) {
      auto c = std::move(cache.idle.back());
      cache.idle.pop_back();
      return c;
    }
  }
  int rc = SQLITE_OK;
  return openConnection(cache, &rc);
}

void give(disk_cache_t& cache, std::unique_ptr<connection_t> c) {
  if (!c) return;
  std::lock_guard<std::mutex> lock(cache.mutex);
  cache.idle.push_back(std::move(c));
}

// The database is damaged: say so once, remove it so that the next start
// makes a new one (viewers that still have it open keep their own handles),
// and stop using it.
void noteDamage(disk_cache_t& cache, int rc) {
  if (!cache.reading.exchange(false)) return;
  cache.storing.store(false);
  std::fprintf(stderr, "disk cache: %s is damaged (%s); the cache is off until the next start, which makes a new one\n",
               cache.path.c_str(), sqlite3_errstr(rc));
  removeDatabaseFiles(cache.path);
}

void noteWriteFailure(disk_cache_t& cache, int rc) {
  if (isDamage(rc)) return noteDamage(cache, rc);
  if (rc == SQLITE_TOOBIG) {
    ++cache.skipped;
    return;
  }
  if ((rc & 0xff) == SQLITE_BUSY || (rc & 0xff) == SQLITE_LOCKED) {
    ++cache.skipped;
    if (!cache.said_busy.exchange(true))
      std::fprintf(stderr, "disk cache: %s stayed locked by another program for %d ms; answers it could not take are not kept\n",
                   cache.path.c_str(), disk_cache_busy_ms);
    return;
  }
  if (!cache.storing.exchange(false))
    return;
  std::fprintf(stderr, "disk cache: cannot write to %s (%s%s); storing is off, answers already there are still used\n",
               cache.path.c_str(), sqlite3_errstr(rc), isNoSpace(rc) ? ", is the disk full?" : "");
}

// Inside a write transaction: the reads noted since the last write get the
// next positions of the use order.
int writeTouches(disk_cache_t& cache, connection_t& c, int64_t* clock) {
  std::vector<int64_t> ids;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    ids.swap(cache.touched);
  }
  int rc = SQLITE_OK;
  for (int64_t id : ids) {
    sqlite3_bind_int64(c.st[st_touch], 1, ++*clock);
    sqlite3_bind_int64(c.st[st_touch], 2, id);
    if ((rc = run(c.st[st_touch])) != SQLITE_OK) break;
  }
  return rc;
}

uint64_t usedBytes(disk_cache_t& cache, connection_t& c, int* rc) {
  const int64_t pages = single(c.st[st_page_count], rc);
  if (*rc != SQLITE_OK) return 0;
  const int64_t free_pages = single(c.st[st_freelist_count], rc);
  if (*rc != SQLITE_OK) return 0;
  return static_cast<uint64_t>(std::max<int64_t>(pages - free_pages, 0)) * cache.page_size;
}

int deleteEntry(connection_t& c, int64_t id) {
  for (statement_t s : {st_delete_answer, st_delete_body}) {
    sqlite3_bind_int64(c.st[s], 1, id);
    if (int rc = run(c.st[s]); rc != SQLITE_OK) return rc;
  }
  return SQLITE_OK;
}

// Inside a write transaction: removes the least recently used entries, one
// at a time, until the pages in use plus `room` fit the budget, or nothing
// is left.
int evictFor(disk_cache_t& cache, connection_t& c, uint64_t room) {
  int rc = SQLITE_OK;
  for (;;) {
    const uint64_t used = usedBytes(cache, c, &rc);
    if (rc != SQLITE_OK || used + room <= cache.database_bytes) return rc;
    std::vector<int64_t> oldest;
    while ((rc = sqlite3_step(c.st[st_oldest])) == SQLITE_ROW) oldest.push_back(sqlite3_column_int64(c.st[st_oldest], 0));
    sqlite3_reset(c.st[st_oldest]);
    if (rc != SQLITE_DONE) return rc;
    if (oldest.empty()) return SQLITE_TOOBIG;  // the budget cannot hold even this one
    for (int64_t id : oldest) {
      if ((rc = deleteEntry(c, id)) != SQLITE_OK) return rc;
      ++cache.evictions;
    }
  }
}

// Pages an answer of len bytes under key takes: the body in overflow pages
// of page_size - 4 bytes, the index row and its key beside it.
uint64_t roomFor(const disk_cache_t& cache, size_t key_len, size_t len) {
  const uint64_t payload = cache.page_size - 4;
  const uint64_t pages = (len + payload - 1) / payload + 1 + (2 * key_len + 64) / payload;
  return pages * cache.page_size;
}

// Runs fn inside a write transaction on a connection of the cache; failures
// are noted (one line for the first of each kind).
template <class F>
void writeTransaction(disk_cache_t& cache, F&& fn) {
  std::unique_ptr<connection_t> c = take(cache);
  if (!c) {
    noteWriteFailure(cache, SQLITE_CANTOPEN);
    return;
  }
  int rc = run(c->st[st_begin_write]);
  if (rc == SQLITE_OK) {
    int64_t clock = single(c->st[st_clock], &rc);
    if (rc == SQLITE_OK) rc = writeTouches(cache, *c, &clock);
    if (rc == SQLITE_OK) rc = fn(*c, clock);
    if (rc == SQLITE_OK) rc = run(c->st[st_commit]);
    if (rc != SQLITE_OK) run(c->st[st_rollback]);
  }
  if (rc != SQLITE_OK) noteWriteFailure(cache, rc);
  give(cache, std::move(c));
}

// Reads and checks one body; what is wrong with it, or null.
const char* readBody(const disk_cache_t& cache, sqlite3_blob* blob, int64_t size, int64_t crc,
                     std::vector<uint8_t>* out, int* rc) {
  if (size < 0 || static_cast<uint64_t>(size) > cache.max_entry_bytes) return "its recorded length is out of bounds";
  if (sqlite3_blob_bytes(blob) != size) return "its length differs from the recorded one";
  out->resize(static_cast<size_t>(size));
  *rc = sqlite3_blob_read(blob, out->data(), static_cast<int>(size), 0);
  if (*rc == SQLITE_OK && checksum(out->data(), out->size()) != static_cast<uint32_t>(crc))
    return "its checksum differs";
  return nullptr;
}

}  // namespace

void disk_cache_closer_t::operator()(disk_cache_t* cache) const {
  if (!cache) return;
  diskCacheFlush(*cache);
  delete cache;
}

disk_cache_ptr_t openDiskCache(const std::string& dir, uint64_t budget_bytes, std::string* why) {
  if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
    *why = "cannot create " + dir + ": " + std::strerror(errno);
    return nullptr;
  }
  disk_cache_ptr_t cache(new disk_cache_t());
  cache->dir = dir;
  cache->path = dir + (dir.empty() || dir.back() == '/' ? "" : "/") + disk_cache_file_name;
  cache->budget_bytes = budget_bytes;
  cache->max_entry_bytes = std::min<uint64_t>(budget_bytes / 8, http_response_limit);
  // The write-ahead log's share: a checkpoint (two fsyncs) per megabyte of
  // answers at least, and never more than a quarter of a small budget.
  const uint64_t log_bytes = std::min<uint64_t>(
      std::max<uint64_t>(static_cast<uint64_t>(static_cast<double>(budget_bytes) * disk_cache_log_share),
                         disk_cache_log_min_bytes),
      budget_bytes / 4);
  cache->database_bytes = budget_bytes - log_bytes;

  // A file that SQLite cannot read is replaced once. The tables exist
  // before any connection prepares its statements.
  for (int attempt = 0;; ++attempt) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(cache->path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc == SQLITE_OK) {
      sqlite3_busy_timeout(db, disk_cache_busy_ms);
      rc = setUp(*cache, db);
    }
    sqlite3_close(db);
    std::unique_ptr<connection_t> c;
    if (rc == SQLITE_OK) c = openConnection(*cache, &rc);
    if (rc == SQLITE_OK) {
      give(*cache, std::move(c));
      break;
    }
    c.reset();
    if (!isDamage(rc) || attempt > 0) {
      *why = "cannot use " + cache->path + ": " + sqlite3_errstr(rc);
      return nullptr;
    }
    std::fprintf(stderr, "disk cache: %s is damaged (%s); starting a new one\n", cache->path.c_str(),
                 sqlite3_errstr(rc));
    removeDatabaseFiles(cache->path);
  }

  cache->log_limit_pages = static_cast<int>(std::min<uint64_t>(log_bytes / cache->page_size, 1u << 30));

  // A smaller budget than last time: evict down to it, then give the freed
  // pages back to the file system.
  writeTransaction(*cache, [&](connection_t& c, int64_t) { return evictFor(*cache, c, 0); });
  if (std::unique_ptr<connection_t> c = take(*cache)) {
    int rc = SQLITE_OK;
    if (single(c->st[st_page_count], &rc) * static_cast<int64_t>(cache->page_size) >
        static_cast<int64_t>(cache->database_bytes))
      if (sqlite3_exec(c->db, "PRAGMA incremental_vacuum", nullptr, nullptr, nullptr) == SQLITE_OK)
      sqlite3_wal_checkpoint_v2(c->db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    give(*cache, std::move(c));
  }
  if (!cache->reading.load()) {
    *why = "the database was damaged";
    return nullptr;
  }
  return cache;
}

bool diskCacheGet(disk_cache_t& cache, const std::string& key, std::vector<uint8_t>* out) {
  if (!cache.reading.load()) return false;
  std::unique_ptr<connection_t> c = take(cache);
  if (!c) {
    ++cache.misses;
    return false;
  }
  // One read transaction: the index row and its body come from the same
  // state, even while another viewer evicts.
  const char* damage = nullptr;
  int64_t id = 0;
  int rc = run(c->st[st_begin_read]);
  if (rc == SQLITE_OK) {
    sqlite3_stmt* find = c->st[st_find];
    sqlite3_bind_text(find, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    rc = sqlite3_step(find);
    if (rc == SQLITE_ROW) {
      id = sqlite3_column_int64(find, 0);
      const int64_t size = sqlite3_column_int64(find, 1);
      const int64_t crc = sqlite3_column_int64(find, 2);
      sqlite3_blob* blob = nullptr;
      rc = sqlite3_blob_open(c->db, "main", "bodies", "body", id, 0, &blob);
      if (rc == SQLITE_OK) {
        damage = readBody(cache, blob, size, crc, out, &rc);
      } else if (!isDamage(rc)) {
        damage = "its body is missing";
        rc = SQLITE_OK;
      }
      sqlite3_blob_close(blob);
    } else if (rc == SQLITE_DONE) {
      rc = SQLITE_OK;
      id = 0;
    }
    sqlite3_reset(find);
    sqlite3_clear_bindings(find);
    run(c->st[st_commit]);
  }
  give(cache, std::move(c));

  if (isDamage(rc)) noteDamage(cache, rc);
  if (rc != SQLITE_OK || id == 0 || damage) {
    if (damage) {
      ++cache.damaged;
      std::fprintf(stderr, "disk cache: deleted a damaged entry (%s): %s\n", damage, key.c_str());
      writeTransaction(cache, [id](connection_t& w, int64_t) { return deleteEntry(w, id); });
    }
    ++cache.misses;
    out->clear();
    return false;
  }
  ++cache.hits;
  cache.bytes_read += out->size();
  if (!cache.storing.load()) return true;  // the use order can no longer be written
  bool flush = false;
  {
    std::lock_guard<std::mutex> lock(cache.mutex);
    cache.touched.push_back(id);
    flush = cache.touched.size() >= disk_cache_touch_batch;
  }
  if (flush) writeTransaction(cache, [](connection_t&, int64_t) { return SQLITE_OK; });
  return true;
}

void diskCachePut(disk_cache_t& cache, const std::string& key, const uint8_t* data, size_t len) {
  if (!cache.storing.load() || len > cache.max_entry_bytes) {
    ++cache.skipped;
    return;
  }
  const uint32_t crc = checksum(data, len);
  const uint64_t room = roomFor(cache, key.size(), len);
  writeTransaction(cache, [&](connection_t& c, int64_t clock) {
    // The same answer already there (another viewer stored it first) stays;
    // a different one (the planetoid's names a new epoch) is replaced.
    sqlite3_stmt* find = c.st[st_find];
    sqlite3_bind_text(find, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    int rc = sqlite3_step(find);
    const int64_t old_id = rc == SQLITE_ROW ? sqlite3_column_int64(find, 0) : 0;
    const bool same = rc == SQLITE_ROW && sqlite3_column_int64(find, 1) == static_cast<int64_t>(len) &&
                      sqlite3_column_int64(find, 2) == crc;
    sqlite3_reset(find);
    sqlite3_clear_bindings(find);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
    if (same) return SQLITE_OK;
    if (old_id && (rc = deleteEntry(c, old_id)) != SQLITE_OK) return rc;
    if ((rc = evictFor(cache, c, room)) != SQLITE_OK) return rc;

    sqlite3_stmt* ins = c.st[st_insert_answer];
    sqlite3_bind_text(ins, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    sqlite3_bind_int64(ins, 2, static_cast<int64_t>(len));
    sqlite3_bind_int64(ins, 3, crc);
    sqlite3_bind_int64(ins, 4, clock + 1);
    rc = run(ins);
    sqlite3_clear_bindings(ins);
    if (rc != SQLITE_OK) return rc;
    sqlite3_stmt* body = c.st[st_insert_body];
    sqlite3_bind_int64(body, 1, sqlite3_last_insert_rowid(c.db));
    sqlite3_bind_blob64(body, 2, data, len, SQLITE_STATIC);
    rc = run(body);
    sqlite3_clear_bindings(body);
    if (rc != SQLITE_OK) return rc;
    // The estimate of the room was short (a split index page): evict again,
    // the new entry last of all as it is the most recently used.
    if ((rc = evictFor(cache, c, 0)) != SQLITE_OK) return rc;
    ++cache.stores;
    cache.bytes_stored += len;
    return SQLITE_OK;
  });
}

void diskCacheForget(disk_cache_t& cache, const std::string& key) {
  if (!cache.storing.load()) return;
  writeTransaction(cache, [&](connection_t& c, int64_t) {
    sqlite3_stmt* find = c.st[st_find];
    sqlite3_bind_text(find, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    int rc = sqlite3_step(find);
    const int64_t id = rc == SQLITE_ROW ? sqlite3_column_int64(find, 0) : 0;
    sqlite3_reset(find);
    sqlite3_clear_bindings(find);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) return rc;
    return id ? deleteEntry(c, id) : SQLITE_OK;
  });
}

void diskCacheFlush(disk_cache_t& cache) {
  if (!cache.storing.load()) return;
  writeTransaction(cache, [](connection_t&, int64_t) { return SQLITE_OK; });
  if (std::unique_ptr<connection_t> c = take(cache)) {
    sqlite3_wal_checkpoint_v2(c->db, "main", SQLITE_CHECKPOINT_TRUNCATE, nullptr, nullptr);
    give(cache, std::move(c));
  }
}

disk_cache_counters_t diskCacheCounters(const disk_cache_t& cache) {
  return {cache.hits.load(),   cache.misses.load(),  cache.damaged.load(),    cache.stores.load(),
          cache.evictions.load(), cache.skipped.load(), cache.bytes_read.load(), cache.bytes_stored.load()};
}

uint64_t diskCacheUsedBytes(disk_cache_t& cache) {
  std::unique_ptr<connection_t> c = take(cache);
  if (!c) return 0;
  int rc = SQLITE_OK;
  const uint64_t used = usedBytes(cache, *c, &rc);
  give(cache, std::move(c));
  return used;
}

const std::string& diskCachePath(const disk_cache_t& cache) { return cache.path; }

bool diskCacheStoring(const disk_cache_t& cache) { return cache.storing.load(); }
