// rocktreed: serves the planet over HTTP on loopback.
//   rocktreed [--port 8086] [--bind 127.0.0.1] [--threads N] [--cache-mb 256]
//             [--quiet] [--texture-formats jpg|jpg,crn]
//             [--relief FILE[,FILE...]] [--imagery FILE[,FILE...]] [--gshhg DIR|off] [--borders] [--fine-imagery FILE|off]
//             [--max-connections N] [--max-connections-per-ip N]
//             [--head-timeout S] [--idle-timeout S] [--send-timeout S] [--stop-grace S]
// --port 0 picks a free port; the chosen one is printed on the first line.
//   rocktreed export --out DIR [--region S,W,N,E] [--max-level N]
//             [--base-level B] [--texture-formats ...] [--threads N]
// writes the answers as static files instead (export/).
// SIGTERM or SIGINT: the service stops accepting, finishes the answers under
// way (up to --stop-grace) and exits 0; an export finishes the files being
// written and exits 3, its manifest ready for a run that resumes.
// A bad input file ends start-up with one line naming it and status 2.
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <semaphore>
#include <string>
#include <thread>

#include "planet/node_builder.h"
#include "export/export_plan.h"
#include "export/static_export.h"
#include "http/front_end.h"
#include "http/routing.h"
#include "rocktreed_settings.h"

namespace {

struct options_t {
  int port = default_port;
  std::string bind = default_bind_address;
  int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  long cache_mb = default_cache_mb;
  bool quiet = false;
  std::string texture_formats = "jpg,crn";
  planet_inputs_t inputs;  // the built-in rasters, then the user's layers
  connection_limits_t limits;
  int stop_grace_s = default_stop_grace_s;
};

// The connection options: false when `a` is none of them or its value is
// out of range.
bool parseConnectionOption(const std::string& a, long n, options_t* o) {
  if (a == "--max-connections" && n >= 1 && n <= 1000000) o->limits.max_total = static_cast<int>(n);
  else if (a == "--max-connections-per-ip" && n >= 1 && n <= 1000000) o->limits.max_per_address = static_cast<int>(n);
  else if (a == "--head-timeout" && n >= 1 && n <= 3600) o->limits.head_timeout_s = static_cast<int>(n);
  else if (a == "--idle-timeout" && n >= 1 && n <= 3600) o->limits.idle_timeout_s = static_cast<int>(n);
  else if (a == "--send-timeout" && n >= 1 && n <= 3600) o->limits.send_timeout_s = static_cast<int>(n);
  else if (a == "--stop-grace" && n >= 0 && n <= 3600) o->stop_grace_s = static_cast<int>(n);
  else return false;
  return true;
}

// Each open connection is a descriptor: take all the system allows.
void raiseDescriptorLimit() {
  rlimit r{};
  if (getrlimit(RLIMIT_NOFILE, &r) == 0 && r.rlim_cur < r.rlim_max) {
    r.rlim_cur = r.rlim_max;
    setrlimit(RLIMIT_NOFILE, &r);
  }
}

// Every answer is sent and every file written by now: the planet and the
// caches (hundreds of MB) go back to the kernel at once instead of through
// their destructors.
[[noreturn]] void exitNow(int status) {
  std::fflush(nullptr);
  std::_Exit(status);
}

std::atomic<bool> export_stop{false};
void stopExport(int) { export_stop.store(true); }


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
               "[--relief FILE[,FILE...]] [--imagery FILE[,FILE...]] [--gshhg DIR|off] [--borders] [--fine-imagery FILE|off] "
               "[--max-connections 1024] "
               "[--max-connections-per-ip 32] [--head-timeout 10] [--idle-timeout 5] [--send-timeout 15] "
               "[--stop-grace 10]\n"
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
    else if (!exporting && parseInt(v, -1, 1L << 40, &n) && parseConnectionOption(a, n, &o)) {}
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
    struct sigaction stop {};
    stop.sa_handler = stopExport;
    sigaction(SIGTERM, &stop, nullptr);
    sigaction(SIGINT, &stop, nullptr);
    const export_summary_t done = runExport(service, planExport(service.terrain, export_options),
                                            export_options.out_dir, o.threads, stderr, &export_stop);
    exitNow(done.failed != 0 ? 1 : done.stopped ? 3 : 0);
  }

  // One line per request must reach a log file promptly, not at exit.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);

  // The signals that stop the service wait for the main thread alone:
  // every thread started from here on inherits the mask.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  raiseDescriptorLimit();

  service.build_slots = std::make_unique<std::counting_semaphore<>>(o.threads);
  front_end_options_t fo;
  fo.bind = o.bind;
  fo.port = o.port;
  fo.event_loops = o.threads * event_loops_per_build_thread;
  fo.quiet = o.quiet;
  fo.limits = o.limits;
  front_end_t front;
  if (!startFrontEnd(service, fo, &front, &error)) {
    std::fprintf(stderr, "rocktreed: %s\n", error.c_str());
    return 1;
  }
  const long long ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                           std::chrono::steady_clock::now() - t0)
                           .count();
  std::printf("rocktreed listening on http://%s:%d/rt/earth/ (%d threads, cache %ld MB, "
              "formats %s, ready in %lld ms)\n",
              o.bind.c_str(), front.port, o.threads, o.cache_mb, o.texture_formats.c_str(), ms);
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  std::fprintf(stderr, "rocktreed: %s: finishing the answers under way (up to %d s)\n", strsignal(signal_number),
               o.stop_grace_s);
  stopFrontEnd(&front, o.stop_grace_s);
  exitNow(0);
}
