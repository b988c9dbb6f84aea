// Frame timing of the shell: the performance counter at the latest and at
// the previous frame, and the milliseconds between them.
#pragma once

#include <cstdint>

// Defined in process_objects.cpp, which fixes when NOW is first read.
extern uint64_t NOW;       // counter at the latest frame; first read before main
extern uint64_t LAST;      // counter at the frame before
extern double deltaTime;   // milliseconds between the two; read by the frame's stages

// Once per frame, before drawPlanet.
void advanceFrameClock();

// From now on every frame advances deltaTime by exactly ms, whatever the wall
// clock says (--frame-ms: flights and recordings that repeat frame for
// frame); 0 goes back to the wall clock.
void setFixedFrameMs(double ms);
