#include "OrvaneCore/HubWrapper.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <map>

#include "tests/OrvaneCore/External/HubClient/HubEmulator.hpp"

namespace {

using namespace orvane;
namespace fs = std::filesystem;

using hubtest::ScopedEnvironment;

const std::vector<std::string> tokenVariables = {"HF_TOKEN", "HUGGING_FACE_HUB_TOKEN",
                                                 "HF_TOKEN_PATH", "HF_HOME"};

TEST(HubWrapperTest, TokenComesFromTheFirstSourceThatHasOne) {
  hubtest::TemporaryFolder home;
  const auto file = [&](const std::string& relative, const std::string& content) {
    hubtest::writeFile(home.path() / relative, content);
  };
  const struct {
    const char* name;
    std::map<std::string, std::string> variables;  // "$HOME" is replaced by the folder
    std::vector<std::pair<std::string, std::string>> files;
    std::optional<std::string> expected;
  } cases[] = {
      {"variable first", {{"HF_TOKEN", "a"}, {"HUGGING_FACE_HUB_TOKEN", "b"}}, {}, "a"},
      {"empty variable skipped", {{"HF_TOKEN", ""}, {"HUGGING_FACE_HUB_TOKEN", "b"}}, {}, "b"},
      {"token path keeps its line feed",
       {{"HF_TOKEN_PATH", "$HOME/my-token"}},
       {{"my-token", "secret\n"}, {".cache/huggingface/token", "later"}},
       "secret\n"},
      {"token path with tilde", {{"HF_TOKEN_PATH", "~/my-token"}}, {{"my-token", "t"}}, "t"},
      {"unreadable token path falls through",
       {{"HF_TOKEN_PATH", "$HOME/absent"}, {"HF_HOME", "$HOME/hf"}},
       {{"hf/token", "from-home"}},
       "from-home"},
      {"cache token before the old place",
       {},
       {{".cache/huggingface/token", "c"}, {".huggingface/token", "d"}},
       "c"},
      {"old place last", {}, {{".huggingface/token", "d"}}, "d"},
      {"empty file skipped",
       {},
       {{".cache/huggingface/token", ""}, {".huggingface/token", "d"}},
       "d"},
      {"nothing", {}, {}, std::nullopt},
  };
  for (const auto& entry : cases) {
    fs::remove_all(home.path());
    fs::create_directories(home.path());
    for (const auto& [relative, content] : entry.files) file(relative, content);
    std::map<std::string, std::optional<std::string>> environment{{"HOME", home.path().string()}};
    for (const auto& name : tokenVariables) environment[name] = std::nullopt;
    for (auto [name, value] : entry.variables) {
      if (const auto at = value.find("$HOME"); at != std::string::npos)
        value.replace(at, 5, home.path().string());
      environment[name] = value;
    }
    const ScopedEnvironment scope(environment);
    EXPECT_EQ(tokenFromEnvironment(), entry.expected) << entry.name;
  }
}

TEST(HubWrapperTest, SettingsComeFromArgumentsThenEnvironment) {
  hubtest::TemporaryFolder home;
  {
    const ScopedEnvironment scope({{"HOME", home.path().string()},
                                   {"HF_ENDPOINT", "http://127.0.0.1:9"},
                                   {"HF_TOKEN", "env-token"},
                                   {"CI_DISABLE_NETWORK_MONITOR", std::nullopt}});
    const HubApiWrapper fromEnvironment;
    EXPECT_EQ(fromEnvironment.impl.endpoint, "http://127.0.0.1:9");
    EXPECT_EQ(fromEnvironment.impl.hfToken, "env-token");
    EXPECT_EQ(fromEnvironment.impl.downloadBase, home.path() / "Documents" / "huggingface");
    EXPECT_FALSE(fromEnvironment.impl.useOfflineMode.has_value());
    const Repo repo{"org/data", RepoType::datasets};
    EXPECT_EQ(fromEnvironment.localRepoLocation(repo),
              home.path() / "Documents" / "huggingface" / "datasets" / "org" / "data");

    const HubApiWrapper given(fs::path("/base"), "arg-token", "http://127.0.0.1:8");
    EXPECT_EQ(given.impl.endpoint, "http://127.0.0.1:8");
    EXPECT_EQ(given.impl.hfToken, "arg-token");
    EXPECT_EQ(given.impl.downloadBase, fs::path("/base"));
  }
  const ScopedEnvironment scope({{"HF_ENDPOINT", std::nullopt}});
  EXPECT_EQ(HubApiWrapper(fs::path("/base")).impl.endpoint, std::string(defaultHubEndpoint));
}

TEST(HubWrapperTest, ContinuousIntegrationModeReportsTheTokenAndStaysOnline) {
  const struct {
    std::optional<std::string> token;
    std::string line;
  } cases[] = {{"t", "✅ got token\n"}, {std::nullopt, "🔴 NO TOKEN **\n"}};
  hubtest::TemporaryFolder home;
  for (const auto& entry : cases) {
    std::map<std::string, std::optional<std::string>> environment{
        {"HOME", home.path().string()}, {"CI_DISABLE_NETWORK_MONITOR", "1"}};
    for (const auto& name : tokenVariables) environment[name] = std::nullopt;
    environment["HF_TOKEN"] = entry.token;
    const ScopedEnvironment scope(environment);
    testing::internal::CaptureStdout();
    const HubApiWrapper wrapper(home.path());
    EXPECT_EQ(testing::internal::GetCapturedStdout(), entry.line);
    EXPECT_FALSE(wrapper.impl.isOffline());
  }
}

TEST(HubWrapperTest, SnapshotGoesToTheEndpointOfTheEnvironment) {
  hubtest::HubEmulator hub;
  hub.addFile("models/org/model", "config.json", "{}");
  hub.addFile("models/org/model", "tokenizer.json", "{}");
  hub.control({{"token", "secret"}});
  hubtest::TemporaryFolder base;
  const ScopedEnvironment scope({{"HF_ENDPOINT", hub.endpoint()},
                                 {"HF_TOKEN", "secret"},
                                 {"CI_DISABLE_NETWORK_MONITOR", "1"}});
  testing::internal::CaptureStdout();
  const HubApiWrapper wrapper(base.path());
  testing::internal::GetCapturedStdout();
  const Repo repo{"org/model", RepoType::models};
  EXPECT_EQ(wrapper.getFilenames(repo, "main", {"tok*"}),
            std::vector<std::string>{"tokenizer.json"});
  const auto folder = wrapper.snapshot(repo, "main", {"tok*"});
  EXPECT_EQ(folder, wrapper.localRepoLocation(repo));
  EXPECT_TRUE(fs::exists(folder / "tokenizer.json"));
  EXPECT_FALSE(fs::exists(folder / "config.json"));
}

}  // namespace
