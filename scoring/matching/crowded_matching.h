// Frame matching for crowded frames, in memory that does not grow with the
// number of passing pairs.
#pragma once

#include <cstdint>
#include <vector>

#include "annotation/quor_records.h"

/// The boxes of a frame after the region filter, and what the matching
/// found. `truthMatch[r]` is the kept box paired with truth r, or -1;
/// `systemMatch[c]` the truth paired with kept box c, or -1.
struct CrowdedMatch {
  std::vector<char> truthExcluded;   // flagged truths: never paired, not counted
  std::vector<char> systemExcluded;  // kept boxes set aside by a pass with a flagged box
  std::vector<int32_t> truthMatch;
  std::vector<int32_t> systemMatch;
  int32_t pairs = 0;
};

/// A largest set of disjoint passing pairs between `truths` and `kept` (the
/// system boxes the regions left), with the same flag rules as the frame
/// matching: a flagged truth is excluded, and a kept box that passes with a
/// flagged box (either side, keep switches off) is set aside. Partners are
/// found on demand through a spatial index and never stored: a frame of
/// thousands of identical boxes has millions of passing pairs. Boxes are
/// first paired greedily, then each truth left over searches for an
/// augmenting path (breadth first); the size of the result is that of any
/// largest matching, which is all the counts depend on.
void matchCrowded(const std::vector<const QuorTarget*>& truths,
                  const std::vector<const QuorTarget*>& kept, float threshold, bool keepMarkA,
                  bool keepMarkB, CrowdedMatch& result,
                  OverlapMeasure measure = OverlapMeasure::kEnclosing);
