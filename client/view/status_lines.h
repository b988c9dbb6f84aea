// The status overlay's text: where the camera is, what is drawn and coming,
// and how fast; formatted without GL so that tests read it.
#pragma once

#include <string>
#include <vector>

#include "view/geo_pose.h"

// One frame's status, filled by the app.
struct status_t {
  geo_pose_t pose;
  int nodes_drawn;
  int downloads_in_flight;  // retrievals under way (transfer and decode)
  int downloads_queued;     // wanted records waiting for a retrieval slot
  bool settled;             // every node and bulk the view needs has arrived
  double frames_per_second;
  // The surface under the cursor (picking), when there is one: a fourth line.
  bool pointed;
  bool pointed_on_mesh;  // false: the sphere, where nothing drawn is hit
  double pointed_lat_deg, pointed_lon_deg, pointed_height_m;
};

// Three lines, e.g. "45.8326° N  6.8652° E  altitude 6.00 km  heading 180°",
// "nodes drawn 812  downloads 3 in flight, 45 queued", "settled  60 fps",
// and with a pointed surface "cursor 45.8326° N  6.8652° E  height 4.81 km"
// ("on the sphere" instead of the height where no mesh is hit).
std::vector<std::string> statusLines(const status_t& status);

// Frames per second, over windows of at least half a second.
struct frame_rate_meter_t {
  double window_ms;
  int frames;
  double fps;  // of the last whole window; 0 until there is one
};
void noteFrame(frame_rate_meter_t* meter, double delta_time_ms);
