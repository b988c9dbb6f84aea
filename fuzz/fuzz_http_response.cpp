// A complete response of arbitrary bytes, as the HTTP client holds it when
// the server has closed: the parser must end the request, keep its texts in
// their buffers, and deliver exactly the bytes behind the header as the body.
#include <cstdint>
#include <cstring>

#include "net/http_framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  http_answer_t a{};
  if (!answerInit(&a, http_response_limit)) return 0;
  // Two appends, so that the receive buffer's growth is exercised too.
  const size_t half = size / 2;
  if (!answerAppend(&a, data, half) || !answerAppend(&a, data + half, size - half)) {
    answerFree(&a);
    return 0;
  }
  const http_status_t status = answerParseToClose(&a);
  if (status == HTTP_STATUS_PENDING) __builtin_trap();
  if (std::strlen(a.reason_phrase) > 1023 || std::strlen(a.content_type) > 255) __builtin_trap();
  if (a.body) {
    if (a.body_size > size) __builtin_trap();
    if (std::memcmp(a.body, data + size - a.body_size, a.body_size) != 0) __builtin_trap();
    if (a.body[a.body_size] != '\0') __builtin_trap();
  } else if (status == HTTP_STATUS_COMPLETED) {
    __builtin_trap();
  }
  answerFree(&a);
  return 0;
}
