#include "scoring/matching/crowded_matching.h"

#include <algorithm>
#include <cstddef>

#include "scoring/matching/box_index.h"
#include "scoring/matching/box_overlap.h"
#include "scoring/matching/frame_matching_internal.h"

void matchCrowded(const std::vector<const QuorTarget*>& truths,
                  const std::vector<const QuorTarget*>& kept, float threshold, bool keepMarkA,
                  bool keepMarkB, CrowdedMatch& result, OverlapMeasure measure) {
  const std::size_t rows = truths.size();
  const std::size_t columns = kept.size();
  result.truthExcluded.assign(rows, 0);
  result.systemExcluded.assign(columns, 0);
  result.truthMatch.assign(rows, -1);
  result.systemMatch.assign(columns, -1);
  result.pairs = 0;
  if (rows == 0 || columns == 0) return;

  thread_local BoxIndex keptIndex;
  thread_local BoxIndex truthIndex;
  keptIndex.build(kept);
  const int reach = BoxIndex::levelReach(threshold);
  // Calls visit(c) for every kept box whose rectangle touches truth r's and
  // whose level can let the pair pass.
  const auto forEachCandidate = [&](std::size_t r, auto&& visit) {
    const int level = BoxIndex::levelOf(*truths[r]);
    keptIndex.forEachTouching(*truths[r], level - reach, level + reach, visit);
  };

  // Flags. A pass with a flagged box sets the kept box aside, whichever side
  // carries the flag; only frames with flags pay for this.
  bool anyFlaggedKept = false;
  for (std::size_t r = 0; r < rows; ++r) {
    result.truthExcluded[r] = excludedByFlags(*truths[r], keepMarkA, keepMarkB);
    if (result.truthExcluded[r] == 0) continue;
    forEachCandidate(r, [&](int32_t c) {
      if (result.systemExcluded[c] == 0 &&
          scorePair(*truths[r], *kept[c], threshold, keepMarkA, keepMarkB, measure) == -1) {
        result.systemExcluded[c] = 1;
      }
    });
  }
  for (std::size_t c = 0; c < columns && !anyFlaggedKept; ++c) {
    anyFlaggedKept = excludedByFlags(*kept[c], keepMarkA, keepMarkB);
  }
  if (anyFlaggedKept) {
    truthIndex.build(truths);
    for (std::size_t c = 0; c < columns; ++c) {
      if (result.systemExcluded[c] != 0 || !excludedByFlags(*kept[c], keepMarkA, keepMarkB)) {
        continue;
      }
      const int level = BoxIndex::levelOf(*kept[c]);
      truthIndex.forEachTouching(*kept[c], level - reach, level + reach, [&](int32_t r) {
        if (result.systemExcluded[c] == 0 &&
            scorePair(*truths[r], *kept[c], threshold, keepMarkA, keepMarkB, measure) == -1) {
          result.systemExcluded[c] = 1;
        }
      });
    }
  }
  // Between the boxes left, a pair counts when it passes (then neither side
  // is flagged, or the pair would have set the kept box aside).
  const auto pairs = [&](std::size_t r, int32_t c) {
    return result.systemExcluded[c] == 0 &&
           scorePair(*truths[r], *kept[c], threshold, keepMarkA, keepMarkB, measure) == 1;
  };

  // Greedy pairing: most truths of a crowd find a free partner at once.
  for (std::size_t r = 0; r < rows; ++r) {
    if (result.truthExcluded[r] != 0) continue;
    forEachCandidate(r, [&](int32_t c) {
      if (result.truthMatch[r] < 0 && result.systemMatch[c] < 0 && pairs(r, c)) {
        result.truthMatch[r] = c;
        result.systemMatch[c] = static_cast<int32_t>(r);
        ++result.pairs;
      }
    });
  }

  // Each truth left over looks for an augmenting path, breadth first over
  // alternating paths: from a truth to any kept box it passes with, from a
  // paired kept box on to its truth. A kept box is reached at most once per
  // search (its stamp), so a search costs at most one look at each pair.
  thread_local std::vector<uint32_t> reachedIn;
  thread_local std::vector<int32_t> reachedFrom;
  thread_local std::vector<int32_t> queue;
  reachedIn.assign(columns, 0);
  reachedFrom.assign(columns, -1);
  uint32_t search = 0;
  for (std::size_t start = 0; start < rows; ++start) {
    if (result.truthExcluded[start] != 0 || result.truthMatch[start] >= 0) continue;
    ++search;
    queue.assign(1, static_cast<int32_t>(start));
    int32_t freeColumn = -1;
    for (std::size_t head = 0; head < queue.size() && freeColumn < 0; ++head) {
      const int32_t r = queue[head];
      forEachCandidate(static_cast<std::size_t>(r), [&](int32_t c) {
        if (freeColumn >= 0 || reachedIn[c] == search || !pairs(static_cast<std::size_t>(r), c)) {
          return;
        }
        reachedIn[c] = search;
        reachedFrom[c] = r;
        if (result.systemMatch[c] < 0) {
          freeColumn = c;
        } else {
          queue.push_back(result.systemMatch[c]);
        }
      });
    }
    if (freeColumn < 0) continue;
    // Flip the path: each kept box on it takes the truth it was reached from.
    for (int32_t c = freeColumn; c >= 0;) {
      const int32_t r = reachedFrom[c];
      const int32_t previous = result.truthMatch[r];
      result.truthMatch[r] = c;
      result.systemMatch[c] = r;
      c = previous;
    }
    ++result.pairs;
  }
}
