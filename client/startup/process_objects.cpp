#include "startup/process_objects.h"

#include <SDL.h>

#include "viewer_settings.h"
#include "net/fetch.h"
#include "net/pose_listener.h"
#include "net/retrieval.h"
#include "startup/frame_clock.h"

namespace {

// Constant-initialised before any dynamic initialiser runs.
std::vector<process_object>* construction_order = nullptr;

template <class T>
T noted(process_object object, T value) {
  if (!construction_order) construction_order = new std::vector<process_object>();
  construction_order->push_back(object);
  return value;
}

}  // namespace

// The order of these definitions is the start-up order. pool comes before
// webpool so that it is destroyed after it: a download that completes while
// webpool shuts down may still hand its decode to pool.
ThreadPool pool(noted(process_object_decode_pool, decode_pool_threads));
ThreadPool webpool(noted(process_object_download_pool, download_pool_threads));
// Created with an open, unbound socket; only listenKinect binds it.
UDPServer server(noted(process_object_pose_socket, static_udp_port), "0.0.0.0");
uint64_t NOW = noted(process_object_frame_clock, SDL_GetPerformanceCounter());
uint64_t LAST = 0;
double deltaTime = 0;

const std::vector<process_object>& processObjectsConstructionOrder() { return *construction_order; }

request_scheduler_t& viewerScheduler() {
  // Never destroyed: its tickets are shared with downloads that may still
  // drain while the pools shut down.
  static auto* scheduler = new request_scheduler_t();
  return *scheduler;
}

stream_stats_t viewerStreamStats() { return streamStats(viewerScheduler()); }

void stopProcessObjects() {
  stopScheduling(&viewerScheduler());
  abortFetches();
  webpool.discardQueued();
  pool.discardQueued();
}
