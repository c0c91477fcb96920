#include "annotation/selection.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/test_support.h"

using talmira_test::box;

namespace {

// A source of two frames: frame 4 holds a car, a truck, a lower-case "car"
// and a region; frame 9 holds only a region.
class SelectionTest : public testing::Test {
 protected:
  SelectionTest() {
    QuorFrame& first = source_.frames.emplace_back(4);
    first.targets = {add(box(0, 0, 40, 40, "Car", 0.5f)), add(box(0, 0, 40, 40, "Truck", 0.7f)),
                     add(box(0, 0, 40, 40, "car", 0.9f))};
    first.regions = {add(box(0, 0, 99, 99, "DCR", 0.0f))};
    QuorFrame& second = source_.frames.emplace_back(9);
    second.regions = {add(box(5, 5, 50, 50, "DCR", 0.0f))};
  }
  const QuorTarget* add(const QuorTarget& t) { return source_.targetStore.add(t); }

  QuorSequence source_;
};

TEST_F(SelectionTest, KeepsEveryFrameAndRegionAndSharesTargets) {
  source_.confidenceThreshold = 0.0f;
  const auto all = selectTargets(source_, "All");
  ASSERT_EQ(all->frames.size(), 2u);
  EXPECT_EQ(all->frames[0].frameNumber, 4u);
  EXPECT_EQ(all->frames[1].frameNumber, 9u);
  EXPECT_EQ(all->frames[0].targets, source_.frames[0].targets);  // same pointers, same order
  EXPECT_EQ(all->frames[0].regions, source_.frames[0].regions);
  EXPECT_EQ(all->frames[1].regions, source_.frames[1].regions);
  EXPECT_TRUE(all->frames[1].targets.empty());
  EXPECT_EQ(all->confidenceThreshold, 0.2f);  // a selection starts with its own defaults
  EXPECT_EQ(all->targetStore.size(), 0u);
}

TEST_F(SelectionTest, ClassNamesAreExactAndAbsentClassesGiveEmptyFrames) {
  source_.confidenceThreshold = 0.0f;
  const auto cars = selectTargets(source_, "Car");
  ASSERT_EQ(cars->frames[0].targets.size(), 1u);
  EXPECT_STREQ(cars->frames[0].targets[0]->className(), "Car");
  const auto boats = selectTargets(source_, "Boat");
  ASSERT_EQ(boats->frames.size(), 2u);
  EXPECT_TRUE(boats->frames[0].targets.empty());
  EXPECT_EQ(boats->frames[0].regions.size(), 1u);
}

TEST_F(SelectionTest, ConfidenceEqualToTheThresholdIsSelected) {
  source_.confidenceThreshold = 0.7f;
  const auto all = selectTargets(source_, "All");
  ASSERT_EQ(all->frames[0].targets.size(), 2u);
  EXPECT_STREQ(all->frames[0].targets[0]->className(), "Truck");
  source_.confidenceThreshold = 0.70000005f;
  EXPECT_EQ(selectTargets(source_, "All")->frames[0].targets.size(), 1u);
}

TEST(SelectionEmptyTest, EmptySourceGivesEmptySelection) {
  QuorSequence empty;
  EXPECT_TRUE(selectTargets(empty, "All")->frames.empty());
}

}  // namespace
