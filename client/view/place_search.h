// Finding places by name, offline: GeoNames' cities with 500 inhabitants or
// more in an SQLite file built with the viewer (tools/place_index.py). A
// name is found by any prefix of its words, whatever its case and accents
// ("zurich" finds Zürich), and by its alternate names; the most populous
// come first, names that begin with the text before names that contain it.
// Typed coordinates ("45.83, 6.86", "45°49'N 6°52'E") are a result too.
// Also the places in a latitude/longitude box, for the labels.
//
// Typed text is untrusted: it is cut, cleaned and quoted before it reaches
// the index's query language, and a failing query is no result, not an
// error the caller must handle.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct place_result_t {
  int64_t id;          // the place's rank by population (1 the most populous); 0 for typed coordinates
  std::string name;    // as GeoNames writes it, or the coordinates
  std::string region;  // "VS, CH": first-level division and country code; empty for coordinates
  double lat_deg, lon_deg;
  double elevation_m;  // of the place (GeoNames), 0 when unknown
  int64_t population;
};

struct place_index_t;  // the database and its prepared statements
struct place_index_closer_t {
  void operator()(place_index_t* index) const;
};
using place_index_ptr_t = std::unique_ptr<place_index_t, place_index_closer_t>;

// Opens an index read-only. Null with the reason in *why when the file is
// missing or not an index.
place_index_ptr_t openPlaceIndex(const std::string& path, std::string* why);

// The index the build made (its path is fixed at build time).
const char* builtPlaceIndexPath();

// Up to `limit` results for typed text: the coordinates it spells first,
// then places by name. Nothing for empty text or text without a letter or
// digit; `index` may be null (coordinates only).
std::vector<place_result_t> searchPlaces(place_index_t* index, const std::string& text, size_t limit);

// The text made safe: cut to search_max_query_bytes on a character
// boundary, invalid UTF-8 and control characters made spaces, spaces
// collapsed and trimmed.
std::string cleanSearchText(const std::string& text);

// The FTS5 query of one ranking tier for cleaned text, every word quoted
// (its quotes doubled), the last one a prefix. Tiers: 0 the names begin
// with the text, 1 the names contain it, 2 any name (alternate names too)
// contains it, 3 every word somewhere in the names. Empty when the text has
// no word.
std::string searchMatchQuery(const std::string& cleaned, int tier);

// "45.83, 6.86", "-33.9 151.2", "45.83N 6.86E", "45°49'N 6°52'E",
// "45°49'30\"N, 6°52'10\"E", "N45 E6", minutes and seconds with ′ ″ too:
// true with the latitude and longitude in degrees. A hemisphere letter
// decides which number is which; without one the latitude comes first.
bool parseCoordinates(const std::string& text, double* lat_deg, double* lon_deg);

// How high above a result the view is put (metres above the place).
double resultViewHeight(const place_result_t& result);

// One line for a result: "Zermatt (VS, CH; 6,629 inhabitants)", or
// "45.83000 N, 6.86000 E".
std::string resultLine(const place_result_t& result);

// The places in a latitude/longitude box (south <= north, west <= east,
// degrees) with at least min_population inhabitants, the most populous
// first, at most `limit`.
struct place_box_t {
  double south, north, west, east;
};
std::vector<place_result_t> placesInBox(place_index_t* index, const place_box_t& box, double min_population,
                                        size_t limit);
