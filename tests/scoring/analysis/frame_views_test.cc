// The frames of a view against the events of the whole sequence
// (forEachBoxEvent, the events command's walk) on random file pairs: the
// same events, partners, causes and overlaps box for box, the same errors
// per frame as the class scoring counts, and every box of the frame drawn.
#include "scoring/analysis/frame_views.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "annotation/selection.h"
#include "scoring/analysis/sequence_events.h"
#include "scoring/counts/class_scores.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/counts/streaming_evaluation.h"
#include "tests/test_support.h"

namespace {

using Event = std::tuple<bool, int32_t, BoxEventKind, int32_t, int8_t, float>;

Event eventOf(bool systemSide, int32_t box, BoxEventKind kind, int32_t partner, int8_t cause,
              float overlap) {
  // NaN is not equal to itself: a missing overlap is compared as -1.
  return {systemSide, box, kind, partner, cause, std::isnan(overlap) ? -1.0f : overlap};
}

TEST(FrameViews, EveryFrameHasTheSequenceEventsOnRandomPairs) {
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    const talmira_test::FilePair files = talmira_test::randomFilePair(seed);
    QuorSequence truth;
    QuorSequence system;
    ASSERT_EQ(talmira_test::readAnnotationText(files.groundTruth, truth), 0);
    ASSERT_EQ(talmira_test::readAnnotationText(files.system, system), 0);
    const std::vector<int32_t> partners = pairFrames(truth, system);
    std::vector<std::size_t> every(truth.frames.size());
    for (std::size_t at = 0; at < every.size(); ++at) every[at] = at;
    for (const char* name : {"All", "Car", "Person"}) {
      for (const float confidence : {0.0f, 0.5f}) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << name << " at " << confidence);
        const TargetFilter filter(name, confidence);
        // The oracle: the events of the whole sequence, by ground-truth frame.
        std::map<int32_t, std::vector<Event>> expected;
        forEachBoxEvent(truth, system, filter, [&](const BoxEvent& e) {
          if (e.truthFrame < 0) return;
          expected[e.truthFrame].push_back(
              eventOf(e.systemSide, e.box, e.kind, e.partner, e.cause, e.overlap));
        });
        const std::vector<FrameView> views = viewFrames(truth, system, partners, every, filter);
        const std::vector<FrameErrors> errors = frameErrors(truth, system, partners, filter, 3);
        ASSERT_EQ(views.size(), truth.frames.size());
        int64_t fn = 0;
        int64_t fp = 0;
        for (const FrameView& view : views) {
          std::vector<Event> got;
          std::size_t drawn = 0;
          for (const ViewBox& b : view.boxes) {
            ++drawn;
            if (b.takesPart) {
              got.push_back(eventOf(b.systemSide, b.box, b.kind, b.partner, b.cause, b.overlap));
            }
          }
          EXPECT_EQ(got, expected[static_cast<int32_t>(view.truthFrame)])
              << "frame at " << view.truthFrame;
          const QuorFrame& frame = truth.frames[view.truthFrame];
          const std::size_t systemBoxes =
              view.systemFrame >= 0
                  ? system.frames[static_cast<std::size_t>(view.systemFrame)].targets.size()
                  : 0;
          EXPECT_EQ(drawn, frame.targets.size() + frame.regions.size() + systemBoxes);
          EXPECT_EQ(view.errors.fn, errors[view.truthFrame].fn);
          EXPECT_EQ(view.errors.fp, errors[view.truthFrame].fp);
          fn += view.errors.fn;
          fp += view.errors.fp;
        }
        // The frames' errors add up to the class scoring's.
        const std::vector<ClassTotals> totals = evaluateClasses(truth, system, {filter});
        EXPECT_EQ(fn, totals[0].fn);
        EXPECT_EQ(fp, totals[0].fp);
      }
    }
  }
}

TEST(FrameViews, ChoosesFramesAsAsked) {
  QuorSequence truth;
  for (uint32_t number : {5u, 6u, 7u, 8u, 9u, 10u}) truth.frames.emplace_back(number);
  const std::vector<FrameErrors> errors = {{0, 0}, {2, 1}, {0, 1}, {0, 0}, {3, 0}, {1, 2}};
  std::size_t leftOut = 99;
  EXPECT_EQ(chooseFrames(truth, errors, *parseFrameChoice("errors"), &leftOut),
            (std::vector<std::size_t>{1, 2, 4, 5}));
  EXPECT_EQ(leftOut, 0u);
  FrameChoice fewer = *parseFrameChoice("errors");
  fewer.count = 2;
  // Frames 6, 9 and 10 have 3 errors each: ties go to the earlier frames.
  EXPECT_EQ(chooseFrames(truth, errors, fewer, &leftOut), (std::vector<std::size_t>{1, 4}));
  EXPECT_EQ(leftOut, 2u);
  EXPECT_EQ(chooseFrames(truth, errors, *parseFrameChoice("worst:1"), &leftOut),
            (std::vector<std::size_t>{1}));
  EXPECT_EQ(leftOut, 0u);
  EXPECT_EQ(chooseFrames(truth, errors, *parseFrameChoice("all")).size(), 6u);
  EXPECT_EQ(chooseFrames(truth, errors, *parseFrameChoice("7-9")),
            (std::vector<std::size_t>{2, 3, 4}));
  EXPECT_TRUE(chooseFrames(truth, errors, *parseFrameChoice("11-20")).empty());
  for (const char* bad : {"", "worst:", "worst:0", "worst:x", "9-7", "-3", "3-", "a-b", "1-2-3",
                          "4294967296-4294967297", "some"}) {
    EXPECT_FALSE(parseFrameChoice(bad).has_value()) << bad;
  }
}

using ShownBox = std::tuple<bool, bool, bool, int32_t, BoxEventKind, int32_t, int8_t, float>;

std::vector<ShownBox> shown(const FrameView& view) {
  std::vector<ShownBox> boxes;
  for (const ViewBox& b : view.boxes) {
    boxes.emplace_back(b.systemSide, b.region, b.takesPart, b.box, b.kind, b.partner, b.cause,
                       std::isnan(b.overlap) ? -1.0f : b.overlap);
  }
  return boxes;
}

std::vector<uint64_t> linesOf(std::span<const uint64_t> lines) {
  return std::vector<uint64_t>(lines.begin(), lines.end());
}

// Every record's corners as the file gives them, by line.
std::map<uint64_t, std::array<int32_t, 8>> cornersOf(const std::string& path) {
  std::map<uint64_t, std::array<int32_t, 8>> corners;
  readRecordsOf(std::fopen(path.c_str(), "r"), path, [&](const AnnotationRecord& record) {
    corners[record.line] = record.corners;
    return true;
  });
  return corners;
}

// The view made while reading, which holds only its frames, against the
// view of the files read whole: the same errors for every frame, the same
// frames chosen, and in each the same boxes, events, lines and corners.
TEST(FrameViews, ViewWhileReadingEqualsTheWholeFilesView) {
  const std::vector<FrameChoice> choices = [] {
    std::vector<FrameChoice> all;
    for (const char* text : {"errors", "all", "worst:3", "4-9"})
      all.push_back(*parseFrameChoice(text));
    FrameChoice few = *parseFrameChoice("errors");
    few.count = 2;  // frames with errors left out
    all.push_back(few);
    return all;
  }();
  int turnedSeen = 0;
  for (uint32_t seed = 1; seed <= 50; ++seed) {
    const talmira_test::FilePair files = talmira_test::orderedFilePair(seed, seed > 30);
    const talmira_test::TempDir dir;
    const std::string truthPath = dir.write("gt.csv", files.groundTruth);
    const std::string systemPath = dir.write("sys.csv", files.system);
    QuorSequence truth;
    QuorSequence system;
    ReadDetails truthLines;
    ReadDetails systemLines;
    ASSERT_EQ(talmira_test::readAnnotationText(files.groundTruth, truth, &truthLines), 0);
    ASSERT_EQ(talmira_test::readAnnotationText(files.system, system, &systemLines), 0);
    const std::map<uint64_t, std::array<int32_t, 8>> truthCorners = cornersOf(truthPath);
    const std::map<uint64_t, std::array<int32_t, 8>> systemCorners = cornersOf(systemPath);
    const std::vector<int32_t> partners = pairFrames(truth, system);
    for (const char* name : {"All", "Car"}) {
      const TargetFilter filter(name, seed % 2 == 0 ? 0.5f : 0.0f);
      const std::vector<FrameErrors> errors = frameErrors(truth, system, partners, filter);
      for (std::size_t c = 0; c < choices.size(); ++c) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << ", " << name << ", choice " << c);
        std::size_t leftOut = 0;
        const std::vector<std::size_t> chosen = chooseFrames(truth, errors, choices[c], &leftOut);
        const std::vector<FrameView> whole = viewFrames(truth, system, partners, chosen, filter);

        StreamedInput truthInput(openForStreaming(truthPath), truthPath);
        StreamedInput systemInput(openForStreaming(systemPath), systemPath);
        const StreamedView streamed = viewFramesWhileReading(
            truthInput, systemInput, filter, choices[c], kDefaultNearThreshold, 1 + seed % 3);
        ASSERT_EQ(truthInput.status, 0) << truthInput.error;
        ASSERT_EQ(systemInput.status, 0) << systemInput.error;
        ASSERT_TRUE(streamed.inOrder);
        ASSERT_EQ(streamed.errors.size(), errors.size());
        for (std::size_t at = 0; at < errors.size(); ++at) {
          EXPECT_EQ(streamed.errors[at].fn, errors[at].fn) << at;
          EXPECT_EQ(streamed.errors[at].fp, errors[at].fp) << at;
        }
        EXPECT_EQ(streamed.leftOut, leftOut);
        ASSERT_EQ(streamed.frames.size(), whole.size());
        // Only the frames chosen are held.
        EXPECT_EQ(streamed.groundTruth->frames.size(), chosen.size());
        for (std::size_t k = 0; k < whole.size(); ++k) {
          const FrameView& got = streamed.frames[k];
          const FrameView& want = whole[k];
          EXPECT_EQ(got.position, chosen[k]);
          EXPECT_EQ(streamed.groundTruth->frames[got.truthFrame].frameNumber,
                    truth.frames[want.truthFrame].frameNumber);
          EXPECT_EQ(shown(got), shown(want)) << "frame at " << chosen[k];
          EXPECT_EQ(got.gt, want.gt);
          EXPECT_EQ(got.det, want.det);
          EXPECT_EQ(got.errors.fn, want.errors.fn);
          EXPECT_EQ(got.errors.fp, want.errors.fp);
          EXPECT_EQ(streamed.truthLines.frameLine(got.truthFrame),
                    truthLines.frameLine(want.truthFrame));
          const auto checkCorners =
              [&](const CornersByLine& held, const std::map<uint64_t, std::array<int32_t, 8>>& read,
                  const std::vector<const QuorTarget*>& targets, std::span<const uint64_t> lines) {
                for (std::size_t t = 0; t < targets.size(); ++t) {
                  if (isTurned(*targets[t])) {
                    ++turnedSeen;
                    EXPECT_EQ(held.find(lines[t]), read.at(lines[t])) << "line " << lines[t];
                  } else {
                    EXPECT_FALSE(held.find(lines[t]).has_value()) << "line " << lines[t];
                  }
                }
              };
          const std::span<const uint64_t> targetLines =
              streamed.truthLines.targetLines(got.truthFrame);
          EXPECT_EQ(linesOf(targetLines), linesOf(truthLines.targetLines(want.truthFrame)));
          EXPECT_EQ(linesOf(streamed.truthLines.regionLines(got.truthFrame)),
                    linesOf(truthLines.regionLines(want.truthFrame)));
          checkCorners(streamed.truthCorners, truthCorners,
                       streamed.groundTruth->frames[got.truthFrame].targets, targetLines);
          ASSERT_EQ(got.systemFrame < 0, want.systemFrame < 0);
          if (got.systemFrame >= 0) {
            const auto gotAt = static_cast<std::size_t>(got.systemFrame);
            const auto wantAt = static_cast<std::size_t>(want.systemFrame);
            EXPECT_EQ(linesOf(streamed.systemLines.targetLines(gotAt)),
                      linesOf(systemLines.targetLines(wantAt)));
            checkCorners(streamed.systemCorners, systemCorners,
                         streamed.system->frames[gotAt].targets,
                         streamed.systemLines.targetLines(gotAt));
          }
        }
      }
    }
  }
  EXPECT_GT(turnedSeen, 100);  // the corners were put to the test
}

TEST(FrameViews, ViewWhileReadingLeavesFilesOutOfOrderAndFailsAsTheReaderDoes) {
  const talmira_test::TempDir dir;
  const std::string header =
      "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";
  const std::string car = ",0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0.0\n";
  const std::string ordered = dir.write("ordered.csv", header + "1" + car + "2" + car);
  const std::string back = dir.write("back.csv", header + "2" + car + "1" + car);
  const std::string bad = header + "1" + car + "2,0,0,40,0,40,40,0,40,Car,FALSE,FALSE,x,,0.0\n";
  const std::string broken = dir.write("broken.csv", bad);
  const TargetFilter filter("All", 0.0f);
  {
    StreamedInput truth(openForStreaming(ordered), ordered);
    StreamedInput system(openForStreaming(back), back);
    EXPECT_FALSE(viewFramesWhileReading(truth, system, filter, FrameChoice{}).inOrder);
    EXPECT_EQ(truth.status, 0);
    EXPECT_EQ(system.status, 0);
  }
  {
    StreamedInput truth(openForStreaming(ordered), ordered);
    StreamedInput system(openForStreaming(broken), broken);
    viewFramesWhileReading(truth, system, filter, FrameChoice{});
    QuorSequence whole;
    std::string expected;
    ASSERT_EQ(readSequenceFile(std::fopen(broken.c_str(), "r"), whole, broken, &expected), -1);
    EXPECT_EQ(system.status, -1);
    EXPECT_EQ(system.error, expected);
  }
}

}  // namespace

namespace {

// A file replaced between the view's two reads (by one longer, shorter, or
// of the same length with other frames) is refused, not drawn from what
// it holds now.
TEST(FrameViews, ViewWhileReadingRefusesAFileReplacedBetweenItsReads) {
  const talmira_test::TempDir dir;
  const std::string header =
      "Frame,X1,Y1,X2,Y2,X3,Y3,X4,Y4,Type,FlagA,FlagB,Confidence,Text,Number\n";
  const std::string car = ",0,0,40,0,40,40,0,40,Car,FALSE,FALSE,1,,0.0\n";
  const std::string first = header + "1" + car + "2" + car + "3" + car;
  const std::string system = dir.write("sys.csv", header + "2" + car + "3" + car);
  const TargetFilter filter("All", 0.0f);
  for (const std::string& now :
       {header + "1" + car + "4" + car + "3" + car,
        header + "1" + car + "2" + car + "2" + car + "3" + car, header + "1" + car + "3" + car}) {
    const std::string truthPath = dir.write("gt.csv", first);
    StreamedInput truth(openForStreaming(truthPath), truthPath);
    StreamedInput systemInput(openForStreaming(system), system);
    const std::string next = dir.write("next.csv", now);
    std::filesystem::rename(next, truthPath);
    viewFramesWhileReading(truth, systemInput, filter, *parseFrameChoice("all"));
    EXPECT_EQ(truth.status, -1);
    EXPECT_EQ(truth.error, truthPath + ": changed while it was read");
    EXPECT_EQ(systemInput.status, 0) << systemInput.error;
  }
}

}  // namespace
