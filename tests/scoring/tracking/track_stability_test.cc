// The stability errors of hand-made tracks, worked out beside each case, and
// CLEAR's road on prepared boxes: which frames count as matched.
#include "scoring/tracking/track_stability.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace tracking {
namespace {

StabilityBox at(double left, double top, double width, double height) {
  return {left, top, left + width, top + height};
}

TrackStability only(const StabilityAccumulator& accumulator) {
  const std::vector<TrackStability> tracks = accumulator.finish();
  EXPECT_EQ(tracks.size(), 1u);
  return tracks.empty() ? TrackStability{} : tracks.front();
}

TEST(StabilityOffsetsTest, CentreShiftAndShapeChangeInTheTruthsUnits) {
  // Truth 40 x 20 at (100, 50): centre (120, 60). Detection 20 x 20 at
  // (110, 55): centre (120, 65).
  const StabilityOffsets o = stabilityOffsets(at(100, 50, 40, 20), at(110, 55, 20, 20));
  EXPECT_DOUBLE_EQ(o.x, 0.0);                                          // (120 - 120) / 40
  EXPECT_DOUBLE_EQ(o.y, 0.25);                                         // (65 - 60) / 20
  EXPECT_DOUBLE_EQ(o.ratio, -0.5);                                     // (20/20) / (40/20) - 1
  EXPECT_DOUBLE_EQ(o.scale, std::sqrt(400.0) / std::sqrt(800.0) - 1);  // sqrt(1/2) - 1
  EXPECT_DOUBLE_EQ(o.magnitude(), std::sqrt(0.0625 + 0.25 + o.scale * o.scale));
}

TEST(StabilityAccumulatorTest, AConstantShiftIsNoError) {
  // The object walks right; the box trails it by 3 pixels and sits 2 low,
  // every frame: e_x = -0.3, e_y = 0.1 throughout, so no spread at all.
  StabilityAccumulator accumulator;
  for (uint32_t f = 1; f <= 6; ++f) {
    const double x = 10.0 * f;
    const StabilityBox detection = at(x - 3, 22, 10, 20);
    accumulator.add(7, f, at(x, 20, 10, 20), &detection);
  }
  const TrackStability t = only(accumulator);
  EXPECT_EQ(t.track, 7);
  EXPECT_EQ(t.frames, 6);
  EXPECT_EQ(t.matched, 6);
  EXPECT_EQ(t.fragmentError, 0.0);
  EXPECT_NEAR(t.centreError, 0.0, 1e-15);
  EXPECT_NEAR(t.scaleRatioError, 0.0, 1e-15);
  ASSERT_EQ(t.worst.size(), kWorstFrames);
  EXPECT_NEAR(t.worst[0].offsets.x, -0.3, 1e-15);
}

TEST(StabilityAccumulatorTest, AlternatingByPlusAndMinusDGivesDOverTheWidth) {
  // Width 10, the box 2 to the right, then 2 to the left, four times:
  // e_x = +-0.2, mean 0, population sd 0.2; e_y, e_r, e_s all 0.
  StabilityAccumulator accumulator;
  for (uint32_t f = 1; f <= 8; ++f) {
    const double d = f % 2 == 1 ? 2.0 : -2.0;
    const StabilityBox detection = at(50 + d, 0, 10, 30);
    accumulator.add(1, f, at(50, 0, 10, 30), &detection);
  }
  const TrackStability t = only(accumulator);
  EXPECT_NEAR(t.sdX, 0.2, 1e-15);
  EXPECT_EQ(t.sdY, 0.0);
  EXPECT_NEAR(t.centreError, 0.2, 1e-15);
  EXPECT_EQ(t.scaleRatioError, 0.0);
  // Every frame is as bad as the others: the earliest three are kept.
  ASSERT_EQ(t.worst.size(), 3u);
  EXPECT_EQ(t.worst[0].frame, 1u);
  EXPECT_EQ(t.worst[1].frame, 2u);
  EXPECT_EQ(t.worst[2].frame, 3u);
}

TEST(StabilityAccumulatorTest, MissingEveryOtherFrameIsAFragmentErrorOfOne) {
  // Matched, missed, matched, missed, matched: 4 changes over 5 - 1 steps.
  StabilityAccumulator accumulator;
  const StabilityBox truth = at(0, 0, 10, 10);
  for (uint32_t f = 1; f <= 5; ++f) accumulator.add(3, f, truth, f % 2 == 1 ? &truth : nullptr);
  TrackStability t = only(accumulator);
  EXPECT_EQ(t.changes, 4);
  EXPECT_EQ(t.matched, 3);
  EXPECT_EQ(t.fragmentError, 1.0);
  EXPECT_EQ(t.total(), 1.0);  // the matched frames are perfect

  // Missed in frames 3 and 4 of 6 only: 2 changes / 5.
  StabilityAccumulator gap;
  for (uint32_t f = 1; f <= 6; ++f) gap.add(3, f, truth, f == 3 || f == 4 ? nullptr : &truth);
  t = only(gap);
  EXPECT_DOUBLE_EQ(t.fragmentError, 2.0 / 5.0);
}

TEST(StabilityAccumulatorTest, ScaleAndRatioSpreadApart) {
  // The box doubles in both sides every other frame (centred): e_s = 0 or 1
  // (sd 0.5), the ratio never changes. Then a track whose box is twice as
  // wide every other frame: e_r = 0 or 1 (sd 0.5), e_s = 0 or sqrt(2) - 1.
  StabilityAccumulator accumulator;
  for (uint32_t f = 1; f <= 4; ++f) {
    const StabilityBox big = at(-10, -20, 40, 80);
    const StabilityBox same = at(0, 0, 20, 40);
    accumulator.add(0, f, same, f % 2 == 0 ? &big : &same);
    const StabilityBox wide = at(-10, 0, 40, 40);
    accumulator.add(1, f, same, f % 2 == 0 ? &wide : &same);
  }
  const std::vector<TrackStability> tracks = accumulator.finish();
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_NEAR(tracks[0].sdScale, 0.5, 1e-15);
  EXPECT_NEAR(tracks[0].sdRatio, 0.0, 1e-15);
  EXPECT_NEAR(tracks[0].centreError, 0.0, 1e-15);
  EXPECT_NEAR(tracks[1].sdRatio, 0.5, 1e-15);
  EXPECT_NEAR(tracks[1].sdScale, (std::sqrt(2.0) - 1) / 2, 1e-15);
  EXPECT_NEAR(tracks[1].scaleRatioError, 0.5 + (std::sqrt(2.0) - 1) / 2, 1e-15);
}

TEST(StabilityAccumulatorTest, OneFrameTracksAndTracksNeverMatched) {
  StabilityAccumulator accumulator;
  const StabilityBox truth = at(0, 0, 10, 10);
  const StabilityBox off = at(1, 0, 10, 10);
  accumulator.add(5, 9, truth, &off);     // one frame, matched: E_F 0
  accumulator.add(2, 1, truth, nullptr);  // never matched: left out
  accumulator.add(2, 2, truth, nullptr);
  const std::vector<TrackStability> tracks = accumulator.finish();
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].track, 2);  // in key order
  EXPECT_FALSE(tracks[0].used());
  EXPECT_EQ(tracks[0].changes, 0);
  EXPECT_TRUE(tracks[1].used());
  EXPECT_EQ(tracks[1].fragmentError, 0.0);
  EXPECT_EQ(tracks[1].centreError, 0.0);  // one offset has no spread

  const StabilitySummary summary = summarizeStability(tracks);
  EXPECT_EQ(summary.tracks, 1);
  EXPECT_EQ(summary.leftOut, 1);
  EXPECT_EQ(summary.total(), 0.0);
}

TEST(StabilityAccumulatorTest, WorstFramesAreTheLargestOffsetsAndFollowedTracksKeepTheirSeries) {
  // Offsets in x of 0.1, 0.5, 0.2, 0.4, 0.3 (width 10): the worst are
  // frames 2, 4, 5.
  StabilityAccumulator accumulator;
  accumulator.follow(4);
  const double shifts[] = {1, 5, 2, 4, 3};
  for (uint32_t f = 1; f <= 5; ++f) {
    const StabilityBox detection = at(shifts[f - 1], 0, 10, 10);
    accumulator.add(4, f, at(0, 0, 10, 10), &detection);
    accumulator.add(6, f, at(0, 0, 10, 10), &detection);
  }
  accumulator.add(4, 6, at(0, 0, 10, 10), nullptr);
  const std::vector<TrackStability> tracks = accumulator.finish();
  ASSERT_EQ(tracks.size(), 2u);
  ASSERT_EQ(tracks[0].worst.size(), 3u);
  EXPECT_EQ(tracks[0].worst[0].frame, 2u);
  EXPECT_EQ(tracks[0].worst[1].frame, 4u);
  EXPECT_EQ(tracks[0].worst[2].frame, 5u);
  ASSERT_EQ(tracks[0].series.size(), 6u);
  EXPECT_FALSE(tracks[0].series[5].matched);
  EXPECT_NEAR(tracks[0].series[1].offsets.x, 0.5, 1e-15);
  EXPECT_TRUE(tracks[1].series.empty());  // not followed
}

TEST(StabilityAccumulatorTest, WelfordAgreesWithTwoPassesOnLongNoisyTracks) {
  // A long track far from the origin, where summing squares would lose the
  // spread: the online sd must agree with the two-pass one.
  StabilityAccumulator accumulator;
  std::vector<double> xs;
  uint64_t state = 12345;
  for (uint32_t f = 1; f <= 20000; ++f) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    const double noise = static_cast<double>(state >> 40) / static_cast<double>(1 << 24) - 0.5;
    const StabilityBox truth = at(1e6, 1e6, 8, 8);
    const StabilityBox detection = at(1e6 + 1e3 + noise, 1e6, 8, 8);
    accumulator.add(0, f, truth, &detection);
    xs.push_back(stabilityOffsets(truth, detection).x);
  }
  double mean = 0;
  for (const double x : xs) mean += x;
  mean /= static_cast<double>(xs.size());
  double squares = 0;
  for (const double x : xs) squares += (x - mean) * (x - mean);
  const double sd = std::sqrt(squares / static_cast<double>(xs.size()));
  EXPECT_NEAR(only(accumulator).sdX, sd, 1e-12 * sd);
}

TrackBox prepared(double left, double top, double width, double height, int32_t id, uint64_t line) {
  TrackBox box;
  box.left = left;
  box.top = top;
  box.right = left + width;
  box.bottom = top + height;
  box.id = id;
  box.line = line;
  return box;
}

TEST(ClearStabilityTest, FramesWithoutTrackerBoxesOrBelowHalfAreMisses) {
  // Track 0 in frames 1 to 4. Frame 1: a tracker box on it (IoU 1); frame
  // 2: no tracker box at all; frame 3: one at IoU 1/3 (half-overlapping,
  // below 0.5); frame 4: on it, 1 pixel right. Matched, missed, missed,
  // matched: 2 changes over 3.
  PreparedTracks tracks;
  tracks.frames = 4;
  tracks.groundTruthIds = 1;
  tracks.trackerIds = 1;
  for (uint64_t f = 0; f < 4; ++f) tracks.groundTruth.push_back(prepared(0, 0, 10, 10, 0, f + 1));
  tracks.frameNumbers = {1, 2, 3, 4};
  tracks.groundTruthStart = {0, 1, 2, 3, 4};
  tracks.tracker = {prepared(0, 0, 10, 10, 0, 1), prepared(5, 0, 10, 10, 0, 2),
                    prepared(1, 0, 10, 10, 0, 3)};
  tracks.trackerStart = {0, 1, 1, 2, 3};
  tracks.groundTruthIdValues = {42};
  tracks.trackerIdValues = {1};
  const std::vector<int32_t> followed{0};
  const std::vector<TrackStability> result = clearStability(tracks, followed);
  ASSERT_EQ(result.size(), 1u);
  const TrackStability& t = result[0];
  EXPECT_EQ(t.frames, 4);
  EXPECT_EQ(t.matched, 2);
  EXPECT_EQ(t.changes, 2);
  EXPECT_DOUBLE_EQ(t.fragmentError, 2.0 / 3.0);
  // e_x = 0 then 0.1: sd 0.05.
  EXPECT_NEAR(t.sdX, 0.05, 1e-15);
  ASSERT_EQ(t.series.size(), 4u);
  EXPECT_TRUE(t.series[0].matched);
  EXPECT_FALSE(t.series[1].matched);
  EXPECT_FALSE(t.series[2].matched);
  EXPECT_TRUE(t.series[3].matched);
  EXPECT_EQ(t.worst.front().frame, 4u);
}

TEST(ClearStabilityTest, NoTrackerBoxAtAllLeavesEveryTrackOut) {
  PreparedTracks tracks;
  tracks.frames = 2;
  tracks.groundTruthIds = 2;
  tracks.groundTruth = {prepared(0, 0, 10, 10, 0, 1), prepared(0, 0, 10, 10, 1, 2),
                        prepared(0, 0, 10, 10, 1, 3)};
  tracks.frameNumbers = {1, 2};
  tracks.groundTruthStart = {0, 2, 3};
  tracks.trackerStart = {0, 0, 0};
  tracks.groundTruthIdValues = {1, 2};
  const std::vector<TrackStability> result = clearStability(tracks);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result[1].frames, 2);
  const StabilitySummary summary = summarizeStability(result);
  EXPECT_EQ(summary.tracks, 0);
  EXPECT_EQ(summary.leftOut, 2);
}

}  // namespace
}  // namespace tracking
