#include "app/multisampling.h"

#include <cstdio>
#include <string>

#include <glad/gl.h>

#include "startup/picture_choices.h"

int startMultisampling(int requested, SDL_Window** window, SDL_GLContext* context) {
  const GLubyte* name = glGetString(GL_RENDERER);
  const std::string renderer = name ? reinterpret_cast<const char*>(name) : "";
  const int samples = chooseMsaaSamples(requested, renderer);
  if (samples == 0) return 0;

  int w = 0, h = 0, x = 0, y = 0;
  SDL_GetWindowSize(*window, &w, &h);
  SDL_GetWindowPosition(*window, &x, &y);
  const Uint32 flags = SDL_GetWindowFlags(*window) & (SDL_WINDOW_FULLSCREEN | SDL_WINDOW_OPENGL |
                                                       SDL_WINDOW_RESIZABLE | SDL_WINDOW_ALLOW_HIGHDPI);
  SDL_GL_SetAttribute(SDL_GL_MULTISAMPLEBUFFERS, 1);
  SDL_GL_SetAttribute(SDL_GL_MULTISAMPLESAMPLES, samples);
  SDL_Window* ms_window = SDL_CreateWindow(SDL_GetWindowTitle(*window), x, y, w, h, flags);
  SDL_GLContext ms_context = ms_window ? SDL_GL_CreateContext(ms_window) : nullptr;
  if (!ms_context) {
    std::printf("msaa: %d samples not available (%s); drawing without\n", samples, SDL_GetError());
    if (ms_window) SDL_DestroyWindow(ms_window);
    SDL_GL_SetAttribute(SDL_GL_MULTISAMPLEBUFFERS, 0);
    SDL_GL_SetAttribute(SDL_GL_MULTISAMPLESAMPLES, 0);
    SDL_GL_MakeCurrent(*window, *context);
    return 0;
  }
  SDL_GL_DeleteContext(*context);
  SDL_DestroyWindow(*window);
  *window = ms_window;
  *context = ms_context;
  SDL_GL_MakeCurrent(ms_window, ms_context);
  SDL_GL_SetSwapInterval(1);
  gladLoaderLoadGL();
  // What the window's framebuffer has, from GL itself: the visual found
  // may have more samples than asked for (llvmpipe offers 4 for 2).
  GLint got = 0;
  glGetIntegerv(GL_SAMPLES, &got);
  if (got < 2) {
    std::printf("msaa: %d samples not available (the window got none); drawing without\n", samples);
    return 0;
  }
  glEnable(GL_MULTISAMPLE);
  std::printf("msaa: %d samples a pixel\n", got);
  return got;
}
