#include "view/status_lines.h"

#include <cmath>
#include <cstdio>

#include "viewer_settings.h"

namespace {

std::string altitudeText(double metres) {
  char buf[48];
  if (std::fabs(metres) < 1000)
    std::snprintf(buf, sizeof buf, "%.0f m", metres);
  else if (std::fabs(metres) < 100000)
    std::snprintf(buf, sizeof buf, "%.2f km", metres / 1000);
  else
    std::snprintf(buf, sizeof buf, "%.0f km", metres / 1000);
  return buf;
}

}  // namespace

std::vector<std::string> statusLines(const status_t& s) {
  char where[160], what[120], how[64];
  const geo_pose_t& p = s.pose;
  long heading = std::lround(p.heading_deg) % 360;
  if (heading < 0) heading += 360;
  std::snprintf(where, sizeof where, "%.4f\u00b0 %c  %.4f\u00b0 %c  altitude %s  heading %ld\u00b0", std::fabs(p.lat_deg),
                p.lat_deg < 0 ? 'S' : 'N', std::fabs(p.lon_deg), p.lon_deg < 0 ? 'W' : 'E',
                altitudeText(p.altitude_m).c_str(), heading);
  std::snprintf(what, sizeof what, "nodes drawn %d  downloads %d in flight, %d queued", s.nodes_drawn,
                s.downloads_in_flight, s.downloads_queued);
  std::snprintf(how, sizeof how, "%s  %.0f fps", s.settled ? "settled" : "loading", s.frames_per_second);
  if (!s.pointed) return {where, what, how};
  char pointed[160];
  std::snprintf(pointed, sizeof pointed, "cursor %.4f\u00b0 %c  %.4f\u00b0 %c  %s%s", std::fabs(s.pointed_lat_deg),
                s.pointed_lat_deg < 0 ? 'S' : 'N', std::fabs(s.pointed_lon_deg), s.pointed_lon_deg < 0 ? 'W' : 'E',
                s.pointed_on_mesh ? "height " : "on the sphere",
                s.pointed_on_mesh ? altitudeText(s.pointed_height_m).c_str() : "");
  return {where, what, how, pointed};
}

void noteFrame(frame_rate_meter_t* m, double delta_time_ms) {
  m->window_ms += delta_time_ms;
  ++m->frames;
  if (m->window_ms >= frame_rate_window_ms) {
    m->fps = m->frames * 1000.0 / m->window_ms;
    m->window_ms = 0;
    m->frames = 0;
  }
}
