#include "OrvaneCore/HubWrapper.hpp"

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>

#include "OrvaneCore/ConcurrencyUtilities.hpp"

namespace orvane {
namespace fs = std::filesystem;

namespace {

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value == nullptr ? std::string() : std::string(value);
}

std::string homeFolder() {
  return environment("HOME");
}

// The whole content, unchanged; empty when the file cannot be read.
std::string fileContent(const fs::path& path) {
  std::error_code error;
  if (!fs::is_regular_file(path, error)) return {};
  std::ifstream input(path, std::ios::binary);
  if (!input) return {};
  std::ostringstream content;
  content << input.rdbuf();
  return content.str();
}

std::string expandTilde(const std::string& path) {
  if (path == "~") return homeFolder();
  if (path.starts_with("~/")) return homeFolder() + path.substr(1);
  return path;
}

}  // namespace

std::optional<std::string> tokenFromEnvironment() {
  const std::string home = homeFolder();
  const std::string tokenPath = environment("HF_TOKEN_PATH");
  const std::string hfHome = environment("HF_HOME");
  const std::vector<std::function<std::string()>> sources = {
      [] { return environment("HF_TOKEN"); },
      [] { return environment("HUGGING_FACE_HUB_TOKEN"); },
      [&] { return tokenPath.empty() ? std::string() : fileContent(expandTilde(tokenPath)); },
      [&] { return hfHome.empty() ? std::string() : fileContent(fs::path(hfHome) / "token"); },
      [&] {
        return home.empty() ? std::string()
                            : fileContent(fs::path(home) / ".cache" / "huggingface" / "token");
      },
      [&] {
        return home.empty() ? std::string()
                            : fileContent(fs::path(home) / ".huggingface" / "token");
      },
  };
  for (const auto& source : sources)
    if (auto token = source(); !token.empty()) return token;
  return std::nullopt;
}

HubApiWrapper::HubApiWrapper(std::optional<fs::path> downloadBase,
                             std::optional<std::string> hfToken,
                             std::optional<std::string> endpoint, bool useBackgroundSession) {
  impl.downloadBase =
      downloadBase ? *downloadBase : fs::path(homeFolder()) / "Documents" / "huggingface";
  impl.hfToken = hfToken ? hfToken : tokenFromEnvironment();
  if (endpoint) {
    impl.endpoint = *endpoint;
  } else if (const auto fromEnvironment = environment("HF_ENDPOINT"); !fromEnvironment.empty()) {
    impl.endpoint = fromEnvironment;
  } else {
    impl.endpoint = std::string(defaultHubEndpoint);
  }
  impl.useOfflineMode = std::nullopt;
  impl.useBackgroundSession = useBackgroundSession;
  impl.networkMonitor = &platform::net::NetworkMonitor::shared();
  if (environment("CI_DISABLE_NETWORK_MONITOR") == "1")
    std::cout << (impl.hfToken ? "✅ got token" : "🔴 NO TOKEN **") << std::endl;
}

const HubApiWrapper& HubApiWrapper::shared() {
  static const HubApiWrapper instance;
  return instance;
}

}  // namespace orvane
