// How well the served planet's coasts agree with a coastline that is not
// GSHHG: the Digital Chart of the World's country polygons (Debian's
// gmt-dcw, 1:1,000,000, dumped to text by `gmt coast -E... -M`). Over a
// dozen coastal regions, points on a jittered grid are coloured as a viewer
// draws them at levels 10 to 12 (the node's served JPEG, sampled bilinearly
// where the mesh's texture coordinates put the point) and read as water or
// land by their colour (colour_reader_t); a reading is right when the chart
// agrees. The planet without GSHHG and the finer image is judged side by
// side, and so is GSHHG itself (its level at the point): the best that
// colours drawn from it can do.
//   coast_judge DCW.txt [POINTS_PER_SIDE]   (default 60)
// One line per region, the points pooled and the regions' mean. "near":
// the points within 3 km of the chart's coast, the shares right among them;
// "all points": among all; "reader": how often the colour reading of the
// served planet agrees with GSHHG at the point (what the reader loses).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#define STBI_ONLY_JPEG
#include <stb/stb_image.h>

#include "http/routing.h"
#include "planet/land_water_mask.h"
#include "planet/node_builder.h"

namespace {

struct region_t {
  const char* name;
  geo_box_t box;  // s, n, w, e
};
// Coasts with bays, straits, archipelagos, lagoons and harbours, none with a
// land border inside (the chart's borders are not coast).
constexpr region_t regions[] = {
    {"San Francisco Bay", {37.45, 38.05, -122.60, -122.00}},
    {"the Bosphorus", {40.95, 41.25, 28.85, 29.25}},
    {"Oslofjord", {59.45, 59.95, 10.35, 10.85}},
    {"Stockholm archipelago", {59.20, 59.50, 18.20, 18.80}},
    {"Venice lagoon", {45.20, 45.60, 12.15, 12.60}},
    {"Sydney Harbour", {-34.05, -33.70, 151.05, 151.35}},
    {"New York Harbor", {40.50, 40.85, -74.25, -73.85}},
    {"Guanabara Bay", {-23.05, -22.65, -43.35, -42.95}},
    {"Tokyo Bay", {35.20, 35.70, 139.60, 140.10}},
    {"Cape Peninsula", {-34.40, -33.85, 18.30, 18.85}},
    {"Chesapeake Bay", {38.90, 39.40, -76.60, -76.20}},
    {"Puget Sound", {47.30, 47.80, -122.65, -122.20}},
};

// The turn (-360, 0 or 360) that brings a longitude into [w, e], or 0.
double turnInto(double lon, double w, double e) {
  for (double t : {0.0, 360.0, -360.0, 720.0})
    if (lon + t >= w && lon + t <= e) return t;
  return 0;
}

// Whether two boxes come within `margin` degrees of each other, a turn of
// longitude apart or not; the turn that brings `b` onto `a`.
bool nearBox(const geo_box_t& a, const geo_box_t& b, double margin, double* turn = nullptr) {
  if (a.s > b.n + margin || a.n < b.s - margin) return false;
  for (double t : {0.0, 360.0, -360.0, 720.0})
    if (a.w < b.e + t + margin && a.e > b.w + t - margin) {
      if (turn) *turn = t;
      return true;
    }
  return false;
}

struct polygon_t {
  geo_box_t bounds;
  std::vector<double> lat, lon;
};

// The chart's segments, each a closed polygon of land; only those that come
// near a region are kept.
bool readChart(const char* path, std::vector<polygon_t>* out) {
  std::FILE* f = std::fopen(path, "r");
  if (!f) return false;
  auto nearRegion = [](const geo_box_t& b) {
    for (const region_t& r : regions)
      if (nearBox(b, r.box, 0.1)) return true;
    return false;
  };
  polygon_t p;
  auto finish = [&] {
    if (p.lat.size() >= 3) {
      // The chart writes longitudes from 0 to 360 and wraps some polygons
      // across 0: made continuous, a polygon is compared a turn away too.
      for (size_t i = 1; i < p.lon.size(); ++i)
        p.lon[i] += 360 * std::round((p.lon[i - 1] - p.lon[i]) / 360);
      p.bounds = {*std::min_element(p.lat.begin(), p.lat.end()), *std::max_element(p.lat.begin(), p.lat.end()),
                  *std::min_element(p.lon.begin(), p.lon.end()), *std::max_element(p.lon.begin(), p.lon.end())};
      if (nearRegion(p.bounds)) out->push_back(std::move(p));
    }
    p = polygon_t{};
  };
  char line[256];
  while (std::fgets(line, sizeof line, f)) {
    double lon, lat;
    if (line[0] == '>') {
      finish();
    } else if (std::sscanf(line, "%lf %lf", &lon, &lat) == 2) {
      p.lat.push_back(lat);
      p.lon.push_back(lon);
    }
  }
  finish();
  std::fclose(f);
  return true;
}

bool insidePolygon(const polygon_t& p, double lat, double lon) {
  lon += turnInto(lon, p.bounds.w, p.bounds.e);
  if (lat < p.bounds.s || lat > p.bounds.n || lon < p.bounds.w || lon > p.bounds.e) return false;
  bool in = false;
  for (size_t i = 0, j = p.lat.size() - 1; i < p.lat.size(); j = i++) {
    if ((p.lat[i] > lat) != (p.lat[j] > lat) &&
        lon < p.lon[j] + (p.lon[i] - p.lon[j]) * (lat - p.lat[j]) / (p.lat[i] - p.lat[j]))
      in = !in;
  }
  return in;
}

bool chartLand(const std::vector<const polygon_t*>& polys, double lat, double lon) {
  for (const polygon_t* p : polys)
    if (insidePolygon(*p, lat, lon)) return true;
  return false;
}

struct edge_t {
  double y0, x0, y1, x1;  // km from the region's south-west corner
};

double distanceKm(const edge_t& e, double y, double x) {
  const double dy = e.y1 - e.y0, dx = e.x1 - e.x0, len2 = dy * dy + dx * dx;
  double t = len2 > 0 ? ((y - e.y0) * dy + (x - e.x0) * dx) / len2 : 0;
  t = std::clamp(t, 0.0, 1.0);
  return std::hypot(y - e.y0 - t * dy, x - e.x0 - t * dx);
}

// A node's texture as served (JPEG), decoded; cached by path.
struct texture_cache_t {
  const terrain_t* terrain;
  std::map<std::string, std::vector<uint8_t>> rgb;
  const std::vector<uint8_t>& get(const std::string& path, const geo_box_t& box, int level) {
    auto it = rgb.find(path);
    if (it != rgb.end()) return it->second;
    const std::vector<uint8_t> built = buildTexture(*terrain, box, level);
    const std::string jpeg = encodeJpeg(built.data(), texture_size, texture_size);
    int w = 0, h = 0, c = 0;
    uint8_t* px = stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(jpeg.data()), static_cast<int>(jpeg.size()),
                                        &w, &h, &c, 3);
    if (!px || w != texture_size || h != texture_size) {
      std::fprintf(stderr, "coast_judge: the texture of %s does not decode\n", path.c_str());
      std::exit(1);
    }
    std::vector<uint8_t>& out = rgb[path];
    out.assign(px, px + static_cast<size_t>(w) * h * 3);
    stbi_image_free(px);
    return out;
  }
};

struct rgb_t {
  float c[3];
};

// Colour a viewer draws at the point from the node of `level` holding it:
// texture coordinates put texel centres 0 and 255 on the node's edges.
rgb_t drawnColour(texture_cache_t* cache, double lat, double lon, int level) {
  geo_box_t box;
  const std::string path = nodePathOver(lat, lon, level, &box);
  const std::vector<uint8_t>& rgb = cache->get(path, box, level);
  const double x = (lon - box.w) / (box.e - box.w) * (texture_size - 1);
  const double y = (box.n - lat) / (box.n - box.s) * (texture_size - 1);
  const int x0 = std::clamp(static_cast<int>(x), 0, texture_size - 2), y0 = std::clamp(static_cast<int>(y), 0, texture_size - 2);
  const double fx = x - x0, fy = y - y0;
  rgb_t out;
  for (int k = 0; k < 3; ++k) {
    auto at = [&](int yy, int xx) { return rgb[(static_cast<size_t>(yy) * texture_size + xx) * 3 + k]; };
    out.c[k] = static_cast<float>((1 - fy) * ((1 - fx) * at(y0, x0) + fx * at(y0, x0 + 1)) +
                                  fy * ((1 - fx) * at(y0 + 1, x0) + fx * at(y0 + 1, x0 + 1)));
  }
  return out;
}

struct sample_t {
  double coast_km;  // to the chart's coast
  bool near, land, gshhg_land;
  rgb_t before[3], after[3];  // levels 10 to 12
};

// Whether a planet draws a sample's colour as water: the most of its nine
// nearest colours, in RGB, among those the planet draws at the region's
// other points more than 1 km from the chart's coast, labelled by the chart
// (from 3 km, narrow sounds and archipelagos leave no water to learn
// from). Not a fixed hue
// rule: the base image's coastal water is as often green, grey or brown as
// blue, and its towns grey; a reader learns what water looks like here, as
// a person looking at the region does.
struct colour_reader_t {
  struct known_t {
    rgb_t colour;
    bool water;
    const sample_t* owner;
  };
  static constexpr double known_km = 1.0;
  std::vector<known_t> known;
  colour_reader_t(const std::vector<sample_t>& samples, bool after) {
    for (const sample_t& s : samples)
      if (s.coast_km > known_km)
        for (const rgb_t& c : after ? s.after : s.before) known.push_back({c, !s.land, &s});
  }
  // `self`'s own colours (at any level) are not among those it is read by.
  bool isWater(const rgb_t& x, const sample_t* self) const {
    constexpr int k = 9;
    std::pair<float, bool> best[k];
    int n = 0;
    for (const known_t& e : known) {
      if (e.owner == self) continue;
      float d = 0;
      for (int i = 0; i < 3; ++i) d += (x.c[i] - e.colour.c[i]) * (x.c[i] - e.colour.c[i]);
      if (n < k) {
        best[n++] = {d, e.water};
        std::push_heap(best, best + n);
      } else if (d < best[0].first) {
        std::pop_heap(best, best + k);
        best[k - 1] = {d, e.water};
        std::push_heap(best, best + k);
      }
    }
    int water = 0;
    for (int i = 0; i < n; ++i) water += best[i].second;
    return 2 * water > n;
  }
};

struct tally_t {
  long near = 0, all = 0, near_right = 0, all_right = 0;
  void add(bool is_near, bool right) {
    ++all;
    all_right += right;
    if (is_near) {
      ++near;
      near_right += right;
    }
  }
  double nearShare() const { return near ? static_cast<double>(near_right) / near : 0; }
  double allShare() const { return all ? static_cast<double>(all_right) / all : 0; }
};

bool openPlanet(service_t* s, bool coasts) {
  planet_inputs_t inputs;
  if (!coasts) inputs.gshhg_dir = inputs.fine_imagery = "";
  std::string error;
  if (!openService(s, inputs, format_bit_jpg, 64 << 20, &error)) {
    std::fprintf(stderr, "coast_judge: %s\n", error.c_str());
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: coast_judge DCW.txt [POINTS_PER_SIDE]\n");
    return 2;
  }
  const int side = argc > 2 ? std::atoi(argv[2]) : 60;
  if (side < 2 || side > 1000) {
    std::fprintf(stderr, "coast_judge: POINTS_PER_SIDE must be 2 to 1000\n");
    return 2;
  }
  std::vector<polygon_t> chart;
  if (!readChart(argv[1], &chart) || chart.empty()) {
    std::fprintf(stderr, "coast_judge: no chart polygons near the regions in %s\n", argv[1]);
    return 2;
  }
  auto before = std::make_unique<service_t>(), after = std::make_unique<service_t>();
  if (!openPlanet(before.get(), false) || !openPlanet(after.get(), true)) return 2;
  if (!after->terrain.shoreline) {
    std::fprintf(stderr, "coast_judge: the planet has no GSHHG coasts (is gmt-gshhg-full installed?)\n");
    return 2;
  }
  const Shoreline& shore = *after->terrain.shoreline;
  constexpr double km_per_degree = 111.195, near_km = 3.0;
  constexpr int first_level = 10, last_level = 12;
  tally_t total_before, total_after, total_gshhg, total_rule;
  double sum_before = 0, sum_after = 0, sum_gshhg = 0;
  std::printf("%-22s %6s %6s   within 3 km: before  after  GSHHG   all points: before  after   reader\n", "region",
              "points", "near");
  uint64_t seed = 12345;
  auto jitter = [&seed] {
    seed = seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(seed >> 11) / 9007199254740992.0;
  };
  for (const region_t& r : regions) {
    std::vector<const polygon_t*> polys;
    std::vector<double> turns;  // that bring each polygon onto the region
    for (const polygon_t& p : chart) {
      double turn = 0;
      if (nearBox(p.bounds, r.box, 0.05, &turn)) {
        polys.push_back(&p);
        turns.push_back(turn);
      }
    }
    // The chart's coast near the region, in km: polygon edges with water on
    // one side (an edge shared by two countries is a border).
    const double kx = km_per_degree * std::cos((r.box.s + r.box.n) / 2 * M_PI / 180), ky = km_per_degree;
    std::vector<edge_t> coast;
    for (size_t k = 0; k < polys.size(); ++k)
      for (size_t i = 0, j = polys[k]->lat.size() - 1; i < polys[k]->lat.size(); j = i++) {
        const polygon_t* p = polys[k];
        const double lat0 = p->lat[j], lon0 = p->lon[j] - turns[k], lat1 = p->lat[i], lon1 = p->lon[i] - turns[k];
        const double margin = 0.05;
        if (std::max(lat0, lat1) < r.box.s - margin || std::min(lat0, lat1) > r.box.n + margin ||
            std::max(lon0, lon1) < r.box.w - margin || std::min(lon0, lon1) > r.box.e + margin)
          continue;
        const double mlat = (lat0 + lat1) / 2, mlon = (lon0 + lon1) / 2;
        const double dy = (lat1 - lat0) * ky, dx = (lon1 - lon0) * kx, len = std::hypot(dy, dx);
        if (len == 0) continue;
        const double off_km = 0.02, olat = dx / len * off_km / ky, olon = -dy / len * off_km / kx;
        if (chartLand(polys, mlat + olat, mlon + olon) && chartLand(polys, mlat - olat, mlon - olon)) continue;
        coast.push_back({(lat0 - r.box.s) * ky, (lon0 - r.box.w) * kx, (lat1 - r.box.s) * ky, (lon1 - r.box.w) * kx});
      }
    tally_t t_before, t_after, t_gshhg;
    // The texture caches hold one region's nodes at a time.
    texture_cache_t cache_before{&before->terrain, {}}, cache_after{&after->terrain, {}};
    std::vector<sample_t> samples;
    for (int a = 0; a < side; ++a)
      for (int b = 0; b < side; ++b) {
        const double lat = r.box.s + (a + jitter()) / side * (r.box.n - r.box.s);
        const double lon = r.box.w + (b + jitter()) / side * (r.box.e - r.box.w);
        const double y = (lat - r.box.s) * ky, x = (lon - r.box.w) * kx;
        double coast_km = 1e9;
        for (const edge_t& e : coast) coast_km = std::min(coast_km, distanceKm(e, y, x));
        sample_t sample{coast_km, coast_km < near_km, chartLand(polys, lat, lon), false, {}, {}};
        sample.gshhg_land = shoreLevels(shore, last_level, {lat}, {lon})[0] % 2 == 1;
        for (int level = first_level; level <= last_level; ++level) {
          sample.before[level - first_level] = drawnColour(&cache_before, lat, lon, level);
          sample.after[level - first_level] = drawnColour(&cache_after, lat, lon, level);
        }
        samples.push_back(sample);
      }
    const colour_reader_t reader_before(samples, false), reader_after(samples, true);
    tally_t t_rule;
    for (const sample_t& s : samples) {
      t_gshhg.add(s.near, s.gshhg_land == s.land);
      for (int k = 0; k <= last_level - first_level; ++k) {
        t_before.add(s.near, reader_before.isWater(s.before[k], &s) != s.land);
        const bool water_after = reader_after.isWater(s.after[k], &s);
        t_after.add(s.near, water_after != s.land);
        // The colour reading itself, against the mask the texture came from.
        t_rule.add(true, water_after != s.gshhg_land);
      }
    }
    std::printf("%-22s %6ld %6ld   %18.3f %6.3f %6.3f   %18.3f %6.3f   %6.3f\n", r.name, t_gshhg.all, t_gshhg.near,
                t_before.nearShare(), t_after.nearShare(), t_gshhg.nearShare(), t_before.allShare(), t_after.allShare(),
                t_rule.allShare());
    std::fflush(stdout);
    sum_before += t_before.nearShare();
    sum_after += t_after.nearShare();
    sum_gshhg += t_gshhg.nearShare();
    auto pool = [](tally_t* into, const tally_t& from) {
      into->near += from.near;
      into->all += from.all;
      into->near_right += from.near_right;
      into->all_right += from.all_right;
    };
    pool(&total_before, t_before);
    pool(&total_after, t_after);
    pool(&total_gshhg, t_gshhg);
    pool(&total_rule, t_rule);
  }
  const int n = static_cast<int>(std::size(regions));
  std::printf("%-22s %6ld %6ld   %18.3f %6.3f %6.3f   %18.3f %6.3f   %6.3f\n", "all points pooled",
              total_gshhg.all, total_gshhg.near, total_before.nearShare(), total_after.nearShare(),
              total_gshhg.nearShare(), total_before.allShare(), total_after.allShare(), total_rule.allShare());
  std::printf("%-22s %13s   %18.3f %6.3f %6.3f\n", "mean of the regions", "", sum_before / n, sum_after / n,
              sum_gshhg / n);
  return 0;
}
