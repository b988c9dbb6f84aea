// A complete response of arbitrary bytes, as the HTTP client holds it when
// the server has closed: the parser must end the request, keep its texts in
// their buffers, and deliver exactly the bytes behind the header as the body.
#include <cstdint>
#include <cstring>

#include "net/http_client.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  http_t* h = http_internal_create(0, nullptr);
  if (!h) return 0;
  // Two appends, so that the receive buffer's growth is exercised too.
  const size_t half = size / 2;
  if (!http_internal_append(h, data, half) || !http_internal_append(h, data + half, size - half)) {
    http_release(h);
    return 0;
  }
  const http_status_t status = http_internal_parse_response(h);
  if (status == HTTP_STATUS_PENDING) __builtin_trap();
  if (std::strlen(h->reason_phrase) > 1023 || std::strlen(h->content_type) > 255) __builtin_trap();
  if (h->response_data) {
    const char* body = static_cast<const char*>(h->response_data);
    if (h->response_size > size) __builtin_trap();
    if (std::memcmp(body, data + size - h->response_size, h->response_size) != 0) __builtin_trap();
    if (body[h->response_size] != '\0') __builtin_trap();
  } else if (status == HTTP_STATUS_COMPLETED) {
    __builtin_trap();
  }
  http_release(h);
  return 0;
}
