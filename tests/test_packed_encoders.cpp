// Every packed-field encoder of rocktreed, read back by the viewer's own
// decoder: random and edge inputs must come back unchanged.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "tree/packed_decoders.h"
#include "planet/packed_encoders.h"

using geo_globetrotter_proto_rocktree::NodeMetadata;

namespace {

std::mt19937 rng(20261208);

uint32_t randomBelow(uint32_t n) { return std::uniform_int_distribution<uint32_t>(0, n - 1)(rng); }

TEST(Encoder, VarIntRoundTripsAndConsumesExactlyItsBytes) {
  std::vector<uint32_t> values = {0, 1, 127, 128, 16383, 16384, 2097151, 2097152, 0x7FFFFFFF};
  for (int i = 0; i < 1000; ++i) values.push_back(randomBelow(0x7FFFFFFF));
  std::string packed;
  for (uint32_t v : values) packVarInt(v, packed);
  int index = 0;
  for (uint32_t v : values) ASSERT_EQ(unpackVarInt(packed, &index), static_cast<int>(v));
  EXPECT_EQ(index, static_cast<int>(packed.size()));
  std::string one;
  packVarInt(300, one);
  EXPECT_EQ(one, std::string("\xAC\x02", 2));
}

TEST(Encoder, VerticesRoundTripWithWrappingDeltas) {
  for (size_t n : {0, 1, 2, 255, 1000}) {
    std::vector<std::array<uint8_t, 3>> xyz(n);
    for (auto& v : xyz)
      for (auto& c : v) c = static_cast<uint8_t>(randomBelow(256));
    if (n >= 2) xyz[0] = {200, 0, 255}, xyz[1] = {44, 255, 0};
    const std::vector<uint8_t> decoded = unpackVertices(packVertices(xyz));
    ASSERT_EQ(decoded.size(), 8 * n);
    for (size_t i = 0; i < n; ++i) {
      const auto* v = reinterpret_cast<const vertex_t*>(&decoded[8 * i]);
      ASSERT_EQ(v->x, xyz[i][0]);
      ASSERT_EQ(v->y, xyz[i][1]);
      ASSERT_EQ(v->z, xyz[i][2]);
    }
  }
}

TEST(Encoder, TexCoordsRoundTripForEveryModulus) {
  for (uint32_t mod : {1u, 2u, 10u, 256u, 1000u, 65535u, 65536u}) {
    const size_t n = 300;
    std::vector<std::array<uint16_t, 2>> uv(n);
    for (auto& t : uv) t = {static_cast<uint16_t>(randomBelow(mod)), static_cast<uint16_t>(randomBelow(mod))};
    uv[0] = {static_cast<uint16_t>(mod - 1), 0};
    std::vector<uint8_t> vertices(8 * n, 0);
    Eigen::Vector2f offset, scale;
    unpackTexCoords(packTexCoords(uv, mod, mod), vertices.data(), vertices.size(), offset, scale);
    for (size_t i = 0; i < n; ++i) {
      const auto* v = reinterpret_cast<const vertex_t*>(&vertices[8 * i]);
      ASSERT_EQ(v->u, uv[i][0]) << "mod " << mod << " vertex " << i;
      ASSERT_EQ(v->v, uv[i][1]);
    }
    EXPECT_FLOAT_EQ(scale.x(), static_cast<float>(1.0 / mod));
  }
  Eigen::Vector2f offset, scale;
  EXPECT_EQ(packTexCoords({}, 65536, 65536).size(), 4u);
  unpackTexCoords(packTexCoords({}, 65536, 65536), nullptr, 0, offset, scale);
  EXPECT_FLOAT_EQ(scale.y(), 1.0f / 65536);
}

TEST(Encoder, IndicesRoundTripInFirstUseOrderAndRefuseOthers) {
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<uint16_t> strip;
    uint16_t next = 0;
    const int len = static_cast<int>(randomBelow(3000));
    for (int i = 0; i < len; ++i) {
      if (next == 0 || (randomBelow(3) == 0 && next < 65535)) strip.push_back(next++);
      else strip.push_back(static_cast<uint16_t>(randomBelow(next)));
    }
    std::string packed;
    ASSERT_TRUE(packIndices(strip, packed));
    EXPECT_EQ(unpackIndices(packed), strip);
  }
  std::string packed;
  EXPECT_TRUE(packIndices({0, 1, 1, 2}, packed));
  EXPECT_EQ(unpackIndices(packed), (std::vector<uint16_t>{0, 1, 1, 2}));
  std::string refused = "untouched";
  EXPECT_FALSE(packIndices({0, 2, 1}, refused));
  EXPECT_EQ(refused, "untouched");
}

TEST(Encoder, LayerAndOctantCountsStampOctantsAndBoundLayers) {
  for (size_t runs_n : {size_t(0), size_t(8), size_t(20), size_t(80)}) {
    std::vector<uint32_t> runs(runs_n);
    std::vector<uint16_t> indices;
    for (size_t i = 0; i < runs_n; ++i) {
      runs[i] = randomBelow(6);
      for (uint32_t k = 0; k < runs[i]; ++k) indices.push_back(static_cast<uint16_t>(indices.size()));
    }
    std::vector<uint8_t> vertices(8 * indices.size(), 0);
    int bounds[10];
    unpackOctantMaskAndOctantCountsAndLayerBounds(packLayerAndOctantCounts(runs), indices.data(),
                                                  static_cast<int>(indices.size()), vertices.data(),
                                                  static_cast<int>(vertices.size()), bounds);
    int total = 0;
    size_t pos = 0;
    for (size_t i = 0; i < runs_n; ++i) {
      if (i % 8 == 0) {
        EXPECT_EQ(bounds[i / 8], total);
      }
      for (uint32_t k = 0; k < runs[i]; ++k, ++pos)
        ASSERT_EQ(reinterpret_cast<const vertex_t*>(&vertices[8 * pos])->w, i % 8);
      total += static_cast<int>(runs[i]);
    }
    for (size_t m = (runs_n + 7) / 8; m < 10; ++m) EXPECT_EQ(bounds[m], total);
  }
}

TEST(Encoder, PathAndFlagsRoundTrip) {
  NodeMetadata meta;
  meta.set_path_and_flags(packPathAndFlags("3", 4));
  EXPECT_EQ(meta.path_and_flags(), 140u);
  EXPECT_EQ(packPathAndFlags("0123", 0), 6691u);
  for (int trial = 0; trial < 500; ++trial) {
    std::string path(1 + randomBelow(4), '0');
    for (char& c : path) c = static_cast<char>('0' + randomBelow(8));
    const uint32_t flags = randomBelow(32);
    meta.set_path_and_flags(packPathAndFlags(path, flags));
    const node_data_path_and_flags_t aux = unpackPathAndFlags(meta);
    ASSERT_EQ(std::string(aux.path), path);
    ASSERT_EQ(aux.level, static_cast<int>(path.size()));
    ASSERT_EQ(aux.flags, static_cast<int>(flags));
  }
}

TEST(Encoder, ObbRoundTripsAndItsFrameIsTheViewers) {
  for (int trial = 0; trial < 500; ++trial) {
    packed_obb_t box;
    for (int k = 0; k < 3; ++k) {
      box.center[k] = static_cast<int16_t>(static_cast<int>(randomBelow(65536)) - 32768);
      box.extents[k] = static_cast<uint8_t>(randomBelow(256));
      box.angles[k] = static_cast<uint16_t>(randomBelow(65536));
    }
    if (trial == 0) box.center[0] = -32768, box.extents[0] = 255, box.angles[1] = 65535;
    const Eigen::Vector3f head(4.2e6f + trial, -1.3e6f, 3.9e6f);
    const float mpt = 0.05f + static_cast<float>(randomBelow(100000));
    const OrientedBoundingBox obb = unpackObb(packObb(box), head, mpt);
    const Eigen::Vector3d center = decodedObbCenter(box.center, head, mpt);
    const Eigen::Matrix3d frame = orientationFromAngles(box.angles);
    for (int k = 0; k < 3; ++k) {
      ASSERT_EQ(obb.center[k], center[k]);
      ASSERT_EQ(obb.extents[k], static_cast<double>(box.extents[k] * mpt));
    }
    ASSERT_LT((obb.orientation - frame).cwiseAbs().maxCoeff(), 1e-12);
    // And back: the angles of that frame give the same frame again.
    uint16_t angles[3];
    anglesFromOrientation(frame, angles);
    ASSERT_LT((orientationFromAngles(angles) - frame).cwiseAbs().maxCoeff(), 2e-4)
        << box.angles[0] << " " << box.angles[1] << " " << box.angles[2];
  }
}

}  // namespace
