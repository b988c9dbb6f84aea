#include "view/camera_path.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "viewer_settings.h"

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

// A finite decimal number, all of the word.
bool parseWord(const std::string& word, double* out) {
  if (word.empty() || word.size() > 64) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(word.c_str(), &end);
  if (errno != 0 || end != word.c_str() + word.size() || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

const char* checkPose(const double v[6]) {
  if (v[0] < 0 || v[0] > 1e7) return "the time must be from 0 to 10,000,000 seconds";
  if (v[1] < -90 || v[1] > 90) return "the latitude must be from -90 to 90 degrees";
  if (v[2] < -180 || v[2] > 180) return "the longitude must be from -180 to 180 degrees";
  if (v[3] < position_min_altitude || v[3] > position_max_altitude)
    return "the altitude must be from -1,000 m to 40,000 km";
  if (std::abs(v[4]) > 1e6) return "the heading must be within a million degrees";
  if (v[5] < -90 || v[5] > 90) return "the pitch must be from -90 to 90 degrees";
  return nullptr;
}

// The value of b taken the shortest way round from a (360-degree periods).
double nearestTurn(double a, double b) { return a + std::remainder(b - a, 360.0); }

}  // namespace

bool parseCameraPath(std::string_view text, camera_path_t* path, std::string* why) {
  path->poses.clear();
  if (text.size() > path_max_bytes) {
    *why = "larger than " + std::to_string(path_max_bytes) + " bytes";
    return false;
  }
  size_t line_no = 0;
  size_t at = 0;
  while (at < text.size()) {
    const size_t end = std::min(text.find('\n', at), text.size());
    const std::string_view line = text.substr(at, end - at);
    at = end + 1;
    ++line_no;
    std::vector<std::string> words;
    size_t k = 0;
    while (k < line.size() && words.size() <= 6) {
      while (k < line.size() && isBlank(line[k])) ++k;
      const size_t start = k;
      while (k < line.size() && !isBlank(line[k])) ++k;
      if (k > start) words.emplace_back(line.substr(start, k - start));
    }
    if (words.empty() || words[0][0] == '#') continue;
    const std::string where = "line " + std::to_string(line_no) + ": ";
    double v[6];
    bool numbers = words.size() == 6;
    for (size_t w = 0; numbers && w < 6; ++w) numbers = parseWord(words[w], &v[w]);
    if (!numbers) {
      *why = where + "expected six numbers: time latitude longitude altitude heading pitch";
      return false;
    }
    if (const char* bad = checkPose(v)) {
      *why = where + bad;
      return false;
    }
    if (!path->poses.empty() && !(v[0] > path->poses.back().time_s)) {
      *why = where + "the time must be later than the line before's";
      return false;
    }
    if (path->poses.size() == path_max_poses) {
      *why = "more than " + std::to_string(path_max_poses) + " poses";
      return false;
    }
    path->poses.push_back({v[0], {v[1], v[2], v[3], std::fmod(std::fmod(v[4], 360) + 360, 360), v[5]}});
  }
  if (path->poses.empty()) {
    *why = "no pose";
    return false;
  }
  return true;
}

bool loadCameraPath(const std::string& file, camera_path_t* path, std::string* why) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    *why = "--path: cannot read " + file;
    return false;
  }
  std::string text(path_max_bytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (!parseCameraPath(text, path, why)) {
    *why = "--path: " + file + ": " + *why;
    return false;
  }
  return true;
}

double pathDuration(const camera_path_t& path) { return path.poses.back().time_s; }

geo_pose_t poseAt(const camera_path_t& path, double time_s) {
  const std::vector<path_pose_t>& p = path.poses;
  if (p.size() == 1 || time_s <= p.front().time_s) return p.front().pose;
  if (time_s >= p.back().time_s) return p.back().pose;
  const size_t i = static_cast<size_t>(
      std::upper_bound(p.begin(), p.end(), time_s, [](double t, const path_pose_t& q) { return t < q.time_s; }) -
      p.begin() - 1);
  // Each pose's values, unwrapped towards pose i so that the cubic turns the
  // short way; four points around the interval (repeated at the ends).
  const auto values = [&](size_t k) {
    const geo_pose_t& a = p[i].pose;
    const geo_pose_t& q = p[k].pose;
    return std::array<double, 5>{q.lat_deg, nearestTurn(a.lon_deg, q.lon_deg), q.altitude_m,
                                 nearestTurn(a.heading_deg, q.heading_deg), q.pitch_deg};
  };
  const size_t k0 = i == 0 ? 0 : i - 1, k3 = std::min(i + 2, p.size() - 1);
  const double t0 = p[k0].time_s, t1 = p[i].time_s, t2 = p[i + 1].time_s, t3 = p[k3].time_s;
  const auto v0 = values(k0), v1 = values(i), v2 = values(i + 1), v3 = values(k3);
  const double h = t2 - t1, s = (time_s - t1) / h;
  const double h00 = 2 * s * s * s - 3 * s * s + 1, h10 = s * s * s - 2 * s * s + s;
  const double h01 = -2 * s * s * s + 3 * s * s, h11 = s * s * s - s * s;
  std::array<double, 5> out{};
  for (size_t c = 0; c < 5; ++c) {
    // Tangents from the neighbours (Catmull-Rom over uneven times); one-sided at the ends.
    const double m1 = (v2[c] - v0[c]) / (t2 - t0);
    const double m2 = (v3[c] - v1[c]) / (t3 - t1);
    out[c] = h00 * v1[c] + h10 * h * m1 + h01 * v2[c] + h11 * h * m2;
  }
  geo_pose_t g{std::clamp(out[0], -90.0, 90.0), std::remainder(out[1], 360.0),
               std::clamp(out[2], position_min_altitude, position_max_altitude),
               std::fmod(std::fmod(out[3], 360) + 360, 360), std::clamp(out[4], -90.0, 90.0)};
  return g;
}
