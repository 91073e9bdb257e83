// Streams a long audio file through the incremental loader and reports the
// resident memory it took: after the first chunks and at the end, against
// the size of the audio. The file is a sparse WAV (silence costs no disk),
// so hours of audio are cheap to make.
//
//   long_file_memory [hours (default 10)] [folder for the file (default /tmp)]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "Kestrune/Core/Audio/AudioProcessor+IncrementalLoading.hpp"
#include "Kestrune/Core/Audio/AudioProcessor.hpp"

namespace {

long statusKilobytes(const char* field) {
  std::ifstream status("/proc/self/status");
  const size_t length = std::strlen(field);
  for (std::string line; std::getline(status, line);) {
    if (line.compare(0, length, field) == 0) return std::strtol(line.c_str() + length, nullptr, 10);
  }
  return -1;
}

void put32(char* at, uint32_t value) {
  std::memcpy(at, &value, 4);
}
void put16(char* at, uint16_t value) {
  std::memcpy(at, &value, 2);
}

// 16 kHz mono 16-bit PCM; the data after the header is a hole in the file.
bool writeSparseWave(const std::string& path, uint64_t samples) {
  const uint64_t dataBytes = samples * 2;
  if (dataBytes + 36 > UINT32_MAX) return false;
  char header[44];
  std::memcpy(header, "RIFF", 4);
  put32(header + 4, static_cast<uint32_t>(36 + dataBytes));
  std::memcpy(header + 8, "WAVEfmt ", 8);
  put32(header + 16, 16);
  put16(header + 20, 1);
  put16(header + 22, 1);
  put32(header + 24, 16000);
  put32(header + 28, 32000);
  put16(header + 32, 2);
  put16(header + 34, 16);
  std::memcpy(header + 36, "data", 4);
  put32(header + 40, static_cast<uint32_t>(dataBytes));
  const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (file < 0) return false;
  const bool ok = ::write(file, header, sizeof header) == sizeof header &&
                  ::ftruncate(file, static_cast<off_t>(sizeof header + dataBytes)) == 0;
  ::close(file);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const double hours = argc > 1 ? std::atof(argv[1]) : 10.0;
  const std::string folder = argc > 2 ? argv[2] : "/tmp";
  const auto samples = static_cast<uint64_t>(hours * 3600.0 * 16000.0);
  const std::string path = folder + "/long-file-memory-" + std::to_string(::getpid()) + ".wav";
  if (!writeSparseWave(path, samples)) {
    std::fprintf(stderr, "long_file_memory: cannot write %s\n", path.c_str());
    return 2;
  }
  const long startKilobytes = statusKilobytes("VmRSS:");
  const auto start = std::chrono::steady_clock::now();
  long warmKilobytes = 0;
  uint64_t delivered = 0;
  int chunks = 0;
  int status = 0;
  try {
    auto stream = kestrune::AudioProcessor::loadFileIncrementally(
        path, kestrune::ChannelMode::sumChannels(), 30.0, 2, 480000);
    while (auto chunk = stream.next()) {
      delivered += chunk->audioChunk.audioSamples.size();
      chunk->completionSignal();
      if (++chunks == 10) warmKilobytes = statusKilobytes("VmRSS:");
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "long_file_memory: %s\n", error.what());
    status = 1;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ::unlink(path.c_str());
  std::printf(
      "long_file_memory: %.2f h of audio (%.0f MiB as float) in %d chunks, %.1f s\n"
      "  resident: at start %ld KiB, after 10 chunks %ld KiB, at end %ld KiB, peak %ld KiB\n",
      hours, static_cast<double>(samples) * 4.0 / 1048576.0, chunks, seconds, startKilobytes,
      warmKilobytes, statusKilobytes("VmRSS:"), statusKilobytes("VmHWM:"));
  if (delivered != samples) {
    std::fprintf(stderr, "long_file_memory: %llu samples delivered of %llu\n",
                 static_cast<unsigned long long>(delivered),
                 static_cast<unsigned long long>(samples));
    status = 1;
  }
  return status;
}
