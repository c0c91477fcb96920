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

namespace {

std::string written(char* (*write)(float, char*, char*), float value) {
  char text[talmira::kNumberTextRoom];
  return std::string(text, write(value, text, text + sizeof text));
}
std::string written(char* (*write)(double, char*, char*), double value) {
  char text[talmira::kNumberTextRoom];
  return std::string(text, write(value, text, text + sizeof text));
}

// The CSV's own writers, rounding exact values in integers, against printf:
// every threshold a file of this format can hold (ten-thousandths), the
// floats around the edges of the range written without an exponent,
// values at and beside halves of the last digit, and any bit pattern.
TEST(NumberTextTest, CsvNumberWritersAreWhatPrintfWrites) {
  const unsigned seed = 1618;
  std::mt19937_64 random(seed);
  SCOPED_TRACE(testing::Message() << "seed " << seed);
  for (int k = 0; k <= 10000; ++k) {
    const float threshold = static_cast<float>(k) / 10000.0f;
    ASSERT_EQ(written(talmira::thresholdChars, threshold),
              printed("%.9g", static_cast<double>(threshold)))
        << k;
  }
  const float edges[] = {0.0f,
                         -0.0f,
                         1.0f,
                         0.1f,
                         0.01f,
                         0.001f,
                         0.0001f,
                         0.00001f,
                         0.5f,
                         2.0f,
                         -0.5f,
                         1e-45f,
                         1e-38f,
                         3.4e38f,
                         -3.4e38f,
                         0.999999f,
                         0.125f,
                         0.375f,
                         1023.0f / 1024.0f,
                         0.0999999f,
                         0.00999999f};
  for (const float edge : edges) {
    // 32 steps up from the edge, then 32 down from it.
    float value = edge;
    for (int k = 0; k < 64; ++k) {
      for (const float near : {value, -value}) {
        EXPECT_EQ(written(talmira::thresholdChars, near),
                  printed("%.9g", static_cast<double>(near)))
            << near;
        EXPECT_EQ(written(talmira::fixedSixChars, static_cast<double>(near)),
                  printed("%f", static_cast<double>(near)))
            << near;
      }
      value = std::nextafter(value, k < 32 ? 2.0f : -2.0f);
      if (k == 31) value = std::nextafter(edge, -2.0f);
    }
  }
  const double specials[] = {0.0,
                             -0.0,
                             1.0,
                             0.0000005,
                             -0.0000005,
                             0.0000015,
                             0.0000025,
                             0.9999995,
                             4294967295.9999995,
                             4294967296.0,
                             -4294967296.0,
                             1e300,
                             std::numeric_limits<double>::denorm_min(),
                             -std::numeric_limits<double>::denorm_min(),
                             std::numeric_limits<double>::min(),
                             std::numeric_limits<double>::max(),
                             -std::numeric_limits<double>::max(),
                             std::numeric_limits<double>::infinity(),
                             -std::numeric_limits<double>::infinity()};
  for (const double special : specials) {
    for (const double value : {special, std::nextafter(special, 0.0),
                               std::nextafter(special, std::numeric_limits<double>::max())}) {
      EXPECT_EQ(written(talmira::fixedSixChars, value), printed("%f", value)) << value;
    }
  }
  for (int k = 0; k < 300000; ++k) {
    double value = 0.0;
    switch (k % 5) {
      case 0:  // a ratio of counts, as precision and recall are
        value = static_cast<double>(random() % 100000) / static_cast<double>(1 + random() % 100000);
        break;
      case 1:  // a half of the sixth decimal, as near as a double gets
        value = (static_cast<double>(random() % 20000000) + 0.5) / 1e6;
        break;
      case 2:  // exact halves: odd multiples of 2^-7 have seven decimals
        value = std::ldexp(static_cast<double>(2 * (random() % (1u << 20)) + 1), -7);
        break;
      case 3:  // an NMODTA: a float, negative beyond -1 too
        value = static_cast<double>(
            static_cast<float>((static_cast<double>(random() % 2000001) - 1000000.0) /
                               static_cast<double>(1 + random() % 100000)));
        break;
      default: {
        const uint64_t bits = random();
        std::memcpy(&value, &bits, sizeof value);
        if (std::isnan(value)) value = 0.25;  // no count gives one
      }
    }
    if (random() % 2 == 0) value = -value;
    ASSERT_EQ(written(talmira::fixedSixChars, value), printed("%f", value)) << value;
    uint32_t floatBits = static_cast<uint32_t>(random());
    if (k % 2 == 0) floatBits = (floatBits & 0x3fffffffu) | 0x38000000u;  // 2^-15 to below 2
    float threshold = 0.0f;
    std::memcpy(&threshold, &floatBits, sizeof threshold);
    if (std::isnan(threshold)) threshold = 0.75f;
    ASSERT_EQ(written(talmira::thresholdChars, threshold),
              printed("%.9g", static_cast<double>(threshold)))
        << threshold;
  }
}

}  // namespace
