#include "tools/kestrune/ModelCommands.hpp"

#include <cmath>
#include <cstdio>
#include <mutex>

#include "Kestrune/Core/Kestrune.hpp"
#include "Kestrune/Core/ModelSupport.hpp"
#include "OrvaneCore/External/Hub/TransferProgress.hpp"
#include "tools/kestrune/CommandFailure.hpp"

namespace kestrune::cli {

int runDownload(const DownloadSettings& settings, std::ostream& out, std::ostream& err) {
  std::string model;
  if (settings.model) {
    model = *settings.model;
  } else {
    model = Kestrune::recommendedRemoteModels(settings.repo, settings.downloadBase, settings.token,
                                              std::string(Constants::defaultRemoteConfigName),
                                              settings.endpoint)
                .defaultModel;
    err << "kestrune: downloading the recommended model " << model << '\n';
  }
  std::mutex drawing;
  int shownPercent = -1;
  const auto progress = [&](const orvane::TransferProgress& transfer) {
    if (!settings.progressBar) return;
    const int percent = static_cast<int>(std::floor(transfer.fractionCompleted() * 100));
    std::lock_guard guard(drawing);
    if (percent == shownPercent) return;
    shownPercent = percent;
    err << "\r\033[K" << model << ": " << percent << "% downloaded" << std::flush;
  };
  std::filesystem::path folder;
  try {
    folder = Kestrune::download(model, settings.downloadBase, false, settings.repo, settings.token,
                                settings.endpoint, progress);
  } catch (const std::exception& failure) {
    if (settings.progressBar) err << "\r\033[K";
    throw CommandFailure("cannot download " + model + " from " + settings.repo + ": " +
                         describe(failure));
  }
  if (settings.progressBar) err << "\r\033[K";
  out << folder.string() << '\n';
  return 0;
}

int runModels(const ModelsSettings& settings, std::ostream& out, std::ostream& err) {
  const std::string endpoint = settings.endpoint;
  const ModelSupport support = settings.offline
                                   ? Kestrune::recommendedModels()
                                   : Kestrune::recommendedRemoteModels(
                                         settings.repo, settings.downloadBase, settings.token,
                                         std::string(Constants::defaultRemoteConfigName), endpoint);
  std::vector<std::string> available = ModelUtilities::formatModelFiles(support.supported);
  if (!settings.offline) {
    try {
      available = Kestrune::fetchAvailableModels(
          settings.repo, {"*"}, settings.downloadBase, settings.token,
          std::string(Constants::defaultRemoteConfigName), endpoint);
    } catch (const std::exception& failure) {
      err << "kestrune: cannot list the models of " << settings.repo << " (" << describe(failure)
          << "); showing the built-in list\n";
    }
  }
  const std::string device = Kestrune::deviceName();
  out << "device: " << (device.empty() ? "unknown" : device) << '\n'
      << "recommended: " << support.defaultModel << '\n'
      << "available:\n";
  for (const auto& name : available) out << "  " << name << '\n';
  return 0;
}

}  // namespace kestrune::cli
