// Reads GMT's binned GSHHG shoreline files (netCDF, gmt-gshhg packages):
// the per-bin index at open (a few hundred KB), each bin's segments and
// points when asked. The file is untrusted: its sizes and indices are
// checked before anything is read, and one bin's read is bounded.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "planet/gshhg_bins.h"

// libnetcdf (and HDF5 under it) is not thread-safe: every call into it, from
// this reader and the river reader (line_features.h), holds this lock.
std::mutex& netcdfLock();

// What every binned file of GMT's (shorelines, rivers, borders) shares: the
// netCDF handle and its bin grid, checked to tile the sphere.
struct binned_netcdf_t {
  int nc = -1;       // closed by the caller (under netcdfLock)
  int columns = 0;   // bins per 360 degrees of longitude
  int rows = 0;      // bins per 180 degrees of latitude
  int bins = 0;      // columns * rows
};
// Opens PATH under the lock the caller holds and checks its grid; false with
// "PATH: reason" (kind names the file in the reason: "shoreline", "line").
bool openBinnedNetcdf(const std::string& path, const char* kind, binned_netcdf_t* out, std::string* error);
// The id of variable NAME of PATH's file, or false with a reason naming it.
bool binnedVariable(const std::string& path, int nc, const char* name, const char* kind, int* id,
                    std::string* error);
// The length of a one-dimensional variable, or -1.
long netcdfVarLength(int nc, int var);

class GshhgFile {
 public:
  // Opens FILE; null with "FILE: reason" when it is missing or is no
  // binned shoreline file.
  static std::unique_ptr<GshhgFile> open(const std::string& path, std::string* error);
  ~GshhgFile();
  GshhgFile(const GshhgFile&) = delete;
  GshhgFile& operator=(const GshhgFile&) = delete;

  const std::string& path() const { return path_; }
  int columns() const { return columns_; }  // bins per 360 degrees of longitude
  int rows() const { return rows_; }        // bins per 180 degrees of latitude, row 0 at the north pole
  double binDegrees() const { return 360.0 / columns_; }
  // Whether bin `index` (row * columns + column) has segments; its corner
  // levels alone decide it otherwise.
  bool binHasSegments(int index) const { return segment_count_[index] > 0; }
  int cornerLevels(int index) const { return corner_levels_[index]; }

  // Reads and decodes one bin (thread-safe); false with "FILE: bin N: why".
  bool readBin(int index, gshhg_bin_t* out, std::string* error) const;

 private:
  GshhgFile() = default;
  std::string path_;
  int nc_ = -1;
  int columns_ = 0, rows_ = 0;
  size_t segments_ = 0, points_ = 0;
  int var_info_ = -1, var_first_point_ = -1, var_x_ = -1, var_y_ = -1;
  std::vector<int32_t> first_segment_;
  std::vector<int16_t> segment_count_, corner_levels_;
};
