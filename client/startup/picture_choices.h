// Choices about the picture that depend on the GL implementation but not on
// a GL context: what --msaa asks for once the renderer's name is known.
#pragma once

#include <string>

// True when GL_RENDERER names a software rasteriser (Mesa's llvmpipe,
// softpipe, swrast): every sample there costs CPU time.
bool isSoftwareRenderer(const std::string& renderer);

// Samples a pixel to ask for: requested (0, 2, 4 or 8) as it is; -1 (no
// --msaa) gives the hardware default, or 0 under a software renderer.
int chooseMsaaSamples(int requested, const std::string& renderer);
