#include "gl/frame_readback.h"

#include <cstddef>

#include <glad/gl.h>

std::vector<uint8_t> readBackFrame(int width, int height) {
  if (width <= 0 || height <= 0) return {};
  std::vector<uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
  glPixelStorei(GL_PACK_ALIGNMENT, 1);
  glReadBuffer(GL_BACK);
  glReadPixels(0, 0, width, height, GL_RGB, GL_UNSIGNED_BYTE, rgb.data());
  glPopClientAttrib();
  return rgb;
}
