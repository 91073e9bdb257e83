#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kestrune/Core/ModelVariant.hpp"
#include "Kestrune/Core/Text/WhisperTokenizer.hpp"
#include "OrvaneCore/TokenizerWrapper.hpp"

// Finding and loading the tokenizer of a Whisper model.
namespace kestrune::ModelUtilities {

// The hub repository that holds the tokenizer of `variant`
// ("openai/whisper-tiny.en" and the like).
std::string_view tokenizerNameForVariant(ModelVariant variant);

// Loads the tokenizer repository `name` from the model hub into
// `hubTokenizerFolder` and builds it (strictly).
using HubTokenizerLoader = std::function<orvane::TokenizerWrapper(
    const std::string& name, const std::filesystem::path& hubTokenizerFolder)>;

// Where the hub client keeps repositories when no folder is given: the
// user's documents folder followed by "huggingface".
std::filesystem::path defaultDownloadBase();

// The tokenizer of `variant`: the first of <download base>/models/<name>,
// `tokenizerFolder` and `additionalSearchPaths` that holds a tokenizer.json,
// else (or when that one fails to load, which is logged) the hub. Every step
// is logged at debug level. `tokenizerFolder` is also the download base.
std::shared_ptr<const WhisperTokenizer> loadTokenizer(
    ModelVariant variant,
    const std::optional<std::filesystem::path>& tokenizerFolder = std::nullopt,
    const std::vector<std::filesystem::path>& additionalSearchPaths = {},
    bool useBackgroundSession = false);

// The same with the hub download supplied by the caller.
std::shared_ptr<const WhisperTokenizer> loadTokenizer(
    ModelVariant variant, const std::optional<std::filesystem::path>& tokenizerFolder,
    const std::vector<std::filesystem::path>& additionalSearchPaths, bool useBackgroundSession,
    const HubTokenizerLoader& hubLoader);

}  // namespace kestrune::ModelUtilities
