#include <gtest/gtest.h>

#include <thread>

#include "Platform/ML/MLModel.hpp"
#include "Platform/ML/PlatformMLError.hpp"
#include "tests/Platform/ML/TestModelFolder.hpp"

namespace platform::ml {
namespace {

using testing::affineManifest;
using testing::TemporaryFolder;
using testing::writeAffineModel;
using testing::writeText;

MLDictionaryFeatureProvider inputs(const std::string& name, MLMultiArray array) {
  return MLDictionaryFeatureProvider({{name, MLFeatureValue(std::move(array))}});
}

MLMultiArray sequence(std::vector<int64_t> shape, MLMultiArrayDataType type, float start) {
  MLMultiArray array(std::move(shape), type);
  for (int64_t i = 0; i < array.count(); ++i) array.setNumber(i, start + static_cast<float>(i));
  return array;
}

TEST(MLModelTest, LoadsAFolderAndDescribesIt) {
  TemporaryFolder folder;
  const auto path = folder.path() / "Affine.mlmodelc";
  writeAffineModel(path);
  const auto model = MLModel::load(path, {MLComputeUnits::cpuAndNeuralEngine});
  EXPECT_EQ(model->kind(), "elementwise-affine");
  EXPECT_EQ(model->backendName(), "cpu");
  EXPECT_EQ(model->configuration().computeUnits, MLComputeUnits::cpuAndNeuralEngine);
  const auto& inputsByName = model->modelDescription().inputDescriptionsByName;
  ASSERT_EQ(inputsByName.count("x"), 1u);
  EXPECT_EQ(inputsByName.at("x").type, MLFeatureType::multiArray);
  EXPECT_EQ(inputsByName.at("x").multiArrayConstraint->shape, (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(
      model->modelDescription().outputDescriptionsByName.at("y").multiArrayConstraint->dataType,
      MLMultiArrayDataType::float32);
}

TEST(MLModelTest, PredictsAndConvertsInputTypes) {
  TemporaryFolder folder;
  writeAffineModel(folder.path(), affineManifest("[2, 3]", "Float16", "Float16"));
  const auto model = MLModel::load(folder.path());
  // A Float32 input for a Float16 model is converted, as on the platform.
  const auto outputs =
      model->prediction(inputs("x", sequence({2, 3}, MLMultiArrayDataType::float32, 0)));
  EXPECT_EQ(outputs->featureNames(), (std::set<std::string>{"y"}));
  const auto y = outputs->featureValue("y")->multiArrayValue();
  ASSERT_TRUE(y);
  EXPECT_EQ(y->dataType(), MLMultiArrayDataType::float16);
  // x = 0..5, weight [1, 2, -1], bias [0.5, 0, 10]
  EXPECT_EQ(y->toFloatVector(), (std::vector<float>{0.5f, 2.0f, 8.0f, 3.5f, 8.0f, 5.0f}));
  EXPECT_FALSE(outputs->featureValue("x"));
}

TEST(MLModelTest, RefusesBrokenFoldersWithTheirOwnErrors) {
  struct Case {
    const char* name;
    std::function<void(const std::filesystem::path&)> breakFolder;
    const char* expectedProblem;
  };
  const auto manifestWith = [](std::string from, std::string to) {
    return [from, to](const std::filesystem::path& folder) {
      std::string text = affineManifest();
      const auto at = text.find(from);
      ASSERT_NE(at, std::string::npos) << from;
      text.replace(at, from.size(), to);
      writeText(folder / "model.json", text);
    };
  };
  const std::vector<Case> cases{
      {"no model.json", [](const auto& f) { std::filesystem::remove(f / "model.json"); },
       "model.json: the file is missing"},
      {"not json", [](const auto& f) { writeText(f / "model.json", "{\"format\": "); },
       "not valid JSON"},
      {"wrong format", manifestWith("kestrune-model", "onnx"), "unknown format \"onnx\""},
      {"newer version", manifestWith("\"formatVersion\": 1", "\"formatVersion\": 2"),
       "formatVersion 2 is newer than this runtime reads (1)"},
      {"unknown kind", manifestWith("elementwise-affine", "transformer"),
       "unknown kind \"transformer\""},
      {"missing kind", manifestWith("\"kind\": \"elementwise-affine\",", ""),
       "the field \"kind\" is missing"},
      {"bad data type", manifestWith("\"Float32\"", "\"Float8\""), "unknown dataType \"Float8\""},
      {"bad shape", manifestWith("[2, 3]}]", "[2, 0]}]"), "not a positive integer"},
      {"no parameters", manifestWith("\"parameters\": {}", "\"other\": {}"),
       "the field \"parameters\" is missing"},
      {"shape mismatch",
       manifestWith("\"y\", \"dataType\": \"Float32\", \"shape\": [2, 3]",
                    "\"y\", \"dataType\": \"Float32\", \"shape\": [3, 3]"),
       "differs from the input shape"},
      {"no weights", [](const auto& f) { std::filesystem::remove(f / "weights.safetensors"); },
       "weights.safetensors: No such file"},
      {"truncated weights",
       [](const auto& f) { std::filesystem::resize_file(f / "weights.safetensors", 40); },
       "weights.safetensors"},
      {"wrong tensor shape",
       [](const auto& f) {
         writeSafeTensors(f / "weights.safetensors",
                          {{"weight", TensorDType::f32, {4}, {1, 1, 1, 1}},
                           {"bias", TensorDType::f32, {3}, {0, 0, 0}}});
       },
       "tensor \"weight\" has the shape [4], expected [3]"},
      {"missing tensor",
       [](const auto& f) {
         writeSafeTensors(f / "weights.safetensors",
                          {{"weight", TensorDType::f32, {3}, {1, 1, 1}}});
       },
       "no tensor \"bias\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TemporaryFolder folder;
    const auto path = folder.path() / "Broken.mlmodelc";
    writeAffineModel(path);
    c.breakFolder(path);
    try {
      MLModel::load(path);
      ADD_FAILURE() << "loaded";
    } catch (const PlatformMLError& error) {
      const std::string text = error.what();
      EXPECT_EQ(error.code(), PlatformMLError::Code::modelLoadFailed);
      EXPECT_EQ(text.rfind("Failed to load the model at " + path.string() + ": ", 0), 0u) << text;
      EXPECT_NE(text.find(c.expectedProblem), std::string::npos) << text;
    }
  }
  EXPECT_THROW(MLModel::load("/nonexistent/Model.mlmodelc"), PlatformMLError);
}

TEST(MLModelTest, RefusesBadInputs) {
  TemporaryFolder folder;
  writeAffineModel(folder.path());
  const auto model = MLModel::load(folder.path());
  const std::vector<std::pair<std::string, MLDictionaryFeatureProvider>> cases{
      {"the input \"x\" is missing",
       inputs("z", MLMultiArray({2, 3}, MLMultiArrayDataType::float32))},
      {"has the shape [3, 2], expected [2, 3]",
       inputs("x", MLMultiArray({3, 2}, MLMultiArrayDataType::float32))},
      {"is not a multi-array", MLDictionaryFeatureProvider({{"x", MLFeatureValue(int64_t{3})}})},
  };
  for (const auto& [problem, provider] : cases) {
    try {
      model->prediction(provider);
      ADD_FAILURE() << problem;
    } catch (const PlatformMLError& error) {
      EXPECT_EQ(error.code(), PlatformMLError::Code::predictionFailed);
      EXPECT_NE(std::string(error.what()).find(problem), std::string::npos) << error.what();
    }
  }
}

TEST(MLModelTest, ServesConcurrentPredictionsFromManyThreads) {
  TemporaryFolder folder;
  writeAffineModel(folder.path(), affineManifest("[4, 3]", "Float16", "Float32"));
  const auto model = MLModel::loadAsync(folder.path()).get();
  std::vector<std::thread> threads;
  std::atomic<int> wrong{0};
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int round = 0; round < 20; ++round) {
        const float start = static_cast<float>(t * 100 + round);
        auto provider = std::make_shared<MLDictionaryFeatureProvider>(
            inputs("x", sequence({4, 3}, MLMultiArrayDataType::float16, start)));
        const auto outputs = (round % 2 == 0) ? model->prediction(*provider)
                                              : model->predictionAsync(provider).get();
        const auto y = outputs->featureValue("y")->multiArrayValue()->toFloatVector();
        const float weight[3] = {1, 2, -1}, bias[3] = {0.5f, 0, 10};
        for (size_t i = 0; i < y.size(); ++i) {
          const float x = static_cast<float>(static_cast<Float16>(start + static_cast<float>(i)));
          if (y[i] != x * weight[i % 3] + bias[i % 3]) ++wrong;
        }
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(wrong.load(), 0);
}

TEST(MLModelTest, AsyncPredictionCarriesErrors) {
  TemporaryFolder folder;
  writeAffineModel(folder.path());
  const auto model = MLModel::load(folder.path());
  auto empty = std::make_shared<MLDictionaryFeatureProvider>(
      std::map<std::string, MLFeatureValue, std::less<>>{});
  auto future = model->predictionAsync(empty);
  EXPECT_THROW(future.get(), PlatformMLError);
}

}  // namespace
}  // namespace platform::ml
