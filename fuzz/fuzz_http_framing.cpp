// Arbitrary bytes from the service as the answer to a request on a kept-alive
// connection, arriving in three pieces: the framing (Content-Length, chunks,
// to the close) must end the request once the peer has closed, keep its
// texts in their buffers and deliver a body that lies within what was
// received, NUL behind it. The first input byte picks where the pieces
// break; the second may put a valid head in front (chunked or with a length),
// so that the fuzzer spends its runs on the body's framing too.
#include <cstdint>
#include <cstring>
#include <string>

#include "net/http_framing.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  static const std::string heads[] = {
      "", "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n",
      "HTTP/1.1 200 OK\r\nContent-Length: 40\r\nConnection: keep-alive\r\n\r\n"};
  std::string input = heads[data[1] % 3];
  input.append(reinterpret_cast<const char*>(data) + 2, size - 2);
  const size_t n = input.size();
  const size_t a = (data[0] & 0x0f) * n / 15, b = (data[0] >> 4) * n / 15;
  const size_t cuts[] = {0, a < b ? a : b, a < b ? b : a, n};

  http_answer_t answer{};
  if (!answerInit(&answer, http_response_limit)) return 0;
  answer.framed = true;
  http_status_t status = HTTP_STATUS_PENDING;
  for (int k = 0; k < 3 && status == HTTP_STATUS_PENDING; ++k) {
    if (!answerAppend(&answer, input.data() + cuts[k], cuts[k + 1] - cuts[k])) break;
    status = answerAdvanceFramed(&answer, false);
  }
  if (status == HTTP_STATUS_PENDING) status = answerAdvanceFramed(&answer, true);
  if (status == HTTP_STATUS_PENDING) __builtin_trap();
  if (std::strlen(answer.reason_phrase) > 1023 || std::strlen(answer.content_type) > 255) __builtin_trap();
  if (status == HTTP_STATUS_COMPLETED) {
    if (!answer.body || answer.body_size > n) __builtin_trap();
    if (answer.body[answer.body_size] != '\0') __builtin_trap();
  }
  answerFree(&answer);
  return 0;
}
