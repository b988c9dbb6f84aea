#include "test_messages.h"

#include <stdexcept>

#include <turbojpeg.h>

#define STB_IMAGE_WRITE_STATIC
#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

namespace test_messages {

std::string varInt(int32_t value) {
  uint32_t v = static_cast<uint32_t>(value);
  std::string out;
  do {
    uint8_t group = v & 0x7F;
    v >>= 7;
    out.push_back(static_cast<char>(v ? group | 0x80 : group));
  } while (v);
  return out;
}

std::string varInts(const std::vector<int32_t>& values) {
  std::string out;
  for (int32_t v : values) out += varInt(v);
  return out;
}

std::string packVertices(const std::vector<std::array<uint8_t, 3>>& xyz) {
  const size_t n = xyz.size();
  std::string out(3 * n, '\0');
  std::array<uint8_t, 3> prev{0, 0, 0};
  for (size_t i = 0; i < n; ++i) {
    for (int k = 0; k < 3; ++k) {
      out[k * n + i] = static_cast<char>(static_cast<uint8_t>(xyz[i][k] - prev[k]));
      prev[k] = xyz[i][k];
    }
  }
  return out;
}

std::string packTexCoords(int u_mod, int v_mod, const std::vector<std::array<uint16_t, 2>>& uv) {
  const size_t n = uv.size();
  std::string out(4 + 4 * n, '\0');
  out[0] = static_cast<char>((u_mod - 1) & 0xFF);
  out[1] = static_cast<char>((u_mod - 1) >> 8);
  out[2] = static_cast<char>((v_mod - 1) & 0xFF);
  out[3] = static_cast<char>((v_mod - 1) >> 8);
  int prev_u = 0, prev_v = 0;
  for (size_t i = 0; i < n; ++i) {
    const int du = ((uv[i][0] - prev_u) % u_mod + u_mod) % u_mod;
    const int dv = ((uv[i][1] - prev_v) % v_mod + v_mod) % v_mod;
    out[4 + i] = static_cast<char>(du & 0xFF);
    out[4 + n + i] = static_cast<char>(dv & 0xFF);
    out[4 + 2 * n + i] = static_cast<char>(du >> 8);
    out[4 + 3 * n + i] = static_cast<char>(dv >> 8);
    prev_u = uv[i][0];
    prev_v = uv[i][1];
  }
  return out;
}

std::string packIndices(const std::vector<uint16_t>& strip) {
  std::string out = varInt(static_cast<int32_t>(strip.size()));
  int next_new = 0;
  for (uint16_t idx : strip) {
    if (idx == next_new) {
      out += varInt(0);
      ++next_new;
    } else if (idx < next_new) {
      out += varInt(next_new - idx);
    } else {
      throw std::logic_error("strip does not number vertices by first use");
    }
  }
  return out;
}

std::string packRuns(const std::vector<int32_t>& runs) {
  return varInt(static_cast<int32_t>(runs.size())) + varInts(runs);
}

std::string packObb(std::array<int16_t, 3> center, std::array<uint8_t, 3> extents,
                    std::array<uint16_t, 3> angles) {
  std::string out;
  auto put16 = [&](uint16_t v) {
    out.push_back(static_cast<char>(v & 0xFF));
    out.push_back(static_cast<char>(v >> 8));
  };
  for (int16_t c : center) put16(static_cast<uint16_t>(c));
  for (uint8_t e : extents) out.push_back(static_cast<char>(e));
  for (uint16_t a : angles) put16(a);
  return out;
}

uint32_t packPathAndFlags(const std::string& path, int flags) {
  uint32_t word = static_cast<uint32_t>(path.size() - 1);
  for (size_t i = 0; i < path.size(); ++i) word |= static_cast<uint32_t>(path[i] - '0') << (2 + 3 * i);
  return word | (static_cast<uint32_t>(flags) << (2 + 3 * path.size()));
}

std::vector<uint8_t> patternPixels(int width, int height, int components) {
  std::vector<uint8_t> px(static_cast<size_t>(width) * height * components);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x)
      for (int c = 0; c < components; ++c)
        px[(static_cast<size_t>(y) * width + x) * components + c] =
            static_cast<uint8_t>((x * (c + 1) + y * (3 - c)) & 0xFF);
  return px;
}

std::string makeJpeg(int width, int height, int components, int quality) {
  const std::vector<uint8_t> px = patternPixels(width, height, components);
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  // Four components make a CMYK (Adobe YCCK) JPEG.
  const int pf = components == 1 ? TJPF_GRAY : components == 4 ? TJPF_CMYK : TJPF_RGB;
  const int subsamp = components == 1 ? TJSAMP_GRAY : TJSAMP_420;
  if (tjCompress2(tj, px.data(), width, 0, height, pf, &jpeg, &size, subsamp, quality, 0) != 0) {
    tjDestroy(tj);
    throw std::runtime_error("tjCompress2 failed");
  }
  std::string out(reinterpret_cast<char*>(jpeg), size);
  tjFree(jpeg);
  tjDestroy(tj);
  return out;
}

std::string makePng(int width, int height, int components) {
  const std::vector<uint8_t> px = patternPixels(width, height, components);
  std::string out;
  stbi_write_png_to_func(
      [](void* ctx, void* data, int size) {
        static_cast<std::string*>(ctx)->append(static_cast<const char*>(data), size);
      },
      &out, width, height, components, px.data(), width * components);
  return out;
}

grid_mesh_t gridMesh(int side, int hidden_tail) {
  grid_mesh_t g;
  // Strip over grid ids (row-major), rows joined by repeating the last index
  // of one row and the first of the next.
  std::vector<int> ids;
  for (int r = 0; r + 1 < side; ++r) {
    if (r > 0) {
      ids.push_back(ids.back());
      ids.push_back(r * side);
    }
    for (int c = 0; c < side; ++c) {
      ids.push_back(r * side + c);
      ids.push_back((r + 1) * side + c);
    }
  }
  std::vector<int> number(static_cast<size_t>(side) * side, -1);
  for (int id : ids) {
    if (number[id] < 0) {
      number[id] = static_cast<int>(g.xyz.size());
      const int r = id / side, c = id % side;
      g.xyz.push_back({static_cast<uint8_t>(c * 255 / (side - 1)), static_cast<uint8_t>(r * 255 / (side - 1)),
                       static_cast<uint8_t>((r * 7 + c * 3) & 0xFF)});
      g.uv.push_back({static_cast<uint16_t>(c * 255 / (side - 1)), static_cast<uint16_t>(r * 255 / (side - 1))});
    }
    g.strip.push_back(static_cast<uint16_t>(number[id]));
  }
  const int32_t n = static_cast<int32_t>(g.strip.size());
  g.runs = {n / 4, n / 4, n / 4, n - 3 * (n / 4), 0, 0, 0, 0};
  if (hidden_tail > 0) {
    g.runs.resize(24, 0);  // layers 1 and 2 empty
    g.runs.insert(g.runs.end(), {0, 0, 0, 0, 0, hidden_tail});  // layer 3, octant 5
    for (int i = 0; i < hidden_tail; ++i) {
      g.strip.push_back(static_cast<uint16_t>(g.xyz.size()));
      g.xyz.push_back({static_cast<uint8_t>(i), 0, 0});
      g.uv.push_back({0, 0});
    }
  }
  return g;
}

void fillMesh(Mesh* mesh, const grid_mesh_t& grid, int u_mod, int v_mod) {
  mesh->set_vertices(packVertices(grid.xyz));
  mesh->set_texture_coordinates(packTexCoords(u_mod, v_mod, grid.uv));
  mesh->set_indices(packIndices(grid.strip));
  mesh->set_layer_and_octant_counts(packRuns(grid.runs));
}

void setTexture(Mesh* mesh, Texture_Format format, const std::string& data, int width, int height) {
  Texture* t = mesh->add_texture();
  t->add_data(data);
  t->set_format(format);
  t->set_width(static_cast<uint32_t>(width));
  t->set_height(static_cast<uint32_t>(height));
}

NodeData nodeDataWithMatrix() {
  NodeData nd;
  for (int k = 0; k < 16; ++k) nd.add_matrix_globe_from_mesh(k);
  return nd;
}

}  // namespace test_messages
