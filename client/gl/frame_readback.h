// Reading the drawn frame back for a screenshot. Render thread only.
#pragma once

#include <cstdint>
#include <vector>

// The back buffer's RGB pixels, bottom row first, tightly packed; called
// after the frame is drawn and before it is swapped.
std::vector<uint8_t> readBackFrame(int width, int height);
