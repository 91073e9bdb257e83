#include "Platform/ML/PixelBuffer.hpp"

#include <cstdlib>
#include <cstring>
#include <limits>

namespace platform::ml {

std::optional<PixelBuffer> PixelBuffer::create(size_t width, size_t height) {
  if (width == 0 || height == 0) return std::nullopt;
  constexpr size_t maxSize = std::numeric_limits<size_t>::max() / 4;
  if (width > maxSize / 2) return std::nullopt;
  const size_t rowBytes = (width * 2 + rowAlignment - 1) / rowAlignment * rowAlignment;
  if (height > maxSize / rowBytes) return std::nullopt;
  const size_t total = rowBytes * height;
  void* memory = std::aligned_alloc(rowAlignment, total);
  if (memory == nullptr) return std::nullopt;
  // Padding is zeroed too, so that whole-row readers never see garbage.
  std::memset(memory, 0, total);
  return PixelBuffer(width, height, rowBytes, std::shared_ptr<void>(memory, std::free));
}

}  // namespace platform::ml
