// The disk cache of service answers: one SQLite database in the cache
// directory, keyed by the full request URL, with a byte budget and
// least-recently-used eviction.
//
// Why SQLite and not a file per answer: the budget and the use order are
// state that every viewer sharing the directory must agree on. In one
// database a store, the evictions it forces and the use order it records are
// one transaction, so two viewers never count the same bytes twice, and a
// kill -9 at any moment rolls back to the last whole state. Files renamed
// into place would keep each entry whole, but the index and the byte count
// beside them would need a lock and a journal of their own.
//
// Everything read back is untrusted (another program, a torn disk or a user
// may have changed the file): each entry carries its length and a CRC-32,
// checked on every read; a bad entry is deleted and reported as a miss, so
// that the caller fetches it again. A database that SQLite finds damaged is
// removed and the cache is off for the rest of the run (the next start makes
// a new one). A write that fails for lack of space turns storing off with
// one line, never the viewer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Counters of one cache, read by the exit line, tests and benchmarks.
struct disk_cache_counters_t {
  uint64_t hits;          // answers read back whole
  uint64_t misses;        // keys not there, damaged entries included
  uint64_t damaged;       // entries deleted because their length or checksum disagreed
  uint64_t stores;        // answers written
  uint64_t evictions;     // entries removed to keep to the budget
  uint64_t skipped;       // answers not written: too large, storing off, or the database busy
  uint64_t bytes_read;    // payload bytes of the hits
  uint64_t bytes_stored;  // payload bytes of the stores
};

struct disk_cache_t;  // connections, the budget, the pending use order
struct disk_cache_closer_t {
  void operator()(disk_cache_t* cache) const;  // flushes the use order, closes
};
using disk_cache_ptr_t = std::unique_ptr<disk_cache_t, disk_cache_closer_t>;

// Opens the cache database in dir (creating dir and the database when
// needed) with budget_bytes for the database file and its write-ahead log
// together (the log is cut back after the store that takes it past its
// share, so the two exceed the budget by at most one answer's pages for a
// moment); a database of an older
// layout or one SQLite cannot read is replaced. Null, with the reason in
// *why, when the cache cannot be used at all.
disk_cache_ptr_t openDiskCache(const std::string& dir, uint64_t budget_bytes, std::string* why);

// The answer stored under key, checked; false on a miss or a damaged entry
// (which is deleted, with one line on standard error). Any thread.
bool diskCacheGet(disk_cache_t& cache, const std::string& key, std::vector<uint8_t>* out);
// Stores an answer (a key already there is kept as it is) after evicting the
// least recently used entries that it would take the database over budget.
// Any thread; never fails loudly, see the counters.
void diskCachePut(disk_cache_t& cache, const std::string& key, const uint8_t* data, size_t len);
// Deletes the entry, if any: the viewer rejected its answer.
void diskCacheForget(disk_cache_t& cache, const std::string& key);
// Writes down the use order of the reads since the last write (reads are
// noted in memory and written with the next store or after a batch).
void diskCacheFlush(disk_cache_t& cache);

disk_cache_counters_t diskCacheCounters(const disk_cache_t& cache);
// Bytes of the database's pages in use: what eviction keeps to the budget
// less the log's share.
uint64_t diskCacheUsedBytes(disk_cache_t& cache);
const std::string& diskCachePath(const disk_cache_t& cache);
// False once a write failed for lack of space, or the database was damaged.
bool diskCacheStoring(const disk_cache_t& cache);

// The database's file name inside the cache directory.
extern const char disk_cache_file_name[];
