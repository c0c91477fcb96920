// A sequence's explanation against the scoring it explains: the same counts,
// causes that add up to the errors, a confusion matrix that adds up to All,
// and the same result however it was reached (threads, while reading).
#include "scoring/analysis/sequence_explanation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <map>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "annotation/formats.h"
#include "annotation/selection.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/matching/frame_matching.h"
#include "tests/class_set_files.h"
#include "tests/scoring/analysis/cause_oracle.h"
#include "tests/test_support.h"

using talmira_test::readAnnotationText;

namespace {

std::FILE* streamOf(const std::string& text) {
  return fmemopen(const_cast<char*>(text.data()), text.size(), "r");
}

int64_t sum(const auto& values) {
  return std::accumulate(values.begin(), values.end(), int64_t{0});
}

void expectConsistent(const Explanation& e, const std::vector<ClassCounts>& scores,
                      std::size_t frames) {
  EXPECT_EQ(e.frames, static_cast<int64_t>(frames));
  ASSERT_EQ(e.classes.size(), e.classSet->rows());
  ASSERT_EQ(scores.size(), e.classes.size());
  ASSERT_EQ(e.confusion.classes(), e.classSet->names().size());
  for (std::size_t slot = 0; slot < e.classes.size(); ++slot) {
    SCOPED_TRACE(std::string(e.classSet->row(slot)));
    const ClassExplanation& c = e.classes[slot];
    // The very counts of the scoring.
    EXPECT_EQ(c.gt, scores[slot].gt);
    EXPECT_EQ(c.det, scores[slot].det);
    EXPECT_EQ(c.fn, scores[slot].fn);
    EXPECT_EQ(c.fp, scores[slot].fp);
    // Every error has one cause; All has no class confusion.
    EXPECT_EQ(sum(c.misses), c.fn);
    EXPECT_EQ(sum(c.falseAlarms), c.fp);
    if (slot == 0) {
      EXPECT_EQ(c.misses[static_cast<std::size_t>(MissCause::kClassConfusion)], 0);
      EXPECT_EQ(c.falseAlarms[static_cast<std::size_t>(FalseAlarmCause::kClassConfusion)], 0);
    }
    // The costs add up to the points lost.
    if (c.gt > 0) {
      double costs = 0.0;
      for (const int64_t n : c.misses) costs += *c.cost(n);
      for (const int64_t n : c.falseAlarms) costs += *c.cost(n);
      if (c.nmodta() > nmodtaFloor) {
        EXPECT_NEAR(costs, 1.0 - c.nmodta(), 1e-6);
      }
    } else {
      EXPECT_FALSE(c.cost(c.fp).has_value());
    }
    // Pairs: one per object found, each in one bin, at least 0.2 on average.
    EXPECT_EQ(c.pairs.count, c.gt - c.fn);
    EXPECT_EQ(sum(c.pairs.histogram), c.pairs.count);
    if (c.pairs.count > 0) {
      EXPECT_GE(c.pairs.meanOverlap(), 0.2);
      EXPECT_LE(c.pairs.meanOverlap(), 1.0);
      EXPECT_GE(c.pairs.meanIou(), c.pairs.meanOverlap() - 1e-6);  // union <= enclosing
    }
  }
  // The matrix adds up to All: rows to the objects of each class, the none
  // column to All's misses, the none row to its false alarms.
  const Confusion& m = e.confusion;
  const std::size_t none = m.none();
  std::vector<int64_t> rowSums(m.size(), 0);
  for (const Confusion::Cell& cell : m.nonZero()) {
    EXPECT_EQ(m.at(cell.truth, cell.system), cell.count);
    rowSums[cell.truth] += cell.count;
  }
  int64_t objects = 0, found = 0, missed = 0, falseAlarms = 0;
  for (std::size_t row = 0; row < none; ++row) {
    EXPECT_EQ(rowSums[row], e.classes[row + 1].gt) << e.classSet->row(row + 1);
    objects += rowSums[row];
    missed += m.at(row, none);
    found += rowSums[row] - m.at(row, none);
  }
  falseAlarms = rowSums[none];
  EXPECT_EQ(m.at(none, none), 0);
  EXPECT_EQ(objects, e.classes[0].gt);
  EXPECT_EQ(missed, e.classes[0].fn);
  EXPECT_EQ(falseAlarms, e.classes[0].fp);
  EXPECT_EQ(found + falseAlarms, e.classes[0].det);
  // The timeline adds up to All.
  FrameSummary total;
  for (const FrameSummary& f : e.timeline) {
    total.gt += f.gt;
    total.det += f.det;
    total.fn += f.fn;
    total.fp += f.fp;
  }
  EXPECT_EQ(total.gt, e.classes[0].gt);
  EXPECT_EQ(total.det, e.classes[0].det);
  EXPECT_EQ(total.fn, e.classes[0].fn);
  EXPECT_EQ(total.fp, e.classes[0].fp);
}

TEST(SequenceExplanationTest, AddsUpToTheScoresOnRandomPairs) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const talmira_test::FilePair files = talmira_test::randomFilePair(seed * 104729);
    QuorSequence truth, system;
    ASSERT_EQ(readAnnotationText(files.groundTruth, truth), 0);
    ASSERT_EQ(readAnnotationText(files.system, system), 0);
    for (const float confidence : {0.0f, 0.5f}) {
      SCOPED_TRACE(testing::Message() << "confidence " << confidence);
      ExplainOptions options;
      options.confidence = confidence;
      const Explanation e = explainSequences(truth, system, options);
      EXPECT_TRUE(e.classSet->isStandard());
      expectConsistent(e, scoreClasses(truth, system, confidence), truth.frames.size());
      ASSERT_EQ(e.timeline.size(), truth.frames.size());
      for (std::size_t at = 0; at < truth.frames.size(); ++at) {
        EXPECT_EQ(e.timeline[at].frame, truth.frames[at].frameNumber);
        EXPECT_EQ(e.timeline[at].line, truth.frames[at].firstLine);
      }
      // Threads share the frames out; the result is the same.
      options.threads = 3;
      const Explanation threaded = explainSequences(truth, system, options);
      EXPECT_EQ(threaded.classes, e.classes);
      EXPECT_EQ(threaded.confusion, e.confusion);
      EXPECT_EQ(threaded.timeline, e.timeline);
      // Without every frame, the worst ones only.
      options.everyFrame = false;
      EXPECT_EQ(explainSequences(truth, system, options).timeline,
                worstFrames(e.timeline, kWorstFrameCount));
    }
  }
}

// Reads a file of another format in the dataset's own classes.
void readOwnClasses(const std::string& path, AnnotationFormat format, QuorSequence& sequence,
                    const std::string& imagesFrom = "") {
  AnnotationReadOptions options;
  options.format = format;
  options.ownClasses = true;
  options.imagesFrom = imagesFrom;
  AnnotationReadFailure failure;
  ASSERT_TRUE(readAnnotation(path, options, sequence, failure)) << failure.message;
}

// The confusion matrix by class names, from the All matching of each frame
// pair as the scoring makes it.
std::map<std::pair<std::string, std::string>, int64_t> confusionByNames(const QuorSequence& truth,
                                                                        const QuorSequence& system,
                                                                        float confidence) {
  std::map<std::pair<std::string, std::string>, int64_t> cells;
  const std::vector<int32_t> partners = pairFrames(truth, system);
  const TargetFilter all("All", confidence);
  QuorFrame truthSelection(0), systemSelection(0);
  FrameEvents events;
  for (std::size_t at = 0; at < truth.frames.size(); ++at) {
    const QuorFrame* partner =
        partners[at] >= 0 ? &system.frames[static_cast<std::size_t>(partners[at])] : nullptr;
    selectFrame(truth.frames[at], all, truthSelection);
    if (partner != nullptr) selectFrame(*partner, all, systemSelection);
    evaluateFrameEvents(truthSelection, partner != nullptr ? &systemSelection : nullptr, false,
                        false, events);
    for (std::size_t r = 0; r < events.truth.size(); ++r) {
      const std::string object = truthSelection.targets[r]->className();
      if (events.truth[r] == TruthOutcome::kMatch) {
        const auto c = static_cast<std::size_t>(events.truthPartner[r]);
        ++cells[{object, systemSelection.targets[c]->className()}];
      } else if (events.truth[r] == TruthOutcome::kMiss) {
        ++cells[{object, "none"}];
      }
    }
    for (std::size_t c = 0; c < events.system.size(); ++c) {
      if (events.system[c] == SystemOutcome::kFalseAlarm) {
        ++cells[{"none", systemSelection.targets[c]->className()}];
      }
    }
  }
  return cells;
}

// Other datasets' class sets of 5 to 300 classes, held as a whole matrix or
// as its cells: the counts are the scoring's class by class; explaining
// every class of the set on every frame, with the rules read plainly, gives
// each class's causes and pairs; the matrix is the scoring's All matching
// by class names; threads change nothing.
TEST(SequenceExplanationTest, AnyClassSetAddsUpToTheScoresAndToEveryClassExplainedPlainly) {
  talmira_test::TempDir dir;
  const std::size_t sizes[] = {5, 23, 64, 65, 140, 300};
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    const std::size_t classes = sizes[seed % 6];
    SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << classes << " classes");
    const talmira_test::GeneratedPair generated =
        talmira_test::generatePair(seed * 7919, classes, 160, true, 0);
    const talmira_test::CocoFiles files = talmira_test::cocoFiles(generated, seed);
    const std::string gtPath = dir.write("gt.json", files.groundTruth);
    const std::string sysPath = dir.write("results.json", files.results);
    QuorSequence truth, system;
    readOwnClasses(gtPath, AnnotationFormat::kCoco, truth);
    readOwnClasses(sysPath, AnnotationFormat::kCoco, system, gtPath);
    ASSERT_FALSE(HasFatalFailure());
    for (const float confidence : {0.0f, 0.4f}) {
      SCOPED_TRACE(testing::Message() << "confidence " << confidence);
      ExplainOptions options;
      options.confidence = confidence;
      options.near = 0.05f;
      const Explanation e = explainSequences(truth, system, options);
      ASSERT_EQ(e.classSet->names().size(), classes);
      EXPECT_EQ(*e.classSet, *pairClasses(truth, system));
      EXPECT_EQ(e.confusion.dense(), classes <= Confusion::kDenseClasses);
      expectConsistent(e, scoreClasses(truth, system, *e.classSet, confidence),
                       truth.frames.size());

      // Every class on every frame, whether or not the frame holds it.
      std::vector<ClassExplanation> plain(e.classes.size());
      const std::vector<TargetFilter> filters = classFilters(*e.classSet, confidence);
      const std::vector<int32_t> partners = pairFrames(truth, system);
      FrameExplainer explainer(confidence, options.near);
      const QuorFrame none(0);
      for (std::size_t at = 0; at < truth.frames.size(); ++at) {
        const QuorFrame* partner =
            partners[at] >= 0 ? &system.frames[static_cast<std::size_t>(partners[at])] : nullptr;
        const QuorFrame& systemFrame = partner != nullptr ? *partner : none;
        explainer.start(truth.frames[at], partner);
        for (std::size_t row = 0; row < filters.size(); ++row) {
          explainer.explain(filters[row]);
          ClassExplanation& c = plain[row];
          std::vector<int8_t> misses, falseAlarms;
          for (const ExplainedBox& b : explainer.truths()) {
            if (b.kind == BoxEventKind::kExcluded) continue;
            ++c.gt;
            if (b.kind == BoxEventKind::kMiss) {
              misses.push_back(b.cause);
              ++c.misses.at(static_cast<std::size_t>(b.cause));
            } else {
              c.pairs.add(b.overlap, b.iou);
            }
          }
          for (const ExplainedBox& b : explainer.systems()) {
            if (b.kind == BoxEventKind::kFalseAlarm) {
              falseAlarms.push_back(b.cause);
              ++c.falseAlarms.at(static_cast<std::size_t>(b.cause));
            }
            c.det += b.kind == BoxEventKind::kMatch || b.kind == BoxEventKind::kFalseAlarm;
          }
          c.fn += static_cast<int64_t>(misses.size());
          c.fp += static_cast<int64_t>(falseAlarms.size());
          ASSERT_EQ(misses, talmira_test::plainMissCauses(truth.frames[at], systemFrame, explainer,
                                                          filters[row], options.near))
              << "frame " << at << ", " << e.classSet->row(row);
          ASSERT_EQ(falseAlarms,
                    talmira_test::plainFalseAlarmCauses(truth.frames[at], systemFrame, explainer,
                                                        filters[row], options.near))
              << "frame " << at << ", " << e.classSet->row(row);
        }
      }
      for (std::size_t row = 0; row < plain.size(); ++row) {
        EXPECT_EQ(e.classes[row], plain[row]) << e.classSet->row(row);
      }

      std::map<std::pair<std::string, std::string>, int64_t> cells;
      for (const Confusion::Cell& cell : e.confusion.nonZero()) {
        const auto label = [&](std::size_t slot) {
          return slot == e.confusion.none() ? std::string("none")
                                            : std::string(e.classSet->row(slot + 1));
        };
        cells[{label(cell.truth), label(cell.system)}] += cell.count;
      }
      EXPECT_EQ(cells, confusionByNames(truth, system, confidence));

      options.threads = 3;
      const Explanation threaded = explainSequences(truth, system, options);
      EXPECT_EQ(threaded.classes, e.classes);
      EXPECT_EQ(threaded.confusion, e.confusion);
      EXPECT_EQ(threaded.timeline, e.timeline);
    }
  }
}

// Files whose frame numbers only grow are explained while they are read,
// with the explanation of the whole files.
TEST(SequenceExplanationTest, WhileReadingEqualsTheWholeFiles) {
  int streamed = 0;
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const talmira_test::FilePair files = talmira_test::randomFilePair(seed * 7727, 8, 12);
    QuorSequence truth, system;
    ASSERT_EQ(readAnnotationText(files.groundTruth, truth), 0);
    ASSERT_EQ(readAnnotationText(files.system, system), 0);
    for (const bool everyFrame : {true, false}) {
      ExplainOptions options;
      options.confidence = 0.25f;
      options.threads = 2;
      options.everyFrame = everyFrame;
      StreamedInput truthInput(streamOf(files.groundTruth), "gt.csv");
      StreamedInput systemInput(streamOf(files.system), "sys.csv");
      const StreamedExplanation result = explainWhileReading(truthInput, systemInput, options);
      ASSERT_EQ(truthInput.status, 0);
      ASSERT_EQ(systemInput.status, 0);
      if (!result.inOrder) continue;
      ++streamed;
      const Explanation whole = explainSequences(truth, system, options);
      EXPECT_EQ(result.explanation.frames, whole.frames);
      EXPECT_EQ(result.explanation.classes, whole.classes);
      EXPECT_EQ(result.explanation.confusion, whole.confusion);
      EXPECT_EQ(result.explanation.timeline, whole.timeline);
    }
  }
  // Enough of the pairs keep to the order for the comparison to mean something.
  EXPECT_GE(streamed, 20);
}

TEST(SequenceExplanationTest, WorstFramesAreTheMostErrorsThenFileOrder) {
  std::vector<FrameSummary> frames;
  // Frame numbers and lines out of step on purpose: file order is the order given.
  const int64_t errors[] = {1, 0, 3, 1, 3, 0, 2};
  for (uint32_t k = 0; k < 7; ++k) {
    frames.push_back({100 - k, 70 - uint64_t{k}, 5, 5, errors[k], 0});
  }
  const std::vector<FrameSummary> worst = worstFrames(frames, 4);
  std::vector<uint32_t> numbers;
  for (const FrameSummary& f : worst) numbers.push_back(f.frame);
  EXPECT_EQ(numbers, (std::vector<uint32_t>{98, 96, 94, 100}));
  // Frames without errors are never among them.
  EXPECT_EQ(worstFrames(frames, 10).size(), 5u);
  EXPECT_TRUE(worstFrames({}, 10).empty());
}

TEST(SequenceExplanationTest, PairStatsSumExactlyAndBinBySinglePrecisionEdges) {
  PairStats a, b, whole;
  const float overlaps[] = {0.2f, 0.29999998f, 0.3f, 0.55f, 0.9f, 1.0f, 0.8999999f};
  for (std::size_t k = 0; k < 7; ++k) {
    whole.add(overlaps[k], overlaps[k]);
    (k % 2 == 0 ? a : b).add(overlaps[k], overlaps[k]);
  }
  EXPECT_EQ(whole.histogram, (std::array<int64_t, kOverlapBins>{2, 1, 0, 1, 0, 0, 1, 2}));
  // Added in any grouping, the sums are the same integers.
  PairStats grouped = b;
  grouped += a;
  EXPECT_EQ(grouped, whole);
  double exact = 0.0;
  for (const float o : overlaps) exact += static_cast<double>(o);
  EXPECT_DOUBLE_EQ(whole.meanOverlap(), exact / 7.0);
  EXPECT_TRUE(std::isnan(PairStats{}.meanOverlap()));
}

}  // namespace
