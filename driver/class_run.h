// The run over the evaluation classes and its report.
#pragma once

#include <array>
#include <cstdio>
#include <string>
#include <vector>

#include "annotation/quor_records.h"
#include "driver/quor_result.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/sequence_evaluation.h"

/// Console text of one evaluated class, after its "%15s " name column.
std::string formatConsoleCounts(const QuorResult& result, float nmodta);
/// Result-file line of one evaluated class.
std::string formatResultLine(const char* className, const QuorResult& result, float nmodta);

/// The filters of every class of evaluationClasses at `confidence`.
std::vector<TargetFilter> evaluationFilters(float confidence);

/// Prints a console line and writes a result-file line for each class of
/// evaluationClasses from its totals (`frames`: of the ground truth).
/// Returns the eleven results; `writeFailed` is set when a write to the
/// result file failed.
std::array<QuorResult, 11> reportClassEvaluation(const std::vector<ClassTotals>& totals,
                                                 int32_t frames, std::FILE* resultFile,
                                                 bool* writeFailed = nullptr);

/// Evaluates every class of evaluationClasses on the two read sequences at
/// `confidence`, prints a console line and writes a result-file line for
/// each. Returns the eleven results; `writeFailed` is set when a write to the
/// result file failed.
std::array<QuorResult, 11> runClassEvaluation(float confidence, QuorSequence& groundTruth,
                                              QuorSequence& systemOutput, std::FILE* resultFile,
                                              bool* writeFailed = nullptr);
