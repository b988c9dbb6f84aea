#include "app/recording.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>

#include <SDL.h>
#include <sys/stat.h>

#include "gl/frame_readback.h"
#include "startup/frame_clock.h"
#include "view/geo_pose.h"
#include "view/screenshot_file.h"

namespace {

struct recording_t {
  bool has_path = false;
  camera_path_t path;
  std::string dir;          // empty: flying the path, not recording
  double path_ms = 0;       // path time of the current pose
  double frame_ms = 1000.0 / 30;
  long frame = 0;           // recorded frames so far
  long frames = 0;          // frames of the whole path
  uint64_t frame_started_ms = 0;  // wall clock, when the current frame's pose was set
  bool exit_wanted = false;
  int exit_status = 0;
};

recording_t rec;

}  // namespace

void startRecording(const viewer_options_t& options) {
  rec.has_path = options.has_path;
  rec.path = options.path;
  rec.dir = options.record_dir;
  if (!rec.has_path || rec.dir.empty()) return;
  if (options.frame_ms > 0) {
    rec.frame_ms = options.frame_ms;
  } else {
    setFixedFrameMs(rec.frame_ms);
  }
  rec.frames = static_cast<long>(std::floor(pathDuration(rec.path) * 1000 / rec.frame_ms + 1e-9)) + 1;
  if (mkdir(rec.dir.c_str(), 0777) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "record: cannot make %s: %s\n", rec.dir.c_str(), std::strerror(errno));
    rec.exit_wanted = true;
    rec.exit_status = 1;
  }
  rec.frame_started_ms = SDL_GetTicks64();
  std::printf("record: %ld frames of %g ms into %s\n", rec.frames, rec.frame_ms, rec.dir.c_str());
}

bool applyPathPose(camera_t& cam, float planet_radius, double delta_ms) {
  if (!rec.has_path) return false;
  if (rec.dir.empty()) rec.path_ms += delta_ms;
  placeCamera(cam, poseAt(rec.path, rec.path_ms / 1000), planet_radius);
  return true;
}

void finishRecordedFrame(bool settled, int width, int height) {
  if (!rec.has_path || rec.dir.empty() || rec.exit_wanted) return;
  if (!settled) {
    if (static_cast<double>(SDL_GetTicks64() - rec.frame_started_ms) > record_frame_timeout_s * 1000) {
      std::fprintf(stderr, "record: frame %ld did not settle within %g s\n", rec.frame, record_frame_timeout_s);
      rec.exit_wanted = true;
      rec.exit_status = 2;
    }
    return;
  }
  char name[32];
  std::snprintf(name, sizeof name, "/frame-%05ld.png", rec.frame);
  const std::string file = rec.dir + name;
  std::string why;
  if (!writeScreenshotPng(file, width, height, readBackFrame(width, height), &why)) {
    std::fprintf(stderr, "record: cannot write %s: %s\n", file.c_str(), why.c_str());
    rec.exit_wanted = true;
    rec.exit_status = 1;
    return;
  }
  ++rec.frame;
  rec.path_ms = static_cast<double>(rec.frame) * rec.frame_ms;
  rec.frame_started_ms = SDL_GetTicks64();
  if (rec.frame == rec.frames) {
    std::printf("record: %ld frames written\n", rec.frames);
    rec.exit_wanted = true;
  }
}

bool recordingWantsExit(int* status) {
  if (!rec.exit_wanted) return false;
  *status = rec.exit_status;
  return true;
}
