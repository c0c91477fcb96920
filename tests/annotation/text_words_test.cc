#include "annotation/text_words.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cstdint>
#include <random>
#include <string>
#include <string_view>

namespace {

// The value std::from_chars gives the whole of `text`, as bits; false when
// it does not read all of it.
bool fromCharsBits(std::string_view text, uint32_t* bits) {
  float value = 0.0f;
  const auto [end, status] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (status != std::errc{} || end != text.data() + text.size()) return false;
  *bits = std::bit_cast<uint32_t>(value);
  return true;
}

// Whether `text` is what the short decimal takes: one to seven digits and at
// most one point, anywhere among them.
bool isShortDecimal(std::string_view text) {
  std::size_t digits = 0, points = 0;
  for (const char c : text) {
    if (c >= '0' && c <= '9') {
      ++digits;
    } else if (c == '.') {
      ++points;
    } else {
      return false;
    }
  }
  return digits >= 1 && digits <= 7 && points <= 1;
}

// Reads `text` where bytes follow it, as in a line buffer: the parse loads
// eight bytes whatever the length. The bytes behind are digits and points,
// which must not be taken for part of it.
class Reading {
 public:
  // Checks one text: taken exactly when it is a short decimal, and then to
  // the bit the float std::from_chars gives.
  void check(std::string_view text) {
    buffer_.assign(text);
    buffer_.append("9.9.9.9.9");
    float value = -1.0f;
    const bool taken = text_words::shortDecimalValue(buffer_.data(), text.size(), &value);
    ASSERT_EQ(taken, isShortDecimal(text)) << '"' << text << '"';
    ++checked_;
    if (!taken) return;
    uint32_t expected = 0;
    ASSERT_TRUE(fromCharsBits(text, &expected)) << text;
    ASSERT_EQ(std::bit_cast<uint32_t>(value), expected) << text;
  }
  std::size_t checked() const { return checked_; }

 private:
  std::string buffer_;
  std::size_t checked_ = 0;
};

// Every text of one to six digits with the point at any place or none (all
// 8,765,430 of them, leading and trailing zeros included), and every text
// of seven digits whose value lies near a power of two, where float's
// spacing changes, or whose last digits are all nines or zeros: each is
// taken, and reads as std::from_chars reads it, to the bit. (The digits
// form a whole number below 2^24 and the divisor is exact, so one division
// rounds once, as from_chars does; this holds the claim to every value.)
TEST(ShortDecimalTest, EveryShortDecimalReadsAsFromChars) {
  Reading reading;
  std::string text;
  for (std::size_t count = 1; count <= 6; ++count) {
    uint32_t limit = 1;
    for (std::size_t i = 0; i < count; ++i) limit *= 10;
    for (uint32_t value = 0; value < limit; ++value) {
      std::string digits = std::to_string(value);
      digits.insert(0, count - digits.size(), '0');
      reading.check(digits);
      for (std::size_t point = 0; point <= count; ++point) {
        text = digits;
        text.insert(point, ".");
        reading.check(text);
        if (HasFatalFailure()) return;
      }
    }
  }
  EXPECT_EQ(reading.checked(), 8765430u);
  const auto sevenDigits = [&](uint32_t value) {
    std::string digits = std::to_string(value);
    digits.insert(0, 7 - digits.size(), '0');
    reading.check(digits);
    for (std::size_t point = 0; point <= 7; ++point) {
      text = digits;
      text.insert(point, ".");
      reading.check(text);
    }
  };
  for (uint32_t power = 1; power < 10'000'000; power *= 2) {
    for (uint32_t value = power > 64 ? power - 64 : 0; value < power + 64; ++value) {
      sevenDigits(value);
    }
  }
  for (uint32_t head = 0; head < 10'000; ++head) {
    sevenDigits(head * 1000 + 999);
    sevenDigits(head * 1000);
    if (HasFatalFailure()) return;
  }
}

// Random texts of the bytes a number may hold: digits, points, signs,
// exponents, letters of inf and nan, a comma, and one to eight bytes long
// (the longest the parse looks at), with leading zeros and many decimals
// among them. A text is taken exactly when it is a short decimal, and then
// reads as std::from_chars reads it; everything else is left to the general
// conversion.
TEST(ShortDecimalTest, AnyOtherTextIsLeftAlone) {
  const unsigned seed = 2024;
  std::mt19937 random(seed);
  Reading reading;
  constexpr std::string_view kBytes = "0123456789000000..--++eEinfa, x";
  for (int round = 0; round < 400'000; ++round) {
    std::string text;
    const std::size_t length = 1 + random() % 8;
    for (std::size_t i = 0; i < length; ++i) text += kBytes[random() % kBytes.size()];
    SCOPED_TRACE(testing::Message() << "seed " << seed << ", round " << round);
    reading.check(text);
    if (HasFatalFailure()) return;
  }
  // Lengths it never takes: none, and more than eight bytes.
  float value = 5.0f;
  EXPECT_FALSE(text_words::shortDecimalValue("12345678", 0, &value));
  EXPECT_FALSE(text_words::shortDecimalValue("0.1234567", 9, &value));
  EXPECT_EQ(value, 5.0f);
}

}  // namespace
