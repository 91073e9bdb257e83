#pragma once

#include <cstdint>
#include <vector>

namespace kestrune::tools {

// The mel filter bank Whisper's features use: `melBins` triangular filters
// over the 201 bins of a 400-point FFT at 16 kHz, from 0 to 8000 Hz, with
// Slaney's mel scale (linear below 1 kHz, logarithmic above) and Slaney's
// area normalisation. Row-major [melBins, 201].
std::vector<float> melFilterBank(int64_t melBins);

}  // namespace kestrune::tools
