#include "OrvaneCore/External/Hub/Downloader.hpp"

#include <gtest/gtest.h>

#include "Platform/Net/NetworkError.hpp"
#include "tests/OrvaneCore/External/HubClient/HubEmulator.hpp"

namespace {

using namespace orvane;
namespace fs = std::filesystem;
using platform::net::NetworkError;

// Every state up to and including the first completed or failed one; gives
// up after `limit` so that a broken downloader cannot hang the test.
std::vector<DownloadState> drain(DownloadStream& stream,
                                 std::chrono::seconds limit = std::chrono::seconds(60)) {
  std::vector<DownloadState> states;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < deadline) {
    auto state = stream.next(std::chrono::milliseconds(100));
    if (!state) continue;
    states.push_back(*state);
    if (std::holds_alternative<Completed>(*state) || std::holds_alternative<Failed>(*state)) break;
  }
  return states;
}

std::vector<Downloading> progressOf(const std::vector<DownloadState>& states) {
  std::vector<Downloading> found;
  for (const auto& state : states)
    if (const auto* downloading = std::get_if<Downloading>(&state)) found.push_back(*downloading);
  return found;
}

class DownloaderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    hub.addFile("models/org/model", "blob.bin", content);
    hubtest::writeFile(partial, "");
  }
  std::string address(const std::string& file = "blob.bin") const {
    return hub.endpoint() + "/org/model/resolve/main/" + file;
  }
  void fault(nlohmann::json spec) const {
    spec["file"] = "blob.bin";
    hub.control({{"faults", {spec}}});
  }

  hubtest::HubEmulator hub;
  hubtest::TemporaryFolder folder;
  const std::string content = hubtest::patternBytes(1 << 20, 5);
  const int64_t size = static_cast<int64_t>(content.size());
  const fs::path destination = folder.path() / "out" / "blob.bin";
  const fs::path partial = folder.path() / "blob.bin.tag.incomplete";
};

TEST_F(DownloaderTest, ResumesFromThePartialFile) {
  hubtest::writeFile(partial, content.substr(0, 4096));
  Downloader downloader(destination, partial, false, 65536);
  const auto stream = downloader.download(address(), std::nullopt, std::nullopt, size, 10, 5);
  const auto states = drain(*stream);

  ASSERT_TRUE(std::holds_alternative<NotStarted>(states.front()));
  const auto progress = progressOf(states);
  ASSERT_FALSE(progress.empty());
  EXPECT_DOUBLE_EQ(progress.front().progress, 4096.0 / static_cast<double>(size));
  EXPECT_FALSE(progress.front().speed.has_value());
  EXPECT_DOUBLE_EQ(progress.back().progress, 1.0);
  ASSERT_TRUE(std::holds_alternative<Completed>(states.back()));
  EXPECT_EQ(std::get<Completed>(states.back()).location, destination);
  EXPECT_EQ(hubtest::readFile(destination), content);
  EXPECT_FALSE(fs::exists(partial));
  const auto gets = hub.requests("GET", "blob.bin");
  ASSERT_EQ(gets.size(), 1u);
  EXPECT_EQ(gets[0]["range"], "bytes=4096-");
}

TEST_F(DownloaderTest, DroppedConnectionResumesAfterTheLastWrittenChunk) {
  fault({{"kind", "drop"}, {"after", 300000}});
  Downloader downloader(destination, partial, false, 65536);
  const auto stream = downloader.download(address(), "token", std::nullopt, size, 10, 5);
  const auto states = drain(*stream);
  ASSERT_TRUE(std::holds_alternative<Completed>(states.back()));
  EXPECT_EQ(hubtest::readFile(destination), content);
  const auto gets = hub.requests("GET", "blob.bin");
  ASSERT_EQ(gets.size(), 2u);
  EXPECT_EQ(gets[1]["range"], "bytes=262144-") << "four whole chunks were on disk";
  EXPECT_EQ(gets[0]["authorization"], "Bearer token");
  for (const auto& step : progressOf(states)) {
    if (step.progress > 0.3) {
      EXPECT_TRUE(step.speed.has_value());
    }
  }
}

TEST_F(DownloaderTest, FailuresEndTheTransferAndKeepThePartialFile) {
  const struct {
    const char* name;
    nlohmann::json fault;
    std::string file;
    int retries;
    double timeout;
    bool networkError;  // else DownloadError.unexpectedError
    size_t gets;
  } cases[] = {
      {"drops beyond the retries",
       {{"kind", "drop"}, {"after", 1000}, {"times", 10}},
       "blob.bin",
       2,
       10,
       true,
       3},
      {"server error, no retry", {{"kind", "status500"}}, "blob.bin", 5, 10, false, 1},
      {"missing file, no retry", nullptr, "absent.bin", 5, 10, false, 1},
      {"stall past the time-out",
       {{"kind", "stall"}, {"after", 1000}, {"seconds", 6}},
       "blob.bin",
       0,
       1,
       true,
       1},
  };
  for (const auto& entry : cases) {
    hub.resetLog();
    if (!entry.fault.is_null()) fault(entry.fault);
    Downloader downloader(destination, partial, false, 65536);
    const auto stream = downloader.download(address(entry.file), std::nullopt, std::nullopt, size,
                                            entry.timeout, entry.retries);
    const auto states = drain(*stream);
    ASSERT_TRUE(std::holds_alternative<Failed>(states.back())) << entry.name;
    try {
      std::rethrow_exception(std::get<Failed>(states.back()).error);
    } catch (const NetworkError& error) {
      EXPECT_TRUE(entry.networkError) << entry.name << ": " << error.what();
      EXPECT_FALSE(error.isCancelled()) << entry.name;
    } catch (const DownloadError& error) {
      EXPECT_FALSE(entry.networkError) << entry.name;
      EXPECT_EQ(error.kind(), DownloadError::Case::unexpectedError) << entry.name;
    }
    EXPECT_EQ(hub.requests("GET", entry.file).size(), entry.gets) << entry.name;
    EXPECT_TRUE(fs::exists(partial)) << entry.name;
    EXPECT_FALSE(fs::exists(destination)) << entry.name;
  }
}

TEST_F(DownloaderTest, UnknownSizeReportsNoProgressButCompletes) {
  Downloader downloader(destination, partial, false, 65536);
  const auto stream =
      downloader.download(address(), std::nullopt, std::nullopt, std::nullopt, 10, 5);
  const auto states = drain(*stream);
  const auto progress = progressOf(states);
  ASSERT_EQ(progress.size(), 1u) << "only the starting state";
  EXPECT_EQ(progress[0].progress, 0);
  ASSERT_TRUE(std::holds_alternative<Completed>(states.back()));
  EXPECT_EQ(hubtest::readFile(destination), content);
}

TEST_F(DownloaderTest, EveryListenerSeesTheEndIncludingLateOnes) {
  Downloader downloader(destination, partial, false, 65536);
  const auto first = downloader.download(address(), std::nullopt, std::nullopt, size, 10, 5);
  const auto second = downloader.subscribe();
  EXPECT_TRUE(std::holds_alternative<Completed>(drain(*first).back()));
  EXPECT_TRUE(std::holds_alternative<Completed>(drain(*second).back()));
  const auto late = downloader.subscribe();
  const auto state = late->next(std::chrono::milliseconds(0));
  ASSERT_TRUE(state.has_value());
  EXPECT_TRUE(std::holds_alternative<Completed>(*state));
}

TEST_F(DownloaderTest, CancelStopsAStalledTransferPromptly) {
  fault({{"kind", "stall"}, {"after", 70000}, {"seconds", 20}});
  Downloader downloader(destination, partial, false, 65536);
  const auto stream = downloader.download(address(), std::nullopt, std::nullopt, size, 30, 5);
  // Wait until the first chunk is on disk, then cancel.
  for (int i = 0; i < 100 && Downloader::incompleteFileSize(partial) == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const auto started = std::chrono::steady_clock::now();
  downloader.cancel();
  const auto states = drain(*stream, std::chrono::seconds(10));
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  ASSERT_TRUE(std::holds_alternative<Failed>(states.back()));
  try {
    std::rethrow_exception(std::get<Failed>(states.back()).error);
  } catch (const NetworkError& error) {
    EXPECT_TRUE(error.isCancelled());
  }
  EXPECT_EQ(Downloader::incompleteFileSize(partial), 65536);
}

TEST_F(DownloaderTest, MissingPartialFileFailsWithoutARequest) {
  fs::remove(partial);
  Downloader downloader(destination, partial, false, 65536);
  const auto stream = downloader.download(address(), std::nullopt, std::nullopt, size, 10, 5);
  EXPECT_TRUE(std::holds_alternative<Failed>(drain(*stream).back()));
  EXPECT_TRUE(hub.requests("GET", "blob.bin").empty());
}

TEST(MoveDownloadedFileTest, ReplacesTheTargetAndCreatesFolders) {
  hubtest::TemporaryFolder folder;
  const auto from = folder.path() / "part";
  const auto to = folder.path() / "a" / "b" / "file";
  hubtest::writeFile(from, "new");
  hubtest::writeFile(to, "old");
  moveDownloadedFile(from, to);
  EXPECT_EQ(hubtest::readFile(to), "new");
  EXPECT_FALSE(fs::exists(from));
  EXPECT_THROW(moveDownloadedFile(from, to), fs::filesystem_error);
}

}  // namespace
