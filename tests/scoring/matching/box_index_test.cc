#include "scoring/matching/box_index.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "scoring/matching/touching_pairs.h"
#include "tests/test_support.h"

namespace {

using talmira_test::box;

bool touches(const QuorTarget& a, const QuorTarget& b) {
  return a.minX <= b.maxX && a.maxX >= b.minX && a.minY <= b.maxY && a.maxY >= b.minY;
}

// Random boxes of a few kinds: spread over a frame, piled on a few spots
// (many in one cell), of every size from a point to most of the plane, and
// near the ends of the 32-bit range.
std::vector<QuorTarget> randomBoxes(std::mt19937& random, int count) {
  auto pick = [&](int64_t lo, int64_t hi) {
    return std::uniform_int_distribution<int64_t>(lo, hi)(random);
  };
  const int kind = static_cast<int>(pick(0, 3));
  std::vector<QuorTarget> boxes;
  for (int k = 0; k < count; ++k) {
    int64_t x = 0, y = 0, w = 0, h = 0;
    switch (kind) {
      case 0:  // a frame of small boxes
        x = pick(0, 4000), y = pick(0, 3000), w = pick(0, 60), h = pick(0, 60);
        break;
      case 1:  // a few spots, boxes on top of each other
        x = 100 * pick(0, 3) + pick(0, 2), y = 100 * pick(0, 3) + pick(0, 2), w = pick(10, 30),
        h = pick(10, 30);
        break;
      case 2:  // sizes over many levels
        x = pick(-100000, 100000), y = pick(-100000, 100000), w = int64_t{1} << pick(0, 20),
        h = pick(0, 1) == 0 ? w : pick(0, 1000);
        break;
      default:  // the ends of the range
        x = pick(0, 1) == 0 ? std::numeric_limits<int32_t>::min() + pick(0, 50)
                            : std::numeric_limits<int32_t>::max() - pick(0, 50) - 60;
        y = pick(-50, 50), w = pick(0, 60), h = pick(0, 60);
        break;
    }
    boxes.push_back(box(static_cast<int32_t>(x), static_cast<int32_t>(y),
                        static_cast<int32_t>(x + w), static_cast<int32_t>(y + h)));
  }
  return boxes;
}

std::vector<const QuorTarget*> pointersTo(const std::vector<QuorTarget>& boxes) {
  std::vector<const QuorTarget*> pointers;
  for (const QuorTarget& b : boxes) pointers.push_back(&b);
  return pointers;
}

}  // namespace

// Both ways of building the index find, for any query and band of levels,
// exactly the indexed boxes of those levels whose rectangles touch the
// query's, each once; and the touching-pair finder hands over every touching
// pair of a frame, small or large.
TEST(BoxIndexTest, FindsExactlyTheTouchingBoxesOnRandomFrames) {
  std::mt19937 random(8128);
  BoxIndex sorted, counted;
  TouchingPairs pairs;
  for (int round = 0; round < 300; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    const int count = std::uniform_int_distribution<int>(0, round % 3 == 0 ? 1500 : 60)(random);
    const std::vector<QuorTarget> boxes = randomBoxes(random, count);
    const std::vector<QuorTarget> queries = randomBoxes(random, 40);
    const std::vector<const QuorTarget*> indexed = pointersTo(boxes);
    sorted.build(indexed);
    counted.buildByCounting(indexed);
    for (const QuorTarget& query : queries) {
      const int level = BoxIndex::levelOf(query);
      const int reach = static_cast<int>(random() % 4);
      std::vector<int> expected(boxes.size(), 0);
      for (std::size_t at = 0; at < boxes.size(); ++at) {
        const int boxLevel = BoxIndex::levelOf(boxes[at]);
        expected[at] =
            touches(query, boxes[at]) && boxLevel >= level - reach && boxLevel <= level + reach;
      }
      for (const BoxIndex* index : {&sorted, &counted}) {
        std::vector<int> seen(boxes.size(), 0);
        index->forEachTouching(query, level - reach, level + reach,
                               [&](int32_t at) { ++seen[static_cast<std::size_t>(at)]; });
        ASSERT_EQ(seen, expected) << (index == &sorted ? "build" : "buildByCounting");
      }
    }

    // Every touching pair of the queries (as truths) and the boxes whose
    // sizes let it pass at the threshold, once.
    const std::vector<const QuorTarget*> truths = pointersTo(queries);
    const float threshold = round % 2 == 0 ? 0.01f : 0.5f;
    const int reach = BoxIndex::levelReach(threshold);
    std::vector<std::vector<int>> seen(truths.size(), std::vector<int>(boxes.size(), 0));
    pairs.forEach(truths, indexed, threshold,
                  [&](std::size_t r, int32_t c) { ++seen[r][static_cast<std::size_t>(c)]; });
    for (std::size_t r = 0; r < truths.size(); ++r) {
      for (std::size_t c = 0; c < boxes.size(); ++c) {
        const int apart = std::abs(BoxIndex::levelOf(queries[r]) - BoxIndex::levelOf(boxes[c]));
        if (touches(queries[r], boxes[c]) && apart <= reach) {
          ASSERT_EQ(seen[r][c], 1) << r << " " << c;
        } else {
          ASSERT_LE(seen[r][c], 1) << r << " " << c;
        }
      }
    }
  }
}
