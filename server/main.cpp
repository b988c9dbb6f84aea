// rocktreed: serves the planet over HTTP on loopback.
//   rocktreed [--port 8086] [--bind 127.0.0.1] [--threads N] [--cache-mb 256]
//             [--quiet] [--texture-formats jpg|jpg,crn]
//             [--relief FILE[,FILE...]] [--imagery FILE[,FILE...]] [--gshhg DIR|off] [--borders] [--fine-imagery FILE|off]
// --port 0 picks a free port; the chosen one is printed on the first line.
//   rocktreed export --out DIR [--region S,W,N,E] [--max-level N]
//             [--base-level B] [--texture-formats ...] [--threads N]
// writes the answers as static files instead (export/).
// A bad input file ends start-up with one line naming it and status 2.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <semaphore>
#include <string>
#include <thread>

// Eigen (through http/routing.h) must come before httplib.h: clang rejects
// Eigen's product kernels when httplib's system headers come first.
#include "planet/node_builder.h"
#include "export/export_plan.h"
#include "export/static_export.h"
#include "http/caching_headers.h"
#include "http/routing.h"
#include "rocktreed_settings.h"

#include <httplib.h>

namespace {

struct options_t {
  int port = default_port;
  std::string bind = default_bind_address;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  long cache_mb = default_cache_mb;
  bool quiet = false;
  std::string texture_formats = "jpg,crn";
  planet_inputs_t inputs;  // the built-in rasters, then the user's layers
};


bool parseInt(const char* s, long lo, long hi, long* out) {
  char* end = nullptr;
  const long v = std::strtol(s, &end, 10);
  if (!*s || *end || v < lo || v > hi) return false;
  *out = v;
  return true;
}

int usage(const char* why) {
  std::fprintf(stderr,
               "rocktreed: %s\nusage: rocktreed [--port 8086] [--bind 127.0.0.1] [--threads N] "
               "[--cache-mb 256] [--quiet] [--texture-formats jpg|jpg,crn] "
               "[--relief FILE[,FILE...]] [--imagery FILE[,FILE...]] [--gshhg DIR|off] [--borders] [--fine-imagery FILE|off]\n"
               "       rocktreed export --out DIR [--region S,W,N,E] [--max-level N] [--base-level 6] "
               "[--threads N] [--texture-formats jpg|jpg,crn] [--relief FILE[,FILE...]] "
               "[--imagery FILE[,FILE...]] [--gshhg DIR|off] [--borders] [--fine-imagery FILE|off]\n",
               why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const auto t0 = std::chrono::steady_clock::now();
  options_t o;
  const bool exporting = argc > 1 && std::strcmp(argv[1], "export") == 0;
  export_options_t export_options;
  std::string why;
  for (int i = exporting ? 2 : 1; i < argc; ++i) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    long n = 0;
    if (a == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (a == "--borders") {
      o.inputs.borders = true;
      continue;
    }
    if (!v) return usage(("missing value for " + a).c_str());
    ++i;
    if (a == "--port" && parseInt(v, 0, 65535, &n)) o.port = static_cast<int>(n);
    else if (a == "--bind") o.bind = v;
    else if (a == "--threads" && parseInt(v, 1, max_answer_threads, &n)) o.threads = static_cast<int>(n);
    else if (a == "--cache-mb" && parseInt(v, 0, 1 << 20, &n)) o.cache_mb = n;
    else if (a == "--texture-formats") o.texture_formats = v;
    else if (a == "--relief") appendFileList(v, &o.inputs.relief_layers);
    else if (a == "--imagery") appendFileList(v, &o.inputs.imagery_layers);
    else if (a == "--gshhg") o.inputs.gshhg_dir = std::strcmp(v, "off") == 0 ? "" : v;
    else if (a == "--fine-imagery") o.inputs.fine_imagery = std::strcmp(v, "off") == 0 ? "" : v;
    else if (exporting && isExportOption(a)) {
      if (!parseExportOption(a, v, &export_options, &why)) return usage(why.c_str());
    }
    else return usage(("bad option " + a + " " + v).c_str());
  }
  uint32_t formats = 0;
  if (!parseTextureFormats(o.texture_formats, &formats))
    return usage("--texture-formats takes jpg or jpg,crn");
  if (exporting && !resolveExportOptions(&export_options, &why)) return usage(why.c_str());

  tuneAllocatorForServing();
  service_t service;
  std::string error;
  if (!openService(&service, o.inputs, formats, static_cast<size_t>(o.cache_mb) << 20, &error)) {
    std::fprintf(stderr, "rocktreed: %s\n", error.c_str());
    return 2;
  }

  if (exporting) {
    const export_summary_t done = runExport(service, planExport(service.terrain, export_options),
                                            export_options.out_dir, o.threads, stderr);
    return done.failed == 0 ? 0 : 1;
  }

  // One line per request must reach a log file promptly, not at exit.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  httplib::Server server;
  service.build_slots = std::make_unique<std::counting_semaphore<>>(o.threads);
  const int connections = std::max(o.threads, http_connection_threads);
  server.new_task_queue = [connections] { return new httplib::ThreadPool(connections); };
  server.set_tcp_nodelay(true);
  server.set_keep_alive_max_count(keep_alive_max_requests);
  server.set_payload_max_length(max_request_payload_bytes);
  const bool quiet = o.quiet;
  server.set_pre_routing_handler([&service, quiet](const httplib::Request& req,
                                                               httplib::Response& res) {
    const auto start = std::chrono::steady_clock::now();
    size_t bytes = 0;
    // HEAD is a GET without the body (the HTTP library leaves it out).
    if (req.method != "GET" && req.method != "HEAD") {
      countRequest(service.metrics, answer_kind_other, 405);
      res.status = 405;
      res.set_header("Allow", "GET, HEAD");
      res.set_header("Cache-Control", cache_control_no_store);
      res.set_content("only GET and HEAD\n", "text/plain");
      bytes = res.body.size();
    } else {
      service_response_t answer = answerGet(service, req.target, req.get_header_value("If-None-Match"));
      res.status = answer.status;
      bytes = answer.body->size();
      res.set_header("Cache-Control", answer.cache_control);
      if (!answer.etag.empty()) res.set_header("ETag", answer.etag);
      if (answer.status == 200 && !answer.body->empty()) {
        // Hand the cached bytes to the writer without copying them.
        ResponseCache::body_t body = answer.body;
        res.set_content_provider(
            body->size(), answer.content_type,
            [body](size_t offset, size_t length, httplib::DataSink& sink) {
              return sink.write(body->data() + offset, length);
            });
      } else if (answer.status != 304) {
        res.set_content(*answer.body, answer.content_type);
      }
    }
    if (!quiet) {
      const long long us = std::chrono::duration_cast<std::chrono::microseconds>(
                               std::chrono::steady_clock::now() - start)
                               .count();
      std::printf("%s %s %d %zu %lldus\n", req.method.c_str(), req.target.c_str(), res.status,
                  bytes, us);
    }
    return httplib::Server::HandlerResponse::Handled;
  });

  int port = o.port;
  if (port == 0) {
    port = server.bind_to_any_port(o.bind);
    if (port < 0) {
      std::fprintf(stderr, "rocktreed: cannot bind %s\n", o.bind.c_str());
      return 1;
    }
  } else if (!server.bind_to_port(o.bind, port)) {
    std::fprintf(stderr, "rocktreed: cannot bind %s:%d\n", o.bind.c_str(), port);
    return 1;
  }
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - t0)
                           .count();
  std::printf("rocktreed listening on http://%s:%d/rt/earth/ (%d threads, cache %ld MB, "
              "formats %s, ready in %lld ms)\n",
              o.bind.c_str(), port, o.threads, o.cache_mb, o.texture_formats.c_str(), ms);
  return server.listen_after_bind() ? 0 : 1;
}
