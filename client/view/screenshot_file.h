// Screenshot files: their names and their PNG encoding, without GL (the
// app reads the pixels back and hands them here).
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

// "ostravel-YYYYmmdd-HHMMSS.png" in local time; when a file of that name
// exists (two pictures in one second), "-2", "-3", ... before ".png".
std::string screenshotFileName(std::time_t when, const std::function<bool(const std::string&)>& exists);

// Writes an RGB picture whose rows come bottom row first, as GL reads them
// back, to a PNG with the top row first. False, with the reason in *why,
// when the file cannot be written.
bool writeScreenshotPng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb_bottom_up,
                        std::string* why);
