#include "Kestrune/Core/ModelSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <nlohmann/json.hpp>
#include <set>

#include "tests/Support/LogCapture.hpp"

namespace kestrune {
namespace {

using Names = std::vector<std::string>;

const DeviceSupport& group(size_t index) {
  return fallbackModelSupportConfig().deviceSupports.at(index);
}

TEST(ModelSupportTest, DevicesMatchTheirLongestPrefix) {
  const struct {
    std::string device;
    size_t group;
  } cases[] = {
      {"Mac14,2", 3},
      {"MacBookPro18,3", 2},
      {"iPhone15,4", 1},
      {"iPhone11,8", 0},
      {"iPad13,1", 4},
      // "iPad13,1" (A14) is also a prefix; the longer "iPad13,10" (M1) wins.
      {"iPad13,10", 2},
      {"iPad14,1", 5},
  };
  for (const auto& entry : cases)
    EXPECT_EQ(ModelUtilities::modelSupport(entry.device), group(entry.group).models)
        << entry.device;

  // A shorter prefix found first loses to a longer one; equal lengths go to
  // the first group.
  const ModelSupportConfig custom("custom", "1",
                                  {{"short", {"Mac1"}, {"short", {"short"}, {}}},
                                   {"long", {"Mac14"}, {"long", {"long"}, {}}},
                                   {"twin", {"Mac14"}, {"twin", {"twin"}, {}}}},
                                  false);
  EXPECT_EQ(custom.modelSupport("Mac14,2").defaultModel, "long");
  EXPECT_EQ(custom.modelSupport("Mac15,2").defaultModel, "short");

  const testsupport::LogCapture log;
  fallbackModelSupportConfig().modelSupport("iPhone14,5");
  EXPECT_TRUE(
      log.contains(R"(Matched iPhone14,5 to devices: ["iPhone14", "iPad14,1", "iPad14,2"])"));
}

TEST(ModelSupportTest, UnknownDeviceGetsTheDefaultWithEveryKnownModel) {
  const testsupport::LogCapture log(orvane::Logging::LogLevel::info);
  for (const std::string device : {"", "Standard PC (Q35 + ICH9, 2009)", "Mac1"}) {
    const auto support = ModelUtilities::modelSupport(device);
    EXPECT_EQ(support.defaultModel, "openai_whisper-base") << device;
    EXPECT_EQ(support.supported, knownModels()) << device;
    EXPECT_TRUE(support.disabled.empty()) << device;
  }
  EXPECT_TRUE(log.contains("No device support found for Mac1, using default"));
}

TEST(ModelSupportTest, BuiltInCatalogueIsConsistent) {
  const auto& config = fallbackModelSupportConfig();
  EXPECT_EQ(config.repoName, "kestrune-coreml-fallback");
  EXPECT_EQ(config.repoVersion, "0.4");
  ASSERT_EQ(config.deviceSupports.size(), 6u);
  Names expectedKnown;
  for (const auto& device : config.deviceSupports)
    for (const auto& name : device.models.supported)
      if (std::find(expectedKnown.begin(), expectedKnown.end(), name) == expectedKnown.end())
        expectedKnown.push_back(name);
  EXPECT_EQ(config.knownModels, expectedKnown);
  for (const auto& device : config.deviceSupports) {
    const auto& models = device.models;
    EXPECT_NE(std::find(models.supported.begin(), models.supported.end(), models.defaultModel),
              models.supported.end())
        << *device.chips << ": the default is supported";
    // disabled = known minus supported, nothing else.
    std::set<std::string> expected(config.knownModels.begin(), config.knownModels.end());
    for (const auto& name : models.supported) expected.erase(name);
    EXPECT_EQ(std::set<std::string>(models.disabled.begin(), models.disabled.end()), expected)
        << *device.chips;
    EXPECT_EQ(models.disabled.size(), expected.size()) << *device.chips;
  }
}

TEST(ModelSupportTest, CatalogueOfTheSameFamilyIsMergedWithTheBuiltInOne) {
  const DeviceSupport remoteMac{
      "M2", {"Mac14", "Mac99"}, {"mine-large", {"mine-large", "openai_whisper-tiny"}, {}}};
  const DeviceSupport remoteNew{
      std::nullopt, {"Vision1"}, {"openai_whisper-tiny", {"openai_whisper-tiny"}, {}}};

  const ModelSupportConfig merged("kestrune-coreml", "1.0", {remoteMac, remoteNew});
  ASSERT_EQ(merged.deviceSupports.size(), 7u) << "two remote groups and five uncovered built-in";
  Names expected{"mine-large", "openai_whisper-tiny"};
  for (const auto& name : group(3).models.supported)
    if (name != "openai_whisper-tiny") expected.push_back(name);
  EXPECT_EQ(merged.deviceSupports[0].models.supported, expected);
  EXPECT_EQ(merged.deviceSupports[0].identifiers, remoteMac.identifiers);
  EXPECT_EQ(merged.deviceSupports[1].models.supported, remoteNew.models.supported);
  EXPECT_EQ(merged.deviceSupports[2].identifiers, group(0).identifiers)
      << "built-in groups follow in their order";
  EXPECT_EQ(merged.deviceSupports[2].models.supported, group(0).models.supported);
  EXPECT_EQ(merged.modelSupport("Mac14,7").defaultModel, "mine-large");
  EXPECT_EQ(merged.knownModels.front(), "mine-large");
  // Disabled lists follow the merged known models.
  EXPECT_NE(std::find(merged.deviceSupports[2].models.disabled.begin(),
                      merged.deviceSupports[2].models.disabled.end(), "mine-large"),
            merged.deviceSupports[2].models.disabled.end());

  const ModelSupportConfig unrelated("someone-else", "1.0", {remoteMac, remoteNew});
  ASSERT_EQ(unrelated.deviceSupports.size(), 2u);
  EXPECT_EQ(unrelated.deviceSupports[0].models.supported, remoteMac.models.supported);
  EXPECT_EQ(unrelated.knownModels, (Names{"mine-large", "openai_whisper-tiny"}));
  EXPECT_EQ(unrelated.modelSupport("Mac15,1").supported, unrelated.knownModels)
      << "no built-in group to fall back on";
}

TEST(ModelSupportTest, JsonFormReadsBackAndRequiresItsKeys) {
  const auto json = nlohmann::json::parse(R"({
    "repoName": "elsewhere", "repoVersion": "2",
    "deviceSupports": [
      {"identifiers": ["Mac14"], "models": {"default": "a", "supported": ["a", "b"]}},
      {"chips": "M9", "identifiers": ["Mac99"], "models": {"default": "b", "supported": ["b"]}}
    ]})");
  const auto config = json.get<ModelSupportConfig>();
  EXPECT_EQ(config.repoName, "elsewhere");
  ASSERT_EQ(config.deviceSupports.size(), 2u);
  EXPECT_FALSE(config.deviceSupports[0].chips.has_value());
  EXPECT_EQ(config.deviceSupports[1].chips, "M9");
  EXPECT_EQ(config.deviceSupports[1].models.disabled, Names{"a"}) << "computed, not read";
  const auto again = nlohmann::json(config).get<ModelSupportConfig>();
  EXPECT_EQ(again.deviceSupports, config.deviceSupports);
  EXPECT_FALSE(nlohmann::json(config)["deviceSupports"][0].contains("chips"));

  const char* broken[] = {
      R"({"repoVersion": "2", "deviceSupports": []})",
      R"({"repoName": "x", "deviceSupports": []})",
      R"({"repoName": "x", "repoVersion": "2"})",
      R"({"repoName": "x", "repoVersion": "2", "deviceSupports": [{"models": {"default": "a", "supported": []}}]})",
      R"({"repoName": "x", "repoVersion": "2", "deviceSupports": [{"identifiers": [], "models": {"supported": []}}]})",
      R"({"repoName": "x", "repoVersion": "2", "deviceSupports": [{"identifiers": [], "models": {"default": "a"}}]})",
  };
  for (const char* text : broken)
    EXPECT_THROW(nlohmann::json::parse(text).get<ModelSupportConfig>(), nlohmann::json::exception)
        << text;
}

TEST(FormatModelFilesTest, KeepsSizedFoldersOnceInSizeOrder) {
  const Names names{
      "openai_whisper-large-v3/AudioEncoder.mlmodelc/weights.bin",
      "openai_whisper-small.en",
      "distil-whisper_distil-large-v3",
      "openai_whisper-tiny.en/config.json",
      "openai_whisper-base",
      "openai_whisper-small_216MB",  // a suffix after the size: not a size folder
      "openai_whisper-tiny",
      "openai_whisper-large-v2_949MB",
      "openai_whisper-small",
      "openai_whisper-large-v3/TextDecoder.mlmodelc/weights.bin",
      "config.json",
      "README.md",
      "openai_whisper-base",
  };
  EXPECT_EQ(
      ModelUtilities::formatModelFiles(names),
      (Names{"openai_whisper-tiny", "openai_whisper-tiny.en", "openai_whisper-base",
             "openai_whisper-small", "openai_whisper-small.en", "distil-whisper_distil-large-v3",
             "openai_whisper-large-v2_949MB", "openai_whisper-large-v3"}));
  EXPECT_TRUE(ModelUtilities::formatModelFiles({}).empty());
}

}  // namespace
}  // namespace kestrune
