#include "export/static_export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <unordered_map>

#include <xxhash.h>

#include "http/request_parser.h"
#include "rocktreed_settings.h"

namespace {

constexpr const char* manifest_name = "rocktreed-export.manifest";

// Texture formats offered, in Texture.Format numbers.
std::vector<uint32_t> offeredFormats(uint32_t bits) {
  std::vector<uint32_t> out;
  for (uint32_t f = 1; f <= 32; ++f)
    if (bits & (1u << (f - 1))) out.push_back(f);
  return out;
}

std::string formatList(uint32_t bits) {
  std::string out;
  for (uint32_t f : offeredFormats(bits)) out += (out.empty() ? "" : ",") + std::to_string(f);
  return out;
}

uint64_t pathKey(const std::string& request_path) {
  return XXH3_64bits(request_path.data(), request_path.size());
}

bool makeDirs(const std::string& path) {
  for (size_t at = 1; at <= path.size(); ++at) {
    if (at < path.size() && path[at] != '/') continue;
    const std::string prefix = path.substr(0, at);
    if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool writeWhole(const std::string& path, const std::string& bytes, std::string* error) {
  const std::string temp = path + ".part";
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) {
    *error = std::string("cannot create: ") + std::strerror(errno);
    return false;
  }
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      *error = std::string("cannot write: ") + std::strerror(errno);
      close(fd);
      unlink(temp.c_str());
      return false;
    }
    done += static_cast<size_t>(n);
  }
  if (close(fd) != 0 || rename(temp.c_str(), path.c_str()) != 0) {
    *error = std::string("cannot finish: ") + std::strerror(errno);
    unlink(temp.c_str());
    return false;
  }
  return true;
}

std::string duration(double seconds) {
  const long s = static_cast<long>(seconds + 0.5);
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

struct file_t {
  uint32_t item;
  uint32_t format;  // Texture.Format for nodes, 0 otherwise
};

struct exporter_t {
  const service_t& s;
  const std::vector<export_item_t>& plan;
  std::string root;  // out_dir/rt/earth/
  std::vector<file_t> files;
  std::unordered_map<uint64_t, uint64_t> recorded;  // path key -> size, from an earlier run
  std::FILE* manifest = nullptr;
  std::mutex manifest_mutex;
  std::FILE* log;
  std::mutex log_mutex;
  std::atomic<uint64_t> next{0}, written{0}, skipped{0}, failed{0}, bytes{0};
  const std::atomic<bool>* stop = nullptr;

  std::string requestPath(const file_t& f) const {
    const export_item_t& it = plan[f.item];
    switch (it.kind) {
      case export_kind_planetoid: return planetoidRequestPath();
      case export_kind_bulk: return bulkRequestPath(it.path, planet_epoch);
      default: return nodeRequestPath(it.path, planet_epoch, f.format);
    }
  }

  void fail(const std::string& request_path, const std::string& why) {
    failed.fetch_add(1);
    std::lock_guard<std::mutex> lock(log_mutex);
    std::fprintf(log, "export: %s: %s\n", request_path.c_str(), why.c_str());
  }

  void work() {
    for (uint64_t i = next.fetch_add(1); i < files.size(); i = next.fetch_add(1)) {
      if (stop && stop->load()) return;  // the files being written are finished; the rest wait
      const std::string rel = requestPath(files[i]);
      const std::string path = root + rel;
      const auto known = recorded.find(pathKey(rel));
      struct stat st;
      if (known != recorded.end() && stat(path.c_str(), &st) == 0 &&
          static_cast<uint64_t>(st.st_size) == known->second) {
        skipped.fetch_add(1);
        bytes.fetch_add(known->second);
        continue;
      }
      const service_response_t r = buildAnswer(s, std::string(request_base) + rel);
      if (r.status != 200) {
        fail(rel, "status " + std::to_string(r.status) + ": " + *r.body);
        continue;
      }
      std::string error;
      if (!writeWhole(path, *r.body, &error)) {
        fail(rel, error);
        continue;
      }
      written.fetch_add(1);
      bytes.fetch_add(r.body->size());
      std::lock_guard<std::mutex> lock(manifest_mutex);
      std::fprintf(manifest, "%zu %s\n", r.body->size(), rel.c_str());
    }
  }

  // The manifest of an earlier run with the same formats; a fresh one
  // otherwise. The header names what the files depend on besides the path.
  bool openManifest(const std::string& path, std::string* error) {
    const std::string header = "rocktreed export manifest 1, epoch " + std::to_string(planet_epoch) +
                               ", texture formats " + formatList(s.texture_formats);
    std::ifstream in(path);
    std::string line;
    bool resume = std::getline(in, line) && line == header;
    bool torn = false;  // the last line has no newline: an interrupted run
    if (resume) {
      while (std::getline(in, line)) {
        torn = in.eof();
        const size_t space = line.find(' ');
        if (space == std::string::npos || space == 0 || space > 12) continue;  // a torn last line
        char* end = nullptr;
        const unsigned long long size = std::strtoull(line.c_str(), &end, 10);
        if (end != line.c_str() + space) continue;
        recorded[pathKey(line.substr(space + 1))] = size;
      }
    } else if (in.is_open()) {
      std::fprintf(log, "export: %s is from another kind of export: every file is built again\n", path.c_str());
    }
    manifest = std::fopen(path.c_str(), resume ? "a" : "w");
    if (!manifest) {
      *error = "cannot write " + path + ": " + std::strerror(errno);
      return false;
    }
    if (!resume) std::fprintf(manifest, "%s\n", header.c_str());
    if (torn) std::fputc('\n', manifest);
    return true;
  }
};

}  // namespace

export_summary_t runExport(const service_t& s, const std::vector<export_item_t>& plan,
                           const std::string& out_dir, int threads, std::FILE* log,
                           const std::atomic<bool>* stop) {
  const auto start = std::chrono::steady_clock::now();
  exporter_t x{s, plan, out_dir + "/" + std::string(request_base.substr(1)), {}, {}, nullptr, {}, log, {}};
  x.stop = stop;
  export_summary_t summary;
  const std::vector<uint32_t> formats = offeredFormats(s.texture_formats);
  for (uint32_t i = 0; i < plan.size(); ++i) {
    if (plan[i].kind != export_kind_node) x.files.push_back({i, 0});
    else
      for (uint32_t f : formats) x.files.push_back({i, f});
  }
  summary.files = x.files.size();
  std::string error;
  if (!makeDirs(x.root + "BulkMetadata") || !makeDirs(x.root + "NodeData")) {
    std::fprintf(log, "export: cannot create %s: %s\n", x.root.c_str(), std::strerror(errno));
    summary.failed = summary.files;
    return summary;
  }
  if (!x.openManifest(out_dir + "/" + manifest_name, &error)) {
    std::fprintf(log, "export: %s\n", error.c_str());
    summary.failed = summary.files;
    return summary;
  }
  std::fprintf(log, "export: %zu files (%zu answers) to %s on %d threads\n", x.files.size(), plan.size(),
               x.root.c_str(), threads);

  std::vector<std::thread> workers;
  for (int k = 0; k < threads; ++k) workers.emplace_back([&x] { x.work(); });

  // Progress until the workers are done: files, rate, time left.
  std::mutex m;
  std::condition_variable cv;
  bool done = false;
  std::thread progress([&] {
    std::unique_lock<std::mutex> lock(m);
    while (!cv.wait_for(lock, std::chrono::milliseconds(export_progress_interval_ms), [&] { return done; })) {
      const double t = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      const uint64_t n = x.written + x.skipped + x.failed;
      const double rate = n / std::max(t, 1e-3);
      {
        std::lock_guard<std::mutex> mf(x.manifest_mutex);
        std::fflush(x.manifest);
      }
      std::lock_guard<std::mutex> l(x.log_mutex);
      std::fprintf(log, "export: %llu/%zu files (%.1f %%), %.0f files/s, %s left\n",
                   static_cast<unsigned long long>(n), x.files.size(), 100.0 * n / std::max<size_t>(1, x.files.size()),
                   rate, duration((x.files.size() - n) / std::max(rate, 1e-9)).c_str());
    }
  });
  for (std::thread& w : workers) w.join();
  {
    std::lock_guard<std::mutex> lock(m);
    done = true;
  }
  cv.notify_all();
  progress.join();
  std::fclose(x.manifest);

  summary.written = x.written;
  summary.skipped = x.skipped;
  summary.failed = x.failed;
  summary.bytes = x.bytes;
  summary.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const uint64_t left = summary.files - summary.written - summary.skipped - summary.failed;
  summary.stopped = left > 0;
  if (summary.stopped)
    std::fprintf(log, "export: stopped with %llu files left; the same command resumes\n",
                 static_cast<unsigned long long>(left));
  std::fprintf(log, "export: done: %llu files (%llu written, %llu already there, %llu failed), %.1f MB, %.1f s\n",
               static_cast<unsigned long long>(summary.files), static_cast<unsigned long long>(summary.written),
               static_cast<unsigned long long>(summary.skipped), static_cast<unsigned long long>(summary.failed),
               static_cast<double>(summary.bytes) / 1e6, summary.seconds);
  return summary;
}
