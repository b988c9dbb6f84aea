// Contact sheet of rocktreed's textures: for Paris and the Alps, the node
// holding the place at levels 4, 5 and 6 with its eight neighbours, each
// level as a 3x3 mosaic of 256x256 textures (so seams between nodes show),
// all written into one PNG. With user layers and a place, one row: the node
// holding the place at three levels from LEVEL on.
//   contact_sheet [OUT.png]   (default contact_sheet.png)
//   contact_sheet OUT.png --at LAT,LON,LEVEL [--relief FILES] [--imagery FILES] [--gshhg DIR|off]
//                 [--fine-imagery FILE|off]
// (both off: the planet without GSHHG's coasts and the finer image, for a
// before/after look).
#include <cstdio>
#include <string>
#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

#include "http/routing.h"
#include "planet/node_builder.h"

int main(int argc, char** argv) {
  const std::string out = argc > 1 ? argv[1] : "contact_sheet.png";
  struct place_t {
    const char* name;
    double lat, lon;
  };
  std::vector<place_t> places = {{"Paris", 48.86, 2.35}, {"Alps", 45.9, 6.9}};
  int first_level = 4;
  planet_inputs_t inputs;
  for (int i = 2; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--relief") {
      appendFileList(argv[i + 1], &inputs.relief_layers);
    } else if (a == "--imagery") {
      appendFileList(argv[i + 1], &inputs.imagery_layers);
    } else if (a == "--gshhg") {
      inputs.gshhg_dir = std::string(argv[i + 1]) == "off" ? "" : argv[i + 1];
    } else if (a == "--fine-imagery") {
      inputs.fine_imagery = std::string(argv[i + 1]) == "off" ? "" : argv[i + 1];
    } else if (a == "--at" && std::sscanf(argv[i + 1], "%lf,%lf,%d", &places[0].lat, &places[0].lon, &first_level) == 3 &&
               first_level >= 1 && first_level <= max_node_level - 2) {
      places.resize(1);
      places[0].name = "the place";
    } else {
      std::fprintf(stderr, "contact_sheet: bad option %s %s\n", a.c_str(), argv[i + 1]);
      return 2;
    }
  }
  service_t service;
  std::string error;
  if (!openService(&service, inputs, format_bit_jpg, 64 << 20, &error)) {
    std::fprintf(stderr, "contact_sheet: %s\n", error.c_str());
    return 2;
  }
  const terrain_t& terrain = service.terrain;
  constexpr int tile = texture_size, mosaic = 3 * tile, levels = 3;
  const int rows = static_cast<int>(places.size());
  const int width = levels * mosaic, height = rows * mosaic;
  std::vector<uint8_t> sheet(static_cast<size_t>(width) * height * 3, 0);
  for (int p = 0; p < rows; ++p) {
    for (int l = 0; l < levels; ++l) {
      const int level = first_level + l;
      geo_box_t centre;
      nodeBox(nodePathOver(places[p].lat, places[p].lon, level), &centre);
      const double dlat = centre.n - centre.s, dlon = centre.e - centre.w;
      for (int gy = 0; gy < 3; ++gy)
        for (int gx = 0; gx < 3; ++gx) {
          const double lat = (centre.s + centre.n) / 2 + (1 - gy) * dlat;  // row 0 north
          const double lon = (centre.w + centre.e) / 2 + (gx - 1) * dlon;
          const std::string path = nodePathOver(lat, lon, level);
          geo_box_t box;
          nodeBox(path, &box);
          const std::vector<uint8_t> rgb = buildTexture(terrain, box, level);
          for (int y = 0; y < tile; ++y) {
            const size_t dst = ((static_cast<size_t>(p) * mosaic + gy * tile + y) * width +
                                l * mosaic + gx * tile) * 3;
            std::copy_n(&rgb[static_cast<size_t>(y) * tile * 3], tile * 3, &sheet[dst]);
          }
        }
      std::printf("%s level %d: %s and its neighbours\n", places[p].name, level,
                  nodePathOver(places[p].lat, places[p].lon, level).c_str());
    }
  }
  if (!stbi_write_png(out.c_str(), width, height, 3, sheet.data(), width * 3)) {
    std::fprintf(stderr, "contact_sheet: cannot write %s\n", out.c_str());
    return 1;
  }
  std::printf("wrote %s (%dx%d): rows %s; columns levels %d to %d\n", out.c_str(), width, height,
              rows == 2 ? "Paris, Alps" : "the place", first_level, first_level + levels - 1);
  return 0;
}
