// Fuzz target for the causes of the errors of two annotation files.
//
// Input: one control byte, then the ground-truth file, the separator
// "\n====\n" and the system-output file (without a separator the same file
// serves as both). Control byte: bits 0-3 give the confidence threshold
// (byte & 0x0f) / 15; bits 4-5 the near threshold (0, 0.05, 0.1 or 0.2).
//
// When both files read, the explanation must hold what holds whatever the
// boxes: the scoring's very counts, every error with one cause (none of
// them a class confusion in All), costs adding up to the points lost, a
// confusion matrix adding up to All, pairs as many as the objects found;
// every frame's causes must be those of the plain reading of the rules on
// the explainer's own pairs; and the result must not depend on the threads
// or on explaining while reading.
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <numeric>
#include <string>
#include <string_view>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/selection.h"
#include "fuzz/fuzz_support.h"
#include "scoring/analysis/error_causes.h"
#include "scoring/analysis/sequence_explanation.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/sequence_evaluation.h"
#include "tests/scoring/analysis/cause_oracle.h"

namespace {

constexpr std::string_view kSeparator = "\n====\n";
// The plain reading of the rules is quadratic in the boxes of a frame.
constexpr std::size_t kPlainCheckLimit = 300;

int64_t sum(const auto& values) {
  return std::accumulate(values.begin(), values.end(), int64_t{0});
}

void checkTotals(const Explanation& e, const std::vector<ClassCounts>& scores) {
  FUZZ_CHECK(e.classes.size() == scores.size() && e.classes.size() == e.classSet->rows());
  for (std::size_t slot = 0; slot < e.classes.size(); ++slot) {
    const ClassExplanation& c = e.classes[slot];
    FUZZ_CHECK(c.gt == scores[slot].gt && c.det == scores[slot].det);
    FUZZ_CHECK(c.fn == scores[slot].fn && c.fp == scores[slot].fp);
    FUZZ_CHECK(sum(c.misses) == c.fn);
    FUZZ_CHECK(sum(c.falseAlarms) == c.fp);
    if (slot == 0) {
      FUZZ_CHECK(c.misses[static_cast<std::size_t>(MissCause::kClassConfusion)] == 0);
      FUZZ_CHECK(c.falseAlarms[static_cast<std::size_t>(FalseAlarmCause::kClassConfusion)] == 0);
    }
    if (c.gt > 0 && c.nmodta() > nmodtaFloor) {
      double costs = 0.0;
      for (const int64_t n : c.misses) costs += *c.cost(n);
      for (const int64_t n : c.falseAlarms) costs += *c.cost(n);
      FUZZ_CHECK(std::fabs(costs - (1.0 - static_cast<double>(c.nmodta()))) <= 1e-6);
    }
    FUZZ_CHECK(c.pairs.count == c.gt - c.fn);
    FUZZ_CHECK(sum(c.pairs.histogram) == c.pairs.count);
  }
  const Confusion& m = e.confusion;
  const std::size_t none = m.none();
  FUZZ_CHECK(none + 1 == e.classes.size());
  std::vector<int64_t> rowSums(m.size(), 0);
  for (const Confusion::Cell& cell : m.nonZero()) rowSums[cell.truth] += cell.count;
  int64_t objects = 0, missed = 0;
  for (std::size_t row = 0; row < none; ++row) {
    FUZZ_CHECK(rowSums[row] == e.classes[row + 1].gt);
    objects += rowSums[row];
    missed += m.at(row, none);
  }
  FUZZ_CHECK(m.at(none, none) == 0);
  FUZZ_CHECK(objects == e.classes[0].gt);
  FUZZ_CHECK(missed == e.classes[0].fn);
  FUZZ_CHECK(rowSums[none] == e.classes[0].fp);
  int64_t frameErrors = 0;
  for (const FrameSummary& f : e.timeline) frameErrors += f.errors();
  FUZZ_CHECK(frameErrors == e.classes[0].fn + e.classes[0].fp);
}

// Every frame's causes against the plain reading of the rules.
void checkFramesPlainly(const QuorSequence& truth, const QuorSequence& system, float confidence,
                        float near) {
  const std::vector<TargetFilter> filters = classFilters(*pairClasses(truth, system), confidence);
  const std::vector<int32_t> partners = pairFrames(truth, system);
  FrameExplainer explainer(confidence, near);
  const QuorFrame none(0);
  for (std::size_t at = 0; at < truth.frames.size(); ++at) {
    const QuorFrame* partner =
        partners[at] >= 0 ? &system.frames[static_cast<std::size_t>(partners[at])] : nullptr;
    const std::size_t boxes =
        truth.frames[at].targets.size() + (partner != nullptr ? partner->targets.size() : 0);
    if (boxes > kPlainCheckLimit) continue;
    explainer.start(truth.frames[at], partner);
    for (const TargetFilter& filter : filters) {
      explainer.explain(filter);
      const QuorFrame& systemFrame = partner != nullptr ? *partner : none;
      std::vector<int8_t> misses, falseAlarms;
      for (const ExplainedBox& b : explainer.truths()) {
        if (b.kind == BoxEventKind::kMiss) misses.push_back(b.cause);
      }
      for (const ExplainedBox& b : explainer.systems()) {
        if (b.kind == BoxEventKind::kFalseAlarm) falseAlarms.push_back(b.cause);
      }
      FUZZ_CHECK(misses == talmira_test::plainMissCauses(truth.frames[at], systemFrame, explainer,
                                                         filter, near));
      FUZZ_CHECK(falseAlarms == talmira_test::plainFalseAlarmCauses(truth.frames[at], systemFrame,
                                                                    explainer, filter, near));
      FUZZ_CHECK(talmira_test::pairsCarryTheirOverlaps(truth.frames[at], systemFrame, explainer));
    }
  }
}

std::FILE* streamOf(std::vector<char>& bytes) {
  if (bytes.empty()) return std::fopen("/dev/null", "r");
  return fmemopen(bytes.data(), bytes.size(), "r");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t split = rest.find(kSeparator);
  const std::string_view truthBytes =
      split == std::string_view::npos ? rest : rest.substr(0, split);
  const std::string_view systemBytes =
      split == std::string_view::npos ? rest : rest.substr(split + kSeparator.size());

  QuorSequence truth, system;
  std::string error;
  if (talmira_fuzz::readBytes(truthBytes, truth, "gt", &error) != 0) return 0;
  if (talmira_fuzz::readBytes(systemBytes, system, "sys", &error) != 0) return 0;

  const float confidence = static_cast<float>(control & 0x0f) / 15.0f;
  static constexpr std::array<float, 4> kNear = {0.0f, 0.05f, 0.1f, 0.2f};
  const float near = kNear[(control >> 4) & 0x03];

  ExplainOptions options;
  options.confidence = confidence;
  options.near = near;
  const Explanation whole = explainSequences(truth, system, options);
  FUZZ_CHECK(whole.timeline.size() == truth.frames.size());
  checkTotals(whole, scoreClasses(truth, system, confidence));
  checkFramesPlainly(truth, system, confidence, near);

  options.threads = 2;
  const Explanation threaded = explainSequences(truth, system, options);
  FUZZ_CHECK(threaded.classes == whole.classes);
  FUZZ_CHECK(threaded.confusion == whole.confusion);
  FUZZ_CHECK(threaded.timeline == whole.timeline);

  std::vector<char> truthCopy(truthBytes.begin(), truthBytes.end());
  std::vector<char> systemCopy(systemBytes.begin(), systemBytes.end());
  StreamedInput truthInput(streamOf(truthCopy), "gt");
  StreamedInput systemInput(streamOf(systemCopy), "sys");
  const StreamedExplanation streamed = explainWhileReading(truthInput, systemInput, options);
  FUZZ_CHECK(truthInput.status == 0 && systemInput.status == 0);
  if (streamed.inOrder) {
    FUZZ_CHECK(streamed.explanation.frames == whole.frames);
    FUZZ_CHECK(streamed.explanation.classes == whole.classes);
    FUZZ_CHECK(streamed.explanation.confusion == whole.confusion);
    FUZZ_CHECK(streamed.explanation.timeline == whole.timeline);
  }
  return 0;
}
