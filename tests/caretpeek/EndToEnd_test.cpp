// Runs the real caretpeek against a real GTK text field: a virtual X server,
// a private session bus that starts the accessibility bus on demand, and a
// small GTK program whose text and caret the test sets.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/Support/TemporaryFolder.hpp"
#include "tests/caretpeek/ChildProcess.hpp"

namespace caretpeek::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using namespace std::chrono_literals;

const fs::path kProbe = CARETPEEK_PROGRAM;

// Well past the probe's own limit, so that a probe that hangs is seen as one.
constexpr milliseconds kProbeWait = 20s;
constexpr milliseconds kStartWait = 20s;

std::optional<fs::path> findProgram(const std::string& name) {
  for (const char* folder : {"/usr/bin", "/bin", "/usr/local/bin", "/usr/libexec"}) {
    const fs::path candidate = fs::path(folder) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return std::nullopt;
}

std::string hex(const std::string& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const unsigned char byte : bytes) {
    out.push_back(kDigits[byte >> 4]);
    out.push_back(kDigits[byte & 0xF]);
  }
  return out;
}

using testsupport::TemporaryFolder;

struct ProbeResult {
  std::optional<std::string> output;  // nothing: it did not end in time
  std::optional<int> exitStatus;
};

ProbeResult runProbe(const std::vector<std::string>& environment) {
  ChildProcess probe({kProbe.string()}, environment);
  ProbeResult result;
  result.output = probe.readAll(kProbeWait);
  result.exitStatus = probe.exitStatus(2s);
  return result;
}

std::vector<std::string> baseEnvironment(const fs::path& home) {
  return {variable("PATH", "/usr/bin:/bin"), variable("HOME", home.string()),
          variable("XDG_RUNTIME_DIR", home.string()), variable("LANG", "C.UTF-8")};
}

// The desktop the text field lives on. Everything it starts is ended with it.
class Desktop {
 public:
  // What is missing for a desktop; empty when everything is installed.
  static std::string missing() {
    if (!findProgram("Xvfb")) return "Xvfb is not installed (Debian package xvfb)";
    if (!findProgram("dbus-daemon")) return "dbus-daemon is not installed (Debian package dbus)";
    if (!fs::exists("/usr/share/dbus-1/services/org.a11y.Bus.service")) {
      return "the accessibility bus is not installed (Debian package at-spi2-core)";
    }
#ifndef CARETPEEK_TEXT_FIELD
    return "the GTK 3 test program was not built (Debian package libgtk-3-dev)";
#endif
    return {};
  }

  // Empty when the desktop runs; else why it failed to start.
  std::string start() {
#ifdef CARETPEEK_TEXT_FIELD
    const fs::path xvfb = *findProgram("Xvfb");
    const fs::path dbus = *findProgram("dbus-daemon");
    if (folder_.path().empty()) return "no temporary folder";
    std::vector<std::string> environment = baseEnvironment(folder_.path());

    // -displayfd picks a free display and names it on our pipe.
    server_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{xvfb.string(), "-displayfd", "1", "-screen", "0", "800x600x24",
                                 "-nolisten", "tcp"},
        environment);
    const auto display = server_->readLine(kStartWait);
    if (!display) return "Xvfb did not start";
    environment.push_back(variable("DISPLAY", ":" + *display));

    // The bus hands its environment to the services it starts, the
    // accessibility bus among them.
    bus_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{dbus.string(), "--session", "--nofork", "--print-address=1"},
        environment);
    const auto address = bus_->readLine(kStartWait);
    if (!address) return "dbus-daemon did not start";
    environment.push_back(variable("DBUS_SESSION_BUS_ADDRESS", *address));
    environment.push_back(variable("GSETTINGS_BACKEND", "memory"));

    field_ =
        std::make_unique<ChildProcess>(std::vector<std::string>{CARETPEEK_TEXT_FIELD}, environment);
    if (field_->readLine(kStartWait) != "ready") return "the text field did not become active";
    environment_ = environment;
    return {};
#else
    return "no text field program";
#endif
  }

  bool command(const std::string& line) {
    return field_->writeLine(line) && field_->readLine(kStartWait) == "ok";
  }

  // The probe's output once it shows `expected`, else its last output: the
  // toolkit tells the accessibility bus of a change a moment after making it.
  std::optional<std::string> probeUntil(const std::string& expected) {
    std::optional<std::string> output;
    for (int attempt = 0; attempt < 20; ++attempt) {
      output = runProbe(environment_).output;
      if (output == expected) break;
      std::this_thread::sleep_for(100ms);
    }
    return output;
  }

  const std::vector<std::string>& environment() const {
    return environment_;
  }
  void signalField(int signal) {
    field_->signalGroup(signal);
  }

 private:
  TemporaryFolder folder_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> bus_;
  std::unique_ptr<ChildProcess> field_;
  std::vector<std::string> environment_;
};

class CaretPeekEndToEnd : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    ::signal(SIGPIPE, SIG_IGN);  // a child that died must fail a test, not end it
    missing_ = Desktop::missing();
    if (!missing_.empty()) return;
    desktop_ = std::make_unique<Desktop>();
    failure_ = desktop_->start();
  }
  static void TearDownTestSuite() { desktop_.reset(); }
  void SetUp() override {
    if (!missing_.empty()) GTEST_SKIP() << missing_;
    if (!failure_.empty()) FAIL() << failure_;
  }

  static std::unique_ptr<Desktop> desktop_;
  static std::string missing_;
  static std::string failure_;
};

std::unique_ptr<Desktop> CaretPeekEndToEnd::desktop_;
std::string CaretPeekEndToEnd::missing_;
std::string CaretPeekEndToEnd::failure_;

struct FieldCase {
  const char* name;
  std::vector<std::string> commands;
  std::string expected;  // the whole output, line feed included
};

TEST_F(CaretPeekEndToEnd, ReportsWhatPrecedesTheCaretOfTheFocusedField) {
  const std::string emoji = "\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD";  // thumbs up, medium skin tone
  const std::string accented = "e\xCC\x81";                      // e and a combining acute
  const std::vector<FieldCase> cases = {
      {"empty entry", {"text " + hex("")}, "EMPTY\n"},
      {"caret at the start", {"text " + hex("abc"), "caret 0"}, "START\n"},
      {"caret after the first letter", {"text " + hex("abc"), "caret 1"}, "CHAR:a\n"},
      {"caret at the end", {"text " + hex("abc"), "caret 3"}, "CHAR:c\n"},
      // Two code points before the caret, one character.
      {"emoji at the end", {"text " + hex("hi " + emoji), "caret 5"}, "CHAR:" + emoji + "\n"},
      {"caret after an emoji, mid-text",
       {"text " + hex(emoji + "x"), "caret 2"},
       "CHAR:" + emoji + "\n"},
      {"combining accent", {"text " + hex("caf" + accented), "caret 5"}, "CHAR:" + accented + "\n"},
      // A selection is judged by where it begins.
      {"selection", {"text " + hex("hello"), "select 1 4"}, "CHAR:h\n"},
      {"line feed in a text view", {"view " + hex("ab\ncd"), "caret 3"}, "CHAR:\n\n"},
      {"CR LF in a text view", {"view " + hex("ab\r\ncd"), "caret 4"}, "CHAR:\r\n\n"},
      {"focused button", {"button"}, "NO_VALUE\n"},
  };
  for (const FieldCase& testCase : cases) {
    SCOPED_TRACE(testCase.name);
    for (const std::string& command : testCase.commands) {
      ASSERT_TRUE(desktop_->command(command)) << command;
    }
    EXPECT_EQ(desktop_->probeUntil(testCase.expected), testCase.expected);
  }
}

TEST_F(CaretPeekEndToEnd, PrintsOneLineAndExitsZero) {
  ASSERT_TRUE(desktop_->command("text " + hex("abc")));
  ASSERT_TRUE(desktop_->command("caret 2"));
  ASSERT_EQ(desktop_->probeUntil("CHAR:b\n"), "CHAR:b\n");
  const ProbeResult result = runProbe(desktop_->environment());
  EXPECT_EQ(result.output, "CHAR:b\n");
  EXPECT_EQ(result.exitStatus, 0);
}

TEST_F(CaretPeekEndToEnd, AFrozenApplicationCannotHoldUpTheProbe) {
  ASSERT_TRUE(desktop_->command("text " + hex("abc")));
  ASSERT_TRUE(desktop_->command("caret 1"));
  ASSERT_EQ(desktop_->probeUntil("CHAR:a\n"), "CHAR:a\n");
  desktop_->signalField(SIGSTOP);
  const ProbeResult frozen = runProbe(desktop_->environment());
  desktop_->signalField(SIGCONT);
  EXPECT_EQ(frozen.output, "NO_FOCUS\n");
  EXPECT_EQ(frozen.exitStatus, 0);
  EXPECT_EQ(desktop_->probeUntil("CHAR:a\n"), "CHAR:a\n");
}

// A Unix socket that accepts connections and never says a word: a bus that
// hangs.
class SilentSocket {
 public:
  explicit SilentSocket(const fs::path& path) : fd_(::socket(AF_UNIX, SOCK_STREAM, 0)) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    path.string().copy(address.sun_path, sizeof address.sun_path - 1);
    listening_ = fd_ >= 0 &&
                 ::bind(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
                 ::listen(fd_, 8) == 0;
  }
  SilentSocket(const SilentSocket&) = delete;
  SilentSocket& operator=(const SilentSocket&) = delete;
  ~SilentSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool listening() const { return listening_; }

 private:
  int fd_;
  bool listening_ = false;
};

// A session bus that knows no services, so the accessibility bus cannot be
// started through it.
constexpr const char* kBareBusConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

TEST(CaretPeekWithoutAccessibility, PrintsNoFocusAndExitsZero) {
  ::signal(SIGPIPE, SIG_IGN);
  const TemporaryFolder folder;
  ASSERT_FALSE(folder.path().empty());
  const std::vector<std::string> bare = baseEnvironment(folder.path());

  {
    SCOPED_TRACE("no bus anywhere");
    const ProbeResult result = runProbe(bare);
    EXPECT_EQ(result.output, "NO_FOCUS\n");
    EXPECT_EQ(result.exitStatus, 0);
  }
  {
    SCOPED_TRACE("a bus that never answers");
    const fs::path socketPath = folder.path() / "silent";
    const SilentSocket silent(socketPath);
    ASSERT_TRUE(silent.listening());
    std::vector<std::string> environment = bare;
    environment.push_back(variable("AT_SPI_BUS_ADDRESS", "unix:path=" + socketPath.string()));
    const ProbeResult result = runProbe(environment);
    EXPECT_EQ(result.output, "NO_FOCUS\n");
    EXPECT_EQ(result.exitStatus, 0);
  }
  const auto dbus = findProgram("dbus-daemon");
  if (!dbus) GTEST_SKIP() << "dbus-daemon is not installed (Debian package dbus)";
  {
    SCOPED_TRACE("a session bus without the accessibility bus");
    const fs::path config = folder.path() / "bus.conf";
    std::ofstream(config) << kBareBusConfig;
    ChildProcess bus(
        {dbus->string(), "--config-file=" + config.string(), "--nofork", "--print-address=1"},
        bare);
    const auto address = bus.readLine(kStartWait);
    ASSERT_TRUE(address);
    std::vector<std::string> environment = bare;
    environment.push_back(variable("DBUS_SESSION_BUS_ADDRESS", *address));
    const ProbeResult result = runProbe(environment);
    EXPECT_EQ(result.output, "NO_FOCUS\n");
    EXPECT_EQ(result.exitStatus, 0);
  }
}

}  // namespace
}  // namespace caretpeek::testing
