// Bounded LRU of encoded responses, shared by the server's threads. Bodies
// are handed out as shared immutable strings, so eviction never pulls bytes
// from under a response being written.
#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

class ResponseCache {
 public:
  using body_t = std::shared_ptr<const std::string>;

  explicit ResponseCache(size_t capacity_bytes) : capacity_(capacity_bytes) {}

  // The cached body, marked most recently used; null when absent.
  body_t find(const std::string& key);
  // Inserts (or replaces) and evicts the least recently used entries until
  // the total fits the capacity. A body larger than the capacity is not kept.
  void insert(const std::string& key, body_t body);

  size_t sizeBytes() const;
  size_t entries() const;

 private:
  struct entry_t {
    std::string key;
    body_t body;
  };
  static size_t cost(const entry_t& e) { return e.key.size() + e.body->size() + 128; }

  mutable std::mutex mutex_;
  size_t capacity_;
  size_t size_ = 0;
  std::list<entry_t> lru_;  // front = most recent
  std::unordered_map<std::string, std::list<entry_t>::iterator> index_;
};
