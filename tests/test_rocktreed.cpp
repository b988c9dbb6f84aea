// rocktreed in process: the request parser, the cache, and the planet it
// serves read back with the viewer's own population code.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

#include <Eigen/Geometry>

#include "planet/node_builder.h"
#include "http/request_parser.h"
#include "tree/population.h"
#include "net/retrieval.h"
#include "http/caching_headers.h"
#include "http/routing.h"
#include "test_rasters.h"

namespace {

service_t* planet() {
  static service_t* s = [] {
    auto* out = new service_t;
    std::string error;
    if (!openService(out, default_relief_path, default_imagery_path, format_bit_jpg, 64 << 20, &error))
      ADD_FAILURE() << error;
    return out;
  }();
  return s;
}

std::string bulkTarget(const std::string& path, uint32_t epoch = planet_epoch) {
  return std::string(request_base) + bulkRequestPath(path, epoch);
}
std::string nodeTarget(const std::string& path, int format = 1, uint32_t epoch = planet_epoch) {
  return std::string(request_base) + nodeRequestPath(path, epoch, static_cast<uint32_t>(format));
}

// --- request parsing --------------------------------------------------------

TEST(RequestParser, AcceptsTheThreeForms) {
  parsed_request_t r = parseRequestTarget("/rt/earth/PlanetoidMetadata");
  EXPECT_EQ(r.kind, request_kind_planetoid);
  r = parseRequestTarget("/rt/earth/BulkMetadata/pb=!1m2!1s!2u0");
  EXPECT_EQ(r.kind, request_kind_bulk);
  EXPECT_EQ(r.path, "");
  r = parseRequestTarget("/rt/earth/NodeData/pb=!1m2!1s01234567!2u4294967295!2e6!4b0");
  ASSERT_EQ(r.kind, request_kind_node);
  EXPECT_EQ(r.path, "01234567");
  EXPECT_EQ(r.epoch, 4294967295u);
  EXPECT_EQ(r.texture_format, 6u);
  EXPECT_FALSE(r.has_imagery_epoch);
  r = parseRequestTarget("/rt/earth/NodeData/pb=!1m2!1s3!2u7!2e1!3u12!4b0");
  ASSERT_EQ(r.kind, request_kind_node);
  EXPECT_TRUE(r.has_imagery_epoch);
  EXPECT_EQ(r.imagery_epoch, 12u);
  // The paths the export names its files by are the viewer's.
  EXPECT_EQ(planetoidRequestPath(), "PlanetoidMetadata");
  EXPECT_EQ(bulkRequestPath("0213", 1001), "BulkMetadata/pb=!1m2!1s0213!2u1001");
  EXPECT_EQ(nodeRequestPath("02131", 1001, 6), "NodeData/pb=!1m2!1s02131!2u1001!2e6!4b0");
}

TEST(RequestParser, RejectsEveryMalformedForm) {
  const char* bad[] = {
      "", "/", "/rt/earth/", "/rt/earth/PlanetoidMetadata/", "/rt/earth/PlanetoidMetadata?x=1",
      "/rt/mars/PlanetoidMetadata", "rt/earth/PlanetoidMetadata",
      "/rt/earth/BulkMetadata/pb=!1m2!1s!2u", "/rt/earth/BulkMetadata/pb=!1m2!1s01!2u1!",
      "/rt/earth/BulkMetadata/pb=!1m2!1s018!2u1", "/rt/earth/BulkMetadata/pb=!1m2!1s0a!2u1",
      "/rt/earth/BulkMetadata/pb=!1m2!1s01!2u-1", "/rt/earth/BulkMetadata/pb=!1m2!1s01!2u+1",
      "/rt/earth/BulkMetadata/pb=!1m2!1s01!2u01", "/rt/earth/BulkMetadata/pb=!1m2!1s01!2u4294967296",
      "/rt/earth/BulkMetadata/pb=!1m2!1s01!2u99999999999999999999999",
      "/rt/earth/BulkMetadata/pb=!1m2!1s01!2u1?x", "/rt/earth/BulkMetadata/pb=!1m2!1s%30!2u1",
      "/rt/earth/BulkMetadata/pb=!1m2!1s0123456701234567012345670123456701!2u1",
      "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e1", "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e1!4b0!4b0",
      "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e0!4b0", "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e7!4b0",
      "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e!4b0", "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e1!3u!4b0",
      "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e1!3u1", "/rt/earth/NodeData/pb=!1m2!1s0!2u1!4b0",
      "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e1!4b1", "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e1!4b0 ",
      "/rt/earth/NodeData/pb=!1m2!1s0!2u1!2e1!3u1!3u1!4b0", "/rt/earth/Nodedata/pb=!1m2!1s0!2u1!2e1!4b0",
  };
  for (const char* target : bad) {
    EXPECT_EQ(parseRequestTarget(target).kind, request_kind_malformed) << target;
    EXPECT_EQ(answerGet(*planet(), target).status, 400) << target;
  }
  // A NUL inside the target is data, not an end.
  const std::string with_nul("/rt/earth/PlanetoidMetadata\0", 28);
  EXPECT_EQ(parseRequestTarget(with_nul).kind, request_kind_malformed);
}

TEST(Service, WellFormedRequestsForWhatDoesNotExistGet404) {
  service_t& s = *planet();
  const std::string paris12 = nodePathOver(48.86, 2.35, 12);
  EXPECT_EQ(answerGet(s, nodeTarget(paris12)).status, 200);
  EXPECT_EQ(answerGet(s, nodeTarget(paris12, 1, planet_epoch + 1)).status, 404);  // other epoch
  EXPECT_EQ(answerGet(s, nodeTarget(paris12, 6)).status, 404);  // CRN not offered here
  EXPECT_EQ(answerGet(s, nodeTarget(paris12, 2)).status, 404);  // DXT1 never
  EXPECT_EQ(answerGet(s, nodeTarget("34")).status, 404);        // digit 4
  EXPECT_EQ(answerGet(s, nodeTarget("32")).status, 404);        // a southern level-2 digit in the north
  EXPECT_EQ(answerGet(s, nodeTarget("")).status, 404);          // the root has no mesh
  EXPECT_EQ(answerGet(s, nodeTarget(nodePathOver(48.86, 2.35, 21))).status, 404);  // below level 20
  EXPECT_EQ(answerGet(s, nodeTarget(nodePathOver(48.86, 2.35, 20))).status, 200);
  EXPECT_EQ(answerGet(s, bulkTarget(nodePathOver(48.86, 2.35, 16))).status, 200);
  EXPECT_EQ(answerGet(s, bulkTarget(nodePathOver(48.86, 2.35, 20))).status, 404);  // leaves head no bulk
  EXPECT_EQ(answerGet(s, bulkTarget(nodePathOver(48.86, 2.35, 6))).status, 404);   // not a bulk level
  EXPECT_EQ(answerGet(s, bulkTarget("", 1)).status, 404);
  const std::string with_imagery = "/rt/earth/NodeData/pb=!1m2!1s" + paris12 + "!2u" +
                                   std::to_string(planet_epoch) + "!2e1!3u";
  EXPECT_EQ(answerGet(s, with_imagery + std::to_string(planet_imagery_epoch) + "!4b0").status, 200);
  EXPECT_EQ(answerGet(s, with_imagery + "1!4b0").status, 404);
  // Deep ocean: the level-12 node is a leaf, so nothing exists below it.
  const std::string pacific = nodePathOver(-30.0, -140.0, 13);
  EXPECT_TRUE(nodeIsLeaf(s.terrain, pacific.substr(0, 12)));
  EXPECT_EQ(answerGet(s, nodeTarget(pacific.substr(0, 12))).status, 200);
  EXPECT_EQ(answerGet(s, nodeTarget(pacific)).status, 404);
}

// --- HTTP caching and metrics ------------------------------------------------------

TEST(CachingHeaders, IfNoneMatchMatchesOnlyAWellFormedListNamingTheTag) {
  const std::string tag = entityTag("some bytes");
  ASSERT_EQ(tag.size(), 18u);
  EXPECT_EQ(tag, entityTag(std::string("some bytes")));
  EXPECT_NE(tag, entityTag("some bytez"));
  const std::string hits[] = {tag, "*", " * ", "W/" + tag, "\"a\", " + tag, "\"a\",W/" + tag + " ,",
                              ", ," + tag, "\t" + tag + "\t"};
  for (const std::string& h : hits) EXPECT_TRUE(ifNoneMatchHits(h, tag)) << h;
  const std::string misses[] = {"", " ", "*,*", "**", tag.substr(1), tag.substr(0, 17), "w/" + tag,
                                "W/W/" + tag, tag + "x", "\"a\" \"b\", " + tag, "\"a\x7f\", " + tag,
                                "\"\", " + tag.substr(1), std::string(10000, '"'), std::string(10000, ','),
                                std::string("\"\0\", ", 5) + tag, entityTag("other")};
  for (const std::string& h : misses) EXPECT_FALSE(ifNoneMatchHits(h, tag)) << h;
}

TEST(Service, AnswersAreTaggedRevalidatedAndCounted) {
  service_t& s = *planet();
  const std::string node = nodeTarget(nodePathOver(43.3, 5.4, 11));
  const uint64_t built = s.metrics.node_builds.count, misses = s.metrics.cache_misses, hits = s.metrics.cache_hits;
  const uint64_t ok = requestCount(s.metrics, answer_kind_node, 200);
  const service_response_t full = answerGet(s, node);
  ASSERT_EQ(full.status, 200);
  EXPECT_STREQ(full.cache_control, cache_control_immutable);
  EXPECT_STREQ(full.content_type, "application/octet-stream");
  EXPECT_EQ(full.etag, entityTag(*full.body));
  const service_response_t again = answerGet(s, node, "\"0000000000000000\", " + full.etag);
  EXPECT_EQ(again.status, 304);
  EXPECT_TRUE(again.body->empty());
  EXPECT_EQ(again.etag, full.etag);
  EXPECT_EQ(answerGet(s, node, "\"0000000000000000\"").status, 200);  // another tag: the bytes
  EXPECT_EQ(requestCount(s.metrics, answer_kind_node, 200), ok + 2);
  EXPECT_EQ(requestCount(s.metrics, answer_kind_node, 304), 1u);
  EXPECT_EQ(s.metrics.node_builds.count, built + 1);
  EXPECT_EQ(s.metrics.cache_misses, misses + 1);
  EXPECT_EQ(s.metrics.cache_hits, hits + 2);
  // Errors are about this moment: never kept, never tagged.
  for (const std::string& bad : {nodeTarget("34"), std::string("/rt/earth/x")}) {
    const service_response_t r = answerGet(s, bad, "*");
    EXPECT_GE(r.status, 400) << bad;
    EXPECT_STREQ(r.cache_control, cache_control_no_store) << bad;
    EXPECT_TRUE(r.etag.empty()) << bad;
  }
  const service_response_t m = answerGet(s, "/metrics", "*");
  ASSERT_EQ(m.status, 200);
  EXPECT_STREQ(m.cache_control, cache_control_no_store);
  EXPECT_NE(m.body->find("rocktreed_requests_total{kind=\"node\",status=\"304\"} 1\n"), std::string::npos) << *m.body;
  EXPECT_NE(m.body->find("rocktreed_requests_total{kind=\"other\",status=\"400\"} "), std::string::npos);
  EXPECT_NE(m.body->find("rocktreed_build_seconds_count{kind=\"node\"} " + std::to_string(built + 1) + "\n"),
            std::string::npos);
  EXPECT_NE(m.body->find("rocktreed_build_seconds_bucket{kind=\"node\",le=\"+Inf\"} " +
                         std::to_string(built + 1) + "\n"),
            std::string::npos);
}

// --- cache and determinism ------------------------------------------------------

TEST(ResponseCache, EvictsLeastRecentlyUsedWithinItsBudget) {
  auto body = [](size_t n, char c) { return std::make_shared<const std::string>(n, c); };
  ResponseCache cache(3 * (1000 + 1 + 128));
  cache.insert("a", body(1000, 'a'));
  cache.insert("b", body(1000, 'b'));
  cache.insert("c", body(1000, 'c'));
  ASSERT_NE(cache.find("a"), nullptr);  // a is now the most recent
  cache.insert("d", body(1000, 'd'));   // evicts b
  EXPECT_EQ(cache.find("b"), nullptr);
  EXPECT_EQ(*cache.find("a"), std::string(1000, 'a'));
  EXPECT_NE(cache.find("c"), nullptr);
  EXPECT_NE(cache.find("d"), nullptr);
  EXPECT_LE(cache.sizeBytes(), 3u * 1129);
  cache.insert("d", body(10, 'e'));  // replacing frees the old size
  EXPECT_EQ(*cache.find("d"), std::string(10, 'e'));
  EXPECT_EQ(cache.entries(), 3u);
  cache.insert("huge", body(100000, 'h'));  // larger than the whole budget: not kept
  EXPECT_EQ(cache.find("huge"), nullptr);
  EXPECT_EQ(cache.entries(), 3u);
}

TEST(Service, SameRequestSameBytesCachedOrNot) {
  service_t& s = *planet();
  for (const std::string& path : {nodePathOver(45.9, 6.9, 9), nodePathOver(-33.9, 151.2, 15), std::string("2")}) {
    const service_response_t first = answerGet(s, nodeTarget(path));
    ASSERT_EQ(first.status, 200);
    const service_response_t cached = answerGet(s, nodeTarget(path));
    EXPECT_EQ(first.body.get(), cached.body.get());  // served from the cache
    EXPECT_EQ(*first.body, buildNodeData(s.terrain, path, 1));  // and equal to a fresh build
  }
  const std::string bulk = nodePathOver(45.9, 6.9, 8);
  EXPECT_EQ(*answerGet(s, bulkTarget(bulk)).body, buildBulkMetadata(s.terrain, bulk, format_bit_jpg));
}

// --- the tree, through the viewer's population -----------------------------------

struct fetched_bulk_t {
  std::unique_ptr<bulk_t> bulk;
};

std::unique_ptr<bulk_t> fetchBulk(const std::string& path, service_t& s = *planet()) {
  const service_response_t r = answerGet(s, bulkTarget(path));
  EXPECT_EQ(r.status, 200) << "bulk " << path;
  auto b = std::make_unique<bulk_t>();
  b->request = createBulkMetadataRequest("", path, planet_epoch);
  b->parent = nullptr;
  b->busy_ctr = 0;
  b->setNotDownloadedYet();
  b->setStartedDownloading();
  auto msg = std::make_unique<BulkMetadata>();
  if (r.status != 200 || !msg->ParseFromString(*r.body)) return nullptr;
  EXPECT_TRUE(populateBulk(b.get(), std::move(msg))) << "bulk " << path;
  return b;
}

bool fetchNode(node_t* n, service_t& s = *planet()) {
  const NodeDataRequest& req = n->request;
  std::string target = "/rt/earth/NodeData/pb=!1m2!1s" + req.node_key().path() + "!2u" +
                       std::to_string(req.node_key().epoch()) + "!2e" +
                       std::to_string(req.texture_format());
  if (req.has_imagery_epoch()) target += "!3u" + std::to_string(req.imagery_epoch());
  target += "!4b0";
  const service_response_t r = answerGet(s, target);
  EXPECT_EQ(r.status, 200) << target;
  auto msg = std::make_unique<NodeData>();
  if (r.status != 200 || !msg->ParseFromString(*r.body)) return false;
  n->setStartedDownloading();
  return populateNode(n, std::move(msg));
}

void latLonOf(const Eigen::Vector3d& p, double* lat, double* lon) {
  *lat = std::asin(std::clamp(p.z() / p.norm(), -1.0, 1.0)) * 180 / std::numbers::pi;
  *lon = std::atan2(p.y(), p.x()) * 180 / std::numbers::pi;
}

// Checks one downloaded node against its box, its children and its texture.
void checkNode(const std::string& path, const node_t& n) {
  ASSERT_EQ(n.meshes.size(), 1u) << path;
  const mesh_t& m = n.meshes[0];
  EXPECT_EQ(m.texture_format, rocktree_t::texture_format_rgb);
  EXPECT_EQ(m.texture_width, 256);
  EXPECT_EQ(m.texture_height, 256);
  EXPECT_EQ(m.texture.size(), 256u * 256 * 3);
  ASSERT_GT(m.indices.size(), 3u);
  geo_box_t box;
  ASSERT_TRUE(nodeBox(path, &box));
  // Positions are quantized to 1/255 of the mesh's extent on each axis: the
  // steps are the lengths of its matrix's columns.
  const double tol_m = 1.5 * n.matrix_globe_from_mesh.topLeftCorner<3, 3>().colwise().norm().maxCoeff();
  const size_t count = m.vertices.size() / sizeof(vertex_t);
  int checked_octants = 0;
  for (size_t i = 0; i < count; ++i) {
    const auto* v = reinterpret_cast<const vertex_t*>(&m.vertices[i * 8]);
    const Eigen::Vector3d p = (n.matrix_globe_from_mesh * Eigen::Vector4d(v->x, v->y, v->z, 1)).head<3>();
    // Inside the node's box, with a tolerance of a few centimetres.
    const Eigen::Vector3d local = n.obb.orientation.transpose() * (p - n.obb.center);
    for (int k = 0; k < 3; ++k)
      ASSERT_LE(std::fabs(local[k]), n.obb.extents[k] + 0.05) << path << " vertex " << i << " axis " << k;
    // The octant stamp is the child quadrant the vertex lies in, as the
    // viewer's latLonToOctant names it; vertices on a child boundary (within
    // the 8-bit quantization) could go either way and are skipped.
    double lat, lon;
    latLonOf(p, &lat, &lon);
    // Across the dateline, longitudes are taken on the node's side.
    const double centre_lon = (box.w + box.e) / 2;
    if (lon < centre_lon - 180) lon += 360;
    if (lon >= centre_lon + 180) lon -= 360;
    const double tol_lat = tol_m / 111195.0;
    const double tol_deg = tol_m / (111195.0 * std::max(std::cos(lat * std::numbers::pi / 180), 1e-3));
    const double mid_lat = (box.s + box.n) / 2, mid_lon = (box.w + box.e) / 2;
    const bool near_edge = std::fabs(lat - box.s) < tol_lat || std::fabs(lat - box.n) < tol_lat ||
                           std::fabs(lon - box.w) < tol_deg || std::fabs(lon - box.e) < tol_deg;
    const bool near_split = (path.size() >= 2 && std::fabs(lat - mid_lat) < tol_lat) ||
                            std::fabs(lon - mid_lon) < tol_deg;
    if (near_edge || near_split || std::fabs(lat) > 89.0) continue;
    const double wrapped_lon = lon >= 180 ? lon - 360 : lon < -180 ? lon + 360 : lon;
    const std::string full = nodePathOver(lat, wrapped_lon, static_cast<int>(path.size()) + 1);
    ASSERT_EQ(full.substr(0, path.size()), path) << "vertex " << i << " at " << lat << "," << lon;
    ASSERT_EQ(v->w, full.back() - '0') << path << " vertex " << i;
    ++checked_octants;
  }
  EXPECT_GT(checked_octants, static_cast<int>(count / 4)) << path;

  // Winding: the viewer culls back faces, counter-clockwise is front. Every
  // surface triangle of the strip (odd ones flipped, as GL draws strips)
  // must face away from the planet's centre; skirt walls stand upright and
  // are left out by the slope test.
  auto position = [&](uint16_t k) {
    const auto* v = reinterpret_cast<const vertex_t*>(&m.vertices[k * 8]);
    return Eigen::Vector3d((n.matrix_globe_from_mesh * Eigen::Vector4d(v->x, v->y, v->z, 1)).head<3>());
  };
  int facing = 0;
  for (size_t i = 0; i + 2 < m.indices.size(); ++i) {
    uint16_t a = m.indices[i], b = m.indices[i + 1], c = m.indices[i + 2];
    if (a == b || b == c || a == c) continue;
    if (i % 2) std::swap(a, b);
    const Eigen::Vector3d pa = position(a), pb = position(b), pc = position(c);
    const Eigen::Vector3d normal = (pb - pa).cross(pc - pa);
    const Eigen::Vector3d up = ((pa + pb + pc) / 3).normalized();
    if (normal.norm() == 0 || std::fabs(normal.normalized().dot(up)) < 0.5) continue;
    ASSERT_GT(normal.dot(up), 0) << path << " triangle " << i;
    ++facing;
  }
  EXPECT_GT(facing, 200) << path;
}

TEST(Tree, PathOverAPointIsTheViewersAndItsBoxHoldsThePoint) {
  // The service's paths (benchmarks, tests, the contact sheet) must name the
  // nodes the viewer asks for over the same place: the edges and the
  // dateline included.
  std::mt19937 rng(23);
  std::uniform_real_distribution<double> lat(-90, 90), lon(-180, 180);
  std::vector<std::pair<double, double>> points = {{0, 0}, {-90, -180}, {89.999, 179.999}, {-0.0001, 90}};
  for (int i = 0; i < 200; ++i) points.push_back({lat(rng), lon(rng)});
  for (const auto& [la, lo] : points) {
    char octant[22];
    latLonToOctant(la, lo, octant);
    geo_box_t box;
    ASSERT_EQ(nodePathOver(la, lo, 21, &box), std::string(octant)) << la << "," << lo;
    EXPECT_TRUE(box.s <= la && la <= box.n && box.w <= lo && lo <= box.e) << la << "," << lo;
    EXPECT_EQ(nodePathOver(la, lo, 9), std::string(octant, 9));
  }
}

TEST(Tree, NodesLieInTheirBoxesAndTheirOctantsInTheirChildren) {
  // The root bulk in full, then the bulks down to level 16 over Paris, the
  // Alps, the Himalaya, the dateline in the south Pacific and the Arctic.
  std::unique_ptr<bulk_t> root = fetchBulk("");
  ASSERT_TRUE(root);
  EXPECT_EQ(root->nodes.size(), 4u + 8u + 32u + 128u);
  EXPECT_EQ(root->bulks.size(), 128u);
  int nodes_checked = 0;
  for (auto& [rel, n] : root->nodes) {
    ASSERT_TRUE(n->can_have_data);
    ASSERT_TRUE(fetchNode(n.get())) << rel;
    checkNode(rel, *n);
    ++nodes_checked;
  }
  const std::pair<double, double> places[] = {{48.86, 2.35}, {45.9, 6.9}, {28.0, 86.9}, {-20.0, 179.99}, {80.0, -40.0}};
  for (const auto& [lat, lon] : places) {
    std::string bulk_path;
    for (int level = 4; level <= 16; level += 4) {
      const std::string path = nodePathOver(lat, lon, level);
      // The parent bulk announced this one; it must exist.
      std::unique_ptr<bulk_t> b = fetchBulk(path);
      ASSERT_TRUE(b) << path;
      int sampled = 0;
      for (auto& [rel, n] : b->nodes) {
        if (sampled++ % 17 != 0 && rel.size() != 1) continue;
        ASSERT_TRUE(fetchNode(n.get())) << path << rel;
        checkNode(path + rel, *n);
        ++nodes_checked;
      }
      for (auto& [rel, child] : b->bulks)
        EXPECT_TRUE(bulkExists(planet()->terrain, path + rel)) << path + rel;
      if (!b->bulks.count(nodePathOver(lat, lon, level + 4).substr(level))) break;  // a leaf on the way
    }
  }
  EXPECT_GT(nodes_checked, 300);
}

TEST(Tree, HoldsOverUserLayersAndAnswersStayTheSame) {
  // The bulks down to level 16 over every inset of the layered planet: the
  // node over the place at every level, a sample of the others.
  service_t& s = test_rasters::layeredPlanet();
  double cone_lat, cone_lon;
  test_rasters::coneApex(&cone_lat, &cone_lon);
  const std::pair<double, double> places[] = {{47.05, 2.05}, {47.05, 9.05}, {cone_lat, cone_lon}, {-30.0, -140.0}};
  int nodes_checked = 0;
  for (const auto& [lat, lon] : places) {
    for (int level = 4; level <= 16; level += 4) {
      const std::string path = nodePathOver(lat, lon, level);
      std::unique_ptr<bulk_t> b = fetchBulk(path, s);
      ASSERT_TRUE(b) << path;
      int sampled = 0;
      for (auto& [rel, n] : b->nodes) {
        const bool on_place = nodePathOver(lat, lon, static_cast<int>((path + rel).size())) == path + rel;
        if (!on_place && sampled++ % 31 != 0) continue;
        ASSERT_TRUE(fetchNode(n.get(), s)) << path << rel;
        checkNode(path + rel, *n);
        ++nodes_checked;
        if (on_place) {  // and a fresh build gives the cached bytes
          const service_response_t again = answerGet(s, nodeTarget(path + rel));
          EXPECT_EQ(*again.body, buildNodeData(s.terrain, path + rel, 1)) << path + rel;
        }
      }
      if (!b->bulks.count(nodePathOver(lat, lon, level + 4).substr(level))) break;
    }
  }
  EXPECT_GT(nodes_checked, 60);
}

TEST(Tree, BoundBoxesHoldTheBuiltMeshAndKeepItsMetersPerTexel) {
  // A bulk bounds each node's box without building its mesh. Every level
  // over steep mountains, a pole, the dateline and the test layers (the
  // flank of a relief cone and its raster's feathered edge, an inset over
  // the sea): the mesh's heights lie within their bounds, the box holds
  // every decoded vertex, and the bound never costs a coarser
  // meters_per_texel than the tightest box.
  double cone_lat, cone_lon;
  test_rasters::coneApex(&cone_lat, &cone_lon);
  const std::pair<double, double> places[] = {{27.99, 86.93}, {45.83, 6.86}, {89.9, 10.0}, {-20.0, 179.99},
                                              {cone_lat + 0.003, cone_lon},
                                              {cone_lat - 0.03, cone_lon + 0.005}, {-30.0, -140.0}};
  int checked = 0;
  for (service_t* s : {planet(), &test_rasters::layeredPlanet()})
    for (const auto& [lat, lon] : places)
      for (int level = 1; level <= max_node_level; ++level) {
        const std::string path = nodePathOver(lat, lon, level);
        if (!nodeExists(s->terrain, path)) break;
        geo_box_t geo;
        nodeBox(path, &geo);
        const height_range_t bounds = heightGridRange(s->terrain, geo, level, mesh_cells);
        for (double h : heightGrid(s->terrain, geo, level, mesh_cells, 0)) {
          ASSERT_GE(h, bounds.lo) << path;
          ASSERT_LE(h, bounds.hi) << path;
        }
        const Eigen::Vector3f head = headNodeCenter(path.substr(0, (level - 1) / 4 * 4)).cast<float>();
        const node_box_t box = boundNodeBox(s->terrain, path, head);
        const node_geometry_t g = buildNodeGeometry(s->terrain, path);
        EXPECT_EQ(box.meters_per_texel, fitNodeBox(g, head).meters_per_texel) << path;
        const Eigen::Vector3d centre = decodedObbCenter(box.packed.center, head, box.meters_per_texel);
        const Eigen::Matrix3d axes = orientationFromAngles(box.packed.angles);
        for (const Eigen::Vector3d& p : g.positions) {
          const Eigen::Vector3d local = axes.transpose() * (p - centre);
          for (int k = 0; k < 3; ++k)
            ASSERT_LE(std::fabs(local[k]), box.packed.extents[k] * box.meters_per_texel) << path << " axis " << k;
        }
        ++checked;
      }
  EXPECT_GT(checked, 180);
}

TEST(Tree, BulkEntriesAnnounceExactlyTheExistingChildren) {
  service_t& s = *planet();
  const std::string path = nodePathOver(43.0, 5.0, 8);  // the Mediterranean coast: land and sea leaves
  const service_response_t r = answerGet(s, bulkTarget(path));
  ASSERT_EQ(r.status, 200);
  BulkMetadata msg;
  ASSERT_TRUE(msg.ParseFromString(*r.body));
  std::set<std::string> listed;
  int leaves = 0;
  for (const NodeMetadata& entry : msg.node_metadata()) {
    const node_data_path_and_flags_t aux = unpackPathAndFlags(entry);
    const std::string full = path + aux.path;
    listed.insert(full);
    EXPECT_TRUE(nodeExists(s.terrain, full)) << full;
    const bool leaf = aux.flags & NodeMetadata_Flags_LEAF;
    EXPECT_EQ(leaf, nodeIsLeaf(s.terrain, full)) << full;
    leaves += leaf;
    EXPECT_EQ(entry.oriented_bounding_box().size(), 15u);
    EXPECT_TRUE(entry.available_texture_formats() & format_bit_jpg);
    EXPECT_EQ(answerGet(s, bulkTarget(full)).status, aux.level == 4 && !leaf ? 200 : 404) << full;
  }
  EXPECT_GT(leaves, 0);
  // Every child of a listed non-leaf node above the bulk's last level is listed.
  for (const std::string& full : listed) {
    if (full.size() - path.size() == 4 || nodeIsLeaf(s.terrain, full)) continue;
    geo_box_t box;
    nodeBox(full, &box);
    for (const child_quadrant_t& c : childQuadrants(box, static_cast<int>(full.size())))
      EXPECT_TRUE(listed.count(full + c.digit)) << full + c.digit;
  }
}

TEST(Service, OffersCrnWhenAskedAndTheViewerPicksIt) {
  service_t s;
  std::string error;
  ASSERT_TRUE(openService(&s, default_relief_path, default_imagery_path,
                          format_bit_jpg | format_bit_crn, 16 << 20, &error)) << error;
  const std::string bulk_path = nodePathOver(45.9, 6.9, 8);
  const service_response_t r = answerGet(s, bulkTarget(bulk_path));
  ASSERT_EQ(r.status, 200);
  BulkMetadata bulk;
  ASSERT_TRUE(bulk.ParseFromString(*r.body));
  ASSERT_GT(bulk.node_metadata_size(), 0);
  const NodeDataRequest req = createNodeDataRequest(bulk_path, bulk, bulk.node_metadata(0));
  EXPECT_EQ(req.texture_format(), Texture_Format_CRN_DXT1);
  const service_response_t node = answerGet(s, nodeTarget(req.node_key().path(), 6));
  ASSERT_EQ(node.status, 200);
  auto msg = std::make_unique<NodeData>();
  ASSERT_TRUE(msg->ParseFromString(*node.body));
  node_t n{};
  n.can_have_data = true;
  n.request = req;
  n.setNotDownloadedYet();
  n.setStartedDownloading();
  ASSERT_TRUE(populateNode(&n, std::move(msg)));
  ASSERT_EQ(n.meshes.size(), 1u);
  EXPECT_EQ(n.meshes[0].texture_format, rocktree_t::texture_format_dxt1);
  EXPECT_EQ(n.meshes[0].texture.size(), 64u * 64 * 8);
  EXPECT_EQ(answerGet(s, nodeTarget(req.node_key().path(), 1)).status, 200);  // JPEG still offered
}

// --- what the planet looks like ----------------------------------------------

struct picture_t {
  Eigen::Vector3d mean_rgb;
  double luma_stddev;
  double max_height;     // highest vertex above the sphere, metres
  double median_height;  // of all vertices (skirts included)
};

picture_t look(double lat, double lon, int level) {
  node_t n{};
  n.can_have_data = true;
  n.request.mutable_node_key()->set_path(nodePathOver(lat, lon, level));
  n.request.mutable_node_key()->set_epoch(planet_epoch);
  n.request.set_texture_format(Texture_Format_JPG);
  n.setNotDownloadedYet();
  EXPECT_TRUE(fetchNode(&n));
  picture_t out{};
  if (n.meshes.empty()) return out;
  const mesh_t& m = n.meshes[0];
  Eigen::Vector3d sum = Eigen::Vector3d::Zero();
  double l1 = 0, l2 = 0;
  const size_t px = m.texture.size() / 3;
  for (size_t i = 0; i < px; ++i) {
    const Eigen::Vector3d c(m.texture[3 * i], m.texture[3 * i + 1], m.texture[3 * i + 2]);
    sum += c;
    const double y = 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2];
    l1 += y;
    l2 += y * y;
  }
  out.mean_rgb = sum / px;
  out.luma_stddev = std::sqrt(std::max(0.0, l2 / px - (l1 / px) * (l1 / px)));
  std::vector<double> heights;
  for (size_t i = 0; i < m.vertices.size() / 8; ++i) {
    const auto* v = reinterpret_cast<const vertex_t*>(&m.vertices[i * 8]);
    heights.push_back((n.matrix_globe_from_mesh * Eigen::Vector4d(v->x, v->y, v->z, 1)).head<3>().norm() -
                      planet_radius);
  }
  std::sort(heights.begin(), heights.end());
  out.max_height = heights.back();
  out.median_height = heights[heights.size() / 2];
  return out;
}

TEST(Picture, ParisIsGreenishBrownLand) {
  const picture_t p = look(48.86, 2.35, 10);
  EXPECT_GT(p.mean_rgb[1], p.mean_rgb[2] + 5) << p.mean_rgb.transpose();  // more green than blue
  EXPECT_GT(p.mean_rgb[0], p.mean_rgb[2]) << p.mean_rgb.transpose();      // and red: brownish
  EXPECT_GT(p.median_height, 10.0);  // land above the sea
  EXPECT_LT(p.max_height, 1000.0);
}

TEST(Picture, MidAtlanticIsBlueAndFlat) {
  const picture_t p = look(30.0, -40.0, 10);
  EXPECT_GT(p.mean_rgb[2], p.mean_rgb[0] + 10) << p.mean_rgb.transpose();
  EXPECT_GT(p.mean_rgb[2], p.mean_rgb[1]) << p.mean_rgb.transpose();
  // No hillshading: the sea surface is flat (the finer base image's own
  // sea-floor shading varies by a few levels, hillshading would by tens).
  EXPECT_LT(p.luma_stddev, 5.0);
  EXPECT_LT(std::fabs(p.max_height), 5.0);  // the surface sits at 0 m (skirts hang below)
}

TEST(Picture, TheAlpsAreShadedRelief) {
  const picture_t p = look(45.9, 6.9, 10);
  EXPECT_GT(p.max_height, 2000.0);
  EXPECT_GT(p.luma_stddev, 10.0);
}

}  // namespace

namespace {

// The node build takes the mesh heights from its shading grid; the bulk
// bounds heightGrid(.., mesh_cells, 0) without computing it. Both must be
// the same numbers, or the boxes would not hold the meshes.
TEST(Terrain, MeshHeightsAreEveryOtherShadingSample) {
  const terrain_t& t = planet()->terrain;
  for (const std::string& path : {nodePathOver(45.9, 6.9, 7), nodePathOver(27.99, 86.93, 15), nodePathOver(-89.0, 10.0, 5)}) {
    geo_box_t box;
    ASSERT_TRUE(nodeBox(path, &box));
    const int level = static_cast<int>(path.size());
    const std::vector<double> mesh = heightGrid(t, box, level, mesh_cells, 0);
    const std::vector<double> shading = heightGrid(t, box, level, shading_cells, 1);
    for (int r = 0; r <= mesh_cells; ++r)
      for (int c = 0; c <= mesh_cells; ++c)
        ASSERT_EQ(mesh[r * (mesh_cells + 1) + c], shading[(2 * r + 1) * (shading_cells + 3) + 2 * c + 1])
            << path << " " << r << "," << c;
  }
}

}  // namespace
