#include "tree/texture_decoding.h"

#include <climits>
#include <cstdio>
#include <memory>

#include <turbojpeg.h>

// Non-JPEG image data goes through stb_image, for PNG and BMP only: every
// further format it knows is one more decoder exposed to service data. Its
// functions stay private to this file, so no other part of the program can
// clash with this copy of the implementation. JPEG data never reaches it:
// libjpeg-turbo decodes JPEG faster, and stb_image's JPEG decoder reads out
// of bounds on hostile streams.
#define STB_IMAGE_STATIC
#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_PNG
#define STBI_ONLY_BMP
#define STBI_MAX_DIMENSIONS 8192  // = max_texture_side: refuse before allocating
#include <stb/stb_image.h>

#include "viewer_settings.h"
#include "crn/crn.h"
#include "tree/packed_decoders.h"

static_assert(STBI_MAX_DIMENSIONS == max_texture_side);

using namespace geo_globetrotter_proto_rocktree;

namespace {

// One decompressor per worker thread: creating one per texture costs a
// noticeable share of a 256x256 decode. A stream that fails inside
// libjpeg-turbo can leave the handle unusable for the next one (a failed
// header read does), so after any failure the thread starts a fresh handle.
struct decompressor_t {
  tjhandle h = nullptr;
  ~decompressor_t() { reset(); }
  tjhandle get() {
    if (!h) h = tjInitDecompress();
    return h;
  }
  void reset() {
    if (h) tjDestroy(h);
    h = nullptr;
  }
};
thread_local decompressor_t decompressor;

const char* const jpg_size_check = "width == texture.width() && height == texture.height() && comp == 3";

void decodeWithStb(const std::string& data, const Texture& texture, std::vector<uint8_t>& rgb) {
  int width = 0, height = 0, comp = 0;
  stbi_uc* pixels = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(data.data()),
                                          static_cast<int>(data.size()), &width, &height, &comp, 0);
  requireData(pixels != NULL, "pixels != NULL");
  std::unique_ptr<stbi_uc, void (*)(void*)> owned(pixels, stbi_image_free);
  requireData(static_cast<uint32_t>(width) == texture.width() &&
                  static_cast<uint32_t>(height) == texture.height() && comp == 3,
              jpg_size_check);
  rgb.assign(pixels, pixels + static_cast<size_t>(width) * static_cast<size_t>(height) * 3);
}

// CMYK to RGB as the viewer always did it (stb_image's rule): each colour
// times black, rounded to 8 bits.
uint8_t cmykChannel(unsigned colour, unsigned black) {
  const unsigned t = colour * black + 128;
  return static_cast<uint8_t>((t + (t >> 8)) >> 8);
}

// The checks and their texts are those of the image decoder this replaced:
// no pixels when the stream cannot be decoded, and three colour components
// (grayscale is refused; CMYK converts to RGB) of the announced size.
void decodeJpeg(const std::string& data, const Texture& texture, std::vector<uint8_t>& rgb) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(data.data());
  tjhandle tj = decompressor.get();
  requireData(tj != nullptr, "tjInitDecompress() != NULL");
  int width = 0, height = 0, subsamp = 0, colorspace = 0;
  if (tjDecompressHeader3(tj, bytes, data.size(), &width, &height, &subsamp, &colorspace) != 0) {
    decompressor.reset();
    requireData(false, "pixels != NULL");
  }
  const int comp = colorspace == TJCS_GRAY ? 1 : 3;
  requireData(static_cast<uint32_t>(width) == texture.width() &&
                  static_cast<uint32_t>(height) == texture.height() && comp == 3,
              jpg_size_check);
  const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
  const size_t pixels = static_cast<size_t>(width) * static_cast<size_t>(height);
  std::vector<uint8_t> out(pixels * (cmyk ? 4 : 3));
  if (tjDecompress2(tj, bytes, data.size(), out.data(), width, 0, height, cmyk ? TJPF_CMYK : TJPF_RGB, 0) != 0) {
    // A warning (a premature end, say) still leaves every pixel written, as
    // far as the stream went; anything else leaves no image.
    const bool only_warned = tjGetErrorCode(tj) == TJERR_WARNING;
    decompressor.reset();
    requireData(only_warned, "pixels != NULL");
  }
  if (cmyk) {
    for (size_t i = 0; i < pixels; ++i) {
      const uint8_t* p = &out[4 * i];
      const uint8_t r = cmykChannel(p[0], p[3]), g = cmykChannel(p[1], p[3]), b = cmykChannel(p[2], p[3]);
      out[3 * i] = r;
      out[3 * i + 1] = g;
      out[3 * i + 2] = b;
    }
    out.resize(3 * pixels);
  }
  rgb = std::move(out);
}

}  // namespace

void decodeJpgTexture(const std::string& data, const Texture& texture, std::vector<uint8_t>& rgb) {
  requireData(data.size() <= INT_MAX, "data.size() <= INT_MAX");
  // The JPEG start-of-image marker, as image decoders recognise JPEG data.
  const bool is_jpeg = data.size() >= 2 && static_cast<uint8_t>(data[0]) == 0xFF &&
                       static_cast<uint8_t>(data[1]) == 0xD8;
  static constexpr char png_signature[] = "\x89PNG\r\n\x1a\n";
  const bool is_png = data.compare(0, 8, png_signature, 8) == 0;
  const bool is_bmp = data.compare(0, 2, "BM", 2) == 0;
  if (is_jpeg) {
    decodeJpeg(data, texture, rgb);
  } else if (is_png || is_bmp) {
    decodeWithStb(data, texture, rgb);
  } else {
    char line[96];
    std::snprintf(line, sizeof line, "unsupported texture format: %d (data is not JPEG, PNG or BMP)",
                  static_cast<int>(texture.format()));
    throw decode_error(line);
  }
}

void decodeCrnTexture(const std::string& data, const Texture& texture, std::vector<uint8_t>& dxt1) {
  const uint32_t dst_size =
      crn_get_decompressed_size(data.data(), static_cast<uint32_t>(data.size()), 0);
  requireData(dst_size == ((texture.width() + 3) / 4) * ((texture.height() + 3) / 4) * 8,
              "dst_size == ((texture.width() + 3) / 4) * ((texture.height() + 3) / 4) * 8");
  dxt1.assign(dst_size, 0);
  crn_decompress(data.data(), static_cast<uint32_t>(data.size()), dxt1.data(), dst_size, 0);
}
