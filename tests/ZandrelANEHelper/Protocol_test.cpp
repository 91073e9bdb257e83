#include <gtest/gtest.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "HelperProcess.hpp"
#include "ZandrelANEHelper/InputReader.hpp"

namespace {

const std::string emptyTranscribe = "{\"cmd\":\"transcribe\",\"samples\":0}\n";

class Protocol : public ::testing::Test {
 protected:
  HelperRun serve(const std::string& input) {
    HelperRun run = runHelper({folder.path(), input});
    const auto lines = run.outputLines();
    EXPECT_FALSE(lines.empty());
    if (!lines.empty()) {
      EXPECT_EQ(nlohmann::json::parse(lines[0]).value("ready", false), true);
    }
    return run;
  }
  ModelFolder folder;
};

TEST_F(Protocol, UndecodableLinesAreInvalidRequestsAndTheLoopGoesOn) {
  const std::vector<std::string> lines = {
      "",
      "not json",
      "[1]",
      "{\"cmd\":1}",
      "{\"samples\":0}",
      "{\"cmd\":\"transcribe\",\"samples\":1.5}",
      "{\"cmd\":\"transcribe\",\"samples\":\"4\"}",
      "{\"cmd\":\"transcribe\",\"samples\":9223372036854775808}",
      "{\"cmd\":\"transcribe\",\"samples\":0,\"language\":5}",
      "{\"cmd\":\"\xff\"}",
  };
  std::string input;
  for (const auto& line : lines) input += line + "\n";
  input += emptyTranscribe;
  const HelperRun run = serve(input);
  std::vector<std::string> expected(lines.size(), "invalid request");
  expected.push_back("ok");
  EXPECT_EQ(run.answers(), expected);
  EXPECT_EQ(run.exitStatus, 0);
}

// Each refused transcribe is followed by a request whose first bytes a
// wrongly consumed payload would swallow.
TEST_F(Protocol, RefusedTranscribesConsumeNoPayload) {
  const std::vector<std::string> lines = {
      "{\"cmd\":\"transcribe\"}",
      "{\"cmd\":\"transcribe\",\"samples\":null}",
      "{\"cmd\":\"transcribe\",\"samples\":-1}",
      "{\"cmd\":\"Transcribe\",\"samples\":1}",
      "{\"cmd\":\"listen\",\"samples\":1}",
      "{\"cmd\":\"transcribe\",\"samples\":2305843009213693952}",
  };
  std::string input;
  std::vector<std::string> expected;
  for (const auto& line : lines) {
    input += line + "\n" + emptyTranscribe;
    expected.insert(expected.end(), {"invalid transcribe request", "ok"});
  }
  EXPECT_EQ(serve(input).answers(), expected);
}

TEST_F(Protocol, AcceptedLineForms) {
  const std::string input =
      "{\"cmd\":\"transcribe\",\"samples\":0}\r\n"
      "{\"extra\":{\"a\":[1,2]},\"cmd\":\"transcribe\",\"samples\":0,"
      "\"language\":null,\"flag\":true}\n";
  EXPECT_EQ(serve(input).answers(), (std::vector<std::string>{"ok", "ok"}));
}

// One second is shorter than the shortest window the engine decodes.
TEST_F(Protocol, OneSecondOfAudioGivesAnEmptyAnswer) {
  const HelperRun run =
      serve("{\"cmd\":\"transcribe\",\"samples\":16000}\n" + pcmBytes(std::vector<float>(16000)));
  const auto lines = run.outputLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[1].rfind("{\"ok\":true,\"text\":\"\",\"words\":[],\"decode_ms\":", 0), 0u)
      << lines[1];
  EXPECT_NE(run.diagnostics.find("[ane-helper] decode start samples=16000 duration_s=1.000\n"),
            std::string::npos)
      << run.diagnostics;
  EXPECT_NE(run.diagnostics.find("[ane-helper] decode complete samples=16000 decode_ms="),
            std::string::npos);
  EXPECT_NE(run.diagnostics.find(" words=0\n"), std::string::npos);
}

TEST_F(Protocol, BackToBackRequestsAreAnsweredInOrder) {
  const std::string input = "{\"cmd\":\"transcribe\",\"samples\":2}\n" + pcmBytes({0.5f, -0.5f}) +
                            "{\"cmd\":\"transcribe\",\"samples\":1}\n" + pcmBytes({0.25f}) +
                            "{\"cmd\":\"nope\"}\n";
  const HelperRun run = serve(input);
  EXPECT_EQ(run.answers(), (std::vector<std::string>{"ok", "ok", "invalid transcribe request"}));
  EXPECT_NE(run.diagnostics.find("decode start samples=2 "), std::string::npos);
  EXPECT_NE(run.diagnostics.find("decode start samples=1 "), std::string::npos);
}

TEST_F(Protocol, LineLengthLimit) {
  const std::string request = "{\"cmd\":\"transcribe\",\"samples\":0}";
  const size_t limit = zandrel::InputReader::maxLineBytes;
  // Exactly at the limit: padding after the JSON text is white space.
  const std::string longest = request + std::string(limit - request.size(), ' ') + "\n";
  EXPECT_EQ(serve(longest).answers(), (std::vector<std::string>{"ok"}));
  // One byte over: the first limit + 1 bytes are dropped, and what follows
  // them on the line is read as a line of its own.
  const std::string over = std::string(limit, ' ') + "x" + request + "\n";
  EXPECT_EQ(serve(over).answers(), (std::vector<std::string>{"invalid request", "ok"}));
}

TEST_F(Protocol, EndingsOfTheConversation) {
  struct Case {
    const char* name;
    std::string input;
    std::vector<std::string> answers;
  };
  const std::vector<Case> cases = {
      {"quit, later lines unread", "{\"cmd\":\"quit\"}\n{\"cmd\":\"x\"}\n", {}},
      {"quit ignores the other keys' values", "{\"cmd\":\"quit\",\"samples\":-5}\n", {}},
      // The line is decoded whole before the command is looked at.
      {"quit with a mistyped key",
       "{\"cmd\":\"quit\",\"samples\":\"x\"}\n{\"cmd\":\"quit\"}\n",
       {"invalid request"}},
      {"end of input between requests", emptyTranscribe, {"ok"}},
      {"end of input mid-line", "{\"cmd\":\"transcribe\",\"sam", {}},
      {"end of input mid-payload",
       "{\"cmd\":\"transcribe\",\"samples\":2}\nabc",
       {"incomplete PCM payload"}},
      {"no input at all", "", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const HelperRun run = serve(c.input);
    EXPECT_EQ(run.answers(), c.answers);
    EXPECT_EQ(run.exitStatus, 0);
  }
}

// A count beyond the machine's memory (the largest the protocol allows, and
// one just past physical memory, which overcommit might otherwise grant) is
// refused before anything is allocated: the payload is reported incomplete.
TEST_F(Protocol, PayloadBeyondMemoryIsIncomplete) {
  const uint64_t physicalBytes = static_cast<uint64_t>(::sysconf(_SC_PHYS_PAGES)) *
                                 static_cast<uint64_t>(::sysconf(_SC_PAGESIZE));
  for (const uint64_t samples : {uint64_t{2305843009213693951}, physicalBytes / 4 + 1}) {
    SCOPED_TRACE(samples);
    const HelperRun run =
        serve("{\"cmd\":\"transcribe\",\"samples\":" + std::to_string(samples) + "}\n");
    EXPECT_EQ(run.answers(), std::vector<std::string>{"incomplete PCM payload"});
    EXPECT_EQ(run.exitStatus, 0);
    EXPECT_NE(run.diagnostics.find("no memory for a payload of samples=" + std::to_string(samples)),
              std::string::npos);
  }
}

// Every read of a directory fails; the helper answers each failure and
// stops once the input has failed failureLimit times in a row.
TEST_F(Protocol, PersistentReadFailuresEndTheProcess) {
  HelperLaunch launch{folder.path(), ""};
  launch.unreadableInput = true;
  const HelperRun run = runHelper(launch);
  const std::vector<std::string> expected(zandrel::InputReader::failureLimit, "invalid request");
  EXPECT_EQ(run.answers(), expected);
  EXPECT_EQ(run.exitStatus, 0);
  EXPECT_NE(run.diagnostics.find("[ane-helper] standard input keeps failing"), std::string::npos)
      << run.diagnostics;
}

}  // namespace
