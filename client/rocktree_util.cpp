#include "rocktree_util.h"

#include <climits>
#include <cstdio>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "rocktree_ex.h"
#include "rocktree_http.h"

const Texture_Format supported[2] = {Texture_Format_CRN_DXT1, Texture_Format_JPG};

BulkMetadataRequest createBulkMetadataRequest(const std::string& base_path, const std::string& path,
                                              int epoch) {
  BulkMetadataRequest req;
  req.mutable_node_key()->set_path(base_path + path);
  req.mutable_node_key()->set_epoch(epoch);
  return req;
}

NodeDataRequest createNodeDataRequest(const std::string& base_path, const BulkMetadata& bulk,
                                      const NodeMetadata& node_meta) {
  NodeDataRequest req;
  node_data_path_and_flags_t aux = unpackPathAndFlags(node_meta);
  requireData(!(aux.flags & NodeMetadata_Flags_NODATA), "!(aux.flags & NodeMetadata_Flags_NODATA)");

  uint32_t available = node_meta.has_available_texture_formats()
                           ? node_meta.available_texture_formats()
                           : bulk.default_available_texture_formats();
  Texture_Format format = Texture_Format_CRN_DXT1;
  for (Texture_Format f : supported) {
    if (available & (1u << (f - 1))) {
      format = f;
      break;
    }
  }
  req.set_texture_format(format);

  if (aux.flags & NodeMetadata_Flags_USE_IMAGERY_EPOCH) {
    req.set_imagery_epoch(node_meta.has_imagery_epoch() ? node_meta.imagery_epoch()
                                                        : bulk.default_imagery_epoch());
  }

  req.mutable_node_key()->set_path(base_path + aux.path);
  requireData(bulk.has_head_node_key() && bulk.head_node_key().has_epoch(),
              "bulk.has_head_node_key() && bulk.head_node_key().has_epoch()");
  req.mutable_node_key()->set_epoch(node_meta.has_epoch() ? node_meta.epoch()
                                                          : bulk.head_node_key().epoch());
  return req;
}

// ---------------------------------------------------------------------------
// Asynchronous retrieval.

// pool is defined first so that it is constructed before webpool and
// destroyed after it: downloads still queued at exit drain first and may
// still hand their decode tasks to pool.
ThreadPool pool(4);
ThreadPool webpool(8);

namespace {

// Request paths of bulks and nodes are formatted into a buffer of this size;
// key paths of 30 characters or more are refused before formatting.
constexpr size_t url_buf_size = 200;
constexpr size_t max_key_path_len = 30;

// The pending-request tables, one per kind. Their ids link a fetch's
// completion (a plain function) back to the caller's callback and record.
struct planetoid_table_t {
  int i = 0;
  std::map<int, planetoid_cb_t> map;  // touched only by the thread in getPlanetoid
};

template <class T, class R>
struct async_table_t {
  int i = 0;  // main thread only
  std::map<int, std::pair<std::function<void(std::unique_ptr<T>)>, R*>> map;
  std::mutex m;
};

// The tables are never destroyed: at exit webpool drains its queued
// downloads during static destruction, and those still register in and
// complete through the tables. A function-local static would be destroyed
// before the pools (it is constructed after them).
planetoid_table_t& planetoidTable() {
  static auto* t = new planetoid_table_t();
  return *t;
}

async_table_t<BulkMetadata, bulk_t>& bulkTable() {
  static auto* t = new async_table_t<BulkMetadata, bulk_t>();
  return *t;
}

async_table_t<NodeData, node_t>& nodeTable() {
  static auto* t = new async_table_t<NodeData, node_t>();
  return *t;
}

void planetoidThunk(int i, int error, uint8_t* data, size_t len) {
  planetoid_table_t& t = planetoidTable();
  planetoid_cb_t cb = t.map[i];
  if (error) {
    std::fprintf(stderr, "could not load planetoid\n");
    cb(nullptr);
  } else {
    auto meta = std::make_unique<PlanetoidMetadata>();
    if (len <= static_cast<size_t>(INT_MAX) && meta->ParseFromArray(data, static_cast<int>(len)))
      cb(std::move(meta));
    else
      cb(nullptr);
  }
  t.map.erase(i);
}

bool populate(bulk_t* b, std::unique_ptr<BulkMetadata> m) { return populateBulk(b, std::move(m)); }
bool populate(node_t* n, std::unique_ptr<NodeData> m) { return populateNode(n, std::move(m)); }

// Decode task, on a pool worker. Population marks a rejected message failed
// itself; a response that does not even parse is marked failed here.
template <class T, class R>
void decodeTask(R* target, std::function<void(std::unique_ptr<T>)> cb, std::vector<uint8_t> bytes) {
  auto message = std::make_unique<T>();
  if (bytes.size() > static_cast<size_t>(INT_MAX) ||
      !message->ParseFromArray(bytes.data(), static_cast<int>(bytes.size()))) {
    std::printf("download failed\n");
    std::fflush(stdout);
    markRetrievalFailed(target);
    cb(nullptr);
    return;
  }
  populate(target, std::move(message));
  cb(nullptr);
}

// Completion of a bulk or node fetch, on the webpool worker inside fetchData.
template <class T, class R>
void asyncThunk(async_table_t<T, R>& t, int i, int error, uint8_t* data, size_t len) {
  std::function<void(std::unique_ptr<T>)> cb;
  R* target;
  {
    std::lock_guard<std::mutex> lock(t.m);
    auto it = t.map.find(i);
    if (it == t.map.end()) return;  // cannot happen: the download task registers first
    cb = std::move(it->second.first);
    target = it->second.second;
    t.map.erase(it);
  }
  if (error) {
    // One call: the stream lock keeps the two lines together among workers.
    std::fprintf(stderr, "could not load node\n  \"%s\": %s\n", recordPath(target).c_str(),
                 fetchFailureReason());
    // The record goes back to stub with its back-off armed, so the walk asks
    // again later and its parent's busy_ctr no longer holds the bulk alive.
    markRetrievalFailed(target);
    cb(nullptr);
    return;
  }
  std::vector<uint8_t> bytes(data, data + len);
  try {
    pool.enqueue(decodeTask<T, R>, target, cb, std::move(bytes));
  } catch (const std::runtime_error&) {
    // Only while the process is shutting down; the record must not stay in flight.
    markRetrievalFailed(target);
    cb(nullptr);
  }
}

void bulkThunk(int i, int error, uint8_t* data, size_t len) { asyncThunk(bulkTable(), i, error, data, len); }
void nodeThunk(int i, int error, uint8_t* data, size_t len) { asyncThunk(nodeTable(), i, error, data, len); }

template <class T, class R>
void downloadTask(async_table_t<T, R>& t, char* url_buf, int id, fetch_thunk_t thunk,
                  std::function<void(std::unique_ptr<T>)> cb, R* target) {
  {
    std::lock_guard<std::mutex> lock(t.m);
    t.map[id] = std::make_pair(std::move(cb), target);
  }
  fetchData(url_buf, id, thunk);
  delete[] url_buf;
}

// Everything that getBulk and getNode share once the request path is known.
template <class T, class R>
void startRetrieval(async_table_t<T, R>& t, fetch_thunk_t thunk, const std::string& path,
                    const std::function<int(char*)>& format, R* target,
                    std::function<void(std::unique_ptr<T>)> cb) {
  // Only service data can produce a bad key; refuse it rather than format
  // it. A key path is a string of octant digits: anything else would end up
  // verbatim in the request line.
  const char* check = nullptr;
  if (path.size() >= max_key_path_len)
    check = "strlen(path) < 30";
  else if (path.find_first_not_of("01234567") != std::string::npos)
    check = "path holds only the octant digits 0 to 7";
  if (check) {
    std::fprintf(stderr, "rejected request \"%.64s\": %s\n", path.c_str(), check);
    markRetrievalFailed(target);
    cb(nullptr);
    return;
  }
  char* url_buf = new char[url_buf_size];
  int n = format(url_buf);
  if (n < 0 || static_cast<size_t>(n) >= url_buf_size) {
    std::fprintf(stderr, "rejected request \"%.64s\": request path fits 200 bytes\n", path.c_str());
    delete[] url_buf;
    markRetrievalFailed(target);
    cb(nullptr);
    return;
  }
  int id = ++t.i;
  try {
    webpool.enqueue(downloadTask<T, R>, std::ref(t), url_buf, id, thunk, cb, target);
  } catch (const std::runtime_error&) {
    // Only once the pools are shutting down.
    delete[] url_buf;
    markRetrievalFailed(target);
    cb(nullptr);
  }
}

}  // namespace

void getPlanetoid(planetoid_cb_t cb) {
  planetoid_table_t& t = planetoidTable();
  int id = ++t.i;
  t.map[id] = std::move(cb);
  fetchData("PlanetoidMetadata", id, planetoidThunk);
}

void getBulk(BulkMetadataRequest req, bulk_t* b, bulk_cb_t cb) {
  const std::string& path = req.node_key().path();
  const int epoch = static_cast<int>(req.node_key().epoch());
  startRetrieval(bulkTable(), bulkThunk, path,
                 [&](char* buf) {
                   return std::snprintf(buf, url_buf_size, "BulkMetadata/pb=!1m2!1s%s!2u%d",
                                        path.c_str(), epoch);
                 },
                 b, std::move(cb));
}

void getNode(NodeDataRequest req, node_t* n, node_cb_t cb) {
  const std::string& path = req.node_key().path();
  const int epoch = static_cast<int>(req.node_key().epoch());
  const int format = static_cast<int>(req.texture_format());
  startRetrieval(nodeTable(), nodeThunk, path,
                 [&](char* buf) {
                   if (req.has_imagery_epoch())
                     return std::snprintf(buf, url_buf_size, "NodeData/pb=!1m2!1s%s!2u%d!2e%d!3u%d!4b0",
                                          path.c_str(), epoch, format,
                                          static_cast<int>(req.imagery_epoch()));
                   return std::snprintf(buf, url_buf_size, "NodeData/pb=!1m2!1s%s!2u%d!2e%d!4b0",
                                        path.c_str(), epoch, format);
                 },
                 n, std::move(cb));
}

void latLonToOctant(double lat, double lon, char* octant) {
  struct llbounds_t {
    double n, s, w, e;
  };
  // The first two digits: hemisphere and quarter of longitude.
  static const char first[2][4][2] = {
      {{'0', '2'}, {'0', '3'}, {'1', '2'}, {'1', '3'}},  // south
      {{'2', '0'}, {'2', '1'}, {'3', '0'}, {'3', '1'}},  // north
  };
  const int north = lat >= 0.0 ? 1 : 0;
  const int quarter = lon < -90.0 ? 0 : lon < 0.0 ? 1 : lon < 90.0 ? 2 : 3;
  octant[0] = first[north][quarter][0];
  octant[1] = first[north][quarter][1];
  llbounds_t box{north ? 90.0 : 0.0, north ? 0.0 : -90.0, -180.0 + 90.0 * quarter,
                 -90.0 + 90.0 * quarter};

  for (int k = 2; k < MAX_LEVEL; ++k) {
    const double mid_lat = (box.n + box.s) * 0.5;
    const double mid_lon = (box.w + box.e) * 0.5;
    octant[k] = static_cast<char>('0' + (lat >= mid_lat ? 2 : 0) + (lon >= mid_lon ? 1 : 0));
    if (lat < mid_lat)
      box.n = mid_lat;
    else
      box.s = mid_lat;
    if (lon < mid_lon)
      box.e = mid_lon;
    else
      box.w = mid_lon;
  }
  octant[MAX_LEVEL] = '\0';
}
