#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <vector>

// Test audio made on the fly with the ffmpeg command-line tool, in a folder
// that is removed again.
#include "tests/Support/TemporaryFolder.hpp"

namespace audiotest {

using testsupport::TemporaryFolder;

// Renders ffmpeg's aevalsrc expressions (one per channel, joined by "|")
// into `path`; the extension picks the container, `codec` the encoding.
inline void generate(const std::string& path, const std::string& expressions, int rate,
                     double seconds, const std::string& codec = "") {
  const std::string command = "ffmpeg -nostdin -v error -y -f lavfi -i \"aevalsrc=" + expressions +
                              ":s=" + std::to_string(rate) + ":d=" + std::to_string(seconds) +
                              "\" " + (codec.empty() ? "" : "-c:a " + codec + " ") + "\"" + path +
                              "\"";
  ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

inline void writeBytes(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// The first `bytes` bytes of `source`, as a file cut off in transfer.
inline void truncateCopy(const std::string& source, const std::string& path, size_t bytes) {
  std::ifstream in(source, std::ios::binary);
  std::string data(bytes, '\0');
  in.read(data.data(), static_cast<std::streamsize>(bytes));
  data.resize(static_cast<size_t>(in.gcount()));
  writeBytes(path, data);
}

inline float peak(std::span<const float> samples) {
  float value = 0;
  for (const float sample : samples) value = std::max(value, std::fabs(sample));
  return value;
}

inline float rms(std::span<const float> samples) {
  double sum = 0;
  for (const float sample : samples) sum += static_cast<double>(sample) * sample;
  return samples.empty() ? 0.0f : static_cast<float>(std::sqrt(sum / samples.size()));
}

// Magnitude of one frequency (Goertzel), normalised so that a full-scale
// sine at that frequency gives about 0.5.
inline double toneLevel(std::span<const float> samples, double frequency, double rate) {
  const double coefficient = 2 * std::cos(2 * M_PI * frequency / rate);
  double previous = 0, beforePrevious = 0;
  for (const float sample : samples) {
    const double current = sample + coefficient * previous - beforePrevious;
    beforePrevious = previous;
    previous = current;
  }
  const double power = previous * previous + beforePrevious * beforePrevious -
                       coefficient * previous * beforePrevious;
  return std::sqrt(std::max(power, 0.0)) / static_cast<double>(samples.size());
}

}  // namespace audiotest
