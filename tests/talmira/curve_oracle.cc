#include "tests/talmira/curve_oracle.h"

#include <functional>
#include <map>
#include <set>

namespace talmira_test {

SweepCurves bruteForceCurves(const QuorSequence& groundTruth, const QuorSequence& system) {
  std::array<std::set<float, std::greater<float>>, kClassCount> thresholds;
  for (auto& set : thresholds) set = {1.0f, 0.0f};
  for (const QuorSequence* sequence : {&groundTruth, &system}) {
    for (const QuorFrame& frame : sequence->frames) {
      for (const QuorTarget* target : frame.targets) {
        if (!(target->confidence > 0.0f && target->confidence < 1.0f)) continue;
        thresholds[0].insert(target->confidence);
        for (std::size_t slot = 1; slot < kClassCount; ++slot) {
          if (target->name() == evaluationClasses[slot])
            thresholds[slot].insert(target->confidence);
        }
      }
    }
  }
  // "All" holds every threshold of every class: score once at each.
  std::map<float, std::array<ClassCounts, kClassCount>> scored;
  for (float t : thresholds[0])
    scored.emplace(t, standardRows(scoreClasses(groundTruth, system, t)));
  SweepCurves curves(kClassCount);
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    for (float t : thresholds[slot]) {
      const ClassCounts& c = scored.at(t)[slot];
      curves[slot].frames = c.frames;
      curves[slot].points.push_back(CurvePoint{t, c.gt, c.det, c.fn, c.fp});
    }
  }
  return curves;
}

}  // namespace talmira_test
