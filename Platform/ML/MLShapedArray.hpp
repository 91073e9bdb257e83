#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

#include "Platform/ML/MLMultiArray.hpp"

namespace platform::ml {

// A typed copy of an array's elements in row-major order.
template <typename Scalar>
struct MLShapedArray {
  std::vector<int64_t> shape;
  std::vector<Scalar> scalars;

  MLShapedArray(std::vector<int64_t> shape, std::vector<Scalar> scalars)
      : shape(std::move(shape)), scalars(std::move(scalars)) {}

  // The elements of `array` converted to Scalar, read through its strides.
  explicit MLShapedArray(const MLMultiArray& array) : shape(array.shape()) {
    scalars.reserve(static_cast<size_t>(array.count()));
    if (array.isContiguous() && dataTypeOf<Scalar>() == array.dataType()) {
      const Scalar* data = array.data<Scalar>();
      scalars.assign(data, data + array.count());
      return;
    }
    for (int64_t i = 0; i < array.count(); ++i) {
      scalars.push_back(static_cast<Scalar>(array.number(i)));
    }
  }

  // A new contiguous array of Scalar's data type; throws PlatformMLError
  // when the scalars do not fill the shape.
  MLMultiArray multiArray() const {
    constexpr auto type = dataTypeOf<Scalar>();
    static_assert(type.has_value(), "no multi-array data type for this scalar");
    MLMultiArray array(shape, *type);
    if (static_cast<size_t>(array.count()) != scalars.size()) {
      throw PlatformMLError(
          PlatformMLError::Code::invalidArgument,
          std::to_string(scalars.size()) + " scalars do not fill the shape " + shapeText(shape));
    }
    std::copy(scalars.begin(), scalars.end(), array.data<Scalar>());
    return array;
  }
};

}  // namespace platform::ml
