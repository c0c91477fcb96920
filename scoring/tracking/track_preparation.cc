#include "scoring/tracking/track_preparation.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>
#include <string>
#include <unordered_map>
#include <utility>

#include "annotation/sequence_reader.h"
#include "scoring/tracking/linear_sum_assignment.h"

namespace tracking {

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;

PreparedBox preparedOf(const TrackBox& box) {
  return {box.left, box.top, box.right, box.bottom, -1};
}

bool isDistractor(int32_t label, TrackBenchmark benchmark) {
  // Person on vehicle, static person, distractor, reflection; MOT20 adds
  // the non-motorised vehicle.
  return label == 2 || label == 7 || label == 8 || label == 12 ||
         (benchmark == TrackBenchmark::kMot20 && label == 6);
}

// Whether a box's area is beyond the doubles' range (a corner or a side
// overflowed): only such a box can have an IoU that is not a number.
bool beyondRange(const TrackBox& box) {
  return !std::isfinite((box.right - box.left) * (box.bottom - box.top));
}

// The evaluator's assignments stop on an IoU that is not a number (SciPy's
// refuses the matrix), so a frame where two of the boxes it assigns give one
// is refused, naming both; the frames where no box is beyond the doubles'
// range are passed at the cost of a test a box.
void refuseUnassignable(std::span<const TrackBox* const> truth,
                        std::span<const TrackBox* const> tracker, const TrackSequence& groundTruth,
                        const TrackSequence& trackerSequence) {
  if (truth.empty() || tracker.empty()) return;
  const auto beyond = [](const TrackBox* box) { return beyondRange(*box); };
  if (std::none_of(truth.begin(), truth.end(), beyond) &&
      std::none_of(tracker.begin(), tracker.end(), beyond)) {
    return;
  }
  for (const TrackBox* g : truth) {
    for (const TrackBox* t : tracker) {
      if (!std::isnan(trackIou(preparedOf(*g), preparedOf(*t)))) continue;
      throw TrackInputError(
          groundTruth.source, g->line,
          "this box's IoU with the box on line " + std::to_string(t->line) + " of " +
              trackerSequence.source +
              " is not a number (a corner or the area of a box is beyond the range of "
              "doubles), which the benchmark's assignment cannot take");
    }
  }
}

bool isMotChallenge(TrackBenchmark benchmark) {
  return benchmark == TrackBenchmark::kMot16 || benchmark == TrackBenchmark::kMot20;
}

// The identities of the kept boxes, numbered as they first come while the
// boxes are kept, then renumbered 0..N-1 in the order of their values: a
// table of the distinct identities rather than a list of the identity of
// every box.
class IdentityNumbers {
 public:
  int32_t numberOf(int64_t value) {
    const auto [found, added] = numbers_.try_emplace(value, static_cast<int32_t>(values_.size()));
    if (added) values_.push_back(value);
    return found->second;
  }

  /// The boxes' numbers replaced by their values' ranks; `sorted` gets the
  /// values in order.
  void renumber(std::vector<PreparedBox>& boxes, std::vector<int64_t>& sorted) const {
    std::vector<int32_t> order(values_.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
      return values_[static_cast<std::size_t>(a)] < values_[static_cast<std::size_t>(b)];
    });
    std::vector<int32_t> rank(values_.size());
    sorted.resize(values_.size());
    for (std::size_t k = 0; k < order.size(); ++k) {
      rank[static_cast<std::size_t>(order[k])] = static_cast<int32_t>(k);
      sorted[k] = values_[static_cast<std::size_t>(order[k])];
    }
    for (PreparedBox& box : boxes) box.id = rank[static_cast<std::size_t>(box.id)];
  }

 private:
  std::unordered_map<int64_t, int32_t> numbers_;
  std::vector<int64_t> values_;
};

}  // namespace

std::string_view benchmarkName(TrackBenchmark benchmark) {
  switch (benchmark) {
    case TrackBenchmark::kPlain:
      return "plain";
    case TrackBenchmark::kMot15:
      return "mot15";
    case TrackBenchmark::kMot16:
      return "mot";
    case TrackBenchmark::kMot20:
      return "mot20";
  }
  return "plain";
}

std::optional<TrackBenchmark> benchmarkNamed(std::string_view name) {
  if (name == "plain") return TrackBenchmark::kPlain;
  if (name == "mot15") return TrackBenchmark::kMot15;
  if (name == "mot" || name == "mot16" || name == "mot17") return TrackBenchmark::kMot16;
  if (name == "mot20") return TrackBenchmark::kMot20;
  return std::nullopt;
}

double trackIou(const PreparedBox& g, const PreparedBox& t) {
  const double width = std::max(std::min(g.right, t.right) - std::max(g.left, t.left), 0.0);
  const double height = std::max(std::min(g.bottom, t.bottom) - std::max(g.top, t.top), 0.0);
  double intersection = width * height;
  const double groundTruthArea = (g.right - g.left) * (g.bottom - g.top);
  const double trackerArea = (t.right - t.left) * (t.bottom - t.top);
  double unionArea = groundTruthArea + trackerArea - intersection;
  if (groundTruthArea <= kEpsilon || trackerArea <= kEpsilon || unionArea <= kEpsilon) {
    intersection = 0.0;
  }
  if (unionArea <= kEpsilon) unionArea = 1.0;
  return intersection / unionArea;
}

TrackInputError::TrackInputError(std::string file, uint64_t line, std::string_view problem)
    : std::runtime_error(locatedMessage(file, line, problem)),
      file_(std::move(file)),
      line_(line) {}

void checkTrackInput(const TrackSequence& groundTruth, const TrackSequence& tracker,
                     const TrackRules& rules) {
  if (!isMotChallenge(rules.benchmark)) return;
  for (const TrackBox& box : groundTruth.boxes) {
    if (box.label < 1 || box.label > kLastMotClass) {
      throw TrackInputError(
          groundTruth.source, box.line,
          "class " + std::to_string(box.label) + " is not a MOTChallenge class (1 to 13)");
    }
  }
  for (const TrackBox& box : tracker.boxes) {
    if (box.label != -1 && box.label != kPedestrianClass) {
      throw TrackInputError(
          tracker.source, box.line,
          "class " + std::to_string(box.label) +
              ": the benchmark evaluates pedestrians only (class 1, or -1 for none)");
    }
  }
}

PreparedTracks prepareTracks(const TrackSequence& groundTruth, const TrackSequence& tracker,
                             const TrackRules& rules, int32_t label) {
  PreparedTracks prepared;
  prepared.frames = groundTruth.length;
  prepared.groundTruthStart.assign(1, 0);
  prepared.trackerStart.assign(1, 0);
  const bool mot = isMotChallenge(rules.benchmark);
  IdentityNumbers truthIds;
  IdentityNumbers trackerIds;
  // Room for every box: what is never written takes no memory, and the
  // lists are not copied as they grow.
  prepared.groundTruth.reserve(groundTruth.boxes.size());
  prepared.groundTruthLines.reserve(groundTruth.boxes.size());
  prepared.tracker.reserve(tracker.boxes.size());
  prepared.trackerLines.reserve(tracker.boxes.size());
  prepared.groundTruthStart.reserve(std::size_t{prepared.frames} + 1);
  prepared.trackerStart.reserve(std::size_t{prepared.frames} + 1);

  std::vector<const TrackBox*> frameTruth;
  std::vector<const TrackBox*> keptTruth;
  std::vector<const TrackBox*> frameTracker;
  std::vector<const TrackBox*> removed;  // the distractor a tracker box is paired with
  std::vector<double> costs;
  LinearSumAssignment assignment;

  for (uint32_t frame = 1; frame <= prepared.frames; ++frame) {
    frameTruth.clear();
    frameTracker.clear();
    for (uint64_t k = groundTruth.frameBegin(frame); k < groundTruth.frameEnd(frame); ++k) {
      frameTruth.push_back(&groundTruth.boxes[k]);
    }
    for (uint64_t k = tracker.frameBegin(frame); k < tracker.frameEnd(frame); ++k) {
      const TrackBox& box = tracker.boxes[k];
      if (rules.minConfidence && box.confidence != -1.0f && box.confidence < *rules.minConfidence) {
        continue;
      }
      if (rules.benchmark == TrackBenchmark::kPlain && label != -1 && box.label != label) continue;
      frameTracker.push_back(&box);
    }

    keptTruth.clear();
    for (const TrackBox* box : frameTruth) {
      if (!box->considered) continue;
      if (mot && box->label != kPedestrianClass) continue;
      if (rules.benchmark == TrackBenchmark::kPlain && label != -1 && box->label != label) continue;
      keptTruth.push_back(box);
    }
    // MOT16/17/20 assign every ground-truth box of the frame first; the
    // kept boxes are a part of those.
    refuseUnassignable(mot ? frameTruth : keptTruth, frameTracker, groundTruth, tracker);

    // Tracker boxes that the benchmark's own assignment pairs with a
    // distractor are left out: the assignment is over every ground-truth
    // box of the frame, and only pairs at IoU 0.5 or more count.
    removed.assign(frameTracker.size(), nullptr);
    if (mot && !frameTruth.empty() && !frameTracker.empty()) {
      const auto rows = static_cast<int32_t>(frameTruth.size());
      const auto columns = static_cast<int32_t>(frameTracker.size());
      costs.resize(frameTruth.size() * frameTracker.size());
      for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < columns; ++j) {
          double iou = trackIou(preparedOf(*frameTruth[static_cast<std::size_t>(i)]),
                                preparedOf(*frameTracker[static_cast<std::size_t>(j)]));
          if (iou < 0.5 - kEpsilon) iou = 0.0;
          costs[static_cast<std::size_t>(i) * columns + j] = -iou;
        }
      }
      const std::span<const int32_t> pairs = assignment.solve(costs, rows, columns);
      for (int32_t i = 0; i < rows; ++i) {
        const int32_t j = pairs[static_cast<std::size_t>(i)];
        if (j < 0 || -costs[static_cast<std::size_t>(i) * columns + j] <= kEpsilon) continue;
        if (isDistractor(frameTruth[static_cast<std::size_t>(i)]->label, rules.benchmark)) {
          removed[static_cast<std::size_t>(j)] = frameTruth[static_cast<std::size_t>(i)];
        }
      }
    }

    for (const TrackBox* box : keptTruth) {
      PreparedBox kept = preparedOf(*box);
      kept.id = truthIds.numberOf(box->id);
      prepared.groundTruth.push_back(kept);
      prepared.groundTruthLines.push_back(box->line);
    }
    for (std::size_t j = 0; j < frameTracker.size(); ++j) {
      if (removed[j] != nullptr) {
        prepared.setAsideLines.emplace_back(frameTracker[j]->line, removed[j]->line);
        continue;
      }
      PreparedBox kept = preparedOf(*frameTracker[j]);
      kept.id = trackerIds.numberOf(frameTracker[j]->id);
      prepared.tracker.push_back(kept);
      prepared.trackerLines.push_back(frameTracker[j]->line);
    }
    prepared.groundTruthStart.push_back(prepared.groundTruth.size());
    prepared.trackerStart.push_back(prepared.tracker.size());
  }
  truthIds.renumber(prepared.groundTruth, prepared.groundTruthIdValues);
  trackerIds.renumber(prepared.tracker, prepared.trackerIdValues);
  prepared.groundTruthIds = static_cast<int32_t>(prepared.groundTruthIdValues.size());
  prepared.trackerIds = static_cast<int32_t>(prepared.trackerIdValues.size());
  return prepared;
}

}  // namespace tracking
