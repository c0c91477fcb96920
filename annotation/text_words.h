// Reading text eight bytes at a time, for the readers of annotation files:
// a byte-by-byte loop branches at the end of every field, and fields of
// irregular lengths make those branches mispredict. Each function works on
// a word whose lowest byte is the first of the text.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace text_words {

inline constexpr uint64_t kEachByte = 0x0101010101010101;

/// The eight bytes at `p`, p[0] in the lowest.
inline uint64_t loadWord(const char* p) {
  uint64_t word = 0;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&word, p, sizeof word);
  } else {
    for (int i = 7; i >= 0; --i) word = word << 8 | static_cast<unsigned char>(p[i]);
  }
  return word;
}

/// The high bit of each byte of `x` that is not zero; no carry crosses bytes.
inline uint64_t nonzeroBytes(uint64_t x) {
  return (((x & kEachByte * 0x7f) + kEachByte * 0x7f) | x) & kEachByte * 0x80;
}

/// The high bit of each byte of `word` that is no decimal digit: its high
/// nibble is not 3, or its low nibble is above 9.
inline uint64_t nonDigitBytes(uint64_t word) {
  return nonzeroBytes(((word & kEachByte * 0xf0) ^ kEachByte * 0x30) |
                      (((word & kEachByte * 0x0f) + kEachByte * 0x06) & kEachByte * 0x10));
}

/// The high bit of each byte of `word` equal to `c`.
inline uint64_t bytesEqual(uint64_t word, char c) {
  return ~nonzeroBytes(word ^ kEachByte * static_cast<unsigned char>(c)) & kEachByte * 0x80;
}

/// The value of the first `length` (1 to 8) bytes of `word`, decimal digits,
/// read without a branch: the digits go to the top of the word, leading
/// zeros below them, and are combined pairwise into tens, hundreds and
/// ten-thousands. Any other length gives some value, safely.
inline uint32_t wordDigitsValue(uint64_t word, std::size_t length) {
  const unsigned unused = (64 - 8 * static_cast<unsigned>(length)) & 63;
  uint64_t digits = (word & kEachByte * 0x0f) << unused;
  digits = (digits * (10 * 256 + 1)) >> 8 & 0x00ff00ff00ff00ff;
  digits = (digits * (100 * 65536 + 1)) >> 16 & 0x0000ffff0000ffff;
  return static_cast<uint32_t>((digits * (10000 * (uint64_t{1} << 32) + 1)) >> 32);
}

/// The value of a short decimal, at most seven digits with at most one
/// point among them ("0.8582", "1", ".5", "5."), read without a branch per
/// byte; false, leaving `value` alone, for any other text of `length` (1 to
/// 8) bytes, and for any other length. Eight bytes from `text` must be
/// readable. The digits form a whole number below 2^24 and the power of ten
/// is at most 10^7, both exact in a float, so the one float division rounds
/// the decimal's exact value, as std::from_chars does: the same float, to
/// the bit.
[[gnu::always_inline]] inline bool shortDecimalValue(const char* text, std::size_t length,
                                                     float* value) {
  static constexpr float kPowersOfTen[] = {1e0f, 1e1f, 1e2f, 1e3f, 1e4f, 1e5f, 1e6f, 1e7f};
  if (length == 0 || length > 8) return false;
  const unsigned unused = 64 - 8 * static_cast<unsigned>(length);
  const uint64_t word = loadWord(text) << unused >> unused;  // the text, zeros above
  const uint64_t inText = ~uint64_t{0} >> unused;
  const uint64_t points = bytesEqual(word, '.') & inText;
  // Every byte a digit but at most one point, and a digit at least.
  if ((nonDigitBytes(word) & inText) != points || (points & (points - 1)) != 0 ||
      (points != 0 && length == 1)) {
    return false;
  }
  // The digits closed up over the point, then read as a whole number.
  uint64_t digitsWord = word;
  unsigned fraction = 0;
  if (points != 0) {
    const auto at = static_cast<unsigned>(std::countr_zero(points)) / 8;  // the point's byte
    const uint64_t below = at == 0 ? 0 : word & (~uint64_t{0} >> (64 - 8 * at));
    digitsWord = below | (word >> (8 * at) >> 8 << (8 * at));
    fraction = static_cast<unsigned>(length) - at - 1;
  }
  const unsigned digitCount = static_cast<unsigned>(length) - (points != 0 ? 1 : 0);
  if (digitCount > 7) return false;
  *value = static_cast<float>(wordDigitsValue(digitsWord, digitCount)) / kPowersOfTen[fraction];
  return true;
}

/// The number of bits set. Without the instruction for it (not every x86-64
/// has one) the library's routine is a call; this is a dozen operations inline.
inline std::size_t bitCount(uint64_t x) {
#if defined(__POPCNT__)
  return static_cast<std::size_t>(std::popcount(x));
#else
  x -= (x >> 1) & 0x5555555555555555;
  x = (x & 0x3333333333333333) + ((x >> 2) & 0x3333333333333333);
  x = (x + (x >> 4)) & 0x0f0f0f0f0f0f0f0f;
  return static_cast<std::size_t>((x * kEachByte) >> 56);
#endif
}

}  // namespace text_words
