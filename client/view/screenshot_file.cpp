#include "view/screenshot_file.h"

#include <cerrno>
#include <cstring>

// The writer's functions stay private to this file, like the reader's in
// tree/texture_decoding.cpp.
#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

std::string screenshotFileName(std::time_t when, const std::function<bool(const std::string&)>& exists) {
  std::tm local{};
  localtime_r(&when, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = std::string("ostravel-") + stamp;
  std::string name = base + ".png";
  for (int k = 2; exists(name); ++k) name = base + "-" + std::to_string(k) + ".png";
  return name;
}

bool writeScreenshotPng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb_bottom_up,
                        std::string* why) {
  const size_t row = static_cast<size_t>(width) * 3;
  if (width <= 0 || height <= 0 || rgb_bottom_up.size() != row * static_cast<size_t>(height)) {
    *why = "no picture to write";
    return false;
  }
  std::vector<uint8_t> top_down(rgb_bottom_up.size());
  for (int y = 0; y < height; ++y)
    std::memcpy(&top_down[static_cast<size_t>(y) * row], &rgb_bottom_up[static_cast<size_t>(height - 1 - y) * row],
                row);
  errno = 0;
  if (!stbi_write_png(path.c_str(), width, height, 3, top_down.data(), static_cast<int>(row))) {
    *why = errno ? std::strerror(errno) : "the PNG writer failed";
    return false;
  }
  return true;
}
