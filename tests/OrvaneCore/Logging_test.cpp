#include "OrvaneCore/Logging.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>
#include <thread>
#include <vector>

namespace {

using orvane::Logging;
using Level = Logging::LogLevel;

// Captures the shared logger's lines; puts the logger back as it starts.
class LoggingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Logging::updateCallback([this](const std::string& line) { lines.push_back(line); });
  }
  void TearDown() override {
    Logging::updateCallback(nullptr);
    Logging::updateLogLevel(Level::none);
  }
  std::vector<std::string> lines;
};

TEST_F(LoggingTest, LevelsFilterLines) {
  struct Case {
    Level level;
    std::vector<std::string> passed;
  };
  const Case cases[] = {
      {Level::none, {}},
      {Level::error, {"e"}},
      {Level::info, {"i", "e"}},
      {Level::debug, {"d", "i", "e"}},
  };
  for (const Case& c : cases) {
    lines.clear();
    Logging::updateLogLevel(c.level);
    Logging::debug("d");
    Logging::info("i");
    Logging::error("e");
    EXPECT_EQ(lines, c.passed) << static_cast<int>(c.level);
  }
}

TEST_F(LoggingTest, InitialStateIsSilent) {
  EXPECT_EQ(Logging::shared().logLevel(), Level::none);
  EXPECT_FALSE(Logging::isLoggingEnabled());
  Logging::error("dropped");
  EXPECT_TRUE(lines.empty());
  Logging::updateLogLevel(Level::info);
  EXPECT_TRUE(Logging::isLoggingEnabled());
  EXPECT_TRUE(Logging::isLoggingEnabled(Level::error));
  EXPECT_FALSE(Logging::isLoggingEnabled(Level::debug));
}

TEST_F(LoggingTest, ItemsSeparatorAndTerminator) {
  Logging::updateLogLevel(Level::debug);
  Logging::debug("a", 1);
  Logging::info("x", 0.56f, 2.0, true);
  Logging::shared().log(Logging::LogType::fault, ", ", "!", "p", "q");
  Logging::shared().log(Logging::LogType::debug, "-", std::nullopt);
  EXPECT_EQ(lines, (std::vector<std::string>{"a 1", "x 0.56 2.0 true", "p, q!", ""}));
}

TEST_F(LoggingTest, LogTypesMapOntoLevels) {
  Logging::updateLogLevel(Level::error);
  Logging::shared().log(Logging::LogType::defaultType, " ", std::nullopt, "default");
  Logging::shared().log(Logging::LogType::fault, " ", std::nullopt, "fault");
  Logging::shared().log(Logging::LogType::error, " ", std::nullopt, "error");
  EXPECT_EQ(lines, (std::vector<std::string>{"fault", "error"}));
}

TEST_F(LoggingTest, RawLevels) {
  EXPECT_EQ(Logging::levelFromRawValue(0), std::nullopt);
  EXPECT_EQ(Logging::levelFromRawValue(5), std::nullopt);
  EXPECT_EQ(Logging::levelFromRawValue(1), Level::debug);
  EXPECT_EQ(Logging::levelFromRawValue(4), Level::none);
}

// The lock is not held while a line is delivered, so the callback may log
// and change the logger itself.
TEST_F(LoggingTest, CallbackMayLog) {
  Logging::updateLogLevel(Level::info);
  Logging::updateCallback([this](const std::string& line) {
    lines.push_back(line);
    if (line == "outer") {
      Logging::info("inner");
      Logging::updateLogLevel(Level::info);
    }
  });
  Logging::info("outer");
  EXPECT_EQ(lines, (std::vector<std::string>{"outer", "inner"}));
}

TEST_F(LoggingTest, ConcurrentLoggingDeliversEveryLine) {
  Logging::updateLogLevel(Level::debug);
  std::mutex guard;
  std::vector<std::string> received;
  Logging::updateCallback([&](const std::string& line) {
    std::lock_guard lock(guard);
    received.push_back(line);
  });
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([] {
      for (int i = 0; i < 200; ++i) Logging::debug("line", i);
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(received.size(), 800u);
}

TEST_F(LoggingTest, MemoryUsage) {
  EXPECT_GT(Logging::getMemoryUsage(), 0u);
  Logging::logCurrentMemoryUsage("before");  // below the level: nothing
  EXPECT_TRUE(lines.empty());
  Logging::updateLogLevel(Level::debug);
  Logging::logCurrentMemoryUsage("after load");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("after load - Memory usage: [0-9]+ MB")))
      << lines[0];
}

TEST(LoggingFormat, NumbersInLines) {
  struct Case {
    std::string text, expected;
  };
  const Case cases[] = {
      {orvane::textForm(0.56f), "0.56"},
      {orvane::textForm(1.0f), "1.0"},
      {orvane::textForm(-0.0), "-0.0"},
      {orvane::textForm(0.0001), "0.0001"},
      {orvane::textForm(0.00001), "1e-05"},
      {orvane::textForm(100000.0), "100000.0"},
      {orvane::textForm(16777216.0f), "16777216.0"},
      {orvane::textForm(1e8f), "1e+08"},
      {orvane::textForm(1e15), "1000000000000000.0"},
      {orvane::textForm(1.5e300), "1.5e+300"},
      {orvane::textForm(-2.25f), "-2.25"},
      {orvane::textForm(42), "42"},
      {orvane::textForm(int64_t{-7}), "-7"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.text, c.expected);
}

TEST(LoggingFormat, TimeWithPercentage) {
  EXPECT_EQ(Logging::formatTimeWithPercentage(0.5, 10, 2000),
            "  500.00 ms /     10 runs (   50.00 ms/run) 25.00%");
  EXPECT_EQ(Logging::formatTimeWithPercentage(0.25, 0, 1000),
            "  250.00 ms /      0 runs (    0.00 ms/run) 25.00%");
}

}  // namespace
