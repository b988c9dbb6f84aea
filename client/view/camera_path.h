// Camera paths (--path): a small text file of timed poses, read as
// untrusted input, and the pose at any time between them, interpolated
// smoothly (a cubic through the poses, the shortest way round in longitude
// and heading).
//
// The file: one pose a line, six numbers separated by spaces or tabs:
// seconds from the start, latitude and longitude in degrees, altitude above
// the sphere in metres, heading clockwise from north and pitch above the
// horizon in degrees. Blank lines and lines starting with # are skipped.
// Times start at 0 or later and grow strictly from line to line.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "view/geo_pose.h"

struct path_pose_t {
  double time_s;
  geo_pose_t pose;
};

struct camera_path_t {
  std::vector<path_pose_t> poses;  // at least one, in strictly increasing time
};

// False with the reason in *why (the line number and what is wrong) for a
// file over path_max_bytes or path_max_poses, a line that is not six finite
// numbers, a value out of range (as --position checks them), a time that
// does not grow, or no pose at all.
bool parseCameraPath(std::string_view text, camera_path_t* path, std::string* why);

// Reads FILE (at most path_max_bytes) and parses it; the reason names the file.
bool loadCameraPath(const std::string& file, camera_path_t* path, std::string* why);

// The pose at time_s: the first before the first pose's time, the last
// after the last pose's.
geo_pose_t poseAt(const camera_path_t& path, double time_s);

// The last pose's time.
double pathDuration(const camera_path_t& path);
