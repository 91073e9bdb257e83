#include "Platform/Net/Sha256.hpp"

#include <gtest/gtest.h>

#include "tests/OrvaneCore/External/HubClient/HubEmulator.hpp"

namespace {

using platform::net::fileSha256Hex;
using platform::net::sha256Hex;

TEST(Sha256Test, KnownDigests) {
  const struct {
    std::string input, digest;
  } cases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
  };
  for (const auto& entry : cases) EXPECT_EQ(sha256Hex(entry.input), entry.digest);
}

TEST(Sha256Test, FileDigestDoesNotDependOnThePieceSize) {
  hubtest::TemporaryFolder folder;
  const auto path = folder.path() / "data";
  const std::string bytes = hubtest::patternBytes(3 * 1048576 + 17, 2);
  hubtest::writeFile(path, bytes);
  const auto expected = sha256Hex(bytes);
  for (const size_t piece : {size_t{1048576}, size_t{7}, size_t{1} << 24})
    EXPECT_EQ(fileSha256Hex(path, piece), expected) << piece;
  EXPECT_THROW(fileSha256Hex(folder.path() / "absent"), std::filesystem::filesystem_error);
}

}  // namespace
