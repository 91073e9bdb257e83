#include <gtest/gtest.h>

#include "OrvaneCore/Logging.hpp"
#include "OrvaneCore/MLModelExtensions.hpp"
#include "tests/Platform/ML/TestModelFolder.hpp"

namespace orvane {
namespace {

using platform::ml::MLDictionaryFeatureProvider;
using platform::ml::MLFeatureValue;
using platform::ml::MLMultiArray;
using platform::ml::MLMultiArrayDataType;
using platform::ml::testing::TemporaryFolder;

TEST(MLModelExtensionsTest, ComputeUnitNames) {
  struct Case {
    int raw;
    const char* description;
    const char* displayName;
  };
  const std::vector<Case> cases{{0, "cpuOnly", "CPU"},
                                {1, "cpuAndGPU", "GPU"},
                                {2, "all", "All"},
                                {3, "cpuAndNeuralEngine", "Neural Engine"},
                                {7, "unknown", "Unknown"}};
  for (const auto& c : cases) {
    const auto units = static_cast<MLComputeUnits>(c.raw);
    EXPECT_EQ(description(units), c.description);
    EXPECT_EQ(displayName(units), c.displayName);
  }
}

class ModelShapeQueryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::ml::testing::writeAffineModel(folder_.path(),
                                            platform::ml::testing::affineManifest("[1, 80, 3]"));
    model_ = MLModel::load(folder_.path());
  }
  TemporaryFolder folder_;
  std::shared_ptr<MLModel> model_;
};

TEST_F(ModelShapeQueryTest, AnswersFromTheDescription) {
  using namespace ModelUtilities;
  EXPECT_EQ(getModelInputShape(model_.get(), "x"), (std::vector<int64_t>{1, 80, 3}));
  EXPECT_EQ(getModelOutputShape(model_.get(), "y"), (std::vector<int64_t>{1, 80, 3}));
  EXPECT_EQ(getModelInputDimension(model_.get(), "x", 1), 80);
  EXPECT_EQ(getModelOutputDimension(model_.get(), "y", 2), 3);
  // Unknown name, the other direction, absent model, position at or past the end.
  EXPECT_FALSE(getModelInputShape(model_.get(), "y"));
  EXPECT_FALSE(getModelOutputShape(model_.get(), "x"));
  EXPECT_FALSE(getModelInputShape(nullptr, "x"));
  EXPECT_FALSE(getModelInputDimension(nullptr, "x", 0));
  EXPECT_FALSE(getModelInputDimension(model_.get(), "x", 3));
  EXPECT_FALSE(getModelOutputDimension(model_.get(), "y", -1));
}

TEST_F(ModelShapeQueryTest, AsyncPredictionAndRuntimeLogLines) {
  std::vector<std::string> lines;
  Logging::updateLogLevel(Logging::LogLevel::debug);
  Logging::updateCallback([&](const std::string& line) { lines.push_back(line); });
  const auto reloaded = MLModel::load(folder_.path());
  Logging::updateCallback(nullptr);
  Logging::updateLogLevel(Logging::LogLevel::none);
  ASSERT_FALSE(lines.empty());
  EXPECT_NE(lines.back().find("on the cpu backend"), std::string::npos) << lines.back();

  MLMultiArray x({1, 80, 3}, MLMultiArrayDataType::float32);
  x.setNumber(0, 2.0);
  auto provider = std::make_shared<MLDictionaryFeatureProvider>(
      std::map<std::string, MLFeatureValue, std::less<>>{{"x", MLFeatureValue(x)}});
  const auto outputs = asyncPrediction(*reloaded, provider).get();
  EXPECT_EQ(outputs->featureValue("y")->multiArrayValue()->number(0), 2.5);
}

}  // namespace
}  // namespace orvane
