// Two detectors counted unit by unit against the scoring of each on its
// own, and the objects each found against the events of its matching.
#include "scoring/analysis/paired_counts.h"

#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "annotation/selection.h"
#include "scoring/analysis/sequence_events.h"
#include "tests/test_support.h"

using talmira_test::readAnnotationText;

namespace {

TEST(PairedCountsTest, BlocksAreTheNearestWholeCubeRoot) {
  EXPECT_EQ(defaultBlockSize(0), 1u);
  EXPECT_EQ(defaultBlockSize(1), 1u);
  EXPECT_EQ(defaultBlockSize(3), 1u);  // 1.44
  EXPECT_EQ(defaultBlockSize(4), 2u);  // 1.59
  EXPECT_EQ(defaultBlockSize(6), 2u);
  EXPECT_EQ(defaultBlockSize(1000), 10u);
  // 4.5^3 = 91.125: the rounding's edge between 91 and 92 frames.
  EXPECT_EQ(defaultBlockSize(91), 4u);
  EXPECT_EQ(defaultBlockSize(92), 5u);
  EXPECT_EQ(defaultBlockSize(999999), 100u);
  EXPECT_EQ(defaultBlockSize(1000000), 100u);
  // 20000.5^3 = 8000600015000.125.
  EXPECT_EQ(defaultBlockSize(8000600015000), 20000u);
  EXPECT_EQ(defaultBlockSize(8000600015001), 20001u);
  for (int64_t n = 1; n < 3000; ++n) {
    EXPECT_EQ(defaultBlockSize(n), static_cast<std::size_t>(std::lround(std::cbrt(n)))) << n;
  }
}

struct Files {
  QuorSequence truth, a, b;
};

// A ground truth and two detectors: the system of its own random pair and
// that of another pair (other frame numbers in part, other boxes).
void readFiles(uint32_t seed, Files& files) {
  const talmira_test::FilePair first = talmira_test::randomFilePair(seed, 14);
  const talmira_test::FilePair second = talmira_test::randomFilePair(seed + 7777, 14);
  ASSERT_EQ(readAnnotationText(first.groundTruth, files.truth), 0);
  ASSERT_EQ(readAnnotationText(first.system, files.a), 0);
  ASSERT_EQ(readAnnotationText(second.system, files.b), 0);
}

// The ground-truth frames [begin, end) as a sequence of their own; the
// targets stay those of `source`.
std::unique_ptr<QuorSequence> framesOf(const QuorSequence& source, std::size_t begin,
                                       std::size_t end) {
  auto part = std::make_unique<QuorSequence>();
  for (std::size_t at = begin; at < end; ++at) part->frames.push_back(source.frames[at]);
  return part;
}

TEST(PairedCountsTest, EachUnitScoresAsItsFramesScoreAlone) {
  for (uint32_t seed = 1; seed <= 25; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    Files f;
    readFiles(seed * 31337, f);
    for (const auto& [ca, cb] : {std::pair{0.0f, 0.0f}, std::pair{0.3f, 0.65f}}) {
      SCOPED_TRACE(testing::Message() << "thresholds " << ca << ", " << cb);
      for (const std::size_t block : {std::size_t{0}, std::size_t{1}, std::size_t{5}}) {
        PairedCountOptions options{ca, cb, block, 1};
        const PairedCounts counts = countPaired(f.truth, f.a, f.b, options);
        const std::size_t frames = f.truth.frames.size();
        EXPECT_EQ(counts.frames, static_cast<int64_t>(frames));
        EXPECT_EQ(counts.block, block > 0 ? block : defaultBlockSize(static_cast<int64_t>(frames)));
        ASSERT_EQ(counts.units.size(), (frames + counts.block - 1) / counts.block);
        for (std::size_t u = 0; u < counts.units.size(); ++u) {
          const auto part =
              framesOf(f.truth, u * counts.block, std::min(frames, (u + 1) * counts.block));
          const auto alone = std::pair{scoreClasses(*part, f.a, ca), scoreClasses(*part, f.b, cb)};
          for (std::size_t slot = 0; slot < kClassCount; ++slot) {
            const PairedClassCounts& c = counts.units[u][slot];
            const ClassCounts& a = alone.first[slot];
            const ClassCounts& b = alone.second[slot];
            EXPECT_EQ((std::array{c.gtA, c.fnA, c.fpA, c.gtB, c.fnB, c.fpB}),
                      (std::array{a.gt, a.fn, a.fp, b.gt, b.fn, b.fp}))
                << "unit " << u << ", " << evaluationClasses[slot];
          }
        }
        // And the whole sequence scores as the sum of its units.
        const UnitCounts total = sumUnits(counts.units);
        const auto wholeA = scoreClasses(f.truth, f.a, ca);
        const auto wholeB = scoreClasses(f.truth, f.b, cb);
        for (std::size_t slot = 0; slot < kClassCount; ++slot) {
          EXPECT_EQ(total[slot].fnA, wholeA[slot].fn);
          EXPECT_EQ(total[slot].fpB, wholeB[slot].fp);
          EXPECT_EQ(total[slot].gtB, wholeB[slot].gt);
        }
        // Threads take whole units; the counts are the same.
        options.threads = 3;
        const PairedCounts threaded = countPaired(f.truth, f.a, f.b, options);
        EXPECT_EQ(threaded.units, counts.units);
        EXPECT_EQ(threaded.objects, counts.objects);
      }
    }
  }
}

// Which ground-truth boxes a detector's matching of the class takes and
// which it pairs, from its events: (frame, box) -> found.
std::map<std::pair<int32_t, int32_t>, bool> foundBy(const QuorSequence& truth,
                                                    const QuorSequence& system, const char* name,
                                                    float confidence) {
  std::map<std::pair<int32_t, int32_t>, bool> found;
  forEachBoxEvent(truth, system, TargetFilter(name, confidence), [&](const BoxEvent& e) {
    if (e.systemSide || e.kind == BoxEventKind::kExcluded) return;
    found[{e.truthFrame, e.box}] = e.kind == BoxEventKind::kMatch;
  });
  return found;
}

TEST(PairedCountsTest, ObjectsFoundAreThoseTheEventsOfBothDetectorsPair) {
  for (uint32_t seed = 1; seed <= 25; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    Files f;
    readFiles(seed * 7919, f);
    for (const auto& [ca, cb] : {std::pair{0.0f, 0.0f}, std::pair{0.55f, 0.2f}}) {
      const PairedCounts counts = countPaired(f.truth, f.a, f.b, {ca, cb, 0, 2});
      const UnitCounts total = sumUnits(counts.units);
      for (std::size_t slot = 0; slot < kClassCount; ++slot) {
        const char* name = evaluationClasses[slot];
        SCOPED_TRACE(name);
        auto byA = foundBy(f.truth, f.a, name, ca);
        auto byB = foundBy(f.truth, f.b, name, cb);
        ObjectAgreement expected;
        for (auto& [box, a] : byA) {
          const auto b = byB.find(box);
          const bool foundB = b != byB.end() && b->second;
          ++(a ? (foundB ? expected.both : expected.aOnly)
               : (foundB ? expected.bOnly : expected.neither));
          if (b != byB.end()) byB.erase(b);
        }
        for (auto& [box, b] : byB) ++(b ? expected.bOnly : expected.neither);
        EXPECT_EQ(counts.objects[slot], expected);
        const ObjectAgreement& o = counts.objects[slot];
        if (ca == cb) {
          // One threshold: the same objects in both matchings, GT of them.
          EXPECT_EQ(o.both + o.aOnly + o.bOnly + o.neither, total[slot].gtA);
        }
        EXPECT_EQ(o.both + o.aOnly, total[slot].gtA - total[slot].fnA);
        EXPECT_EQ(o.both + o.bOnly, total[slot].gtB - total[slot].fnB);
      }
    }
  }
}

}  // namespace
