#include "caretpeek/BoundedRun.hpp"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <stdexcept>
#include <thread>

namespace caretpeek {
namespace {

using namespace std::chrono_literals;

struct Case {
  const char* name;
  std::function<std::string()> probe;
  std::string expected;
};

TEST(RunBounded, GivesTheChildsLineOrTheFallback) {
  const std::vector<Case> cases = {
      {"line", [] { return std::string("CHAR:a"); }, "CHAR:a"},
      {"line holding a line feed", [] { return std::string("CHAR:\n"); }, "CHAR:\n"},
      {"empty line", [] { return std::string(); }, ""},
      {"child killed",
       [] {
         ::kill(::getpid(), SIGKILL);
         return std::string("CHAR:a");
       },
       "FALLBACK"},
      {"child ended by its library",
       [] {
         ::_exit(1);
         return std::string("CHAR:a");
       },
       "FALLBACK"},
      {"child threw", []() -> std::string { throw std::runtime_error("bus"); }, "FALLBACK"},
      {"child hangs",
       [] {
         std::this_thread::sleep_for(60s);
         return std::string("CHAR:a");
       },
       "FALLBACK"},
  };
  for (const Case& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    EXPECT_EQ(runBounded(testCase.probe, 500ms, "FALLBACK"), testCase.expected);
  }
}

}  // namespace
}  // namespace caretpeek
