// The draws of compare's bootstrap, written from its help, for the tests
// that rebuild its resamples as real files: SplitMix64 from the seed, a
// draw among n the high 64 bits of the value times n, resamples one after
// the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace talmira_test {

/// How many times each of `units` units is drawn in each of `resamples`
/// resamples.
inline std::vector<std::vector<uint32_t>> bootstrapDraws(uint64_t seed, std::size_t units,
                                                         std::size_t resamples) {
  uint64_t state = seed;
  std::vector<std::vector<uint32_t>> weights(resamples, std::vector<uint32_t>(units, 0));
  for (auto& w : weights) {
    for (std::size_t d = 0; d < units; ++d) {
      state += 0x9E3779B97F4A7C15ULL;
      uint64_t z = state;
      z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
      z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
      z ^= z >> 31;
      ++w[static_cast<std::size_t>((static_cast<unsigned __int128>(z) * units) >> 64)];
    }
  }
  return weights;
}

}  // namespace talmira_test
