// Arbitrary text as a URL given to the HTTP client (the command line, the
// environment): the parser accepts or rejects it, and what it accepts fits
// its buffers, with a port from 1 to 65535 and the resource inside the text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/http_url.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  http_url_t u;
  if (!httpParseUrl(text.c_str(), &u)) return 0;
  if (std::strlen(u.host) == 0 || std::strlen(u.host) >= sizeof u.host) __builtin_trap();
  const long port = std::strtol(u.port, nullptr, 10);
  if (port < 1 || port > 65535) __builtin_trap();
  if (u.resource < text.c_str() || u.resource > text.c_str() + text.size()) __builtin_trap();
  if (*u.resource && *u.resource != '/') __builtin_trap();
  return 0;
}
