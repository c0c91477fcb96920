#include "scoring/tracking/track_stability.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "scoring/counts/sequence_evaluation.h"
#include "scoring/matching/frame_matching.h"
#include "scoring/tracking/track_measures.h"

namespace tracking {

namespace {

// Whether frame `a` ranks before `b` among a track's worst: larger first,
// and of two equal ones the earlier, which came first.
bool worse(const StabilityFrame& a, const StabilityFrame& b) {
  const double left = a.offsets.magnitude();
  const double right = b.offsets.magnitude();
  if (left != right) return left > right;
  return a.frame < b.frame;
}

StabilityBox boxOf(const TrackBox& box) { return {box.left, box.top, box.right, box.bottom}; }

// Tells the accumulator every prepared frame of the ground truth, each box
// with its CLEAR match or none. evaluateTracks() reports only the frames
// with both sides, rising; the prepared frames between are told as
// unmatched.
class ClearFeeder : public ClearObserver {
 public:
  ClearFeeder(const PreparedTracks& prepared, StabilityAccumulator& accumulator)
      : prepared_(prepared), accumulator_(accumulator) {}

  void matched(uint32_t frame, std::span<const ClearMatch> matches) override {
    unmatchedUntil(frame);
    // The frame is prepared, as it has boxes on both sides.
    const std::size_t k = next_++;
    const uint64_t truthBegin = prepared_.groundTruthStart[k];
    const uint64_t truthEnd = prepared_.groundTruthStart[k + 1];
    const uint64_t trackerBegin = prepared_.trackerStart[k];
    partner_.assign(truthEnd - truthBegin, -1);
    for (const ClearMatch& match : matches) {
      partner_[match.truthIndex] = static_cast<int64_t>(match.trackerIndex);
    }
    for (uint64_t b = truthBegin; b < truthEnd; ++b) {
      const TrackBox& truth = prepared_.groundTruth[b];
      const int64_t j = partner_[b - truthBegin];
      if (j < 0) {
        accumulator_.add(truth.id, frame, boxOf(truth), nullptr);
      } else {
        const StabilityBox detection =
            boxOf(prepared_.tracker[trackerBegin + static_cast<uint64_t>(j)]);
        accumulator_.add(truth.id, frame, boxOf(truth), &detection);
      }
    }
  }

  // The prepared frames before frame `before` not yet told, in which
  // nothing was matched.
  void unmatchedUntil(uint32_t before) {
    const std::vector<uint32_t>& numbers = prepared_.frameNumbers;
    for (; next_ < numbers.size() && numbers[next_] < before; ++next_) {
      for (uint64_t b = prepared_.groundTruthStart[next_];
           b < prepared_.groundTruthStart[next_ + 1]; ++b) {
        const TrackBox& truth = prepared_.groundTruth[b];
        accumulator_.add(truth.id, numbers[next_], boxOf(truth), nullptr);
      }
    }
  }

  // Every prepared frame not yet told.
  void finish() { unmatchedUntil(std::numeric_limits<uint32_t>::max()); }

 private:
  const PreparedTracks& prepared_;
  StabilityAccumulator& accumulator_;
  std::vector<int64_t> partner_;  // the frame's truths' tracker positions, -1 for none
  std::size_t next_ = 0;          // the first prepared frame not yet told
};

// The positions in `source.targets` of the boxes `filter` takes, in order:
// the selection's own order, so that position k of the selection is
// positions[k] of the frame.
void takenPositions(const QuorFrame& source, const TargetFilter& filter,
                    std::vector<uint32_t>& positions) {
  positions.clear();
  for (std::size_t k = 0; k < source.targets.size(); ++k) {
    if (filter(*source.targets[k])) positions.push_back(static_cast<uint32_t>(k));
  }
}

// Tells `accumulator` a frame's ground-truth boxes as `events` leaves them.
// truthAt and systemAt map positions in the matched lists to positions in
// the frames as read.
void feedFrame(const FrameEvents& events, std::size_t truthFrame, int32_t systemFrame,
               uint32_t frameNumber, std::span<const uint32_t> truthAt,
               std::span<const uint32_t> systemAt, const DetectionBoxes& boxes,
               StabilityAccumulator& accumulator) {
  for (std::size_t i = 0; i < events.truth.size(); ++i) {
    if (events.truth[i] == TruthOutcome::kExcluded) continue;
    const std::size_t box = truthAt[i];
    const int64_t track = boxes.truthTrack(truthFrame, box);
    if (track < 0) continue;
    const StabilityBox truth = boxes.truthBox(truthFrame, box);
    if (events.truth[i] == TruthOutcome::kMatch) {
      const auto partner = static_cast<std::size_t>(events.truthPartner[i]);
      const StabilityBox detection =
          boxes.systemBox(static_cast<std::size_t>(systemFrame), systemAt[partner]);
      accumulator.add(track, frameNumber, truth, &detection);
    } else {
      accumulator.add(track, frameNumber, truth, nullptr);
    }
  }
}

}  // namespace

double StabilityOffsets::magnitude() const {
  return std::sqrt(x * x + y * y + ratio * ratio + scale * scale);
}

StabilityOffsets stabilityOffsets(const StabilityBox& truth, const StabilityBox& detection) {
  const double truthWidth = truth.right - truth.left;
  const double truthHeight = truth.bottom - truth.top;
  const double width = detection.right - detection.left;
  const double height = detection.bottom - detection.top;
  StabilityOffsets offsets;
  // Centres as (left + right) / 2: the halving is exact, so the centre is as
  // near the true one as the sum allows.
  offsets.x =
      ((detection.left + detection.right) / 2 - (truth.left + truth.right) / 2) / truthWidth;
  offsets.y =
      ((detection.top + detection.bottom) / 2 - (truth.top + truth.bottom) / 2) / truthHeight;
  offsets.ratio = (width / height) / (truthWidth / truthHeight) - 1;
  offsets.scale = std::sqrt(width * height) / std::sqrt(truthWidth * truthHeight) - 1;
  return offsets;
}

StabilitySummary summarizeStability(std::span<const TrackStability> tracks) {
  StabilitySummary summary;
  for (const TrackStability& track : tracks) {
    if (!track.used()) {
      ++summary.leftOut;
      continue;
    }
    ++summary.tracks;
    summary.fragmentError += track.fragmentError;
    summary.centreError += track.centreError;
    summary.scaleRatioError += track.scaleRatioError;
  }
  if (summary.tracks > 0) {
    const auto count = static_cast<double>(summary.tracks);
    summary.fragmentError /= count;
    summary.centreError /= count;
    summary.scaleRatioError /= count;
  }
  return summary;
}

void StabilityAccumulator::Spread::add(double value, int64_t count) {
  // count is the number of values with this one.
  const double delta = value - mean;
  mean += delta / static_cast<double>(count);
  squares += delta * (value - mean);
}

double StabilityAccumulator::Spread::sd(int64_t count) const {
  if (count == 0) return 0.0;
  return std::sqrt(std::max(0.0, squares / static_cast<double>(count)));
}

void StabilityAccumulator::follow(int64_t track) { states_[track].followed = true; }

void StabilityAccumulator::add(int64_t track, uint32_t frame, const StabilityBox& truth,
                               const StabilityBox* detection) {
  State& state = states_[track];
  const bool matched = detection != nullptr;
  if (state.frames > 0 && matched != state.lastMatched) ++state.changes;
  ++state.frames;
  state.lastMatched = matched;
  StabilityFrame seen{frame, matched, {}};
  if (matched) {
    seen.offsets = stabilityOffsets(truth, *detection);
    ++state.matched;
    state.x.add(seen.offsets.x, state.matched);
    state.y.add(seen.offsets.y, state.matched);
    state.ratio.add(seen.offsets.ratio, state.matched);
    state.scale.add(seen.offsets.scale, state.matched);
    // The worst few, kept in rank order by insertion.
    std::vector<StabilityFrame>& worst = state.worst;
    if (worst.size() < kWorstFrames || worse(seen, worst.back())) {
      const auto at = std::upper_bound(
          worst.begin(), worst.end(), seen,
          [](const StabilityFrame& a, const StabilityFrame& b) { return worse(a, b); });
      worst.insert(at, seen);
      if (worst.size() > kWorstFrames) worst.pop_back();
    }
  }
  if (state.followed) state.series.push_back(seen);
}

TrackStability StabilityAccumulator::stabilityOf(int64_t key, const State& state) {
  TrackStability track;
  track.track = key;
  track.frames = state.frames;
  track.matched = state.matched;
  track.changes = state.changes;
  track.fragmentError =
      state.frames > 1 ? static_cast<double>(state.changes) / static_cast<double>(state.frames - 1)
                       : 0.0;
  track.sdX = state.x.sd(state.matched);
  track.sdY = state.y.sd(state.matched);
  track.sdRatio = state.ratio.sd(state.matched);
  track.sdScale = state.scale.sd(state.matched);
  track.centreError = track.sdX + track.sdY;
  track.scaleRatioError = track.sdRatio + track.sdScale;
  return track;
}

namespace {

void sortByKey(std::vector<TrackStability>& tracks) {
  std::sort(tracks.begin(), tracks.end(),
            [](const TrackStability& a, const TrackStability& b) { return a.track < b.track; });
}

}  // namespace

std::vector<TrackStability> StabilityAccumulator::finish() const {
  std::vector<TrackStability> tracks;
  tracks.reserve(states_.size());
  for (const auto& [key, state] : states_) {
    if (state.frames == 0) continue;  // followed, never seen
    TrackStability& track = tracks.emplace_back(stabilityOf(key, state));
    track.worst = state.worst;
    track.series = state.series;
  }
  sortByKey(tracks);
  return tracks;
}

std::vector<TrackStability> StabilityAccumulator::take() {
  std::vector<TrackStability> tracks;
  tracks.reserve(states_.size());
  for (auto at = states_.begin(); at != states_.end(); at = states_.erase(at)) {
    State& state = at->second;
    if (state.frames == 0) continue;  // followed, never seen
    TrackStability& track = tracks.emplace_back(stabilityOf(at->first, state));
    track.worst = std::move(state.worst);
    track.series = std::move(state.series);
  }
  sortByKey(tracks);
  return tracks;
}

std::vector<TrackStability> clearStability(const PreparedTracks& prepared,
                                           std::span<const int32_t> followed) {
  StabilityAccumulator accumulator;
  for (const int32_t track : followed) accumulator.follow(track);
  ClearFeeder feeder(prepared, accumulator);
  evaluateTracks(prepared, &feeder);
  feeder.finish();
  return accumulator.finish();
}

DetectionStabilityFeeder::DetectionStabilityFeeder(const std::vector<TargetFilter>& filters,
                                                   std::span<const std::vector<int64_t>> followed)
    : filters_(filters), accumulators_(filters.size()), inShared_(filters.size(), false) {
  for (std::size_t c = 0; c < followed.size() && c < filters.size(); ++c) {
    for (const int64_t track : followed[c]) accumulators_[c].follow(track);
  }
  // All and its classes matched at once where the filters allow it: All
  // first, then classes of distinct codes, all at All's threshold.
  shared_ = !filters.empty() && filters[0].everyClass();
  for (std::size_t c = 1; shared_ && c < filters.size(); ++c) {
    const TargetFilter& filter = filters[c];
    if (filter.everyClass() || filter.classCode() < 0) continue;  // takes nothing of its own
    if (filter.threshold() != filters[0].threshold() ||
        std::find(codes_.begin(), codes_.end(), filter.classCode()) != codes_.end()) {
      continue;
    }
    codes_.push_back(filter.classCode());
    codeFilter_.push_back(c);
  }
  if (shared_) inShared_[0] = true;
  for (const std::size_t c : codeFilter_) inShared_[c] = true;
  events_.resize(codes_.size() + 1);
}

void DetectionStabilityFeeder::frame(const QuorFrame& truth, std::size_t truthFrame,
                                     const QuorFrame* partnerFrame, int32_t partner,
                                     const DetectionBoxes& boxes) {
  const std::vector<TargetFilter>& filters = filters_;
  bool together = false;
  if (shared_ && partnerFrame != nullptr) {
    takenPositions(truth, filters[0], truthAt_);
    takenPositions(*partnerFrame, filters[0], systemAt_);
    selectFrame(truth, filters[0], truthAll_);
    selectFrame(*partnerFrame, filters[0], systemAll_);
    together = evaluateFrameClassesEvents(truthAll_, systemAll_, codes_, events_);
  }
  if (together) {
    feedFrame(events_[0], truthFrame, partner, truth.frameNumber, truthAt_, systemAt_, boxes,
              accumulators_[0]);
    for (std::size_t k = 0; k < codes_.size(); ++k) {
      // A class's positions are among All's: its boxes in All's order.
      classTruthAt_.clear();
      for (const uint32_t p : truthAt_) {
        if (truth.targets[p]->classCode == codes_[k]) classTruthAt_.push_back(p);
      }
      classSystemAt_.clear();
      for (const uint32_t p : systemAt_) {
        if (partnerFrame->targets[p]->classCode == codes_[k]) classSystemAt_.push_back(p);
      }
      feedFrame(events_[k + 1], truthFrame, partner, truth.frameNumber, classTruthAt_,
                classSystemAt_, boxes, accumulators_[codeFilter_[k]]);
    }
  }
  for (std::size_t c = 0; c < filters.size(); ++c) {
    if (together && inShared_[c]) continue;
    const TargetFilter& filter = filters[c];
    takenPositions(truth, filter, classTruthAt_);
    if (classTruthAt_.empty()) continue;  // no box of a track
    selectFrame(truth, filter, truthScratch_);
    if (partnerFrame != nullptr) {
      takenPositions(*partnerFrame, filter, classSystemAt_);
      selectFrame(*partnerFrame, filter, systemScratch_);
    }
    evaluateFrameEvents(truthScratch_, partnerFrame != nullptr ? &systemScratch_ : nullptr, false,
                        false, single_);
    feedFrame(single_, truthFrame, partner, truth.frameNumber, classTruthAt_, classSystemAt_, boxes,
              accumulators_[c]);
  }
}

std::vector<std::vector<TrackStability>> DetectionStabilityFeeder::finish() {
  std::vector<std::vector<TrackStability>> tracks;
  tracks.reserve(accumulators_.size());
  for (StabilityAccumulator& accumulator : accumulators_) tracks.push_back(accumulator.take());
  return tracks;
}

std::vector<std::vector<TrackStability>> detectionStability(
    const QuorSequence& groundTruth, const QuorSequence& system,
    const std::vector<TargetFilter>& filters, const DetectionBoxes& boxes,
    std::span<const std::vector<int64_t>> followed) {
  DetectionStabilityFeeder feeder(filters, followed);
  const std::vector<int32_t> partners = pairFrames(groundTruth, system);
  for (std::size_t at = 0; at < groundTruth.frames.size(); ++at) {
    const int32_t partner = partners[at];
    feeder.frame(groundTruth.frames[at], at,
                 partner >= 0 ? &system.frames[static_cast<std::size_t>(partner)] : nullptr,
                 partner, boxes);
  }
  return feeder.finish();
}

}  // namespace tracking
