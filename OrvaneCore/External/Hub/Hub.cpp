#include "OrvaneCore/External/Hub/Hub.hpp"

#include <nlohmann/json.hpp>

#include "OrvaneCore/External/Hub/HubClientError.hpp"

namespace orvane {

std::string_view text(RepoType type) {
  switch (type) {
    case RepoType::models: return "models";
    case RepoType::datasets: return "datasets";
    case RepoType::spaces: return "spaces";
  }
  return "models";
}

std::optional<RepoType> repoTypeFromText(std::string_view value) {
  for (const auto type : {RepoType::models, RepoType::datasets, RepoType::spaces})
    if (text(type) == value) return type;
  return std::nullopt;
}

std::string Repo::description() const {
  return "Repo(id: \"" + id + "\", type: " + std::string(text(type)) + ")";
}

void to_json(nlohmann::json& json, const Repo& repo) {
  json = nlohmann::json{{"id", repo.id}, {"type", std::string(text(repo.type))}};
}

void from_json(const nlohmann::json& json, Repo& repo) {
  const auto type = repoTypeFromText(json.at("type").get<std::string>());
  if (!type) throw HubClientError::parseError("Unknown repository type");
  repo.id = json.at("id").get<std::string>();
  repo.type = *type;
}

}  // namespace orvane
