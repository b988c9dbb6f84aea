// rocktreed export in process: its options against hostile values, which
// answers a plan lists, and the files it writes (the live answers, byte for
// byte; a second run keeps what is there with the right size).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "export/export_plan.h"
#include "export/static_export.h"
#include "http/request_parser.h"
#include "planet/node_builder.h"

namespace {

service_t* planet() {
  static service_t* s = [] {
    auto* out = new service_t;
    std::string error;
    if (!openService(out, default_relief_path, default_imagery_path, format_bit_jpg | format_bit_crn, 16 << 20,
                     &error))
      ADD_FAILURE() << error;
    return out;
  }();
  return s;
}

TEST(ExportOptions, ReadWhatTheySayAndNameWhatTheyReject) {
  export_options_t o;
  std::string why;
  EXPECT_FALSE(parseExportOption("--region", "43.5,5,-44.25,6.5", &o, &why));
  EXPECT_NE(why.find("south < north"), std::string::npos) << why;
  ASSERT_TRUE(parseExportOption("--region", "-44.25,-5,43.5,+6.5", &o, &why)) << why;
  EXPECT_EQ(o.region.s, -44.25);
  EXPECT_EQ(o.region.w, -5);
  EXPECT_EQ(o.region.n, 43.5);
  EXPECT_EQ(o.region.e, 6.5);
  ASSERT_TRUE(parseExportOption("--max-level", "14", &o, &why));
  ASSERT_TRUE(parseExportOption("--out", "dir", &o, &why));
  ASSERT_TRUE(resolveExportOptions(&o, &why));
  EXPECT_EQ(o.max_level, 14);
  EXPECT_EQ(o.base_level, default_export_base_level);

  const std::pair<const char*, const char*> bad[] = {
      {"--region", ""}, {"--region", "1,2,3"}, {"--region", "1,2,3,4,5"}, {"--region", "1,,3,4"},
      {"--region", "nan,0,1,1"}, {"--region", "0,0,inf,1"}, {"--region", "0,0,1e1,1"}, {"--region", "0,0,1,0x10"},
      {"--region", "-91,0,1,1"}, {"--region", "0,-180.5,1,1"}, {"--region", "0,10,1,5"}, {"--region", "1,0,1,1"},
      {"--region", "0,0,1,1 "}, {"--region", "0,0,1,1.2.3"}, {"--region", "--,0,1,1"}, {"--region", "0,0,.,1"},
      {"--region", "0,0,1,000000000000000000000000000000001"},
      {"--max-level", ""}, {"--max-level", "21"}, {"--max-level", "-1"}, {"--max-level", "1x"},
      {"--max-level", "99999999999999999999"}, {"--base-level", "+3"}, {"--out", ""}, {"--regions", "0,0,1,1"},
  };
  for (const auto& [name, value] : bad) {
    export_options_t x;
    why.clear();
    EXPECT_FALSE(parseExportOption(name, value, &x, &why)) << name << " " << value;
    EXPECT_FALSE(why.empty()) << name << " " << value;
  }
  export_options_t no_out;
  EXPECT_FALSE(resolveExportOptions(&no_out, &why));
  no_out.out_dir = "dir";
  ASSERT_TRUE(resolveExportOptions(&no_out, &why));
  EXPECT_EQ(no_out.max_level, no_out.base_level);  // no region: the base levels only
}

TEST(ExportPlan, BaseLevelsEverywhereTheRegionDeeperAndTheBulksBeforeTheirNodes) {
  const terrain_t& t = planet()->terrain;
  export_options_t o;
  o.out_dir = "unused";
  o.base_level = 3;
  o.max_level = 13;
  o.region = {-31.0, -30.9, -140.0, -139.9};  // deep Pacific: level 12 nodes are leaves there
  o.has_region = true;
  const std::vector<export_item_t> plan = planExport(t, o);
  ASSERT_FALSE(plan.empty());
  auto meetsRegion = [&](const geo_box_t& b) {
    return b.s < o.region.n && b.n > o.region.s && b.w < o.region.e && b.e > o.region.w;
  };
  EXPECT_EQ(plan[0].kind, export_kind_planetoid);
  std::set<std::string> nodes, bulks;
  int base_nodes = 0, deepest = 0;
  for (const export_item_t& it : plan) {
    if (it.kind == export_kind_bulk) {
      EXPECT_TRUE(bulks.insert(it.path).second) << "bulk twice: " << it.path;
      EXPECT_TRUE(bulkExists(t, it.path)) << it.path;
    }
    if (it.kind != export_kind_node) continue;
    EXPECT_TRUE(nodes.insert(it.path).second) << "node twice: " << it.path;
    EXPECT_TRUE(nodeExists(t, it.path)) << it.path;
    const int level = static_cast<int>(it.path.size());
    deepest = std::max(deepest, level);
    base_nodes += level <= o.base_level;
    // Its bulk came before it.
    EXPECT_TRUE(bulks.count(it.path.substr(0, (it.path.size() - 1) / 4 * 4))) << it.path;
    geo_box_t box;
    nodeBox(it.path, &box);
    if (level > o.base_level) {
      EXPECT_LE(level, o.max_level);
      EXPECT_TRUE(meetsRegion(box)) << it.path;
    }
  }
  // Every child that meets the region is there too, down to the max level.
  for (const std::string& path : nodes) {
    const int level = static_cast<int>(path.size());
    if (level >= o.max_level || nodeIsLeaf(t, path)) continue;
    geo_box_t box;
    nodeBox(path, &box);
    for (const child_quadrant_t& c : childQuadrants(box, level)) {
      if (level + 1 <= o.base_level || meetsRegion(c.box)) {
        EXPECT_TRUE(nodes.count(path + c.digit)) << "missing child " << path + c.digit;
      }
    }
  }
  EXPECT_EQ(base_nodes, 4 + 8 + 32);  // levels 1 to 3 of the whole planet
  EXPECT_EQ(deepest, 12);             // the ocean's level-12 nodes are leaves: nothing at 13
  // No bulk that announces none of them.
  std::set<std::string> announcing;
  for (const std::string& path : nodes) announcing.insert(path.substr(0, (path.size() - 1) / 4 * 4));
  EXPECT_EQ(bulks, announcing);
  EXPECT_TRUE(bulks.count(nodePathOver(-30.95, -139.95, 8)));
}

TEST(StaticExport, WritesTheLiveAnswersAndASecondRunKeepsFilesOfTheRightSize) {
  service_t& s = *planet();
  export_options_t o;
  o.out_dir = testing::TempDir() + "export-" + std::to_string(getpid());
  o.base_level = 2;
  o.max_level = 7;
  o.region = {48.8, 49.0, 2.2, 2.5};
  o.has_region = true;
  std::filesystem::remove_all(o.out_dir);
  const std::vector<export_item_t> plan = planExport(s.terrain, o);
  std::FILE* log = std::tmpfile();
  const export_summary_t first = runExport(s, plan, o.out_dir, 2, log);
  size_t nodes = 0;
  for (const export_item_t& it : plan) nodes += it.kind == export_kind_node;
  EXPECT_EQ(first.files, plan.size() + nodes);  // two formats per node
  EXPECT_EQ(first.written, first.files);
  EXPECT_EQ(first.failed, 0u);

  // Every file is what the service answers to its path, and nothing else is there.
  const std::string root = o.out_dir + "/rt/earth/";
  size_t files = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
    if (!entry.is_regular_file()) continue;
    ++files;
    const std::string rel = entry.path().string().substr(root.size());
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    const service_response_t live = answerGet(s, std::string(request_base) + rel);
    ASSERT_EQ(live.status, 200) << rel;
    EXPECT_EQ(bytes, *live.body) << rel;
  }
  EXPECT_EQ(files, first.files);

  // A second run after a torn one: the truncated file is built again, the
  // rest is kept, and the manifest's torn last line does no harm.
  const std::string node = root + nodeRequestPath(nodePathOver(48.9, 2.35, 7), planet_epoch, 6);
  ASSERT_EQ(truncate(node.c_str(), 10), 0);
  {
    std::ofstream manifest(o.out_dir + "/rocktreed-export.manifest", std::ios::app);
    manifest << "123";  // a torn last line
  }
  const export_summary_t second = runExport(s, plan, o.out_dir, 2, log);
  EXPECT_EQ(second.written, 1u);
  EXPECT_EQ(second.skipped, first.files - 1);
  EXPECT_EQ(second.bytes, first.bytes);
  struct stat st;
  ASSERT_EQ(stat(node.c_str(), &st), 0);
  EXPECT_GT(st.st_size, 10);
  EXPECT_EQ(runExport(s, plan, o.out_dir, 1, log).skipped, first.files);
  std::fclose(log);
  std::filesystem::remove_all(o.out_dir);
}

}  // namespace
