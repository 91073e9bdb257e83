#include "Kestrune/Core/ModelVariant.hpp"

#include <gtest/gtest.h>

#include <sstream>

namespace {

using kestrune::ModelVariant;
namespace mv = kestrune::model_variant;

TEST(ModelVariant, CasesInOrderWithDescriptions) {
  struct Case {
    ModelVariant variant;
    const char* description;
    bool multilingual;
  };
  const Case cases[] = {
      {ModelVariant::tiny, "tiny", true},        {ModelVariant::tinyEn, "tiny.en", false},
      {ModelVariant::base, "base", true},        {ModelVariant::baseEn, "base.en", false},
      {ModelVariant::small, "small", true},      {ModelVariant::smallEn, "small.en", false},
      {ModelVariant::medium, "medium", true},    {ModelVariant::mediumEn, "medium.en", false},
      {ModelVariant::large, "large", true},      {ModelVariant::largev2, "large-v2", true},
      {ModelVariant::largev3, "large-v3", true},
  };
  ASSERT_EQ(mv::allCases.size(), std::size(cases));
  for (size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].description);
    EXPECT_EQ(mv::allCases[i], cases[i].variant);
    EXPECT_EQ(mv::description(cases[i].variant), cases[i].description);
    EXPECT_EQ(mv::isMultilingual(cases[i].variant), cases[i].multilingual);
    EXPECT_EQ(mv::fromDescription(cases[i].description), cases[i].variant);
    std::ostringstream text;
    text << cases[i].variant;
    EXPECT_EQ(text.str(), cases[i].description);
  }
  EXPECT_EQ(mv::fromDescription("large-v3-v20240930"), std::nullopt);
  EXPECT_EQ(mv::fromDescription("Tiny"), std::nullopt);
}

}  // namespace
