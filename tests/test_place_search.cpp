// The search on a small index that this test builds with the build's own
// tool (tools/place_index.py) from hand-written GeoNames lines, the
// coordinate parser, hostile text, and the box query of the labels; one
// check on the real index when the build made it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <string>

#include "view/place_search.h"
#include "viewer_settings.h"

namespace {

struct row_t {
  const char *name, *ascii, *alternates, *country, *admin1;
  long population;
  double lat, lon;
};

const row_t rows[] = {
    {"Zürich", "Zurich", "Zuerich,Zurigo,Цюрих", "CH", "ZH", 341730, 47.36667, 8.55},
    {"Zürich (Kreis 11)", "Zuerich (Kreis 11)", "", "CH", "ZH", 54260, 47.4, 8.53},
    {"Zermatt", "Zermatt", "Cermat,ツェルマット", "CH", "VS", 5643, 46.02, 7.74863},
    {"Paris", "Paris", "Lutetia,Parigi", "FR", "11", 2138551, 48.85341, 2.3488},
    {"Paris", "Paris", "", "US", "TX", 25171, 33.66, -95.55},
    {"Parisot", "Parisot", "", "FR", "76", 600, 44.26, 1.86},
    {"New York City", "New York City", "NYC,Nueva York", "US", "NY", 8804190, 40.71, -74.0},
    {"York", "York", "Eboracum", "GB", "ENG", 156135, 53.96, -1.08},
    {"Saint-Étienne", "Saint-Etienne", "", "FR", "84", 171961, 45.43, 4.39},
    {"São Paulo", "Sao Paulo", "", "BR", "27", 12400232, -23.5475, -46.63611},
};

class PlaceSearch : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::string txt = "test_places.txt", db = "test_places.sqlite";
    std::ofstream f(txt);
    int id = 1;
    for (const row_t& r : rows)
      f << id++ << '\t' << r.name << '\t' << r.ascii << '\t' << r.alternates << '\t' << r.lat << '\t' << r.lon
        << "\tP\tPPL\t" << r.country << "\t\t" << r.admin1 << "\t\t\t\t" << r.population << "\t\t500\tEurope/Zurich\t2020-01-01\n";
    f << "a truncated line\n";
    f.close();
    const std::string command =
        "python3 " OSTRAVEL_SOURCE_DIR "/tools/place_index.py " + txt + " " + db + " 2>/dev/null";
    ASSERT_EQ(std::system(command.c_str()), 0);
    std::string why;
    index_ = openPlaceIndex(db, &why).release();
    ASSERT_NE(index_, nullptr) << why;
  }
  static void TearDownTestSuite() { place_index_closer_t()(index_); }

  static std::vector<std::string> names(const std::string& text, size_t limit = 5) {
    std::vector<std::string> out;
    for (const place_result_t& r : searchPlaces(index_, text, limit)) out.push_back(r.name + "/" + r.region);
    return out;
  }
  static std::string first(const std::string& text) {
    const std::vector<std::string> n = names(text);
    return n.empty() ? "" : n[0];
  }

  static place_index_t* index_;
};
place_index_t* PlaceSearch::index_ = nullptr;

TEST_F(PlaceSearch, FindsPrefixesWhateverTheCaseAccentsOrWhichName) {
  EXPECT_EQ(first("zurich"), "Zürich/ZH, CH");
  EXPECT_EQ(first("ZÜR"), "Zürich/ZH, CH");
  EXPECT_EQ(first("zurigo"), "Zürich/ZH, CH");   // an alternate name
  EXPECT_EQ(first("цюрих"), "Zürich/ZH, CH");    // another script, another case
  EXPECT_EQ(first("ツェルマット"), "Zermatt/VS, CH");
  EXPECT_EQ(first("sao pa"), "São Paulo/BR");    // numeric divisions are left out
  EXPECT_EQ(first("saint etienne"), "Saint-Étienne/FR");
  EXPECT_EQ(first("nueva york"), "New York City/NY, US");
  EXPECT_TRUE(names("zermattx").empty());
}

TEST_F(PlaceSearch, RanksNamesThatBeginWithTheTextFirstThenByPopulation) {
  EXPECT_EQ(names("paris"), (std::vector<std::string>{"Paris/FR", "Paris/TX, US", "Parisot/FR"}));
  // York begins with the text; New York City, more populous, only contains it.
  EXPECT_EQ(names("york"), (std::vector<std::string>{"York/ENG, GB", "New York City/NY, US"}));
  EXPECT_EQ(names("zur", 1), (std::vector<std::string>{"Zürich/ZH, CH"}));
  const std::vector<place_result_t> z = searchPlaces(index_, "zermatt", 5);
  ASSERT_EQ(z.size(), 1u);
  EXPECT_NEAR(z[0].lat_deg, 46.02, 1e-9);
  EXPECT_EQ(z[0].population, 5643);
  EXPECT_EQ(z[0].elevation_m, 500);
  EXPECT_EQ(resultLine(z[0]), "Zermatt (VS, CH; 5,643 inhabitants)");
  // A village from lower than a city, the largest from the cap.
  EXPECT_GE(resultViewHeight(z[0]), search_view_min_m);
  EXPECT_LT(resultViewHeight(z[0]), resultViewHeight(searchPlaces(index_, "zurich", 1)[0]));
  EXPECT_EQ(resultViewHeight(searchPlaces(index_, "sao paulo", 1)[0]), search_view_max_m);
}

TEST(PlaceCoordinates, ParsesDecimalAndSexagesimalFormsWithHemispheres) {
  const struct {
    const char* text;
    double lat, lon;
  } good[] = {
      {"45.83, 6.86", 45.83, 6.86},
      {"-33.86 151.21", -33.86, 151.21},
      {"45°49'N 6°52'E", 45 + 49 / 60.0, 6 + 52 / 60.0},
      {"45°49'30\"N, 6°52'10\"E", 45 + 49 / 60.0 + 30 / 3600.0, 6 + 52 / 60.0 + 10 / 3600.0},
      {"6°52′E 45°49′N", 45 + 49 / 60.0, 6 + 52 / 60.0},
      {"33°52′4″S 151°12′E", -(33 + 52 / 60.0 + 4 / 3600.0), 151.2},
      {"N45 E6", 45, 6},
      {"45.5n; 122.6w", 45.5, -122.6},
      {"45° 49' N, 6° 52' E", 45 + 49 / 60.0, 6 + 52 / 60.0},
  };
  for (const auto& g : good) {
    double lat = 0, lon = 0;
    ASSERT_TRUE(parseCoordinates(g.text, &lat, &lon)) << g.text;
    EXPECT_NEAR(lat, g.lat, 1e-9) << g.text;
    EXPECT_NEAR(lon, g.lon, 1e-9) << g.text;
  }
  for (const char* bad : {"91, 0", "0, 181", "45", "45, 6, 7", "45°61'N 6E", "-45N 6E", "45N 6N", "Paris 45 6",
                          "45.5°30' 6", "45' 6", "1e5, 3", ",45 6", "N S", "45 6 7"}) {
    double lat = 0, lon = 0;
    EXPECT_FALSE(parseCoordinates(bad, &lat, &lon)) << bad;
  }
  const std::vector<place_result_t> r = searchPlaces(nullptr, "45.83, 6.86", 5);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].id, 0);
  EXPECT_EQ(resultLine(r[0]), "45.83000 N, 6.86000 E");
  EXPECT_EQ(resultViewHeight(r[0]), search_coordinates_view_m);
}

TEST_F(PlaceSearch, HostileTextIsCutQuotedAndNeverFails) {
  for (const std::string& text :
       {std::string(""), std::string("   "), std::string("\""), std::string("*"), std::string("NEAR(a b)"),
        std::string("a OR b NOT c"), std::string("^"), std::string("{name}: x"), std::string("\"\"\"*"),
        std::string("("), std::string("\xff\xfe\xc3"), std::string("zur\0ich", 7), std::string("\x1b[2J"),
        std::string(1 << 20, 'z'), std::string(100000, '"')}) {
    EXPECT_LE(searchPlaces(index_, text, 5).size(), 5u);
    EXPECT_LE(cleanSearchText(text).size(), search_max_query_bytes);
  }
  EXPECT_TRUE(names("").empty());
  EXPECT_TRUE(names(" \t ").empty());
  EXPECT_EQ(first("  Zer\tmatt  "), "");              // words stay words
  EXPECT_EQ(first("zer\x01"), "Zermatt/VS, CH");      // a control character is a space
  EXPECT_EQ(searchMatchQuery(cleanSearchText("a\"b  c"), 2), "\"a\"\"b c\"*");
  EXPECT_EQ(searchMatchQuery("x y", 3), "\"x\"* \"y\"*");
  EXPECT_EQ(searchMatchQuery("", 0), "");
  // A long line is cut on a character boundary: 2-byte characters, an even cut.
  std::string accents;
  for (int k = 0; k < 1000; ++k) accents += "é";
  const std::string cut = cleanSearchText(accents);
  EXPECT_EQ(cut.size(), search_max_query_bytes);
  EXPECT_EQ(cut, accents.substr(0, search_max_query_bytes));
  EXPECT_EQ(cleanSearchText("a\xff" "b\xe2\x82"), "a b");
}

TEST_F(PlaceSearch, PlacesInABoxMostPopulousFirstAboveAThreshold) {
  const place_box_t swiss{45.5, 48, 5.5, 10.5};
  std::vector<std::string> got;
  for (const place_result_t& r : placesInBox(index_, swiss, 0, 10)) got.push_back(r.name);
  EXPECT_EQ(got, (std::vector<std::string>{"Zürich", "Zürich (Kreis 11)", "Zermatt"}));
  EXPECT_EQ(placesInBox(index_, swiss, 10000, 10).size(), 2u);
  EXPECT_EQ(placesInBox(index_, swiss, 0, 1).size(), 1u);
  EXPECT_TRUE(placesInBox(index_, swiss, 1e9, 10).empty());
  EXPECT_TRUE(placesInBox(index_, {0, 10, 0, 10}, 0, 10).empty());
  // The whole world, in population order.
  const std::vector<place_result_t> world = placesInBox(index_, {-90, 90, -180, 180}, 0, 3);
  ASSERT_EQ(world.size(), 3u);
  EXPECT_EQ(world[0].name, "São Paulo");
  EXPECT_EQ(world[2].name, "Paris");
}

TEST(PlaceIndex, MissingOrForeignFilesAreRejectedWithTheReason) {
  std::string why;
  EXPECT_EQ(openPlaceIndex("no/such/places.sqlite", &why), nullptr);
  EXPECT_NE(why.find("no place index at no/such/places.sqlite"), std::string::npos);
  std::ofstream("not_an_index.sqlite") << "hello";
  EXPECT_EQ(openPlaceIndex("not_an_index.sqlite", &why), nullptr);
  EXPECT_NE(why.find("not_an_index.sqlite"), std::string::npos);
}

TEST(PlaceIndex, TheBuiltIndexFindsZermattAndZurich) {
  std::string why;
  place_index_ptr_t index = openPlaceIndex(builtPlaceIndexPath(), &why);
  if (!index) GTEST_SKIP() << why;
  const std::vector<place_result_t> z = searchPlaces(index.get(), "zurich", 5);
  ASSERT_FALSE(z.empty());
  EXPECT_EQ(z[0].name, "Zürich");
  const std::vector<place_result_t> m = searchPlaces(index.get(), "Zermatt", 1);
  ASSERT_EQ(m.size(), 1u);
  EXPECT_NEAR(m[0].lat_deg, 46.02, 0.01);
  EXPECT_NEAR(m[0].lon_deg, 7.75, 0.01);
  // Every place of a box, through the R*Tree (too many places for the scan
  // in rank order): Zürich first, then ever smaller places, all inside.
  const place_box_t swiss{45.8, 47.8, 5.9, 10.5};
  const std::vector<place_result_t> in = placesInBox(index.get(), swiss, 0, 300);
  ASSERT_EQ(in.size(), 300u);
  EXPECT_EQ(in[0].name, "Zürich");
  for (size_t k = 0; k < in.size(); ++k) {
    EXPECT_TRUE(in[k].lat_deg >= swiss.south && in[k].lat_deg <= swiss.north && in[k].lon_deg >= swiss.west &&
                in[k].lon_deg <= swiss.east);
    if (k > 0) {
      EXPECT_GE(in[k - 1].population, in[k].population);
    }
  }
}

}  // namespace
