#include "Kestrune/Core/Text/DynamicTimeWarping.hpp"

#include <algorithm>
#include <limits>
#include <utility>

#include "Kestrune/Utilities/WhisperError.hpp"
#include "Platform/ML/Float16Conversion.hpp"

namespace kestrune {

namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

constexpr double infinity = std::numeric_limits<double>::infinity();

// Brings one matrix row into a contiguous buffer of a type that holds every
// element exactly, so the warping loop reads plain memory whatever the
// array's element type and strides. Buffers are sized once per matrix.
class RowReader {
 public:
  explicit RowReader(const MLMultiArray& matrix)
      : matrix_(matrix),
        columns_(matrix.shape()[1]),
        rowStride_(matrix.strides()[0]),
        columnStride_(matrix.strides()[1]) {
    if (matrix.dataType() == MLMultiArrayDataType::float16 ||
        matrix.dataType() == MLMultiArrayDataType::float32) {
      singles_.resize(static_cast<size_t>(columns_));
    } else {
      doubles_.resize(static_cast<size_t>(columns_));
    }
  }

  // Calls body(const float*) or body(const double*) with row `row`.
  template <typename Body>
  void withRow(int64_t row, Body&& body) {
    switch (matrix_.dataType()) {
      case MLMultiArrayDataType::float16: {
        const Float16* source = matrix_.data<Float16>() + row * rowStride_;
        if (columnStride_ == 1) {
          platform::ml::convertFloat16ToFloat32(source, singles_.data(), singles_.size());
        } else {
          gather(source, singles_);
        }
        return body(static_cast<const float*>(singles_.data()));
      }
      case MLMultiArrayDataType::float32: {
        const float* source = matrix_.data<float>() + row * rowStride_;
        if (columnStride_ == 1) return body(source);
        gather(source, singles_);
        return body(static_cast<const float*>(singles_.data()));
      }
      case MLMultiArrayDataType::float64:
        gather(matrix_.data<double>() + row * rowStride_, doubles_);
        break;
      case MLMultiArrayDataType::int8:
        gather(matrix_.data<int8_t>() + row * rowStride_, doubles_);
        break;
      case MLMultiArrayDataType::int32:
        gather(matrix_.data<int32_t>() + row * rowStride_, doubles_);
        break;
    }
    return body(static_cast<const double*>(doubles_.data()));
  }

 private:
  template <typename Source, typename Target>
  void gather(const Source* source, std::vector<Target>& target) const {
    for (int64_t column = 0; column < columns_; ++column)
      target[static_cast<size_t>(column)] = static_cast<Target>(source[column * columnStride_]);
  }

  const MLMultiArray& matrix_;
  int64_t columns_;
  int64_t rowStride_;
  int64_t columnStride_;
  std::vector<float> singles_;
  std::vector<double> doubles_;
};

// One row of the cost recurrence. Only the previous cost row is needed, so
// two rows are kept instead of the whole table; the steps are all stored.
//
// Ties go to the previous column unless the diagonal or the previous row is
// strictly the cheapest. Since equal diagonal and row costs can never be
// strictly cheapest, the rule reduces to: the strict winner of those two
// (none on a tie), if it beats the previous column; else the column. That
// keeps the running cost, the only serial dependency, down to one subtract
// and one select per cell, with no branch on the data.
template <typename Weight>
void warpRow(const Weight* weights, const std::vector<double>& previous,
             std::vector<double>& current, WarpStep* steps) {
  const size_t columns = current.size();
  double running = infinity;
  current[0] = running;
  steps[0] = WarpStep::previousRow;
  for (size_t j = 1; j < columns; ++j) {
    const double x = static_cast<double>(weights[j - 1]);
    const double c0 = previous[j - 1] - x;
    const double c1 = previous[j] - x;
    const double c2 = running - x;
    const bool diagonalWins = c0 < c1;
    const bool tie = !diagonalWins && !(c1 < c0);
    const double best = tie ? infinity : std::min(c1, c0);
    const bool takeBest = best < c2;
    running = std::min(c2, best);
    current[j] = running;
    // 0 diagonal, 1 previous row, 2 previous column, without a branch.
    const int step = 2 - int{takeBest} - int{takeBest && diagonalWins};
    steps[j] = static_cast<WarpStep>(step);
  }
}

[[noreturn]] void invalidTrace() {
  throw WhisperError::segmentingFailed("Invalid trace matrix");
}

}  // namespace

TraceMatrix warpingTrace(const MLMultiArray& matrix) {
  if (matrix.shape().size() != 2) {
    throw WhisperError::segmentingFailed("Invalid alignment matrix shape");
  }
  const int64_t n = matrix.shape()[0];
  const int64_t m = matrix.shape()[1];
  TraceMatrix trace{.rows = n + 1, .columns = m + 1, .steps = {}};
  trace.steps.resize(static_cast<size_t>(trace.rows * trace.columns), WarpStep::previousColumn);
  trace.steps[0] = WarpStep::none;

  std::vector<double> previous(static_cast<size_t>(m + 1), infinity);
  std::vector<double> current(static_cast<size_t>(m + 1), infinity);
  previous[0] = 0;
  RowReader reader(matrix);
  for (int64_t i = 1; i <= n; ++i) {
    WarpStep* steps = trace.steps.data() + i * trace.columns;
    reader.withRow(i - 1, [&](const auto* weights) { warpRow(weights, previous, current, steps); });
    std::swap(previous, current);
  }
  return trace;
}

WarpingPath backtrace(const TraceMatrix& trace) {
  if (trace.rows < 1 || trace.columns < 1 ||
      trace.steps.size() != static_cast<size_t>(trace.rows * trace.columns)) {
    invalidTrace();
  }
  WarpingPath path;
  const size_t length = static_cast<size_t>(trace.rows + trace.columns);
  path.textIndices.reserve(length);
  path.timeIndices.reserve(length);
  int64_t i = trace.rows - 1;
  int64_t j = trace.columns - 1;
  while (i > 0 || j > 0) {
    path.textIndices.push_back(i - 1);
    path.timeIndices.push_back(j - 1);
    switch (trace.at(i, j)) {
      case WarpStep::diagonal:
        if (i == 0 || j == 0) invalidTrace();
        --i;
        --j;
        break;
      case WarpStep::previousRow:
        if (i == 0) invalidTrace();
        --i;
        break;
      case WarpStep::previousColumn:
        if (j == 0) invalidTrace();
        --j;
        break;
      default: invalidTrace();
    }
  }
  std::reverse(path.textIndices.begin(), path.textIndices.end());
  std::reverse(path.timeIndices.begin(), path.timeIndices.end());
  return path;
}

WarpingPath dynamicTimeWarping(const MLMultiArray& matrix) {
  return backtrace(warpingTrace(matrix));
}

}  // namespace kestrune
