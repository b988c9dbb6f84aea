// The viewer's command line: every option, its default and its check. With
// no arguments the options are the plain start (full screen, start pose,
// the service from the environment or the built-in address, the disk cache
// in cache/). Parsed before any window opens, so that --help, --version and
// a bad option need no display.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "viewer_settings.h"
#include "view/camera_path.h"
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
  bool globe_navigation = false;  // --navigation globe; free (the default) flies the free camera (N switches)
  double frame_ms = 0;   // --frame-ms: each frame advances time by this much; 0: the wall clock
  int msaa = -1;         // --msaa samples (0, 2, 4, 8); -1: decided from the renderer
  bool fades = false;    // --fades: nodes fade in and out instead of replacing each other at once
  bool atmosphere = false;  // --atmosphere: a sky behind the planet and haze over distant ground
  bool has_path = false;    // --path: the camera flies these poses
  camera_path_t path;
  std::string record_dir;   // --record: every frame of the path as a PNG here, then exit; empty: none
  std::string ca_file;                       // --ca-file: CAs trusted beside the system's; empty: none
  std::vector<std::string> request_headers;  // --header: "Name: value", checked, sent with every request
  std::string proxy;  // --proxy: http://[USER:PASSWORD@]HOST[:PORT] for every request; empty: the environment's
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
