#include <gtest/gtest.h>

#include <functional>

#include "OrvaneCore/External/Hub/HubApi.hpp"
#include "OrvaneCore/Logging.hpp"
#include "tests/OrvaneCore/External/HubClient/HubEmulator.hpp"

namespace {

using namespace orvane;
namespace fs = std::filesystem;

// Collects error lines of the shared logger while in scope.
class CapturedLog {
 public:
  CapturedLog() {
    Logging::updateLogLevel(Logging::LogLevel::error);
    Logging::updateCallback([this](const std::string& line) {
      std::lock_guard guard(mutex_);
      lines_.push_back(line);
    });
  }
  ~CapturedLog() {
    Logging::updateCallback(nullptr);
    Logging::updateLogLevel(Logging::LogLevel::none);
  }
  std::vector<std::string> lines() const {
    std::lock_guard guard(mutex_);
    return lines_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;
};

struct OfflineCase {
  const char* name;
  std::vector<std::string> globs;
  // Damages the local copy of a fresh online snapshot.
  std::function<void(const fs::path& repo, const fs::path& metadata)> damage;
  std::string expected;  // error description; empty: the snapshot succeeds
};

TEST(HubOfflineTest, OfflineSnapshotChecksTheLocalCopy) {
  hubtest::HubEmulator hub;
  const std::string weights = hubtest::patternBytes(5000, 1);
  hub.addFile("models/org/model", "config.json", "{}");
  hub.addFile("models/org/model", "sub/weights.bin", weights);
  hub.control({{"redirect", {"sub/weights.bin"}}});

  const OfflineCase cases[] = {
      {"intact copy", {"*"}, [](auto&, auto&) {}, ""},
      {"file linked from elsewhere",
       {"*.json"},
       [](const fs::path& repo, auto&) {
         const auto blob = repo.parent_path() / "blob";
         fs::rename(repo / "config.json", blob);
         fs::create_symlink(blob, repo / "config.json");
       },
       ""},
      {"missing metadata",
       {"*.json"},
       [](auto&, const fs::path& meta) { fs::remove(meta / "config.json.metadata"); },
       "Offline mode error: Metadata not available for config.json"},
      {"two-line metadata",
       {"*.json"},
       [](auto&, const fs::path& meta) {
         hubtest::writeFile(meta / "config.json.metadata", std::string(40, 'a') + "\netag\n");
       },
       "Offline mode error: Metadata not available for config.json"},
      {"bad timestamp",
       {"*.json"},
       [](auto&, const fs::path& meta) {
         hubtest::writeFile(meta / "config.json.metadata", "c\ne\nyesterday\n");
       },
       "Offline mode error: Metadata not available for config.json"},
      {"corrupt large file",
       {"sub/*"},
       [](const fs::path& repo, auto&) { hubtest::writeFile(repo / "sub/weights.bin", "x"); },
       "File integrity check failed: Hash mismatch for sub/weights.bin"},
      {"nothing matches",
       {"*.onnx"},
       [](auto&, auto&) {},
       "Offline mode error: No files matching the requested patterns are available locally"},
      {"no files",
       {"*"},
       [](const fs::path& repo, auto&) {
         fs::remove(repo / "config.json");
         fs::remove_all(repo / "sub");
       },
       "Offline mode error: No files available locally for this repository"},
      {"no repository",
       {"*"},
       [](const fs::path& repo, auto&) { fs::remove_all(repo); },
       "Offline mode error: Repository not available locally"},
  };
  for (const auto& entry : cases) {
    hubtest::TemporaryFolder base;
    HubApi client;
    client.downloadBase = base.path();
    client.endpoint = hub.endpoint();
    client.useOfflineMode = false;
    const Repo repo{"org/model", RepoType::models};
    const auto folder = client.snapshot(repo, "main", {});
    const auto metadata = folder / ".cache" / "huggingface" / "download";
    entry.damage(folder, metadata);

    client.useOfflineMode = true;
    client.endpoint = "http://127.0.0.1:1";  // any request would fail
    CapturedLog log;
    try {
      EXPECT_EQ(client.snapshot(repo, "main", entry.globs), folder) << entry.name;
      EXPECT_TRUE(entry.expected.empty()) << entry.name << ": no error";
    } catch (const EnvironmentError& error) {
      EXPECT_EQ(error.errorDescription(), entry.expected) << entry.name;
    }
    if (std::string(entry.name) == "two-line metadata") {
      EXPECT_FALSE(fs::exists(metadata / "config.json.metadata")) << "unreadable record removed";
      const auto lines = log.lines();
      ASSERT_EQ(lines.size(), 1u);
      EXPECT_EQ(
          lines[0].find("Invalid metadata file " + (metadata / "config.json.metadata").string() +
                        ": Invalid metadata: "),
          0u)
          << lines[0];
      EXPECT_TRUE(lines[0].ends_with(". Removing it from disk and continuing.")) << lines[0];
    }
  }
}

TEST(HubOfflineTest, UnreadableMetadataIsFetchedAgainOnline) {
  hubtest::HubEmulator hub;
  hub.addFile("models/org/model", "config.json", "{}");
  hubtest::TemporaryFolder base;
  HubApi client;
  client.downloadBase = base.path();
  client.endpoint = hub.endpoint();
  client.useOfflineMode = false;
  const Repo repo{"org/model", RepoType::models};
  const auto folder = client.snapshot(repo, "main", {});
  const auto record = folder / ".cache" / "huggingface" / "download" / "config.json.metadata";
  hubtest::writeFile(record, "only one line");
  hub.resetLog();
  client.snapshot(repo, "main", {});
  EXPECT_EQ(hub.requests("GET", "/resolve/").size(), 1u);
  EXPECT_TRUE(client.readDownloadMetadata(record).has_value());
}

}  // namespace
