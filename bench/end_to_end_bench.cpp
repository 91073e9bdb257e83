// End to end on the engine, with the decoding options the helper serves
// requests with, on a generated tiny-sized model (4 layers, d 384, the
// multilingual vocabulary and tokenizer):
//   1. the realtime factor on 60 s of audio with a forced number of tokens
//      per window (the end token suppressed, no fallbacks, no early stop:
//      random weights would otherwise stop at any point), without and with
//      word timestamps, split into the stages of the timings report;
//   2. batch throughput of 30 s clips at 1, 2 and 16 concurrent workers
//      (all sharing the process's one pool and its two cores).
// Wall and processor times are printed side by side (see
// model_ratios_bench.cpp for why).
//
//   end_to_end_bench [--tokens N] [--clips N]
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Kestrune/Core/Kestrune.hpp"
#include "Platform/System/ThreadPool.hpp"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double processSeconds() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

std::string firstLine(const char* path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

fs::path tinyModel() {
  const fs::path tools = fs::path(KESTRUNE_BINARY_DIR) / "tools";
  const fs::path work = fs::temp_directory_path() / "kestrune-end-to-end-bench-tiny";
  if (fs::exists(work / "models" / "TextDecoder.mlmodelc")) return work / "models";
  const std::string make =
      "'" + (tools / "kestrune-make-test-model" / "kestrune-make-test-model").string() + "' '" +
      (work / "checkpoint").string() +
      "' --preset tiny --tokenizer '" KESTRUNE_SHARED_DIR
      "/tokenizers/multilingual' > /dev/null && '" +
      (tools / "kestrune-convert" / "kestrune-convert").string() + "' '" +
      (work / "checkpoint").string() + "' '" + (work / "models").string() + "' > /dev/null";
  if (std::system(make.c_str()) != 0) {
    std::fprintf(stderr,
                 "cannot make the tiny model (build kestrune-make-test-model and "
                 "kestrune-convert first)\n");
    std::exit(1);
  }
  return work / "models";
}

std::vector<float> testAudio(double seconds, unsigned seed) {
  std::mt19937 generator(seed);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> samples(static_cast<size_t>(seconds * 16000));
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = 0.3f * std::sin(0.05f * float(i) * (1.0f + 0.3f * std::sin(float(i) * 1e-4f))) +
                 noise(generator);
  }
  return samples;
}

// The helper's options (KestruneHelperEngine), with the length forced.
kestrune::DecodingOptions forcedOptions(int64_t tokens, bool wordTimestamps) {
  kestrune::DecodingOptions options{
      .verbose = false,
      .task = kestrune::DecodingTask::transcribe,
      .language = "en",
      .temperature = 0.0f,
      .temperatureIncrementOnFallback = 0.2f,
      .temperatureFallbackCount = 0,
      .sampleLength = tokens,
      .topK = 5,
      .usePrefillPrompt = true,
      .skipSpecialTokens = true,
      .withoutTimestamps = true,
      .wordTimestamps = wordTimestamps,
      .windowClipTime = 1.0f,
      .suppressBlank = false,
  };
  options.suppressTokens = {50257};  // the end of text
  options.compressionRatioThreshold = std::nullopt;
  options.logProbThreshold = std::nullopt;
  options.firstTokenLogProbThreshold = std::nullopt;
  options.noSpeechThreshold = std::nullopt;
  return options;
}

void printStages(const char* title, const kestrune::TranscriptionTimings& t, double wall,
                 double cpu) {
  const double audio = t.inputAudioSeconds;
  std::printf("\n%s\n", title);
  std::printf("  windows %.0f, tokens %.0f (%.1f a window), audio %.1f s\n", t.totalDecodingWindows,
              t.totalDecodingLoops, t.totalDecodingLoops / std::max(1.0, t.totalDecodingWindows),
              audio);
  const size_t cores = platform::ThreadPool::shared().threadCount();
  const double idle = cpu / double(cores);
  std::printf(
      "  realtime factor %.3f wall | %.3f idle (processor / %zu cores); %.1fx | %.1fx "
      "faster than real time\n",
      wall / audio, idle / audio, cores, audio / wall, audio / idle);
  struct Stage {
    const char* name;
    double seconds;
  };
  const Stage stages[] = {{"audio processing", t.audioProcessing},
                          {"log-mel", t.logmels},
                          {"encoding", t.encoding},
                          {"decoding init", t.decodingInit},
                          {"decoder predictions", t.decodingPredictions},
                          {"logits filtering", t.decodingFiltering},
                          {"sampling", t.decodingSampling},
                          {"kv cache update", t.decodingKvCaching},
                          {"word timestamps", t.decodingWordTimestamps},
                          {"windowing", t.decodingWindowing},
                          {"full pipeline", t.fullPipeline}};
  for (const Stage& stage : stages) {
    std::printf("  %-20s %9.1f ms  %5.1f%%\n", stage.name, stage.seconds * 1e3,
                100 * stage.seconds / t.fullPipeline);
  }
  if (t.totalDecodingLoops > 0) {
    std::printf(
        "  per token: prediction %.2f ms, filtering + sampling %.3f ms (%.1f%% of a "
        "prediction), cache update %.3f ms (%.1f%%)\n",
        t.decodingPredictions / t.totalDecodingLoops * 1e3,
        (t.decodingFiltering + t.decodingSampling) / t.totalDecodingLoops * 1e3,
        100 * (t.decodingFiltering + t.decodingSampling) / t.decodingPredictions,
        t.decodingKvCaching / t.totalDecodingLoops * 1e3,
        100 * t.decodingKvCaching / t.decodingPredictions);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int64_t tokens = 64;
  size_t clips = 4;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string option = argv[i];
    if (option == "--tokens") tokens = std::max(8L, std::strtol(argv[i + 1], nullptr, 10));
    if (option == "--clips") clips = std::max(1UL, std::strtoul(argv[i + 1], nullptr, 10));
  }
  std::printf("end to end on a generated tiny-sized model; %zu pool threads; load average %s\n",
              platform::ThreadPool::shared().threadCount(), firstLine("/proc/loadavg").c_str());
  kestrune::KestruneConfig config;
  config.modelFolder = tinyModel().string();
  config.download = false;
  const auto engine = kestrune::Kestrune::create(config);

  const std::vector<float> minute = testAudio(60.0, 1);
  for (const bool words : {false, true}) {
    const auto options = forcedOptions(tokens, words);
    engine->transcribe(minute, options);  // warm: the first window's allocations
    const auto start = Clock::now();
    const double cpuStart = processSeconds();
    const auto results = engine->transcribe(minute, options);
    const double cpu = processSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    if (results.empty()) {
      std::fprintf(stderr, "no result\n");
      return 1;
    }
    const std::string title = "60 s, " + std::to_string(tokens) + " tokens a window, " +
                              (words ? "with" : "without") + " word timestamps";
    printStages(title.c_str(), results.front()->timings(), wall, cpu);
  }

  std::printf("\nbatch of %zu clips of 30 s, %lld tokens a window:\n", clips,
              static_cast<long long>(tokens));
  std::vector<std::vector<float>> batch;
  for (size_t i = 0; i < clips; ++i) batch.push_back(testAudio(30.0, unsigned(10 + i)));
  double single = 0;
  for (const int64_t workers : {1, 2, 16}) {
    auto options = forcedOptions(tokens, false);
    options.concurrentWorkerCount = workers;
    const auto start = Clock::now();
    const double cpuStart = processSeconds();
    const auto outcomes = engine->transcribeWithResults(batch, options);
    const double cpu = processSeconds() - cpuStart;
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double idle = cpu / double(platform::ThreadPool::shared().threadCount());
    if (workers == 1) single = idle;
    std::printf(
        "  %2lld workers: %.2f s wall | %.2f s idle, %.1f | %.1f audio seconds a second "
        "(%.2fx the single worker's idle throughput)\n",
        static_cast<long long>(workers), wall, idle, 30.0 * double(clips) / wall,
        30.0 * double(clips) / idle, single / idle);
    if (outcomes.size() != clips) std::fprintf(stderr, "  %zu outcomes\n", outcomes.size());
  }
  std::printf("\nload average at the end: %s\n", firstLine("/proc/loadavg").c_str());
  return 0;
}
