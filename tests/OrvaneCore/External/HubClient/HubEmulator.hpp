#pragma once

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>

#include "Platform/Net/HttpClient.hpp"
#include "tests/Support/ScopedEnvironment.hpp"
#include "tests/Support/TemporaryFolder.hpp"

extern char** environ;

namespace hubtest {

using testsupport::TemporaryFolder;

inline void writeFile(const std::filesystem::path& path, const std::string& content) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << content;
}

inline std::string readFile(const std::filesystem::path& path) {
  std::ifstream input(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(input), std::istreambuf_iterator<char>()};
}

using testsupport::ScopedEnvironment;

// Deterministic filler bytes, different for each seed.
inline std::string patternBytes(size_t size, unsigned seed) {
  std::string bytes(size, '\0');
  std::minstd_rand generator(seed);
  for (auto& byte : bytes) byte = static_cast<char>(generator() & 0xFF);
  return bytes;
}

// The hub emulator (hub_emulator.py) on loopback, serving repositories from
// a folder of its own. The process is killed when this object goes; it also
// exits by itself when its standard input closes, so a crashed test leaves
// nothing behind.
class HubEmulator {
 public:
  HubEmulator() {
    int input[2], output[2];
    if (::pipe(input) != 0 || ::pipe(output) != 0) throw std::runtime_error("pipe failed");
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, input[0], 0);
    posix_spawn_file_actions_adddup2(&actions, output[1], 1);
    posix_spawn_file_actions_addclose(&actions, input[1]);
    posix_spawn_file_actions_addclose(&actions, output[0]);
    const std::string script =
        std::string(KESTRUNE_SOURCE_DIR) + "/tests/OrvaneCore/External/HubClient/hub_emulator.py";
    const std::string root = root_.path().string();
    // The system interpreter starts quickest; any python3 on the path serves.
    const char* python =
        std::filesystem::exists("/usr/bin/python3") ? "/usr/bin/python3" : "python3";
    const char* arguments[] = {python, script.c_str(), "--root", root.c_str(), nullptr};
    const int spawned = posix_spawnp(&pid_, python, &actions, nullptr,
                                     const_cast<char* const*>(arguments), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(input[0]);
    ::close(output[1]);
    toChild_ = input[1];
    fromChild_ = output[0];
    if (spawned != 0) {
      pid_ = -1;
      throw std::runtime_error("cannot start python3");
    }
    const auto ports = nlohmann::json::parse(readLine(std::chrono::seconds(20)));
    hubPort_ = ports.at("hub").get<int>();
    contentPort_ = ports.at("content").get<int>();
  }

  ~HubEmulator() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    if (toChild_ >= 0) ::close(toChild_);
    if (fromChild_ >= 0) ::close(fromChild_);
  }
  HubEmulator(const HubEmulator&) = delete;
  HubEmulator& operator=(const HubEmulator&) = delete;

  std::string endpoint() const { return "http://127.0.0.1:" + std::to_string(hubPort_); }
  std::string contentHost() const { return "127.0.0.2:" + std::to_string(contentPort_); }

  // Puts a file into a repository ("models/org/name").
  void addFile(const std::string& repoKey, const std::string& relative,
               const std::string& content) const {
    writeFile(root_.path() / repoKey / relative, content);
  }
  void removeFile(const std::string& repoKey, const std::string& relative) const {
    std::filesystem::remove(root_.path() / repoKey / relative);
  }

  void control(const nlohmann::json& settings) const { post("/_control", settings.dump()); }
  void resetLog() const { post("/_reset_log", "{}"); }
  nlohmann::json log() const {
    platform::net::HttpRequest request;
    request.url = endpoint() + "/_log";
    return nlohmann::json::parse(platform::net::HttpClient::send(request).body);
  }
  // The logged requests of one method whose path contains `fragment`.
  std::vector<nlohmann::json> requests(const std::string& method,
                                       const std::string& fragment = "") const {
    std::vector<nlohmann::json> found;
    for (const auto& entry : log())
      if (entry["method"] == method &&
          entry["path"].get<std::string>().find(fragment) != std::string::npos)
        found.push_back(entry);
    return found;
  }

 private:
  void post(const std::string& path, const std::string& body) const {
    platform::net::HttpRequest request;
    request.method = "POST";
    request.url = endpoint() + path;
    request.body = body;
    request.headers = {{"Content-Type", "application/json"}};
    if (platform::net::HttpClient::send(request).statusCode != 200)
      throw std::runtime_error("emulator refused " + path);
  }

  std::string readLine(std::chrono::seconds limit) const {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd ready{fromChild_, POLLIN, 0};
      if (::poll(&ready, 1, 100) <= 0) continue;
      char c = 0;
      if (::read(fromChild_, &c, 1) != 1) break;
      if (c == '\n') return line;
      line += c;
    }
    throw std::runtime_error("the hub emulator did not start");
  }

  TemporaryFolder root_;
  pid_t pid_ = -1;
  int toChild_ = -1;
  int fromChild_ = -1;
  int hubPort_ = 0;
  int contentPort_ = 0;
};

}  // namespace hubtest
