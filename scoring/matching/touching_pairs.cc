#include "scoring/matching/touching_pairs.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

void TouchingPairs::assignRectangles(const std::vector<const QuorTarget*>& boxes) {
  const std::size_t padded = (boxes.size() + 3) / 4 * 4;
  minX_.resize(padded);
  minY_.resize(padded);
  maxX_.resize(padded);
  maxY_.resize(padded);
  for (std::size_t c = 0; c < boxes.size(); ++c) {
    minX_[c] = boxes[c]->minX;
    minY_[c] = boxes[c]->minY;
    maxX_[c] = boxes[c]->maxX;
    maxY_[c] = boxes[c]->maxY;
  }
}

// Most pairs of a frame are apart; testing four at a time without a branch
// each saves the mispredictions a test per pair costs, and the loop holds
// nothing else.
void TouchingPairs::markTouching(const QuorTarget& truth, std::size_t count) {
  steps_.resize((count + 3) / 4);
#if defined(__SSE2__)
  const __m128i minX = _mm_set1_epi32(truth.minX), maxX = _mm_set1_epi32(truth.maxX);
  const __m128i minY = _mm_set1_epi32(truth.minY), maxY = _mm_set1_epi32(truth.maxY);
  // Plain pointers: a store through the byte list could otherwise be taken
  // to change the vectors, and their data reloaded at every step.
  const auto* const keptMinX = reinterpret_cast<const __m128i*>(minX_.data());
  const auto* const keptMinY = reinterpret_cast<const __m128i*>(minY_.data());
  const auto* const keptMaxX = reinterpret_cast<const __m128i*>(maxX_.data());
  const auto* const keptMaxY = reinterpret_cast<const __m128i*>(maxY_.data());
  uint8_t* const out = steps_.data();
  const std::size_t stepCount = steps_.size();
  for (std::size_t step = 0; step < stepCount; ++step) {
    // Apart when one rectangle lies wholly beyond the other on an axis.
    const __m128i apart =
        _mm_or_si128(_mm_or_si128(_mm_cmpgt_epi32(minX, _mm_loadu_si128(keptMaxX + step)),
                                  _mm_cmpgt_epi32(_mm_loadu_si128(keptMinX + step), maxX)),
                     _mm_or_si128(_mm_cmpgt_epi32(minY, _mm_loadu_si128(keptMaxY + step)),
                                  _mm_cmpgt_epi32(_mm_loadu_si128(keptMinY + step), maxY)));
    out[step] = static_cast<uint8_t>(~_mm_movemask_ps(_mm_castsi128_ps(apart)) & 0xf);
  }
#else
  for (std::size_t step = 0; step < steps_.size(); ++step) {
    unsigned bits = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      const std::size_t c = 4 * step + k;
      const bool touch = (truth.minX <= maxX_[c]) & (truth.maxX >= minX_[c]) &
                         (truth.minY <= maxY_[c]) & (truth.maxY >= minY_[c]);
      bits |= static_cast<unsigned>(touch) << k;
    }
    steps_[step] = static_cast<uint8_t>(bits);
  }
#endif
  if (count % 4 != 0) steps_.back() &= static_cast<uint8_t>((1u << (count % 4)) - 1);
}
