// Peak memory and speed of loading long 44.1 kHz stereo files as 16 kHz
// mono. Each load runs in a child process so that its peak resident size
// is its own; the report gives the peak above the child's starting size
// next to the size of the result.

#include <benchmark/benchmark.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Kestrune/Core/Audio/AudioProcessor.hpp"
#include "Platform/System/SystemInfo.hpp"

namespace {

struct LoadReport {
  double peakAboveStartBytes = 0;
  double resultBytes = 0;
  double seconds = 0;
};

std::string fixture(int seconds) {
  const auto folder = std::filesystem::temp_directory_path() / "kestrune-audio-bench";
  std::filesystem::create_directories(folder);
  const std::string path = (folder / ("stereo44k_" + std::to_string(seconds) + "s.flac")).string();
  if (!std::filesystem::exists(path)) {
    const std::string command =
        "ffmpeg -nostdin -v error -y -f lavfi -i "
        "\"aevalsrc=0.4*sin(2*PI*440*t)|0.3*sin(2*PI*660*t):s=44100:d=" +
        std::to_string(seconds) + "\" \"" + path + "\"";
    if (std::system(command.c_str()) != 0) return {};
  }
  return path;
}

LoadReport loadInChild(const std::string& path) {
  int channel[2];
  LoadReport report;
  if (pipe(channel) != 0) return report;
  const pid_t child = fork();
  if (child == 0) {
    close(channel[0]);
    const double before = static_cast<double>(platform::residentMemoryBytes());
    const auto start = std::chrono::steady_clock::now();
    const std::vector<float> samples = kestrune::AudioProcessor::loadAudioAsFloatArray(path);
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    LoadReport measured{static_cast<double>(platform::peakResidentMemoryBytes()) - before,
                        static_cast<double>(samples.size() * sizeof(float)), elapsed.count()};
    const ssize_t written = write(channel[1], &measured, sizeof measured);
    _exit(written == sizeof measured ? 0 : 1);
  }
  close(channel[1]);
  if (read(channel[0], &report, sizeof report) != sizeof report) report = {};
  close(channel[0]);
  waitpid(child, nullptr, 0);
  return report;
}

void BM_LoadLongStereoFile(benchmark::State& state) {
  const auto seconds = static_cast<int>(state.range(0));
  const std::string path = fixture(seconds);
  if (path.empty()) return state.SkipWithError("ffmpeg could not make the fixture");
  LoadReport report;
  for (auto _ : state) {
    report = loadInChild(path);
    if (report.resultBytes == 0) return state.SkipWithError("load failed");
    state.SetIterationTime(report.seconds);
  }
  const double mebibyte = 1024.0 * 1024.0;
  state.counters["audio_s"] = seconds;
  state.counters["result_MiB"] = report.resultBytes / mebibyte;
  state.counters["peak_MiB"] = report.peakAboveStartBytes / mebibyte;
  state.counters["peak_per_result"] = report.peakAboveStartBytes / report.resultBytes;
  state.counters["realtime_x"] = seconds / report.seconds;
}

BENCHMARK(BM_LoadLongStereoFile)
    ->Arg(150)
    ->Arg(300)
    ->Arg(600)
    ->Arg(900)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
