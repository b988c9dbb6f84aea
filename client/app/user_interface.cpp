#include "app/user_interface.h"

#include <cmath>

#include "app/navigation.h"

#include <cstdio>
#include <ctime>
#include <string>

#include <sys/stat.h>

#include "app/place_finder.h"
#include "gl/frame_readback.h"
#include "gl/status_overlay.h"
#include "net/fetch.h"
#include "net/request_scheduler.h"
#include "net/retrieval.h"
#include "startup/process_objects.h"
#include "view/geo_pose.h"
#include "view/places.h"
#include "view/screenshot_file.h"
#include "view/status_lines.h"

namespace {

struct user_interface_t {
  viewer_options_t options;
  bool pose_pending = false;
  geo_pose_t pending_pose{};
  bool overlay_on = false;
  status_overlay_t overlay{};
  bool overlay_started = false;
  frame_rate_meter_t frame_rate{};
  bool shot_requested = false;  // F12 in this frame
  // Settling: the first "settled:" line is the end of a frame in which the
  // tracker went from unsettled to settled; the picture is taken a frame later.
  bool seen_unsettled = false;
  bool settled_once = false;
  bool settle_handled = false;
  uint64_t started_ms = 0;
  bool timed_out = false;
  bool exit_wanted = false;
  int exit_status = 0;
};

user_interface_t ui;

bool fileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

bool writeFrame(const std::string& path, int width, int height) {
  std::string why;
  if (!writeScreenshotPng(path, width, height, readBackFrame(width, height), &why)) {
    std::fprintf(stderr, "screenshot: cannot write %s: %s\n", path.c_str(), why.c_str());
    return false;
  }
  std::printf("screenshot: %s\n", path.c_str());
  return true;
}

// Where the overlay's download figures come from: the transfers the fetch
// layer is running and the requests waiting for a download thread.
void fillDownloads(status_t* status) {
  const stream_stats_t streaming = viewerStreamStats();
  status->downloads_in_flight = streaming.in_flight;
  status->downloads_queued = streaming.queued;
}

}  // namespace

void startUserInterface(const viewer_options_t& options) {
  ui.options = options;
  ui.pose_pending = options.has_start_pose;
  ui.pending_pose = options.start_pose;
  ui.overlay_on = options.overlay;
  ui.started_ms = SDL_GetTicks64();
  startPlaceFinder(options);
}

void handleUserEvent(const SDL_Event& event) {
  if (handlePlaceFinderEvent(event)) return;
  if (event.type != SDL_KEYDOWN || event.key.repeat) return;
  const SDL_Keycode key = event.key.keysym.sym;
  if (key >= SDLK_1 && key <= SDLK_9) {
    const place_t& place = places[static_cast<size_t>(key - SDLK_1)];
    flyToPose(place.pose);
    std::printf("place: %s\n", place.title);
  } else if (key == SDLK_h) {
    ui.overlay_on = !ui.overlay_on;
  } else if (key == SDLK_F12) {
    ui.shot_requested = true;
  }
}

void flyToPose(const geo_pose_t& pose) { flyTo(pose); }

void goToPlace(double latitude, double longitude, double altitude, bool fly) {
  // Back south along the meridian by what the pitch needs to put the place
  // at the centre; the eye's own latitude stays on the globe.
  const double pitch = search_view_pitch_deg * 3.14159265358979 / 180;
  const double back_deg = altitude / std::tan(-pitch) / 6371010.0 * 180 / 3.14159265358979;
  const geo_pose_t pose{std::fmax(latitude - back_deg, -90.0), longitude, altitude, 0, search_view_pitch_deg};
  if (fly) {
    flyToPose(pose);
    return;
  }
  ui.pose_pending = true;
  ui.pending_pose = pose;
}

void applyPendingPose(camera_t& cam, float planet_radius) {
  if (!ui.pose_pending) return;
  ui.pose_pending = false;
  placeCamera(cam, ui.pending_pose, planet_radius);
}

void finishFrame(const drawn_frame_t& f) {
  noteFrame(&ui.frame_rate, f.delta_time_ms);
  const bool settled_shot = ui.settled_once && !ui.settle_handled;
  drawPlaceFinder(f.cam, f.planet_radius, f.width, f.height);
  const std::vector<std::string> search = searchLines();
  if (ui.overlay_on || !search.empty()) {
    if (!ui.overlay_started) {
      ui.overlay_started = true;
      initStatusOverlay(ui.overlay);
    }
    status_t status{};
    status.pose = poseOf(f.cam.eye, f.cam.direction, f.planet_radius);
    status.nodes_drawn = f.nodes_drawn;
    fillDownloads(&status);
    status.settled = !f.unsettled;
    status.frames_per_second = ui.frame_rate.fps;
    if (f.draw_list) pointAtCursor(&status, f.cam, *f.draw_list, f.planet_radius, f.width, f.height);
    std::vector<std::string> lines = ui.overlay_on ? statusLines(status) : std::vector<std::string>{};
    lines.insert(lines.end(), search.begin(), search.end());
    drawStatusOverlay(ui.overlay, lines, f.width, f.height, f.delta_time_ms,
                      ui.shot_requested || settled_shot);
  }

  if (ui.shot_requested) {
    ui.shot_requested = false;
    writeFrame(screenshotFileName(std::time(nullptr), fileExists), f.width, f.height);
  }

  if (settled_shot) {
    ui.settle_handled = true;
    bool ok = true;
    if (!ui.options.screenshot_when_settled.empty())
      ok = writeFrame(ui.options.screenshot_when_settled, f.width, f.height);
    if (ui.options.exit_when_settled) {
      ui.exit_wanted = true;
      ui.exit_status = ok ? 0 : 1;
    }
  }
  if (f.unsettled || flightUnderway()) ui.seen_unsettled = true;
  else if (ui.seen_unsettled) ui.settled_once = true;
}

bool userInterfaceWantsExit(int* status) {
  const bool waiting = !ui.settle_handled &&
                       (ui.options.exit_when_settled || !ui.options.screenshot_when_settled.empty());
  if (waiting && !ui.timed_out &&
      static_cast<double>(SDL_GetTicks64() - ui.started_ms) > ui.options.settle_timeout_s * 1000) {
    ui.timed_out = true;
    std::fprintf(stderr, "ostravel: the view did not settle within %g s%s\n", ui.options.settle_timeout_s,
                 ui.options.screenshot_when_settled.empty() ? "" : "; no screenshot taken");
    if (ui.options.exit_when_settled) {
      ui.exit_wanted = true;
      ui.exit_status = 2;
    }
  }
  *status = ui.exit_status;
  return ui.exit_wanted;
}

void stopUserInterface() {
  stopPlaceFinder();
  releaseStatusOverlay(ui.overlay);
}
