#include "annotation/quor_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

namespace {

TEST(QuorRecordsTest, ConstructionValues) {
  const QuorSequence sequence;
  EXPECT_TRUE(sequence.frames.empty());
  EXPECT_EQ(sequence.gtTotal + sequence.detTotal + sequence.fpTotal + sequence.fnTotal, 0);
  EXPECT_FALSE(sequence.keepMarkA || sequence.keepMarkB);
  EXPECT_EQ(sequence.confidenceThreshold, 0.2f);
  const QuorFrame frame(7);
  EXPECT_EQ(frame.frameNumber, 7u);
  EXPECT_TRUE(frame.targets.empty() && frame.regions.empty());
  EXPECT_EQ(frame.gtExcluded + frame.detExcluded, 0);
  EXPECT_EQ(frame.overlapThreshold, 0.2f);
}

TEST(QuorRecordsTest, BoundingRectangleIgnoresCornerOrderAndKeepsSigns) {
  const QuorTarget a = makeTarget(10, 20, 40, 20, 40, 60, 10, 60, "Car", false, 1.0f, false);
  const QuorTarget b = makeTarget(40, 60, 10, 20, 10, 60, 40, 20, "Car", false, 1.0f, false);
  for (const QuorTarget& t : {a, b}) {
    EXPECT_EQ(t.minX, 10);
    EXPECT_EQ(t.maxX, 40);
    EXPECT_EQ(t.minY, 20);
    EXPECT_EQ(t.maxY, 60);
  }
  const QuorTarget negative = makeTarget(-5, 7, 40, 7, 40, 60, 0, 60, "Car", true, 0.5f, false);
  EXPECT_EQ(negative.minX, -5);
  EXPECT_TRUE(negative.markB);
  EXPECT_FALSE(negative.markA);
  EXPECT_EQ(negative.confidence, 0.5f);
}

TEST(QuorRecordsTest, ClassNamesRoundTripAndCompareExactly) {
  for (const std::string_view known : knownClasses) {
    const QuorTarget t = makeTarget(0, 0, 0, 0, 0, 0, 0, 0, known, false, 1.0f, false);
    EXPECT_EQ(t.name(), known);
  }
  EXPECT_EQ(classCodeOf("Car"), 0);
  EXPECT_EQ(classCodeOf("DCR"), knownClasses.size());
  // Other names get codes of their own, the same each time, case-sensitive.
  const uint16_t lower = classCodeOf("car-records-test");
  EXPECT_EQ(classCodeOf("car-records-test"), lower);
  EXPECT_NE(classCodeOf("Car-records-test"), lower);
  EXPECT_STREQ(classNameOf(lower), "car-records-test");
  EXPECT_EQ(findClassCode("never-seen-by-records-test"), -1);
  const std::string longName(200, 'x');
  EXPECT_EQ(classNameOf(classCodeOf(longName)), longName);
}

TEST(QuorRecordsTest, StoredTargetsKeepTheirAddresses) {
  TargetStore store;
  std::vector<const QuorTarget*> added;
  // Enough targets to fill several chunks.
  for (int32_t i = 0; i < 200000; ++i) {
    added.push_back(
        store.add(makeTarget(i, 0, i + 40, 0, i + 40, 40, i, 40, "Bus", false, 1.0f, false)));
  }
  EXPECT_EQ(store.size(), added.size());
  for (int32_t i = 0; i < 200000; i += 997) {
    EXPECT_EQ(added[static_cast<std::size_t>(i)]->minX, i);
    EXPECT_STREQ(added[static_cast<std::size_t>(i)]->className(), "Bus");
  }
  // Cleared, the store fills the same memory again, chunk after chunk, and
  // past it once the new targets outnumber the old.
  store.clear();
  EXPECT_EQ(store.size(), 0u);
  std::vector<const QuorTarget*> again;
  for (int32_t i = 0; i < 300000; ++i) {
    again.push_back(
        store.add(makeTarget(-i, 0, 40 - i, 0, 40 - i, 40, -i, 40, "Car", false, 0.5f, false)));
  }
  EXPECT_EQ(store.size(), again.size());
  EXPECT_TRUE(std::equal(added.begin(), added.end(), again.begin()));
  EXPECT_EQ(std::set<const QuorTarget*>(again.begin(), again.end()).size(), again.size());
  for (int32_t i = 0; i < 300000; i += 997) {
    EXPECT_EQ(again[static_cast<std::size_t>(i)]->minX, -i);
    EXPECT_STREQ(again[static_cast<std::size_t>(i)]->className(), "Car");
  }
}

}  // namespace
