#include "Kestrune/Core/Text/DynamicTimeWarping.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "Kestrune/Utilities/WhisperError.hpp"

namespace kestrune {
namespace {

using platform::ml::Float16;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;

MLMultiArray matrixOf(const std::vector<std::vector<double>>& rows,
                      MLMultiArrayDataType type = MLMultiArrayDataType::float16) {
  const int64_t n = static_cast<int64_t>(rows.size());
  const int64_t m = static_cast<int64_t>(rows.front().size());
  MLMultiArray matrix({n, m}, type);
  for (int64_t i = 0; i < n; ++i)
    for (int64_t j = 0; j < m; ++j) matrix.setNumber(i * m + j, rows[i][j]);
  return matrix;
}

struct PathCase {
  const char* name;
  std::vector<std::vector<double>> weights;
  WarpingPath expected;
};

TEST(DynamicTimeWarpingTest, FollowsTheHeaviestMonotonicPath) {
  const std::vector<PathCase> cases = {
      {"diagonal", {{1, -1, -1}, {-1, 1, -1}, {-1, -1, 1}}, {{0, 1, 2}, {0, 1, 2}}},
      {"staircase: each token holds two frames",
       {{1, 1, -1, -1}, {-1, -1, 1, 1}},
       {{0, 0, 1, 1}, {0, 1, 2, 3}}},
      // Zero weights off the stairs make detours as cheap as the stairs; the
      // tie rule then takes the previous column at the corner of each step.
      {"staircase with free detours",
       {{1, 1, 0, 0}, {0, 0, 1, 1}},
       {{0, 0, 1, 1, 1}, {0, 1, 1, 2, 3}}},
      {"one token over the whole window", {{0.5, 0.5, 0.5}}, {{0, 0, 0}, {0, 1, 2}}},
      {"more tokens than frames", {{1}, {1}, {1}}, {{0, 1, 2}, {0, 0, 0}}},
      // An all-equal table ties everywhere: the previous column wins, so the
      // path goes down column 0 before it moves right.
      {"tie goes to the previous column", {{0, 0}, {0, 0}}, {{0, 1, 1}, {0, 0, 1}}},
      // At the last cell the diagonal and the previous row cost the same and
      // the previous column costs more; neither is strictly cheapest, so the
      // previous column is taken anyway.
      {"equal diagonal and row lose to a dearer column", {{1, 0}, {-1, 0}}, {{0, 1, 1}, {0, 0, 1}}},
  };
  for (const PathCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(dynamicTimeWarping(matrixOf(c.weights)), c.expected);
  }
}

TEST(DynamicTimeWarpingTest, TraceHasTheFixedBorders) {
  const TraceMatrix trace = warpingTrace(matrixOf({{1, 0, 0}, {0, 1, 0}}));
  ASSERT_EQ(trace.rows, 3);
  ASSERT_EQ(trace.columns, 4);
  EXPECT_EQ(trace.at(0, 0), WarpStep::none);
  for (int64_t j = 1; j < trace.columns; ++j) EXPECT_EQ(trace.at(0, j), WarpStep::previousColumn);
  for (int64_t i = 1; i < trace.rows; ++i) EXPECT_EQ(trace.at(i, 0), WarpStep::previousRow);
  EXPECT_EQ(trace.at(1, 1), WarpStep::diagonal);
}

TEST(DynamicTimeWarpingTest, ElementTypeAndLayoutDoNotChangeThePath) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> weight(0.0, 1.0);
  std::vector<std::vector<double>> rows(12, std::vector<double>(40));
  for (auto& row : rows)
    for (double& value : row) value = static_cast<double>(static_cast<Float16>(weight(random)));
  const WarpingPath reference = dynamicTimeWarping(matrixOf(rows));

  // The same values as Float32 and Float64, and as a transposed view (a
  // column stride other than 1) of a frames x tokens Float16 buffer.
  EXPECT_EQ(dynamicTimeWarping(matrixOf(rows, MLMultiArrayDataType::float32)), reference);
  EXPECT_EQ(dynamicTimeWarping(matrixOf(rows, MLMultiArrayDataType::float64)), reference);
  auto storage = std::make_shared<std::vector<Float16>>(12 * 40);
  for (size_t i = 0; i < 12; ++i)
    for (size_t j = 0; j < 40; ++j) (*storage)[j * 12 + i] = static_cast<Float16>(rows[i][j]);
  const MLMultiArray transposed(storage, storage->data(), {12, 40}, {1, 12},
                                MLMultiArrayDataType::float16);
  EXPECT_EQ(dynamicTimeWarping(transposed), reference);

  // Whatever the weights, the path runs corner to corner in unit steps and
  // visits every token.
  ASSERT_FALSE(reference.textIndices.empty());
  EXPECT_EQ(reference.textIndices.front(), 0);
  EXPECT_EQ(reference.timeIndices.front(), 0);
  EXPECT_EQ(reference.textIndices.back(), 11);
  EXPECT_EQ(reference.timeIndices.back(), 39);
  for (size_t k = 1; k < reference.textIndices.size(); ++k) {
    const int64_t di = reference.textIndices[k] - reference.textIndices[k - 1];
    const int64_t dj = reference.timeIndices[k] - reference.timeIndices[k - 1];
    EXPECT_TRUE((di == 0 || di == 1) && (dj == 0 || dj == 1) && di + dj > 0) << "step " << k;
  }
}

TEST(DynamicTimeWarpingTest, RejectsMatricesWithoutTwoDimensions) {
  for (const std::vector<int64_t>& shape : std::vector<std::vector<int64_t>>{{4}, {1, 2, 3}}) {
    const MLMultiArray matrix(shape, MLMultiArrayDataType::float16);
    try {
      dynamicTimeWarping(matrix);
      ADD_FAILURE() << "no error for " << platform::ml::shapeText(shape);
    } catch (const WhisperError& error) {
      EXPECT_EQ(error, WhisperError::segmentingFailed("Invalid alignment matrix shape"));
    }
  }
}

TEST(DynamicTimeWarpingTest, BacktraceRejectsStepsThatLeaveTheTable) {
  // A previous-row step in row 0 and a table whose size disagrees with its
  // dimensions.
  const TraceMatrix outOfTable{.rows = 2,
                               .columns = 2,
                               .steps = {WarpStep::none, WarpStep::previousRow,
                                         WarpStep::previousRow, WarpStep::previousRow}};
  const TraceMatrix wrongSize{.rows = 3, .columns = 3, .steps = {WarpStep::none}};
  for (const TraceMatrix& trace : {outOfTable, wrongSize}) {
    EXPECT_THROW(backtrace(trace), WhisperError);
  }
}

}  // namespace
}  // namespace kestrune
