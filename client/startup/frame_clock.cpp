#include "startup/frame_clock.h"

#include <SDL.h>

namespace {
double fixed_frame_ms = 0;
}  // namespace

// NOW, LAST and deltaTime are defined with the other process-wide objects
// (process_objects.cpp), after which NOW is first read.
void advanceFrameClock() {
  LAST = NOW;
  NOW = SDL_GetPerformanceCounter();
  deltaTime = fixed_frame_ms > 0
                  ? fixed_frame_ms
                  : static_cast<double>((NOW - LAST) * 1000) / static_cast<double>(SDL_GetPerformanceFrequency());
}

void setFixedFrameMs(double ms) { fixed_frame_ms = ms; }
