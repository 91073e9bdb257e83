#include "Platform/ML/SafeTensors.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "Platform/ML/PlatformMLError.hpp"
#include "tests/Platform/ML/TestModelFolder.hpp"

namespace platform::ml {
namespace {

using testing::TemporaryFolder;

std::string littleEndian(uint64_t value) {
  std::string bytes(8, '\0');
  for (int i = 0; i < 8; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return bytes;
}

// A file with the given JSON header and `dataBytes` zero bytes of data.
std::string rawFile(const std::string& header, size_t dataBytes) {
  return littleEndian(header.size()) + header + std::string(dataBytes, '\0');
}

TEST(SafeTensorsTest, RoundTripsEveryDtype) {
  TemporaryFolder folder;
  const auto file = folder.path() / "w.safetensors";
  const std::vector<float> values{0.0f, -10000.0f, 0.15625f, 3.0f, -2.5f, 1e-3f};
  writeSafeTensors(file,
                   {{"half", TensorDType::f16, {2, 3}, values},
                    {"brain", TensorDType::bf16, {6}, values},
                    {"single", TensorDType::f32, {3, 2}, values},
                    {"empty", TensorDType::f32, {0}, {}}},
                   {{"format", "pt"}});
  const auto tensors = SafeTensors::open(file);
  EXPECT_EQ(tensors->metadata().at("format"), "pt");
  EXPECT_EQ(tensors->tensors().size(), 4u);
  EXPECT_EQ(tensors->tensor("half").shape, (std::vector<int64_t>{2, 3}));
  EXPECT_EQ(tensors->floats("single"), values);
  const auto halves = tensors->floats("half");
  const auto brains = tensors->floats("brain");
  for (size_t i = 0; i < values.size(); ++i) {
    EXPECT_NEAR(halves[i], values[i], std::fabs(values[i]) * 1e-3f);
    EXPECT_NEAR(brains[i], values[i], std::fabs(values[i]) * 8e-3f);
  }
  EXPECT_EQ(tensors->bytes(tensors->tensor("brain")).size(), 12u);
  EXPECT_TRUE(tensors->floats("empty").empty());
  EXPECT_EQ(tensors->find("missing"), nullptr);
  EXPECT_THROW(tensors->tensor("missing"), PlatformMLError);
}

TEST(SafeTensorsTest, RefusesTruncatedOrLyingFiles) {
  struct Case {
    const char* name;
    std::string content;
    const char* expectedProblem;
  };
  const std::string good = R"({"t": {"dtype": "F32", "shape": [2], "data_offsets": [0, 8]}})";
  const std::vector<Case> cases{
      {"short", "abc", "too short"},
      {"header past end", littleEndian(4096) + "{}", "exceeds the file"},
      {"huge header", littleEndian(~uint64_t{0}) + "{}", "exceeds the file"},
      {"not json", rawFile("{\"t\": ", 0), "not valid JSON"},
      {"not object", rawFile("[1, 2]", 0), "not a JSON object"},
      {"truncated data", rawFile(good, 4), "lie outside"},
      {"unsupported dtype",
       rawFile(R"({"t": {"dtype": "I64", "shape": [1], "data_offsets": [0, 8]}})", 8),
       "unsupported dtype I64"},
      {"size mismatch",
       rawFile(R"({"t": {"dtype": "F16", "shape": [3], "data_offsets": [0, 8]}})", 8),
       "holds 8 bytes but its shape needs 6"},
      {"reversed offsets",
       rawFile(R"({"t": {"dtype": "F32", "shape": [0], "data_offsets": [8, 0]}})", 8),
       "lie outside"},
      {"negative dimension",
       rawFile(R"({"t": {"dtype": "F32", "shape": [-2], "data_offsets": [0, 8]}})", 8),
       "not a non-negative integer"},
      {"overflowing shape",
       rawFile(
           R"({"t": {"dtype": "F32", "shape": [4294967296, 4294967296], "data_offsets": [0, 8]}})",
           8),
       "too large"},
      {"missing offsets", rawFile(R"({"t": {"dtype": "F32", "shape": [2]}})", 8),
       "data_offsets is not a pair"},
      {"overlap",
       rawFile(R"({"a": {"dtype": "F32", "shape": [2], "data_offsets": [0, 8]},
                   "b": {"dtype": "F32", "shape": [2], "data_offsets": [4, 12]}})",
               12),
       "share data bytes"},
      {"bad metadata", rawFile(R"({"__metadata__": {"k": 1}})", 0), "is not a string"},
  };
  TemporaryFolder folder;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto file = folder.path() / "broken.safetensors";
    testing::writeText(file, c.content);
    try {
      SafeTensors::open(file);
      ADD_FAILURE() << "opened";
    } catch (const PlatformMLError& error) {
      EXPECT_EQ(error.code(), PlatformMLError::Code::modelLoadFailed);
      EXPECT_NE(std::string(error.what()).find(c.expectedProblem), std::string::npos)
          << error.what();
      EXPECT_NE(std::string(error.what()).find(file.string()), std::string::npos);
    }
  }
  EXPECT_THROW(SafeTensors::open(folder.path() / "absent.safetensors"), PlatformMLError);
  EXPECT_THROW(SafeTensors::open(folder.path()), PlatformMLError);
}

TEST(SafeTensorsTest, ReadsUnalignedData) {
  TemporaryFolder folder;
  // A 3-byte header leaves the data section on an odd address.
  std::string content = rawFile(R"({})", 0);
  const std::string header = R"({"t":{"dtype":"F32","shape":[2],"data_offsets":[0,8]}})";
  ASSERT_NE(header.size() % 4, 0u);
  float values[2] = {1.5f, -2.0f};
  content = littleEndian(header.size()) + header +
            std::string(reinterpret_cast<const char*>(values), sizeof values);
  const auto file = folder.path() / "odd.safetensors";
  testing::writeText(file, content);
  EXPECT_EQ(SafeTensors::open(file)->floats("t"), (std::vector<float>{1.5f, -2.0f}));
}

}  // namespace
}  // namespace platform::ml
