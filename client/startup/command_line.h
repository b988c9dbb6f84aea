// The viewer's command line: every option, its default and its check. With
// no arguments the options are the plain start (full screen, start pose,
// the service from the environment or the built-in address, the disk cache
// in cache/). Parsed before any window opens, so that --help, --version and
// a bad option need no display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "viewer_settings.h"
#include "view/geo_pose.h"

struct viewer_options_t {
  std::string service_base_url;  // "http://host:port/rt/earth/"; empty: environment or built in
  bool has_start_pose = false;   // from --position or --place
  geo_pose_t start_pose{};
  bool windowed = false;
  int window_width = ::window_width;
  int window_height = ::window_height;
  std::string screenshot_when_settled;  // PNG path; empty: none
  bool exit_when_settled = false;
  double settle_timeout_s = settle_timeout_default_s;
  std::string cache_dir = "cache/";
  int64_t cache_mb = disk_cache_default_mb;  // 0: no disk cache
  bool offline = false;
  size_t memory_budget_bytes = ::memory_budget_bytes;  // kept downloads; the view's own always stay
  bool overlay = false;  // the status overlay at start (H toggles it)
  std::string go;        // --go: start at the first search result for this text; empty: none
  bool labels = false;   // place labels at start (L toggles them)
};

struct command_line_t {
  viewer_options_t options;
  bool run = true;      // false: print text and exit with exit_status
  int exit_status = 0;  // 0 after --help or --version, 2 after a bad command line
  std::string text;     // help or version (standard output), or one line saying what is wrong (standard error)
};

command_line_t parseCommandLine(int argc, const char* const* argv);

// The value checks, each false with the reason in *why.
// "http://HOST[:PORT][/PATH]" to "http://HOST:PORT/PATH/"; PATH defaults to /rt/earth/.
bool parseServiceUrl(const std::string& text, std::string* base_url, std::string* why);
// "LAT,LON,ALT[,HEADING,PITCH]" in degrees and metres.
bool parsePosition(const std::string& text, geo_pose_t* pose, std::string* why);
// "WxH", each side 64 to 16384 pixels.
bool parseWindowSize(const std::string& text, int* width, int* height, std::string* why);
