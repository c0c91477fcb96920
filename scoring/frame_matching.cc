// Frame matching that scales with the boxes of a frame.
//
// The counts depend only on which pairs pass the overlap test: misses are the
// remaining ground-truth boxes and false alarms the remaining system boxes
// that a largest set of disjoint passing pairs leaves out, whichever optimal
// assignment is found. So only pairs whose rectangles touch are scored (found
// through a spatial index), the passing pairs are split into independent
// groups, and each group is solved on its own small matrix.
#include "scoring/frame_matching.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <numeric>
#include <utility>
#include <vector>

#include "scoring/assignment_solver.h"
#include "scoring/box_index.h"
#include "scoring/box_overlap.h"
#include "scoring/crowded_matching.h"
#include "scoring/frame_matching_internal.h"

namespace {

// Groups whose matrix would be wider than this are paired by Hopcroft-Karp:
// the dense solver's memory grows with the square of the width and its time
// with the cube.
constexpr std::size_t kDenseLimit = 64;

// Below this many pairs (or region tests) every pair is simply tried.
constexpr std::size_t kDirectPairLimit = 1024;

// A frame with more passing pairs than this is a crowd (a detector run
// without non-maximum suppression puts thousands of boxes on each object):
// its pairs are not stored but found again when needed (matchCrowded), so
// that memory stays bounded whatever the crowd. About 20 MB of pairs.
constexpr std::size_t kStoredPairLimit = std::size_t{1} << 20;

// Union-find over the boxes of both sides.
class Groups {
 public:
  void reset(std::size_t size) {
    parent_.resize(size);
    std::iota(parent_.begin(), parent_.end(), 0);
  }
  int32_t find(int32_t node) {
    while (parent_[node] != node) {
      parent_[node] = parent_[parent_[node]];
      node = parent_[node];
    }
    return node;
  }
  void join(int32_t a, int32_t b) {
    a = find(a);
    b = find(b);
    if (a != b) parent_[std::max(a, b)] = std::min(a, b);
  }

 private:
  std::vector<int32_t> parent_;
};

struct Edge {
  int32_t group;
  int32_t truth;   // position in the ground-truth list
  int32_t system;  // position in the kept list
  int32_t row;     // the truth's row within its group
  int32_t column;  // the detection's column within its group
};

// Working memory of one matching, kept between calls so that a long sequence
// of small frames allocates nothing per frame.
struct Rectangle {
  int32_t minX, minY, maxX, maxY;
};

struct Scratch {
  std::vector<const QuorTarget*> kept;
  std::vector<Rectangle> keptRectangles;
  std::vector<char> truthExcluded;
  std::vector<char> systemExcluded;
  std::vector<Edge> edges;
  Groups groups;
  BoxIndex systemIndex;
  BoxIndex regionIndex;
  std::vector<int32_t> localIndex;
  std::vector<int32_t> rows, columns;
  std::vector<double> cells;
  std::vector<const double*> rowPointers;
  std::vector<int32_t> rowAssignment, columnAssignment;
  std::vector<double> rowDual, columnDual;
  // Hopcroft-Karp
  std::vector<int32_t> adjacencyStart, adjacency, rowMatch, columnMatch, layer, queue, stack,
      nextEdge;
};

// The size of a largest matching of one group, by the dense solver: a
// passing pair costs -1.0, every other cell 0.0.
int32_t denseMatching(Scratch& s, const Edge* edges, std::size_t edgeCount, std::size_t rows,
                      std::size_t columns) {
  const std::size_t m = std::max(rows, columns);
  s.cells.assign(m * m, 0.0);
  s.rowPointers.resize(m);
  for (std::size_t r = 0; r < m; ++r) s.rowPointers[r] = s.cells.data() + r * m;
  for (std::size_t e = 0; e < edgeCount; ++e) {
    s.cells[static_cast<std::size_t>(edges[e].row) * m +
            static_cast<std::size_t>(edges[e].column)] = -1.0;
  }
  s.rowAssignment.resize(m);
  s.columnAssignment.resize(m);
  s.rowDual.resize(m);
  s.columnDual.resize(m);
  solveAssignment(static_cast<int32_t>(m), s.rowPointers.data(), s.rowAssignment.data(),
                  s.columnAssignment.data(), s.rowDual.data(), s.columnDual.data());
  int32_t pairs = 0;
  for (std::size_t r = 0; r < rows; ++r) {
    const int32_t c = s.rowAssignment[r];
    if (c >= 0 && static_cast<std::size_t>(c) < columns && s.cells[r * m + c] != 0.0) ++pairs;
  }
  return pairs;
}

// The size of a largest matching of one group, by Hopcroft and Karp's method
// ("An n^5/2 algorithm for maximum matchings in bipartite graphs", 1973).
int32_t sparseMatching(Scratch& s, const Edge* edges, std::size_t edgeCount, std::size_t rows,
                       std::size_t columns) {
  s.adjacencyStart.assign(rows + 1, 0);
  for (std::size_t e = 0; e < edgeCount; ++e) ++s.adjacencyStart[edges[e].row + 1];
  for (std::size_t r = 0; r < rows; ++r) s.adjacencyStart[r + 1] += s.adjacencyStart[r];
  s.adjacency.resize(edgeCount);
  s.nextEdge.assign(s.adjacencyStart.begin(), s.adjacencyStart.end() - 1);
  for (std::size_t e = 0; e < edgeCount; ++e) {
    s.adjacency[s.nextEdge[edges[e].row]++] = edges[e].column;
  }
  s.rowMatch.assign(rows, -1);
  s.columnMatch.assign(columns, -1);
  s.layer.resize(rows);
  int32_t pairs = 0;
  constexpr int32_t kUnreached = -1;
  for (;;) {
    // Breadth-first layers from the free rows.
    s.queue.clear();
    for (std::size_t r = 0; r < rows; ++r) {
      s.layer[r] = s.rowMatch[r] < 0 ? 0 : kUnreached;
      if (s.rowMatch[r] < 0) s.queue.push_back(static_cast<int32_t>(r));
    }
    bool freeColumnReached = false;
    for (std::size_t head = 0; head < s.queue.size(); ++head) {
      const int32_t r = s.queue[head];
      for (int32_t e = s.adjacencyStart[r]; e < s.adjacencyStart[r + 1]; ++e) {
        const int32_t owner = s.columnMatch[s.adjacency[e]];
        if (owner < 0) {
          freeColumnReached = true;
        } else if (s.layer[owner] == kUnreached) {
          s.layer[owner] = s.layer[r] + 1;
          s.queue.push_back(owner);
        }
      }
    }
    if (!freeColumnReached) return pairs;
    // Depth-first augmentation along the layers, without recursion.
    s.nextEdge.assign(s.adjacencyStart.begin(), s.adjacencyStart.end() - 1);
    for (std::size_t start = 0; start < rows; ++start) {
      if (s.rowMatch[start] >= 0) continue;
      s.stack.assign(1, static_cast<int32_t>(start));
      while (!s.stack.empty()) {
        const int32_t r = s.stack.back();
        if (s.nextEdge[r] == s.adjacencyStart[r + 1]) {
          s.layer[r] = kUnreached;  // a dead end for this phase
          s.stack.pop_back();
          continue;
        }
        const int32_t c = s.adjacency[s.nextEdge[r]];
        const int32_t owner = s.columnMatch[c];
        if (owner < 0) {
          // Flip the path held on the stack.
          for (std::size_t k = s.stack.size(); k-- > 0;) {
            const int32_t row = s.stack[k];
            const int32_t column = s.adjacency[s.nextEdge[row]];
            s.rowMatch[row] = column;
            s.columnMatch[column] = row;
          }
          ++pairs;
          break;
        }
        if (s.layer[owner] == s.layer[r] + 1) {
          s.stack.push_back(owner);
        } else {
          ++s.nextEdge[r];
        }
      }
    }
  }
}

// Writes the six counts: K pairs leave nG - K misses and nS - K false alarms.
void finishCounts(QuorFrame& groundTruth, const Scratch& s, std::size_t gtCount,
                  std::size_t detCount, int32_t pairs) {
  const auto gtExcluded = std::count(s.truthExcluded.begin(), s.truthExcluded.end(), 1);
  const auto detExcluded = std::count(s.systemExcluded.begin(), s.systemExcluded.end(), 1);
  groundTruth.gtCount = countOf(gtCount);
  groundTruth.gtExcluded = countOf(static_cast<std::size_t>(gtExcluded));
  groundTruth.detCount = countOf(detCount);
  groundTruth.detExcluded = countOf(static_cast<std::size_t>(detExcluded));
  groundTruth.fnCount = groundTruth.gtCount - groundTruth.gtExcluded - pairs;
  groundTruth.fpCount = groundTruth.detCount - groundTruth.detExcluded - pairs;
}

}  // namespace

void evaluateFrameWithLimit(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                            bool keepMarkB, std::size_t denseLimit) {
  if (system == nullptr) {
    evaluateFrameAlone(groundTruth, keepMarkA, keepMarkB);
    return;
  }
  thread_local Scratch s;
  const std::vector<const QuorTarget*>& truths = groundTruth.targets;
  const std::vector<const QuorTarget*>& regions = groundTruth.regions;
  const float threshold = groundTruth.overlapThreshold;

  // Region filter: a system box that a don't-care region of the ground-truth
  // frame covers takes no part and is counted nowhere.
  s.kept.clear();
  const bool indexRegions = regions.size() * system->targets.size() > kDirectPairLimit;
  if (indexRegions) s.regionIndex.build(regions);
  for (const QuorTarget* candidate : system->targets) {
    bool covered = false;
    if (indexRegions) {
      s.regionIndex.forEachTouching(*candidate, 0, BoxIndex::kLevels - 1, [&](int32_t r) {
        covered = covered || regionCovers(*candidate, *regions[r]);
      });
    } else {
      for (const QuorTarget* region : regions) {
        if (regionCovers(*candidate, *region)) {
          covered = true;
          break;
        }
      }
    }
    if (!covered) s.kept.push_back(candidate);
  }
  const std::size_t gtCount = truths.size();
  const std::size_t detCount = s.kept.size();
  if (detCount == 0) {
    // Nothing left to match: the same counts as without a system frame.
    evaluateFrameAlone(groundTruth, keepMarkA, keepMarkB);
    return;
  }
  if (gtCount == 0) {
    // No pair is scored, so nothing is set aside: every detection is a false alarm.
    groundTruth.gtCount = 0;
    groundTruth.gtExcluded = 0;
    groundTruth.detCount = countOf(detCount);
    groundTruth.detExcluded = 0;
    groundTruth.fnCount = 0;
    groundTruth.fpCount = countOf(detCount);
    return;
  }

  s.truthExcluded.resize(gtCount);
  for (std::size_t r = 0; r < gtCount; ++r) {
    s.truthExcluded[r] = excludedByFlags(*truths[r], keepMarkA, keepMarkB);
  }
  s.systemExcluded.assign(detCount, 0);

  // Score the pairs that can touch. A pass with a flagged box (an excluded
  // truth, or a flagged detection) sets the detection aside; other passes
  // are candidate pairs.
  s.edges.clear();
  bool crowded = false;
  const auto scoreOne = [&](std::size_t r, int32_t c) {
    if (crowded || !rectanglesTouch(*truths[r], *s.kept[c])) return;  // most pairs, settled inline
    const int32_t score = scorePair(*truths[r], *s.kept[c], threshold, keepMarkA, keepMarkB);
    if (score == -1) {
      s.systemExcluded[c] = 1;
    } else if (score == 1) {
      s.edges.push_back({0, static_cast<int32_t>(r), c, 0, 0});
      crowded = s.edges.size() > kStoredPairLimit;
    }
  };
  if (gtCount * detCount <= kDirectPairLimit) {
    // Small frames try every pair, on the rectangles copied side by side:
    // most pairs are apart, and this settles them without touching the
    // targets again.
    s.keptRectangles.resize(detCount);
    Rectangle* const rectangles = s.keptRectangles.data();
    for (std::size_t c = 0; c < detCount; ++c) {
      const QuorTarget& k = *s.kept[c];
      rectangles[c] = {k.minX, k.minY, k.maxX, k.maxY};
    }
    for (std::size_t r = 0; r < gtCount; ++r) {
      const QuorTarget& g = *truths[r];
      for (std::size_t c = 0; c < detCount; ++c) {
        const Rectangle& k = rectangles[c];
        if (g.minX <= k.maxX && g.maxX >= k.minX && g.minY <= k.maxY && g.maxY >= k.minY) {
          scoreOne(r, static_cast<int32_t>(c));
        }
      }
    }
  } else {
    s.systemIndex.build(s.kept);
    const int reach = BoxIndex::levelReach(threshold);
    for (std::size_t r = 0; r < gtCount; ++r) {
      const int level = BoxIndex::levelOf(*truths[r]);
      s.systemIndex.forEachTouching(*truths[r], level - reach, level + reach,
                                    [&](int32_t c) { scoreOne(r, c); });
    }
  }
  if (crowded) {
    s.edges.clear();
    s.edges.shrink_to_fit();
    thread_local CrowdedMatch crowd;
    matchCrowded(truths, s.kept, threshold, keepMarkA, keepMarkB, crowd);
    s.truthExcluded.assign(crowd.truthExcluded.begin(), crowd.truthExcluded.end());
    s.systemExcluded.assign(crowd.systemExcluded.begin(), crowd.systemExcluded.end());
    finishCounts(groundTruth, s, gtCount, detCount, crowd.pairs);
    return;
  }
  std::erase_if(s.edges, [&](const Edge& e) { return s.systemExcluded[e.system] != 0; });

  // Most often every box has at most one passing partner: then each pair is
  // a group of its own and there is nothing to solve.
  s.localIndex.assign(gtCount + detCount, -1);
  bool disjoint = true;
  for (const Edge& e : s.edges) {
    int32_t& truthSeen = s.localIndex[e.truth];
    int32_t& systemSeen = s.localIndex[gtCount + static_cast<std::size_t>(e.system)];
    disjoint = disjoint && truthSeen < 0 && systemSeen < 0;
    truthSeen = systemSeen = 0;
  }
  if (disjoint) {
    finishCounts(groundTruth, s, gtCount, detCount, countOf(s.edges.size()));
    return;
  }

  // Independent groups: boxes joined by passing pairs. Truth r is node r,
  // detection c is node gtCount + c.
  s.groups.reset(gtCount + detCount);
  for (const Edge& e : s.edges) {
    s.groups.join(e.truth, static_cast<int32_t>(gtCount) + e.system);
  }
  for (Edge& e : s.edges) e.group = s.groups.find(e.truth);
  std::sort(s.edges.begin(), s.edges.end(), [](const Edge& a, const Edge& b) {
    return a.group != b.group ? a.group < b.group
                              : (a.truth != b.truth ? a.truth < b.truth : a.system < b.system);
  });

  s.localIndex.assign(gtCount + detCount, -1);
  int32_t pairs = 0;
  for (std::size_t begin = 0; begin < s.edges.size();) {
    std::size_t end = begin + 1;
    while (end < s.edges.size() && s.edges[end].group == s.edges[begin].group) ++end;
    if (end - begin == 1) {
      ++pairs;  // one passing pair alone
    } else {
      // Number the group's boxes in list order, truths as rows and
      // detections as columns.
      std::size_t rows = 0, columns = 0;
      for (std::size_t e = begin; e < end; ++e) {
        Edge& edge = s.edges[e];
        int32_t& row = s.localIndex[edge.truth];
        if (row < 0) row = static_cast<int32_t>(rows++);
        int32_t& column = s.localIndex[gtCount + static_cast<std::size_t>(edge.system)];
        if (column < 0) column = static_cast<int32_t>(columns++);
        edge.row = row;
        edge.column = column;
      }
      pairs += std::max(rows, columns) <= denseLimit
                   ? denseMatching(s, s.edges.data() + begin, end - begin, rows, columns)
                   : sparseMatching(s, s.edges.data() + begin, end - begin, rows, columns);
    }
    begin = end;
  }

  finishCounts(groundTruth, s, gtCount, detCount, pairs);
}

void evaluateFrame(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                   bool keepMarkB) {
  evaluateFrameWithLimit(groundTruth, system, keepMarkA, keepMarkB, kDenseLimit);
}
