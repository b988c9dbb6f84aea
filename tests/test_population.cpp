#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <functional>

#include "tree/population.h"
#include "test_messages.h"

using namespace test_messages;
using testing::internal::CaptureStderr;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStderr;
using testing::internal::GetCapturedStdout;

namespace {

TEST(Planetoid, CreatesTheRootBulkAsAStubAndPublishesLast) {
  auto meta = std::make_unique<PlanetoidMetadata>();
  meta->mutable_root_node_metadata()->set_epoch(42);
  meta->set_radius(6371010.0f);
  rocktree_t planet{};
  populatePlanetoid(&planet, std::move(meta));
  ASSERT_TRUE(planet.downloaded.load());
  EXPECT_EQ(planet.radius, 6371010.0f);
  ASSERT_NE(planet.root_bulk, nullptr);
  const bulk_t* root = planet.root_bulk;
  EXPECT_TRUE(root->request.node_key().has_path());
  EXPECT_EQ(root->request.node_key().path(), "");
  EXPECT_EQ(root->request.node_key().epoch(), 42u);
  EXPECT_EQ(root->dl_state.load(), dl_state_stub);
  EXPECT_EQ(root->busy_ctr.load(), 0);
  EXPECT_EQ(root->parent, nullptr);
  EXPECT_FALSE(planet._metadata);
  delete planet.root_bulk;  // the viewer never frees it; a test does
}

// A bulk at "4567" under a root bulk, fetched as the traversal would.
struct BulkFixture : ::testing::Test {
  std::unique_ptr<bulk_t> root = std::make_unique<bulk_t>();
  bulk_t* bulk = nullptr;

  void SetUp() override {
    root->setNotDownloadedYet();
    auto b = std::make_unique<bulk_t>();
    b->parent = root.get();
    b->request.mutable_node_key()->set_path("4567");
    b->setNotDownloadedYet();
    bulk = b.get();
    root->bulks.emplace("4567", std::move(b));
    bulk->setStartedDownloading();
  }

  static BulkMetadata message() {
    BulkMetadata m;
    m.mutable_head_node_key()->set_path("4567");
    m.mutable_head_node_key()->set_epoch(7);
    m.add_head_node_center(6371010.3);
    m.add_head_node_center(-12.25);
    m.add_head_node_center(1e-3);
    for (float mpt : {1.0f, 2.0f, 3.0f, 4.0f}) m.add_meters_per_texel(mpt);
    m.set_default_available_texture_formats(33);  // CRN and JPG
    m.set_default_imagery_epoch(55);
    return m;
  }

  static NodeMetadata* entry(BulkMetadata& m, const std::string& path, int flags, bool box = true) {
    NodeMetadata* e = m.add_node_metadata();
    e->set_path_and_flags(packPathAndFlags(path, flags));
    if (box) e->set_oriented_bounding_box(packObb({10, -20, 30}, {5, 6, 7}, {0, 0, 0}));
    return e;
  }

  bool populate(BulkMetadata m, std::string* out = nullptr, std::string* err = nullptr) {
    CaptureStdout();
    CaptureStderr();
    bool ok = populateBulk(bulk, std::make_unique<BulkMetadata>(std::move(m)));
    std::string o = GetCapturedStdout(), e = GetCapturedStderr();
    if (out) *out = o;
    if (err) *err = e;
    return ok;
  }

  void expectRejected(BulkMetadata m, const std::string& check) {
    std::string err;
    EXPECT_FALSE(populate(std::move(m), nullptr, &err));
    EXPECT_EQ(err, "rejected bulk \"4567\": " + check + "\n");
    EXPECT_EQ(bulk->dl_state.load(), dl_state_stub);
    EXPECT_EQ(root->busy_ctr.load(), 0);
    EXPECT_TRUE(bulk->nodes.empty());
    EXPECT_TRUE(bulk->bulks.empty());
    EXPECT_FALSE(bulk->_metadata);
    EXPECT_EQ(bulk->backoff.failures.load(), 1);
  }
};

TEST_F(BulkFixture, EntriesFollowTheDecisionTable) {
  BulkMetadata m = message();
  NodeMetadata* e = entry(m, "0123", 0);  // child bulk and node with data
  e->set_bulk_metadata_epoch(9);
  e->set_epoch(11);
  e->set_available_texture_formats(1);
  e->set_imagery_epoch(99);  // ignored: no USE_IMAGERY_EPOCH flag
  e->set_meters_per_texel(0.5f);
  entry(m, "0124", NodeMetadata_Flags_NODATA);  // child bulk and node without data
  e = entry(m, "0125", NodeMetadata_Flags_LEAF | NodeMetadata_Flags_USE_IMAGERY_EPOCH);  // node only
  e->set_imagery_epoch(77);
  entry(m, "0126", NodeMetadata_Flags_LEAF | NodeMetadata_Flags_NODATA, false);  // nothing, silently
  entry(m, "0127", NodeMetadata_Flags_LEAF | NodeMetadata_Flags_NODATA);         // nothing, even with a box
  entry(m, "3", 0, false);                                                        // "skip unknown node"
  entry(m, "012", NodeMetadata_Flags_USE_IMAGERY_EPOCH);                          // level 3: third value
  entry(m, "01", NodeMetadata_Flags_NODATA);

  std::string out, err;
  ASSERT_TRUE(populate(std::move(m), &out, &err));
  EXPECT_EQ(out, "skip unknown node\n");
  EXPECT_EQ(err, "");
  EXPECT_EQ(bulk->dl_state.load(), dl_state_downloaded);
  EXPECT_EQ(root->busy_ctr.load(), 1);
  EXPECT_FALSE(bulk->_metadata);
  // Narrowed to float before any box uses it.
  EXPECT_EQ(bulk->head_node_center, Eigen::Vector3f(6371010.3f, -12.25f, 1e-3f));

  ASSERT_EQ(bulk->bulks.size(), 2u);
  const bulk_t* child = bulk->bulks.at("0123").get();
  EXPECT_EQ(child->request.node_key().path(), "45670123");
  EXPECT_EQ(child->request.node_key().epoch(), 9u);
  EXPECT_EQ(child->parent, bulk);
  EXPECT_EQ(child->dl_state.load(), dl_state_stub);
  EXPECT_EQ(child->busy_ctr.load(), 0);
  EXPECT_EQ(bulk->bulks.at("0124")->request.node_key().epoch(), 7u);  // head key's epoch

  ASSERT_EQ(bulk->nodes.size(), 5u);
  for (const auto& [key, n] : bulk->nodes) {
    EXPECT_EQ(n->parent, bulk) << key;
    EXPECT_EQ(n->dl_state.load(), dl_state_stub) << key;
    EXPECT_TRUE(n->meshes.empty()) << key;
  }
  const node_t* n0123 = bulk->nodes.at("0123").get();
  EXPECT_TRUE(n0123->can_have_data);
  EXPECT_EQ(n0123->request.node_key().path(), "45670123");
  EXPECT_EQ(n0123->request.node_key().epoch(), 11u);
  EXPECT_EQ(n0123->request.texture_format(), Texture_Format_JPG);
  EXPECT_FALSE(n0123->request.has_imagery_epoch());
  EXPECT_EQ(n0123->meters_per_texel, 0.5f);
  const OrientedBoundingBox expected_box = unpackObb(packObb({10, -20, 30}, {5, 6, 7}, {0, 0, 0}),
                                                     bulk->head_node_center, 0.5f);
  EXPECT_EQ(n0123->obb.center, expected_box.center);
  EXPECT_EQ(n0123->obb.extents, Eigen::Vector3d(2.5, 3, 3.5));

  const node_t* n0124 = bulk->nodes.at("0124").get();
  EXPECT_FALSE(n0124->can_have_data);
  EXPECT_FALSE(n0124->request.has_node_key());  // never requested, so never filled
  EXPECT_EQ(n0124->meters_per_texel, 4.0f);

  const node_t* n0125 = bulk->nodes.at("0125").get();
  EXPECT_TRUE(n0125->can_have_data);
  EXPECT_EQ(n0125->request.texture_format(), Texture_Format_CRN_DXT1);
  EXPECT_EQ(n0125->request.node_key().epoch(), 7u);
  ASSERT_TRUE(n0125->request.has_imagery_epoch());
  EXPECT_EQ(n0125->request.imagery_epoch(), 77u);

  const node_t* n012 = bulk->nodes.at("012").get();
  EXPECT_EQ(n012->meters_per_texel, 3.0f);
  ASSERT_TRUE(n012->request.has_imagery_epoch());
  EXPECT_EQ(n012->request.imagery_epoch(), 55u);
  EXPECT_FALSE(bulk->nodes.at("01")->can_have_data);
}

TEST_F(BulkFixture, AnEmptyBulkIsStillDownloaded) {
  ASSERT_TRUE(populate(message()));
  EXPECT_EQ(bulk->dl_state.load(), dl_state_downloaded);
  EXPECT_TRUE(bulk->nodes.empty());
  EXPECT_TRUE(bulk->bulks.empty());
}

// Each fault comes after valid entries, which must not survive either.
TEST_F(BulkFixture, AFaultAnywhereRejectsTheWholeMessage) {
  struct fault_t {
    const char* check;
    std::function<void(BulkMetadata&)> spoil;
  };
  const fault_t faults[] = {
      {"bulk->nodes.insert(std::make_pair(aux.path,std::move(n))).second",
       [](BulkMetadata& m) { entry(m, "01", 0); }},
      {"bulk->bulks.insert(std::make_pair(aux.path,std::move(b))).second",
       [](BulkMetadata& m) { entry(m, "0123", NodeMetadata_Flags_NODATA, false); }},
      {"packed.size() == 15",
       [](BulkMetadata& m) { entry(m, "2", 0)->set_oriented_bounding_box(std::string(14, '\0')); }},
      {"bulk_metadata.head_node_center_size() >= 3",
       [](BulkMetadata& m) { m.mutable_head_node_center()->RemoveLast(); }},
      {"aux.level - 1 < bulk_metadata.meters_per_texel_size()",
       [](BulkMetadata& m) {
         m.mutable_meters_per_texel()->RemoveLast();
         entry(m, "2222", NodeMetadata_Flags_LEAF);
       }},
      {"bulk.has_head_node_key() && bulk.head_node_key().has_epoch()",
       [](BulkMetadata& m) { m.mutable_head_node_key()->clear_epoch(); }},
      // A texel size that is not a positive number passes every detail test.
      {"meters_per_texel is finite and above 0",
       [](BulkMetadata& m) { entry(m, "2", 0)->set_meters_per_texel(std::nanf("")); }},
      {"meters_per_texel is finite and above 0",
       [](BulkMetadata& m) { entry(m, "2", 0)->set_meters_per_texel(-1.0f); }},
      {"meters_per_texel is finite and above 0",
       [](BulkMetadata& m) {
         m.set_meters_per_texel(1, INFINITY);  // level 2, from the bulk's table
         entry(m, "22", 0);
       }},
  };
  for (const fault_t& f : faults) {
    SCOPED_TRACE(f.check);
    BulkMetadata m = message();
    entry(m, "01", 0);
    entry(m, "0123", 0);
    f.spoil(m);
    expectRejected(std::move(m), f.check);
    // The traversal may fetch it again; a good message then populates it.
    bulk->backoff.failures = 0;
    bulk->setStartedDownloading();
    BulkMetadata good = message();
    entry(good, "01", 0);
    ASSERT_TRUE(populate(std::move(good)));
    EXPECT_EQ(bulk->nodes.size(), 1u);
    EXPECT_EQ(bulk->backoff.failures.load(), 0);
    bulk->nodes.clear();  // as the release stage would
    bulk->setDeleted();
    bulk->setStartedDownloading();
  }
}

// A node "0123" of a bulk, fetched as the traversal would.
struct NodeFixture : ::testing::Test {
  std::unique_ptr<bulk_t> bulk = std::make_unique<bulk_t>();
  node_t* node = nullptr;

  void SetUp() override {
    bulk->setNotDownloadedYet();
    auto n = std::make_unique<node_t>();
    n->parent = bulk.get();
    n->can_have_data = true;
    n->request.mutable_node_key()->set_path("0123");
    n->setNotDownloadedYet();
    node = n.get();
    bulk->nodes.emplace("0123", std::move(n));
    node->setStartedDownloading();
  }

  static const std::string& jpeg256() {
    static const std::string jpeg = makeJpeg(256, 256, 3, 95);
    return jpeg;
  }

  // One mesh of 8 x 8 vertices plus 3 referenced only by a hidden layer.
  static NodeData message(const std::string& texture = jpeg256(), Texture_Format format = Texture_Format_JPG,
                          int width = 256, int height = 256) {
    NodeData nd = nodeDataWithMatrix();
    Mesh* mesh = nd.add_meshes();
    fillMesh(mesh, gridMesh(8, 3));
    setTexture(mesh, format, texture, width, height);
    return nd;
  }

  bool populate(NodeData nd, std::string* err = nullptr) {
    CaptureStderr();
    bool ok = populateNode(node, std::make_unique<NodeData>(std::move(nd)));
    std::string e = GetCapturedStderr();
    if (err) *err = e;
    return ok;
  }

  void expectRejected(NodeData nd, const std::string& check) {
    const int failures = node->backoff.failures.load();
    std::string err;
    EXPECT_FALSE(populate(std::move(nd), &err));
    EXPECT_EQ(err, "rejected node \"0123\": " + check + "\n");
    EXPECT_EQ(node->dl_state.load(), dl_state_stub);
    EXPECT_EQ(bulk->busy_ctr.load(), 0);
    EXPECT_TRUE(node->meshes.empty());
    EXPECT_EQ(node->backoff.failures.load(), failures + 1);
  }
};

TEST_F(NodeFixture, AJpegMeshIsDecodedForTheGpu) {
  const grid_mesh_t grid = gridMesh(8, 3);
  NodeData nd = message();
  nd.mutable_meshes(0)->mutable_texture(0)->clear_width();  // the default is 256
  nd.mutable_meshes(0)->mutable_texture(0)->clear_height();
  ASSERT_TRUE(populate(std::move(nd)));
  EXPECT_EQ(node->dl_state.load(), dl_state_downloaded);
  EXPECT_EQ(bulk->busy_ctr.load(), 1);
  EXPECT_EQ(node->matrix_globe_from_mesh(1, 0), 1.0);  // value k at row k % 4, column k / 4
  EXPECT_EQ(node->matrix_globe_from_mesh(0, 1), 4.0);
  EXPECT_EQ(node->matrix_globe_from_mesh(3, 3), 15.0);
  ASSERT_EQ(node->meshes.size(), 1u);
  const mesh_t& m = node->meshes[0];

  // The strip keeps layers 0-2 only; the hidden layer's vertices stay,
  // stamped with their octant.
  const size_t drawn = grid.strip.size() - 3;
  EXPECT_EQ(m.indices, std::vector<uint16_t>(grid.strip.begin(), grid.strip.begin() + drawn));
  ASSERT_EQ(m.vertices.size(), grid.xyz.size() * 8);
  const vertex_t* v = reinterpret_cast<const vertex_t*>(m.vertices.data());
  for (size_t i = grid.xyz.size() - 3; i < grid.xyz.size(); ++i) EXPECT_EQ(v[i].w, 5);
  EXPECT_EQ(v[0].w, 0);
  EXPECT_EQ(v[grid.strip[drawn - 1]].w, 3);
  EXPECT_EQ(v[5].x, grid.xyz[5][0]);
  EXPECT_EQ(v[5].u, grid.uv[5][0]);

  // No explicit offset and scale: v is flipped to 1 - (v + 0.5) / 256.
  EXPECT_EQ(m.uv_offset, Eigen::Vector2f(0.5f, 0.5f - 256.0f));
  EXPECT_EQ(m.uv_scale, Eigen::Vector2f(1.0f / 256, -1.0f / 256));

  EXPECT_EQ(m.texture_format, rocktree_t::texture_format_rgb);
  EXPECT_EQ(m.texture_width, 256);
  EXPECT_EQ(m.texture_height, 256);
  EXPECT_FALSE(m.buffered);
  ASSERT_EQ(m.texture.size(), 256u * 256 * 3);
  const std::vector<uint8_t> original = patternPixels(256, 256, 3);
  double error = 0;
  for (size_t i = 0; i < original.size(); ++i) error += std::abs(int(original[i]) - int(m.texture[i]));
  // JPEG is lossy (the pattern's wrap-around edges cost most); a shifted,
  // flipped or swizzled image is off by tens.
  EXPECT_LT(error / original.size(), 8.0) << "the decoded pixels are not the image's";
}

TEST_F(NodeFixture, OffsetAndScaleAreReplacedOnlyByExactlyFourValues) {
  NodeData nd = message();
  for (float f : {0.25f, 0.5f, 2.0f, 4.0f}) nd.mutable_meshes(0)->add_uv_offset_and_scale(f);
  Mesh second = nd.meshes(0);
  second.add_uv_offset_and_scale(8.0f);  // five values: flipped
  *nd.add_meshes() = second;
  ASSERT_TRUE(populate(std::move(nd)));
  ASSERT_EQ(node->meshes.size(), 2u);
  EXPECT_EQ(node->meshes[0].uv_offset, Eigen::Vector2f(0.25f, 0.5f));
  EXPECT_EQ(node->meshes[0].uv_scale, Eigen::Vector2f(2.0f, 4.0f));
  EXPECT_EQ(node->meshes[1].uv_scale, Eigen::Vector2f(1.0f / 256, -1.0f / 256));
}

TEST_F(NodeFixture, ANodeWithoutMeshesIsDownloaded) {
  ASSERT_TRUE(populate(nodeDataWithMatrix()));
  EXPECT_EQ(node->dl_state.load(), dl_state_downloaded);
  EXPECT_TRUE(node->meshes.empty());
}

TEST_F(NodeFixture, AMeshWithEmptyDrawnLayersKeepsItsTexture) {
  NodeData nd = message();
  std::vector<int32_t> runs(24, 0);
  runs.push_back(static_cast<int32_t>(gridMesh(8, 3).strip.size()));  // all in layer 3
  nd.mutable_meshes(0)->set_layer_and_octant_counts(packRuns(runs));
  ASSERT_TRUE(populate(std::move(nd)));
  ASSERT_EQ(node->meshes.size(), 1u);
  EXPECT_TRUE(node->meshes[0].indices.empty());
  EXPECT_EQ(node->meshes[0].texture.size(), 256u * 256 * 3);
}

TEST_F(NodeFixture, OtherImageFormatsPassWhenStbImageReadsThemWithThreeComponents) {
  ASSERT_TRUE(populate(message(makePng(64, 32, 3), Texture_Format_JPG, 64, 32)));
  EXPECT_EQ(node->meshes[0].texture, patternPixels(64, 32, 3));  // lossless
  EXPECT_EQ(node->meshes[0].texture_format, rocktree_t::texture_format_rgb);
}

// Each colour channel is scaled by the black channel, as the viewer's image
// decoder always did it.
TEST_F(NodeFixture, ACmykJpegIsConvertedToRgb) {
  ASSERT_TRUE(populate(message(makeJpeg(32, 16, 4, 100), Texture_Format_JPG, 32, 16)));
  const std::vector<uint8_t>& rgb = node->meshes[0].texture;
  ASSERT_EQ(rgb.size(), 32u * 16 * 3);
  const std::vector<uint8_t> cmyk = patternPixels(32, 16, 4);
  double error = 0;
  for (size_t i = 0; i < 32 * 16; ++i)
    for (int c = 0; c < 3; ++c) error += std::abs(cmyk[4 * i + c] * cmyk[4 * i + 3] / 255.0 - rgb[3 * i + c]);
  EXPECT_LT(error / rgb.size(), 8.0);
}

TEST_F(NodeFixture, TexturesMustBeThreeComponentsOfTheAnnouncedSize) {
  const char* check = "width == texture.width() && height == texture.height() && comp == 3";
  expectRejected(message(makeJpeg(256, 256, 1)), check);  // grayscale, right size
  node->setStartedDownloading();
  expectRejected(message(jpeg256(), Texture_Format_JPG, 256, 128), check);
  node->setStartedDownloading();
  expectRejected(message(makePng(256, 256, 4)), check);
  node->setStartedDownloading();
  expectRejected(message(makePng(64, 32, 3), Texture_Format_JPG, 32, 64), check);
}

TEST_F(NodeFixture, UndecodableImagesAreRejected) {
  // A JPEG cut after its header: no pixels.
  expectRejected(message(jpeg256().substr(0, 200)), "pixels != NULL");
  // Only JPEG, PNG and BMP are decoded: a well-formed 2 x 2 PNM is refused
  // like any other data of no known image format.
  const std::string unsupported = "unsupported texture format: 1 (data is not JPEG, PNG or BMP)";
  for (const std::string& data : {std::string("not an image at all"),
                                  std::string("P6\n2 2\n255\n") + std::string(12, '\x80')}) {
    node->setStartedDownloading();
    expectRejected(message(data, Texture_Format_JPG, 2, 2), unsupported);
  }
}

// The decoded textures of all nodes share one budget: a node that would
// take the total over it is refused before anything is decoded, and what a
// released node held can be taken again.
TEST_F(NodeFixture, DecodedTexturesOfAllNodesStayWithinTheBudget) {
  const size_t one_texture = 256 * 256 * 3;
  const size_t saved = decoded_texture_budget.exchange(decodedTextureBytes() + one_texture + 100);
  node_t other{};
  other.can_have_data = true;  // no parent: the fixture counts its bulk's busy children
  other.request.mutable_node_key()->set_path("0124");
  other.setNotDownloadedYet();
  other.setStartedDownloading();
  ASSERT_TRUE(populateNode(&other, std::make_unique<NodeData>(message())));
  EXPECT_EQ(other.decoded_texture_bytes, one_texture);

  expectRejected(message(), "decoded texture bytes of all nodes stay within the texture budget");

  dropNodeContents(&other);
  other.setDeleted();
  node->setStartedDownloading();
  EXPECT_TRUE(populate(message()));
  dropNodeContents(node);
  decoded_texture_budget = saved;
}

// Garbage carries no readable CRN header, so whatever the CRN decoder is,
// its size does not match the announced 250 x 250 (63 * 63 blocks).
TEST_F(NodeFixture, CrnTexturesAreCheckedAgainstTheirSize) {
  expectRejected(message(std::string(1000, '\x5a'), Texture_Format_CRN_DXT1, 250, 250),
                 "dst_size == ((texture.width() + 3) / 4) * ((texture.height() + 3) / 4) * 8");
}

TEST_F(NodeFixture, MalformedNodesAreRejectedWhole) {
  struct fault_t {
    const char* check;
    std::function<void(NodeData&)> spoil;
  };
  const fault_t faults[] = {
      {"node_data.matrix_globe_from_mesh_size() >= 16",
       [](NodeData& nd) { nd.mutable_matrix_globe_from_mesh()->RemoveLast(); }},
      {"unsupported texture format: 3",
       [](NodeData& nd) { nd.mutable_meshes(1)->mutable_texture(0)->set_format(Texture_Format_ETC1); }},
      {"textures.size() == 1",
       [](NodeData& nd) { *nd.mutable_meshes(1)->add_texture() = nd.meshes(1).texture(0); }},
      {"textures.size() == 1", [](NodeData& nd) { nd.mutable_meshes(1)->clear_texture(); }},
      {"texture.data().size() == 1",
       [](NodeData& nd) { nd.mutable_meshes(1)->mutable_texture(0)->add_data("x"); }},
      {"texture.width() <= 8192 && texture.height() <= 8192",
       [](NodeData& nd) { nd.mutable_meshes(1)->mutable_texture(0)->set_height(1u << 31); }},
      {"*index < size", [](NodeData& nd) { nd.mutable_meshes(1)->clear_indices(); }},
      {"count * 4 == (packed.size() - 4) && packed.size() >= 4",
       [](NodeData& nd) { nd.mutable_meshes(1)->mutable_vertices()->append("abc"); }},
      {"m < 10",
       [](NodeData& nd) {
         nd.mutable_meshes(1)->set_layer_and_octant_counts(packRuns(std::vector<int32_t>(81, 0)));
       }},
  };
  for (const fault_t& f : faults) {
    SCOPED_TRACE(f.check);
    // The first mesh is good; it must be discarded with the second.
    NodeData nd = message();
    *nd.add_meshes() = nd.meshes(0);
    f.spoil(nd);
    expectRejected(std::move(nd), f.check);
    node->backoff.failures = 0;
    node->setStartedDownloading();
  }
  // The same node populates once a good message comes.
  ASSERT_TRUE(populate(message()));
  EXPECT_EQ(node->meshes.size(), 1u);
  EXPECT_EQ(node->backoff.failures.load(), 0);
}

// Announced sizes are bounded before anything is allocated for them: per
// texture, and for all textures of a node together.
TEST_F(NodeFixture, TextureSizesAreBounded) {
  NodeData nd = message();
  nd.mutable_meshes(0)->mutable_texture(0)->set_width(8193);
  expectRejected(std::move(nd), "texture.width() <= 8192 && texture.height() <= 8192");
  node->setStartedDownloading();
  nd = message(jpeg256(), Texture_Format_JPG, 8192, 8192);  // 192 MiB each
  *nd.add_meshes() = nd.meshes(0);
  expectRejected(std::move(nd), "decoded texture bytes of the node <= 256 MiB");
}

TEST_F(NodeFixture, ANodeWithoutDataIsNeverPopulated) {
  node->can_have_data = false;
  expectRejected(message(), "node->can_have_data");
}

}  // namespace
