#include "Platform/Net/Sha256.hpp"

#include <openssl/evp.h>

#include <cerrno>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace platform::net {
namespace {

struct ContextDeleter {
  void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

// Incremental digest; throws when the crypto library refuses a step.
class Digest {
 public:
  Digest() : context_(EVP_MD_CTX_new()) {
    if (!context_ || EVP_DigestInit_ex(context_.get(), EVP_sha256(), nullptr) != 1)
      throw std::runtime_error("SHA-256 is not available");
  }
  void update(const char* data, size_t size) {
    if (EVP_DigestUpdate(context_.get(), data, size) != 1)
      throw std::runtime_error("SHA-256 update failed");
  }
  std::string hex() {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context_.get(), digest, &length) != 1)
      throw std::runtime_error("SHA-256 finalisation failed");
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (unsigned int i = 0; i < length; ++i) {
      text += digits[digest[i] >> 4];
      text += digits[digest[i] & 0xF];
    }
    return text;
  }

 private:
  std::unique_ptr<EVP_MD_CTX, ContextDeleter> context_;
};

}  // namespace

std::string sha256Hex(std::string_view bytes) {
  Digest digest;
  digest.update(bytes.data(), bytes.size());
  return digest.hex();
}

std::string fileSha256Hex(const std::filesystem::path& file, size_t pieceSize) {
  std::ifstream input(file, std::ios::binary);
  auto failure = [&] {
    return std::filesystem::filesystem_error("cannot read file", file,
                                             std::error_code(errno, std::generic_category()));
  };
  if (!input) throw failure();
  Digest digest;
  std::vector<char> piece(std::max<size_t>(pieceSize, 1));
  while (input) {
    input.read(piece.data(), static_cast<std::streamsize>(piece.size()));
    const auto got = input.gcount();
    if (got > 0) digest.update(piece.data(), static_cast<size_t>(got));
  }
  if (input.bad()) throw failure();
  return digest.hex();
}

}  // namespace platform::net
