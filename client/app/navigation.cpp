#include "app/navigation.h"

#include <cmath>
#include <cstdio>

#include "view/geo_pose.h"
#include "view/globe_navigation.h"
#include "view/ground_clearance.h"
#include "view/picking.h"

namespace {

struct navigation_t {
  bool globe = false;
  globe_drag_t drag;
  globe_glide_t glide;
  bool turning = false;  // a right (or Ctrl + left) drag
  double turn_x = 0, turn_y = 0;
  bool motion_pending = false;  // the cursor's last position, applied once per batch of events
  double motion_x = 0, motion_y = 0;
  std::vector<SDL_Event> events;  // mouse events since the last frame
  flight_t flight;
  bool flight_pending = false;
  geo_pose_t flight_to{};
  Eigen::Vector3d previous_eye{0, 0, 0};  // before this frame's move
  // Where the last frame's move put the eye, before the ground held it: the
  // descent's speed is read from these, so that a hold is not taken for
  // speed (a flight going on down its path would be lifted ever higher).
  double previous_unheld_radius = -1;
  double height_above_ground = 0;
  double clock_s = 0;  // frame time since start
  double since_ground_line_ms = periodic_line_ms;
};

navigation_t nav;

// Window coordinates to the drawable's pixels, at the pixel's centre (a
// high-density display has more pixels than window units).
void toDrawable(double wx, double wy, int width, int height, double* x, double* y) {
  int ww = width, wh = height;
  if (SDL_Window* w = SDL_GL_GetCurrentWindow()) SDL_GetWindowSize(w, &ww, &wh);
  const double sx = ww > 0 ? static_cast<double>(width) / ww : 1, sy = wh > 0 ? static_cast<double>(height) / wh : 1;
  *x = (wx + 0.5) * sx;
  *y = (wy + 0.5) * sy;
}

pick_t pickAt(const camera_t& cam, const std::vector<draw_item_t>& draw_list, float planet_radius, int width,
              int height, double x, double y) {
  return pickSurface(pixelRay(screenOf(cam, width, height), x, y), draw_list, planet_radius);
}

void setMouseMode() { SDL_SetRelativeMouseMode(nav.globe ? SDL_FALSE : SDL_TRUE); }

void stopMoving() {
  stopFlight(&nav.flight);
  nav.flight_pending = false;
  nav.glide.active = false;
}

// The cursor's last position moves what the held button moves.
void applyMotion(camera_t& cam, const std::vector<draw_item_t>& draw_list, float planet_radius, int width,
                 int height) {
  if (!nav.motion_pending) return;
  nav.motion_pending = false;
  const double x = nav.motion_x, y = nav.motion_y;
  if (nav.drag.active) dragTo(&nav.drag, cam, width, height, x, y, nav.clock_s);
  if (nav.turning) {
    const pick_t centre = pickAt(cam, draw_list, planet_radius, width, height, width / 2.0, height / 2.0);
    turnAbout(cam, centre.source == pick_source_none ? nullptr : &centre.point, x - nav.turn_x, y - nav.turn_y);
    nav.turn_x = x;
    nav.turn_y = y;
  }
}

void applyEvent(const SDL_Event& e, camera_t& cam, const std::vector<draw_item_t>& draw_list, float planet_radius,
                int width, int height) {
  double x = 0, y = 0;
  if (e.type == SDL_MOUSEMOTION) {
    toDrawable(e.motion.x, e.motion.y, width, height, &nav.motion_x, &nav.motion_y);
    nav.motion_pending = true;
    return;
  }
  applyMotion(cam, draw_list, planet_radius, width, height);
  if (e.type == SDL_MOUSEBUTTONDOWN) {
    toDrawable(e.button.x, e.button.y, width, height, &x, &y);
    const bool ctrl = (SDL_GetModState() & KMOD_CTRL) != 0;
    if (e.button.button == SDL_BUTTON_RIGHT || (e.button.button == SDL_BUTTON_LEFT && ctrl)) {
      nav.turning = true;
      nav.turn_x = x;
      nav.turn_y = y;
    } else if (e.button.button == SDL_BUTTON_LEFT) {
      const pick_t p = pickAt(cam, draw_list, planet_radius, width, height, x, y);
      if (p.source == pick_source_none) return;
      if (e.button.clicks >= 2) {
        nav.drag.active = false;
        startFlight(&nav.flight, {cam.eye, cam.direction}, approachPose(cam, p.point), planet_radius);
      } else {
        startDrag(&nav.drag, p.point, nav.clock_s);
      }
    }
  } else if (e.type == SDL_MOUSEBUTTONUP) {
    if (e.button.button == SDL_BUTTON_LEFT && nav.drag.active) releaseDrag(&nav.drag, &nav.glide, nav.clock_s);
    if (e.button.button == SDL_BUTTON_RIGHT || e.button.button == SDL_BUTTON_LEFT) nav.turning = false;
  } else if (e.type == SDL_MOUSEWHEEL) {
    int mx = 0, my = 0;
    SDL_GetMouseState(&mx, &my);
    toDrawable(mx, my, width, height, &x, &y);
    const pick_t p = pickAt(cam, draw_list, planet_radius, width, height, x, y);
    const double notches = e.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -e.wheel.y : e.wheel.y;
    if (p.source != pick_source_none && notches != 0)
      zoomTowards(cam, p.point, notches, width, height, x, y, planet_radius);
  }
}

}  // namespace

void startNavigation(const viewer_options_t& options) {
  nav.globe = options.globe_navigation;
  setMouseMode();
}

void handleNavigationEvent(const SDL_Event& e) {
  if (e.type == SDL_KEYDOWN && !e.key.repeat) {
    stopMoving();
    if (e.key.keysym.sym == SDLK_n) {
      nav.globe = !nav.globe;
      nav.drag.active = false;
      nav.turning = false;
      nav.events.clear();
      setMouseMode();
      std::printf("navigation: %s\n", nav.globe ? "globe" : "free");
    }
    return;
  }
  if (e.type == SDL_MOUSEBUTTONDOWN || e.type == SDL_MOUSEWHEEL) stopMoving();
  if (nav.globe && (e.type == SDL_MOUSEMOTION || e.type == SDL_MOUSEBUTTONDOWN || e.type == SDL_MOUSEBUTTONUP ||
                    e.type == SDL_MOUSEWHEEL)) {
    // Frames that draw nothing (the planet still loading, a minimised
    // window) apply none: keep the latest few hundred.
    if (nav.events.size() >= 256) nav.events.erase(nav.events.begin());
    nav.events.push_back(e);
  }
}

void flyTo(const geo_pose_t& pose) {
  nav.flight_pending = true;
  nav.flight_to = pose;
}

bool flightUnderway() { return nav.flight_pending || nav.flight.active; }

void navigateCamera(camera_t& cam, camera_input_t* in, const std::vector<draw_item_t>& draw_list,
                    const rocktree_t* planet, int width, int height, double delta_time_ms) {
  const float planet_radius = planet->radius;
  const double dt_s = delta_time_ms / 1000;
  nav.clock_s += dt_s;
  nav.previous_eye = cam.eye;
  if (nav.flight_pending) {
    nav.flight_pending = false;
    camera_t to = cam;
    placeCamera(to, nav.flight_to, planet_radius);
    startFlight(&nav.flight, {cam.eye, cam.direction}, {to.eye, to.direction}, planet_radius);
  }
  if (nav.globe) {
    for (const SDL_Event& e : nav.events) applyEvent(e, cam, draw_list, planet_radius, width, height);
    nav.events.clear();
    applyMotion(cam, draw_list, planet_radius, width, height);
    if (!nav.drag.active) advanceGlide(&nav.glide, cam, dt_s);
    if (!nav.flight.active) moveWithKeys(cam, *in, nav.height_above_ground, dt_s);
  }
  if (nav.flight.active) {
    const camera_pose_t pose = advanceFlight(&nav.flight, dt_s);
    cam.eye = pose.eye;
    cam.direction = pose.direction;
    if (!nav.flight.active) {  // where it ended, without waiting for the next periodic line
      std::printf("flight: arrived after %.2f s\n", nav.flight.duration_s);
      std::fputs(positionLine(cam).c_str(), stdout);
    }
  }
  // What the free camera would do on top: nothing in globe mode or while
  // flying.
  if (nav.globe || nav.flight.active) {
    const bool shift = in->shift;
    *in = camera_input_t{};
    in->shift = shift;
  }
}

bool keepCameraAboveGround(camera_t& cam, const rocktree_t* planet, double delta_time_ms) {
  const ground_t ground = groundUnder(planet->root_bulk, cam.eye, planet->radius, announcedRelief(planet));
  const double dt_s = delta_time_ms / 1000;
  const double unheld = cam.eye.norm();
  const double descent =
      dt_s > 0 && nav.previous_unheld_radius >= 0 ? std::max(0.0, nav.previous_unheld_radius - unheld) / dt_s : 0;
  nav.previous_unheld_radius = unheld;
  const bool moved = keepAboveGround(cam, nav.previous_eye, ground, descent);
  nav.height_above_ground = cam.eye.norm() - ground.radius;
  nav.since_ground_line_ms += delta_time_ms;
  if (moved && nav.since_ground_line_ms >= periodic_line_ms) {
    nav.since_ground_line_ms = 0;
    std::printf("ground: eye held at %.1f m, %.1f m above the %s\n", cam.eye.norm() - planet->radius,
                nav.height_above_ground, ground.from_mesh ? "loaded surface" : "highest relief (not loaded yet)");
  }
  return moved;
}

void prefetchDestination(bulk_t* root, int64_t now_ms, selection_t* sel, float planet_radius, int width,
                         int height) {
  if (!nav.flight.active) return;
  camera_t to{nav.flight.to.eye, nav.flight.to.direction, 0, true};
  camera_frame_t frame;
  if (!updateCamera(to, camera_input_t{}, 0, planet_radius, width, height, &frame)) return;
  frame_stats_t stats{};
  walkViewToCome(root, {to.eye, to.direction, frame.viewprojection, frame.frustum_planes}, now_ms, sel, &stats);
}

void pointAtCursor(status_t* status, const camera_t& cam, const std::vector<draw_item_t>& draw_list,
                   float planet_radius, int width, int height) {
  double x = width / 2.0, y = height / 2.0;
  if (nav.globe) {
    int mx = 0, my = 0;
    SDL_GetMouseState(&mx, &my);
    toDrawable(mx, my, width, height, &x, &y);
  }
  const pick_t p = pickAt(cam, draw_list, planet_radius, width, height, x, y);
  status->pointed = p.source != pick_source_none;
  if (!status->pointed) return;
  const geo_pose_t where = poseOf(p.point, Eigen::Vector3d::UnitZ(), planet_radius);
  status->pointed_on_mesh = p.source == pick_source_mesh;
  status->pointed_lat_deg = where.lat_deg;
  status->pointed_lon_deg = where.lon_deg;
  status->pointed_height_m = where.altitude_m;
}
