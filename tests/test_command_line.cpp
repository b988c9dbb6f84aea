#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "startup/command_line.h"
#include "startup/picture_choices.h"
#include "view/places.h"

namespace {

command_line_t parse(std::vector<std::string> args) {
  args.insert(args.begin(), "ostravel");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  return parseCommandLine(static_cast<int>(argv.size()), argv.data());
}

}  // namespace

// No arguments: the plain start. Every option changes only its own field.
TEST(CommandLine, DefaultsAreThePlainStartAndOptionsSetTheirFields) {
  const command_line_t plain = parse({});
  ASSERT_TRUE(plain.run);
  const viewer_options_t& d = plain.options;
  EXPECT_EQ(d.service_base_url, "");
  EXPECT_FALSE(d.has_start_pose);
  EXPECT_FALSE(d.windowed);
  EXPECT_EQ(d.window_width, 2560);
  EXPECT_EQ(d.window_height, 1440);
  EXPECT_FALSE(d.overlay);
  EXPECT_EQ(d.cache_dir, "cache/");
  EXPECT_EQ(d.cache_mb, 2048);
  EXPECT_FALSE(d.offline);
  EXPECT_EQ(d.memory_budget_bytes, size_t{512} << 20);
  EXPECT_EQ(d.settle_timeout_s, 120);
  EXPECT_TRUE(d.screenshot_when_settled.empty());
  EXPECT_FALSE(d.exit_when_settled);
  EXPECT_FALSE(d.globe_navigation);
  EXPECT_EQ(d.frame_ms, 0);  // the wall clock
  EXPECT_EQ(d.msaa, -1);     // decided from the renderer
  EXPECT_FALSE(d.fades);
  EXPECT_FALSE(d.atmosphere);

  const command_line_t all = parse({"--service", "http://example.org:8080/rt/earth/", "--position",
                                    "45.8326,6.8652,6000,-180,-30", "--windowed", "1280x720", "--overlay", "off",
                                    "--screenshot-when-settled", "x.png", "--exit-when-settled", "--settle-timeout",
                                    "7.5", "--cache-dir", "/tmp/c", "--cache-mb", "0", "--memory-mb", "64", "--navigation", "globe"});
  ASSERT_TRUE(all.run) << all.text;
  const viewer_options_t& o = all.options;
  EXPECT_EQ(o.service_base_url, "http://example.org:8080/rt/earth/");
  ASSERT_TRUE(o.has_start_pose);
  EXPECT_DOUBLE_EQ(o.start_pose.lat_deg, 45.8326);
  EXPECT_DOUBLE_EQ(o.start_pose.lon_deg, 6.8652);
  EXPECT_DOUBLE_EQ(o.start_pose.altitude_m, 6000);
  EXPECT_DOUBLE_EQ(o.start_pose.heading_deg, 180);  // -180 is the same heading
  EXPECT_DOUBLE_EQ(o.start_pose.pitch_deg, -30);
  EXPECT_TRUE(o.windowed);
  EXPECT_EQ(o.window_width, 1280);
  EXPECT_EQ(o.window_height, 720);
  EXPECT_FALSE(o.overlay);  // windowed would turn it on
  EXPECT_EQ(o.screenshot_when_settled, "x.png");
  EXPECT_TRUE(o.exit_when_settled);
  EXPECT_EQ(o.settle_timeout_s, 7.5);
  EXPECT_EQ(o.cache_dir, "/tmp/c");
  EXPECT_EQ(o.cache_mb, 0);
  EXPECT_EQ(o.memory_budget_bytes, size_t{64} << 20);
  EXPECT_TRUE(o.globe_navigation);

  EXPECT_TRUE(parse({"--windowed", "800x600"}).options.overlay);
  const command_line_t place = parse({"--place", "everest", "--offline"});
  ASSERT_TRUE(place.run);
  EXPECT_TRUE(place.options.offline);
  EXPECT_EQ(place.options.start_pose.lat_deg, findPlace("everest")->pose.lat_deg);
  const command_line_t picture = parse({"--frame-ms", "33.25", "--msaa", "8", "--fades", "on", "--atmosphere", "on"});
  ASSERT_TRUE(picture.run) << picture.text;
  EXPECT_EQ(picture.options.frame_ms, 33.25);
  EXPECT_EQ(picture.options.msaa, 8);
  EXPECT_TRUE(picture.options.fades);
  EXPECT_TRUE(picture.options.atmosphere);
  EXPECT_EQ(parse({"--msaa", "0"}).options.msaa, 0);
  // Three numbers: heading north, level.
  const command_line_t three = parse({"--position", "-33.9,151.2,250"});
  ASSERT_TRUE(three.run);
  EXPECT_EQ(three.options.start_pose.heading_deg, 0);
  EXPECT_EQ(three.options.start_pose.pitch_deg, 0);
}

// --help and --version end with status 0 and their text for standard
// output; the help names every option and the defaults it has.
TEST(CommandLine, HelpAndVersionExitZero) {
  const command_line_t help = parse({"--help"});
  EXPECT_FALSE(help.run);
  EXPECT_EQ(help.exit_status, 0);
  for (const char* option : {"--service", "--position", "--place", "--windowed", "--overlay",
                             "--screenshot-when-settled", "--exit-when-settled", "--settle-timeout", "--cache-dir",
                             "--cache-mb", "--offline", "--navigation", "--version", "--help"})
    EXPECT_NE(help.text.find(option), std::string::npos) << option;
  for (const char* shown : {"=120", "=cache/", "=2048", "127.0.0.1:8086", "mont-blanc", "F12"})
    EXPECT_NE(help.text.find(shown), std::string::npos) << shown;

  const command_line_t version = parse({"--version"});
  EXPECT_FALSE(version.run);
  EXPECT_EQ(version.exit_status, 0);
  EXPECT_EQ(version.text.rfind("ostravel ", 0), 0u);
}

// Anything wrong: status 2 and one line that names the option.
TEST(CommandLine, BadOptionsAndValuesGiveOneLineAndStatusTwo) {
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--bogus"}, "--bogus"},
      {{"stray"}, "stray"},
      {{"--windowed"}, "--windowed"},
      {{"--service", "ftp://x/"}, "--service"},
      {{"--service", "http://"}, "--service"},
      {{"--service", "http://h:0/"}, "--service"},
      {{"--service", "http://h:70000/"}, "--service"},
      {{"--service", "http://h:80/a b/"}, "--service"},
      {{"--navigation", "sphere"}, "--navigation"},
      {{"--position", "1,2"}, "--position"},
      {{"--position", "1,2,3,4"}, "--position"},
      {{"--position", "1,2,x"}, "--position"},
      {{"--position", "1,2,3,4,5,6"}, "--position"},
      {{"--position", "91,0,0"}, "latitude"},
      {{"--position", "0,181,0"}, "longitude"},
      {{"--position", "0,0,-5000"}, "altitude"},
      {{"--position", "0,0,50000000"}, "altitude"},
      {{"--position", "0,0,0,0,-91"}, "pitch"},
      {{"--position", "nan,0,0"}, "--position"},
      {{"--position", "1e999,0,0"}, "--position"},
      {{"--place", "atlantis"}, "mont-blanc"},
      {{"--place", "alps", "--position", "1,2,3"}, "excludes"},
      {{"--windowed", "1280"}, "--windowed"},
      {{"--windowed", "10x10"}, "--windowed"},
      {{"--windowed", "-800x600"}, "--windowed"},
      {{"--windowed", "800x600x2"}, "--windowed"},
      {{"--overlay", "maybe"}, "--overlay"},
      {{"--settle-timeout", "0"}, "--settle-timeout"},
      {{"--settle-timeout", "soon"}, "--settle-timeout"},
      {{"--cache-mb", "-1"}, "--cache-mb"},
      {{"--cache-mb", "2.5"}, "--cache-mb"},
      {{"--cache-mb", "99999999999"}, "--cache-mb"},
      {{"--cache-dir", ""}, "--cache-dir"},
      {{"--memory-mb", "1048577"}, "--memory-mb"},
      {{"--memory-mb", "64MB"}, "--memory-mb"},
      {{"--offline", "--cache-mb", "0"}, "--offline"},
      {{"--frame-ms", "0"}, "--frame-ms"},
      {{"--frame-ms", "20000"}, "--frame-ms"},
      {{"--frame-ms", "fast"}, "--frame-ms"},
      {{"--msaa", "3"}, "--msaa"},
      {{"--msaa", "4x"}, "--msaa"},
      {{"--fades", "yes"}, "--fades"},
      {{"--atmosphere", "1"}, "--atmosphere"},
      {{"--record", "frames"}, "--record needs --path"},
      {{"--path", "/nonexistent/path.txt"}, "/nonexistent/path.txt"},
      {{"--service", "https://h:99999/"}, "--service"},
      {{"--header", "no colon"}, "--header"},
      {{"--header", "Bad Name: v"}, "--header"},
      {{"--header", ": v"}, "--header"},
  };
  for (const auto& [args, named] : bad) {
    const command_line_t c = parse(args);
    const std::string what = args[0] + (args.size() > 1 ? " " + args[1] : "");
    EXPECT_FALSE(c.run) << what;
    EXPECT_EQ(c.exit_status, 2) << what;
    EXPECT_NE(c.text.find(named), std::string::npos) << what << ": " << c.text;
    ASSERT_FALSE(c.text.empty());
    EXPECT_EQ(c.text.find('\n'), c.text.size() - 1) << what << ": one line, got " << c.text;
  }
}

TEST(CommandLine, ServiceUrlForms) {
  std::string url, why;
  ASSERT_TRUE(parseServiceUrl("http://10.0.0.5:8086/rt/earth/", &url, &why));
  EXPECT_EQ(url, "http://10.0.0.5:8086/rt/earth/");
  ASSERT_TRUE(parseServiceUrl("http://planet.example.org", &url, &why));
  EXPECT_EQ(url, "http://planet.example.org:80/rt/earth/");
  ASSERT_TRUE(parseServiceUrl("http://h:81/mirror/rt/earth", &url, &why));
  EXPECT_EQ(url, "http://h:81/mirror/rt/earth/");
  ASSERT_TRUE(parseServiceUrl("https://planet.example.org", &url, &why));
  EXPECT_EQ(url, "https://planet.example.org:443/rt/earth/");
  ASSERT_TRUE(parseServiceUrl("https://h:8443/x/", &url, &why));
  EXPECT_EQ(url, "https://h:8443/x/");
}

// --header repeats, each kept as given; a value is never echoed, not even
// in the line that rejects it.
TEST(CommandLine, HeadersRepeatAndRejectionsHideTheValue) {
  const command_line_t c = parse({"--header", "X-Api-Key: s3cret", "--header", "Accept:text/plain", "--ca-file", "ca.pem"});
  ASSERT_TRUE(c.run) << c.text;
  EXPECT_EQ(c.options.request_headers, (std::vector<std::string>{"X-Api-Key: s3cret", "Accept:text/plain"}));
  EXPECT_EQ(c.options.ca_file, "ca.pem");
  const command_line_t bad = parse({"--header", std::string("X-Api-Key: s3cret\r\nInjected: 1")});
  EXPECT_FALSE(bad.run);
  EXPECT_NE(bad.text.find("X-Api-Key"), std::string::npos) << bad.text;
  EXPECT_EQ(bad.text.find("s3cret"), std::string::npos) << bad.text;
}

// Multisampling by default only where samples are cheap: a hardware renderer.
TEST(PictureChoices, MsaaDefaultFollowsTheRenderer) {
  EXPECT_TRUE(isSoftwareRenderer("llvmpipe (LLVM 15.0.6, 256 bits)"));
  EXPECT_TRUE(isSoftwareRenderer("softpipe"));
  EXPECT_FALSE(isSoftwareRenderer("NVIDIA H100 80GB HBM3/PCIe/SSE2"));
  EXPECT_EQ(chooseMsaaSamples(-1, "llvmpipe (LLVM 15.0.6, 256 bits)"), 0);
  EXPECT_EQ(chooseMsaaSamples(-1, "Mesa Intel(R) UHD Graphics 620"), 4);
  EXPECT_EQ(chooseMsaaSamples(8, "llvmpipe"), 8);  // asked for: as asked
  EXPECT_EQ(chooseMsaaSamples(0, "NVIDIA H100"), 0);
}
