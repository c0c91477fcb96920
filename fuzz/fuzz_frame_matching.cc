// Fuzz target for the matching of one frame: the fast matching (spatial
// index, groups, small dense matrices or Hopcroft-Karp) against the dense
// reference and against a plain augmenting-path matching written here, on
// frames built straight from the bytes.
//
// Input: one header byte, then nine bytes per box.
//   header bits 0-2  overlap threshold, from kThresholds
//          bit 3     keep boxes flagged A;  bit 4  keep boxes flagged B
//          bit 5     no system frame at all
//          bits 6-7  a further dense-size limit to try, 2 to 5
//   box    byte 0    bit 0 system side; bit 1 don't-care region (ground truth
//                    only); bit 2 flag A; bit 3 flag B; bits 4-5 placement
//                    (see corner()); bit 6 four free corners instead of an
//                    upright rectangle; bit 7 repeat the previous box of the
//                    same list, flags from this byte
//          bytes 1-8 free corners: x1 y1 x2 y2 x3 y3 x4 y4, signed; upright:
//                    x, y signed, width, height, the corner to start from
// Coordinates are small, so that boxes overlap often and land exactly on the
// thresholds; two placements reach the ends of the 32-bit range.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "annotation/quor_records.h"
#include "fuzz/fuzz_support.h"
#include "scoring/matching/box_overlap.h"
#include "scoring/matching/frame_matching.h"
#include "scoring/matching/frame_matching_internal.h"

namespace {

using talmira_fuzz::countsOf;
using talmira_fuzz::FrameCounts;

constexpr std::size_t kBoxBytes = 9;
// Enough for the fast matching to switch to its spatial indexes (more than
// 1024 pairs), few enough for the cubic reference.
constexpr std::size_t kMaxPerList = 48;
constexpr std::array<float, 8> kThresholds = {0.2f, 0.2f, 0.0f, 0.005f, 0.1f, 0.33f, 0.5f, 1.0f};

int32_t clampToInt32(int64_t value) {
  return static_cast<int32_t>(std::clamp<int64_t>(value, std::numeric_limits<int32_t>::min(),
                                                  std::numeric_limits<int32_t>::max()));
}

// A coordinate from a small number: as it is, times 16, times 2^24 (reaching
// both ends of the range), or just below the largest value.
int32_t corner(int64_t value, unsigned placement) {
  switch (placement) {
    case 0:
      return clampToInt32(value);
    case 1:
      return clampToInt32(value * 16);
    case 2:
      return clampToInt32(value * (int64_t{1} << 24));
    default:
      return clampToInt32(value + std::numeric_limits<int32_t>::max() - 300);
  }
}

QuorTarget boxFrom(const uint8_t* b) {
  const unsigned placement = (b[0] >> 4) & 3u;
  const bool markA = (b[0] & 4) != 0;
  const bool markB = (b[0] & 8) != 0;
  const auto s = [&](int i) { return static_cast<int64_t>(static_cast<int8_t>(b[i])); };
  const auto u = [&](int i) { return static_cast<int64_t>(b[i]); };
  std::array<int32_t, 8> c{};  // x1, y1, ..., x4, y4
  if ((b[0] & 0x40) != 0) {
    for (int i = 0; i < 8; ++i) c[static_cast<std::size_t>(i)] = corner(s(i + 1), placement);
  } else {
    const int32_t x0 = corner(s(1), placement);
    const int32_t y0 = corner(s(2), placement);
    const int32_t x1 = corner(s(1) + u(3), placement);
    const int32_t y1 = corner(s(2) + u(4), placement);
    const std::array<int32_t, 8> clockwise = {x0, y0, x1, y0, x1, y1, x0, y1};
    const std::size_t start = 2 * (b[5] & 3u);
    for (std::size_t i = 0; i < 8; ++i) c[i] = clockwise[(start + i) % 8];
  }
  return makeTarget(c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], "Car", markB, 1.0f, markA);
}

// The size of a largest set of disjoint pairs, by Kuhn's augmenting paths.
std::size_t largestMatching(const std::vector<std::vector<std::size_t>>& partners,
                            std::size_t columns) {
  std::vector<std::size_t> owner(columns, SIZE_MAX);
  std::size_t pairs = 0;
  for (std::size_t row = 0; row < partners.size(); ++row) {
    std::vector<char> visited(columns, 0);
    // Depth-first search for an augmenting path, with an explicit stack of
    // (row, next partner to try) and the column each step came through.
    std::vector<std::pair<std::size_t, std::size_t>> stack = {{row, 0}};
    std::vector<std::size_t> through;
    bool augmented = false;
    while (!stack.empty() && !augmented) {
      auto& [r, next] = stack.back();
      if (next == partners[r].size()) {
        stack.pop_back();
        if (!through.empty()) through.pop_back();
        continue;
      }
      const std::size_t column = partners[r][next++];
      if (visited[column] != 0) continue;
      visited[column] = 1;
      through.push_back(column);
      if (owner[column] == SIZE_MAX) {
        for (std::size_t k = 0; k < through.size(); ++k) owner[through[k]] = stack[k].first;
        augmented = true;
      } else {
        stack.push_back({owner[column], 0});
      }
    }
    if (augmented) ++pairs;
  }
  return pairs;
}

// The six counts from the documented rules, by brute force.
FrameCounts plainCounts(const QuorFrame& truth, const QuorFrame* system, bool keepMarkA,
                        bool keepMarkB) {
  FrameCounts counts{};
  counts.gtCount = static_cast<int32_t>(truth.targets.size());
  for (const QuorTarget* t : truth.targets) {
    if (excludedByFlags(*t, keepMarkA, keepMarkB)) ++counts.gtExcluded;
  }
  if (system == nullptr) {
    counts.fnCount = counts.gtCount - counts.gtExcluded;
    return counts;
  }
  std::vector<const QuorTarget*> kept;
  for (const QuorTarget* candidate : system->targets) {
    const bool covered =
        std::any_of(truth.regions.begin(), truth.regions.end(),
                    [&](const QuorTarget* region) { return regionCovers(*candidate, *region); });
    if (!covered) kept.push_back(candidate);
  }
  counts.detCount = static_cast<int32_t>(kept.size());
  std::vector<char> setAside(kept.size(), 0);
  for (std::size_t c = 0; c < kept.size(); ++c) {
    for (const QuorTarget* t : truth.targets) {
      if (scorePair(*t, *kept[c], truth.overlapThreshold, keepMarkA, keepMarkB) == -1) {
        setAside[c] = 1;
      }
    }
    counts.detExcluded += setAside[c];
  }
  std::vector<std::vector<std::size_t>> partners;
  for (const QuorTarget* t : truth.targets) {
    if (excludedByFlags(*t, keepMarkA, keepMarkB)) continue;
    std::vector<std::size_t>& row = partners.emplace_back();
    for (std::size_t c = 0; c < kept.size(); ++c) {
      if (setAside[c] == 0 &&
          scorePair(*t, *kept[c], truth.overlapThreshold, keepMarkA, keepMarkB) == 1) {
        row.push_back(c);
      }
    }
  }
  const auto pairs = static_cast<int32_t>(largestMatching(partners, kept.size()));
  counts.fnCount = counts.gtCount - counts.gtExcluded - pairs;
  counts.fpCount = counts.detCount - counts.detExcluded - pairs;
  return counts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t header = data[0];
  const float threshold = kThresholds[header & 7u];
  const bool keepMarkA = (header & 0x08) != 0;
  const bool keepMarkB = (header & 0x10) != 0;
  const bool noSystem = (header & 0x20) != 0;
  const std::size_t otherLimit = 2 + (header >> 6);

  std::vector<QuorTarget> truthBoxes, regionBoxes, systemBoxes;
  truthBoxes.reserve(kMaxPerList);
  regionBoxes.reserve(kMaxPerList);
  systemBoxes.reserve(kMaxPerList);
  for (std::size_t at = 1; at + kBoxBytes <= size; at += kBoxBytes) {
    const uint8_t* b = data + at;
    std::vector<QuorTarget>& list =
        (b[0] & 1) != 0 ? systemBoxes : ((b[0] & 2) != 0 ? regionBoxes : truthBoxes);
    if (list.size() == kMaxPerList) continue;
    QuorTarget box = boxFrom(b);
    if ((b[0] & 0x80) != 0 && !list.empty()) {
      box = list.back();
      box.markA = (b[0] & 4) != 0;
      box.markB = (b[0] & 8) != 0;
    }
    list.push_back(box);
  }

  QuorFrame truth(7);
  truth.overlapThreshold = threshold;
  for (const QuorTarget& t : truthBoxes) truth.targets.push_back(&t);
  for (const QuorTarget& t : regionBoxes) truth.regions.push_back(&t);
  QuorFrame systemFrame(7);
  for (const QuorTarget& t : systemBoxes) systemFrame.targets.push_back(&t);
  const QuorFrame* system = noSystem ? nullptr : &systemFrame;

  QuorFrame fast = truth;
  evaluateFrame(fast, system, keepMarkA, keepMarkB);
  QuorFrame sparse = truth;
  evaluateFrameWithLimit(sparse, system, keepMarkA, keepMarkB, 1);
  QuorFrame other = truth;
  evaluateFrameWithLimit(other, system, keepMarkA, keepMarkB, otherLimit);
  QuorFrame dense = truth;
  evaluateFrameDense(dense, system, keepMarkA, keepMarkB);
  const FrameCounts plain = plainCounts(truth, system, keepMarkA, keepMarkB);

  talmira_fuzz::checkFrameCounts(countsOf(fast));
  const bool same = countsOf(fast) == countsOf(sparse) && countsOf(fast) == countsOf(other) &&
                    countsOf(fast) == countsOf(dense) && countsOf(fast) == plain;
  if (!same) {
    talmira_fuzz::printCounts("evaluateFrame", countsOf(fast));
    talmira_fuzz::printCounts("limit 1", countsOf(sparse));
    const std::string otherLabel = "limit " + std::to_string(otherLimit);
    talmira_fuzz::printCounts(otherLabel.c_str(), countsOf(other));
    talmira_fuzz::printCounts("evaluateFrameDense", countsOf(dense));
    talmira_fuzz::printCounts("plain", plain);
    talmira_fuzz::fail(__FILE__, __LINE__, "the matchings disagree");
  }
  if (system == nullptr) {
    FUZZ_CHECK(fast.detCount == 0 && fast.fpCount == 0);
    FUZZ_CHECK(fast.fnCount == fast.gtCount - fast.gtExcluded);
  } else if (truth.regions.empty()) {
    FUZZ_CHECK(fast.detCount == static_cast<int32_t>(systemFrame.targets.size()));
  }
  FUZZ_CHECK(fast.gtCount == static_cast<int32_t>(truth.targets.size()));
  return 0;
}
