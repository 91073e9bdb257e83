#pragma once

#include <cstddef>
#include <memory>
#include <optional>

namespace platform::ml {

// A one-component half-float image: `height` rows of `width` values, each
// row starting on a 64-byte boundary (rows are padded to it). It stands in
// for the platform's surface-backed pixel buffers, whose point is that an
// accelerator backend can take the memory as it is.
class PixelBuffer {
 public:
  // None when a dimension is 0 or the storage cannot be obtained.
  static std::optional<PixelBuffer> create(size_t width, size_t height);

  size_t width() const noexcept { return width_; }
  size_t height() const noexcept { return height_; }
  size_t bytesPerRow() const noexcept { return bytesPerRow_; }
  void* baseAddress() const noexcept { return storage_.get(); }
  // Keeps the storage alive for views made over it.
  const std::shared_ptr<void>& storage() const noexcept { return storage_; }

  static constexpr size_t rowAlignment = 64;

 private:
  PixelBuffer(size_t width, size_t height, size_t bytesPerRow, std::shared_ptr<void> storage)
      : width_(width), height_(height), bytesPerRow_(bytesPerRow), storage_(std::move(storage)) {}

  size_t width_;
  size_t height_;
  size_t bytesPerRow_;
  std::shared_ptr<void> storage_;
};

}  // namespace platform::ml
