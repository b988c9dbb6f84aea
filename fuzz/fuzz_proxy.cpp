// Arbitrary bytes as a proxy's answer to CONNECT and as a proxy URL (the
// command line, the environment): each is accepted or rejected with a
// reason; an accepted answer's head lies within what was received, an
// accepted URL fits its buffers with a port from 1 to 65535.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "net/http_proxy.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const char* bytes = reinterpret_cast<const char*>(data);
  char why[256] = "";
  size_t head = 0;
  switch (proxyParseConnectAnswer(bytes, size, &head, why, sizeof why)) {
    case proxy_answer_ok:
      if (head == 0 || head > size) __builtin_trap();
      break;
    case proxy_answer_failed:
      if (!why[0]) __builtin_trap();
      break;
    case proxy_answer_pending:
      if (size >= 16384) __builtin_trap();  // the answer's bound
      break;
  }
  const std::string url(bytes, size);
  http_proxy_t p;
  if (httpParseProxyUrl(url.c_str(), &p, why, sizeof why)) {
    if (!p.host[0] || std::strlen(p.host) >= sizeof p.host) __builtin_trap();
    const long port = std::strtol(p.port, nullptr, 10);
    if (port < 1 || port > 65535) __builtin_trap();
  }
  return 0;
}
