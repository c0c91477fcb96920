// A sweep's CSV against the same rows written one by one with printf: long
// curves are written in two halves at once, and the halves must join into
// exactly the rows in order, wherever the split falls.
#include "talmira/writers/sweep_report.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <random>
#include <string>

namespace {

std::string plainCsv(const talmira::SweepReport& report) {
  std::string text = "class,threshold,gt,det,fn,fp,nmodta,precision,recall\n";
  char line[512];
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    for (const CurvePoint& p : report.rows()[slot].points) {
      std::snprintf(line, sizeof line, "%s,%.9g,%lld,%lld,%lld,%lld,%.6f,%.6f,",
                    evaluationClasses[slot], static_cast<double>(p.threshold),
                    static_cast<long long>(p.gt), static_cast<long long>(p.det),
                    static_cast<long long>(p.fn), static_cast<long long>(p.fp),
                    static_cast<double>(p.nmodta()), precisionOf(p));
      text += line;
      if (const std::optional<double> recall = recallOf(p)) {
        std::snprintf(line, sizeof line, "%.6f", *recall);
        text += line;
      }
      text += '\n';
    }
  }
  return text;
}

TEST(SweepReportTest, CsvIsTheRowsWrittenOneByOneWhereverTheHalvesMeet) {
  std::mt19937 random(29);
  const auto pick = [&](int64_t low, int64_t high) {
    return std::uniform_int_distribution<int64_t>(low, high)(random);
  };
  for (int round = 0; round < 16; ++round) {
    SCOPED_TRACE(testing::Message() << "round " << round);
    talmira::SweepReport report;
    report.exact.resize(kClassCount);
    report.sampled.resize(kClassCount);
    report.listExact = round % 4 != 3;
    SweepCurves& curves = report.listExact ? report.exact : report.sampled;
    // Empty classes, a row or two, and thousands: totals on both sides of
    // the size written in two, halves meeting inside a class or between two.
    const int64_t most = round < 4 ? 600 : 4000;
    for (ClassCurve& curve : curves) {
      const int64_t rows = pick(0, 3) == 0 ? pick(0, 2) : pick(0, most);
      for (int64_t k = 0; k < rows; ++k) {
        CurvePoint p;
        p.threshold = std::uniform_real_distribution<float>(0.0f, 1.0f)(random);
        p.gt = pick(0, 3) == 0 ? 0 : pick(1, 2000000);
        p.fn = pick(0, p.gt);
        p.det = pick(0, 5) == 0 ? 0 : pick(1, 2000000);
        p.fp = pick(0, p.det);
        curve.points.push_back(p);
      }
    }
    EXPECT_EQ(talmira::renderSweepCsv(report), plainCsv(report));
  }
}

}  // namespace
