#include "annotation/scoring_rules.h"

#include <array>
#include <charconv>
#include <cmath>
#include <utility>

namespace {

// The shortest text that reads back as `value` ("0.5", "0.33", "30").
template <typename Number>
std::string shortest(Number value) {
  std::array<char, 64> text{};
  const auto [end, status] = std::to_chars(text.data(), text.data() + text.size(), value);
  return status == std::errc{} ? std::string(text.data(), end) : std::string("?");
}

bool fraction(float value) { return value > 0.0f && value <= 1.0f; }

}  // namespace

std::string_view overlapMeasureName(OverlapMeasure measure) {
  return measure == OverlapMeasure::kIou ? "iou" : "enclosing";
}

std::optional<OverlapMeasure> overlapMeasureNamed(std::string_view name) {
  if (name == "enclosing") return OverlapMeasure::kEnclosing;
  if (name == "iou") return OverlapMeasure::kIou;
  return std::nullopt;
}

std::string ruleSetNames() { return "mot|visdrone|kitti"; }

std::optional<ScoringRules> namedRules(std::string_view name) {
  // MOTChallenge and VisDrone match at an IoU of 0.5, keep boxes of every
  // size and drop detections in their ignored regions; neither has a size
  // test of its own. KITTI's evaluation also matches at 0.5 IoU (its car
  // class asks 0.7, the others 0.5), ignores ground truth lower than 25
  // pixels and drops detections mostly inside a DontCare area.
  ScoringRules rules;
  rules.overlap = OverlapMeasure::kIou;
  rules.minOverlap = 0.5f;
  if (name == "mot" || name == "visdrone") {
    rules.minSide = 0.0;
    return rules;
  }
  if (name == "kitti") {
    rules.regionCover = 0.5f;
    rules.minSide = 25.0;
    return rules;
  }
  return std::nullopt;
}

std::string rulesProblem(const ScoringRules& rules) {
  if (!fraction(rules.minOverlap)) {
    return "the min overlap must be above 0 and at most 1, not " + shortest(rules.minOverlap);
  }
  if (!fraction(rules.regionCover)) {
    return "the region cover must be above 0 and at most 1, not " + shortest(rules.regionCover);
  }
  if (!(rules.minSide >= 0.0) || !std::isfinite(rules.minSide)) {
    return "the min side must be a length of 0 or more pixels, not " + shortest(rules.minSide);
  }
  return {};
}

std::string rulesText(const ScoringRules& rules) {
  return "overlap " + std::string(overlapMeasureName(rules.overlap)) + ", min overlap " +
         shortest(rules.minOverlap) + ", region cover " + shortest(rules.regionCover) +
         ", min side " + shortest(rules.minSide);
}
