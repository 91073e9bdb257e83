#include "tools/kestrune-convert/MelFilterBank.hpp"

#include <algorithm>
#include <cmath>

namespace kestrune::tools {

namespace {

constexpr double sampleRate = 16000;
constexpr int64_t bins = 201;
constexpr double linearStep = 200.0 / 3;  // Hz per mel below 1 kHz
constexpr double logRegionStart = 1000.0;
constexpr double logRegionStartMel = logRegionStart / linearStep;
const double logStep = std::log(6.4) / 27.0;

double hzToMel(double hz) {
  if (hz < logRegionStart) return hz / linearStep;
  return logRegionStartMel + std::log(hz / logRegionStart) / logStep;
}

double melToHz(double mel) {
  if (mel < logRegionStartMel) return mel * linearStep;
  return logRegionStart * std::exp(logStep * (mel - logRegionStartMel));
}

}  // namespace

std::vector<float> melFilterBank(int64_t melBins) {
  const auto n = static_cast<size_t>(melBins);
  std::vector<double> frequencies(bins);
  for (int64_t b = 0; b < bins; ++b)
    frequencies[b] = (sampleRate / 2) * double(b) / double(bins - 1);
  const double lowest = hzToMel(0.0), highest = hzToMel(8000.0);
  std::vector<double> edges(n + 2);
  for (size_t i = 0; i < edges.size(); ++i) {
    edges[i] = melToHz(lowest + (highest - lowest) * double(i) / double(n + 1));
  }
  std::vector<float> filters(n * bins);
  for (size_t m = 0; m < n; ++m) {
    const double normalisation = 2.0 / (edges[m + 2] - edges[m]);
    for (int64_t b = 0; b < bins; ++b) {
      const double lower = (frequencies[b] - edges[m]) / (edges[m + 1] - edges[m]);
      const double upper = (edges[m + 2] - frequencies[b]) / (edges[m + 2] - edges[m + 1]);
      filters[m * bins + b] =
          static_cast<float>(std::max(0.0, std::min(lower, upper)) * normalisation);
    }
  }
  return filters;
}

}  // namespace kestrune::tools
