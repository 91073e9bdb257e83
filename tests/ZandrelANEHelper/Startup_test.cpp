#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "HelperProcess.hpp"
#include "tests/Support/ScopedEnvironment.hpp"

namespace {

namespace fs = std::filesystem;

TEST(Startup, ModelPathVariableIsRequired) {
  for (const std::optional<std::string>& value : {std::optional<std::string>{}, {std::string()}}) {
    SCOPED_TRACE(value ? "empty" : "missing");
    const HelperRun run = runHelper({value, "{\"cmd\":\"quit\"}\n"});
    EXPECT_EQ(run.output, "{\"ok\":false,\"error\":\"ZANDREL_ANE_MODEL_PATH is required\"}\n");
    EXPECT_EQ(run.diagnostics, "");
    EXPECT_EQ(run.exitStatus, 1);
  }
}

TEST(Startup, FirstMissingModelIsReported) {
  ModelFolder folder;
  const fs::path root = fs::path(folder.path()).parent_path();
  const fs::path partial = root / "partial";
  fs::create_directories(partial / "MelSpectrogram.mlmodelc");
  struct Case {
    std::string folder;
    std::string missing;
  };
  const Case cases[] = {
      {folder.emptySibling(), folder.emptySibling() + "/MelSpectrogram.mlmodelc"},
      {(root / "absent").string(), (root / "absent").string() + "/MelSpectrogram.mlmodelc"},
      {partial.string(), partial.string() + "/AudioEncoder.mlmodelc"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.folder);
    const HelperRun run = runHelper({c.folder, "{\"cmd\":\"quit\"}\n"});
    const auto lines = run.outputLines();
    ASSERT_EQ(lines.size(), 1u) << run.output;
    const auto answer = nlohmann::json::parse(lines[0]);
    EXPECT_EQ(answer.at("ok"), false);
    EXPECT_EQ(
        answer.at("error").get<std::string>(),
        "model load failed: modelsUnavailable(\"Model file not found at " + c.missing + "\")");
    EXPECT_EQ(run.exitStatus, 1);
  }
}

TEST(Startup, ReadyAnswerAndDiagnostic) {
  ModelFolder folder;
  const HelperRun run = runHelper({folder.path(), "{\"cmd\":\"quit\"}\n"});
  const auto lines = run.outputLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("{\"ok\":true,\"ready\":true,\"load_ms\":", 0), 0u) << lines[0];
  EXPECT_EQ(run.diagnostics.rfind("[ane-helper] model ready load_ms=", 0), 0u);
  EXPECT_EQ(run.exitStatus, 0);
}

// A model may also come as a package holding its model file: that file is
// what gets loaded (this one is no model, so loading it fails).
TEST(Startup, PackagedModelIsLoadedFromItsModelFile) {
  ModelFolder folder;
  const fs::path mel = fs::path(folder.path()) / "MelSpectrogram.mlmodelc";
  fs::remove_all(mel);
  const fs::path inner =
      fs::path(folder.path()) / "MelSpectrogram.mlpackage" / "Data" / "com.apple.CoreML";
  fs::create_directories(inner);
  std::ofstream(inner / "model.mlmodel") << "m";
  const HelperRun run = runHelper({folder.path(), "{\"cmd\":\"quit\"}\n"});
  EXPECT_NE(run.output.find("model load failed: "), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("MelSpectrogram.mlpackage\\/Data\\/com.apple.CoreML\\/model.mlmodel"),
            std::string::npos)
      << run.output;
  EXPECT_EQ(run.exitStatus, 1);
}

// Without a tokenizer beside the model the engine asks the model hub, whose
// client prints a notice to standard output in continuous-integration mode.
// That line must not reach the host as if it were an answer.
TEST(Startup, LibraryOutputStaysOffTheAnswerStream) {
  ModelFolder folder;
  for (const char* name : {"tokenizer.json", "tokenizer_config.json", "config.json"}) {
    fs::remove(fs::path(folder.path()) / name);
  }
  const fs::path home = fs::path(folder.path()).parent_path() / "home";
  fs::create_directories(home);
  const testsupport::ScopedEnvironment environment({{"CI_DISABLE_NETWORK_MONITOR", "1"},
                                                    {"HF_ENDPOINT", "http://127.0.0.1:1"},
                                                    {"HOME", home.string()}});
  const HelperRun run = runHelper({folder.path(), "{\"cmd\":\"quit\"}\n"});
  const auto lines = run.outputLines();
  ASSERT_EQ(lines.size(), 1u) << run.output;
  const auto answer = nlohmann::json::parse(lines[0]);
  EXPECT_EQ(answer.at("ok"), false) << lines[0];
  EXPECT_NE(run.diagnostics.find("NO TOKEN"), std::string::npos) << run.diagnostics;
  EXPECT_EQ(run.exitStatus, 1);
}

}  // namespace
