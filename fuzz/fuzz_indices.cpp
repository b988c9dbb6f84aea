// Strip lengths and codes of Mesh.indices, and runs of variable-length
// integers, on arbitrary bytes.
#include <cstdint>
#include <string>

#include "tree/packed_decoders.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string packed(reinterpret_cast<const char*>(data), size);
  try {
    // Each code takes at least one byte, so no strip outgrows its field.
    if (unpackIndices(packed).size() > size) __builtin_trap();
  } catch (const decode_error&) {
  }
  int index = 0;
  try {
    for (;;) {
      const int before = index;
      unpackVarInt(packed, &index);
      if (index <= before || index > static_cast<int>(size)) __builtin_trap();
    }
  } catch (const decode_error&) {
  }
  return 0;
}
