// Typed search text: whatever bytes a person types or pastes end in at most
// the asked number of results, never in a crash, an FTS5 syntax error that
// escapes, or coordinates out of range. A small index of the same layout as
// the build's (tools/place_index.py) is written once, so that the text
// reaches the real queries.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

#include <sqlite3.h>

#include "view/place_search.h"
#include "viewer_settings.h"

namespace {

place_index_t* makeIndex() {
  const std::string path = "/tmp/fuzz_place_query." + std::to_string(getpid()) + ".sqlite";
  unlink(path.c_str());
  sqlite3* db = nullptr;
  if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) std::abort();
  const char* sql =
      "CREATE TABLE places(id INTEGER PRIMARY KEY, name TEXT NOT NULL, country TEXT NOT NULL, admin1 TEXT NOT NULL,"
      " population INTEGER NOT NULL, latitude REAL NOT NULL, longitude REAL NOT NULL, elevation INTEGER NOT NULL);"
      "CREATE VIRTUAL TABLE place_names USING fts5(name, ascii_name, alternate_names, content='',"
      " tokenize='unicode61 remove_diacritics 2', prefix='1 2 3');"
      "CREATE VIRTUAL TABLE place_boxes USING rtree(id, min_lat, max_lat, min_lon, max_lon);"
      "INSERT INTO places VALUES (1, 'Zürich', 'CH', 'ZH', 341730, 47.37, 8.55, 429),"
      " (2, 'Zermatt', 'CH', 'VS', 5643, 46.02, 7.75, 1608), (3, 'New York City', 'US', 'NY', 8804190, 40.7, -74, 10);"
      "INSERT INTO place_names(rowid, name, ascii_name, alternate_names) VALUES (1, 'Zürich', 'Zurich', 'Zurigo'),"
      " (2, 'Zermatt', 'Zermatt', 'Cermat'), (3, 'New York City', 'New York City', 'NYC, Nueva York');"
      "INSERT INTO place_boxes VALUES (1, 47.37, 47.37, 8.55, 8.55), (2, 46.02, 46.02, 7.75, 7.75),"
      " (3, 40.7, 40.7, -74, -74);";
  if (sqlite3_exec(db, sql, nullptr, nullptr, nullptr) != SQLITE_OK) std::abort();
  sqlite3_close(db);
  std::string why;
  place_index_t* index = openPlaceIndex(path, &why).release();
  unlink(path.c_str());  // open: the file lives until the process ends
  if (!index) std::abort();
  return index;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static place_index_t* index = makeIndex();
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::string cleaned = cleanSearchText(text);
  if (cleaned.size() > search_max_query_bytes) std::abort();
  for (char c : cleaned)
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7f) std::abort();
  double lat = 0, lon = 0;
  if (parseCoordinates(text, &lat, &lon) && !(std::fabs(lat) <= 90 && std::fabs(lon) <= 180)) std::abort();
  const std::vector<place_result_t> results = searchPlaces(index, text, 3);
  if (results.size() > 3) std::abort();
  for (const place_result_t& r : results)
    if (!(std::fabs(r.lat_deg) <= 90 && std::fabs(r.lon_deg) <= 180)) std::abort();
  return 0;
}
