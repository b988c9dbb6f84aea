// Requests per second of fetchData against a local server that answers every
// request with a 40 KiB body, one thread in sequence and eight at once on a
// pool of eight threads, and of curl fetching the same URL as often, in
// sequence and with eight transfers in parallel (one process, --parallel,
// and eight processes with an eighth each). The server answers in HTTP/1.0
// and closes: one connection per request for both (fetchData's kept-alive
// connections do not come into it). BENCH_FETCH_HOST=host:port measures against another server
// (serving /rt/earth/bench40k) instead of the built-in one; BENCH_FETCH_PAIRS=N
// replaces the benchmarks by N back-to-back rounds of each client.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <string>
#include <vector>

#include "net/fetch.h"
#include "net/thread_pool.h"
#include "fetch_fixture.h"

namespace {

constexpr int requests_per_round = 400;
constexpr size_t body_size = 40 * 1024;

std::string url;
std::string curl_config;
std::string curl_config_part;  // an eighth of the requests, for each of eight processes
std::map<std::string, double> rates;  // benchmark name -> requests per second
std::atomic<int> failures{0};

void countFailure(int, int error, uint8_t*, size_t len) {
  if (error || len != body_size) ++failures;
}

template <class Round>
void measure(benchmark::State& state, const char* name, Round round) {
  int64_t done = 0;
  double seconds = 0;
  for (auto _ : state) {
    auto start = std::chrono::steady_clock::now();
    round();
    seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    done += requests_per_round;
  }
  if (failures) state.SkipWithError("some fetches failed");
  state.counters["req_per_s"] = benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
  rates[name] = done / seconds;
}

void fetchSequentialRound() {
  for (int k = 0; k < requests_per_round; ++k) fetchData("bench40k", k, countFailure);
}

void fetchWebpoolRound() {
  static ThreadPool eight(8);  // webpool has a thread per retrieval in flight, more than eight
  std::vector<std::future<void>> f;
  f.reserve(requests_per_round);
  for (int k = 0; k < requests_per_round; ++k) f.push_back(eight.enqueue(fetchData, "bench40k", k, countFailure, nullptr));
  for (auto& x : f) x.wait();
}

bool curlRound(const char* extra) {
  std::string cmd = "curl -s -S --no-progress-meter --http1.0 " + std::string(extra) + " -K " + curl_config + " >/dev/null";
  return std::system(cmd.c_str()) == 0;
}

const char* const curl_parallel = "--parallel --parallel-max 8";

void BM_FetchSequential(benchmark::State& state) { measure(state, "fetch_seq", fetchSequentialRound); }

void BM_FetchWebpool8(benchmark::State& state) { measure(state, "fetch_par8", fetchWebpoolRound); }

void BM_CurlSequential(benchmark::State& state) {
  measure(state, "curl_seq", [&] {
    if (!curlRound("")) state.SkipWithError("curl failed");
  });
}

void BM_CurlParallel8(benchmark::State& state) {
  measure(state, "curl_par8", [&] {
    if (!curlRound(curl_parallel)) state.SkipWithError("curl failed");
  });
}

// Eight curl processes side by side, each with an eighth of the requests:
// the other way to run curl eight-wide.
void BM_Curl8Processes(benchmark::State& state) {
  measure(state, "curl_proc8", [&] {
    std::string one = "curl -s -S --no-progress-meter --http1.0 -K " + curl_config_part + " >/dev/null";
    std::string cmd = "sh -c '";
    for (int k = 0; k < 8; ++k) cmd += one + " & ";
    cmd += "wait'";
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("curl failed");
  });
}

BENCHMARK(BM_FetchSequential)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CurlSequential)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_FetchWebpool8)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_CurlParallel8)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_Curl8Processes)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

double secondsOf(const std::function<void()>& round) {
  auto start = std::chrono::steady_clock::now();
  round();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// On a shared machine the load drifts between benchmarks; rounds of the two
// clients taken back to back, and the median of their ratios, hold up better.
void interleaved(int pairs) {
  std::vector<double> fs, cs, fp, cp, seq_ratio, par_ratio;
  for (int k = 0; k < pairs; ++k) {
    fs.push_back(requests_per_round / secondsOf(fetchSequentialRound));
    cs.push_back(requests_per_round / secondsOf([] { curlRound(""); }));
    fp.push_back(requests_per_round / secondsOf(fetchWebpoolRound));
    cp.push_back(requests_per_round / secondsOf([] { curlRound(curl_parallel); }));
    seq_ratio.push_back(fs.back() / cs.back());
    par_ratio.push_back(fp.back() / cp.back());
  }
  std::printf("interleaved, %d pairs of %d requests, medians:\n", pairs, requests_per_round);
  std::printf("  sequential: fetchData %.0f req/s, curl %.0f req/s, ratio %.2f\n", median(fs), median(cs),
              median(seq_ratio));
  std::printf("  8 parallel: fetchData %.0f req/s, curl %.0f req/s, ratio %.2f\n", median(fp), median(cp),
              median(par_ratio));
  if (failures) std::printf("  %d fetches failed\n", failures.load());
}

}  // namespace

int main(int argc, char** argv) {
  // fetchData creates its cache tree in the working directory: the fixture's, out of the checkout.
  fetch_fixture_t fixture("bench-fetch", nullptr, 1024);
  std::string host = fixture.server.host();
  if (const char* h = std::getenv("BENCH_FETCH_HOST")) {
    host = h;
    setenv("OSTRAVEL_SERVICE_HOST", host.c_str(), 1);
  } else {
    fixture.server.reply("/rt/earth/bench40k", httpReply(200, "OK", std::string(body_size, 'b'),
                                                         "Content-Type: application/octet-stream\r\n"));
  }
  url = "http://" + host + "/rt/earth/bench40k";
  const std::string dir = fixture.dir.path;
  curl_config = std::string(dir) + "/curl.conf";
  std::ofstream conf(curl_config);
  for (int k = 0; k < requests_per_round; ++k) conf << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
  conf.close();
  curl_config_part = std::string(dir) + "/curl-part.conf";
  std::ofstream part(curl_config_part);
  for (int k = 0; k < requests_per_round / 8; ++k) part << "url = \"" << url << "\"\noutput = \"/dev/null\"\n";
  part.close();

  if (const char* pairs = std::getenv("BENCH_FETCH_PAIRS")) {
    interleaved(std::max(1, std::atoi(pairs)));
    return failures ? 1 : 0;
  }

  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();

  auto ratio = [](const char* a, const char* b) {
    if (!rates.count(a) || !rates.count(b)) return;
    std::fprintf(stderr, "%s %.0f req/s, %s %.0f req/s, ratio %.2f\n", a, rates[a], b, rates[b],
                 rates[a] / rates[b]);
  };
  ratio("fetch_seq", "curl_seq");
  ratio("fetch_par8", "curl_par8");
  ratio("fetch_par8", "curl_proc8");
  return 0;
}
