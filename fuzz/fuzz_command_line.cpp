// The viewer's command line: any words a person (or a script) types must
// end in options that hold their checks, or in one line and status 2, never
// in a crash or an exception. The input is split into words at NUL bytes;
// the first byte may pick an option name, so that the fuzzer spends its runs
// in the values.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "startup/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const char* const options[] = {"", "--position", "--service", "--windowed", "--place", "--cache-mb",
                                        "--settle-timeout", "--overlay"};
  std::vector<std::string> words{"ostravel"};
  if (size > 0 && data[0] % 8) words.push_back(options[data[0] % 8]);
  std::string word;
  for (size_t k = 1; k < size; ++k) {
    if (data[k] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[k]);
    }
  }
  if (size > 1) words.push_back(word);
  std::vector<const char*> argv;
  for (const std::string& w : words) argv.push_back(w.c_str());

  const command_line_t c = parseCommandLine(static_cast<int>(argv.size()), argv.data());
  if (!c.run) {
    // Help and version, or one line naming what is wrong.
    if (c.exit_status != 0 && (c.exit_status != 2 || c.text.empty() || c.text.find('\n') != c.text.size() - 1))
      std::abort();
    return 0;
  }
  const viewer_options_t& o = c.options;
  const geo_pose_t& p = o.start_pose;
  if (o.has_start_pose && !(std::fabs(p.lat_deg) <= 90 && std::fabs(p.lon_deg) <= 180 && std::isfinite(p.altitude_m) &&
                            p.heading_deg >= 0 && p.heading_deg < 360 && std::fabs(p.pitch_deg) <= 90))
    std::abort();
  if (o.window_width < 64 || o.window_height < 64 || o.window_width > 16384 || o.window_height > 16384) std::abort();
  if (o.cache_mb < 0 || !(o.settle_timeout_s > 0) || o.cache_dir.empty()) std::abort();
  if (!o.service_base_url.empty() &&
      (o.service_base_url.rfind("http://", 0) != 0 || o.service_base_url.back() != '/' ||
       o.service_base_url.find_first_of(" \r\n") != std::string::npos))
    std::abort();
  return 0;
}
