#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>

#include "tests/Support/TemporaryFolder.hpp"
#include "tests/tools/kestrune/ToolProcess.hpp"
#include "tools/kestrune-make-test-model/TestModelGenerator.hpp"

namespace kestrune::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string contents(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream text;
  text << file.rdbuf();
  return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << text;
}

template <typename Value>
void put(std::string& bytes, Value value) {
  bytes.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// A 16-bit mono WAV of a tone that rises and falls, with a little noise;
// with pauses, the last second of every six is silent.
void writeWav(const fs::path& path, double seconds, bool pauses = false, int rate = 16000) {
  const auto frames = static_cast<uint32_t>(seconds * rate);
  std::string bytes = "RIFF";
  put<uint32_t>(bytes, 36 + frames * 2);
  bytes += "WAVEfmt ";
  put<uint32_t>(bytes, 16);
  put<uint16_t>(bytes, 1);
  put<uint16_t>(bytes, 1);
  put<uint32_t>(bytes, rate);
  put<uint32_t>(bytes, rate * 2);
  put<uint16_t>(bytes, 2);
  put<uint16_t>(bytes, 16);
  bytes += "data";
  put<uint32_t>(bytes, frames * 2);
  uint32_t noise = 12345;
  for (uint32_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    noise = noise * 1103515245 + 12345;
    const double envelope = pauses ? 1.0 : std::sin(M_PI * t / seconds);
    const double sample = 0.4 * std::sin(2 * M_PI * (220 + 80 * std::sin(t)) * t) * envelope +
                          0.02 * ((noise >> 16) / 32768.0 - 1);
    const bool silent = pauses && std::fmod(t, 6.0) >= 5.0;
    put<int16_t>(bytes, silent ? int16_t{0} : static_cast<int16_t>(sample * 32767));
  }
  writeFile(path, bytes);
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::istringstream stream(text);
  for (std::string line; std::getline(stream, line);) result.push_back(line);
  return result;
}

// Blocks of text separated by blank lines.
std::vector<std::vector<std::string>> blocks(const std::string& text) {
  std::vector<std::vector<std::string>> result(1);
  for (const auto& line : lines(text)) {
    if (line.empty()) {
      if (!result.back().empty()) result.emplace_back();
    } else {
      result.back().push_back(line);
    }
  }
  if (result.back().empty()) result.pop_back();
  return result;
}

// Times are 32-bit floats in results, and subtitle writers cut them there.
std::string subtitleTime(float seconds, bool hours, char marker) {
  const auto whole = static_cast<int64_t>(seconds);
  const auto millis = static_cast<int64_t>((seconds - std::floor(seconds)) * 1000.0f);
  char text[32];
  if (hours || whole >= 3600) {
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld%c%03lld", (long long)(whole / 3600),
                  (long long)(whole / 60 % 60), (long long)(whole % 60), marker, (long long)millis);
  } else {
    std::snprintf(text, sizeof text, "%02lld:%02lld%c%03lld", (long long)(whole / 60),
                  (long long)(whole % 60), marker, (long long)millis);
  }
  return text;
}

// What a subtitle file must show for the JSON result: one cue per word of
// segments with words, else one per segment, with their start times.
std::vector<float> expectedCueStarts(const json& result) {
  std::vector<float> starts;
  for (const auto& segment : result.at("segments")) {
    if (segment.contains("words") && !segment.at("words").empty()) {
      for (const auto& word : segment.at("words")) starts.push_back(word.at("start"));
    } else {
      starts.push_back(segment.at("start"));
    }
  }
  return starts;
}

// One model folder for the whole suite, made by `kestrune convert` from a
// generated checkpoint with the multilingual tokenizer; its weights are
// random, so the text means nothing, but every stage really runs.
class KestruneToolTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    suite_ = new testsupport::TemporaryFolder();
    tools::TestModelDimensions dimensions;
    dimensions.tokenizerFolder = std::string(KESTRUNE_SHARED_DIR) + "/tokenizers/multilingual";
    tools::writeTestCheckpoint(suite_->path() / "checkpoint", dimensions);
    converted_ = new ToolRun(runTool(
        {"convert", (suite_->path() / "checkpoint").string(), modelFolder()}, suite_->path()));
    writeWav(suite_->path() / "tone.wav", 2.5);
  }
  static void TearDownTestSuite() {
    delete converted_;
    delete suite_;
  }
  void SetUp() override { ASSERT_EQ(converted_->status, 0) << converted_->err; }

  static std::string modelFolder() { return (suite_->path() / "models").string(); }
  static std::string toneFile() { return (suite_->path() / "tone.wav").string(); }

  ToolRun transcribe(std::vector<std::string> arguments) const {
    arguments.insert(arguments.begin(), {"transcribe", "--model", modelFolder()});
    return runTool(arguments, work_.path());
  }

  testsupport::TemporaryFolder work_;

 private:
  static inline testsupport::TemporaryFolder* suite_ = nullptr;
  static inline ToolRun* converted_ = nullptr;
};

TEST_F(KestruneToolTest, EveryFormatIsWrittenAndParsesBack) {
  for (const bool words : {false, true}) {
    SCOPED_TRACE(words ? "with word timestamps" : "without word timestamps");
    std::vector<std::string> arguments{toneFile(), "--format", "all", "--output-dir", "out"};
    if (words) arguments.push_back("--word-timestamps");
    const auto run = transcribe(arguments);
    ASSERT_EQ(run.status, 0) << run.err;
    const fs::path out = work_.path() / "out";

    const json result = json::parse(contents(out / "tone.json"));
    for (const char* key : {"text", "segments", "language", "timings", "seekTime"}) {
      EXPECT_TRUE(result.contains(key)) << key;
    }
    for (const auto& segment : result.at("segments")) {
      EXPECT_LE(segment.at("start").get<double>(), segment.at("end").get<double>());
      EXPECT_LT(segment.at("seek").get<int64_t>(), 2.5 * 16000);
      EXPECT_EQ(segment.contains("words"), words);
    }
    // The text file, standard output and the JSON tell the same text.
    std::string text = result.at("text");
    text.erase(0, text.find_first_not_of(' '));
    text.erase(text.find_last_not_of(' ') + 1);
    EXPECT_EQ(contents(out / "tone.txt"), text + "\n");
    EXPECT_EQ(run.out, text + "\n");

    const auto starts = expectedCueStarts(result);
    const auto srt = blocks(contents(out / "tone.srt"));
    ASSERT_EQ(srt.size(), starts.size());
    const std::regex srtTiming(R"(\d\d:\d\d:\d\d,\d\d\d --> \d\d:\d\d:\d\d,\d\d\d)");
    for (size_t i = 0; i < srt.size(); ++i) {
      ASSERT_GE(srt[i].size(), 2u);
      EXPECT_EQ(srt[i][0], std::to_string(i + 1));
      EXPECT_TRUE(std::regex_match(srt[i][1], srtTiming)) << srt[i][1];
      EXPECT_EQ(srt[i][1].substr(0, 12), subtitleTime(starts[i], true, ','));
    }

    const std::string vttText = contents(out / "tone.vtt");
    ASSERT_EQ(vttText.rfind("WEBVTT\n\n", 0), 0u);
    auto vtt = blocks(vttText);
    vtt.erase(vtt.begin());
    ASSERT_EQ(vtt.size(), starts.size());
    const std::regex vttTiming(R"((\d\d:)?\d\d:\d\d\.\d\d\d --> (\d\d:)?\d\d:\d\d\.\d\d\d)");
    for (size_t i = 0; i < vtt.size(); ++i) {
      EXPECT_TRUE(std::regex_match(vtt[i][0], vttTiming)) << vtt[i][0];
      EXPECT_EQ(vtt[i][0].substr(0, 9), subtitleTime(starts[i], false, '.'));
    }
  }
}

TEST_F(KestruneToolTest, FormatAndOutputFolderChooseTheFilesWritten) {
  struct Case {
    std::vector<std::string> options;
    std::string folder;
    std::vector<std::string> written;
  };
  const std::vector<Case> cases{
      {{}, ".", {}},
      {{"--format", "srt,json"}, ".", {"tone.json", "tone.srt"}},
      {{"--output-dir", "a/b"}, "a/b", {"tone.json", "tone.srt", "tone.txt", "tone.vtt"}},
      {{"-f", "vtt", "-o", "c"}, "c", {"tone.vtt"}},
  };
  for (const auto& test : cases) {
    testsupport::TemporaryFolder folder;
    std::vector<std::string> arguments{"transcribe", "--model", modelFolder(), toneFile()};
    arguments.insert(arguments.end(), test.options.begin(), test.options.end());
    const auto run = runTool(arguments, folder.path());
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> written;
    if (fs::is_directory(folder.path() / test.folder)) {
      for (const auto& entry : fs::directory_iterator(folder.path() / test.folder)) {
        if (entry.is_regular_file()) written.push_back(entry.path().filename().string());
      }
    }
    std::sort(written.begin(), written.end());
    EXPECT_EQ(written, test.written) << test.options.size();
  }
}

TEST_F(KestruneToolTest, LanguageNamesAndCodesReachTheDecoder) {
  // A name or a code forces that language; left out, the model picks one.
  for (const auto& [given, expected] :
       std::vector<std::pair<std::string, std::string>>{{"German", "de"}, {"ja", "ja"}}) {
    const auto run =
        transcribe({toneFile(), "--language", given, "--task", "translate", "-f", "json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(json::parse(contents(work_.path() / "tone.json")).at("language"), expected);
  }
}

TEST_F(KestruneToolTest, UsageErrorsExitTwoWithOneLine) {
  writeFile(work_.path() / "a/same.wav", "");
  writeFile(work_.path() / "b/same.wav", "");
  const std::string tone = toneFile();
  const std::string model = modelFolder();
  struct Case {
    std::vector<std::string> arguments;
    std::string mentions;
  };
  const std::vector<Case> cases{
      {{}, "subcommand"},
      {{"dance"}, "dance"},
      {{"transcribe", "--model", model}, "files"},
      {{"transcribe", tone}, "--model"},
      {{"transcribe", tone, "--model", model, "--format", "pdf"}, "pdf"},
      {{"transcribe", tone, "--model", model, "--format", "srt,docx"}, "docx"},
      {{"transcribe", tone, "--model", model, "--task", "sing"}, "sing"},
      {{"transcribe", tone, "--model", model, "--language", "klingon"}, "klingon"},
      {{"transcribe", tone, "--model", model, "--temperature", "-1"}, "--temperature"},
      {{"transcribe", tone, "--model", model, "--workers", "zero"}, "--workers"},
      {{"transcribe", tone, "--model", model, "--chunk-seconds", "5"}, "--incremental"},
      {{"transcribe", "a/same.wav", "b/same.wav", "--model", model, "-f", "txt"}, "same"},
      {{"transcribe", tone, "--model", model, "--workers", "0"}, "above 0"},
      {{"detect-language"}, "file"},
      {{"convert", "only-one"}, "output"},
      {{"completion", "fish"}, "fish"},
      {{"help", "nothing"}, "nothing"},
  };
  for (const auto& test : cases) {
    std::string line = "kestrune";
    for (const auto& argument : test.arguments) line += " " + argument;
    SCOPED_TRACE(line);
    const auto run = runTool(test.arguments, work_.path());
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("kestrune: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(test.mentions), std::string::npos) << run.err;
  }
  // Nothing was written on the way.
  EXPECT_EQ(std::distance(fs::directory_iterator(work_.path()), fs::directory_iterator()), 2);
}

TEST_F(KestruneToolTest, FailuresExitOneWithAClearLine) {
  writeFile(work_.path() / "empty-model/readme", "no models here");
  // A model folder whose decoder weights were cut short.
  fs::copy(modelFolder(), work_.path() / "damaged", fs::copy_options::recursive);
  for (const auto& entry :
       fs::recursive_directory_iterator(work_.path() / "damaged/TextDecoder.mlmodelc")) {
    if (entry.is_regular_file() && entry.file_size() > 4096) fs::resize_file(entry.path(), 100);
  }
  const std::string tone = toneFile();
  struct Case {
    std::vector<std::string> arguments;
    std::vector<std::string> mentions;
  };
  const std::string advice = "kestrune download";
  const std::string unreachable = "http://127.0.0.1:9";
  const std::vector<Case> cases{
      {{"transcribe", "missing.wav", "--model", modelFolder()}, {"missing.wav", "no such file"}},
      {{"transcribe", tone, "--model", "no-model"}, {"no-model", advice, "kestrune convert"}},
      {{"transcribe", tone, "--model", "empty-model"}, {"empty-model", "not found", advice}},
      {{"transcribe", tone, "--model", "damaged"}, {"damaged"}},
      {{"detect-language", "missing.wav", "--model", modelFolder()}, {"missing.wav"}},
      {{"detect-language", tone, "--model", "no-model"}, {"no-model", advice}},
      {{"convert", "no-checkpoint", "out"}, {"no-checkpoint"}},
      {{"download", "--model", "tiny", "--endpoint", unreachable, "--download-base", "hub"},
       {"cannot download tiny"}},
      {{"live", "--model", modelFolder(), "--device", "4000000000"}, {"device"}},
      {{"convert", "empty-model", "out"}, {"empty-model"}},
  };
  for (const auto& test : cases) {
    std::string line = "kestrune";
    for (const auto& argument : test.arguments) line += " " + argument;
    SCOPED_TRACE(line);
    const auto run = runTool(test.arguments, work_.path());
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("kestrune: ", 0), 0u) << run.err;
    for (const auto& mention : test.mentions) {
      EXPECT_NE(run.err.find(mention), std::string::npos) << run.err;
    }
  }
}

TEST_F(KestruneToolTest, AnUnreadableFileCostsOnlyItsOwnResults) {
  writeFile(work_.path() / "notes.wav", "this is not audio");
  const auto run = transcribe({"notes.wav", toneFile(), "--format", "txt", "--output-dir", "out"});
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("kestrune: notes.wav: "), std::string::npos) << run.err;
  EXPECT_TRUE(fs::exists(work_.path() / "out/tone.txt"));
  EXPECT_FALSE(fs::exists(work_.path() / "out/notes.txt"));
  EXPECT_NE(run.out.find("==> " + toneFile() + " <=="), std::string::npos) << run.out;
}

TEST_F(KestruneToolTest, ProgressIsPlainOffATerminalAndABarOnOne) {
  const auto plain = transcribe({toneFile()});
  ASSERT_EQ(plain.status, 0) << plain.err;
  EXPECT_EQ(plain.err.find('\r'), std::string::npos) << plain.err;
  EXPECT_EQ(plain.err.find("\033["), std::string::npos) << plain.err;
  EXPECT_EQ(plain.err.find('%'), std::string::npos) << plain.err;
  EXPECT_NE(plain.err.find("transcribing tone.wav (2.5 s of audio)"), std::string::npos)
      << plain.err;
  EXPECT_NE(plain.err.find("tone.wav: done in "), std::string::npos) << plain.err;

  const auto onTerminal =
      runToolOnTerminal({"transcribe", "--model", modelFolder(), toneFile()}, work_.path());
  ASSERT_EQ(onTerminal.status, 0) << onTerminal.out;
  EXPECT_NE(onTerminal.out.find("\r\033[K"), std::string::npos) << onTerminal.out;
  EXPECT_NE(onTerminal.out.find("100%"), std::string::npos) << onTerminal.out;
  EXPECT_NE(onTerminal.out.find("realtime"), std::string::npos) << onTerminal.out;
  EXPECT_NE(onTerminal.out.find("elapsed"), std::string::npos) << onTerminal.out;
  EXPECT_EQ(onTerminal.out.find("transcribing tone.wav"), std::string::npos) << onTerminal.out;
}

TEST_F(KestruneToolTest, StreamedAndChunkedRunsStayOnTheFileTimeLine) {
  // Longer than one 30 s window, so that both ways cut it into pieces.
  const double seconds = 65;
  writeWav(work_.path() / "long.wav", seconds, true);
  const std::vector<std::vector<std::string>> modes{
      {"--incremental", "--chunk-seconds", "20"},
      {"--vad", "--workers", "2"},
  };
  for (const auto& mode : modes) {
    SCOPED_TRACE(mode.front());
    std::vector<std::string> arguments{"long.wav", "--format", "json", "--verbose"};
    arguments.insert(arguments.end(), mode.begin(), mode.end());
    const auto run = transcribe(arguments);
    ASSERT_EQ(run.status, 0) << run.err;
    const json result = json::parse(contents(work_.path() / "long.json"));
    // Pieces after the first must be shifted onto the file's time line:
    // every window starts inside the file, and not all at its start.
    ASSERT_FALSE(result.at("segments").empty());
    int64_t latest = 0;
    for (const auto& segment : result.at("segments")) {
      const int64_t seek = segment.at("seek");
      EXPECT_GE(seek, 0);
      EXPECT_LT(seek, seconds * 16000);
      EXPECT_GE(segment.at("start").get<double>(), seek / 16000.0 - 0.001);
      latest = std::max(latest, seek);
    }
    EXPECT_GE(latest, 30 * 16000);
    EXPECT_NE(run.err.find("---- Transcription Timings ----"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Real Time Factor:"), std::string::npos) << run.err;
  }
}

TEST_F(KestruneToolTest, DetectLanguageListsTheLikeliestFirst) {
  const auto run = runTool({"detect-language", toneFile(), "--top", "3"}, work_.path(),
                           {{"KESTRUNE_MODEL", modelFolder()}});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto output = lines(run.out);
  // The engine tells the probability of the language it chose; further
  // entries, where it reports them, come in falling order.
  ASSERT_GE(output.size(), 2u) << run.out;
  ASSERT_LE(output.size(), 4u) << run.out;
  ASSERT_EQ(output[0].rfind("language: ", 0), 0u);
  const std::string language = output[0].substr(10);
  std::regex entry(R"(  ([a-z]+) (0\.\d{4}|1\.0000))");
  double previous = 1;
  for (size_t i = 1; i < output.size(); ++i) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(output[i], match, entry)) << output[i];
    if (i == 1) {
      EXPECT_EQ(match[1], language);
    }
    const double probability = std::stod(match[2]);
    EXPECT_LE(probability, previous);
    previous = probability;
  }
}

TEST_F(KestruneToolTest, ModelListFallsBackToTheBuiltInCatalogue) {
  const auto offline = runTool({"models", "--offline"}, work_.path());
  ASSERT_EQ(offline.status, 0) << offline.err;
  const auto output = lines(offline.out);
  ASSERT_GE(output.size(), 4u) << offline.out;
  ASSERT_EQ(output[1].rfind("recommended: ", 0), 0u) << offline.out;
  EXPECT_EQ(output[2], "available:");
  const std::string recommended = output[1].substr(13);
  EXPECT_NE(std::find(output.begin() + 3, output.end(), "  " + recommended), output.end())
      << offline.out;
  // A hub that cannot be reached leaves the same answer, not a failure.
  const auto unreachable = runTool(
      {"models", "--endpoint", "http://127.0.0.1:9", "--download-base", "hub"}, work_.path());
  EXPECT_EQ(unreachable.status, 0) << unreachable.err;
  EXPECT_EQ(unreachable.out, offline.out);
}

TEST_F(KestruneToolTest, DeviceListIsOneLinePerInput) {
  const auto run = runTool({"devices"}, work_.path());
  ASSERT_EQ(run.status, 0) << run.err;
  // Whatever the sound system says while it probes stays out of the way.
  EXPECT_LE(lines(run.err).size(), 1u) << run.err;
  const std::regex entry(R"(\d+\t.+)");
  for (const auto& line : lines(run.out)) EXPECT_TRUE(std::regex_match(line, entry)) << line;
  if (run.out.empty()) {
    EXPECT_EQ(run.err, "kestrune: no audio input devices found\n");
  }
}

TEST_F(KestruneToolTest, HelpAndManualDescribeEveryCommand) {
  const auto manual = runTool({"help"}, work_.path());
  ASSERT_EQ(manual.status, 0) << manual.err;
  for (const char* text :
       {"kestrune transcribe", "kestrune detect-language", "kestrune convert",
        "kestrune completion", "--word-timestamps", "--output-dir", "--vad", "--incremental",
        "--top", "--fp32", "kestrune download", "--repo", "kestrune models", "kestrune devices",
        "kestrune live", "--device", "Exit status"}) {
    EXPECT_NE(manual.out.find(text), std::string::npos) << text;
  }
  for (const char* command : {"transcribe", "detect-language", "convert", "download", "models",
                              "devices", "live", "completion"}) {
    SCOPED_TRACE(command);
    const auto help = runTool({command, "--help"}, work_.path());
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(manual.out.find(help.out), std::string::npos);
    EXPECT_EQ(runTool({"help", command}, work_.path()).out, help.out);
  }
}

TEST_F(KestruneToolTest, BashCompletionOffersCommandsOptionsAndValues) {
  const auto script = runTool({"completion", "bash"}, work_.path());
  ASSERT_EQ(script.status, 0) << script.err;
  writeFile(work_.path() / "completion.bash", script.out);
  fs::create_directories(work_.path() / "models-here");
  struct Case {
    std::string line;
    std::string offered;
  };
  const std::vector<Case> cases{
      {"kestrune tr", "transcribe"},
      {"kestrune de", "detect-language devices"},
      {"kestrune dow", "download"},
      {"kestrune live --dev", "--device"},
      {"kestrune live --language j", "ja jw"},
      {"kestrune transcribe --word", "--word-timestamps"},
      {"kestrune transcribe --format s", "srt"},
      {"kestrune transcribe --task t", "transcribe translate"},
      {"kestrune transcribe --model models-h", "models-here"},
      {"kestrune detect-language --t", "--top"},
      {"kestrune completion b", "bash"},
      {"kestrune help con", "convert"},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.line);
    const std::string program = "source completion.bash; COMP_WORDS=(" + test.line +
                                "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _kestrune; echo "
                                "\"${COMPREPLY[*]}\"";
    const std::string command = "cd " + shellQuoted(work_.path().string()) + " && bash -c " +
                                shellQuoted(program) + " > completion.out";
    ASSERT_EQ(std::system(command.c_str()), 0);
    EXPECT_EQ(contents(work_.path() / "completion.out"), test.offered + "\n");
  }
}

}  // namespace
}  // namespace kestrune::testing
