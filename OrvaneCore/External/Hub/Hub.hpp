#pragma once

#include <cstddef>
#include <functional>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

enum class RepoType { models, datasets, spaces };

// "models", "datasets" or "spaces".
std::string_view text(RepoType type);
std::optional<RepoType> repoTypeFromText(std::string_view text);

// A repository of the model hub.
struct Repo {
  std::string id;  // "openai/whisper-base"
  RepoType type = RepoType::models;

  bool operator==(const Repo&) const = default;
  // The record as messages show it: Repo(id: "org/name", type: models).
  std::string description() const;
};

// JSON form {"id": ..., "type": ...}.
void to_json(nlohmann::json& json, const Repo& repo);
void from_json(const nlohmann::json& json, Repo& repo);

}  // namespace orvane

template <>
struct std::hash<orvane::Repo> {
  size_t operator()(const orvane::Repo& repo) const noexcept {
    return std::hash<std::string>()(repo.id) * 31 + static_cast<size_t>(repo.type);
  }
};
