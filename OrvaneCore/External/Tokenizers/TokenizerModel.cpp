#include "OrvaneCore/External/Tokenizers/TokenizerModel.hpp"

#include <functional>
#include <iostream>
#include <map>

#include "OrvaneCore/External/Tokenizers/BPETokenizer.hpp"
#include "OrvaneCore/External/Tokenizers/BertTokenizer.hpp"
#include "OrvaneCore/External/Tokenizers/TokenizerError.hpp"
#include "OrvaneCore/External/Tokenizers/UnigramTokenizer.hpp"

namespace orvane {

namespace {

using ModelMaker = std::function<std::shared_ptr<const TokenizingModel>(
    const Config&, const Config&, const AddedTokenMap&)>;

template <typename Model>
ModelMaker maker() {
  return [](const Config& config, const Config& data, const AddedTokenMap& addedTokens) {
    return std::make_shared<const Model>(config, data, addedTokens);
  };
}

const std::map<std::string, ModelMaker>& modelClasses() {
  static const std::map<std::string, ModelMaker> classes = {
      {"BertTokenizer", maker<BertTokenizer>()},
      {"DistilbertTokenizer", maker<BertTokenizer>()},
      {"DistilBertTokenizer", maker<BertTokenizer>()},
      {"CodeGenTokenizer", maker<BPETokenizer>()},
      {"CodeLlamaTokenizer", maker<BPETokenizer>()},
      {"CohereTokenizer", maker<BPETokenizer>()},
      {"FalconTokenizer", maker<BPETokenizer>()},
      {"GemmaTokenizer", maker<BPETokenizer>()},
      {"GPT2Tokenizer", maker<BPETokenizer>()},
      {"LlamaTokenizer", maker<BPETokenizer>()},
      {"RobertaTokenizer", maker<BPETokenizer>()},
      {"TokenizersBackend", maker<BPETokenizer>()},
      {"PreTrainedTokenizer", maker<BPETokenizer>()},
      {"Qwen2Tokenizer", maker<BPETokenizer>()},
      {"WhisperTokenizer", maker<BPETokenizer>()},
      {"T5Tokenizer", maker<T5Tokenizer>()},
      {"XLMRobertaTokenizer", maker<UnigramTokenizer>()},
  };
  return classes;
}

}  // namespace

std::string removingFast(std::string name) {
  constexpr std::string_view fast = "Fast";
  for (size_t found = name.find(fast); found != std::string::npos; found = name.find(fast, found)) {
    name.erase(found, fast.size());
  }
  return name;
}

bool TokenizerModel::isKnownClass(const std::string& className) {
  return modelClasses().contains(removingFast(className));
}

std::shared_ptr<const TokenizingModel> TokenizerModel::from(const Config& tokenizerConfig,
                                                            const Config& tokenizerData,
                                                            const AddedTokenMap& addedTokens,
                                                            bool strict) {
  const std::optional<std::string> className = tokenizerConfig["tokenizer_class"].string();
  if (!className) throw TokenizerError::missingTokenizerClassInConfig();
  const std::string name = removingFast(*className);
  const auto found = modelClasses().find(name);
  if (found != modelClasses().end())
    return found->second(tokenizerConfig, tokenizerData, addedTokens);
  if (strict) throw TokenizerError::unsupportedTokenizer(name);
  std::cout << "Warning: Tokenizer model class " << name
            << " is not registered, falling back to a standard BPE implementation." << std::endl;
  return std::make_shared<const BPETokenizer>(tokenizerConfig, tokenizerData, addedTokens);
}

std::optional<std::string> TokenizerModel::unknownToken(const Config& tokenizerConfig) {
  const Config token = tokenizerConfig["unk_token"];
  if (auto content = token["content"].string()) return content;
  return token.string();
}

std::optional<std::string> addedTokenAsString(const Config& token) {
  if (auto text = token.string()) return text;
  if (token.dictionary()) return token["content"].string();
  return std::nullopt;
}

}  // namespace orvane
