#include "Platform/ML/Gemm.hpp"

#include <gtest/gtest.h>

#include <random>

#include "Platform/System/ThreadPool.hpp"

namespace platform::ml {
namespace {

using kernels::Transpose;

struct GemmCase {
  size_t m, n, k;
  bool ta, tb;
  float alpha, beta;
};

// Plain triple loop in double precision.
std::vector<float> reference(const GemmCase& c, const std::vector<float>& a, size_t lda,
                             const std::vector<float>& b, size_t ldb, std::vector<float> out,
                             size_t ldc) {
  for (size_t i = 0; i < c.m; ++i) {
    for (size_t j = 0; j < c.n; ++j) {
      double sum = 0;
      for (size_t p = 0; p < c.k; ++p) {
        const double x = c.ta ? a[p * lda + i] : a[i * lda + p];
        const double y = c.tb ? b[j * ldb + p] : b[p * ldb + j];
        sum += x * y;
      }
      out[i * ldc + j] = static_cast<float>(c.alpha * sum + c.beta * out[i * ldc + j]);
    }
  }
  return out;
}

TEST(GemmTest, MatchesTheReferenceOnEveryLayout) {
  const std::vector<GemmCase> cases{
      {1, 1, 1, false, false, 1, 0},       {1, 51, 64, false, true, 1, 0},  // a decoder step
      {5, 7, 3, true, false, 2, 0.5},      {64, 1500, 64, false, true, 0.125f, 0},
      {257, 300, 129, false, false, 1, 1}, {300, 33, 200, true, true, 1, 0},
      {40, 600, 384, false, true, 1, 0.0}, {1, 2000, 384, false, false, 1, 0},
  };
  std::mt19937 generator(1);
  std::uniform_real_distribution<float> uniform(-1, 1);
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.m) + "x" + std::to_string(c.n) + "x" + std::to_string(c.k) +
                 (c.ta ? " At" : "") + (c.tb ? " Bt" : ""));
    // Leading dimensions one larger than needed, to catch stride mistakes.
    const size_t lda = (c.ta ? c.m : c.k) + 1;
    const size_t ldb = (c.tb ? c.k : c.n) + 1;
    const size_t ldc = c.n + 1;
    std::vector<float> a((c.ta ? c.k : c.m) * lda), b((c.tb ? c.n : c.k) * ldb), out(c.m * ldc);
    for (auto& v : a) v = uniform(generator);
    for (auto& v : b) v = uniform(generator);
    for (auto& v : out) v = uniform(generator);
    const auto expected = reference(c, a, lda, b, ldb, out, ldc);
    kernels::sgemm(c.ta ? Transpose::yes : Transpose::no, c.tb ? Transpose::yes : Transpose::no,
                   c.m, c.n, c.k, c.alpha, a.data(), lda, b.data(), ldb, c.beta, out.data(), ldc);
    for (size_t i = 0; i < c.m; ++i) {
      for (size_t j = 0; j < c.n; ++j) {
        ASSERT_NEAR(out[i * ldc + j], expected[i * ldc + j], 1e-4 * std::sqrt(double(c.k)) + 1e-5)
            << i << "," << j;
      }
      // The padding column is never touched.
      ASSERT_EQ(out[i * ldc + c.n], expected[i * ldc + c.n]);
    }
  }
  EXPECT_FALSE(kernels::gemmImplementation().empty());
}

TEST(GemmTest, RunsFromSeveralThreadsAtOnce) {
  const size_t size = 96;
  std::vector<float> a(size * size, 1.0f), b(size * size, 2.0f);
  auto& pool = ThreadPool::shared();
  std::vector<std::future<float>> results;
  for (int t = 0; t < 6; ++t) {
    results.push_back(pool.submit([&] {
      std::vector<float> out(size * size);
      kernels::sgemm(Transpose::no, Transpose::no, size, size, size, 1, a.data(), size, b.data(),
                     size, 0, out.data(), size);
      return out[size * size - 1];
    }));
  }
  for (auto& result : results) EXPECT_EQ(result.get(), 2.0f * size);
}

}  // namespace
}  // namespace platform::ml
