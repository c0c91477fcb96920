// The cause of every miss and false alarm: one frame made for each cause,
// frames where causes compete, and crowded random frames against a plain
// reading of the rules.
#include "scoring/analysis/error_causes.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "scoring/matching/box_overlap.h"
#include "tests/scoring/analysis/cause_oracle.h"
#include "tests/test_support.h"

using talmira_test::box;

namespace {

// A ground-truth frame and a system frame of the same number, built box by box.
struct FramePair {
  QuorSequence store;  // owns the targets
  QuorFrame truth{1};
  QuorFrame system{1};

  void object(const QuorTarget& target) { truth.targets.push_back(store.targetStore.add(target)); }
  void region(const QuorTarget& target) { truth.regions.push_back(store.targetStore.add(target)); }
  void detection(const QuorTarget& target) {
    system.targets.push_back(store.targetStore.add(target));
  }
};

// The cause names of a class's misses and false alarms, in frame order.
struct Causes {
  std::vector<std::string> misses, falseAlarms;
  bool operator==(const Causes&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Causes& c) {
  out << "misses {";
  for (const std::string& m : c.misses) out << ' ' << m;
  out << " } false alarms {";
  for (const std::string& f : c.falseAlarms) out << ' ' << f;
  return out << " }";
}

Causes causesOf(FramePair& pair, const char* className, float confidence, bool withSystem = true,
                float near = kDefaultNearThreshold) {
  FrameExplainer explainer(confidence, near);
  explainer.start(pair.truth, withSystem ? &pair.system : nullptr);
  explainer.explain(TargetFilter(className, confidence));
  Causes causes;
  for (const ExplainedBox& b : explainer.truths()) {
    if (b.kind == BoxEventKind::kMiss) {
      causes.misses.emplace_back(missCauseNames.at(static_cast<std::size_t>(b.cause)));
    } else {
      EXPECT_EQ(b.cause, -1);
    }
  }
  for (const ExplainedBox& b : explainer.systems()) {
    if (b.kind == BoxEventKind::kFalseAlarm) {
      causes.falseAlarms.emplace_back(falseAlarmCauseNames.at(static_cast<std::size_t>(b.cause)));
    } else {
      EXPECT_EQ(b.cause, -1);
    }
  }
  return causes;
}

TEST(ErrorCausesTest, EachCauseOnAFrameMadeForIt) {
  {
    SCOPED_TRACE("a frame no system frame pairs with");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.detection(box(0, 0, 100, 100, "Car"));
    EXPECT_EQ(causesOf(pair, "Car", 0.0f, false), (Causes{{"no_system_frame"}, {}}));
  }
  {
    SCOPED_TRACE("a car called a truck: confused on both sides, for the classes only");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.detection(box(0, 0, 100, 100, "Truck"));
    EXPECT_EQ(causesOf(pair, "Car", 0.0f), (Causes{{"class_confusion"}, {}}));
    EXPECT_EQ(causesOf(pair, "Truck", 0.0f), (Causes{{}, {"class_confusion"}}));
    EXPECT_EQ(causesOf(pair, "All", 0.0f), (Causes{}));
  }
  {
    SCOPED_TRACE("the car found, but inside a don't-care region");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.region(box(-10, -10, 200, 200, "DCR"));
    pair.detection(box(0, 0, 100, 100, "Car"));
    EXPECT_EQ(causesOf(pair, "Car", 0.0f), (Causes{{"dropped_in_region"}, {}}));
  }
  {
    SCOPED_TRACE("the car found below the threshold");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.detection(box(0, 0, 100, 100, "Car", 0.4f));
    EXPECT_EQ(causesOf(pair, "Car", 0.5f), (Causes{{"below_threshold"}, {}}));
    EXPECT_EQ(causesOf(pair, "All", 0.5f), (Causes{{"below_threshold"}, {}}));
    // At the box's own confidence it is taken: a confidence equal to the
    // threshold reaches it.
    EXPECT_EQ(causesOf(pair, "Car", 0.4f), (Causes{}));
  }
  {
    // 30 x 100 shared of an enclosing 170 x 100: 0.176, near but no match.
    SCOPED_TRACE("the car's box drawn too far to the side");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.detection(box(70, 0, 170, 100, "Car"));
    EXPECT_EQ(causesOf(pair, "Car", 0.0f), (Causes{{"localization"}, {"localization"}}));
    // With near above 0.176 neither is near the other.
    EXPECT_EQ(causesOf(pair, "Car", 0.0f, true, 0.18f), (Causes{{"missed"}, {"background"}}));
  }
  {
    SCOPED_TRACE("two boxes on one car");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.detection(box(0, 0, 100, 100, "Car"));
    pair.detection(box(5, 5, 105, 105, "Car"));
    EXPECT_EQ(causesOf(pair, "Car", 0.0f), (Causes{{}, {"duplicate"}}));
  }
  {
    SCOPED_TRACE("nothing anywhere near");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.detection(box(1000, 1000, 1100, 1100, "Car"));
    EXPECT_EQ(causesOf(pair, "Car", 0.0f), (Causes{{"missed"}, {"background"}}));
    // Exactly touching rectangles overlap 0: near only when near is 0.
    FramePair touching;
    touching.object(box(0, 0, 100, 100, "Car"));
    touching.detection(box(100, 0, 200, 100, "Car"));
    EXPECT_EQ(causesOf(touching, "Car", 0.0f), (Causes{{"missed"}, {"background"}}));
    EXPECT_EQ(causesOf(touching, "Car", 0.0f, true, 0.0f),
              (Causes{{"localization"}, {"localization"}}));
  }
}

TEST(ErrorCausesTest, TheFirstRuleThatAppliesGivesTheCause) {
  {
    // The car is a truck in All; a car box below the threshold matches it,
    // another in a region matches it, and a far car box is near it.
    SCOPED_TRACE("class confusion before everything");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.region(box(80, -10, 300, 110, "DCR"));
    pair.detection(box(0, 0, 100, 100, "Truck", 0.9f));
    pair.detection(box(0, 0, 100, 100, "Car", 0.1f));
    pair.detection(box(40, 0, 140, 100, "Car", 0.9f));  // in the region
    EXPECT_EQ(causesOf(pair, "Car", 0.5f).misses, std::vector<std::string>{"class_confusion"});
    // Without the truck: the region's box comes before the low one. The
    // region covers 60 of the in-region box's 100 columns (0.6 >= 0.33) but
    // only 20 of the truck's and the low car's; the in-region box overlaps
    // the car 60 / 140.
    FramePair noTruck;
    noTruck.object(box(0, 0, 100, 100, "Car"));
    noTruck.region(box(80, -10, 300, 110, "DCR"));
    noTruck.detection(box(0, 0, 100, 100, "Car", 0.1f));
    noTruck.detection(box(40, 0, 140, 100, "Car", 0.9f));
    EXPECT_EQ(causesOf(noTruck, "Car", 0.5f).misses, std::vector<std::string>{"dropped_in_region"});
  }
  {
    // A low box matches, and a false alarm is near: below_threshold first.
    SCOPED_TRACE("below the threshold before localization");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.detection(box(0, 0, 100, 100, "Car", 0.1f));
    pair.detection(box(70, 0, 170, 100, "Car", 0.9f));
    EXPECT_EQ(causesOf(pair, "Car", 0.5f), (Causes{{"below_threshold"}, {"localization"}}));
  }
  {
    // The second box matches the paired car and is near the missed one to
    // its side (30 / 170 again): a duplicate first.
    SCOPED_TRACE("duplicate before localization");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.object(box(70, 200, 170, 300, "Car"));
    pair.detection(box(0, 0, 100, 100, "Car"));
    pair.detection(box(0, 0, 100, 300, "Car"));
    // The tall box overlaps the first car 100 * 100 / (100 * 300) = 1/3 and
    // the second 30 * 100 / (170 * 300) = 0.06: not near it at 0.1, near at 0.05.
    EXPECT_EQ(causesOf(pair, "Car", 0.0f), (Causes{{"missed"}, {"duplicate"}}));
    FramePair apart;
    apart.object(box(0, 0, 100, 100, "Car"));
    apart.object(box(70, 200, 170, 300, "Car"));
    apart.detection(box(0, 0, 100, 100, "Car"));
    apart.detection(box(0, 150, 100, 300, "Car"));  // 30 * 100 / (170 * 150) = 0.118 of car 2
    EXPECT_EQ(causesOf(apart, "Car", 0.0f), (Causes{{"localization"}, {"localization"}}));
  }
  {
    // Car C and truck T side by side; truck box X sits between them, truck
    // box Y on T's far side. X overlaps C and T 75 / 125 = 0.6, Y overlaps T
    // 60 / 140 and C only 10 / 190. All must pair C with X and T with Y. In
    // class Truck, X and Y both match T and one is left over: when it is X,
    // it matches T (paired with Y), a duplicate, but All put it on a car.
    SCOPED_TRACE("a false alarm's class confusion before duplicate");
    FramePair pair;
    pair.object(box(0, 0, 100, 100, "Car"));
    pair.object(box(50, 0, 150, 100, "Truck"));
    pair.detection(box(25, 0, 125, 100, "Truck"));  // X
    pair.detection(box(90, 0, 190, 100, "Truck"));  // Y
    EXPECT_EQ(causesOf(pair, "All", 0.0f), (Causes{}));
    FrameExplainer explainer(0.0f, kDefaultNearThreshold);
    explainer.start(pair.truth, &pair.system);
    explainer.explain(TargetFilter("Truck", 0.0f));
    ASSERT_EQ(explainer.systems().size(), 2u);
    // Which of two equal boxes the assignment leaves over is the solver's
    // choice; this frame is only worth its name while it leaves X.
    ASSERT_EQ(explainer.systems()[0].kind, BoxEventKind::kFalseAlarm);
    EXPECT_EQ(explainer.systems()[0].cause, static_cast<int8_t>(FalseAlarmCause::kClassConfusion));
  }
}

TEST(ErrorCausesTest, OverlapsOfPairsSetAsidesAndRegions) {
  FramePair pair;
  pair.object(box(0, 0, 100, 100, "Car"));
  pair.object(box(500, 0, 600, 100, "Truck", 1.0f, true));  // flagged
  pair.region(box(1000, 0, 1100, 50, "DCR"));
  pair.detection(box(5, 5, 105, 105, "Car"));
  pair.detection(box(505, 0, 605, 100, "Truck"));
  pair.detection(box(1000, 0, 1100, 100, "Car"));  // half covered
  FrameExplainer explainer(0.0f, kDefaultNearThreshold);
  explainer.start(pair.truth, &pair.system);
  const std::vector<ExplainedBox>& systems = explainer.systems();
  ASSERT_EQ(systems.size(), 3u);
  EXPECT_EQ(systems[0].kind, BoxEventKind::kMatch);
  EXPECT_EQ(systems[0].overlap, static_cast<float>(95.0 * 95.0 / (105.0 * 105.0)));
  EXPECT_EQ(explainer.truths()[0].overlap, systems[0].overlap);
  EXPECT_EQ(systems[1].kind, BoxEventKind::kSetAside);
  EXPECT_EQ(systems[1].partner, 1);
  EXPECT_EQ(systems[1].overlap, static_cast<float>(95.0 * 100.0 / (105.0 * 100.0)));
  EXPECT_EQ(systems[2].kind, BoxEventKind::kInRegion);
  EXPECT_EQ(systems[2].partner, 0);
  EXPECT_EQ(systems[2].overlap, 0.5f);
  EXPECT_TRUE(std::isnan(explainer.truths()[1].overlap));  // excluded
}

// Crowded frames take the indexed road for the rules (thousands of tests);
// the causes must be those of the plain reading.
TEST(ErrorCausesTest, CrowdedRandomFramesAgreeWithThePlainRules) {
  const char* classes[] = {"Car", "Truck", "Bus"};
  for (uint32_t seed = 1; seed <= 12; ++seed) {
    SCOPED_TRACE(testing::Message() << "seed " << seed);
    std::mt19937 random(seed);
    const auto pick = [&](int low, int high) {
      return std::uniform_int_distribution<int>(low, high)(random);
    };
    FramePair pair;
    const int objects = pick(20, 160);
    for (int k = 0; k < objects; ++k) {
      const int x = pick(0, 60) * 20, y = pick(0, 60) * 20, w = pick(2, 8) * 10;
      const int h = pick(2, 8) * 10;
      pair.object(box(x, y, x + w, y + h, classes[pick(0, 2)], 1.0f, pick(0, 30) == 0));
      // Detections around most objects: on it, beside it, or of another
      // class; a few flagged, which a pass with any object sets aside.
      for (int d = pick(0, 3); d > 0; --d) {
        const int dx = pick(-12, 12) * 5, dy = pick(-12, 12) * 5;
        pair.detection(box(x + dx, y + dy, x + dx + w + pick(-2, 2) * 5,
                           y + dy + h + pick(-2, 2) * 5, classes[pick(0, 2)],
                           static_cast<float>(pick(0, 10)) / 10.0f, pick(0, 40) == 0));
      }
    }
    for (int k = pick(0, 4); k > 0; --k) {
      const int x = pick(0, 60) * 20, y = pick(0, 60) * 20;
      pair.region(box(x, y, x + pick(4, 20) * 10, y + pick(4, 20) * 10, "DCR"));
    }
    for (const float near : {0.0f, 0.1f, 0.15f}) {
      for (const float confidence : {0.0f, 0.5f}) {
        FrameExplainer explainer(confidence, near);
        explainer.start(pair.truth, &pair.system);
        for (const char* name : {"All", "Car", "Truck", "Bus"}) {
          SCOPED_TRACE(testing::Message() << name << " at " << confidence << ", near " << near);
          const TargetFilter filter(name, confidence);
          explainer.explain(filter);
          std::vector<int8_t> misses, falseAlarms;
          for (const ExplainedBox& b : explainer.truths()) {
            if (b.kind == BoxEventKind::kMiss) misses.push_back(b.cause);
          }
          for (const ExplainedBox& b : explainer.systems()) {
            if (b.kind == BoxEventKind::kFalseAlarm) falseAlarms.push_back(b.cause);
          }
          EXPECT_EQ(misses, talmira_test::plainMissCauses(pair.truth, pair.system, explainer,
                                                          filter, near));
          EXPECT_EQ(falseAlarms, talmira_test::plainFalseAlarmCauses(pair.truth, pair.system,
                                                                     explainer, filter, near));
          // A class's pairs take All's overlaps where All made the same pair.
          EXPECT_TRUE(talmira_test::pairsCarryTheirOverlaps(pair.truth, pair.system, explainer));
        }
      }
    }
  }
}

}  // namespace
