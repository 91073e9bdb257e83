#include "OrvaneCore/Progress.hpp"

#include <gtest/gtest.h>

namespace {

using orvane::Progress;

// A parent of one unit whose single child is half done must read one half,
// not zero: the child's share is fractional until it finishes.
TEST(ProgressTest, ChildrensPartialSharesReachTheParentsFraction) {
  const auto parent = Progress::make(1);
  const auto child = Progress::make(100);
  parent->addChild(child, 1);

  child->setCompletedUnitCount(50);
  EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 0.5);
  EXPECT_EQ(parent->completedUnitCount(), 0);
  EXPECT_FALSE(parent->isFinished());

  child->setCompletedUnitCount(100);
  EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 1.0);
  EXPECT_TRUE(parent->isFinished());
}

TEST(ProgressTest, OwnUnitsAndSeveralChildrenAddUpAndCapAtOne) {
  const auto parent = Progress::make(4);
  parent->setCompletedUnitCount(1);
  const auto first = Progress::make(10);
  const auto second = Progress::make(10);
  parent->addChild(first, 2);
  parent->addChild(second, 1);

  first->setCompletedUnitCount(5);   // one unit of the parent
  second->setCompletedUnitCount(5);  // half a unit
  EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 2.5 / 4);
  EXPECT_EQ(parent->completedUnitCount(), 2);

  first->setCompletedUnitCount(40);  // overshoot is capped
  second->setCompletedUnitCount(10);
  EXPECT_DOUBLE_EQ(parent->fractionCompleted(), 1.0);
  EXPECT_DOUBLE_EQ(Progress::make(0)->fractionCompleted(), 0.0);
}

}  // namespace
