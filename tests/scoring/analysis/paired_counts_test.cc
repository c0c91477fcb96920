// Two detectors counted unit by unit against the scoring of each on its
// own, and the objects each found against the events of its matching.
#include "scoring/analysis/paired_counts.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "annotation/selection.h"
#include "scoring/analysis/sequence_events.h"
#include "scoring/counts/sequence_evaluation.h"
#include "scoring/matching/frame_matching.h"
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
            const PairedClassCounts c = counts.units[u].at(slot);
            const ClassCounts& a = alone.first[slot];
            const ClassCounts& b = alone.second[slot];
            EXPECT_EQ((std::array{c.gtA, c.fnA, c.fpA, c.gtB, c.fnB, c.fpB}),
                      (std::array{a.gt, a.fn, a.fp, b.gt, b.fn, b.fp}))
                << "unit " << u << ", " << evaluationClasses[slot];
          }
        }
        // And the whole sequence scores as the sum of its units.
        const auto total = sumUnits(counts.units, kClassCount);
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
      const auto total = sumUnits(counts.units, kClassCount);
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

// The random pairs' files with their boxes in many classes: each box of
// type T takes the class "T.k", k from the cell of the picture it lies in,
// so that nearby boxes of the two sides mostly share one. Lines that are no
// record of a box stay as they are.
std::string spreadOverClasses(const std::string& text, int cells, std::vector<std::string>& names) {
  std::istringstream lines(text);
  std::string line, out;
  while (std::getline(lines, line)) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t comma; (comma = line.find(',', start)) != std::string::npos;
         start = comma + 1) {
      fields.push_back(line.substr(start, comma - start));
    }
    fields.push_back(line.substr(start));
    const bool known =
        fields.size() >= 15 && std::find(knownClasses.begin(), knownClasses.end(),
                                         std::string_view(fields[9])) != knownClasses.end();
    if (known) {
      const int cell = std::abs(std::atoi(fields[1].c_str()) / 40) % cells;
      fields[9] += "." + std::to_string(cell);
      if (std::find(names.begin(), names.end(), fields[9]) == names.end()) {
        names.push_back(fields[9]);
      }
      line.clear();
      for (std::size_t k = 0; k < fields.size(); ++k) line += (k > 0 ? "," : "") + fields[k];
    }
    out += line + "\n";
  }
  return out;
}

// Which ground-truth boxes a class's matching takes and which it pairs,
// (frame, position as read) -> found, from matching each frame pair's boxes
// of the class alone.
std::map<std::pair<int32_t, int32_t>, bool> matchedAlone(const QuorSequence& truth,
                                                         const QuorSequence& system,
                                                         const char* name, float confidence) {
  const TargetFilter filter(name, confidence);
  const std::vector<int32_t> partners = pairFrames(truth, system);
  std::map<std::pair<int32_t, int32_t>, bool> found;
  for (std::size_t at = 0; at < truth.frames.size(); ++at) {
    const QuorFrame& frame = truth.frames[at];
    QuorFrame truthSelection(0), systemSelection(0);
    selectFrame(frame, filter, truthSelection);
    const bool paired = partners[at] >= 0;
    if (paired) {
      selectFrame(system.frames[static_cast<std::size_t>(partners[at])], filter, systemSelection);
    }
    FrameEvents events;
    evaluateFrameEvents(truthSelection, paired ? &systemSelection : nullptr, false, false, events);
    for (std::size_t r = 0; r < events.truth.size(); ++r) {
      if (events.truth[r] == TruthOutcome::kExcluded) continue;
      const auto position =
          std::find(frame.targets.begin(), frame.targets.end(), truthSelection.targets[r]) -
          frame.targets.begin();
      found[{static_cast<int32_t>(at), static_cast<int32_t>(position)}] =
          events.truth[r] == TruthOutcome::kMatch;
    }
  }
  return found;
}

// A sequence read with `names` as its classes (in that order), as a reader
// of another dataset files one.
void readWithClasses(const std::string& text, std::vector<std::string> names,
                     QuorSequence& sequence) {
  sequence.classes = ClassSet::of(std::move(names));
  ASSERT_EQ(readAnnotationText(text, sequence), 0);
}

// Hundreds of classes, a few boxes each, some in one file only, some in
// none: the set is the ground truth's classes then A's extras then B's,
// each unit's counts are those of its frames scored alone in that set, and
// each class's objects are those the events of both detectors pair.
TEST(PairedCountsTest, ManyClassesCountAsEachClassScoresAlone) {
  for (uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    const talmira_test::FilePair first = talmira_test::randomFilePair(seed * 104729, 10, 30);
    const talmira_test::FilePair second = talmira_test::randomFilePair(seed * 104729 + 3, 10, 30);
    std::vector<std::string> truthNames, aNames, bNames;
    const int cells = 3 + static_cast<int>(seed) * 6;
    const std::string truthText = spreadOverClasses(first.groundTruth, cells, truthNames);
    const std::string aText = spreadOverClasses(first.system, cells, aNames);
    const std::string bText = spreadOverClasses(second.system, cells, bNames);
    // Each file's classes in an order of its own, with a class none bears.
    std::reverse(aNames.begin(), aNames.end());
    aNames.push_back("A only " + std::to_string(seed));
    truthNames.push_back("unborne " + std::to_string(seed));
    bNames.insert(bNames.begin(), "Straßenbahn, \"B only\"");
    Files f;
    readWithClasses(truthText, truthNames, f.truth);
    readWithClasses(aText, aNames, f.a);
    readWithClasses(bText, bNames, f.b);
    std::vector<std::string> expected = truthNames;
    for (const auto* names : {&aNames, &bNames}) {
      for (const std::string& name : *names) {
        if (std::find(expected.begin(), expected.end(), name) == expected.end()) {
          expected.push_back(name);
        }
      }
    }
    const ClassSetPtr set = pairedClasses(f.truth, f.a, f.b);
    ASSERT_EQ(set->names(), expected);
    ASSERT_GE(set->names().size(), truthNames.size() + 2);  // extras of both detectors
    const float ca = seed % 2 == 0 ? 0.0f : 0.35f, cb = seed % 3 == 0 ? 0.0f : 0.6f;
    const std::size_t block = seed % 2 == 0 ? 1 : 4;
    const PairedCounts counts = countPaired(f.truth, f.a, f.b, {ca, cb, block, 1});
    ASSERT_EQ(counts.classSet->names(), expected);
    const std::size_t frames = f.truth.frames.size();
    ASSERT_EQ(counts.units.size(), (frames + block - 1) / block);
    for (std::size_t u = 0; u < counts.units.size(); ++u) {
      const auto part = framesOf(f.truth, u * block, std::min(frames, (u + 1) * block));
      const auto alone =
          std::pair{scoreClasses(*part, f.a, *set, ca), scoreClasses(*part, f.b, *set, cb)};
      for (std::size_t row = 0; row < set->rows(); ++row) {
        const PairedClassCounts c = counts.units[u].at(row);
        const ClassCounts& a = alone.first[row];
        const ClassCounts& b = alone.second[row];
        EXPECT_EQ((std::array{c.gtA, c.fnA, c.fpA, c.gtB, c.fnB, c.fpB}),
                  (std::array{a.gt, a.fn, a.fp, b.gt, b.fn, b.fp}))
            << "unit " << u << ", " << set->row(row);
      }
    }
    for (std::size_t row = 0; row < set->rows(); ++row) {
      const std::string name(set->row(row));
      auto byA = matchedAlone(f.truth, f.a, name.c_str(), ca);
      auto byB = matchedAlone(f.truth, f.b, name.c_str(), cb);
      ObjectAgreement expectedObjects;
      for (auto& [box, a] : byA) {
        const auto b = byB.find(box);
        const bool foundB = b != byB.end() && b->second;
        ++(a ? (foundB ? expectedObjects.both : expectedObjects.aOnly)
             : (foundB ? expectedObjects.bOnly : expectedObjects.neither));
        if (b != byB.end()) byB.erase(b);
      }
      for (auto& [box, b] : byB) ++(b ? expectedObjects.bOnly : expectedObjects.neither);
      EXPECT_EQ(counts.objects[row], expectedObjects) << name;
    }
    // Threads take whole units; the counts are the same.
    const PairedCounts threaded = countPaired(f.truth, f.a, f.b, {ca, cb, block, 3});
    EXPECT_EQ(threaded.units, counts.units);
    EXPECT_EQ(threaded.objects, counts.objects);
  }
}

}  // namespace
