// fetchData over TLS against plain HTTP on loopback: requests per second of
// 400 sequential fetches of a 40 KiB answer from the scripted server, over
// kept-alive connections, once with https:// (the certificate verified
// against a CA made for the run) and once with http://, side by side. The
// fetch layer fixes its service at the first fetch, so each round runs in a
// child process of this program (--child URL CA_FILE); the child's own
// clock is the measure. Also the TLS handshakes of a TLS round, full and
// resumed. Prints the ratio TLS / plain at the end.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "fetch_fixture.h"
#include "net/fetch.h"
#include "net/http_client.h"

namespace {

constexpr int requests_per_round = 400;
constexpr size_t body_size = 40 * 1024;

std::string self;
std::string plain_url, tls_url, ca_file;
std::map<std::string, double> rates;

int failures = 0;
void count(int, int error, uint8_t*, size_t len) {
  if (error || len != body_size) ++failures;
}

// In the child: the round, then "seconds full resumed failures" on standard output.
int child(const char* url, const char* ca) {
  char why[512];
  if (*ca && !httpAddCaFile(ca, why, sizeof why)) return std::fprintf(stderr, "%s\n", why), 1;
  setUpFetching({url, ".", 0, false});
  const auto start = std::chrono::steady_clock::now();
  for (int k = 0; k < requests_per_round; ++k) fetchData("bench40k", k, count);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const http_connection_stats_t s = httpConnectionStats();
  std::printf("%.6f %lld %lld %d\n", seconds, static_cast<long long>(s.tls_handshakes_full),
              static_cast<long long>(s.tls_handshakes_resumed), failures);
  return 0;
}

void round(benchmark::State& state, const char* name, const std::string& url, const std::string& ca) {
  long long full = 0, resumed = 0;
  int failed = 0;
  double seconds = 0;
  for (auto _ : state) {
    const std::string cmd = "'" + self + "' --child '" + url + "' '" + ca + "'";
    FILE* p = popen(cmd.c_str(), "r");
    double s = 0;
    int f = 0;
    if (!p || std::fscanf(p, "%lf %lld %lld %d", &s, &full, &resumed, &f) != 4) f = 1;
    if (p) pclose(p);
    failed += f;
    seconds += s;
    state.SetIterationTime(s);
  }
  if (failed) return state.SkipWithError("some fetches failed");
  state.counters["req_per_s"] =
      benchmark::Counter(static_cast<double>(requests_per_round) * static_cast<double>(state.iterations()) / seconds);
  state.counters["handshakes_full"] = static_cast<double>(full);
  state.counters["handshakes_resumed"] = static_cast<double>(resumed);
  rates[name] = requests_per_round * static_cast<double>(state.iterations()) / seconds;
}

void BM_FetchPlain(benchmark::State& state) { round(state, "plain", plain_url, ""); }
void BM_FetchTls(benchmark::State& state) { round(state, "tls", tls_url, ca_file); }
BENCHMARK(BM_FetchPlain)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(BM_FetchTls)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--child") return child(argv[2], argv[3]);
  self = argv[0][0] == '/' ? argv[0] : std::string(getenv("PWD")) + "/" + argv[0];
  fetch_fixture_t plain("bench-fetch-tls");
  ScriptServer secure;
  if (std::system(("bash " TEST_CERTS_SCRIPT " '" + plain.dir.path + "/certs'").c_str()) != 0) return 1;
  ca_file = plain.dir.path + "/certs/ca.pem";
  if (!secure.useTls(plain.dir.path + "/certs/good.pem", plain.dir.path + "/certs/leaf.key")) return 1;
  scripted_reply_t r;
  r.bytes = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body_size) + "\r\n\r\n" + std::string(body_size, 'b');
  r.keep_alive = true;
  plain.server.reply("/rt/earth/bench40k", r);
  secure.reply("/rt/earth/bench40k", r);
  plain_url = plain.server.url("/rt/earth/");
  tls_url = secure.tlsUrl("/rt/earth/");

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  if (rates.count("plain") && rates.count("tls"))
    std::fprintf(stderr, "fetchData over TLS %.0f req/s, plain %.0f req/s, ratio %.2f\n", rates["tls"],
                 rates["plain"], rates["tls"] / rates["plain"]);
  return 0;
}
