// The rules a pair of annotations is scored by: how overlap is measured, the
// overlap a match needs, the part of a box a don't-care region must cover,
// and the size test of the reader. The defaults are this format's own;
// other benchmarks' rules are available by name.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "annotation/quor_records.h"

/// A record is kept only when one of its four sides is at least this long,
/// unless the rules say otherwise.
inline constexpr double kMinSideLength = 30.0;

struct ScoringRules {
  OverlapMeasure overlap = OverlapMeasure::kEnclosing;
  float minOverlap = kDefaultOverlapThreshold;  // 0 < T <= 1: a pair matches from here
  float regionCover = kDefaultRegionCover;      // 0 < T <= 1: a region drops a box from here
  double minSide = kMinSideLength;              // >= 0: the reader keeps a box from here

  bool operator==(const ScoringRules&) const = default;
  bool isDefault() const { return *this == ScoringRules{}; }
  /// Gives `frame` the matching's rules (all but the size test, which acts
  /// while a file is read).
  void applyTo(QuorFrame& frame) const {
    frame.overlapThreshold = minOverlap;
    frame.regionCoverRatio = regionCover;
    frame.overlapMeasure = overlap;
  }
};

/// "enclosing" or "iou".
std::string_view overlapMeasureName(OverlapMeasure measure);
/// The measure of that name, if any.
std::optional<OverlapMeasure> overlapMeasureNamed(std::string_view name);

/// The names of the rule sets, "mot|visdrone|kitti", for help texts.
std::string ruleSetNames();
/// The rule set of that name ("mot", "visdrone", "kitti"), if any.
std::optional<ScoringRules> namedRules(std::string_view name);

/// What is wrong with `rules` (a threshold outside (0, 1], a negative or
/// non-finite size), as one line; empty when nothing is.
std::string rulesProblem(const ScoringRules& rules);

/// The rules in one line, "overlap iou, min overlap 0.5, region cover 0.33,
/// min side 0", for reports.
std::string rulesText(const ScoringRules& rules);
