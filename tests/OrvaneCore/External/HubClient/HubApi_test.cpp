#include "OrvaneCore/External/Hub/HubApi.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>

#include "OrvaneCore/External/Hub/HubClientError.hpp"
#include "Platform/Net/Sha256.hpp"
#include "tests/OrvaneCore/External/HubClient/HubEmulator.hpp"

namespace {

using namespace orvane;
namespace fs = std::filesystem;
using hubtest::readFile;

const std::string commitA(40, 'a');
const std::string commitB(40, 'b');

struct Metadata {
  std::string commit, etag, timestamp;
};

Metadata readMetadata(const fs::path& path) {
  const std::string text = readFile(path);
  Metadata record;
  size_t start = 0;
  for (auto* field : {&record.commit, &record.etag, &record.timestamp}) {
    const auto end = text.find('\n', start);
    if (end == std::string::npos) return record;
    *field = text.substr(start, end - start);
    start = end + 1;
  }
  EXPECT_EQ(start, text.size()) << "three lines, each with a line feed";
  return record;
}

class HubApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hub.addFile("models/org/model", "config.json", R"({"model_type":"whisper"})");
    hub.addFile("models/org/model", "tokenizer.json", R"({"model":{}})");
    hub.addFile("models/org/model", "README.md", "# model\n");
    hub.addFile("models/org/model", "sub/weights.bin", weights);
    hub.control({{"commits", {{"models/org/model", commitA}}}, {"redirect", {"sub/weights.bin"}}});
  }

  HubApi api() const {
    HubApi client;
    client.downloadBase = base.path();
    client.endpoint = hub.endpoint();
    client.useOfflineMode = false;
    return client;
  }
  fs::path repoFolder() const { return base.path() / "models" / "org" / "model"; }
  fs::path metadataOf(const std::string& relative) const {
    return repoFolder() / ".cache" / "huggingface" / "download" / (relative + ".metadata");
  }
  size_t fileGets() const {
    return hub.requests("GET", "/resolve/").size() + hub.requests("GET", "/cdn/").size();
  }

  hubtest::HubEmulator hub;
  hubtest::TemporaryFolder base;
  const Repo repo{"org/model", RepoType::models};
  const std::string weights = hubtest::patternBytes(300000, 7);
};

TEST_F(HubApiTest, GetFilenamesListsAllOrTheUnionOfMatches) {
  const struct {
    std::vector<std::string> globs;
    std::set<std::string> expected;
  } cases[] = {
      {{}, {"README.md", "config.json", "sub/weights.bin", "tokenizer.json"}},
      {{"*.json"}, {"config.json", "tokenizer.json"}},
      {{"*.json", "config.*"}, {"config.json", "tokenizer.json"}},
      {{"sub/*", "README.md"}, {"README.md", "sub/weights.bin"}},
      {{"nothing*"}, {}},
  };
  for (const auto& entry : cases) {
    const auto names = api().getFilenames(repo, "main", entry.globs);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), entry.expected);
    EXPECT_EQ(names.size(), entry.expected.size()) << "each name once";
  }
}

TEST_F(HubApiTest, SnapshotFetchesMatchingFilesAndRecordsTheirOrigin) {
  std::vector<double> fractions;
  const auto folder = api().snapshot(
      repo, "main", {"*.json", "sub/*"},
      [&](const TransferProgress& progress) { fractions.push_back(progress.fractionCompleted()); });
  EXPECT_EQ(folder, repoFolder());
  EXPECT_EQ(readFile(folder / "config.json"), R"({"model_type":"whisper"})");
  EXPECT_EQ(readFile(folder / "sub" / "weights.bin"), weights);
  EXPECT_FALSE(fs::exists(folder / "README.md"));

  const auto lfs = readMetadata(metadataOf("sub/weights.bin"));
  EXPECT_EQ(lfs.commit, commitA);
  EXPECT_EQ(lfs.etag, platform::net::sha256Hex(weights)) << "the linked tag, quotes removed";
  EXPECT_GT(std::stod(lfs.timestamp), 1.7e9);
  const auto plain = readMetadata(metadataOf("config.json"));
  EXPECT_EQ(plain.etag.size(), 40u);
  EXPECT_EQ(plain.etag.find('"'), std::string::npos);

  for (const auto& entry : fs::recursive_directory_iterator(folder))
    EXPECT_FALSE(entry.path().string().ends_with(".incomplete")) << entry.path();
  ASSERT_FALSE(fractions.empty());
  EXPECT_DOUBLE_EQ(fractions.back(), 1.0);
  EXPECT_TRUE(std::is_sorted(fractions.begin(), fractions.end()));
  // The large file came from the content host, not through the hub.
  EXPECT_EQ(hub.requests("GET", "/cdn/").size(), 1u);
}

TEST_F(HubApiTest, UnchangedCommitOrTagMakesNoTransfer) {
  api().snapshot(repo, "main", {});
  hub.resetLog();
  api().snapshot(repo, "main", {});
  EXPECT_EQ(fileGets(), 0u);
  EXPECT_EQ(hub.requests("HEAD", "/resolve/").size(), 4u);

  // A new commit with the same tags: still nothing to fetch, but the record
  // follows the commit.
  hub.control({{"commits", {{"models/org/model", commitB}}}});
  hub.resetLog();
  api().snapshot(repo, "main", {});
  EXPECT_EQ(fileGets(), 0u);
  EXPECT_EQ(readMetadata(metadataOf("config.json")).commit, commitB);
}

TEST_F(HubApiTest, TagChangeWithEqualHashRewritesOnlyTheMetadata) {
  api().snapshot(repo, "main", {"sub/*"});
  const auto file = repoFolder() / "sub" / "weights.bin";
  hubtest::writeFile(metadataOf("sub/weights.bin"), commitB + "\nold-tag\n1.5\n");
  const auto before = fs::last_write_time(file);
  hub.resetLog();

  api().snapshot(repo, "main", {"sub/*"});
  EXPECT_EQ(fileGets(), 0u);
  EXPECT_EQ(fs::last_write_time(file), before);
  const auto record = readMetadata(metadataOf("sub/weights.bin"));
  EXPECT_EQ(record.commit, commitA);
  EXPECT_EQ(record.etag, platform::net::sha256Hex(weights));
}

TEST_F(HubApiTest, ChangedContentIsFetchedAgain) {
  api().snapshot(repo, "main", {"sub/*"});
  const std::string updated = hubtest::patternBytes(1000, 99);
  hub.addFile("models/org/model", "sub/weights.bin", updated);
  hub.control({{"commits", {{"models/org/model", commitB}}}});
  api().snapshot(repo, "main", {"sub/*"});
  EXPECT_EQ(readFile(repoFolder() / "sub" / "weights.bin"), updated);
  EXPECT_EQ(readMetadata(metadataOf("sub/weights.bin")).etag, platform::net::sha256Hex(updated));
}

TEST_F(HubApiTest, CutTransferResumesAtTheLastWrittenChunk) {
  // 24 MiB in 10 MiB chunks, cut after 15 MiB: one chunk reached the disk,
  // the 5 MiB held in memory are fetched again.
  const std::string large = hubtest::patternBytes(24 << 20, 3);
  hub.addFile("models/org/model", "sub/weights.bin", large);
  hub.control({{"faults", {{{"file", "sub/weights.bin"}, {"kind", "drop"}, {"after", 15 << 20}}}}});
  api().snapshot(repo, "main", {"sub/*"});

  const auto gets = hub.requests("GET", "/cdn/");
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_TRUE(gets[0]["range"].is_null());
  EXPECT_EQ(gets[1]["range"], "bytes=10485760-");
  EXPECT_EQ(HubApi::computeFileHash(repoFolder() / "sub" / "weights.bin"),
            platform::net::sha256Hex(large));
}

TEST_F(HubApiTest, PartialFileOfAnEarlierAttemptIsResumed) {
  const auto etag = platform::net::sha256Hex(weights);
  hubtest::writeFile(repoFolder() / ".cache" / "huggingface" / "download" /
                         ("sub/weights.bin." + etag + ".incomplete"),
                     weights.substr(0, 4096));
  api().snapshot(repo, "main", {"sub/*"});
  const auto gets = hub.requests("GET", "/cdn/");
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(gets[0]["range"], "bytes=4096-");
  EXPECT_EQ(readFile(repoFolder() / "sub" / "weights.bin"), weights);
}

TEST_F(HubApiTest, FileMetadataNormalisesTagsAndReadsRedirectsThemselves) {
  const struct {
    std::string header, expected;
  } tags[] = {
      {R"(W/"abc123")", "abc123"},
      {R"("plain")", "plain"},
      {"bare", "bare"},
      {R"(W/""double"")", "double"},
  };
  const auto address = api().fileAddress(repo, "main", "config.json");
  for (const auto& tag : tags) {
    hub.control({{"etags", {{"config.json", tag.header}}}});
    EXPECT_EQ(api().getFileMetadata(address).etag, tag.expected) << tag.header;
  }
  // Stored the same way.
  api().snapshot(repo, "main", {"config.json"});
  EXPECT_EQ(readMetadata(metadataOf("config.json")).etag, "double");

  hub.resetLog();
  const auto linked = api().getFileMetadata(api().fileAddress(repo, "main", "sub/weights.bin"));
  EXPECT_EQ(linked.commitHash, commitA);
  EXPECT_EQ(linked.etag, platform::net::sha256Hex(weights));
  EXPECT_EQ(linked.size, static_cast<int64_t>(weights.size()));
  EXPECT_NE(linked.location.find(hub.contentHost()), std::string::npos) << linked.location;
  EXPECT_TRUE(hub.requests("HEAD", "/cdn/").empty()) << "an absolute redirect is not followed";
}

TEST_F(HubApiTest, RelativeRedirectOfARenamedRepositoryIsFollowed) {
  hub.control({{"moved", {{"old/model", "org/model"}}}});
  const Repo renamed{"old/model", RepoType::models};
  const auto metadata = api().getFileMetadata(api().fileAddress(renamed, "main", "config.json"));
  EXPECT_EQ(metadata.commitHash, commitA);
  EXPECT_NE(metadata.location.find("/org/model/resolve/main/config.json"), std::string::npos);
  const auto heads = hub.requests("HEAD", "/org/model/");
  ASSERT_EQ(heads.size(), 1u);
  EXPECT_EQ(heads[0]["location"], metadata.location) << "the followed request names itself";
}

TEST_F(HubApiTest, HttpFailuresBecomeHubClientErrors) {
  hub.control({{"token", "secret"},
               {"faults", {{{"file", "config.json"}, {"kind", "status500"}, {"method", "HEAD"}}}}});
  const struct {
    const char* name;
    std::optional<std::string> token;
    std::string relative;
    std::string expected;
  } cases[] = {
      {"no token", std::nullopt, "README.md", "authorizationRequired"},
      {"wrong token", "guess", "README.md", "authorizationRequired"},
      {"missing file", "secret", "missing.json", R"(fileNotFound("missing.json"))"},
      {"server failure", "secret", "config.json", "httpStatusCode(500)"},
  };
  for (const auto& entry : cases) {
    auto client = api();
    client.hfToken = entry.token;
    try {
      client.getFileMetadata(client.fileAddress(repo, "main", entry.relative));
      ADD_FAILURE() << entry.name << ": no error";
    } catch (const HubClientError& error) {
      EXPECT_EQ(std::string(error.what()), entry.expected) << entry.name;
    }
  }
  // With the token, the fault spent, a snapshot works and carries it.
  auto client = api();
  client.hfToken = "secret";
  EXPECT_NO_THROW(client.snapshot(repo, "main", {"*.json"}));
  EXPECT_EQ(hub.requests("HEAD", "/resolve/").back()["authorization"], "Bearer secret");
}

TEST_F(HubApiTest, UnreachableHubIsADownloadError) {
  auto client = api();
  client.endpoint = "http://127.0.0.1:1";
  EXPECT_THROW(client.getFilenames(repo, "main", {}), HubClientError);
  try {
    client.getFilenames(repo, "main", {});
  } catch (const HubClientError& error) {
    EXPECT_EQ(error.kind(), HubClientError::Case::downloadError);
  }
}

}  // namespace
