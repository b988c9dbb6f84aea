#include "http/response_cache.h"

ResponseCache::body_t ResponseCache::find(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = index_.find(key);
  if (it == index_.end()) return nullptr;
  lru_.splice(lru_.begin(), lru_, it->second);
  return it->second->body;
}

void ResponseCache::insert(const std::string& key, body_t body) {
  if (!body) return;
  std::lock_guard<std::mutex> lock(mutex_);
  if (auto it = index_.find(key); it != index_.end()) {
    size_ -= cost(*it->second);
    lru_.erase(it->second);
    index_.erase(it);
  }
  entry_t e{key, std::move(body)};
  if (cost(e) > capacity_) return;
  size_ += cost(e);
  lru_.push_front(std::move(e));
  index_[key] = lru_.begin();
  while (size_ > capacity_) {
    entry_t& last = lru_.back();
    size_ -= cost(last);
    index_.erase(last.key);
    lru_.pop_back();
  }
}

size_t ResponseCache::sizeBytes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return size_;
}

size_t ResponseCache::entries() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return index_.size();
}
