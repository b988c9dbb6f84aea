// The process-wide objects and the order in which they come to life: the
// decoding pool `pool`, the download pool `webpool`, the pose listener's
// socket `server`, then the frame clock's first reading `NOW` (so that the
// first frame's deltaTime spans the whole start-up). All four are defined
// in process_objects.cpp and nowhere else: within one translation unit the
// language constructs them in the order of their definitions, and destroys
// them in reverse, whatever the order in which the linker takes files.
#pragma once

#include <vector>

#include "net/request_scheduler.h"

enum process_object {
  process_object_decode_pool,
  process_object_download_pool,
  process_object_pose_socket,
  process_object_frame_clock,
};

// The objects in the order their construction began, recorded by their
// definitions during static initialisation.
const std::vector<process_object>& processObjectsConstructionOrder();

// The frame loop's request scheduler (main thread only), and its counters
// with the memory budget's and the connections': what the "net:" line
// prints, for anything else that shows the state of the streaming.
request_scheduler_t& viewerScheduler();
stream_stats_t viewerStreamStats();

// At exit, before the objects are destroyed: the scheduler starts nothing
// more, downloads that have not started
// are dropped (their records stay as they are, nothing reads them again),
// downloads in flight end within one poll of their socket, idle kept-alive
// connections are closed, and decodes not yet started are dropped. Destruction then only joins idle threads, so the
// process ends promptly even when the service has gone silent.
void stopProcessObjects();
