// Drives the real helper program through many requests, restarting it as the
// host would after a request that ends it, and checks that every answer
// arrives once, in order, for the request it belongs to. Reports resident
// memory of each helper process after warm-up and at its end.
//
//   helper_soak --helper PATH --model FOLDER [--requests N] [--max-seconds S]
//               [--process-min N] [--process-max N] [--seed N]
//
// Exit status 0 when every check held.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace {

struct Options {
  std::string helper;
  std::string model;
  int requests = 1000;
  double maxSeconds = 60.0;
  int processMin = 100;
  int processMax = 300;
  unsigned seed = 17;
  int warmup = 5;
};

// One request of a planned conversation and the answer it must get.
struct PlannedRequest {
  enum class Kind { transcribe, invalidLine, shortPayload, malformedThenEnd, quit } kind;
  int64_t samples = 0;
  std::string line;           // for the line kinds
  std::string expectedError;  // empty for transcriptions
};

struct ProcessFigures {
  int requests = 0;
  long warmKilobytes = 0;
  long endKilobytes = 0;
};

long residentKilobytes(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  }
  return -1;
}

bool writeAll(int descriptor, const void* data, size_t size) {
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t count = ::write(descriptor, bytes, size);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) return false;
    bytes += count;
    size -= static_cast<size_t>(count);
  }
  return true;
}

std::string transcribeLine(int64_t samples) {
  return "{\"cmd\":\"transcribe\",\"samples\":" + std::to_string(samples) + "}\n";
}

// Speech-like test audio: a few drifting tones under noise, made block by
// block so that a minute of it never has to be held at once.
void writeAudio(int descriptor, int64_t samples, std::mt19937& random) {
  std::normal_distribution<float> noise(0.0f, 0.02f);
  const float pitch = std::uniform_real_distribution<float>(100.0f, 400.0f)(random);
  std::vector<float> block(16000);
  for (int64_t done = 0; done < samples;) {
    const size_t count = static_cast<size_t>(std::min<int64_t>(samples - done, 16000));
    for (size_t i = 0; i < count; ++i) {
      const float t = static_cast<float>(done + static_cast<int64_t>(i)) / 16000.0f;
      block[i] =
          0.2f * std::sin(6.2831853f * pitch * t * (1.0f + 0.1f * std::sin(t))) + noise(random);
    }
    if (!writeAll(descriptor, block.data(), count * sizeof(float))) return;
    done += static_cast<int64_t>(count);
  }
}

class Soak {
 public:
  explicit Soak(Options options) : options_(std::move(options)), random_(options_.seed) {}

  int run() {
    const auto start = std::chrono::steady_clock::now();
    int remaining = options_.requests;
    while (remaining > 0) {
      const auto plan = planProcess(remaining);
      remaining -= static_cast<int>(plan.size());
      if (!runProcess(plan)) failed_ = true;
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    report(seconds);
    return failed_ ? 1 : 0;
  }

 private:
  std::vector<PlannedRequest> planProcess(int remaining) {
    std::uniform_int_distribution<int> length(options_.processMin, options_.processMax);
    const int count = std::min(remaining, length(random_));
    std::uniform_int_distribution<int64_t> samples(
        0, static_cast<int64_t>(options_.maxSeconds * 16000.0));
    std::bernoulli_distribution invalid(0.05);
    static const std::vector<std::pair<std::string, std::string>> invalidLines = {
        {"\n", "invalid request"},
        {"{\"cmd\":\"transcribe\",\"samples\":1.5}\n", "invalid request"},
        {"not json at all\n", "invalid request"},
        {"{\"cmd\":\"transcribe\",\"samples\":-1}\n", "invalid transcribe request"},
        {"{\"cmd\":\"Transcribe\",\"samples\":3}\n", "invalid transcribe request"},
        {"{\"cmd\":\"transcribe\"}\n", "invalid transcribe request"},
    };
    std::vector<PlannedRequest> plan;
    std::set<int64_t> used;
    for (int i = 0; i + 1 < count; ++i) {
      if (invalid(random_)) {
        const auto& [line, error] = invalidLines[std::uniform_int_distribution<size_t>(
            0, invalidLines.size() - 1)(random_)];
        plan.push_back({PlannedRequest::Kind::invalidLine, 0, line, error});
        continue;
      }
      // Distinct counts let each diagnostic line be matched to its request.
      int64_t n = samples(random_);
      while (!used.insert(n).second) n = samples(random_);
      plan.push_back({PlannedRequest::Kind::transcribe, n, {}, {}});
    }
    // The request that ends the process.
    switch (std::uniform_int_distribution<int>(0, 2)(random_)) {
      case 0:
        plan.push_back({PlannedRequest::Kind::shortPayload, 1000, {}, "incomplete PCM payload"});
        break;
      case 1:
        plan.push_back({PlannedRequest::Kind::malformedThenEnd, 0,
                        "{\"cmd\":\"transcribe\",\"sam\n", "invalid request"});
        break;
      default: plan.push_back({PlannedRequest::Kind::quit, 0, "{\"cmd\":\"quit\"}\n", {}}); break;
    }
    return plan;
  }

  bool runProcess(const std::vector<PlannedRequest>& plan) {
    int in[2], out[2], err[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0 || ::pipe(err) != 0) return fail("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]})
      posix_spawn_file_actions_addclose(&actions, fd);
    std::vector<std::string> environment;
    for (char** e = environ; *e; ++e) {
      if (std::strncmp(*e, "ZANDREL_ANE_MODEL_PATH=", 23) != 0) environment.emplace_back(*e);
    }
    environment.push_back("ZANDREL_ANE_MODEL_PATH=" + options_.model);
    std::vector<char*> envp;
    for (auto& e : environment) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string program = options_.helper;
    char* argv[] = {program.data(), nullptr};
    pid_t pid = 0;
    const int spawned = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) return fail("cannot start " + program);

    // The host writes ahead of the answers; the pipe holds back what the
    // helper has not read yet.
    std::thread writer([&, seed = random_()] {
      std::mt19937 audioRandom(seed);
      for (const auto& request : plan) {
        bool ok = true;
        switch (request.kind) {
          case PlannedRequest::Kind::transcribe: {
            const std::string line = transcribeLine(request.samples);
            ok = writeAll(in[1], line.data(), line.size());
            if (ok) writeAudio(in[1], request.samples, audioRandom);
            break;
          }
          case PlannedRequest::Kind::shortPayload: {
            const std::string line = transcribeLine(request.samples);
            ok = writeAll(in[1], line.data(), line.size());
            if (ok) writeAudio(in[1], request.samples / 2, audioRandom);
            break;
          }
          default: ok = writeAll(in[1], request.line.data(), request.line.size());
        }
        if (!ok) break;
      }
      ::close(in[1]);
    });
    std::string diagnostics;
    std::thread errorReader([&] {
      char block[4096];
      for (ssize_t n; (n = ::read(err[0], block, sizeof block)) > 0;) diagnostics.append(block, n);
    });

    ProcessFigures figures;
    figures.requests = static_cast<int>(plan.size());
    std::vector<nlohmann::json> answers;
    std::string pending;
    char block[65536];
    int transcribed = 0;
    for (ssize_t n; (n = ::read(out[0], block, sizeof block)) > 0;) {
      pending.append(block, static_cast<size_t>(n));
      for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
        answers.push_back(nlohmann::json::parse(pending.substr(0, end), nullptr, false));
        pending.erase(0, end + 1);
        if (answers.size() > 1 && answers.back().contains("text")) {
          ++transcribed;
          // The helper now waits for, or works on, the next request.
          const long rss = residentKilobytes(pid);
          if (transcribed == options_.warmup) figures.warmKilobytes = rss;
          if (rss > 0) figures.endKilobytes = rss;
        }
      }
    }
    ::close(out[0]);
    writer.join();
    errorReader.join();
    ::close(err[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    processes_.push_back(figures);
    return check(plan, answers, pending, diagnostics, status);
  }

  bool check(const std::vector<PlannedRequest>& plan, const std::vector<nlohmann::json>& answers,
             const std::string& trailing, const std::string& diagnostics, int status) {
    const int process = static_cast<int>(processes_.size());
    auto problem = [&](const std::string& what) {
      return fail("process " + std::to_string(process) + ": " + what);
    };
    if (!trailing.empty()) return problem("an answer without its line feed");
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      return problem("helper did not exit with status 0 (" + std::to_string(status) + ")");
    }
    if (answers.empty() || !answers[0].value("ready", false)) return problem("no ready answer");
    // Quit is the one request without an answer.
    const size_t expected = plan.size() - (plan.back().kind == PlannedRequest::Kind::quit ? 1 : 0);
    if (answers.size() - 1 != expected) {
      return problem(std::to_string(answers.size() - 1) + " answers for " +
                     std::to_string(expected) + " requests");
    }
    // The helper's own record of each transcription, in the order it made them.
    struct Decoded {
      int64_t samples;
      std::string milliseconds;
      size_t words;
    };
    std::vector<Decoded> decoded;
    std::istringstream lines(diagnostics);
    for (std::string line; std::getline(lines, line);) {
      long long samples = 0;
      char milliseconds[64] = {};
      size_t words = 0;
      if (std::sscanf(line.c_str(),
                      "[ane-helper] decode complete samples=%lld decode_ms=%63s words=%zu",
                      &samples, milliseconds, &words) == 3) {
        decoded.push_back({samples, milliseconds, words});
      }
    }
    size_t transcription = 0;
    for (size_t i = 0; i < expected; ++i) {
      const auto& request = plan[i];
      const auto& answer = answers[i + 1];
      const std::string where = "request " + std::to_string(i) + ": ";
      if (!answer.is_object()) return problem(where + "answer is not a JSON object");
      if (!request.expectedError.empty()) {
        if (answer.value("ok", true) || answer.value("error", "") != request.expectedError) {
          return problem(where + "expected error \"" + request.expectedError + "\", got " +
                         answer.dump().substr(0, 200));
        }
        continue;
      }
      if (!answer.value("ok", false) || !answer.contains("words")) {
        return problem(where + "expected a transcription, got " + answer.dump().substr(0, 200));
      }
      if (transcription >= decoded.size()) return problem(where + "no decode record");
      const Decoded& record = decoded[transcription++];
      char milliseconds[64];
      std::snprintf(milliseconds, sizeof milliseconds, "%.1f", answer["decode_ms"].get<double>());
      if (record.samples != request.samples || record.milliseconds != milliseconds ||
          record.words != answer["words"].size()) {
        return problem(where + "answer belongs to another request (samples " +
                       std::to_string(request.samples) + " vs decoded " +
                       std::to_string(record.samples) + ")");
      }
    }
    if (transcription != decoded.size()) return problem("more decodes than transcriptions");
    answered_ += static_cast<int>(expected);
    return true;
  }

  bool fail(const std::string& message) {
    std::fprintf(stderr, "soak: %s\n", message.c_str());
    return false;
  }

  void report(double seconds) const {
    long worstGrowth = 0;
    std::printf("soak: %d requests in %zu helper processes, %d answers checked, %.1f s\n",
                options_.requests, processes_.size(), answered_, seconds);
    for (size_t i = 0; i < processes_.size(); ++i) {
      const auto& p = processes_[i];
      std::printf("  process %zu: %d requests, resident after warm-up %ld KiB, at end %ld KiB\n",
                  i + 1, p.requests, p.warmKilobytes, p.endKilobytes);
      if (p.warmKilobytes > 0)
        worstGrowth = std::max(worstGrowth, p.endKilobytes - p.warmKilobytes);
    }
    std::printf("soak: largest growth after warm-up %ld KiB; %s\n", worstGrowth,
                failed_ ? "FAILED" : "all answers in order");
  }

  Options options_;
  std::mt19937 random_;
  std::vector<ProcessFigures> processes_;
  int answered_ = 0;
  bool failed_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const char* value = argv[i + 1];
    if (key == "--helper")
      options.helper = value;
    else if (key == "--model")
      options.model = value;
    else if (key == "--requests")
      options.requests = std::atoi(value);
    else if (key == "--max-seconds")
      options.maxSeconds = std::atof(value);
    else if (key == "--process-min")
      options.processMin = std::atoi(value);
    else if (key == "--process-max")
      options.processMax = std::atoi(value);
    else if (key == "--seed")
      options.seed = static_cast<unsigned>(std::atoi(value));
    else if (key == "--warmup")
      options.warmup = std::atoi(value);
    else {
      std::fprintf(stderr, "soak: unknown option %s\n", key.c_str());
      return 2;
    }
  }
  if (options.helper.empty() || options.model.empty() || options.processMin < 1 ||
      options.processMax < options.processMin) {
    std::fprintf(stderr, "usage: helper_soak --helper PATH --model FOLDER [--requests N] ...\n");
    return 2;
  }
  return Soak(options).run();
}
