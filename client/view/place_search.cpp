#include "view/place_search.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <sqlite3.h>
#include <sys/stat.h>

#include "viewer_settings.h"

struct place_index_t {
  sqlite3* db = nullptr;
  sqlite3_stmt* match = nullptr;          // names matching an FTS5 query, in rank order
  sqlite3_stmt* population_of = nullptr;  // a rank's population
  sqlite3_stmt* in_box = nullptr;         // through the R*Tree
  sqlite3_stmt* in_rank_order = nullptr;  // the most populous, those outside the box skipped
  int64_t count = 0;                      // places (the largest rank)
};

void place_index_closer_t::operator()(place_index_t* index) const {
  if (!index) return;
  for (sqlite3_stmt* s : {index->match, index->population_of, index->in_box, index->in_rank_order})
    sqlite3_finalize(s);
  sqlite3_close(index->db);
  delete index;
}

namespace {

constexpr const char* result_columns = "p.id, p.name, p.country, p.admin1, p.latitude, p.longitude, p.elevation, p.population";

std::string columnText(sqlite3_stmt* s, int column) {
  const unsigned char* text = sqlite3_column_text(s, column);
  return text ? reinterpret_cast<const char*>(text) : "";
}

bool allDigits(const std::string& s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// A row of result_columns. A numeric first-level division code means nothing
// to a reader ("84" in France): only the country then.
place_result_t resultOf(sqlite3_stmt* s) {
  place_result_t r{};
  r.id = sqlite3_column_int64(s, 0);
  r.name = columnText(s, 1);
  const std::string country = columnText(s, 2), admin1 = columnText(s, 3);
  r.region = admin1.empty() || allDigits(admin1) ? country : admin1 + ", " + country;
  r.lat_deg = sqlite3_column_double(s, 4);
  r.lon_deg = sqlite3_column_double(s, 5);
  r.elevation_m = sqlite3_column_double(s, 6);
  r.population = sqlite3_column_int64(s, 7);
  return r;
}

// Runs a bound statement, appending its rows (with dedupe, those whose id is
// new) up to limit.
void collect(sqlite3_stmt* s, size_t limit, bool dedupe, std::vector<place_result_t>* out) {
  while (out->size() < limit && sqlite3_step(s) == SQLITE_ROW) {
    const int64_t id = sqlite3_column_int64(s, 0);
    if (!dedupe || std::none_of(out->begin(), out->end(), [id](const place_result_t& r) { return r.id == id; }))
      out->push_back(resultOf(s));
  }
  sqlite3_reset(s);
  sqlite3_clear_bindings(s);
}

// The length of the UTF-8 character at text[k], 0 when it is not a valid one
// (overlong forms, surrogates and code points past U+10FFFF are not).
size_t utf8Length(const std::string& text, size_t k, uint32_t* code) {
  const auto b = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char c = b(k);
  size_t n = 0;
  uint32_t cp = 0;
  if (c < 0x80) return *code = c, 1;
  if (c >= 0xc2 && c <= 0xdf) n = 2, cp = c & 0x1f;
  else if (c >= 0xe0 && c <= 0xef) n = 3, cp = c & 0x0f;
  else if (c >= 0xf0 && c <= 0xf4) n = 4, cp = c & 0x07;
  else return 0;
  if (k + n > text.size()) return 0;
  for (size_t i = 1; i < n; ++i) {
    if ((b(k + i) & 0xc0) != 0x80) return 0;
    cp = (cp << 6) | (b(k + i) & 0x3f);
  }
  if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10ffff)) || (cp >= 0xd800 && cp <= 0xdfff))
    return 0;
  *code = cp;
  return n;
}

std::vector<std::string> words(const std::string& cleaned) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start < cleaned.size() && out.size() < search_max_words) {
    size_t end = cleaned.find(' ', start);
    if (end == std::string::npos) end = cleaned.size();
    if (end > start) out.push_back(cleaned.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

// A word as an FTS5 string: in double quotes, its own quotes doubled.
std::string quoted(const std::string& word) {
  std::string q = "\"";
  for (char c : word) q += c == '"' ? std::string("\"\"") : std::string(1, c);
  return q + "\"";
}

std::string grouped(int64_t n) {
  std::string digits = std::to_string(n), out;
  for (size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0) out += ',';
    out += digits[k];
  }
  return out;
}

// --- Coordinates -----------------------------------------------------------

// Degree, minute and second marks in their typographic forms, made single
// ASCII marks; anything else outside ASCII is not part of coordinates.
bool asciiMarks(const std::string& text, std::string* out) {
  static const struct {
    const char* from;
    char to;
  } marks[] = {{"\xc2\xb0", '\x01'}, {"\xc2\xba", '\x01'}, {"\xe2\x80\xb2", '\''}, {"\xe2\x80\x99", '\''},
               {"\xe2\x80\xb3", '"'},  {"\xe2\x80\x9d", '"'},  {"''", '"'}};
  out->clear();
  for (size_t k = 0; k < text.size();) {
    bool replaced = false;
    for (const auto& m : marks) {
      const size_t n = std::char_traits<char>::length(m.from);
      if (text.compare(k, n, m.from) == 0) {
        *out += m.to;
        k += n;
        replaced = true;
        break;
      }
    }
    if (replaced) continue;
    if (static_cast<unsigned char>(text[k]) >= 0x80) return false;
    *out += text[k++];
  }
  return true;
}

// One coordinate being read: degrees, minutes, seconds, a sign and a
// hemisphere letter (before or after the numbers).
struct coordinate_t {
  double value[3];
  int numbers = 0;
  bool negative = false;
  char hemisphere = 0;  // 'N', 'S', 'E', 'W' or 0
  bool closed = false;  // a comma or a trailing letter ended it
  bool separated = false;  // a comma followed it
};

bool isLatitudeLetter(char h) { return h == 'N' || h == 'S'; }

}  // namespace

place_index_ptr_t openPlaceIndex(const std::string& path, std::string* why) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *why = "no place index at " + path;
    return nullptr;
  }
  place_index_ptr_t index(new place_index_t);
  if (sqlite3_open_v2(path.c_str(), &index->db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr) != SQLITE_OK) {
    *why = path + ": " + sqlite3_errmsg(index->db);
    return nullptr;
  }
  const std::string cols = result_columns;
  const struct {
    sqlite3_stmt** statement;
    std::string sql;
  } statements[] = {
      {&index->match, "SELECT " + cols + " FROM place_names f JOIN places p ON p.id = f.rowid "
                      "WHERE place_names MATCH ?1 ORDER BY f.rowid LIMIT ?2"},
      {&index->population_of, "SELECT population FROM places WHERE id = ?1"},
      // The ids first: sorting them is cheap, the rows are read for the few kept.
      {&index->in_box, "SELECT " + cols + " FROM places p WHERE p.id IN (SELECT id FROM place_boxes "
                       "WHERE min_lat >= ?1 AND max_lat <= ?2 AND min_lon >= ?3 AND max_lon <= ?4 "
                       "AND id <= ?5 ORDER BY id LIMIT ?6) ORDER BY p.id"},
      {&index->in_rank_order, "SELECT " + cols + " FROM places p WHERE p.id <= ?5 AND p.latitude BETWEEN ?1 AND ?2 "
                              "AND p.longitude BETWEEN ?3 AND ?4 ORDER BY p.id LIMIT ?6"},
  };
  for (const auto& s : statements) {
    if (sqlite3_prepare_v2(index->db, s.sql.c_str(), -1, s.statement, nullptr) != SQLITE_OK) {
      *why = path + " is not a place index: " + sqlite3_errmsg(index->db);
      return nullptr;
    }
  }
  sqlite3_stmt* count = nullptr;
  if (sqlite3_prepare_v2(index->db, "SELECT max(id) FROM places", -1, &count, nullptr) == SQLITE_OK &&
      sqlite3_step(count) == SQLITE_ROW)
    index->count = sqlite3_column_int64(count, 0);
  sqlite3_finalize(count);
  if (index->count <= 0) {
    *why = path + " holds no place";
    return nullptr;
  }
  return index;
}

std::string cleanSearchText(const std::string& text) {
  std::string out;
  bool space = true;  // no leading space, one space between words
  for (size_t k = 0; k < text.size();) {
    uint32_t code = 0;
    const size_t n = utf8Length(text, k, &code);
    const bool blank = n == 0 || code <= ' ' || code == 0x7f || (code >= 0x80 && code < 0xa0);
    if (blank) {
      k += n == 0 ? 1 : n;
      if (!space) {
        if (out.size() + 1 > search_max_query_bytes) break;
        out += ' ';
        space = true;
      }
      continue;
    }
    if (out.size() + n > search_max_query_bytes) break;
    out.append(text, k, n);
    k += n;
    space = false;
  }
  while (!out.empty() && out.back() == ' ') out.pop_back();
  return out;
}

std::string searchMatchQuery(const std::string& cleaned, int tier) {
  const std::vector<std::string> w = words(cleaned);
  if (w.empty()) return "";
  if (tier == 3) {
    if (w.size() < 2) return "";  // the same as tier 2
    std::string q;
    for (const std::string& word : w) q += (q.empty() ? "" : " ") + quoted(word) + "*";
    return q;
  }
  std::string phrase;
  for (const std::string& word : w) phrase += (phrase.empty() ? "" : " ") + word;
  const std::string q = quoted(phrase) + "*";
  if (tier == 0) return "{name ascii_name} : ^" + q;
  if (tier == 1) return "{name ascii_name} : " + q;
  if (tier == 2) return q;
  return "";
}

bool parseCoordinates(const std::string& text, double* lat_deg, double* lon_deg) {
  std::string s;
  if (!asciiMarks(text, &s)) return false;
  std::vector<coordinate_t> parts;
  const auto current = [&]() -> coordinate_t* { return parts.empty() ? nullptr : &parts.back(); };
  for (size_t k = 0; k < s.size();) {
    const char c = s[k];
    if (c == ' ' || c == '\t') {
      ++k;
    } else if (c == ',' || c == ';') {
      coordinate_t* cur = current();
      if (!cur || cur->numbers == 0 || cur->separated) return false;
      cur->closed = cur->separated = true;
      ++k;
    } else if (std::isalpha(static_cast<unsigned char>(c))) {
      if (k + 1 < s.size() && std::isalpha(static_cast<unsigned char>(s[k + 1]))) return false;  // a word
      const char h = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      if (h != 'N' && h != 'S' && h != 'E' && h != 'W') return false;
      coordinate_t* cur = current();
      if (cur && cur->numbers > 0 && !cur->hemisphere && !cur->negative) {
        cur->hemisphere = h;
        cur->closed = true;
      } else {
        if (parts.size() == 2) return false;
        coordinate_t next{};
        next.hemisphere = h;
        parts.push_back(next);
      }
      ++k;
    } else if (std::isdigit(static_cast<unsigned char>(c)) || c == '-' || c == '+' || c == '.') {
      const size_t start = k;
      if (c == '-' || c == '+') ++k;
      size_t digits = 0;
      while (k < s.size() && std::isdigit(static_cast<unsigned char>(s[k]))) ++k, ++digits;
      if (k < s.size() && s[k] == '.') {
        ++k;
        while (k < s.size() && std::isdigit(static_cast<unsigned char>(s[k]))) ++k, ++digits;
      }
      if (digits == 0 || k - start > 24) return false;
      const std::string number = s.substr(start, k - start);
      const double v = std::strtod(number.c_str(), nullptr);
      const bool negative = c == '-';
      while (k < s.size() && s[k] == ' ') ++k;
      const char mark = k < s.size() ? s[k] : 0;
      const int unit = mark == '\'' ? 1 : mark == '"' ? 2 : 0;
      if (mark == '\x01' || unit > 0) ++k;
      coordinate_t* cur = current();
      if (unit == 0) {
        // Degrees: a new coordinate, unless a hemisphere letter opened one.
        if (!(cur && cur->numbers == 0 && !cur->closed)) {
          if (parts.size() == 2) return false;
          parts.push_back(coordinate_t{});
          cur = current();
        }
        if (negative && cur->hemisphere) return false;
        cur->value[0] = std::fabs(v);
        cur->negative = negative;
        cur->numbers = 1;
      } else {
        // Minutes follow whole degrees, seconds follow minutes; neither signed.
        if (!cur || cur->closed || cur->numbers != unit || c == '-' || c == '+' || !(v < 60)) return false;
        if (cur->value[unit - 1] != std::floor(cur->value[unit - 1])) return false;
        cur->value[unit] = v;
        cur->numbers = unit + 1;
      }
    } else {
      return false;
    }
  }
  if (parts.size() != 2) return false;
  double value[2];
  for (int k = 0; k < 2; ++k) {
    const coordinate_t& p = parts[static_cast<size_t>(k)];
    if (p.numbers == 0) return false;
    double v = p.value[0];
    if (p.numbers > 1) v += p.value[1] / 60;
    if (p.numbers > 2) v += p.value[2] / 3600;
    if (p.negative || p.hemisphere == 'S' || p.hemisphere == 'W') v = -v;
    value[k] = v;
  }
  const char a = parts[0].hemisphere, b = parts[1].hemisphere;
  if (a && b && isLatitudeLetter(a) == isLatitudeLetter(b)) return false;
  const bool swapped = (a && !isLatitudeLetter(a)) || (b && isLatitudeLetter(b));
  const double lat = swapped ? value[1] : value[0], lon = swapped ? value[0] : value[1];
  if (!(std::fabs(lat) <= 90 && std::fabs(lon) <= 180)) return false;
  *lat_deg = lat;
  *lon_deg = lon;
  return true;
}

std::vector<place_result_t> searchPlaces(place_index_t* index, const std::string& text, size_t limit) {
  std::vector<place_result_t> results;
  const std::string cleaned = cleanSearchText(text);
  if (cleaned.empty() || limit == 0) return results;
  limit = std::min<size_t>(limit, 100);
  double lat = 0, lon = 0;
  if (parseCoordinates(cleaned, &lat, &lon)) {
    char name[64];
    std::snprintf(name, sizeof name, "%.5f %c, %.5f %c", std::fabs(lat), lat < 0 ? 'S' : 'N', std::fabs(lon),
                  lon < 0 ? 'W' : 'E');
    results.push_back({0, name, "", lat, lon, 0, 0});
  }
  if (!index) return results;
  std::string previous;
  for (int tier = 0; tier < 4 && results.size() < limit; ++tier) {
    const std::string q = searchMatchQuery(cleaned, tier);
    if (q.empty() || q == previous) continue;
    previous = q;
    sqlite3_bind_text(index->match, 1, q.c_str(), static_cast<int>(q.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(index->match, 2, static_cast<int64_t>(limit));
    collect(index->match, limit, true, &results);
  }
  return results;
}

double resultViewHeight(const place_result_t& r) {
  if (r.id == 0) return search_coordinates_view_m;
  const double h = search_view_min_m +
                   search_view_m_per_sqrt_population * std::sqrt(static_cast<double>(std::max<int64_t>(r.population, 0)));
  return std::min(h, search_view_max_m);
}

std::string resultLine(const place_result_t& r) {
  if (r.id == 0) return r.name;
  std::string line = r.name + " (" + r.region;
  if (r.population > 0) line += (r.region.empty() ? "" : "; ") + grouped(r.population) + " inhabitants";
  return line + ")";
}

std::vector<place_result_t> placesInBox(place_index_t* index, const place_box_t& box, double min_population,
                                        size_t limit) {
  std::vector<place_result_t> out;
  if (!index || limit == 0 || !(box.south <= box.north && box.west <= box.east)) return out;
  // Ranks follow population, so "at least min_population" is "rank at most
  // the last rank with that many": a binary search over ranks.
  int64_t lo = 0, hi = index->count;  // ranks 1..lo qualify, ranks past hi do not
  while (lo < hi) {
    const int64_t mid = lo + (hi - lo + 1) / 2;
    sqlite3_bind_int64(index->population_of, 1, mid);
    const bool qualifies = sqlite3_step(index->population_of) == SQLITE_ROW &&
                           static_cast<double>(sqlite3_column_int64(index->population_of, 0)) >= min_population;
    sqlite3_reset(index->population_of);
    if (qualifies) lo = mid;
    else hi = mid - 1;
  }
  if (lo == 0) return out;
  sqlite3_stmt* s = lo <= labels_scan_max_rank ? index->in_rank_order : index->in_box;
  sqlite3_bind_double(s, 1, box.south);
  sqlite3_bind_double(s, 2, box.north);
  sqlite3_bind_double(s, 3, box.west);
  sqlite3_bind_double(s, 4, box.east);
  sqlite3_bind_int64(s, 5, lo);
  sqlite3_bind_int64(s, 6, static_cast<int64_t>(limit));
  collect(s, limit, false, &out);
  return out;
}
