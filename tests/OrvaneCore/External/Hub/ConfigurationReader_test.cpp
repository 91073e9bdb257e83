#include "OrvaneCore/External/Hub/ConfigurationReader.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "OrvaneCore/External/Hub/HubClientError.hpp"

namespace orvane {
namespace {

namespace fs = std::filesystem;

class ConfigurationReaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ =
        fs::temp_directory_path() /
        ("config-reader-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(folder_);
  }
  void TearDown() override { fs::remove_all(folder_); }

  fs::path write(const std::string& name, const std::string& bytes) {
    const fs::path path = folder_ / name;
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }

  fs::path folder_;
};

constexpr const char* bom = "\xEF\xBB\xBF";

TEST_F(ConfigurationReaderTest, KeepsByteOrderMarkAtStartOfStrings) {
  const fs::path path = write("vocab.json", std::string(R"({"model": {"vocab": {")") + bom +
                                                R"(x": 1, "y": ")" + bom + "\"}}}");
  const Config config = readConfiguration(path);
  const Config::Dictionary& vocab = *config["model"]["vocab"].dictionary();
  ASSERT_EQ(vocab.size(), 2u);
  EXPECT_TRUE(vocab.contains(BinaryDistinctString(std::string(bom) + "x")));
  EXPECT_EQ(vocab.at(BinaryDistinctString("y")).string(), bom);
}

TEST_F(ConfigurationReaderTest, MarkBeforeTheTopLevelObjectIsSkipped) {
  const fs::path path = write("bom.json", std::string(bom) + R"({"a": "b"})");
  EXPECT_EQ(readConfiguration(path)["a"].string(), "b");
}

TEST_F(ConfigurationReaderTest, MalformedJSONIsASerializationError) {
  const fs::path path = write("bad.json", R"({"a": )");
  try {
    readConfiguration(path);
    FAIL() << "no error";
  } catch (const HubClientError& error) {
    EXPECT_EQ(error.kind(), HubClientError::Case::jsonSerialization);
    const std::string url = "file://" + path.string();
    EXPECT_EQ(error.errorDescription(),
              "JSON Serialization failed for " + url +
                  ". Please verify that you have set the HF_TOKEN environment variable.");
    EXPECT_NE(std::string(error.what()).find("fileURL: " + url), std::string::npos);
  }
}

TEST_F(ConfigurationReaderTest, TopLevelThatIsNoObjectIsAParseError) {
  for (const char* json : {"[1, 2]", "\"text\"", "3"}) {
    const fs::path path = write("array.json", json);
    try {
      readConfiguration(path);
      FAIL() << json;
    } catch (const HubClientError& error) {
      EXPECT_EQ(error.kind(), HubClientError::Case::parse) << json;
      EXPECT_EQ(error.errorDescription(), "Failed to parse server response.");
    }
  }
}

TEST_F(ConfigurationReaderTest, UnreadableFileIsTheReadError) {
  EXPECT_THROW(readConfiguration(folder_ / "missing.json"), fs::filesystem_error);
}

TEST(ConfigurationReaderShared, ReadsTheMultilingualTokenizerFile) {
  const Config data =
      readConfiguration(fs::path(KESTRUNE_SHARED_DIR) / "tokenizers/multilingual/tokenizer.json");
  EXPECT_EQ(data["model"]["merges"].array()->size(), 50000u);
  EXPECT_EQ(data["model"]["vocab"].dictionary()->size(), 50258u);
  EXPECT_EQ(data["model"]["vocab"]["<|endoftext|>"].integer(), 50257);
  EXPECT_EQ(data["addedTokens"].array()->size(), 1608u);
  EXPECT_EQ(data["preTokenizer"]["type"].string(), "ByteLevel");
}

}  // namespace
}  // namespace orvane
