#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::ml {

enum class TensorDType { f16, bf16, f32 };

std::string_view tensorDTypeName(TensorDType dtype) noexcept;  // "F16", "BF16", "F32"

struct TensorInfo {
  std::string name;
  TensorDType dtype = TensorDType::f32;
  std::vector<int64_t> shape;
  int64_t count = 0;
  size_t byteOffset = 0;  // from the start of the data section
  size_t byteSize = 0;
};

// A safetensors file read through a read-only memory map. The header is
// checked completely when the file is opened (every offset, size, dtype and
// shape against the file), so later reads never leave the mapping.
class SafeTensors {
 public:
  // Throws PlatformMLError (modelLoadFailed) naming the file and the fault.
  static std::shared_ptr<const SafeTensors> open(const std::filesystem::path& path);
  ~SafeTensors();
  SafeTensors(const SafeTensors&) = delete;
  SafeTensors& operator=(const SafeTensors&) = delete;

  const std::filesystem::path& path() const noexcept { return path_; }
  const std::map<std::string, TensorInfo, std::less<>>& tensors() const noexcept {
    return tensors_;
  }
  const std::map<std::string, std::string, std::less<>>& metadata() const noexcept {
    return metadata_;
  }
  // None when absent.
  const TensorInfo* find(std::string_view name) const;
  // Throws PlatformMLError naming the file and the tensor when absent.
  const TensorInfo& tensor(std::string_view name) const;
  // The tensor's raw little-endian bytes inside the mapping.
  std::span<const std::byte> bytes(const TensorInfo& tensor) const;
  // The tensor's values converted to float32 (any stored dtype).
  std::vector<float> floats(std::string_view name) const;
  void readFloats(const TensorInfo& tensor, std::span<float> target) const;

  SafeTensors(std::filesystem::path path, const std::byte* mapping, size_t size);

 private:
  void parseHeader();

  std::filesystem::path path_;
  const std::byte* mapping_;
  size_t size_;
  const std::byte* data_ = nullptr;
  size_t dataSize_ = 0;
  std::map<std::string, TensorInfo, std::less<>> tensors_;
  std::map<std::string, std::string, std::less<>> metadata_;
};

// A tensor to be written: float32 values stored as the given dtype.
struct TensorToWrite {
  std::string name;
  TensorDType dtype = TensorDType::f32;
  std::vector<int64_t> shape;
  std::vector<float> values;
};

// Writes a safetensors file (header padded to 8 bytes, tensors in the order
// given). Throws PlatformMLError (invalidArgument) on a shape/value-count
// mismatch or a write failure.
void writeSafeTensors(const std::filesystem::path& path, const std::vector<TensorToWrite>& tensors,
                      const std::map<std::string, std::string>& metadata = {});

// The same, for files too large to hold as floats at once: `values(i)`
// produces the values of tensor i (its `values` field is ignored) just
// before they are written.
void writeSafeTensors(const std::filesystem::path& path, const std::vector<TensorToWrite>& tensors,
                      const std::function<std::vector<float>(size_t)>& values,
                      const std::map<std::string, std::string>& metadata = {});

}  // namespace platform::ml
