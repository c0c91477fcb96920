#include "driver/quor_result.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>

#include "driver/class_run.h"

namespace {

QuorResult counts(int32_t gt, int32_t fn, int32_t fp) {
  return QuorResult("All", 0, gt, fn, fp, 1);
}

TEST(QuorResultTest, NmodtaValues) {
  QuorResult r = counts(10, 2, 1);  // 1 - 3/10
  EXPECT_EQ(r.computeNmodta(), 0.7f);
  EXPECT_EQ(formatResultLine("All", r, r.computeNmodta()), "All, 10, 0, 2, 1, 1, 0.700000\r\n");
  r = counts(3, 1, 0);  // 1 - 1/3
  EXPECT_EQ(formatConsoleCounts(r, r.computeNmodta()),
            "GT#: 3, Det#: 0, FN#: 1, FP#: 0, Frames#: 1, NMODTA: 0.666667\r\n");
  r = counts(4, 4, 4);  // 1 - 8/4
  EXPECT_EQ(r.computeNmodta(), -1.0f);
}

TEST(QuorResultTest, NoTruthAndNoFalseAlarmIsPerfectAndStoresNothing) {
  QuorResult r = counts(0, 5, 0);
  r.nmodta = 42.0f;
  EXPECT_EQ(r.computeNmodta(), 1.0f);
  EXPECT_EQ(r.nmodta, 42.0f);
}

TEST(QuorResultTest, FloorKeepsTheStoredValue) {
  QuorResult r = counts(0, 0, 3);  // 3 / 0 is +infinity
  EXPECT_EQ(r.computeNmodta(), nmodtaFloor);
  EXPECT_TRUE(std::isinf(r.nmodta) && r.nmodta < 0);
  r = counts(1, 0, 200000);
  EXPECT_EQ(r.computeNmodta(), -100000.0f);
  EXPECT_EQ(r.nmodta, -199999.0f);
  // The largest counts do not overflow their sum.
  r = counts(1, 2147483647, 2147483647);
  EXPECT_EQ(r.computeNmodta(), nmodtaFloor);
  EXPECT_EQ(r.nmodta, static_cast<float>(1.0 - 4294967294.0));
}

TEST(QuorResultTest, ConstructionAndAssignment) {
  const QuorResult empty;
  EXPECT_STREQ(empty.className, "N/A");
  EXPECT_EQ(empty.numDet + empty.numGT + empty.numFN + empty.numFP + empty.numFrames, 0);

  QuorResult source("Car", 1, 2, 3, 4, 5);
  std::memset(source.className + 4, 'x', sizeof source.className - 4);  // bytes behind the NUL
  QuorResult target;
  target = source;
  EXPECT_EQ(std::memcmp(target.className, source.className, sizeof source.className), 0);
  EXPECT_EQ(std::string(target.className), "Car");
  EXPECT_EQ(target.numDet, 1);
  EXPECT_EQ(target.numFrames, 5);
}

}  // namespace
