#include "startup/picture_choices.h"

#include "viewer_settings.h"

bool isSoftwareRenderer(const std::string& renderer) {
  for (const char* name : software_renderer_names)
    if (renderer.find(name) != std::string::npos) return true;
  return false;
}

int chooseMsaaSamples(int requested, const std::string& renderer) {
  if (requested >= 0) return requested;
  return isSoftwareRenderer(renderer) ? 0 : msaa_hardware_default;
}
