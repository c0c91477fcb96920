// Fuzz target for the whole scoring of two annotation files.
//
// Input: one control byte, then the ground-truth file, the separator
// "\n====\n" and the system-output file. Without a separator the same file
// serves as both. Control byte: bit 7 set takes the confidence
// (byte & 0x0f) / 15, else 0; bit 4 keeps boxes flagged A, bit 5 boxes
// flagged B (the program itself keeps neither).
//
// When both files read, every class is selected and scored as the program
// does it, and the results are checked for what must hold whatever the boxes:
// no negative count, FN <= GT, FP <= Det, GT - FN == Det - FP (the matched
// pairs counted from either side), the totals are the sums of the frames,
// "All" has as many ground-truth boxes as the ten classes together, the
// list of every box's outcome adds up to the totals, each
// frame's counts equal those of the straightforward dense matching, and a
// second evaluation gives the same totals.
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "annotation/quor_records.h"
#include "annotation/selection.h"
#include "driver/class_run.h"
#include "fuzz/fuzz_support.h"
#include "scoring/analysis/sequence_events.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/matching/frame_matching_internal.h"

namespace {

using talmira_fuzz::countsOf;
using talmira_fuzz::FrameCounts;

constexpr std::string_view kSeparator = "\n====\n";
// The dense matching is cubic; frames with more boxes on a side are left to
// the other checks.
constexpr std::size_t kDenseCheckLimit = 60;

struct Totals {
  int64_t gt = 0, det = 0, fn = 0, fp = 0;
  int64_t gtListed = 0;   // ground-truth boxes before the flags set any aside
  int64_t detListed = 0;  // system boxes left by the regions, before any is set aside
};

bool selectedByClass(const QuorTarget& target, const char* className) {
  return std::strcmp(className, "All") == 0 || target.name() == className;
}

// The selection keeps every frame, every region, and exactly the targets of
// the class at or above the threshold, in their order.
void checkSelection(const QuorSequence& source, const QuorSequence& selection,
                    const char* className) {
  FUZZ_CHECK(selection.frames.size() == source.frames.size());
  for (std::size_t f = 0; f < source.frames.size(); ++f) {
    const QuorFrame& from = source.frames[f];
    const QuorFrame& to = selection.frames[f];
    FUZZ_CHECK(to.frameNumber == from.frameNumber);
    FUZZ_CHECK(to.regions == from.regions);
    std::size_t next = 0;
    for (const QuorTarget* target : from.targets) {
      if (target->confidence >= source.confidenceThreshold && selectedByClass(*target, className)) {
        FUZZ_CHECK(next < to.targets.size() && to.targets[next] == target);
        ++next;
      }
    }
    FUZZ_CHECK(next == to.targets.size());
  }
}

Totals scoreClass(QuorSequence& truth, QuorSequence& system, const char* className,
                  float confidence, bool keepMarkA, bool keepMarkB) {
  truth.confidenceThreshold = confidence;
  system.confidenceThreshold = confidence;
  const std::unique_ptr<QuorSequence> truthSelection = selectTargets(truth, className);
  const std::unique_ptr<QuorSequence> systemSelection = selectTargets(system, className);
  checkSelection(truth, *truthSelection, className);
  checkSelection(system, *systemSelection, className);
  truthSelection->keepMarkA = keepMarkA;
  truthSelection->keepMarkB = keepMarkB;

  FUZZ_CHECK(evaluateSequence(*truthSelection, *systemSelection) == 1);
  const int32_t gt = truthSelection->gtTotal;
  const int32_t det = truthSelection->detTotal;
  const int32_t fn = truthSelection->fnTotal;
  const int32_t fp = truthSelection->fpTotal;
  FUZZ_CHECK(gt >= 0 && det >= 0 && fn >= 0 && fp >= 0);
  FUZZ_CHECK(fn <= gt);
  FUZZ_CHECK(fp <= det);
  FUZZ_CHECK(gt - fn == det - fp);

  std::unordered_map<uint32_t, const QuorFrame*> firstSystemFrame;
  for (const QuorFrame& frame : systemSelection->frames) {
    firstSystemFrame.try_emplace(frame.frameNumber, &frame);
  }
  Totals sums;
  for (const QuorFrame& frame : truthSelection->frames) {
    const FrameCounts counts = countsOf(frame);
    talmira_fuzz::checkFrameCounts(counts);
    FUZZ_CHECK(counts.gtCount == static_cast<int32_t>(frame.targets.size()));
    const auto found = firstSystemFrame.find(frame.frameNumber);
    const QuorFrame* partner = found == firstSystemFrame.end() ? nullptr : found->second;
    if (partner == nullptr) {
      // Nothing to match: every remaining box is a miss.
      FUZZ_CHECK(counts.detCount == 0 && counts.fpCount == 0);
      FUZZ_CHECK(counts.fnCount == counts.gtCount - counts.gtExcluded);
    } else {
      FUZZ_CHECK(counts.detCount <= static_cast<int32_t>(partner->targets.size()));
      if (frame.regions.empty()) {
        FUZZ_CHECK(counts.detCount == static_cast<int32_t>(partner->targets.size()));
      }
    }
    sums.gt += counts.gtCount - counts.gtExcluded;
    sums.det += counts.detCount - counts.detExcluded;
    sums.fn += counts.fnCount;
    sums.fp += counts.fpCount;
    sums.gtListed += counts.gtCount;
    sums.detListed += counts.detCount;

    if (frame.targets.size() <= kDenseCheckLimit &&
        (partner == nullptr || partner->targets.size() <= kDenseCheckLimit)) {
      QuorFrame reference = frame;
      evaluateFrameDense(reference, partner, keepMarkA, keepMarkB);
      if (!(countsOf(reference) == counts)) {
        std::fprintf(stderr, "class %s, frame %u\n", className, frame.frameNumber);
        talmira_fuzz::printCounts("evaluateSequence", counts);
        talmira_fuzz::printCounts("dense reference", countsOf(reference));
        talmira_fuzz::fail(__FILE__, __LINE__, "a frame differs from the dense matching");
      }
    }
  }
  FUZZ_CHECK(sums.gt == gt && sums.det == det && sums.fn == fn && sums.fp == fp);

  // The matching keeps working memory between calls; a second run over the
  // same frames must not see anything of the first.
  FUZZ_CHECK(evaluateSequence(*truthSelection, *systemSelection) == 1);
  FUZZ_CHECK(truthSelection->gtTotal == gt && truthSelection->detTotal == det &&
             truthSelection->fnTotal == fn && truthSelection->fpTotal == fp);
  return sums;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t control = data[0];
  const std::string_view files(reinterpret_cast<const char*>(data + 1), size - 1);
  const float confidence =
      (control & 0x80) != 0 ? static_cast<float>(control & 0x0f) / 15.0f : 0.0f;
  const bool keepMarkA = (control & 0x10) != 0;
  const bool keepMarkB = (control & 0x20) != 0;

  std::string_view truthBytes = files;
  std::string_view systemBytes = files;
  if (const std::size_t at = files.find(kSeparator); at != std::string_view::npos) {
    truthBytes = files.substr(0, at + 1);  // the ground truth keeps its last line end
    systemBytes = files.substr(at + kSeparator.size());
  }

  QuorSequence truth;
  QuorSequence system;
  if (talmira_fuzz::readBytes(truthBytes, truth, "gt.csv", nullptr) != 0) return 0;
  if (talmira_fuzz::readBytes(systemBytes, system, "sys.csv", nullptr) != 0) return 0;

  std::array<Totals, evaluationClasses.size()> totals;
  for (std::size_t slot = 0; slot < evaluationClasses.size(); ++slot) {
    totals[slot] =
        scoreClass(truth, system, evaluationClasses[slot], confidence, keepMarkA, keepMarkB);
  }
  // Every box belongs to exactly one of the ten classes, and neither a
  // ground-truth box's exclusion nor a region's drop depends on other boxes.
  Totals classSum;
  for (std::size_t slot = 1; slot < totals.size(); ++slot) {
    classSum.gt += totals[slot].gt;
    classSum.gtListed += totals[slot].gtListed;
    classSum.detListed += totals[slot].detListed;
  }
  FUZZ_CHECK(totals[0].gt == classSum.gt);
  FUZZ_CHECK(totals[0].gtListed == classSum.gtListed);
  FUZZ_CHECK(totals[0].detListed == classSum.detListed);

  // The program scores all classes in one walk over the frames, with both
  // keep switches off; it must give the totals of one selection per class.
  if (!keepMarkA && !keepMarkB) {
    std::vector<TargetFilter> filters;
    for (const char* className : evaluationClasses) filters.emplace_back(className, confidence);
    const std::vector<ClassTotals> fused = evaluateClasses(truth, system, filters);
    for (std::size_t slot = 0; slot < totals.size(); ++slot) {
      FUZZ_CHECK(fused[slot].gt == totals[slot].gt && fused[slot].det == totals[slot].det &&
                 fused[slot].fn == totals[slot].fn && fused[slot].fp == totals[slot].fp);
      // The list of every box's outcome adds up to the same totals.
      int64_t truthMatches = 0, systemMatches = 0, misses = 0, falseAlarms = 0;
      forEachBoxEvent(truth, system, filters[slot], [&](const BoxEvent& event) {
        if (event.kind == BoxEventKind::kMatch) ++(event.systemSide ? systemMatches : truthMatches);
        if (event.kind == BoxEventKind::kMiss) ++misses;
        if (event.kind == BoxEventKind::kFalseAlarm) ++falseAlarms;
      });
      FUZZ_CHECK(truthMatches == totals[slot].gt - totals[slot].fn);
      FUZZ_CHECK(systemMatches == totals[slot].det - totals[slot].fp);
      FUZZ_CHECK(misses == totals[slot].fn && falseAlarms == totals[slot].fp);
    }
  }
  return 0;
}
