#include "ZandrelANEHelper/HelperServer.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>

#include "HelperProcess.hpp"
#include "Kestrune/Utilities/WhisperError.hpp"

namespace {

using namespace zandrel;

// A temporary file used as one of the server's streams.
class StreamFile {
 public:
  explicit StreamFile(const std::string& content = "") : file_(std::tmpfile()) {
    std::fwrite(content.data(), 1, content.size(), file_.get());
    std::fflush(file_.get());
    ::lseek(descriptor(), 0, SEEK_SET);
  }
  int descriptor() const { return ::fileno(file_.get()); }
  std::string content() const {
    std::string text;
    ::lseek(descriptor(), 0, SEEK_SET);
    char buffer[4096];
    ssize_t n;
    while ((n = ::read(descriptor(), buffer, sizeof buffer)) > 0) text.append(buffer, n);
    return text;
  }

 private:
  struct Closer {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> file_;
};

// An engine that answers with prepared results and records what it was given.
struct Script {
  std::vector<std::vector<EngineResult>> answers;  // one per call; a missing one throws
  std::vector<std::string> languages;
  std::vector<std::vector<float>> samples;
  std::vector<HelperConfiguration> builds;
};

class ScriptedEngine : public HelperEngine {
 public:
  explicit ScriptedEngine(Script& script) : script_(script) {}
  std::vector<EngineResult> transcribe(std::span<const float> samples,
                                       const std::string& language) override {
    script_.languages.push_back(language);
    script_.samples.emplace_back(samples.begin(), samples.end());
    const size_t call = script_.languages.size() - 1;
    if (call >= script_.answers.size()) {
      throw kestrune::WhisperError::transcriptionFailed("Audio samples are nil");
    }
    return script_.answers[call];
  }

 private:
  Script& script_;
};

struct Served {
  int status;
  std::vector<std::string> lines;
  std::string diagnostics;
};

Served serve(Script& script, const std::string& input,
             std::optional<std::string> modelPath = "/models") {
  StreamFile in(input), out, err;
  HelperServer server({in.descriptor(), out.descriptor(), err.descriptor()},
                      [&](const HelperConfiguration& configuration) {
                        script.builds.push_back(configuration);
                        return std::make_unique<ScriptedEngine>(script);
                      });
  const int status = server.run(modelPath);
  HelperRun run;
  run.output = out.content();
  return {status, run.outputLines(), err.content()};
}

std::string transcribeLine(size_t samples, const std::string& extra = "") {
  return "{\"cmd\":\"transcribe\",\"samples\":" + std::to_string(samples) + extra + "}\n" +
         pcmBytes(std::vector<float>(samples, 0.0f));
}

EngineResult result(std::string text,
                    std::vector<std::optional<std::vector<EngineWordTiming>>> segments) {
  EngineResult r{std::move(text), {}};
  for (auto& words : segments) r.segments.push_back({std::move(words)});
  return r;
}

std::string withoutDecodeTime(const std::string& line) {
  return line.substr(0, line.find(",\"decode_ms\":"));
}

TEST(HelperServer, BuildsTheFixedConfigurationOnce) {
  Script script;
  script.answers = {{}, {}};
  const Served served = serve(script, transcribeLine(0) + transcribeLine(0), "/m/folder/");
  ASSERT_EQ(script.builds.size(), 1u);
  const HelperConfiguration& configuration = script.builds[0];
  EXPECT_EQ(configuration.modelFolder, "/m/folder/");
  EXPECT_EQ(configuration.model, "large-v3-v20240930");
  EXPECT_EQ(static_cast<int>(configuration.melCompute), 1);
  EXPECT_EQ(static_cast<int>(configuration.audioEncoderCompute), 3);
  EXPECT_EQ(static_cast<int>(configuration.textDecoderCompute), 3);
  EXPECT_FALSE(configuration.verbose);
  EXPECT_TRUE(configuration.prewarm && configuration.load);
  EXPECT_EQ(served.lines.size(), 3u);
}

TEST(HelperServer, JoinsTextsAndListsEveryWord) {
  Script script;
  script.answers = {{
      result(" Hello",
             {std::vector<EngineWordTiming>{{" Hello", 0.0f, 0.56f, 0.9f}}, std::nullopt}),
      result(" world/ é ", {std::vector<EngineWordTiming>{{" world/", 0.56f, 1.0f, 0.5f},
                                                          {" é", 1.0f, 1.25f, 0.125f}}}),
  }};
  const Served served = serve(script, transcribeLine(1));
  ASSERT_EQ(served.lines.size(), 2u);
  EXPECT_EQ(withoutDecodeTime(served.lines[1]),
            "{\"ok\":true,\"text\":\"Hello  world\\/ é\",\"words\":["
            "{\"word\":\" Hello\",\"start\":0,\"end\":0.56,\"probability\":0.9},"
            "{\"word\":\" world\\/\",\"start\":0.56,\"end\":1,\"probability\":0.5},"
            "{\"word\":\" é\",\"start\":1,\"end\":1.25,\"probability\":0.125}]");
  EXPECT_NE(served.diagnostics.find(" words=3\n"), std::string::npos);
}

TEST(HelperServer, PassesSamplesAndLanguageUnchanged) {
  Script script;
  script.answers = {{}, {}, {}, {}};
  const float odd[] = {-0.0f, 1e30f, std::numeric_limits<float>::quiet_NaN(), -2.5f};
  const std::string payload(reinterpret_cast<const char*>(odd), sizeof odd);
  const std::string input = "{\"cmd\":\"transcribe\",\"samples\":4}\n" + payload +
                            transcribeLine(0, ",\"language\":null") +
                            transcribeLine(0, ",\"language\":\"\"") +
                            transcribeLine(0, ",\"language\":\"de\"");
  serve(script, input);
  EXPECT_EQ(script.languages, (std::vector<std::string>{"en", "en", "", "de"}));
  ASSERT_EQ(script.samples[0].size(), 4u);
  EXPECT_EQ(std::memcmp(script.samples[0].data(), odd, sizeof odd), 0);
}

TEST(HelperServer, FailedTranscriptionKeepsServing) {
  Script script;
  script.answers = {{result("first", {})}};
  // The second call has no prepared answer and throws; the third is served
  // again by the same engine (and throws too).
  const Served served = serve(script, transcribeLine(2) + transcribeLine(3) + transcribeLine(0));
  ASSERT_EQ(served.lines.size(), 4u);
  const std::string failure =
      "{\"ok\":false,\"error\":\"transcription failed: transcriptionFailed(\\\"Audio samples are "
      "nil\\\")\"}";
  EXPECT_EQ(served.lines[2], failure);
  EXPECT_EQ(served.lines[3], failure);
  EXPECT_EQ(script.builds.size(), 1u);
  EXPECT_NE(served.diagnostics.find("[ane-helper] decode failed samples=3 decode_ms="),
            std::string::npos);
  EXPECT_EQ(served.status, 0);
}

TEST(HelperServer, UnencodableAnswerEndsWithStatusOne) {
  Script script;
  const float nan = std::numeric_limits<float>::quiet_NaN();
  script.answers = {{result("x", {std::vector<EngineWordTiming>{{"x", 0.0f, 1.0f, nan}}})}, {}};
  const Served served = serve(script, transcribeLine(1) + transcribeLine(0));
  EXPECT_EQ(served.status, 1);
  EXPECT_EQ(served.lines.size(), 1u);  // only the ready answer
  const std::string tail = "[ane-helper] response encoding failed\n";
  ASSERT_GE(served.diagnostics.size(), tail.size());
  EXPECT_EQ(served.diagnostics.substr(served.diagnostics.size() - tail.size()), tail);
  EXPECT_EQ(script.languages.size(), 1u);
}

TEST(HelperServer, BuildFailureUsesTheErrorsTextForm) {
  struct Case {
    std::function<void()> fail;
    std::string text;
  };
  const Case cases[] = {
      {[] { throw kestrune::WhisperError::tokenizerUnavailable(); },
       "model load failed: tokenizerUnavailable(\\\"Tokenizer is unavailable\\\")"},
      {[] { throw std::runtime_error("runtime said no"); }, "model load failed: runtime said no"},
  };
  for (const Case& c : cases) {
    StreamFile in, out, err;
    HelperServer server({in.descriptor(), out.descriptor(), err.descriptor()},
                        [&](const HelperConfiguration&) -> std::unique_ptr<HelperEngine> {
                          c.fail();
                          return nullptr;
                        });
    EXPECT_EQ(server.run("/m"), 1);
    EXPECT_EQ(out.content(), "{\"ok\":false,\"error\":\"" + c.text + "\"}\n");
    EXPECT_EQ(err.content(), "");
  }
}

}  // namespace
