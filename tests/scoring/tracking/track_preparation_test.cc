// The benchmark's preprocessing done in the sequences' own storage (what
// `talmira track` does for its last class, to hold one list of boxes rather
// than two) against the copying one, on random sequences under every rules:
// the same boxes, frames, identities and set-aside pairs, and so the same
// sums to the bit.
#include "scoring/tracking/track_preparation.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "annotation/track_reader.h"
#include "scoring/tracking/track_measures.h"

namespace tracking {
namespace {

// Boxes around a few anchors, so that pairs overlap, nearly overlap and
// tie; identities unique within a frame; MOT classes mostly pedestrians,
// with distractors and other classes; some boxes not considered.
TrackSequence randomSequence(std::mt19937_64& random, uint32_t length, bool truth) {
  std::uniform_int_distribution<int> count(0, 6);
  std::uniform_int_distribution<int> anchor(0, 3);
  std::uniform_real_distribution<double> jitter(-4.0, 4.0);
  std::uniform_int_distribution<int> classOf(0, 15);
  std::uniform_int_distribution<int> identity(0, 9);
  TrackFile file;
  file.source = truth ? "gt.txt" : "tracker.txt";
  file.layout = TrackLayout::kMot16;
  uint64_t line = 0;
  for (uint32_t frame = 1; frame <= length; ++frame) {
    std::vector<int> ids;
    for (int k = count(random); k > 0; --k) {
      const int id = identity(random);
      if (std::find(ids.begin(), ids.end(), id) != ids.end()) continue;
      ids.push_back(id);
      TrackBox box;
      const double x = 30.0 * anchor(random) + jitter(random);
      const double y = 20.0 * anchor(random) + jitter(random);
      box.left = x;
      box.top = y;
      box.right = x + 25.0 + jitter(random);
      box.bottom = y + 40.0 + jitter(random);
      box.id = 100 - 7 * id;  // renumbering must sort the values
      const int c = classOf(random);
      if (truth) {
        box.label = c < 9 ? 1 : (c == 9 ? 2 : (c == 10 ? 7 : (c == 11 ? 8 : (c == 12 ? 12 : 6))));
        box.considered = c != 14;
      } else {
        box.label = c < 12 ? 1 : -1;
        box.confidence = static_cast<float>(c) / 16.0f;
      }
      box.line = ++line;
      file.boxes.push_back(box);
      file.frames.push_back(frame);
    }
  }
  // In a different order from the frames', as a ground truth listed track by track.
  if (truth && file.boxes.size() > 1) {
    std::vector<std::size_t> order(file.boxes.size());
    for (std::size_t k = 0; k < order.size(); ++k) order[k] = k;
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
      return file.boxes[a].id < file.boxes[b].id;
    });
    TrackFile sorted = file;
    for (std::size_t k = 0; k < order.size(); ++k) {
      sorted.boxes[k] = file.boxes[order[k]];
      sorted.frames[k] = file.frames[order[k]];
    }
    file = std::move(sorted);
  }
  return framedTracks(std::move(file), length);
}

bool sameBox(const TrackBox& a, const TrackBox& b) {
  return std::memcmp(&a.left, &b.left, 4 * sizeof(double)) == 0 && a.id == b.id &&
         a.line == b.line && a.label == b.label && a.considered == b.considered &&
         a.confidence == b.confidence;
}

bool sameBits(double x, double y) { return std::memcmp(&x, &y, sizeof x) == 0; }

TEST(TrackPreparation, InTheSequencesStorageAsCopied) {
  std::mt19937_64 random(20261209);
  int setAside = 0;
  int leftOut = 0;
  for (int round = 0; round < 300; ++round) {
    const uint32_t length = 1 + static_cast<uint32_t>(random() % 25);
    const TrackSequence truth = randomSequence(random, length, true);
    const TrackSequence tracker = randomSequence(random, length, false);
    for (const TrackBenchmark benchmark : {TrackBenchmark::kPlain, TrackBenchmark::kMot15,
                                           TrackBenchmark::kMot16, TrackBenchmark::kMot20}) {
      TrackRules rules;
      rules.benchmark = benchmark;
      if (round % 3 == 0) rules.minConfidence = 0.3f;
      const int32_t label = benchmark == TrackBenchmark::kPlain ? (round % 2 == 0 ? 1 : -1) : 1;
      const PreparedTracks copied = prepareTracks(truth, tracker, rules, label);
      TrackSequence truthCopy = truth;
      TrackSequence trackerCopy = tracker;
      const PreparedTracks moved =
          prepareTracks(std::move(truthCopy), std::move(trackerCopy), rules, label);
      const std::string where =
          "round " + std::to_string(round) + ", rules " + std::string(benchmarkName(benchmark));
      ASSERT_EQ(moved.frames, copied.frames) << where;
      ASSERT_EQ(moved.groundTruth.size(), copied.groundTruth.size()) << where;
      ASSERT_EQ(moved.tracker.size(), copied.tracker.size()) << where;
      for (std::size_t k = 0; k < copied.groundTruth.size(); ++k) {
        ASSERT_TRUE(sameBox(moved.groundTruth[k], copied.groundTruth[k])) << where << ", box " << k;
      }
      for (std::size_t k = 0; k < copied.tracker.size(); ++k) {
        ASSERT_TRUE(sameBox(moved.tracker[k], copied.tracker[k])) << where << ", box " << k;
      }
      EXPECT_EQ(moved.groundTruthStart, copied.groundTruthStart) << where;
      EXPECT_EQ(moved.trackerStart, copied.trackerStart) << where;
      EXPECT_EQ(moved.setAsideLines, copied.setAsideLines) << where;
      EXPECT_EQ(moved.groundTruthIdValues, copied.groundTruthIdValues) << where;
      EXPECT_EQ(moved.trackerIdValues, copied.trackerIdValues) << where;
      EXPECT_TRUE(truthCopy.boxes.empty() && trackerCopy.boxes.empty()) << where;
      // The copied boxes are those of the sequences, each kept one once.
      setAside += static_cast<int>(copied.setAsideLines.size());
      leftOut += static_cast<int>(truth.boxes.size() - copied.groundTruth.size());

      const TrackSums a = evaluateTracks(copied);
      const TrackSums b = evaluateTracks(moved);
      EXPECT_EQ(a.clearTp, b.clearTp) << where;
      EXPECT_EQ(a.idSwitches, b.idSwitches) << where;
      EXPECT_EQ(a.idTp, b.idTp) << where;
      EXPECT_TRUE(sameBits(a.motpSum, b.motpSum)) << where;
      for (std::size_t alpha = 0; alpha < kAlphaCount; ++alpha) {
        EXPECT_TRUE(sameBits(a.assA[alpha], b.assA[alpha])) << where;
        EXPECT_TRUE(sameBits(a.locA[alpha], b.locA[alpha])) << where;
      }
    }
  }
  // The cases took the roads that move boxes down over others.
  EXPECT_GT(setAside, 100);
  EXPECT_GT(leftOut, 1000);
}

// KITTI's types by name, truncation and occlusion levels about their
// limits, DontCare areas and negative track ids; unique track ids a frame
// (as the benchmark requires of the boxes it keeps).
TrackSequence randomKittiSequence(std::mt19937_64& random, uint32_t length, bool truth) {
  std::uniform_int_distribution<int> count(0, 7);
  std::uniform_int_distribution<int> anchor(0, 3);
  std::uniform_real_distribution<double> jitter(-4.0, 4.0);
  std::uniform_int_distribution<int> type(0, 6);
  std::uniform_int_distribution<int> level(-1, 4);
  std::uniform_int_distribution<int> identity(-2, 9);
  TrackFile file;
  file.source = truth ? "gt.txt" : "tracker.txt";
  file.layout = TrackLayout::kKitti;
  file.labelNames = {"Car", "Van", "Pedestrian", "Person", "DontCare", "Cyclist", "car"};
  uint64_t line = 0;
  for (uint32_t frame = 1; frame <= length; ++frame) {
    // Unique within a type: a car and a van may share one, Car and car
    // (one class) now and then.
    std::vector<std::pair<int, int>> ids;
    for (int k = count(random); k > 0; --k) {
      const int id = identity(random);
      const int label = type(random);
      if (id >= 0 && std::find(ids.begin(), ids.end(), std::pair(label, id)) != ids.end()) continue;
      ids.emplace_back(label, id);
      TrackBox box;
      const double x = 30.0 * anchor(random) + jitter(random);
      const double y = 20.0 * anchor(random) + jitter(random);
      box.left = x;
      box.top = y;
      box.right = x + 25.0 + jitter(random);
      box.bottom = y + 25.0 + 2.0 * jitter(random);
      box.id = id < 0 ? id : 100 - 7 * id;
      box.label = label;
      box.truncation = static_cast<int8_t>(level(random) / 2);
      box.occlusion = static_cast<int8_t>(level(random));
      box.line = ++line;
      file.boxes.push_back(box);
      file.frames.push_back(frame);
    }
  }
  return framedTracks(std::move(file), length, false);
}

TEST(TrackPreparation, KittiInTheSequencesStorageAsCopied) {
  std::mt19937_64 random(20261210);
  int setAside = 0;
  int kept = 0;
  int refused = 0;
  for (int round = 0; round < 300; ++round) {
    const uint32_t length = 1 + static_cast<uint32_t>(random() % 20);
    const TrackSequence truth = randomKittiSequence(random, length, true);
    const TrackSequence tracker = randomKittiSequence(random, length, false);
    TrackRules rules;
    rules.benchmark = TrackBenchmark::kKitti;
    for (const int32_t label : {kKittiCar, kKittiPedestrian}) {
      const std::string where =
          "round " + std::to_string(round) + ", class " + std::to_string(label);
      PreparedTracks copied;
      try {
        copied = prepareTracks(truth, tracker, rules, label);
      } catch (const TrackInputError&) {
        // Car and car are one class: their identities may meet in a frame.
        TrackSequence truthCopy = truth;
        TrackSequence trackerCopy = tracker;
        EXPECT_THROW(prepareTracks(std::move(truthCopy), std::move(trackerCopy), rules, label),
                     TrackInputError)
            << where;
        ++refused;
        continue;
      }
      TrackSequence truthCopy = truth;
      TrackSequence trackerCopy = tracker;
      const PreparedTracks moved =
          prepareTracks(std::move(truthCopy), std::move(trackerCopy), rules, label);
      ASSERT_EQ(moved.groundTruth.size(), copied.groundTruth.size()) << where;
      ASSERT_EQ(moved.tracker.size(), copied.tracker.size()) << where;
      for (std::size_t k = 0; k < copied.groundTruth.size(); ++k) {
        ASSERT_TRUE(sameBox(moved.groundTruth[k], copied.groundTruth[k])) << where << ", box " << k;
        const TrackBox& box = copied.groundTruth[k];
        // Only the class's own ground truth, neither occluded nor truncated.
        const std::string& type = truth.labelNames[static_cast<std::size_t>(box.label)];
        EXPECT_EQ(kittiClassNamed(type), label) << where;
        EXPECT_LE(box.occlusion, 2) << where;
        EXPECT_LE(box.truncation, 0) << where;
      }
      for (std::size_t k = 0; k < copied.tracker.size(); ++k) {
        ASSERT_TRUE(sameBox(moved.tracker[k], copied.tracker[k])) << where << ", box " << k;
      }
      EXPECT_EQ(moved.groundTruthStart, copied.groundTruthStart) << where;
      EXPECT_EQ(moved.trackerStart, copied.trackerStart) << where;
      EXPECT_EQ(moved.setAsideLines, copied.setAsideLines) << where;
      EXPECT_EQ(moved.groundTruthIdValues, copied.groundTruthIdValues) << where;
      EXPECT_EQ(moved.trackerIdValues, copied.trackerIdValues) << where;
      // Negative track ids are never kept.
      for (const int64_t value : copied.groundTruthIdValues) EXPECT_GE(value, 37) << where;
      for (const int64_t value : copied.trackerIdValues) EXPECT_GE(value, 37) << where;
      setAside += static_cast<int>(copied.setAsideLines.size());
      kept += static_cast<int>(copied.groundTruth.size());
    }
  }
  EXPECT_GT(setAside, 100);
  EXPECT_GT(kept, 100);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace tracking
