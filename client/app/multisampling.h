// Smooth edges: the window and its GL context made again with a
// multisampled framebuffer when --msaa (or the renderer's default) asks for
// one, since a window's pixel format is fixed when it is created.
#pragma once

#include <SDL.h>

// With the first context current and the GL loader loaded: decides the
// samples from GL_RENDERER (chooseMsaaSamples) and, when there are any,
// replaces *window and *context by multisampled ones (the loader loaded
// again). A window or context that cannot be made with them leaves the
// first ones in place. Returns the samples a pixel now has.
int startMultisampling(int requested, SDL_Window** window, SDL_GLContext* context);
