#include "annotation/quor_records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
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

TEST(QuorRecordsTest, SideProductIsTheProductOfTheTwoSideLengths) {
  std::mt19937 random(5);
  constexpr int32_t kLow = std::numeric_limits<int32_t>::min();
  constexpr int32_t kHigh = std::numeric_limits<int32_t>::max();
  std::uniform_int_distribution<int32_t> any(kLow, kHigh);
  std::uniform_int_distribution<int32_t> near(-3000, 3000);
  const std::vector<int32_t> edges = {kLow, kLow + 1, -1, 0, 1, kHigh - 1, kHigh};
  std::uniform_int_distribution<std::size_t> edge(0, edges.size() - 1);
  for (int k = 0; k < 200000; ++k) {
    std::array<int32_t, 6> c;
    for (int32_t& value : c) {
      const int kind = k % 3;
      value = kind == 0 ? near(random) : kind == 1 ? any(random) : edges[edge(random)];
    }
    const double expected = sideLength(c[0], c[1], c[2], c[3]) * sideLength(c[2], c[3], c[4], c[5]);
    const double got = sideProduct(c[0], c[1], c[2], c[3], c[4], c[5]);
    ASSERT_EQ(std::memcmp(&expected, &got, sizeof got), 0)
        << c[0] << "," << c[1] << " " << c[2] << "," << c[3] << " " << c[4] << "," << c[5];
  }
}

TEST(QuorRecordsTest, AClearedSequenceLendsItsFramesListsToTheNextFilling) {
  QuorSequence sequence;
  const QuorTarget box = makeTarget(0, 0, 10, 0, 10, 10, 0, 10, "Car", false, 1.0f, false);
  const std::vector<const QuorTarget*> twenty(20, &box), eight(8, &box), hundred(100, &box);
  sequence.frames.emplace_back(1).targets = sequence.newList(twenty);
  sequence.frames.emplace_back(2).targets = sequence.newList(hundred);
  const QuorTarget* const* const small = sequence.frames[0].targets.data();
  const QuorTarget* const* const large = sequence.frames[1].targets.data();
  sequence.clear();
  EXPECT_TRUE(sequence.frames.empty());
  // The last frame's list goes first: 100 places for 80 items is kept...
  const std::vector<const QuorTarget*> eighty(80, &box);
  std::vector<const QuorTarget*> first = sequence.newList(eighty);
  EXPECT_EQ(first.data(), large);
  EXPECT_EQ(first, eighty);
  // ...but 20 places hold 8 only within the slack, and an empty list takes none.
  EXPECT_TRUE(sequence.newList({}).empty());
  std::vector<const QuorTarget*> second = sequence.newList(eight);
  EXPECT_EQ(second.data(), small);
  EXPECT_EQ(second, eight);
  // Nothing is left to lend: a new list is made.
  EXPECT_EQ(sequence.newList(twenty), twenty);
  // A kept list far larger than needed is freed, not lent.
  sequence.frames.emplace_back(3).targets = std::move(first);
  sequence.clear();
  const std::vector<const QuorTarget*> two(2, &box);
  const std::vector<const QuorTarget*> tiny = sequence.newList(two);
  EXPECT_EQ(tiny.capacity(), two.size());
  EXPECT_EQ(tiny, two);
}

}  // namespace
