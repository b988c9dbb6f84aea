// Reading one answer off a kept-alive HTTP/1.1 connection in the tests that
// speak to the rocktreed binary: up to the end of its Content-Length.
#pragma once

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <string>

// The answer's status, or 0 when the server closed first or nothing whole
// came within 10 s (against a hang).
inline int readKeptAnswer(int fd) {
  std::string raw;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end) {
    const size_t head_end = raw.find("\r\n\r\n");
    const size_t length_at = raw.find("Content-Length: ");
    if (head_end != std::string::npos && length_at < head_end &&
        raw.size() >= head_end + 4 + std::strtoul(raw.c_str() + length_at + 16, nullptr, 10))
      return raw.rfind("HTTP/1.", 0) == 0 ? std::atoi(raw.c_str() + 9) : 0;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 200) <= 0) continue;
    char buf[65536];
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return 0;
    raw.append(buf, static_cast<size_t>(n));
  }
  return 0;
}
