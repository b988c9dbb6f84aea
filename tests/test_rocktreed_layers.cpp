// rocktreed's user layers: rasters written with GDAL in the test, served over
// the built-in planet. Textures and meshes are compared with the built-in
// planet's own, texel for texel, before any JPEG.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <thread>

#include "planet/node_builder.h"
#include "planet/raster_window.h"
#include "planet/user_layers.h"
#include "test_rasters.h"
#include "tree/packed_decoders.h"

namespace {

using namespace test_rasters;
using namespace geo_globetrotter_proto_rocktree;

std::vector<uint8_t> texture(const service_t& s, const std::string& path) {
  geo_box_t box;
  nodeBox(path, &box);
  return buildTexture(s.terrain, box, static_cast<int>(path.size()));
}

// The level's node holding a point and its eight neighbours (centre first).
std::vector<std::string> nodeAndNeighbours(double lat, double lon, int level) {
  geo_box_t box;
  nodeBox(nodePathOver(lat, lon, level), &box);
  const double dlat = box.n - box.s, dlon = box.e - box.w;
  std::vector<std::string> out{nodePathOver(lat, lon, level)};
  for (int i = -1; i <= 1; ++i)
    for (int j = -1; j <= 1; ++j)
      if (i || j) out.push_back(nodePathOver((box.s + box.n) / 2 + i * dlat, (box.w + box.e) / 2 + j * dlon, level));
  return out;
}

// --- windows ------------------------------------------------------------------

TEST(RasterWindow, FeatherRampsOverItsPixelsAndSamplesSkipInvalidNeighbours) {
  raster_window_t w;
  w.width = 20;
  w.height = 3;
  w.channels = 1;
  w.values.assign(60, 0.0f);
  w.weights.assign(60, 1.0f);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 20; ++x) {
      // Columns 0..4 are nodata holding a wild value; the rest hold 100.
      w.values[y * 20 + x] = x < 5 ? -1e30f : 100.0f;
      if (x < 5) w.weights[y * 20 + x] = 0.0f;
    }
  featherWeights(&w, 4);
  float previous = 0;
  for (int x = 0; x < 20; ++x) {
    const float wt = w.weights[20 + x];
    if (x < 5) {
      EXPECT_EQ(wt, 0.0f) << x;
    } else {
      EXPECT_GT(wt, previous) << x;  // rises pixel by pixel ...
    }
    if (x >= 5 + 4) {
      EXPECT_EQ(wt, 1.0f) << x;  // ... and is whole after four
    }
    if (x < 5 + 4) previous = wt;
  }
  // Pixel centres sit at (x + 0.5) pixels: between the last hole pixel and
  // the first valid one, the value is the valid one, the weight partial.
  float v = 0;
  const float a = sampleWindow(w, -1.5, 5.0, &v);  // row 1, between columns 4 and 5
  EXPECT_GT(a, 0.0f);
  EXPECT_LT(a, 0.2f);
  EXPECT_EQ(v, 100.0f);
  EXPECT_EQ(sampleWindow(w, -1.5, 30.0, &v), 0.0f);  // outside the window
  EXPECT_EQ(sampleWindow(w, -1.5, 15.0, &v), 1.0f);
}

TEST(RasterWindow, ReadsPickTheLevelAndCutTheWindowAcrossTheWrapAndThePoles) {
  // Overviews of 0.004 and 0.016 degrees over a 0.001-degree raster.
  const std::vector<double> levels = {0.001, 0.004, 0.016};
  EXPECT_EQ(chooseReadLevel(levels, 0.0005, 8).level, 0);
  const read_level_t averaged = chooseReadLevel(levels, 0.0081, 8);
  EXPECT_EQ(averaged.level, 1);
  EXPECT_EQ(averaged.decimation, 2);
  EXPECT_EQ(chooseReadLevel(levels, 1.0, 8).level, -1);  // 8-fold is still too fine

  // A global 1-degree grid: a node at the dateline reads both ends of it,
  // and rows beyond the north pole repeat the first one.
  const read_grid_t global{-180, 90, 1, 1, 360, 180, true};
  window_span_t span;
  ASSERT_TRUE(placeWindow(global, {-90, 90, -180, 180}, {89, 90, 179, 180}, 5, 1e6, &span));
  const std::vector<column_run_t> runs = columnRuns(global, span);
  ASSERT_EQ(runs.size(), 2u);
  EXPECT_EQ(runs[0].grid_col, 353);
  EXPECT_EQ(runs[1].grid_col, 0);
  EXPECT_EQ(runs[0].count + runs[1].count, span.c1 - span.c0 + 1);
  raster_window_t w;
  shapeWindow(global, span, 1, &w);
  const int first = span.first_row - span.r0;
  ASSERT_GT(first, 0);
  std::fill_n(&w.values[first * w.width], w.width, 7.0f);
  std::fill_n(&w.weights[first * w.width], w.width, 1.0f);
  repeatPoleRows(span, true, false, &w);
  EXPECT_EQ(w.values[0], 7.0f);
  EXPECT_EQ(w.weights[0], 1.0f);

  // A raster from 170 to 190 degrees east: a region at -174.5 reads it one
  // turn on, and samples come from the right column.
  const read_grid_t east{170, 10, 1, 1, 20, 20, false};
  ASSERT_TRUE(placeWindow(east, {-10, 10, 170, 190}, {0, 1, -175, -174}, 1, 1e6, &span));
  EXPECT_EQ(span.shift, 360.0);
  EXPECT_FALSE(placeWindow(east, {-10, 10, 170, 190}, {0, 1, 100, 101}, 1, 1e6, &span));
  shapeWindow(east, span, 1, &w);
  for (int i = 0; i < w.width * w.height; ++i) {
    w.values[i] = static_cast<float>(w.col0 + i % w.width);  // the grid column
    w.weights[i] = 255.0f;
  }
  normalizeWeights(&w);
  float v = 0;
  ASSERT_EQ(sampleWindow(w, 0.5, lonNearWindow(w, -174.5), &v), 1.0f);
  EXPECT_FLOAT_EQ(v, 15.0f);  // 185.5 degrees east: the centre of column 15
}

// --- imagery --------------------------------------------------------------------

// Checks the level-10 node holding `where` and its neighbours: magenta
// exactly on the texels well inside `where` (outside `hole`), the built-in
// planet's colour exactly on texels well outside it (or well inside the
// hole), nothing in between judged. Margins: the feather (4 pixels) plus a
// pixel and a texel inwards, a pixel and a texel outwards.
void expectMagentaOn(const rect_t& where, const rect_t* hole, double pixel_deg) {
  const double inner = 5 * pixel_deg + 0.0015, outer = pixel_deg + 0.0015;
  int magenta_texels = 0, hole_texels = 0;
  for (const std::string& path : nodeAndNeighbours((where.s + where.n) / 2, (where.w + where.e) / 2, 10)) {
    geo_box_t box;
    nodeBox(path, &box);
    const std::vector<uint8_t> with = texture(layeredPlanet(), path), without = texture(plainPlanet(), path);
    for (int r = 0; r < texture_size; ++r)
      for (int c = 0; c < texture_size; ++c) {
        const double lat = box.n - (box.n - box.s) * r / (texture_size - 1);
        const double lon = box.w + (box.e - box.w) * c / (texture_size - 1);
        const rect_t in{where.s + inner, where.n - inner, where.w + inner, where.e - inner};
        const rect_t out{where.s - outer, where.n + outer, where.w - outer, where.e + outer};
        const bool in_hole = hole && rect_t{hole->s + outer, hole->n - outer, hole->w + outer, hole->e - outer}.contains(lat, lon);
        const bool near_hole = hole && rect_t{hole->s - inner, hole->n + inner, hole->w - inner, hole->e + inner}.contains(lat, lon);
        const size_t k = (static_cast<size_t>(r) * texture_size + c) * 3;
        if (in.contains(lat, lon) && !near_hole) {
          ASSERT_EQ(with[k], 255) << path << " texel " << r << "," << c;
          ASSERT_EQ(with[k + 1], 0) << path << " texel " << r << "," << c;
          ASSERT_EQ(with[k + 2], 255) << path << " texel " << r << "," << c;
          ++magenta_texels;
        } else if (!out.contains(lat, lon) || in_hole) {
          for (int ch = 0; ch < 3; ++ch)
            ASSERT_EQ(with[k + ch], without[k + ch]) << path << " texel " << r << "," << c;
          hole_texels += in_hole;
        }
      }
  }
  // 0.1 degrees is about 72 texels at level 10.
  EXPECT_GT(magenta_texels, 50 * 50 - (hole ? 40 * 40 : 0));
  if (hole) {
    EXPECT_GT(hole_texels, 10 * 10);
  }
}

TEST(Layers, ImageryInsetShowsOnItsTexelsAndItsNodataHoleShowsTheLayerBelow) {
  expectMagentaOn(square, &square_hole, 0.001);
}

TEST(Layers, ProjectedInsetLandsWhereItsLongitudesAndLatitudesSay) {
  // 50 m pixels, warped to about 0.00055 degrees.
  expectMagentaOn(utm_square, nullptr, 0.00066);
}

TEST(Layers, CopiedImageryBlendsIntoTheBuiltInOneWithoutASeam) {
  // A level-12 node across the copy's western edge, and one inside it.
  for (const std::string& path : {nodePathOver(44.5, seam_copy.w, 12), nodePathOver(44.5, 3.0, 12)}) {
    const std::vector<uint8_t> with = texture(layeredPlanet(), path), without = texture(plainPlanet(), path);
    int worst = 0;
    double sum = 0;
    for (size_t k = 0; k < with.size(); ++k) {
      worst = std::max(worst, std::abs(with[k] - without[k]));
      sum += std::abs(with[k] - without[k]);
    }
    EXPECT_LE(worst, 3) << path;
    EXPECT_LT(sum / with.size(), 0.5) << path;
    EXPECT_GT(sum, 0) << path;  // the copy is drawn, not skipped
  }
}

// --- relief ----------------------------------------------------------------------

double highestVertex(const service_t& s, const std::string& path) {
  double top = -1e9;
  for (const Eigen::Vector3d& p : buildNodeGeometry(s.terrain, path).positions)
    top = std::max(top, p.norm() - planet_radius);
  return top;
}

TEST(Layers, ReliefConeRaisesItsNodeByItsHeightAndLeavesTheNextNodesAlone) {
  double lat, lon;
  coneApex(&lat, &lon);
  const std::vector<std::string> nodes = nodeAndNeighbours(lat, lon, 14);
  // The apex is the centre vertex of its node; quantization is 1/255 of
  // the mesh's height range (the cone and the skirts, about 1.7 km).
  EXPECT_NEAR(highestVertex(layeredPlanet(), nodes[0]), cone_base + cone_height, 10.0);
  EXPECT_LT(highestVertex(plainPlanet(), nodes[0]), 700.0);
  // Two levels up the cone is still there, smaller: heights are read
  // averaged at that level's spacing.
  const double parent = highestVertex(layeredPlanet(), nodes[0].substr(0, 12));
  EXPECT_GT(parent, cone_base + cone_height * 0.3);
  // Nodes two away do not reach the raster: the same mesh as without it.
  const std::string far = nodePathOver(lat + 0.05, lon + 0.05, 14);
  EXPECT_EQ(buildNodeGeometry(layeredPlanet().terrain, far).xyz, buildNodeGeometry(plainPlanet().terrain, far).xyz);
}

// --- the tree ----------------------------------------------------------------------

TEST(Layers, FineInsetOverTheSeaDeepensTheTreeThereOnly) {
  const service_t& s = layeredPlanet();
  const double lat = (sea_square.s + sea_square.n) / 2, lon = (sea_square.w + sea_square.e) / 2;
  // 5 m pixels call for nodes down to level 15 (texels of 4 m).
  for (int level = 12; level <= 14; ++level) {
    EXPECT_FALSE(nodeIsLeaf(s.terrain, nodePathOver(lat, lon, level))) << level;
    EXPECT_TRUE(nodeIsLeaf(plainPlanet().terrain, nodePathOver(lat, lon, 12)));
  }
  EXPECT_TRUE(nodeIsLeaf(s.terrain, nodePathOver(lat, lon, 15)));
  EXPECT_TRUE(nodeExists(s.terrain, nodePathOver(lat, lon, 15)));
  EXPECT_FALSE(nodeExists(s.terrain, nodePathOver(lat, lon, 16)));
  EXPECT_FALSE(nodeExists(s.terrain, nodePathOver(lat + 1.0, lon, 13)));  // next to it: the sea as before
  // The bulk at level 12 announces them.
  BulkMetadata bulk;
  ASSERT_TRUE(bulk.ParseFromString(buildBulkMetadata(s.terrain, nodePathOver(lat, lon, 12), format_bit_jpg)));
  int deepest = 0;
  for (const NodeMetadata& entry : bulk.node_metadata())
    deepest = std::max(deepest, unpackPathAndFlags(entry).level);
  EXPECT_EQ(deepest, 3);
  EXPECT_TRUE(bulkExists(s.terrain, nodePathOver(lat, lon, 12)));
}

// --- reading -----------------------------------------------------------------------

TEST(Layers, ConcurrentBuildsGetOneHandleEachAndTheSameBytes) {
  service_t& s = layeredPlanet();
  std::vector<std::string> paths;
  for (int level = 11; level <= 14; ++level)
    for (const std::string& p : nodeAndNeighbours((square.s + square.n) / 2, (square.w + square.e) / 2, level))
      paths.push_back(p);
  std::vector<std::string> serial;
  for (const std::string& p : paths) serial.push_back(buildNodeData(s.terrain, p, 1));
  std::vector<std::string> parallel(paths.size());
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (size_t i = t; i < paths.size(); i += 4) parallel[i] = buildNodeData(s.terrain, paths[i], 1);
    });
  for (std::thread& t : threads) t.join();
  EXPECT_EQ(serial, parallel);
  for (const auto& layer : s.terrain.imagery_layers) EXPECT_LE(layer->handleCount(), 4u) << layer->path();
}

TEST(Layers, FileListsKeepTheirOrderAndSkipEmptyItems) {
  std::vector<std::string> files;
  appendFileList("a.tif,,b c.tif,", &files);
  appendFileList(",d.vrt", &files);
  appendFileList("", &files);
  EXPECT_EQ(files, (std::vector<std::string>{"a.tif", "b c.tif", "d.vrt"}));
}

TEST(Layers, BadInputsAreRejectedWithTheFileAndTheReason) {
  const std::string dir = testFolder();
  const std::string text = dir + "/notes.tif";
  std::ofstream(text) << "not a raster\n";
  test_raster_t plain;
  plain.width = plain.height = 8;
  plain.pixel = [](int, int, int) { return 1.0; };
  test_raster_t no_geo = plain;
  no_geo.georeferenced = false;
  no_geo.epsg = 0;
  test_raster_t off_earth = plain;
  const double north_of_pole[6] = {10, 0.1, 0, 100, 0, -0.1};
  std::copy(north_of_pole, north_of_pole + 6, off_earth.geotransform);
  test_raster_t three = plain;
  const double alps[6] = {6, 0.1, 0, 46, 0, -0.1};
  std::copy(alps, alps + 6, three.geotransform);
  three.bands = 3;
  test_raster_t two = three;
  two.bands = 2;
  test_raster_t sixteen = three;
  sixteen.float_samples = true;
  struct bad_t {
    std::string path;
    bool relief;
    const char* reason;
  };
  const bad_t cases[] = {
      {dir + "/missing.tif", true, "cannot open as a raster"},
      {text, false, "cannot open as a raster"},
      {writeGeoTiff("no_geo", no_geo), true, "no georeferencing"},
      {writeGeoTiff("off_earth", off_earth), true, "covers no part of the Earth"},
      {writeGeoTiff("three_bands", three), true, "3 bands; relief takes a raster of 1 band"},
      {writeGeoTiff("two_bands", two), false, "2 bands; imagery takes 3 bands (RGB) or 4 (RGBA)"},
      {writeGeoTiff("float_rgb", sixteen), false, "imagery bands are Float32, not 8-bit"},
  };
  for (const bad_t& bad : cases) {
    planet_inputs_t inputs;
    (bad.relief ? inputs.relief_layers : inputs.imagery_layers).push_back(bad.path);
    service_t s;
    std::string error;
    EXPECT_FALSE(openService(&s, inputs, format_bit_jpg, 16 << 20, &error)) << bad.path;
    EXPECT_EQ(error.rfind(bad.path + ": ", 0), 0u) << error;
    EXPECT_NE(error.find(bad.reason), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST(Layers, AFileThatBecomesUnreadableFallsBackToTheLayersBelow) {
  // A copy of the square, served, then cut short under the running service.
  const std::string copy = testFolder() + "/square_cut.tif";
  std::filesystem::copy_file(layerFiles().square, copy, std::filesystem::copy_options::overwrite_existing);
  planet_inputs_t inputs;
  inputs.imagery_layers = {copy};
  inputs.rivers = false;  // as plainPlanet()
  service_t s;
  std::string error;
  ASSERT_TRUE(openService(&s, inputs, format_bit_jpg, 16 << 20, &error)) << error;
  std::filesystem::resize_file(copy, 600);
  const std::string path = nodePathOver(47.05, 2.05, 10);
  EXPECT_EQ(buildNodeData(s.terrain, path, 1), buildNodeData(plainPlanet().terrain, path, 1));
  EXPECT_TRUE(s.terrain.imagery_layers[0]->failed());
  // The tree does not change: what the bulks announced still exists.
  EXPECT_EQ(nodeIsLeaf(s.terrain, path), nodeIsLeaf(plainPlanet().terrain, path));
}

}  // namespace
