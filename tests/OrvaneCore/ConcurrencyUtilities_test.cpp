#include "OrvaneCore/ConcurrencyUtilities.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace orvane;

TEST(EarlyStopActor, FlagsPerRun) {
  EarlyStopActor actor;
  const UUID run, other;
  EXPECT_FALSE(actor.get(run));
  EXPECT_EQ(actor.remove(run), std::nullopt);
  actor.set(false, run);
  actor.set(true, other);
  EXPECT_FALSE(actor.get(run));
  EXPECT_TRUE(actor.get(other));
  EXPECT_EQ(actor.remove(run), false);
  EXPECT_EQ(actor.remove(run), std::nullopt);
  EXPECT_EQ(actor.remove(other), true);
}

// The lock must be free again after a throwing body; another thread proves
// it (a same-thread retry of a held mutex would be undefined).
TEST(UnfairLock, ThrowingBodyReleasesTheLock) {
  UnfairLock lock;
  EXPECT_THROW(lock.withLock([]() -> int { throw std::runtime_error("body failed"); }),
               std::runtime_error);
  auto retry = std::async(std::launch::async, [&] { return lock.withLock([] { return 7; }); });
  ASSERT_EQ(retry.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_EQ(retry.get(), 7);
}

TEST(PropertyLock, ReadsWritesAndAtomicUpdates) {
  PropertyLock<std::vector<int>> values(std::vector<int>{1});
  values.modify([](std::vector<int>& v) { v.push_back(2); });
  EXPECT_EQ(values.get(), (std::vector<int>{1, 2}));
  PropertyLock<int> counter(0);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) counter.withLock([](int& n) { ++n; });
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(counter.get(), 4000);
  const PropertyLock<int> copy = counter;
  EXPECT_EQ(copy.get(), 4000);
  Protected<std::optional<std::string>> empty;
  EXPECT_EQ(empty.get(), std::nullopt);
}

TEST(PropertyLock, JSONFormIsTheValuesOwn) {
  const PropertyLock<std::vector<int>> cell(std::vector<int>{1, 2});
  EXPECT_EQ(nlohmann::json(cell).dump(), "[1,2]");
  auto decoded = nlohmann::json::parse("[3]").get<PropertyLock<std::vector<int>>>();
  EXPECT_EQ(decoded.get(), std::vector<int>{3});
}

TEST(WeakSendableWrapper, DoesNotKeepItsObjectAlive) {
  auto object = std::make_shared<int>(5);
  WeakSendableWrapper<int> wrapper(object);
  ASSERT_TRUE(wrapper.value());
  EXPECT_EQ(*wrapper.value(), 5);
  object.reset();
  EXPECT_EQ(wrapper.value(), nullptr);
}

TEST(Matching, FnmatchWithoutFlags) {
  const std::vector<std::string> names = {"config.json", "model.mlmodelc/weights.bin"};
  EXPECT_EQ(matching(names, "*.json"), std::vector<std::string>{"config.json"});
  EXPECT_EQ(matching(names, "*"), names);
  EXPECT_EQ(matching(names, "*/weights.bin"),
            std::vector<std::string>{"model.mlmodelc/weights.bin"});
  EXPECT_EQ(matching(names, "config.[jx]son"), std::vector<std::string>{"config.json"});
  EXPECT_TRUE(matching(names, "*.txt").empty());
}

TEST(Rounded, FollowsFloatArithmetic) {
  // 1.005f * 100 rounds to the float 100.5, so the result goes up; the same
  // steps in double arithmetic would give 1.0.
  EXPECT_EQ(rounded(1.005f, 2), 1.01f);
  EXPECT_EQ(rounded(2.5f, 0), 3.0f);
  EXPECT_EQ(rounded(-2.5f, 0), -3.0f);
  EXPECT_EQ(rounded(0.12345f, 3), 0.123f);
}

TEST(Trimming, UpToACount) {
  EXPECT_EQ(trimmingFromStart("▁▁▁a▁", U'▁', 2), "▁a▁");
  EXPECT_EQ(trimmingFromStart("xxa", U'x', 5), "a");
  EXPECT_EQ(trimmingFromStart("axx", U'x', 1), "axx");
  EXPECT_EQ(trimmingFromEnd("a  ", U' ', 1), "a ");
  EXPECT_EQ(trimmingFromEnd("  ", U' ', 9), "");
}

TEST(Collections, BatchedAndOrderedSet) {
  EXPECT_EQ(batched(std::vector<int>{1, 2, 3, 4, 5}, 2),
            (std::vector<std::vector<int>>{{1, 2}, {3, 4}, {5}}));
  EXPECT_TRUE(batched(std::vector<int>{}, 3).empty());
  EXPECT_EQ(orderedSet(std::vector<std::string>{"b", "a", "b", "c", "a"}),
            (std::vector<std::string>{"b", "a", "c"}));
}

TEST(ResolveAbsolutePath, TildeAbsoluteAndRelative) {
  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  const std::string cwd = std::filesystem::current_path().string();
  EXPECT_EQ(resolveAbsolutePath("~"), std::string(home));
  EXPECT_EQ(resolveAbsolutePath("~/models"), std::string(home) + "/models");
  EXPECT_EQ(resolveAbsolutePath("/abs/x"), "/abs/x");
  EXPECT_EQ(resolveAbsolutePath("rel/x"), cwd + "/rel/x");
  EXPECT_EQ(resolveAbsolutePath("~no-such-user-here/x"), cwd + "/~no-such-user-here/x");
}

TEST(ConcurrencyUtilities, ActiveProcessorCount) {
  EXPECT_GE(ConcurrencyUtilities::activeProcessorCount(), 1);
}

}  // namespace
