#include "driver/class_run.h"

#include <cstdio>
#include <vector>

#include "annotation/selection.h"
#include "scoring/counts/sequence_evaluation.h"

namespace {

constexpr const char* kNameColumn = "%15s ";
constexpr const char* kConsoleCounts =
    "GT#: %d, Det#: %d, FN#: %d, FP#: %d, Frames#: %d, NMODTA: %f\r\n";
constexpr const char* kResultCounts = "%s, %d, %d, %d, %d, %d, %f\r\n";
constexpr const char* kClassFailed =
    "Failed in Evaluating Quor Class: %s. Please check your files and report to Varnik.\r\n";
constexpr const char* kResultFailed = "%s, Failed \r\n";

// Renders a printf format into a string; the report's formats hold one class's
// name and numbers, far below the buffer size.
template <typename... Args>
std::string render(const char* format, Args... args) {
  char buffer[256];
  const int length = std::snprintf(buffer, sizeof buffer, format, args...);
  return std::string(buffer, length < 0 ? 0 : static_cast<std::size_t>(length));
}

bool writeAll(std::FILE* file, const std::string& text) {
  return std::fwrite(text.data(), 1, text.size(), file) == text.size();
}

}  // namespace

// Both lines print the counts in the order GT, Det, FN, FP, Frames.
std::string formatConsoleCounts(const QuorResult& result, float nmodta) {
  return render(kConsoleCounts, result.numGT, result.numDet, result.numFN, result.numFP,
                result.numFrames, static_cast<double>(nmodta));
}

std::string formatResultLine(const char* className, const QuorResult& result, float nmodta) {
  return render(kResultCounts, className, result.numGT, result.numDet, result.numFN, result.numFP,
                result.numFrames, static_cast<double>(nmodta));
}

std::vector<TargetFilter> evaluationFilters(float confidence) {
  std::vector<TargetFilter> filters;
  for (const char* className : evaluationClasses) filters.emplace_back(className, confidence);
  return filters;
}

std::array<QuorResult, 11> runClassEvaluation(float confidence, QuorSequence& groundTruth,
                                              QuorSequence& systemOutput, std::FILE* resultFile,
                                              bool* writeFailed) {
  // The run's confidence applies to the ground truth as much as to the system output.
  groundTruth.confidenceThreshold = confidence;
  systemOutput.confidenceThreshold = confidence;
  // All classes are scored in one walk over the frames, which reads each
  // frame's targets once rather than once per class, on every core.
  const std::vector<ClassTotals> totals = evaluateClasses(
      groundTruth, systemOutput, evaluationFilters(confidence), defaultThreadCount());
  return reportClassEvaluation(totals, static_cast<int32_t>(groundTruth.frames.size()), resultFile,
                               writeFailed);
}

std::array<QuorResult, 11> reportClassEvaluation(const std::vector<ClassTotals>& totals,
                                                 int32_t frames, std::FILE* resultFile,
                                                 bool* writeFailed) {
  std::array<QuorResult, 11> results;
  bool failedWrite = false;
  for (std::size_t slot = 0; slot < evaluationClasses.size(); ++slot) {
    const char* className = evaluationClasses[slot];
    std::printf(kNameColumn, className);
    // A total beyond the 32-bit range fails the class instead of wrapping.
    if (!totals[slot].fitsIn32Bits()) {
      std::printf(kClassFailed, className);
      failedWrite |= !writeAll(resultFile, render(kResultFailed, className));
      continue;
    }
    const ClassTotals& t = totals[slot];
    results[slot] = QuorResult(className, static_cast<int32_t>(t.det), static_cast<int32_t>(t.gt),
                               static_cast<int32_t>(t.fn), static_cast<int32_t>(t.fp), frames);
    std::fputs(formatConsoleCounts(results[slot], results[slot].computeNmodta()).c_str(), stdout);
    failedWrite |= !writeAll(
        resultFile, formatResultLine(className, results[slot], results[slot].computeNmodta()));
  }
  if (writeFailed != nullptr) *writeFailed = failedWrite;
  return results;
}
