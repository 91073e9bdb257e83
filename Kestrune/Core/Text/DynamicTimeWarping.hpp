#pragma once

#include <cstdint>
#include <vector>

#include "Platform/ML/MLMultiArray.hpp"

namespace kestrune {

// The step that reached each cell of the warping table: the diagonal, the
// previous row (the next token at the same frame) or the previous column
// (the same token over one more frame). The corner cell has no step.
enum class WarpStep : int8_t { none = -1, diagonal = 0, previousRow = 1, previousColumn = 2 };

// The (N + 1) x (M + 1) steps of a warping over an N x M matrix, row-major.
struct TraceMatrix {
  int64_t rows = 0;
  int64_t columns = 0;
  std::vector<WarpStep> steps{};

  WarpStep at(int64_t row, int64_t column) const {
    return steps[static_cast<size_t>(row * columns + column)];
  }
};

// A monotonic path from (0, 0) to (N - 1, M - 1): equally long lists of
// matrix rows (token indices) and columns (frame indices).
struct WarpingPath {
  std::vector<int64_t> textIndices{};
  std::vector<int64_t> timeIndices{};

  bool operator==(const WarpingPath&) const = default;
};

// The steps of the cheapest path through `matrix` (N x M), where taking a
// cell costs its negated weight. Throws WhisperError.segmentingFailed
// ("Invalid alignment matrix shape") unless the matrix has two dimensions.
TraceMatrix warpingTrace(const platform::ml::MLMultiArray& matrix);

// The path recorded in `trace`, walked back from its far corner. Throws
// WhisperError.segmentingFailed for a table whose steps leave it.
WarpingPath backtrace(const TraceMatrix& trace);

// warpingTrace followed by backtrace.
WarpingPath dynamicTimeWarping(const platform::ml::MLMultiArray& matrix);

}  // namespace kestrune
