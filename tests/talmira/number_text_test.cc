// The numbers the outputs print, against printf itself: the fast writers
// must give printf's very digits.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "talmira/cli_common.h"
#include "talmira/writers/sweep_report.h"

namespace {

std::string printed(const char* format, double value) {
  char text[512];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

TEST(NumberTextTest, FixedSixAndThresholdsAreWhatPrintfWrites) {
  const unsigned seed = 2718;
  std::mt19937_64 random(seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  const double special[] = {0.0,
                            -0.0,
                            1.0,
                            0.5,
                            0.0000005,
                            0.0000015,
                            0.0000025,
                            1.0 - 1e-7,
                            -100000.0,
                            0.8333333134651184,
                            1e300,
                            -1e300,
                            std::numeric_limits<double>::denorm_min(),
                            std::numeric_limits<double>::max(),
                            std::numeric_limits<double>::infinity(),
                            -std::numeric_limits<double>::infinity()};
  for (const double value : special) {
    EXPECT_EQ(talmira::fixedSix(value), printed("%f", value)) << value;
    EXPECT_EQ(talmira::fixedSix(static_cast<float>(value)),
              printed("%f", static_cast<double>(static_cast<float>(value))));
  }
  for (int k = 0; k < 200000; ++k) {
    // Ratios of counts, halves at the sixth decimal, and any bit pattern.
    double value;
    switch (k % 3) {
      case 0:
        value = static_cast<double>(random() % 100000) / static_cast<double>(1 + random() % 100000);
        break;
      case 1:
        value = (static_cast<double>(random() % 2000000) + 0.5) / 1e6;
        break;
      default: {
        const uint64_t bits = random();
        std::memcpy(&value, &bits, sizeof value);
        if (std::isnan(value)) value = 0.25;
      }
    }
    ASSERT_EQ(talmira::fixedSix(value), printed("%f", value)) << value;
    const auto threshold = static_cast<float>(value);
    ASSERT_EQ(talmira::thresholdText(threshold), printed("%.9g", static_cast<double>(threshold)))
        << threshold;
  }
}

}  // namespace
