#include "OrvaneCore/External/Hub/ConfigurationReader.hpp"

#include <cerrno>
#include <cmath>
#include <fstream>
#include <limits>
#include <nlohmann/json.hpp>
#include <system_error>

#include "OrvaneCore/External/Hub/HubClientError.hpp"

namespace orvane {

namespace {

// Builds the Config tree straight from the parser's events, so a large
// tokenizer file is converted in one pass without an intermediate document.
// nlohmann's parser keeps a U+FEFF at the start of string values (it skips a
// byte-order mark only before the top-level value), so no byte pass over the
// input is needed for the marks to survive.
class ConfigBuilder : public nlohmann::json_sax<nlohmann::json> {
 public:
  bool null() override { return add(Config()); }
  bool boolean(bool flag) override { return add(Config(flag)); }
  bool number_integer(number_integer_t number) override { return add(Config(number)); }
  bool number_unsigned(number_unsigned_t number) override {
    if (number > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
      return add(Config(static_cast<double>(number)));
    }
    return add(Config(static_cast<int64_t>(number)));
  }
  bool number_float(number_float_t number, const string_t&) override {
    if (std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 9.2e18) {
      return add(Config(static_cast<int64_t>(number)));
    }
    return add(Config(number));
  }
  bool string(string_t& text) override { return add(Config(std::string_view(text))); }
  bool binary(binary_t&) override { return add(Config()); }
  bool start_object(std::size_t) override {
    if (frames_.size() >= maxDepth) return false;
    frames_.push_back(Frame{true, {}, {}, {}});
    return true;
  }
  bool key(string_t& key) override {
    frames_.back().pendingKey = BinaryDistinctString(std::string_view(key));
    return true;
  }
  bool end_object() override {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    // Collected first and hashed once at the final size, so a vocabulary of
    // tens of thousands of entries is never rehashed while it grows.
    Config::Dictionary dictionary;
    dictionary.reserve(frame.entries.size());
    for (auto& [key, value] : frame.entries) {
      dictionary.insert_or_assign(std::move(key), std::move(value));
    }
    return add(Config(std::move(dictionary)));
  }
  bool start_array(std::size_t) override {
    if (frames_.size() >= maxDepth) return false;
    frames_.push_back(Frame{false, {}, {}, {}});
    return true;
  }
  bool end_array() override {
    Frame frame = std::move(frames_.back());
    frames_.pop_back();
    return add(Config(std::move(frame.array)));
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

  Config take() { return std::move(root_); }

  // Configuration files nest a handful of levels. A file nested deeper than
  // this is refused as malformed: the tree's copies, comparisons and
  // destruction recurse once per level, and a file of nothing but brackets
  // would otherwise overflow the stack.
  static constexpr size_t maxDepth = 512;

 private:
  struct Frame {
    bool isObject;
    BinaryDistinctString pendingKey;
    std::vector<std::pair<BinaryDistinctString, Config>> entries;
    Config::Array array;
  };

  bool add(Config value) {
    if (frames_.empty()) {
      root_ = std::move(value);
      return true;
    }
    Frame& top = frames_.back();
    if (top.isObject) {
      top.entries.emplace_back(std::move(top.pendingKey), std::move(value));
    } else {
      top.array.push_back(std::move(value));
    }
    return true;
  }

  std::vector<Frame> frames_;
  Config root_;
};

std::string readWholeFile(const std::filesystem::path& path) {
  std::ifstream stream(path, std::ios::binary);
  if (!stream) {
    const int error = errno != 0 ? errno : ENOENT;
    throw std::filesystem::filesystem_error("cannot open file", path,
                                            std::error_code(error, std::generic_category()));
  }
  std::string bytes;
  stream.seekg(0, std::ios::end);
  const std::streamoff size = stream.tellg();
  if (size > 0) {
    bytes.resize(static_cast<size_t>(size));
    stream.seekg(0, std::ios::beg);
    stream.read(bytes.data(), size);
  }
  if (stream.bad() || (size < 0)) {
    throw std::filesystem::filesystem_error("cannot read file", path,
                                            std::make_error_code(std::errc::io_error));
  }
  return bytes;
}

}  // namespace

std::string fileURLText(const std::filesystem::path& path) {
  std::error_code error;
  std::filesystem::path absolute = std::filesystem::absolute(path, error);
  if (error) absolute = path;
  return "file://" + absolute.lexically_normal().string();
}

Config parseConfiguration(std::string_view json, const std::filesystem::path& fileURL) {
  ConfigBuilder builder;
  const bool parsed = nlohmann::json::sax_parse(json.begin(), json.end(), &builder,
                                                nlohmann::json::input_format_t::json, true);
  if (!parsed) {
    const std::string location = fileURLText(fileURL);
    throw HubClientError::jsonSerialization(
        location, "JSON Serialization failed for " + location +
                      ". Please verify that you have set the HF_TOKEN environment variable.");
  }
  Config root = builder.take();
  if (root.kind() != Config::Kind::dictionary) throw HubClientError::parse();
  return root;
}

Config readConfiguration(const std::filesystem::path& fileURL) {
  const std::string bytes = readWholeFile(fileURL);
  return parseConfiguration(bytes, fileURL);
}

}  // namespace orvane
