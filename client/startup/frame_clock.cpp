#include "startup/frame_clock.h"

#include <SDL.h>

// NOW, LAST and deltaTime are defined with the other process-wide objects
// (process_objects.cpp), after which NOW is first read.
void advanceFrameClock() {
  LAST = NOW;
  NOW = SDL_GetPerformanceCounter();
  deltaTime = static_cast<double>((NOW - LAST) * 1000) / static_cast<double>(SDL_GetPerformanceFrequency());
}
