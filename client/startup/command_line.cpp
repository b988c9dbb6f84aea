#include "startup/command_line.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <CLI/CLI.hpp>

#include "net/http_client.h"
#include "net/http_proxy.h"
#include "view/places.h"

#ifndef OSTRAVEL_VERSION
#define OSTRAVEL_VERSION "unknown"
#endif

namespace {

constexpr int min_window_side = 64;
constexpr int max_window_side = 16384;
constexpr long max_cache_mb = 1000000;
constexpr long max_memory_mb = 1048576;  // 1 TiB

// A whole decimal number and nothing else (no trailing text, no NaN).
bool parseNumber(const std::string& text, double* out) {
  if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) return false;
  char* end = nullptr;
  errno = 0;
  const double v = std::strtod(text.c_str(), &end);
  if (errno != 0 || end != text.c_str() + text.size() || !std::isfinite(v)) return false;
  *out = v;
  return true;
}

bool parseInt(const std::string& text, long min, long max, long* out) {
  if (text.empty() || text.size() > 9 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  const long v = std::strtol(text.c_str(), nullptr, 10);
  if (v < min || v > max) return false;
  *out = v;
  return true;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (;;) {
    const size_t at = text.find(sep, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

std::string placeNames() {
  std::string names;
  for (const place_t& p : places) names += (names.empty() ? "" : ", ") + std::string(p.name);
  return names;
}

std::string shortNumber(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

std::string oneLine(std::string text) {
  for (char& c : text)
    if (c == '\n') c = ' ';
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

}  // namespace

bool parseServiceUrl(const std::string& text, std::string* base_url, std::string* why) {
  *why = "--service: expected http://HOST[:PORT]/rt/earth/ or https://HOST[:PORT]/rt/earth/, got \"" +
         text.substr(0, 200) + "\"";
  const bool tls = text.compare(0, 8, "https://") == 0;
  const std::string scheme = tls ? "https://" : "http://";
  if (text.compare(0, scheme.size(), scheme) != 0) return false;
  const size_t slash = text.find('/', scheme.size());
  const std::string authority = text.substr(scheme.size(), slash == std::string::npos ? slash : slash - scheme.size());
  std::string path = slash == std::string::npos ? "/" : text.substr(slash);
  const size_t colon = authority.rfind(':');
  const std::string host = authority.substr(0, colon);
  if (host.empty() || host.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.-_") !=
                          std::string::npos)
    return false;
  long port = tls ? 443 : 80;
  if (colon != std::string::npos && !parseInt(authority.substr(colon + 1), 1, 65535, &port)) {
    *why = "--service: the port must be a number from 1 to 65535 in \"" + text.substr(0, 200) + "\"";
    return false;
  }
  // The request path goes verbatim into the request line: no spaces, no controls.
  for (char c : path)
    if (static_cast<unsigned char>(c) <= ' ' || c == 0x7f || c == '?' || c == '#') return false;
  if (path == "/") path = "/rt/earth/";
  if (path.back() != '/') path += '/';
  *base_url = scheme + host + ":" + std::to_string(port) + path;
  return true;
}

bool parsePosition(const std::string& text, geo_pose_t* pose, std::string* why) {
  const std::vector<std::string> parts = split(text, ',');
  double v[5] = {0, 0, 0, 0, 0};
  bool numbers = parts.size() == 3 || parts.size() == 5;
  for (size_t k = 0; numbers && k < parts.size(); ++k) numbers = parseNumber(parts[k], &v[k]);
  if (!numbers) {
    *why = "--position: expected LAT,LON,ALT[,HEADING,PITCH] in degrees and metres, got \"" + text.substr(0, 200) +
           "\"";
    return false;
  }
  const char* bad = nullptr;
  if (v[0] < -90 || v[0] > 90)
    bad = "the latitude must be from -90 to 90 degrees";
  else if (v[1] < -180 || v[1] > 180)
    bad = "the longitude must be from -180 to 180 degrees";
  else if (v[2] < position_min_altitude || v[2] > position_max_altitude)
    bad = "the altitude must be from -1,000 m to 40,000 km";
  else if (v[4] < -90 || v[4] > 90)
    bad = "the pitch must be from -90 to 90 degrees";
  if (bad) {
    *why = std::string("--position: ") + bad + " in \"" + text.substr(0, 200) + "\"";
    return false;
  }
  *pose = {v[0], v[1], v[2], std::fmod(std::fmod(v[3], 360) + 360, 360), v[4]};
  return true;
}

bool parseWindowSize(const std::string& text, int* width, int* height, std::string* why) {
  const std::vector<std::string> parts = split(text, 'x');
  long w = 0, h = 0;
  if (parts.size() != 2 || !parseInt(parts[0], min_window_side, max_window_side, &w) ||
      !parseInt(parts[1], min_window_side, max_window_side, &h)) {
    *why = "--windowed: expected WIDTHxHEIGHT, each from 64 to 16384 pixels, got \"" + text.substr(0, 200) + "\"";
    return false;
  }
  *width = static_cast<int>(w);
  *height = static_cast<int>(h);
  return true;
}

command_line_t parseCommandLine(int argc, const char* const* argv) {
  command_line_t result;
  viewer_options_t& o = result.options;
  std::string service, position, place, windowed, overlay, settle_timeout, cache_mb, memory_mb, navigation, labels;
  std::string frame_ms, msaa, fades, atmosphere, path;

  CLI::App app("Ostravel: flies over a planet streamed from a rocktree service.", "ostravel");
  app.set_version_flag("--version", std::string("ostravel ") + OSTRAVEL_VERSION);
  app.add_option("--service", service,
                 "the service, http://HOST:PORT/rt/earth/ (default: $OSTRAVEL_SERVICE_HOST, else http://" +
                     std::string(OSTRAVEL_SERVICE_HOST) + "/rt/earth/)")
      ->type_name("URL");
  CLI::Option* pos = app.add_option("--position", position,
                                    "start here: degrees north and east, metres above the sphere, heading "
                                    "clockwise from north, pitch negative below the horizon (default: 10 km "
                                    "above northern France, looking at the sky)")
                         ->type_name("LAT,LON,ALT[,HEADING,PITCH]");
  app.add_option("--place", place, "start at a built-in place: " + placeNames())
      ->type_name("NAME")
      ->excludes(pos);
  app.add_option("--go", o.go,
                 "start at the first place a search for this text finds (a name, or coordinates such as "
                 "\"45.83, 6.86\" or \"45°49'N 6°52'E\"); exit with status 2 when nothing matches")
      ->type_name("TEXT")
      ->excludes(pos);
  app.add_option("--labels", labels, "names of the most populous places in view (default: off; L toggles them)")
      ->type_name("on|off");
  app.add_option("--windowed", windowed, "a resizable window of this size instead of full screen 2560x1440")
      ->type_name("WxH");
  app.add_option("--overlay", overlay, "the status overlay at start (default: on when windowed; H toggles it)")
      ->type_name("on|off");
  app.add_option("--navigation", navigation,
                 "globe: drag the planet, the wheel zooms to the cursor, right drag tilts, double click flies "
                 "there; free: the free-flying camera with the mouse captured (default: free; N switches)")
      ->type_name("globe|free");
  app.add_option("--screenshot-when-settled", o.screenshot_when_settled,
                 "write the first frame after the view settles to this PNG file")
      ->type_name("FILE.png");
  app.add_flag("--exit-when-settled", o.exit_when_settled,
               "exit with status 0 after the first frame after the view settles (and its screenshot)");
  app.add_option("--settle-timeout", settle_timeout,
                 "with --exit-when-settled: exit with status 2 when nothing settles within this many seconds")
      ->type_name("S")
      ->default_str(shortNumber(settle_timeout_default_s));
  app.add_option("--cache-dir", o.cache_dir, "the disk cache's directory")->type_name("DIR")->capture_default_str();
  app.add_option("--cache-mb", cache_mb, "the disk cache's size on disk in MiB; 0 turns it off")
      ->type_name("N")
      ->default_str(std::to_string(disk_cache_default_mb));
  app.add_flag("--offline", o.offline, "open no socket: only the disk cache answers");
  app.add_option("--ca-file", o.ca_file,
                 "trust the CA certificates of this PEM file too, beside the system's, for an https:// service")
      ->type_name("FILE");
  app.add_option("--header", o.request_headers,
                 "send this header with every request, e.g. an API key (repeatable; its value is never printed)")
      ->type_name("\"NAME: VALUE\"")
      ->take_all();
  app.add_option("--proxy", o.proxy,
                 "go through this HTTP proxy, CONNECT for https:// (default: $https_proxy, $http_proxy, "
                 "$no_proxy as curl reads them)")
      ->type_name("http://[USER:PASSWORD@]HOST[:PORT]");
  app.add_option("--memory-mb", memory_mb,
                 "what downloaded data the view no longer needs may keep in memory, in MiB, before the least "
                 "recently used goes (what the view shows is always kept)")
      ->type_name("N")
      ->default_str(std::to_string(memory_budget_bytes >> 20));
  app.add_option("--frame-ms", frame_ms,
                 "each frame advances time by exactly this many milliseconds, whatever the wall clock "
                 "(flights and recordings repeat frame for frame)")
      ->type_name("MS");
  app.add_option("--msaa", msaa,
                 "multisampling: 0, 2, 4 or 8 samples a pixel (default: " + std::to_string(msaa_hardware_default) +
                     " on a hardware renderer, 0 under a software one)")
      ->type_name("N");
  app.add_option("--fades", fades, "nodes fade in and out over a quarter second instead of popping (default: off)")
      ->type_name("on|off");
  app.add_option("--atmosphere", atmosphere,
                 "a sky behind the planet, a glowing limb and haze over distant ground (default: off)")
      ->type_name("on|off");
  app.add_option("--path", path,
                 "fly this camera path: a text file of timed poses, one a line: seconds, latitude, longitude, "
                 "altitude, heading, pitch")
      ->type_name("FILE");
  app.add_option("--record", o.record_dir,
                 "with --path: write every frame of the path, each once its view has settled, as "
                 "DIR/frame-NNNNN.png (30 frames a second unless --frame-ms), then exit")
      ->type_name("DIR");
  app.footer(
      "Keys: W/S forwards/backwards, A/D sideways, Q/E down/up, Shift five times faster, the mouse turns; "
      "1 to 9 fly to the built-in places in the order above; N switches between globe and free navigation "
      "(globe: left drag pans, the wheel zooms, right or Ctrl + left drag tilts and turns, a double click "
      "flies closer, W/A/S/D/Q/E follow the altitude); H the status overlay; F12 a screenshot "
      "(ostravel-YYYYmmdd-HHMMSS.png in the working directory); / searches for a place by name or coordinates "
      "(arrows choose, Enter flies there, Escape closes the line); L the place labels; Escape quits. "
      "Place names: GeoNames (geonames.org), CC-BY 4.0.");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    result.run = false;
    result.text = app.help();
    return result;
  } catch (const CLI::CallForVersion& e) {
    result.run = false;
    result.text = std::string(e.what()) + "\n";
    return result;
  } catch (const CLI::ParseError& e) {
    result.run = false;
    result.exit_status = 2;
    result.text = "ostravel: " + oneLine(e.what()) + " (see --help)\n";
    return result;
  }

  std::string why;
  bool ok = true;
  if (!service.empty()) ok = parseServiceUrl(service, &o.service_base_url, &why);
  if (ok && !position.empty()) ok = o.has_start_pose = parsePosition(position, &o.start_pose, &why);
  if (ok && !place.empty()) {
    const place_t* p = findPlace(place);
    if (!p) {
      why = "--place: no place \"" + place.substr(0, 64) + "\"; the places are " + placeNames();
      ok = false;
    } else {
      o.has_start_pose = true;
      o.start_pose = p->pose;
    }
  }
  if (ok && !settle_timeout.empty() &&
      !(parseNumber(settle_timeout, &o.settle_timeout_s) && o.settle_timeout_s > 0 && o.settle_timeout_s <= 1e6)) {
    why = "--settle-timeout: expected seconds from 0 to 1000000, got \"" + settle_timeout.substr(0, 64) + "\"";
    ok = false;
  }
  long mb = 0;
  if (ok && !cache_mb.empty()) {
    ok = parseInt(cache_mb, 0, max_cache_mb, &mb);
    o.cache_mb = mb;
    if (!ok) why = "--cache-mb: expected a whole number of MiB from 0 to 1000000, got \"" + cache_mb.substr(0, 64) + "\"";
  }
  if (ok && !memory_mb.empty()) {
    ok = parseInt(memory_mb, 0, max_memory_mb, &mb);
    o.memory_budget_bytes = static_cast<size_t>(mb) << 20;
    if (!ok) why = "--memory-mb: expected a whole number of MiB from 0 to 1048576, got \"" + memory_mb.substr(0, 64) + "\"";
  }
  if (ok && !windowed.empty()) ok = o.windowed = parseWindowSize(windowed, &o.window_width, &o.window_height, &why);
  o.overlay = o.windowed;
  if (ok && !overlay.empty()) {
    ok = overlay == "on" || overlay == "off";
    o.overlay = overlay == "on";
    if (!ok) why = "--overlay: expected on or off, got \"" + overlay.substr(0, 64) + "\"";
  }
  if (ok && !navigation.empty()) {
    ok = navigation == "globe" || navigation == "free";
    o.globe_navigation = navigation == "globe";
    if (!ok) why = "--navigation: expected globe or free, got \"" + navigation.substr(0, 64) + "\"";
  }
  if (ok && !frame_ms.empty() &&
      !(parseNumber(frame_ms, &o.frame_ms) && o.frame_ms > 0 && o.frame_ms <= frame_ms_max)) {
    why = "--frame-ms: expected milliseconds above 0 and at most 10000, got \"" + frame_ms.substr(0, 64) + "\"";
    ok = false;
  }
  if (ok && !msaa.empty()) {
    ok = msaa == "0" || msaa == "2" || msaa == "4" || msaa == "8";
    o.msaa = ok ? std::atoi(msaa.c_str()) : -1;
    if (!ok) why = "--msaa: expected 0, 2, 4 or 8 samples, got \"" + msaa.substr(0, 64) + "\"";
  }
  if (ok && !fades.empty()) {
    ok = fades == "on" || fades == "off";
    o.fades = fades == "on";
    if (!ok) why = "--fades: expected on or off, got \"" + fades.substr(0, 64) + "\"";
  }
  if (ok && !atmosphere.empty()) {
    ok = atmosphere == "on" || atmosphere == "off";
    o.atmosphere = atmosphere == "on";
    if (!ok) why = "--atmosphere: expected on or off, got \"" + atmosphere.substr(0, 64) + "\"";
  }
  if (ok && !path.empty()) ok = o.has_path = loadCameraPath(path, &o.path, &why);
  if (ok && !o.record_dir.empty() && !o.has_path) {
    why = "--record needs --path";
    ok = false;
  }
  // A recording's frames show the planet only: the overlay's figures change from run to run.
  if (ok && !o.record_dir.empty() && overlay.empty()) o.overlay = false;
  if (ok && !labels.empty()) {
    ok = labels == "on" || labels == "off";
    o.labels = labels == "on";
    if (!ok) why = "--labels: expected on or off, got \"" + labels.substr(0, 64) + "\"";
  }
  if (ok && !place.empty() && !o.go.empty()) {
    why = "--go and --place both choose where to start: give one";
    ok = false;
  }
  if (ok && o.offline && o.cache_mb == 0) {
    why = "--offline needs the disk cache: --cache-mb 0 turns it off";
    ok = false;
  }
  for (const std::string& header : o.request_headers) {
    char header_why[160];
    if (ok && !httpCheckRequestHeader(header.c_str(), header_why, sizeof header_why)) {
      why = header_why;
      ok = false;
    }
  }
  http_proxy_t proxy;
  char proxy_why[256];
  if (ok && !o.proxy.empty() && !httpParseProxyUrl(o.proxy.c_str(), &proxy, proxy_why, sizeof proxy_why)) {
    why = std::string("--proxy: ") + proxy_why;
    ok = false;
  }
  if (ok && o.cache_dir.empty()) {
    why = "--cache-dir: the directory name is empty";
    ok = false;
  }
  if (!ok) {
    result.run = false;
    result.exit_status = 2;
    result.text = "ostravel: " + oneLine(why) + "\n";
  }
  return result;
}
