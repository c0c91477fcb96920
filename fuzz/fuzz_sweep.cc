// Fuzz target for the confidence sweep.
//
// Input: one control byte, then the ground-truth file, the separator
// "\n====\n" and the system-output file. Without a separator the same file
// serves as both. The control byte's low five bits plus one are the steps of
// a grid that is also checked.
//
// When both files read, every row of every class's exact curve and of the
// grid's sampling must equal one whole scoring at its threshold, the exact
// thresholds must be 1, the distinct confidences in (0, 1) of the class's
// boxes and 0, and the best point must be a row that no row beats (and no
// higher row equals). When both files' frame numbers only grow, sweeping
// them while they are read (control bit 5: with two workers) must give the
// same curves.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <map>
#include <set>
#include <string_view>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/confidence_sweep.h"
#include "scoring/counts/streaming_evaluation.h"

namespace {

constexpr std::string_view kSeparator = "\n====\n";

class Oracle {
 public:
  Oracle(const QuorSequence& truth, const QuorSequence& system) : truth_(truth), system_(system) {}
  const ClassCounts& at(float threshold, std::size_t slot) {
    auto found = cache_.find(threshold);
    if (found == cache_.end()) {
      found =
          cache_.emplace(threshold, standardRows(scoreClasses(truth_, system_, threshold))).first;
    }
    return found->second[slot];
  }

 private:
  const QuorSequence& truth_;
  const QuorSequence& system_;
  std::map<float, std::array<ClassCounts, kClassCount>> cache_;
};

void checkRow(const char* kind, std::size_t slot, const CurvePoint& row, int64_t frames,
              const ClassCounts& oracle) {
  if (row.gt == oracle.gt && row.det == oracle.det && row.fn == oracle.fn && row.fp == oracle.fp &&
      frames == oracle.frames) {
    return;
  }
  std::fprintf(stderr,
               "%s row of %s at %.9g: gt %lld det %lld fn %lld fp %lld frames %lld; scoring: gt "
               "%lld det %lld fn %lld fp %lld frames %lld\n",
               kind, evaluationClasses[slot], static_cast<double>(row.threshold),
               static_cast<long long>(row.gt), static_cast<long long>(row.det),
               static_cast<long long>(row.fn), static_cast<long long>(row.fp),
               static_cast<long long>(frames), static_cast<long long>(oracle.gt),
               static_cast<long long>(oracle.det), static_cast<long long>(oracle.fn),
               static_cast<long long>(oracle.fp), static_cast<long long>(oracle.frames));
  talmira_fuzz::fail(__FILE__, __LINE__, "a sweep row differs from the scoring");
}

std::vector<float> expectedThresholds(const QuorSequence& truth, const QuorSequence& system,
                                      std::size_t slot) {
  std::set<float, std::greater<float>> values = {1.0f, 0.0f};
  for (const QuorSequence* sequence : {&truth, &system}) {
    for (const QuorFrame& frame : sequence->frames) {
      for (const QuorTarget* t : frame.targets) {
        const bool ofClass = slot == 0 || t->name() == evaluationClasses[slot];
        if (ofClass && t->confidence > 0.0f && t->confidence < 1.0f) values.insert(t->confidence);
      }
    }
  }
  return {values.begin(), values.end()};
}

// A stream over a copy of `bytes`, alive as long as `copy`.
std::FILE* streamOf(std::string_view bytes, std::vector<char>& copy) {
  copy.assign(bytes.begin(), bytes.end());
  if (copy.empty()) return std::fopen("/dev/null", "r");
  return fmemopen(copy.data(), copy.size(), "r");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int gridSteps = (data[0] & 0x1f) + 1;
  const std::string_view files(reinterpret_cast<const char*>(data + 1), size - 1);
  std::string_view truthBytes = files;
  std::string_view systemBytes = files;
  if (const std::size_t at = files.find(kSeparator); at != std::string_view::npos) {
    truthBytes = files.substr(0, at + 1);
    systemBytes = files.substr(at + kSeparator.size());
  }
  QuorSequence truth;
  QuorSequence system;
  if (talmira_fuzz::readBytes(truthBytes, truth, "gt.csv", nullptr) != 0) return 0;
  if (talmira_fuzz::readBytes(systemBytes, system, "sys.csv", nullptr) != 0) return 0;

  const SweepCurves curves = sweepClasses(truth, system);
  const std::vector<float> grid = gridThresholds(gridSteps);
  Oracle oracle(truth, system);
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const ClassCurve& curve = curves[slot];
    std::vector<float> thresholds;
    for (const CurvePoint& row : curve.points) thresholds.push_back(row.threshold);
    FUZZ_CHECK(thresholds == expectedThresholds(truth, system, slot));
    for (const CurvePoint& row : curve.points) {
      checkRow("exact", slot, row, curve.frames, oracle.at(row.threshold, slot));
    }
    const ClassCurve sampled = sampleCurve(curve, grid);
    FUZZ_CHECK(sampled.points.size() == grid.size());
    for (std::size_t at = 0; at < grid.size(); ++at) {
      FUZZ_CHECK(sampled.points[at].threshold == grid[at]);
      checkRow("grid", slot, sampled.points[at], sampled.frames, oracle.at(grid[at], slot));
    }
    const CurvePoint best = bestPoint(curve);
    bool listed = false;
    for (const CurvePoint& row : curve.points) {
      listed = listed || row == best;
      FUZZ_CHECK(row.nmodta() <= best.nmodta());
      FUZZ_CHECK(row.threshold <= best.threshold || row.nmodta() < best.nmodta());
    }
    FUZZ_CHECK(listed);
  }

  std::vector<char> truthCopy, systemCopy;
  StreamedInput truthInput(streamOf(truthBytes, truthCopy), "gt.csv");
  StreamedInput systemInput(streamOf(systemBytes, systemCopy), "sys.csv");
  FUZZ_CHECK(truthInput.stream != nullptr && systemInput.stream != nullptr);
  const StreamedCurves streamed =
      sweepClassesWhileReading(truthInput, systemInput, (data[0] & 0x20) != 0 ? 2 : 1);
  FUZZ_CHECK(truthInput.status == 0 && systemInput.status == 0);
  if (streamed.inOrder) {
    for (std::size_t slot = 0; slot < kClassCount; ++slot) {
      FUZZ_CHECK(streamed.curves[slot].frames == curves[slot].frames);
      FUZZ_CHECK(streamed.curves[slot].points == curves[slot].points);
    }
  }
  return 0;
}
