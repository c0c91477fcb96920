// Frame matching that scales with the boxes of a frame.
//
// The counts depend only on which pairs pass the overlap test: misses are the
// remaining ground-truth boxes and false alarms the remaining system boxes
// that a largest set of disjoint passing pairs leaves out, whichever optimal
// assignment is found. So only pairs whose rectangles touch are scored (found
// through a spatial index), the passing pairs are split into independent
// groups, and each group is solved on its own small matrix.
#include "scoring/matching/frame_matching.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

#include "scoring/matching/assignment_solver.h"
#include "scoring/matching/box_index.h"
#include "scoring/matching/box_overlap.h"
#include "scoring/matching/crowded_matching.h"
#include "scoring/matching/frame_matching_internal.h"
#include "scoring/matching/touching_pairs.h"

namespace {

// Groups whose matrix would be wider than this are paired by Hopcroft-Karp:
// the dense solver's memory grows with the square of the width and its time
// with the cube.
constexpr std::size_t kDenseLimit = 64;

// A frame with more passing pairs than this is a crowd (a detector run
// without non-maximum suppression puts thousands of boxes on each object):
// its pairs are not stored but found again when needed (matchCrowded), so
// that memory stays bounded whatever the crowd. About 20 MB of pairs.
constexpr std::size_t kStoredPairLimit = std::size_t{1} << 20;

// Union-find over the boxes of both sides.
class Groups {
 public:
  /// Makes `node` a group of its own, among `size` nodes; only the nodes
  /// made so since may be joined and found. A class's few pairs in a frame
  /// of thousands of boxes then cost their boxes only.
  void single(int32_t node, std::size_t size) {
    if (parent_.size() < size) parent_.resize(size);
    parent_[node] = node;
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

// A pair that passes the overlap test; `flagged` when either box carries a
// flag, which sets the system box aside instead of making a candidate pair.
struct PassingPair {
  int32_t truth;
  int32_t system;
  bool flagged;
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
struct Scratch {
  std::vector<const QuorTarget*> kept;
  // With events: each kept box's position in the system list, and for each
  // group row and column its position in the truth and kept lists.
  std::vector<int32_t> keptPosition;
  std::vector<int32_t> rowTruth, columnSystem;
  TouchingPairs touching;
  std::vector<char> truthExcluded;
  std::vector<char> systemExcluded;
  std::vector<Edge> edges, sortedEdges;
  std::vector<int32_t> groupStart;               // by group, while the edges are gathered
  std::vector<PassingPair> passing;              // every class at once
  std::vector<int32_t> truthLocal, systemLocal;  // positions in one class's lists
  std::vector<uint16_t> truthCode, keptCode;     // the boxes' slots among the classes counted
  std::vector<char> nodeSeen;                    // by box, truths first: has a candidate pair
  std::vector<int32_t> slotPairs;                // each class slot's pairs
  std::vector<PassingPair> classPairs;           // candidate pairs within a class, by slot
  std::vector<std::size_t> classStart, classNext;
  Groups groups;
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

// Hands each pair of a group's assignment to `pair` as (row, column).
struct NoPairs {
  void operator()(int32_t, int32_t) const {}
};

// The size of a largest matching of one group, by the dense solver: a
// passing pair costs -1.0, every other cell 0.0.
template <typename PairSink = NoPairs>
int32_t denseMatching(Scratch& s, const Edge* edges, std::size_t edgeCount, std::size_t rows,
                      std::size_t columns, PairSink pair = {}) {
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
    if (c >= 0 && static_cast<std::size_t>(c) < columns && s.cells[r * m + c] != 0.0) {
      ++pairs;
      pair(static_cast<int32_t>(r), c);
    }
  }
  return pairs;
}

// The size of a largest matching of one group, by Hopcroft and Karp's method
// ("An n^5/2 algorithm for maximum matchings in bipartite graphs", 1973).
template <typename PairSink = NoPairs>
int32_t sparseMatching(Scratch& s, const Edge* edges, std::size_t edgeCount, std::size_t rows,
                       std::size_t columns, PairSink pair = {}) {
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
    if (!freeColumnReached) {
      if constexpr (!std::is_same_v<PairSink, NoPairs>) {
        for (std::size_t r = 0; r < rows; ++r) {
          if (s.rowMatch[r] >= 0) pair(static_cast<int32_t>(r), s.rowMatch[r]);
        }
      }
      return pairs;
    }
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

// The outcomes of a ground-truth frame matched against nothing: each truth
// is missed or, flagged, excluded.
void truthsAlone(const QuorFrame& groundTruth, bool keepMarkA, bool keepMarkB,
                 FrameEvents& events) {
  for (std::size_t r = 0; r < groundTruth.targets.size(); ++r) {
    events.truth[r] = excludedByFlags(*groundTruth.targets[r], keepMarkA, keepMarkB)
                          ? TruthOutcome::kExcluded
                          : TruthOutcome::kMiss;
  }
}

// The region filter: a system box that a don't-care region of the
// ground-truth frame covers takes no part and is counted nowhere. Leaves the
// others in s.kept (with events, their positions in s.keptPosition).
template <bool kEvents>
void keepUncovered(Scratch& s, const std::vector<const QuorTarget*>& regions, float cover,
                   const QuorFrame& system, FrameEvents* events) {
  s.kept.clear();
  if constexpr (kEvents) s.keptPosition.clear();
  const bool indexRegions = regions.size() * system.targets.size() > kDirectPairLimit;
  if (indexRegions) s.regionIndex.build(regions);
  for (std::size_t position = 0; position < system.targets.size(); ++position) {
    const QuorTarget* candidate = system.targets[position];
    bool covered = false;
    int32_t firstRegion = -1;  // with events: the first covering region in list order
    if (indexRegions) {
      s.regionIndex.forEachTouching(*candidate, 0, BoxIndex::kLevels - 1, [&](int32_t r) {
        if constexpr (kEvents) {
          // The index hands regions over in no set order.
          if ((firstRegion < 0 || r < firstRegion) &&
              regionCovers(*candidate, *regions[r], cover)) {
            firstRegion = r;
            covered = true;
          }
        } else {
          covered = covered || regionCovers(*candidate, *regions[r], cover);
        }
      });
    } else {
      for (std::size_t r = 0; r < regions.size(); ++r) {
        if (regionCovers(*candidate, *regions[r], cover)) {
          covered = true;
          firstRegion = static_cast<int32_t>(r);
          break;
        }
      }
    }
    if (!covered) {
      s.kept.push_back(candidate);
      if constexpr (kEvents) s.keptPosition.push_back(static_cast<int32_t>(position));
    } else if constexpr (kEvents) {
      events->system[position] = SystemOutcome::kInRegion;
      events->systemPartner[position] = firstRegion;
    }
  }
}

// Calls `visit(r, c)` for the pairs of truth r and kept box c (s.kept)
// whose rectangles may touch (a few more may come; none that touch is left
// out), the truths in list order; none after a truth whose pairs set
// `crowded`, whose visits then do nothing.
template <typename Visit>
void forEachTouchingPair(Scratch& s, const std::vector<const QuorTarget*>& truths, float threshold,
                         const bool& crowded, Visit&& visit) {
  s.touching.forEach(truths, s.kept, threshold, visit, &crowded);
}

// The size of a largest matching of the passing pairs in s.edges (truth r
// of gtCount, kept box c of detCount), each pair of it handed to
// `pairUp(r, c)` with events. Groups wider than `denseLimit` are paired by
// Hopcroft and Karp's method.
// Gathers s.edges by group in one counting pass, keeping their order
// within each group. A group is named by its smallest node, always a truth.
void gatherByGroup(Scratch& s, std::size_t gtCount) {
  s.groupStart.assign(gtCount + 1, 0);
  for (const Edge& e : s.edges) ++s.groupStart[static_cast<std::size_t>(e.group) + 1];
  for (std::size_t g = 0; g < gtCount; ++g) s.groupStart[g + 1] += s.groupStart[g];
  s.sortedEdges.resize(s.edges.size());
  for (const Edge& e : s.edges)
    s.sortedEdges[s.groupStart[static_cast<std::size_t>(e.group)]++] = e;
  s.edges.swap(s.sortedEdges);
}

template <bool kEvents, typename PairUp>
int32_t solveEdges(Scratch& s, std::size_t gtCount, std::size_t detCount, std::size_t denseLimit,
                   PairUp&& pairUp) {
  // Most often every box has at most one passing partner: then each pair is
  // a group of its own and there is nothing to solve. The marks are taken
  // off again after the test, so that the test costs the edges, not the boxes.
  if (s.localIndex.size() < gtCount + detCount) s.localIndex.resize(gtCount + detCount, -1);
  bool disjoint = true;
  for (const Edge& e : s.edges) {
    int32_t& truthSeen = s.localIndex[e.truth];
    int32_t& systemSeen = s.localIndex[gtCount + static_cast<std::size_t>(e.system)];
    disjoint = disjoint && truthSeen < 0 && systemSeen < 0;
    truthSeen = systemSeen = 0;
  }
  for (const Edge& e : s.edges) {
    s.localIndex[e.truth] = -1;
    s.localIndex[gtCount + static_cast<std::size_t>(e.system)] = -1;
  }
  if (disjoint) {
    if constexpr (kEvents) {
      for (const Edge& e : s.edges) pairUp(e.truth, e.system);
    }
    return countOf(s.edges.size());
  }

  // Independent groups: boxes joined by passing pairs. Truth r is node r,
  // detection c is node gtCount + c.
  for (const Edge& e : s.edges) {
    s.groups.single(e.truth, gtCount + detCount);
    s.groups.single(static_cast<int32_t>(gtCount) + e.system, gtCount + detCount);
  }
  for (const Edge& e : s.edges) {
    s.groups.join(e.truth, static_cast<int32_t>(gtCount) + e.system);
  }
  for (Edge& e : s.edges) e.group = s.groups.find(e.truth);
  if constexpr (kEvents) {
    // Whether the edges come truth by truth in list order, as the scoring
    // finds them.
    const auto byTruth = [&] {
      for (std::size_t e = 1; e < s.edges.size(); ++e) {
        if (s.edges[e].truth < s.edges[e - 1].truth) return false;
      }
      return true;
    };
    // Which pairs a group's matching takes follows the order of its edges,
    // so that order is fixed: by group, then truth, then system box. Edges
    // that come truth by truth need only each truth's few put in order and
    // then a stable gathering by group (below), not a sort of them all.
    if (8 * s.edges.size() < gtCount || !byTruth()) {
      std::sort(s.edges.begin(), s.edges.end(), [](const Edge& a, const Edge& b) {
        return a.group != b.group ? a.group < b.group
                                  : (a.truth != b.truth ? a.truth < b.truth : a.system < b.system);
      });
    } else {
      for (std::size_t begin = 0; begin < s.edges.size();) {
        std::size_t end = begin + 1;
        while (end < s.edges.size() && s.edges[end].truth == s.edges[begin].truth) ++end;
        if (end - begin > 1) {
          std::sort(s.edges.begin() + static_cast<std::ptrdiff_t>(begin),
                    s.edges.begin() + static_cast<std::ptrdiff_t>(end),
                    [](const Edge& a, const Edge& b) { return a.system < b.system; });
        }
        begin = end;
      }
      gatherByGroup(s, gtCount);
    }
  } else if (8 * s.edges.size() < gtCount) {
    // Only the size of each group's matching counts, whatever the order of
    // its edges. Few edges among many truths (a class's share of a large
    // frame): sorted by group.
    std::sort(s.edges.begin(), s.edges.end(),
              [](const Edge& a, const Edge& b) { return a.group < b.group; });
  } else {
    // Gathered by group in one counting pass. A group is named by its
    // smallest node, always a truth.
    gatherByGroup(s, gtCount);
  }

  if constexpr (kEvents) {
    s.rowTruth.resize(gtCount);
    s.columnSystem.resize(detCount);
  }
  // The groups number their boxes in s.localIndex, which must be all -1
  // again afterwards, also when a solver throws (out of memory).
  struct Clear {
    std::vector<int32_t>& index;
    std::size_t size;
    ~Clear() { std::fill(index.begin(), index.begin() + static_cast<std::ptrdiff_t>(size), -1); }
  } clearAfterwards{s.localIndex, gtCount + detCount};
  int32_t pairs = 0;
  for (std::size_t begin = 0; begin < s.edges.size();) {
    std::size_t end = begin + 1;
    while (end < s.edges.size() && s.edges[end].group == s.edges[begin].group) ++end;
    if (end - begin == 1) {
      ++pairs;  // one passing pair alone
      pairUp(s.edges[begin].truth, s.edges[begin].system);
    } else {
      // Number the group's boxes in list order, truths as rows and
      // detections as columns.
      std::size_t rows = 0, columns = 0;
      for (std::size_t e = begin; e < end; ++e) {
        Edge& edge = s.edges[e];
        int32_t& row = s.localIndex[edge.truth];
        if (row < 0) {
          row = static_cast<int32_t>(rows++);
          if constexpr (kEvents) s.rowTruth[row] = edge.truth;
        }
        int32_t& column = s.localIndex[gtCount + static_cast<std::size_t>(edge.system)];
        if (column < 0) {
          column = static_cast<int32_t>(columns++);
          if constexpr (kEvents) s.columnSystem[column] = edge.system;
        }
        edge.row = row;
        edge.column = column;
      }
      const Edge* group = s.edges.data() + begin;
      if constexpr (!kEvents) {
        // One truth with several detections, or one detection with several
        // truths: one pair, whichever.
        if (rows == 1 || columns == 1) {
          ++pairs;
          begin = end;
          continue;
        }
      }
      if constexpr (kEvents) {
        const auto pairOfGroup = [&](int32_t row, int32_t column) {
          pairUp(s.rowTruth[row], s.columnSystem[column]);
        };
        pairs += std::max(rows, columns) <= denseLimit
                     ? denseMatching(s, group, end - begin, rows, columns, pairOfGroup)
                     : sparseMatching(s, group, end - begin, rows, columns, pairOfGroup);
      } else {
        pairs += std::max(rows, columns) <= denseLimit
                     ? denseMatching(s, group, end - begin, rows, columns)
                     : sparseMatching(s, group, end - begin, rows, columns);
      }
    }
    begin = end;
  }

  return pairs;
}

// The matching, with or without the outcome of every box. Both roads are one
// code: the outcomes are read off the same pairs the counts are made of, and
// the counts-only road compiles without any of the bookkeeping.
template <bool kEvents>
void matchFrame(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA, bool keepMarkB,
                std::size_t denseLimit, FrameEvents* events) {
  if constexpr (kEvents) {
    // Until found otherwise, a truth is missed and a system box a false alarm.
    events->truth.assign(groundTruth.targets.size(), TruthOutcome::kMiss);
    events->truthPartner.assign(groundTruth.targets.size(), -1);
    const std::size_t systemSize = system == nullptr ? 0 : system->targets.size();
    events->system.assign(systemSize, SystemOutcome::kFalseAlarm);
    events->systemPartner.assign(systemSize, -1);
    events->systemPassed.clear();
  }
  if (system == nullptr) {
    evaluateFrameAlone(groundTruth, keepMarkA, keepMarkB);
    if constexpr (kEvents) truthsAlone(groundTruth, keepMarkA, keepMarkB, *events);
    return;
  }
  thread_local Scratch s;
  const std::vector<const QuorTarget*>& truths = groundTruth.targets;
  const std::vector<const QuorTarget*>& regions = groundTruth.regions;
  const float threshold = groundTruth.overlapThreshold;
  const OverlapMeasure measure = groundTruth.overlapMeasure;

  keepUncovered<kEvents>(s, regions, groundTruth.regionCoverRatio, *system, events);
  const std::size_t gtCount = truths.size();
  const std::size_t detCount = s.kept.size();
  if (detCount == 0) {
    // Nothing left to match: the same counts as without a system frame.
    evaluateFrameAlone(groundTruth, keepMarkA, keepMarkB);
    if constexpr (kEvents) truthsAlone(groundTruth, keepMarkA, keepMarkB, *events);
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
    if constexpr (kEvents) {
      if (s.truthExcluded[r] != 0) events->truth[r] = TruthOutcome::kExcluded;
    }
  }
  s.systemExcluded.assign(detCount, 0);

  // Score the pairs that can touch. A pass with a flagged box (an excluded
  // truth, or a flagged detection) sets the detection aside; other passes
  // are candidate pairs. Both ways below take the truths in list order, so
  // the first truth to set a detection aside is the first in the list.
  s.edges.clear();
  bool crowded = false;
  const auto scoreOne = [&](std::size_t r, int32_t c) {
    if (crowded || !rectanglesTouch(*truths[r], *s.kept[c])) return;  // most pairs, settled inline
    const int32_t score =
        scorePair(*truths[r], *s.kept[c], threshold, keepMarkA, keepMarkB, measure);
    if (score == -1) {
      if constexpr (kEvents) {
        if (s.systemExcluded[c] == 0) {
          const int32_t position = s.keptPosition[c];
          events->system[position] = SystemOutcome::kSetAside;
          events->systemPartner[position] = static_cast<int32_t>(r);
        }
      }
      s.systemExcluded[c] = 1;
    } else if (score == 1) {
      s.edges.push_back({0, static_cast<int32_t>(r), c, 0, 0});
      crowded = s.edges.size() > kStoredPairLimit;
    }
  };
  forEachTouchingPair(s, truths, threshold, crowded, scoreOne);
  // Records a pair of the assignment: truth `r` with kept detection `c`.
  const auto pairUp = [&](int32_t r, int32_t c) {
    if constexpr (kEvents) {
      const int32_t position = s.keptPosition[c];
      events->truth[r] = TruthOutcome::kMatch;
      events->truthPartner[r] = position;
      events->system[position] = SystemOutcome::kMatch;
      events->systemPartner[position] = r;
    }
  };

  if (crowded) {
    s.edges.clear();
    s.edges.shrink_to_fit();
    thread_local CrowdedMatch crowd;
    matchCrowded(truths, s.kept, threshold, keepMarkA, keepMarkB, crowd, measure);
    s.truthExcluded.assign(crowd.truthExcluded.begin(), crowd.truthExcluded.end());
    s.systemExcluded.assign(crowd.systemExcluded.begin(), crowd.systemExcluded.end());
    if constexpr (kEvents) {
      // Set-asides seen before the frame turned out crowded have their first
      // flagged partner already; the rest look for it in list order.
      for (std::size_t c = 0; c < detCount; ++c) {
        const int32_t position = s.keptPosition[c];
        if (crowd.systemExcluded[c] == 0 || events->system[position] == SystemOutcome::kSetAside) {
          continue;
        }
        events->system[position] = SystemOutcome::kSetAside;
        for (std::size_t r = 0; r < gtCount; ++r) {
          if (rectanglesTouch(*truths[r], *s.kept[c]) &&
              scorePair(*truths[r], *s.kept[c], threshold, keepMarkA, keepMarkB, measure) == -1) {
            events->systemPartner[position] = static_cast<int32_t>(r);
            break;
          }
        }
      }
      for (std::size_t r = 0; r < gtCount; ++r) {
        if (crowd.truthMatch[r] >= 0) pairUp(static_cast<int32_t>(r), crowd.truthMatch[r]);
      }
    }
    finishCounts(groundTruth, s, gtCount, detCount, crowd.pairs);
    return;
  }
  std::erase_if(s.edges, [&](const Edge& e) { return s.systemExcluded[e.system] != 0; });

  finishCounts(groundTruth, s, gtCount, detCount,
               solveEdges<kEvents>(s, gtCount, detCount, denseLimit, pairUp));
}

// The slot of each of `classCodes` (k + 1 for classCodes[k]; 0, All's, for
// any other code), from a table for the small codes every known class has.
class ClassSlotTable {
 public:
  explicit ClassSlotTable(std::span<const int32_t> classCodes) : codes_(classCodes) {
    for (std::size_t k = 0; k < classCodes.size(); ++k) {
      if (classCodes[k] >= 0 && classCodes[k] < 64) {
        table_[static_cast<std::size_t>(classCodes[k])] = static_cast<uint32_t>(k + 1);
      }
    }
  }
  std::size_t operator()(uint16_t code) const {
    if (code < 64) return table_[code];
    for (std::size_t k = 0; k < codes_.size(); ++k) {
      if (codes_[k] == code) return k + 1;
    }
    return 0;
  }

 private:
  std::span<const int32_t> codes_;
  std::array<uint32_t, 64> table_{};
};

// Splits the passing pairs in s.passing among All and the classes of
// `classCodes`, and writes the counts each one's own matching would leave
// (see evaluateFrameClasses). A system box belongs to one class, so whether
// it is set aside for its class depends only on the flagged passes it has
// with objects of its own class; for All, on any flagged pass.
void countClasses(Scratch& s, const std::vector<const QuorTarget*>& truths,
                  std::span<const int32_t> classCodes, std::span<FrameClassCounts> counts) {
  const std::size_t gtCount = truths.size();
  const std::size_t detCount = s.kept.size();
  const std::size_t slots = counts.size();
  // Each class code's slot in `counts` (0: All only).
  const ClassSlotTable slotOf(classCodes);
  // The boxes' slots: each counted class has one (the codes are distinct),
  // and every other class shares slot 0, All's.
  s.truthCode.resize(gtCount);
  s.keptCode.resize(detCount);
  std::fill(counts.begin(), counts.end(), FrameClassCounts{});
  for (std::size_t r = 0; r < gtCount; ++r) {
    const std::size_t slot = slotOf(truths[r]->classCode);
    const int32_t excluded = excludedByFlags(*truths[r], false, false);
    s.truthCode[r] = static_cast<uint16_t>(slot);
    counts[slot].gtCount += slot != 0;
    counts[slot].gtExcluded += slot != 0 ? excluded : 0;
    ++counts[0].gtCount;
    counts[0].gtExcluded += excluded;
  }
  for (std::size_t c = 0; c < detCount; ++c) {
    const std::size_t slot = slotOf(s.kept[c]->classCode);
    s.keptCode[c] = static_cast<uint16_t>(slot);
    counts[slot].detCount += slot != 0;
    ++counts[0].detCount;
  }
  // Set-asides: bit 1 for All's, bit 2 for the box's own class's (a flagged
  // pass with an object of its class). The candidate pairs within a
  // counted class, sorted by class, for the classes' matchings.
  s.systemExcluded.assign(detCount, 0);
  s.classStart.assign(slots + 1, 0);
  // Whether some box has two candidate pairs: most often none has, and then
  // every matching takes all of its candidate pairs, with nothing to solve.
  s.nodeSeen.assign(gtCount + detCount, 0);
  bool shared = false;
  for (const PassingPair& p : s.passing) {
    const bool sameClass =
        s.truthCode[p.truth] == s.keptCode[p.system] && s.truthCode[p.truth] != 0;
    if (p.flagged) {
      s.systemExcluded[p.system] |= static_cast<char>(sameClass ? 3 : 1);
    } else {
      char& truthSeen = s.nodeSeen[static_cast<std::size_t>(p.truth)];
      char& systemSeen = s.nodeSeen[gtCount + static_cast<std::size_t>(p.system)];
      shared = shared || truthSeen != 0 || systemSeen != 0;
      truthSeen = systemSeen = 1;
      if (sameClass) ++s.classStart[s.truthCode[p.truth] + 1u];
    }
  }
  const auto finish = [](FrameClassCounts& c, int32_t pairs) {
    c.fnCount = c.gtCount - c.gtExcluded - pairs;
    c.fpCount = c.detCount - c.detExcluded - pairs;
  };
  for (std::size_t c = 0; c < detCount; ++c) {
    counts[0].detExcluded += (s.systemExcluded[c] & 1);
    if ((s.systemExcluded[c] & 2) != 0) ++counts[s.keptCode[c]].detExcluded;
  }
  if (!shared) {
    // Each matching's pairs are its candidate pairs whose detection was not
    // set aside: All's by any flagged pass, a class's by one of its own.
    s.slotPairs.assign(slots, 0);
    for (const PassingPair& p : s.passing) {
      if (p.flagged) continue;
      const char excluded = s.systemExcluded[p.system];
      s.slotPairs[0] += (excluded & 1) == 0;
      const std::size_t slot = s.truthCode[p.truth];
      if (slot != 0 && slot == s.keptCode[p.system] && (excluded & 2) == 0) ++s.slotPairs[slot];
    }
    for (std::size_t slot = 0; slot < slots; ++slot) finish(counts[slot], s.slotPairs[slot]);
    return;
  }
  for (std::size_t k = 1; k <= slots; ++k) s.classStart[k] += s.classStart[k - 1];
  s.classPairs.resize(s.classStart[slots]);
  s.classNext.assign(s.classStart.begin(), s.classStart.end() - 1);
  s.edges.clear();
  for (const PassingPair& p : s.passing) {
    if (p.flagged) continue;
    if (s.systemExcluded[p.system] == 0) s.edges.push_back({0, p.truth, p.system, 0, 0});
    const std::size_t slot = s.truthCode[p.truth];
    if (slot != 0 && slot == s.keptCode[p.system]) {
      s.classPairs[s.classNext[slot]++] = p;
    }
  }
  finish(counts[0],
         s.edges.empty() ? 0 : solveEdges<false>(s, gtCount, detCount, kDenseLimit, NoPairs{}));
  for (std::size_t slot = 1; slot < slots; ++slot) {
    s.edges.clear();
    for (std::size_t at = s.classStart[slot]; at < s.classStart[slot + 1]; ++at) {
      const PassingPair& p = s.classPairs[at];
      if ((s.systemExcluded[p.system] & 2) == 0) s.edges.push_back({0, p.truth, p.system, 0, 0});
    }
    finish(counts[slot],
           s.edges.empty() ? 0 : solveEdges<false>(s, gtCount, detCount, kDenseLimit, NoPairs{}));
  }
}

// One class's events (classCode -1: every class) from All's scored pairs in
// s.passing: what matchFrame<true>() gives on the class's own selection.
// Its candidate pairs come in the order All's scoring found them, which keeps
// their order among themselves, so the assignment is the one the class's own
// matching finds. `regions` holds All's outcomes of the region test.
void classEvents(Scratch& s, const std::vector<const QuorTarget*>& truths, const QuorFrame& system,
                 const FrameEvents& regions, int32_t classCode, FrameEvents& out) {
  const auto ofClass = [classCode](const QuorTarget* target) {
    return classCode < 0 || target->classCode == classCode;
  };
  // Each box's position in the class's own lists, -1 for other classes.
  s.truthLocal.resize(truths.size());
  out.truth.clear();
  out.truthPartner.clear();
  for (std::size_t r = 0; r < truths.size(); ++r) {
    if (!ofClass(truths[r])) {
      s.truthLocal[r] = -1;
      continue;
    }
    s.truthLocal[r] = static_cast<int32_t>(out.truth.size());
    out.truth.push_back(excludedByFlags(*truths[r], false, false) ? TruthOutcome::kExcluded
                                                                  : TruthOutcome::kMiss);
    out.truthPartner.push_back(-1);
  }
  s.systemLocal.resize(system.targets.size());
  out.system.clear();
  out.systemPartner.clear();
  out.systemPassed.assign(system.targets.size(), 0);
  for (std::size_t position = 0; position < system.targets.size(); ++position) {
    if (!ofClass(system.targets[position])) {
      s.systemLocal[position] = -1;
      continue;
    }
    s.systemLocal[position] = static_cast<int32_t>(out.system.size());
    const bool covered = regions.system[position] == SystemOutcome::kInRegion;
    out.system.push_back(covered ? SystemOutcome::kInRegion : SystemOutcome::kFalseAlarm);
    out.systemPartner.push_back(covered ? regions.systemPartner[position] : -1);
  }
  const auto localOfKept = [&](int32_t c) {
    return s.systemLocal[static_cast<std::size_t>(s.keptPosition[static_cast<std::size_t>(c)])];
  };
  // Set-asides: the first flagged pass in list order names the partner.
  s.systemExcluded.assign(s.kept.size(), 0);
  for (const PassingPair& p : s.passing) {
    if (!p.flagged || s.truthLocal[p.truth] < 0 || localOfKept(p.system) < 0) continue;
    if (s.systemExcluded[p.system] == 0) {
      const int32_t c = localOfKept(p.system);
      out.system[c] = SystemOutcome::kSetAside;
      out.systemPartner[c] = s.truthLocal[p.truth];
    }
    s.systemExcluded[p.system] = 1;
  }
  s.edges.clear();
  for (const PassingPair& p : s.passing) {
    if (p.flagged || s.truthLocal[p.truth] < 0 || localOfKept(p.system) < 0) continue;
    out.systemPassed[static_cast<std::size_t>(localOfKept(p.system))] = 1;
    if (s.systemExcluded[p.system] == 0) s.edges.push_back({0, p.truth, p.system, 0, 0});
  }
  if (s.edges.empty()) return;
  solveEdges<true>(s, truths.size(), s.kept.size(), kDenseLimit, [&](int32_t r, int32_t c) {
    const int32_t truthAt = s.truthLocal[r];
    const int32_t systemAt = localOfKept(c);
    out.truth[truthAt] = TruthOutcome::kMatch;
    out.truthPartner[truthAt] = systemAt;
    out.system[systemAt] = SystemOutcome::kMatch;
    out.systemPartner[systemAt] = truthAt;
  });
}

// classEvents() of each class of `classCodes` (distinct codes) into
// `events[k + 1]`, in one pass over the boxes and the pairs: each box is
// counted in its own class's lists only, and each class matches its share
// of the pairs, kept in All's order.
void eachClassEvents(Scratch& s, const std::vector<const QuorTarget*>& truths,
                     const QuorFrame& system, const FrameEvents& regions,
                     std::span<const int32_t> classCodes, std::span<FrameEvents> events) {
  const std::size_t slots = classCodes.size() + 1;
  const ClassSlotTable slotOf(classCodes);
  for (std::size_t slot = 1; slot < slots; ++slot) {
    FrameEvents& e = events[slot];
    e.truth.clear();
    e.truthPartner.clear();
    e.system.clear();
    e.systemPartner.clear();
    e.systemPassed.clear();
  }
  // Each box's class slot and its position in its class's lists.
  s.truthCode.resize(truths.size());
  s.truthLocal.resize(truths.size());
  for (std::size_t r = 0; r < truths.size(); ++r) {
    const std::size_t slot = slotOf(truths[r]->classCode);
    s.truthCode[r] = static_cast<uint16_t>(slot);
    if (slot == 0) continue;
    FrameEvents& e = events[slot];
    s.truthLocal[r] = static_cast<int32_t>(e.truth.size());
    e.truth.push_back(excludedByFlags(*truths[r], false, false) ? TruthOutcome::kExcluded
                                                                : TruthOutcome::kMiss);
    e.truthPartner.push_back(-1);
  }
  s.systemLocal.resize(system.targets.size());
  s.keptCode.resize(s.kept.size());
  for (std::size_t position = 0; position < system.targets.size(); ++position) {
    const std::size_t slot = slotOf(system.targets[position]->classCode);
    if (slot == 0) continue;
    FrameEvents& e = events[slot];
    s.systemLocal[position] = static_cast<int32_t>(e.system.size());
    const bool covered = regions.system[position] == SystemOutcome::kInRegion;
    e.system.push_back(covered ? SystemOutcome::kInRegion : SystemOutcome::kFalseAlarm);
    e.systemPartner.push_back(covered ? regions.systemPartner[position] : -1);
    e.systemPassed.push_back(0);
  }
  for (std::size_t c = 0; c < s.kept.size(); ++c) {
    s.keptCode[c] = static_cast<uint16_t>(slotOf(s.kept[c]->classCode));
  }
  const auto localOfKept = [&](int32_t c) {
    return s.systemLocal[static_cast<std::size_t>(s.keptPosition[static_cast<std::size_t>(c)])];
  };
  // Set-asides within a class: the first flagged pass with an object of the
  // class, in list order, names the partner. The candidate pairs of each
  // class, by class, in All's order.
  s.systemExcluded.assign(s.kept.size(), 0);
  s.classStart.assign(slots + 1, 0);
  // Whether some box has two candidate pairs within its class: most often
  // none has, and then each class's matching takes every one of its
  // candidate pairs whose detection was not set aside, with nothing to solve.
  s.nodeSeen.assign(truths.size() + s.kept.size(), 0);
  bool shared = false;
  for (const PassingPair& p : s.passing) {
    const std::size_t slot = s.truthCode[p.truth];
    if (slot == 0 || slot != s.keptCode[p.system]) continue;
    if (p.flagged) {
      if (s.systemExcluded[p.system] == 0) {
        const int32_t c = localOfKept(p.system);
        events[slot].system[c] = SystemOutcome::kSetAside;
        events[slot].systemPartner[c] = s.truthLocal[p.truth];
      }
      s.systemExcluded[p.system] = 1;
    } else {
      ++s.classStart[slot + 1];
      events[slot].systemPassed[static_cast<std::size_t>(localOfKept(p.system))] = 1;
      char& truthSeen = s.nodeSeen[static_cast<std::size_t>(p.truth)];
      char& systemSeen = s.nodeSeen[truths.size() + static_cast<std::size_t>(p.system)];
      shared = shared || truthSeen != 0 || systemSeen != 0;
      truthSeen = systemSeen = 1;
    }
  }
  const auto pairUp = [&](FrameEvents& e, int32_t r, int32_t c) {
    const int32_t truthAt = s.truthLocal[r];
    const int32_t systemAt = localOfKept(c);
    e.truth[truthAt] = TruthOutcome::kMatch;
    e.truthPartner[truthAt] = systemAt;
    e.system[systemAt] = SystemOutcome::kMatch;
    e.systemPartner[systemAt] = truthAt;
  };
  if (!shared) {
    for (const PassingPair& p : s.passing) {
      const std::size_t slot = s.truthCode[p.truth];
      if (!p.flagged && slot != 0 && slot == s.keptCode[p.system] &&
          s.systemExcluded[p.system] == 0) {
        pairUp(events[slot], p.truth, p.system);
      }
    }
    return;
  }
  for (std::size_t k = 1; k <= slots; ++k) s.classStart[k] += s.classStart[k - 1];
  s.classPairs.resize(s.classStart[slots]);
  s.classNext.assign(s.classStart.begin(), s.classStart.end() - 1);
  for (const PassingPair& p : s.passing) {
    const std::size_t slot = s.truthCode[p.truth];
    if (!p.flagged && slot != 0 && slot == s.keptCode[p.system]) {
      s.classPairs[s.classNext[slot]++] = p;
    }
  }
  for (std::size_t slot = 1; slot < slots; ++slot) {
    s.edges.clear();
    for (std::size_t at = s.classStart[slot]; at < s.classStart[slot + 1]; ++at) {
      const PassingPair& p = s.classPairs[at];
      if (s.systemExcluded[p.system] == 0) s.edges.push_back({0, p.truth, p.system, 0, 0});
    }
    if (s.edges.empty()) continue;
    FrameEvents& e = events[slot];
    solveEdges<true>(s, truths.size(), s.kept.size(), kDenseLimit,
                     [&](int32_t r, int32_t c) { pairUp(e, r, c); });
  }
}

// Scores the touching pairs of `truths` and the kept boxes (s.kept) into
// s.passing, flagged or not: each class takes those of its boxes. False, with
// nothing kept, when the passing pairs are too many to keep (a crowd).
bool scorePassingPairs(Scratch& s, const std::vector<const QuorTarget*>& truths, float threshold,
                       OverlapMeasure measure) {
  s.passing.clear();
  bool crowded = false;
  forEachTouchingPair(s, truths, threshold, crowded, [&](std::size_t r, int32_t c) {
    if (crowded || !rectanglesTouch(*truths[r], *s.kept[c])) return;
    const int32_t score = scorePair(*truths[r], *s.kept[c], threshold, false, false, measure);
    if (score == 0) return;
    s.passing.push_back({static_cast<int32_t>(r), c, score == -1});
    crowded = s.passing.size() > kStoredPairLimit;
  });
  if (crowded) {
    s.passing.clear();
    s.passing.shrink_to_fit();
    return false;
  }
  return true;
}

}  // namespace

bool evaluateFrameClasses(const QuorFrame& truth, const QuorFrame& system,
                          std::span<const int32_t> classCodes, std::span<FrameClassCounts> counts) {
  thread_local Scratch s;
  const std::vector<const QuorTarget*>& truths = truth.targets;
  const float threshold = truth.overlapThreshold;
  keepUncovered<false>(s, truth.regions, truth.regionCoverRatio, system, nullptr);
  if (!scorePassingPairs(s, truths, threshold, truth.overlapMeasure)) return false;
  countClasses(s, truths, classCodes, counts);
  return true;
}

void evaluateFrameWithLimit(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                            bool keepMarkB, std::size_t denseLimit) {
  matchFrame<false>(groundTruth, system, keepMarkA, keepMarkB, denseLimit, nullptr);
}

bool evaluateFrameClassesEvents(const QuorFrame& truth, const QuorFrame& system,
                                std::span<const int32_t> classCodes,
                                std::span<FrameEvents> events) {
  thread_local Scratch s;
  thread_local FrameEvents regions;
  const std::vector<const QuorTarget*>& truths = truth.targets;
  const float threshold = truth.overlapThreshold;
  regions.system.assign(system.targets.size(), SystemOutcome::kFalseAlarm);
  regions.systemPartner.assign(system.targets.size(), -1);
  keepUncovered<true>(s, truth.regions, truth.regionCoverRatio, system, &regions);
  if (!scorePassingPairs(s, truths, threshold, truth.overlapMeasure)) return false;
  classEvents(s, truths, system, regions, -1, events[0]);
  // A frame whose boxes are all of one counted class (a file of one class,
  // most often) gives that class All's lists and matching: its own
  // matching would see the same boxes, pairs and order.
  const ClassSlotTable slotOf(classCodes);
  const std::size_t first = !truths.empty()           ? slotOf(truths.front()->classCode)
                            : !system.targets.empty() ? slotOf(system.targets.front()->classCode)
                                                      : 0;
  const auto inFirst = [&](const QuorTarget* target) { return slotOf(target->classCode) == first; };
  if (first != 0 && std::all_of(truths.begin(), truths.end(), inFirst) &&
      std::all_of(system.targets.begin(), system.targets.end(), inFirst)) {
    for (std::size_t slot = 1; slot <= classCodes.size(); ++slot) {
      FrameEvents& e = events[slot];
      if (slot == first) {
        e.truth.assign(events[0].truth.begin(), events[0].truth.end());
        e.truthPartner.assign(events[0].truthPartner.begin(), events[0].truthPartner.end());
        e.system.assign(events[0].system.begin(), events[0].system.end());
        e.systemPartner.assign(events[0].systemPartner.begin(), events[0].systemPartner.end());
        e.systemPassed.assign(events[0].systemPassed.begin(), events[0].systemPassed.end());
      } else {
        e.truth.clear();
        e.truthPartner.clear();
        e.system.clear();
        e.systemPartner.clear();
        e.systemPassed.clear();
      }
    }
    return true;
  }
  eachClassEvents(s, truths, system, regions, classCodes, events);
  return true;
}

void evaluateFrameEventsWithLimit(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                                  bool keepMarkB, std::size_t denseLimit, FrameEvents& events) {
  matchFrame<true>(groundTruth, system, keepMarkA, keepMarkB, denseLimit, &events);
}

void evaluateFrame(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                   bool keepMarkB) {
  evaluateFrameWithLimit(groundTruth, system, keepMarkA, keepMarkB, kDenseLimit);
}

void evaluateFrameEvents(QuorFrame& groundTruth, const QuorFrame* system, bool keepMarkA,
                         bool keepMarkB, FrameEvents& events) {
  evaluateFrameEventsWithLimit(groundTruth, system, keepMarkA, keepMarkB, kDenseLimit, events);
}
