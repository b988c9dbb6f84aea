// GSHHG's coasts and lakes: the bin decoder on hand-made bins, the real
// files at well-known places (exact texels of the coverage mask and points
// of the height grid), the levels of whole real bins against GMT's own
// grdlandmask, neighbours that agree on their shared edges, the same bytes
// twice, and missing or broken files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "planet/gshhg_bins.h"
#include "planet/gshhg_file.h"
#include "planet/land_water_mask.h"
#include "planet/line_features.h"
#include "planet/node_builder.h"
#include "test_rasters.h"

namespace {

// A segment's packed word.
int32_t segment(int points, int level, int entry, int exit) {
  return (points << 9) | (level << 6) | (entry << 3) | exit;
}
int corners(int sw, int se, int ne, int nw) { return sw << 9 | se << 6 | ne << 3 | nw; }

void addPiece(gshhg_raw_bin_t* raw, int info, std::vector<std::pair<int, int>> points) {
  raw->segment_info.push_back(info);
  raw->segment_first_point.push_back(static_cast<int32_t>(raw->x.size()));
  for (auto [x, y] : points) {
    raw->x.push_back(static_cast<uint16_t>(x));
    raw->y.push_back(static_cast<uint16_t>(y));
  }
}

gshhg_bin_t decoded(const gshhg_raw_bin_t& raw) {
  gshhg_bin_t bin;
  std::string error;
  EXPECT_TRUE(decodeBin(raw, 1000, &bin, &error)) << error;
  return bin;
}

TEST(GshhgBins, OpenPiecesCloseAlongTheEdgeTheirOwnWayRound) {
  // A peninsula rising from the south edge of a sea bin: land (inside on
  // the left) enters at x = 40000 and leaves at x = 20000.
  gshhg_raw_bin_t peninsula;
  peninsula.corner_levels = corners(0, 0, 0, 0);
  addPiece(&peninsula, segment(3, 1, side_south, side_south), {{40000, 0}, {30000, 30000}, {20000, 0}});
  const gshhg_bin_t p = decoded(peninsula);
  EXPECT_EQ(p.base_level, shore_sea);
  EXPECT_EQ(levelAt(p, 30000, 10000), shore_land);
  EXPECT_EQ(levelAt(p, 5000, 5000), shore_sea);
  EXPECT_EQ(levelAt(p, 60000, 60000), shore_sea);
  // The same line the other way round in a bin whose corners are all land:
  // a bay of sea reaching in from the south edge.
  gshhg_raw_bin_t bay;
  bay.corner_levels = corners(1, 1, 1, 1);
  addPiece(&bay, segment(3, 1, side_south, side_south), {{20000, 0}, {30000, 30000}, {40000, 0}});
  const gshhg_bin_t b = decoded(bay);
  EXPECT_EQ(b.base_level, shore_sea);
  EXPECT_EQ(levelAt(b, 30000, 10000), shore_sea);
  EXPECT_EQ(levelAt(b, 5000, 5000), shore_land);
  EXPECT_EQ(levelAt(b, 60000, 60000), shore_land);
  // A coast across the bin, west to east, land on its left (north); a lake
  // (running clockwise: land still on the left) reaching in from the north
  // edge inside that land.
  gshhg_raw_bin_t across;
  across.corner_levels = corners(0, 0, 1, 1);
  addPiece(&across, segment(2, 1, side_west, side_east), {{0, 30000}, {65535, 30000}});
  addPiece(&across, segment(3, 2, side_north, side_north), {{40000, 65535}, {30000, 50000}, {20000, 65535}});
  const gshhg_bin_t a = decoded(across);
  EXPECT_EQ(levelAt(a, 10000, 10000), shore_sea);
  EXPECT_EQ(levelAt(a, 10000, 40000), shore_land);
  EXPECT_EQ(levelAt(a, 30000, 60000), shore_lake);
}

TEST(GshhgBins, NestedRingsAndBinsOfCornersOnly) {
  gshhg_raw_bin_t raw;
  raw.corner_levels = corners(0, 0, 0, 0);
  auto square = [](int lo, int hi) {
    return std::vector<std::pair<int, int>>{{lo, lo}, {hi, lo}, {hi, hi}, {lo, hi}};
  };
  addPiece(&raw, segment(4, 1, side_inside, side_inside), square(10000, 50000));
  addPiece(&raw, segment(4, 2, side_inside, side_inside), square(20000, 40000));
  addPiece(&raw, segment(4, 3, side_inside, side_inside), square(28000, 32000));
  addPiece(&raw, segment(4, 6, side_inside, side_inside), square(1000, 2000));  // a grounding line: left out
  const gshhg_bin_t bin = decoded(raw);
  EXPECT_EQ(bin.rings.size(), 3u);
  EXPECT_EQ(levelAt(bin, 5000, 5000), shore_sea);
  EXPECT_EQ(levelAt(bin, 15000, 15000), shore_land);
  EXPECT_EQ(levelAt(bin, 25000, 25000), shore_lake);
  EXPECT_EQ(levelAt(bin, 30000, 30000), shore_island_in_lake);
  EXPECT_EQ(levelAt(bin, 1500, 1500), shore_sea);

  gshhg_raw_bin_t land, lake;
  land.corner_levels = corners(1, 1, 1, 1);
  lake.corner_levels = corners(2, 2, 2, 2);
  EXPECT_EQ(levelAt(decoded(land), 100, 100), shore_land);
  EXPECT_EQ(levelAt(decoded(lake), 60000, 100), shore_lake);
}

TEST(GshhgBins, RejectsValuesThatCannotBeABin) {
  auto reject = [](const gshhg_raw_bin_t& raw, const char* why) {
    gshhg_bin_t bin;
    std::string error;
    EXPECT_FALSE(decodeBin(raw, 10, &bin, &error));
    EXPECT_NE(error.find(why), std::string::npos) << error;
  };
  gshhg_raw_bin_t raw;
  addPiece(&raw, segment(2, 7, side_south, side_north), {{0, 0}, {0, 65535}});
  reject(raw, "level 7");
  raw.segment_info[0] = segment(2, 1, side_inside, side_north);
  reject(raw, "do not make a piece");
  raw.segment_info[0] = segment(5, 1, side_south, side_north);
  reject(raw, "outside the bin");
  raw.segment_first_point[0] = -3;
  raw.segment_info[0] = segment(2, 1, side_south, side_north);
  reject(raw, "outside the bin");
  raw.segment_first_point[0] = 0;
  raw.x.resize(11);
  raw.y.resize(11);
  reject(raw, "more than 10 points");
  gshhg_raw_bin_t corner;
  corner.corner_levels = corners(7, 7, 7, 7);
  reject(corner, "corner level");
}

const Shoreline* realShore() {
  static std::unique_ptr<Shoreline> s = [] {
    std::string note;
    return Shoreline::open(default_gshhg_dir, 64 << 20, &note);
  }();
  return s.get();
}

// The node of a level holding a point.
std::string pathAt(double lat, double lon, int level) {
  std::string path;
  geo_box_t box{-90, 90, -180, 180};
  while (static_cast<int>(path.size()) < level) {
    path += childDigit(box, static_cast<int>(path.size()), lat, lon);
    nodeBox(path, &box);
  }
  return path;
}

struct place_t {
  const char* name;
  double lat, lon;
  int level;
};
constexpr place_t golden_gate{"the Golden Gate", 37.8199, -122.4783, shore_sea};
constexpr place_t places[] = {
    golden_gate,
    {"Manhattan", 40.7831, -73.9712, shore_land},
    {"Lake Geneva", 46.45, 6.55, shore_lake},
    {"Ometepe in Lake Nicaragua", 11.50, -85.60, shore_island_in_lake},
    {"the Bosphorus at Rumeli Hisari", 41.085, 29.060, shore_sea},
    {"Uskudar", 41.025, 29.030, shore_land},
};

TEST(Coasts, WellKnownPlacesAtTheirPointsAndTexels) {
  const Shoreline* shore = realShore();
  if (!shore) GTEST_SKIP() << "gmt-gshhg-full is not installed";
  for (const place_t& p : places) {
    SCOPED_TRACE(p.name);
    for (int level : {10, 14}) {
      EXPECT_EQ(shoreLevels(*shore, level, {p.lat}, {p.lon})[0], p.level) << "level " << level;
      // The texel whose centre is nearest the place, in its node's mask.
      geo_box_t box;
      nodeBox(pathAt(p.lat, p.lon, level), &box);
      shore_mask_t mask;
      shoreMask(*shore, box, level, &mask);
      const int col = static_cast<int>(std::lround((p.lon - box.w) / (box.e - box.w) * (texture_size - 1)));
      const int row = static_cast<int>(std::lround((box.n - p.lat) / (box.n - box.s) * (texture_size - 1)));
      const size_t k = static_cast<size_t>(row) * texture_size + col;
      const float land = mask.uniform ? (mask.level % 2 ? 1.0f : 0.0f) : mask.land[k];
      const float lake = mask.uniform ? (mask.level && mask.level % 2 == 0 ? 1.0f : 0.0f) : mask.lake[k];
      const bool is_land = p.level % 2 == 1, is_lake = p.level && !is_land;
      EXPECT_GT(is_land ? land : is_lake ? lake : 1 - land - lake, 0.5f) << "level " << level;
      if (level != 10) continue;
      // Every texel wholly of one kind is what the bin's own rings say at
      // its centre: the crossings' shortcuts (the coast west and east of
      // the node, a node clear of it) lose nothing.
      const GshhgFile& f = *shore->fileFor(level);
      const double d = f.binDegrees();
      auto kind = [](int l) { return l == shore_sea ? 0 : l % 2 ? 1 : 2; };
      int compared = 0, wrong = 0;
      for (int r = 0; r < texture_size; ++r)
        for (int c = 0; c < texture_size; ++c) {
          const size_t i = static_cast<size_t>(r) * texture_size + c;
          const float l = mask.uniform ? (mask.level % 2 ? 1.0f : 0.0f) : mask.land[i];
          const float w = mask.uniform ? (mask.level && mask.level % 2 == 0 ? 1.0f : 0.0f) : mask.lake[i];
          if ((l != 0 && l != 1) || (w != 0 && w != 1)) continue;
          const double lat = box.n - (box.n - box.s) * r / (texture_size - 1);
          const double lon = box.w + (box.e - box.w) * c / (texture_size - 1);
          const int row = static_cast<int>(std::floor((90 - lat) / d)), col = static_cast<int>(std::floor(lon / d));
          const auto bin = shore->bin(f, row * f.columns() + (col % f.columns() + f.columns()) % f.columns());
          ASSERT_TRUE(bin);
          const int at = levelAt(*bin, (lon - col * d) / d * 65535, (lat - (90 - (row + 1) * d)) / d * 65535);
          ++compared;
          wrong += kind(at) != (l == 1 ? 1 : w == 1 ? 2 : 0);
        }
      EXPECT_GT(compared, texture_size * texture_size / 2);
      EXPECT_EQ(wrong, 0) << "of " << compared << " texels";
    }
  }
  // A coast is not all one texel: the Golden Gate's level-14 node is mixed.
  geo_box_t box;
  nodeBox(pathAt(golden_gate.lat, golden_gate.lon, 14), &box);
  shore_mask_t mask;
  shoreMask(*shore, box, 14, &mask);
  EXPECT_FALSE(mask.uniform);
  EXPECT_LE(shore->cachedBytes(), 64u << 20);
}

// GMT's grdlandmask reads the same full-resolution file and assembles the
// bins' polygons its own way: on whole 1x1 degree bins of hard shores (a
// strait, lakes, an island in a lake and ponds on an island in a lake, an
// archipelago, a fjord) its levels are ours but at points next to a shore.
// 30" cells, pixel-registered so that every cell centre lies inside the
// bin; -A0/0/4 keeps every feature however small, -N numbers the levels as
// ours. Measured: all 14400 points agree in six bins, 14399 in Lake
// Nicaragua's (a point on its shore).
TEST(Coasts, AgreesWithGmtOnRealBins) {
  const Shoreline* shore = realShore();
  if (!shore) GTEST_SKIP() << "gmt-gshhg-full is not installed";
  if (std::system("gmt --version >/dev/null 2>&1") != 0)
    GTEST_SKIP() << "gmt is not on PATH (scripts/bootstrap installs Debian's gmt)";
  // gmt writes its gmt.history into the working directory: it runs in a
  // scratch one.
  std::string dir = (std::filesystem::temp_directory_path() / "ostravel-gmt-XXXXXX").string();
  ASSERT_TRUE(mkdtemp(dir.data()));
  const struct cleanup_t {
    std::string dir;
    ~cleanup_t() { std::filesystem::remove_all(dir); }
  } cleanup{dir};
  struct bin_case_t {
    const char* name;
    int west, south;
  };
  constexpr bin_case_t bins[] = {
      {"the Golden Gate", -123, 37},         {"the Bosphorus", 29, 41},
      {"Lake Geneva", 6, 46},                {"Lake Nicaragua and Ometepe", -86, 11},
      {"the Stockholm archipelago", 18, 59}, {"the Sognefjord", 6, 61},
      {"Manitoulin's lakes in Lake Huron", -83, 45},
  };
  constexpr int n = 120;
  for (const bin_case_t& b : bins) {
    SCOPED_TRACE(b.name);
    std::ostringstream cmd;
    cmd << "cd '" << dir << "' && gmt grdlandmask -R" << b.west << "/" << b.west + 1 << "/" << b.south << "/"
        << b.south + 1 << " -I30s -r -Df -A0/0/4 -N0/1/2/3/4 -Ve -Gmask.asc=ef";
    ASSERT_EQ(std::system(cmd.str().c_str()), 0) << cmd.str();
    // ESRI ASCII: six header lines, then the rows, north first.
    std::ifstream in(dir + "/mask.asc");
    std::string key;
    double value = 0;
    int cols = 0, rows = 0;
    for (int k = 0; k < 6 && in >> key >> value; ++k) {
      if (key == "ncols") cols = static_cast<int>(value);
      if (key == "nrows") rows = static_cast<int>(value);
    }
    ASSERT_TRUE(cols == n && rows == n) << cols << "x" << rows;
    std::vector<int> gmt(n * n, -1);
    for (int& v : gmt) in >> v;
    ASSERT_TRUE(in) << "short grid";
    std::vector<double> lats(n), lons(n);
    for (int k = 0; k < n; ++k) {
      lats[k] = b.south + 1 - (k + 0.5) / n;
      lons[k] = b.west + (k + 0.5) / n;
    }
    const std::vector<uint8_t> ours = shoreLevels(*shore, 14, lats, lons);
    int same = 0, inland = 0;
    for (int r = 0; r < n; ++r)
      for (int c = 0; c < n; ++c) {
        const int k = r * n + c;
        if (ours[k] == gmt[k]) {
          ++same;
          continue;
        }
        // A disagreement is only allowed within a cell of where GMT's own
        // level changes.
        bool shore_near = false;
        for (int dr = -1; dr <= 1; ++dr)
          for (int dc = -1; dc <= 1; ++dc) {
            const int rr = r + dr, cc = c + dc;
            shore_near = shore_near || (rr >= 0 && rr < n && cc >= 0 && cc < n && gmt[rr * n + cc] != gmt[k]);
          }
        if (!shore_near && inland++ < 5)
          ADD_FAILURE() << "at " << lats[r] << ", " << lons[c] << ": GMT " << gmt[k] << ", ours " << int(ours[k]);
      }
    EXPECT_GE(same, n * n * 999 / 1000) << "of " << n * n << " points agree";
    EXPECT_EQ(inland, 0) << "points away from a shore disagree";
  }
}

TEST(Coasts, NeighboursAgreeOnTheirEdgesAndAnswersRepeat) {
  if (!realShore()) GTEST_SKIP() << "gmt-gshhg-full is not installed";
  const service_t& planet = test_rasters::plainPlanet();
  ASSERT_TRUE(planet.terrain.shoreline);
  for (int level : {9, 13}) {
    // The node over the Golden Gate and its eastern neighbour.
    geo_box_t a, b;
    nodeBox(pathAt(golden_gate.lat, golden_gate.lon, level), &a);
    nodeBox(pathAt(golden_gate.lat, a.e + (a.e - a.w) / 2, level), &b);
    ASSERT_EQ(a.e, b.w);
    const std::vector<uint8_t> ta = buildTexture(planet.terrain, a, level), tb = buildTexture(planet.terrain, b, level);
    int worst = 0;
    for (int r = 0; r < texture_size; ++r)
      for (int k = 0; k < 3; ++k)
        worst = std::max(worst, std::abs(ta[(r * texture_size + texture_size - 1) * 3 + k] - tb[r * texture_size * 3 + k]));
    EXPECT_LE(worst, 2) << "level " << level;
    const std::vector<double> ha = heightGrid(planet.terrain, a, level, mesh_cells, 0);
    const std::vector<double> hb = heightGrid(planet.terrain, b, level, mesh_cells, 0);
    for (int r = 0; r <= mesh_cells; ++r)
      EXPECT_EQ(ha[r * (mesh_cells + 1) + mesh_cells], hb[r * (mesh_cells + 1)]) << "level " << level << " row " << r;
  }
  // Relief meets the shore: the Golden Gate's water lies below the sea,
  // Manhattan above it.
  const std::string gate = pathAt(golden_gate.lat, golden_gate.lon, 14);
  const std::string node = buildNodeData(planet.terrain, gate, 1);
  EXPECT_EQ(node, buildNodeData(planet.terrain, gate, 1));
  for (const place_t& p : {places[0], places[1]}) {
    geo_box_t box;
    nodeBox(pathAt(p.lat, p.lon, 16), &box);
    const std::vector<double> h = heightGrid(planet.terrain, {p.lat, p.lat + 1e-6, p.lon, p.lon + 1e-6}, 16, 1, 0);
    if (p.level == shore_sea) EXPECT_LT(h[0], 0) << p.name;
    else EXPECT_GE(h[0], shore_height_metres) << p.name;
  }
}

TEST(Coasts, RiversShowWithTheLevelAndBordersOnlyWhenAsked) {
  if (!realShore()) GTEST_SKIP() << "gmt-gshhg-full is not installed";
  // A planet of its own: the shared test planets draw no rivers.
  static service_t planet;
  std::string error;
  if (!planet.terrain.lines) {
    ASSERT_TRUE(openService(&planet, planet_inputs_t{}, format_bit_jpg, 16 << 20, &error)) << error;
  }
  ASSERT_TRUE(planet.terrain.lines);
  ASSERT_FALSE(planet.terrain.lines->hasBorders());
  // The Rhine at Basel's Mittlere Bruecke, a permanent major river (WDB II
  // draws it within about 250 m, 7 texels of a level-12 node).
  constexpr double lat = 47.5603, lon = 7.5888;
  const std::shared_ptr<const LineFeatures> rivers = planet.terrain.lines;
  auto texture = [&](int level, std::shared_ptr<const LineFeatures> lines) {
    geo_box_t box;
    nodeBox(pathAt(lat, lon, level), &box);
    planet.terrain.lines = std::move(lines);
    std::vector<uint8_t> rgb = buildTexture(planet.terrain, box, level);
    planet.terrain.lines = rivers;
    return std::make_pair(box, rgb);
  };
  // Texels the lines tinted by more than a little (river blue over land).
  auto tinted = [](const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, size_t from = 0,
                   size_t to = SIZE_MAX) {
    int n = 0;
    for (size_t p = from; p < std::min(to, a.size()); p += 3)
      n += std::abs(a[p + 2] - b[p + 2]) + std::abs(a[p] - b[p]) > 20;
    return n;
  };
  const auto [box, plain] = texture(12, nullptr);
  const std::vector<uint8_t> with = texture(12, rivers).second;
  const int r = static_cast<int>(std::lround((box.n - lat) / (box.n - box.s) * (texture_size - 1)));
  const int c = static_cast<int>(std::lround((lon - box.w) / (box.e - box.w) * (texture_size - 1)));
  int near = 0;
  for (int y = std::max(0, r - 8); y <= std::min(texture_size - 1, r + 8); ++y)
    for (int x = std::max(0, c - 8); x <= std::min(texture_size - 1, c + 8); ++x) {
      const size_t p = (static_cast<size_t>(y) * texture_size + x) * 3;
      near += tinted(plain, with, p, p + 3);
    }
  EXPECT_GT(near, 3) << "no river texel at the bridge";
  EXPECT_GT(tinted(plain, with), 200);
  EXPECT_EQ(tinted(texture(6, nullptr).second, texture(6, rivers).second), 0) << "rivers at level 6";
  // --borders draws the border at Basel (France, Germany and Switzerland
  // meet there); without it the texture is the rivers' alone.
  std::string note;
  std::shared_ptr<const LineFeatures> borders = LineFeatures::open(default_gshhg_dir, true, &note);
  ASSERT_TRUE(borders && borders->hasBorders()) << note;
  const std::vector<uint8_t> bordered = texture(12, borders).second;
  int changed = 0;
  for (size_t p = 0; p < with.size(); ++p) changed += std::abs(with[p] - bordered[p]) > 20;
  EXPECT_GT(changed, 50);
  EXPECT_EQ(texture(12, LineFeatures::open(default_gshhg_dir, false, &note)).second, with);
}

TEST(Coasts, MissingOrBrokenFilesLeaveThePlanetWithout) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "ostravel_coasts_test";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  std::string note;
  EXPECT_FALSE(Shoreline::open(dir.string(), 1 << 20, &note));
  EXPECT_NE(note.find("binned_GSHHS"), std::string::npos) << note;
  std::ofstream(dir / "binned_GSHHS_f.nc") << "not a netCDF file";
  EXPECT_FALSE(Shoreline::open(dir.string(), 1 << 20, &note));
  EXPECT_NE(note.find("binned_GSHHS_f.nc"), std::string::npos) << note;
  std::string error;
  EXPECT_FALSE(GshhgFile::open(test_rasters::layerFiles().cone, &error));
  EXPECT_NE(error.find("cone.tif: NetCDF: Unknown file format"), std::string::npos) << error;

  service_t s;
  planet_inputs_t inputs;
  inputs.gshhg_dir = dir.string();
  ASSERT_TRUE(openService(&s, inputs, format_bit_jpg, 16 << 20, &error)) << error;
  EXPECT_FALSE(s.terrain.shoreline);
  EXPECT_FALSE(buildNodeData(s.terrain, pathAt(golden_gate.lat, golden_gate.lon, 12), 1).empty());
  std::filesystem::remove_all(dir);
}

}  // namespace
