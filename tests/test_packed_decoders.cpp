#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <random>

#include <Eigen/LU>  // determinant

#include "tree/packed_decoders.h"
#include "test_messages.h"

using namespace test_messages;

namespace {

// Runs f and returns the check text it was rejected with ("" if accepted).
template <typename F>
std::string rejection(F&& f) {
  try {
    f();
  } catch (const decode_error& e) {
    return e.what();
  }
  return "";
}

const vertex_t* asVertices(const std::vector<uint8_t>& buf) {
  return reinterpret_cast<const vertex_t*>(buf.data());
}

TEST(VarInt, ReadsGroupsLeastSignificantFirstAndAdvances) {
  const std::string packed = varInt(5) + varInt(300) + varInt(1 << 28);
  int index = 0;
  EXPECT_EQ(unpackVarInt(packed, &index), 5);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(unpackVarInt(packed, &index), 300);
  EXPECT_EQ(index, 3);
  EXPECT_EQ(unpackVarInt(packed, &index), 1 << 28);
  EXPECT_EQ(index, static_cast<int>(packed.size()));
  EXPECT_EQ(rejection([&] { unpackVarInt(packed, &index); }), "*index < size");
}

TEST(VarInt, RejectsUnterminatedAndOutOfRangeStarts) {
  int index = 0;
  EXPECT_EQ(rejection([&] { unpackVarInt(std::string("\x80\x80", 2), &index); }), "*index < size");
  index = 0;
  EXPECT_EQ(rejection([&] { unpackVarInt("", &index); }), "*index < size");
  index = -1;
  EXPECT_EQ(rejection([&] { unpackVarInt("\x01", &index); }), "*index < size");
}

// Five and more groups wrap in 32 bits, the way the encoder's signed
// arithmetic produced them: a negative count arrives as five bytes, and
// groups past the 32nd bit add nothing.
TEST(VarInt, LongNumbersWrapInThirtyTwoBits) {
  int index = 0;
  EXPECT_EQ(unpackVarInt(varInt(-1), &index), -1);
  EXPECT_EQ(index, 5);
  index = 0;
  EXPECT_EQ(unpackVarInt(varInt(INT32_MIN), &index), INT32_MIN);
  index = 0;
  const std::string ten_groups("\xff\xff\xff\xff\xff\xff\xff\xff\xff\x01", 10);
  EXPECT_EQ(unpackVarInt(ten_groups, &index), -1);
  EXPECT_EQ(index, 10);
}

TEST(Vertices, DeltasWrapAndTrailingBytesAreIgnored) {
  // 7 bytes: two vertices; planes X = {200, 100}, Y = {1, 2}, Z = {3, 4}.
  const std::string packed("\xc8\x64\x01\x02\x03\x04\x63", 7);
  const std::vector<uint8_t> buf = unpackVertices(packed);
  ASSERT_EQ(buf.size(), 16u);
  const vertex_t* v = asVertices(buf);
  EXPECT_EQ(v[0].x, 200);
  EXPECT_EQ(v[1].x, 44);
  EXPECT_EQ(v[0].y, 1);
  EXPECT_EQ(v[1].y, 3);
  EXPECT_EQ(v[0].z, 3);
  EXPECT_EQ(v[1].z, 7);
  EXPECT_EQ(v[1].w, 0);
  EXPECT_EQ(v[1].u, 0);
  EXPECT_TRUE(unpackVertices("").empty());
  EXPECT_TRUE(unpackVertices("ab").empty());
}

TEST(TexCoords, WrapModuloTheHeaderAndSetDefaultOffsetAndScale) {
  std::vector<uint8_t> buf(16);
  // u_mod 10: deltas 7 and 5 give 7, then 2; v_mod 65536 with high bytes.
  const std::string packed("\x09\x00\xff\xff" "\x07\x05" "\x34\x00" "\x00\x00" "\x12\xff", 12);
  Eigen::Vector2f offset, scale;
  unpackTexCoords(packed, buf.data(), buf.size(), offset, scale);
  const vertex_t* v = asVertices(buf);
  EXPECT_EQ(v[0].u, 7);
  EXPECT_EQ(v[1].u, 2);
  EXPECT_EQ(v[0].v, 0x1234);
  EXPECT_EQ(v[1].v, (0x1234 + 0xff00) % 65536);
  EXPECT_EQ(offset, Eigen::Vector2f(0.5f, 0.5f));
  EXPECT_FLOAT_EQ(scale.x(), 0.1f);
  EXPECT_FLOAT_EQ(scale.y(), 1.0f / 65536);
}

TEST(TexCoords, LengthMustMatchTheVertexCount) {
  const char* check = "count * 4 == (packed.size() - 4) && packed.size() >= 4";
  Eigen::Vector2f offset, scale;
  EXPECT_EQ(rejection([&] { unpackTexCoords(std::string(4, '\0'), nullptr, 0, offset, scale); }), "");
  EXPECT_EQ(rejection([&] { unpackTexCoords(std::string(3, '\0'), nullptr, 0, offset, scale); }), check);
  std::vector<uint8_t> buf(16);
  EXPECT_EQ(rejection([&] { unpackTexCoords(std::string(11, '\0'), buf.data(), 16, offset, scale); }), check);
  EXPECT_EQ(rejection([&] { unpackTexCoords(std::string(13, '\0'), buf.data(), 16, offset, scale); }), check);
}

TEST(Indices, CodesCountBackFromTheNextNewVertex) {
  EXPECT_EQ(unpackIndices(varInts({5, 0, 0, 0, 1, 0})), (std::vector<uint16_t>{0, 1, 2, 2, 3}));
  EXPECT_EQ(unpackIndices(varInts({4, 0, 0, 1, 0})), (std::vector<uint16_t>{0, 1, 1, 2}));
  EXPECT_EQ(unpackIndices(varInts({2, 1, 0})), (std::vector<uint16_t>{65535, 0}));
  EXPECT_TRUE(unpackIndices(varInts({0})).empty());
  // Bytes after the last code are ignored.
  EXPECT_EQ(unpackIndices(varInts({1, 0, 7, 7})), (std::vector<uint16_t>{0}));
}

TEST(Indices, RejectsStripsTheBytesCannotHold) {
  EXPECT_EQ(rejection([] { unpackIndices(""); }), "*index < size");
  EXPECT_EQ(rejection([] { unpackIndices(varInts({3, 0, 0})); }), "strip_len <= packed.size() - index");
  // A hostile length far beyond the data must not reach the allocator.
  EXPECT_EQ(rejection([] { unpackIndices(varInt(INT32_MAX) + "\x00"); }),
            "strip_len <= packed.size() - index");
  EXPECT_EQ(rejection([] { unpackIndices(varInt(-1) + "\x00"); }), "strip_len >= 0");
  // Enough bytes, but the last code never ends.
  EXPECT_EQ(rejection([] { unpackIndices(varInts({2, 0}) + "\x80"); }), "*index < size");
}

TEST(Indices, RoundTripOfRandomStrips) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 50; ++trial) {
    std::vector<uint16_t> strip;
    int next_new = 0;
    const int len = static_cast<int>(rng() % 400);
    for (int i = 0; i < len; ++i) {
      if (next_new == 0 || rng() % 3 == 0) {
        strip.push_back(static_cast<uint16_t>(next_new++));
      } else {
        strip.push_back(static_cast<uint16_t>(rng() % next_new));
      }
    }
    ASSERT_EQ(unpackIndices(packIndices(strip)), strip);
  }
}

TEST(VerticesAndTexCoords, RoundTripOfRandomMeshes) {
  std::mt19937 rng(11);
  for (int trial = 0; trial < 20; ++trial) {
    const size_t n = rng() % 300;
    const int u_mod = 1 + static_cast<int>(rng() % 65536), v_mod = 1 + static_cast<int>(rng() % 65536);
    std::vector<std::array<uint8_t, 3>> xyz(n);
    std::vector<std::array<uint16_t, 2>> uv(n);
    for (size_t i = 0; i < n; ++i) {
      xyz[i] = {static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng()), static_cast<uint8_t>(rng())};
      uv[i] = {static_cast<uint16_t>(rng() % u_mod), static_cast<uint16_t>(rng() % v_mod)};
    }
    std::vector<uint8_t> buf = unpackVertices(packVertices(xyz));
    ASSERT_EQ(buf.size(), 8 * n);
    Eigen::Vector2f offset, scale;
    unpackTexCoords(packTexCoords(u_mod, v_mod, uv), buf.data(), buf.size(), offset, scale);
    const vertex_t* v = asVertices(buf);
    for (size_t i = 0; i < n; ++i) {
      ASSERT_EQ(v[i].x, xyz[i][0]);
      ASSERT_EQ(v[i].y, xyz[i][1]);
      ASSERT_EQ(v[i].z, xyz[i][2]);
      ASSERT_EQ(v[i].u, uv[i][0]);
      ASSERT_EQ(v[i].v, uv[i][1]);
    }
    EXPECT_FLOAT_EQ(scale.x(), static_cast<float>(1.0 / u_mod));
  }
}

struct OctantFixture : ::testing::Test {
  std::vector<uint16_t> indices;
  std::vector<uint8_t> vertices;
  int bounds[10];

  void SetUp() override {
    for (int i = 0; i < 40; ++i) indices.push_back(static_cast<uint16_t>(i % 20));
    vertices.assign(20 * 8, 0);
    std::fill(std::begin(bounds), std::end(bounds), -7);
  }
  std::string run(const std::vector<int32_t>& runs) {
    return rejection([&] {
      unpackOctantMaskAndOctantCountsAndLayerBounds(packRuns(runs), indices.data(),
                                                    static_cast<int>(indices.size()), vertices.data(),
                                                    static_cast<int>(vertices.size()), bounds);
    });
  }
  int octant(int vertex) const { return asVertices(vertices)[vertex].w; }
};

TEST_F(OctantFixture, OneLayerOfRunsStampsOctantsAndBoundsTheLayer) {
  ASSERT_EQ(run({2, 0, 3, 0, 0, 0, 0, 1}), "");
  EXPECT_EQ(bounds[0], 0);
  for (int m = 1; m < 10; ++m) EXPECT_EQ(bounds[m], 6);
  EXPECT_EQ(octant(0), 0);
  EXPECT_EQ(octant(1), 0);
  EXPECT_EQ(octant(2), 2);  // the empty run 1 stamped nothing
  EXPECT_EQ(octant(4), 2);
  EXPECT_EQ(octant(5), 7);
  EXPECT_EQ(octant(6), 0);  // beyond every run
}

TEST_F(OctantFixture, TwentyRunsGiveThreeLayerStarts) {
  std::vector<int32_t> runs(20, 1);
  runs[3] = 4;  // layer 0 totals 11, layer 1 totals 8, layer 2 totals 4
  ASSERT_EQ(run(runs), "");
  EXPECT_EQ(bounds[0], 0);
  EXPECT_EQ(bounds[1], 11);
  EXPECT_EQ(bounds[2], 19);
  for (int m = 3; m < 10; ++m) EXPECT_EQ(bounds[m], 23);
  // Vertex 0 is referenced by the runs of layer 0 octant 0 and layer 2
  // octant 1 (index 20): the last run wins.
  EXPECT_EQ(octant(0), 1);
}

TEST_F(OctantFixture, NoRunsLeavesAllBoundsZero) {
  ASSERT_EQ(run({}), "");
  for (int m = 0; m < 10; ++m) EXPECT_EQ(bounds[m], 0);
  ASSERT_EQ(rejection([&] {
              unpackOctantMaskAndOctantCountsAndLayerBounds(varInt(-3), indices.data(), 40,
                                                            vertices.data(), 160, bounds);
            }),
            "");
  for (int m = 0; m < 10; ++m) EXPECT_EQ(bounds[m], 0);
}

TEST_F(OctantFixture, TheEightyFirstRunIsRejected) {
  EXPECT_EQ(run(std::vector<int32_t>(80, 0)), "");
  EXPECT_EQ(run(std::vector<int32_t>(81, 0)), "m < 10");
}

TEST_F(OctantFixture, IndicesMustNameVerticesAndStayInsideTheList) {
  indices[0] = 20;  // equal to the vertex count
  EXPECT_EQ(run({1}), "0 <= vtx_i && vtx_i < vertices_len / sizeof(vertex_t)");
  indices[0] = 19;  // the last vertex
  EXPECT_EQ(run({1}), "");
  vertices.assign(60 * 8, 0);
  indices[0] = 40;  // a vertex, but not below indices_len
  EXPECT_EQ(run({1}), "0 <= idx && idx < indices_len");
  indices[0] = 39;
  EXPECT_EQ(run({1}), "");
}

TEST_F(OctantFixture, RunsMayNotStepPastOrBackFromTheIndexList) {
  const char* check = "0 <= v && v <= indices_len - p";
  EXPECT_EQ(run({40}), "");
  EXPECT_EQ(run({41}), check);
  EXPECT_EQ(run({30, 0, 11}), check);
  EXPECT_EQ(run({5, -3, 1}), check);
  EXPECT_EQ(run({INT32_MAX, INT32_MAX}), check);
  EXPECT_EQ(rejection([&] {
              unpackOctantMaskAndOctantCountsAndLayerBounds(varInts({2, 1}), indices.data(), 40,
                                                            vertices.data(), 160, bounds);
            }),
            "*index < size");
}

std::vector<uint8_t> forNormals(const std::string& packed, std::string* check = nullptr) {
  NodeData nd;
  nd.set_for_normals(packed);
  uint8_t* table = nullptr;
  int len = 0;
  std::string failed = rejection([&] { len = unpackForNormals(nd, &table); });
  if (check) *check = failed;
  std::unique_ptr<uint8_t[]> owned(table);
  if (!failed.empty()) return {};
  return std::vector<uint8_t>(table, table + len);
}

TEST(ForNormals, WorkedExamples) {
  // s = 0: r is the identity. 255/0 folds to (0.5, 0.5) with a negative z.
  EXPECT_EQ(forNormals(std::string("\x01\x00\x00\xff\x00", 5)), (std::vector<uint8_t>{0, 127, 127}));
  // 127/127 lies inside the square: a = f = 127/255, z = 253/255; scaled to
  // length 127 that is 127 + 126.998 and 127 - 0.512.
  EXPECT_EQ(forNormals(std::string("\x01\x00\x00\x7f\x7f", 5)), (std::vector<uint8_t>{254, 126, 126}));
  // s >= 7 expands only the low bit: 0 gives a = f = 0, folded to (0.5, 0.5).
  EXPECT_EQ(forNormals(std::string("\x01\x00\x09\x00\x00", 5)), (std::vector<uint8_t>{0, 127, 127}));
}

TEST(ForNormals, RejectsMissingShortAndMismatchedTables) {
  std::string check;
  EXPECT_TRUE(forNormals(std::string(3, '\0'), &check).empty());
  EXPECT_EQ(check, "");
  forNormals(std::string(2, '\0'), &check);
  EXPECT_EQ(check, "size > 2");
  forNormals(std::string("\x02\x00\x00\x01\x02\x03", 6), &check);
  EXPECT_EQ(check, "count * 2 == size - 3");
  forNormals(std::string("\xff\xff\x00", 3), &check);
  EXPECT_EQ(check, "count * 2 == size - 3");
  NodeData without;
  uint8_t* table = nullptr;
  EXPECT_EQ(rejection([&] { unpackForNormals(without, &table); }), "nodeData.has_for_normals()");
  EXPECT_EQ(table, nullptr);
}

TEST(Normals, LookUpTheTableAndRejectIndicesPastIt) {
  const uint8_t table[6] = {1, 2, 3, 4, 5, 6};
  Mesh mesh;
  mesh.set_normals(std::string("\x01\x00\x00\x00\x09", 5));  // entries 1 and 0; odd byte ignored
  uint8_t* out = nullptr;
  int len = unpackNormals(mesh, table, 6, &out);
  std::unique_ptr<uint8_t[]> owned(out);
  ASSERT_EQ(len, 8);
  EXPECT_EQ(std::vector<uint8_t>(out, out + 8), (std::vector<uint8_t>{4, 5, 6, 0, 1, 2, 3, 0}));

  mesh.set_normals(std::string("\x02\x00", 2));
  uint8_t* bad = nullptr;
  EXPECT_EQ(rejection([&] { unpackNormals(mesh, table, 6, &bad); }), "3 * j + 2 < unpacked_for_normals_len");
  EXPECT_EQ(bad, nullptr);
  mesh.set_normals(std::string("\x00\x01", 2));  // j = 256 from the high plane
  EXPECT_EQ(rejection([&] { unpackNormals(mesh, table, 6, &bad); }), "3 * j + 2 < unpacked_for_normals_len");
}

TEST(Normals, WithoutNormalsEveryRecordIsTheNullVector) {
  Mesh mesh;
  mesh.set_vertices(std::string(7, '\x01'));  // two packed vertices
  mesh.set_normals(std::string("\x00\x00", 2));
  uint8_t* out = nullptr;
  int len = unpackNormals(mesh, nullptr, 0, &out);  // no table
  std::unique_ptr<uint8_t[]> owned(out);
  ASSERT_EQ(len, 64);
  for (int i = 0; i < len; i += 4) {
    ASSERT_EQ(out[i], 127);
    ASSERT_EQ(out[i + 1], 127);
    ASSERT_EQ(out[i + 2], 127);
    ASSERT_EQ(out[i + 3], 0);
  }
}

TEST(Obb, ScalesOffsetsAndExtentsInSinglePrecision) {
  const Eigen::Vector3f head(6371010.0f, -1.5f, 1000.25f);
  const OrientedBoundingBox box = unpackObb(packObb({-2, 3, 32767}, {1, 0, 255}, {0, 0, 0}), head, 0.3f);
  EXPECT_EQ(box.center.x(), static_cast<double>(-2 * 0.3f + 6371010.0f));
  EXPECT_EQ(box.center.y(), static_cast<double>(3 * 0.3f - 1.5f));
  EXPECT_EQ(box.center.z(), static_cast<double>(32767 * 0.3f + 1000.25f));
  // At planetary magnitude the float sum drops the offset's fraction.
  EXPECT_EQ(box.center.x(), 6371009.5);
  EXPECT_EQ(box.extents, Eigen::Vector3d(static_cast<double>(0.3f), 0.0, static_cast<double>(255 * 0.3f)));
  EXPECT_EQ(box.orientation, Eigen::Matrix3d::Identity());
}

TEST(Obb, EulerAnglesComposeZxz) {
  const Eigen::Vector3f head(0, 0, 0);
  Eigen::Matrix3d quarter_x;
  quarter_x << 1, 0, 0, 0, 0, -1, 0, 1, 0;
  EXPECT_TRUE(unpackObb(packObb({}, {}, {0, 32768, 0}), head, 1).orientation.isApprox(quarter_x, 1e-6));
  // a0 = 16384 is a quarter turn about z: x goes to y.
  Eigen::Matrix3d quarter_z;
  quarter_z << 0, -1, 0, 1, 0, 0, 0, 0, 1;
  EXPECT_TRUE(unpackObb(packObb({}, {}, {16384, 0, 0}), head, 1).orientation.isApprox(quarter_z, 1e-6));
  // Any angles give a rotation.
  const Eigen::Matrix3d r = unpackObb(packObb({}, {}, {12345, 54321, 999}), head, 1).orientation;
  EXPECT_TRUE((r * r.transpose()).isApprox(Eigen::Matrix3d::Identity(), 1e-6));
  EXPECT_NEAR(r.determinant(), 1.0, 1e-6);
}

TEST(Obb, OnlyFifteenBytes) {
  const Eigen::Vector3f head(0, 0, 0);
  const std::string box = packObb({}, {}, {});
  EXPECT_EQ(rejection([&] { unpackObb(box.substr(0, 14), head, 1); }), "packed.size() == 15");
  EXPECT_EQ(rejection([&] { unpackObb(box + "x", head, 1); }), "packed.size() == 15");
  EXPECT_EQ(rejection([&] { unpackObb("", head, 1); }), "packed.size() == 15");
}

TEST(PathAndFlags, WorkedExamplesAndSignedFlags) {
  NodeMetadata meta;
  meta.set_path_and_flags(140);
  node_data_path_and_flags_t aux = unpackPathAndFlags(meta);
  EXPECT_EQ(aux.level, 1);
  EXPECT_STREQ(aux.path, "3");
  EXPECT_EQ(aux.flags, 4);

  meta.set_path_and_flags(6691);
  aux = unpackPathAndFlags(meta);
  EXPECT_EQ(aux.level, 4);
  EXPECT_STREQ(aux.path, "0123");
  EXPECT_EQ(aux.flags, 0);

  // The flags are what an arithmetic shift leaves: the top bit propagates.
  meta.set_path_and_flags(0xFFFFFFFFu);
  aux = unpackPathAndFlags(meta);
  EXPECT_EQ(aux.level, 4);
  EXPECT_STREQ(aux.path, "7777");
  EXPECT_EQ(aux.flags, -1);

  meta.set_path_and_flags(packPathAndFlags("765", 8 | 16));
  aux = unpackPathAndFlags(meta);
  EXPECT_STREQ(aux.path, "765");
  EXPECT_EQ(aux.flags, 24);
}

}  // namespace
