#include "OrvaneCore/Signpost.hpp"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using orvane::Signposter;

fs::path tracePath(const char* name) {
  return fs::temp_directory_path() /
         (std::string(name) + "-" + std::to_string(::getpid()) + ".json");
}

std::string contents(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(Signpost, IntervalsBecomeTraceEvents) {
  const fs::path path = tracePath("signpost");
  {
    const Signposter signposter =
        Signposter::writingTo(path, "com.orvane.kestrune", "AudioEncoding");
    ASSERT_TRUE(signposter.isEnabled());
    const auto first = orvane::beginSignpost("Encode", signposter);
    const auto second = orvane::beginSignpost("Encode", signposter);
    const auto copy = first;
    orvane::endSignpost("Encode", first, signposter);
    orvane::endSignpost("Encode", copy, signposter);  // the same interval again
    orvane::endSignpost("Encode", second, signposter);
  }
  const auto events = nlohmann::json::parse(contents(path));
  fs::remove(path);
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0].at("ph"), "b");
  EXPECT_EQ(events[0].at("name"), "Encode");
  EXPECT_EQ(events[0].at("cat"), "AudioEncoding");
  EXPECT_NE(events[0].at("id"), events[1].at("id"));
  EXPECT_EQ(events[2].at("ph"), "e");
  EXPECT_EQ(events[2].at("id"), events[0].at("id"));
  EXPECT_FALSE(events[2].contains("args"));
  EXPECT_EQ(events[3].at("args").at("message"), "[Error] Interval already ended");
  EXPECT_EQ(events[4].at("id"), events[1].at("id"));
  EXPECT_FALSE(events[4].contains("args"));
  EXPECT_LE(events[0].at("ts").get<int64_t>(), events[4].at("ts").get<int64_t>());
}

TEST(Signpost, UnusedTraceIsAnEmptyArray) {
  const fs::path path = tracePath("signpost-empty");
  { const Signposter signposter = Signposter::writingTo(path, "s", "c"); }
  EXPECT_EQ(nlohmann::json::parse(contents(path)), nlohmann::json::array());
  fs::remove(path);
}

// The process trace is chosen once per process, so each case runs in a child.
int inChild(const char* traceFile) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (traceFile)
      ::setenv("KESTRUNE_TRACE_FILE", traceFile, 1);
    else
      ::unsetenv("KESTRUNE_TRACE_FILE");
    const Signposter signposter("com.orvane.kestrune", "TranscribeTask");
    const auto interval = orvane::beginSignpost("Decode", signposter);
    orvane::endSignpost("Decode", interval, signposter);
    std::_Exit(signposter.isEnabled() ? 10 : 20);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(Signpost, ProcessTraceFollowsTheEnvironment) {
  EXPECT_EQ(inChild(nullptr), 20);
  EXPECT_EQ(inChild(""), 20);
  const fs::path path = tracePath("signpost-env");
  EXPECT_EQ(inChild(path.c_str()), 10);
  // The child ended abruptly, before the closing bracket; every event was
  // already on disk.
  const auto events = nlohmann::json::parse(contents(path) + "\n]");
  fs::remove(path);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].at("ph"), "e");
}

TEST(Signpost, DisabledSignposterStillHandsOutIntervals) {
  const Signposter signposter = Signposter::writingTo("/nonexistent-dir/trace.json", "s", "c");
  EXPECT_FALSE(signposter.isEnabled());
  const auto interval = orvane::beginSignpost("x", signposter);
  orvane::endSignpost("x", interval, signposter);
  orvane::endSignpost("x", interval, signposter);
}

}  // namespace
