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
