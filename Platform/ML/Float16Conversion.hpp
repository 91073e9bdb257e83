#pragma once

#include <cstddef>
#include <cstdint>

#include "Platform/ML/MLMultiArrayDataType.hpp"

namespace platform::ml {

// Converts `count` values between half and single precision (round to
// nearest even), with the widest conversion instructions the CPU offers.
void convertFloat16ToFloat32(const Float16* source, float* target, size_t count) noexcept;
void convertFloat32ToFloat16(const float* source, Float16* target, size_t count) noexcept;

// bfloat16 (the upper half of a float32) to float32.
void convertBFloat16ToFloat32(const uint16_t* source, float* target, size_t count) noexcept;

}  // namespace platform::ml
