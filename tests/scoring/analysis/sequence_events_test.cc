// The events of a sequence pair add up to the class scores, class by class.
#include "scoring/analysis/sequence_events.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "scoring/counts/class_scores.h"
#include "tests/test_support.h"

using talmira_test::readAnnotationText;

namespace {

struct Tally {
  int64_t truthMatch = 0, systemMatch = 0, miss = 0, excluded = 0, falseAlarm = 0, setAside = 0,
          inRegion = 0, unpaired = 0;
};

Tally tally(const QuorSequence& truth, const QuorSequence& system, const TargetFilter& filter) {
  Tally t;
  forEachBoxEvent(truth, system, filter, [&](const BoxEvent& e) {
    switch (e.kind) {
      case BoxEventKind::kMatch:
        ++(e.systemSide ? t.systemMatch : t.truthMatch);
        break;
      case BoxEventKind::kMiss:
        ++t.miss;
        break;
      case BoxEventKind::kExcluded:
        ++t.excluded;
        break;
      case BoxEventKind::kFalseAlarm:
        ++t.falseAlarm;
        break;
      case BoxEventKind::kSetAside:
        ++t.setAside;
        break;
      case BoxEventKind::kInRegion:
        ++t.inRegion;
        break;
      case BoxEventKind::kUnpairedFrame:
        ++t.unpaired;
        break;
    }
  });
  return t;
}

TEST(SequenceEventsTest, EventsAddUpToTheClassScoresOnRandomPairs) {
  for (uint32_t seed = 1; seed <= 150; ++seed) {
    const talmira_test::FilePair files = talmira_test::randomFilePair(seed);
    QuorSequence truth, system;
    ASSERT_EQ(readAnnotationText(files.groundTruth, truth), 0);
    ASSERT_EQ(readAnnotationText(files.system, system), 0);
    for (const float confidence : {0.0f, 0.3f, 0.7f, 1.0f}) {
      const auto scores = scoreClasses(truth, system, confidence);
      for (std::size_t slot = 0; slot < kClassCount; ++slot) {
        SCOPED_TRACE(testing::Message() << "seed " << seed << " confidence " << confidence
                                        << " class " << evaluationClasses[slot]);
        const Tally t = tally(truth, system, TargetFilter(evaluationClasses[slot], confidence));
        const ClassCounts& c = scores[slot];
        EXPECT_EQ(t.truthMatch, c.gt - c.fn);
        EXPECT_EQ(t.systemMatch, c.det - c.fp);
        EXPECT_EQ(t.miss, c.fn);
        EXPECT_EQ(t.falseAlarm, c.fp);
        EXPECT_EQ(t.truthMatch + t.miss, c.gt);
      }
    }
  }
}

// Which frames pair and how often, counted apart from the library: a system
// frame is judged once for every ground-truth frame of its number when it
// is the first of that number, and never otherwise.
TEST(SequenceEventsTest, FramesArePairedAsTheScorerPairsThem) {
  for (uint32_t seed = 200; seed <= 260; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const talmira_test::FilePair files = talmira_test::randomFilePair(seed);
    QuorSequence truth, system;
    ASSERT_EQ(readAnnotationText(files.groundTruth, truth), 0);
    ASSERT_EQ(readAnnotationText(files.system, system), 0);
    std::vector<int64_t> expectedVisits(system.frames.size(), 0);
    std::set<uint32_t> seen;
    for (std::size_t s = 0; s < system.frames.size(); ++s) {
      const uint32_t number = system.frames[s].frameNumber;
      if (!seen.insert(number).second) continue;  // a later run of its number
      for (const QuorFrame& frame : truth.frames) {
        if (frame.frameNumber == number) expectedVisits[s] += 1;
      }
    }
    std::vector<int64_t> systemRows(system.frames.size(), 0);
    std::vector<int64_t> unpairedRows(system.frames.size(), 0);
    std::vector<int64_t> truthRows(truth.frames.size(), 0);
    forEachBoxEvent(truth, system, TargetFilter("All", 0.0f), [&](const BoxEvent& e) {
      if (!e.systemSide) {
        ++truthRows[e.truthFrame];
      } else if (e.kind == BoxEventKind::kUnpairedFrame) {
        EXPECT_EQ(e.truthFrame, -1);
        ++unpairedRows[e.systemFrame];
      } else {
        EXPECT_EQ(system.frames[e.systemFrame].frameNumber, truth.frames[e.truthFrame].frameNumber);
        ++systemRows[e.systemFrame];
      }
    });
    for (std::size_t f = 0; f < truth.frames.size(); ++f) {
      EXPECT_EQ(truthRows[f], static_cast<int64_t>(truth.frames[f].targets.size()));
    }
    for (std::size_t s = 0; s < system.frames.size(); ++s) {
      const auto boxes = static_cast<int64_t>(system.frames[s].targets.size());
      EXPECT_EQ(systemRows[s], boxes * expectedVisits[s]) << "system frame " << s;
      EXPECT_EQ(unpairedRows[s], expectedVisits[s] == 0 ? boxes : 0) << "system frame " << s;
    }
  }
}

}  // namespace
