// Turns a fuzz input into the bytes of a message. Raw bytes rarely parse
// into a message that reaches the decoders, so the first byte may instead
// ask for a known good message with the input folded into it: XORed in at
// an offset, or cut at an offset with the input appended.
#pragma once

#include <cstdint>
#include <string>

inline std::string messageBytes(const uint8_t* data, size_t size, const std::string& good) {
  if (size < 3 || good.empty()) return std::string(reinterpret_cast<const char*>(data), size);
  const size_t offset = (data[1] | data[2] << 8) % good.size();
  const std::string rest(reinterpret_cast<const char*>(data) + 3, size - 3);
  switch (data[0] % 3) {
    case 0:
      return std::string(reinterpret_cast<const char*>(data), size);
    case 1: {
      std::string out = good;
      for (size_t i = 0; i < rest.size() && offset + i < out.size(); ++i) out[offset + i] ^= rest[i];
      return out;
    }
    default:
      return good.substr(0, offset) + rest;
  }
}
