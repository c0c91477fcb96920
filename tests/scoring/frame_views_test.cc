// The frames of a view against the events of the whole sequence
// (forEachBoxEvent, the events command's walk) on random file pairs: the
// same events, partners, causes and overlaps box for box, the same errors
// per frame as the class scoring counts, and every box of the frame drawn.
#include "scoring/frame_views.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <tuple>
#include <vector>

#include "annotation/selection.h"
#include "scoring/class_scores.h"
#include "scoring/sequence_evaluation.h"
#include "scoring/sequence_events.h"
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

}  // namespace
