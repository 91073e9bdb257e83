#include "Kestrune/Core/Configurations.hpp"

namespace kestrune {

ModelComputeOptions::ModelComputeOptions(MLComputeUnits melCompute,
                                         std::optional<MLComputeUnits> audioEncoderCompute,
                                         MLComputeUnits textDecoderCompute)
    : melCompute(melCompute),
      audioEncoderCompute(audioEncoderCompute.value_or(defaultAudioEncoderCompute())),
      textDecoderCompute(textDecoderCompute) {}

MLComputeUnits ModelComputeOptions::defaultAudioEncoderCompute() {
  return MLComputeUnits::cpuAndNeuralEngine;
}

}  // namespace kestrune
