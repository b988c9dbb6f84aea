// Arbitrary bytes as the service's side of an HTTP/2 connection that has
// three requests under way: whatever comes, a request ends only complete
// (body within its limit, NUL behind it) or failed with a reason, and
// nothing crashes or grows without bound. An odd first byte puts the
// service's SETTINGS in front, so that runs reach the frames behind it.
#include <cstdint>
#include <string>

#include "net/http2_session.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  std::string input;
  if (data[0] & 1) input.assign("\0\0\0\x04\0\0\0\0\0", 9);  // an empty SETTINGS frame
  input.append(reinterpret_cast<const char*>(data) + 1, size - 1);
  http_answer_t answers[3] = {};
  for (auto& a : answers)
    if (!answerInit(&a, 4096)) return 0;
  http2FeedForTest(reinterpret_cast<const uint8_t*>(input.data()), input.size(), answers);
  for (auto& a : answers) {
    if (a.status == HTTP_STATUS_FAILED && !a.failure && a.status_code < 300) __builtin_trap();
    if (a.status == HTTP_STATUS_COMPLETED && (a.body_size > 4096 || a.body[a.body_size] != '\0')) __builtin_trap();
    answerFree(&a);
  }
  return 0;
}
