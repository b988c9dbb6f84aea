#include "timing.h"

#include <SDL.h>

// NOW is read during static initialisation, after the worker pools and the
// pose socket exist, so that the first frame's deltaTime spans the whole
// start-up. Initialisers of the viewer's library run in archive order, and
// this file sorts after rocktree_util (the pools) and sockets (the socket);
// main.cpp itself has no dynamic initialiser, since the executable's own
// objects would run first.
uint64_t NOW = SDL_GetPerformanceCounter();
uint64_t LAST = 0;
double deltaTime = 0;

void advanceFrameClock() {
  LAST = NOW;
  NOW = SDL_GetPerformanceCounter();
  deltaTime = static_cast<double>((NOW - LAST) * 1000) / static_cast<double>(SDL_GetPerformanceFrequency());
}
