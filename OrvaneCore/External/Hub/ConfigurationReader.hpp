#pragma once

#include <filesystem>
#include <string>
#include <string_view>

#include "OrvaneCore/External/Hub/Config.hpp"

namespace orvane {

// Reads one JSON configuration file into a Config (the hub client's
// configuration(fileURL:)). A read failure is thrown as the
// std::filesystem::filesystem_error it is; malformed JSON gives
// HubClientError.jsonSerialization, a top level that is no object
// HubClientError.parse. Byte-order marks at the start of string values are
// kept.
Config readConfiguration(const std::filesystem::path& fileURL);

// The same for JSON text already in memory; `fileURL` names it in errors.
Config parseConfiguration(std::string_view json, const std::filesystem::path& fileURL);

// The URL text of a local file, "file:///...".
std::string fileURLText(const std::filesystem::path& path);

}  // namespace orvane
