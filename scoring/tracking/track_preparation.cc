#include "scoring/tracking/track_preparation.h"

#include <algorithm>
#include <cctype>
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
      if (!std::isnan(trackIou(*g, *t))) continue;
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

constexpr int32_t kKittiDontCare = 9;
constexpr int kKittiMaxOcclusion = 2;
constexpr int kKittiMaxTruncation = 0;
constexpr double kKittiMinHeight = 25.0;

// Each label's KITTI class number (0: none), by the sequence's labelNames.
std::vector<int32_t> kittiClasses(const TrackSequence& sequence) {
  std::vector<int32_t> classes;
  classes.reserve(sequence.labelNames.size());
  for (const std::string& name : sequence.labelNames) classes.push_back(kittiClassNamed(name));
  return classes;
}

int32_t kittiClassOf(const std::vector<int32_t>& classes, const TrackBox& box) {
  return box.label >= 0 && static_cast<std::size_t>(box.label) < classes.size()
             ? classes[static_cast<std::size_t>(box.label)]
             : 0;
}

// The part of a tracker box inside an area, over the box's own area, as the
// evaluator computes it: 0 for a box of no area.
double overlapOverOwnArea(const TrackBox& box, const TrackBox& area) {
  const double width =
      std::max(std::min(box.right, area.right) - std::max(box.left, area.left), 0.0);
  const double height =
      std::max(std::min(box.bottom, area.bottom) - std::max(box.top, area.top), 0.0);
  const double own = (box.right - box.left) * (box.bottom - box.top);
  if (!(own > kEpsilon)) return 0.0;
  return width * height / own;
}

// KITTI's evaluator refuses an identity that two kept boxes of a frame
// share: the later of the first such pair in the frame's order.
void refuseRepeatedIds(std::span<const TrackBox> boxes, std::span<const uint64_t> positions,
                       const TrackSequence& sequence, uint32_t frame, int32_t label) {
  for (std::size_t b = 1; b < positions.size(); ++b) {
    const TrackBox& later = boxes[positions[b]];
    for (std::size_t a = 0; a < b; ++a) {
      const TrackBox& earlier = boxes[positions[a]];
      if (earlier.id != later.id) continue;
      throw TrackInputError(sequence.source, later.line,
                            "identity " + std::to_string(later.id) + " is given twice in frame " +
                                std::to_string(frame - 1) + " among the " +
                                (label == kKittiCar ? "cars" : "pedestrians") +
                                " the benchmark keeps (also on line " +
                                std::to_string(earlier.line) + ")");
    }
  }
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
  void renumber(std::vector<TrackBox>& boxes, std::vector<int64_t>& sorted) const {
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
    for (TrackBox& box : boxes) box.id = rank[static_cast<std::size_t>(box.id)];
  }

 private:
  std::unordered_map<int64_t, int32_t> numbers_;
  std::vector<int64_t> values_;
};

// Where the kept boxes go: copied, or moved down in the storage they are
// read from. `keep` is told the positions of a frame's kept boxes, in
// order, once every box of the frame has been looked at.
struct KeptFrame {
  std::span<const uint64_t> truth;
  std::span<const uint64_t> tracker;
};

// The benchmark's preprocessing, frame by frame: which boxes of
// `truthBoxes` and `trackerBoxes` (framed as the sequences are) are kept,
// and which tracker boxes are set aside for a distractor.
template <class Keep>
void chooseBoxes(const TrackSequence& groundTruth, std::span<const TrackBox> truthBoxes,
                 const TrackSequence& tracker, std::span<const TrackBox> trackerBoxes,
                 const TrackRules& rules, int32_t label, PreparedTracks& prepared, Keep&& keep) {
  const bool mot = isMotChallenge(rules.benchmark);
  const bool kitti = rules.benchmark == TrackBenchmark::kKitti;
  const std::vector<int32_t> truthClasses =
      kitti ? kittiClasses(groundTruth) : std::vector<int32_t>{};
  const std::vector<int32_t> trackerClasses =
      kitti ? kittiClasses(tracker) : std::vector<int32_t>{};
  const int32_t distractor = label == kKittiCar ? 2 : 5;  // van; person (sitting)
  std::vector<const TrackBox*> regions;                   // the frame's DontCare areas
  std::vector<char> matched;
  std::vector<const TrackBox*> frameTruth;
  std::vector<const TrackBox*> keptTruth;
  std::vector<const TrackBox*> frameTracker;
  std::vector<uint64_t> truthPositions;
  std::vector<uint64_t> trackerPositions;  // of the frame's tracker boxes at the confidence
  std::vector<uint64_t> keptTruthPositions;
  std::vector<uint64_t> keptTrackerPositions;
  std::vector<const TrackBox*> removed;  // the distractor a tracker box is paired with
  std::vector<double> costs;
  LinearSumAssignment assignment;
  uint64_t truthKept = 0;
  uint64_t trackerKept = 0;

  // The frames with a box on either side, each sequence's followed by a
  // cursor.
  std::size_t truthAt = 0;
  std::size_t trackerAt = 0;
  for (const uint32_t frame : framesOfEither(groundTruth.frames, tracker.frames)) {
    uint64_t truthBegin = 0, truthEnd = 0, trackerBegin = 0, trackerEnd = 0;
    if (truthAt < groundTruth.frames.size() && groundTruth.frames[truthAt] == frame) {
      truthBegin = groundTruth.frameStart[truthAt];
      truthEnd = groundTruth.frameStart[++truthAt];
    }
    if (trackerAt < tracker.frames.size() && tracker.frames[trackerAt] == frame) {
      trackerBegin = tracker.frameStart[trackerAt];
      trackerEnd = tracker.frameStart[++trackerAt];
    }
    frameTruth.clear();
    frameTracker.clear();
    trackerPositions.clear();
    for (uint64_t k = truthBegin; k < truthEnd; ++k) frameTruth.push_back(&truthBoxes[k]);
    for (uint64_t k = trackerBegin; k < trackerEnd; ++k) {
      const TrackBox& box = trackerBoxes[k];
      if (rules.minConfidence && box.confidence != -1.0f && box.confidence < *rules.minConfidence) {
        continue;
      }
      if (rules.benchmark == TrackBenchmark::kPlain && label != -1 && box.label != label) continue;
      if (kitti && (box.id < 0 || kittiClassOf(trackerClasses, box) != label)) continue;
      frameTracker.push_back(&box);
      trackerPositions.push_back(k);
    }

    keptTruth.clear();
    keptTruthPositions.clear();
    if (kitti) {
      // The class's boxes and its distractors' (with every occluded or
      // truncated one among them) take part in the assignment; DontCare
      // areas, whatever their track id, are areas to ignore.
      frameTruth.clear();
      regions.clear();
      for (uint64_t k = truthBegin; k < truthEnd; ++k) {
        const TrackBox& box = truthBoxes[k];
        const int32_t type = kittiClassOf(truthClasses, box);
        if (type == kKittiDontCare) {
          regions.push_back(&box);
        } else if (box.id >= 0 && (type == label || type == distractor)) {
          frameTruth.push_back(&box);
          if (type == label && box.occlusion <= kKittiMaxOcclusion &&
              box.truncation <= kKittiMaxTruncation) {
            keptTruth.push_back(&box);
            keptTruthPositions.push_back(k);
          }
        }
      }
    }
    for (uint64_t k = truthBegin; !kitti && k < truthEnd; ++k) {
      const TrackBox& box = truthBoxes[k];
      if (!box.considered) continue;
      if (mot && box.label != kPedestrianClass) continue;
      if (rules.benchmark == TrackBenchmark::kPlain && label != -1 && box.label != label) continue;
      keptTruth.push_back(&box);
      keptTruthPositions.push_back(k);
    }
    // MOT16/17/20 assign every ground-truth box of the frame first; the
    // kept boxes are a part of those.
    refuseUnassignable(mot || kitti ? frameTruth : keptTruth, frameTracker, groundTruth, tracker);

    // Tracker boxes that the benchmark's own assignment pairs with a
    // distractor are left out: the assignment is over every ground-truth
    // box of the frame, and only pairs at IoU 0.5 or more count.
    removed.assign(frameTracker.size(), nullptr);
    matched.assign(frameTracker.size(), 0);
    if ((mot || kitti) && !frameTruth.empty() && !frameTracker.empty()) {
      const auto rows = static_cast<int32_t>(frameTruth.size());
      const auto columns = static_cast<int32_t>(frameTracker.size());
      costs.resize(frameTruth.size() * frameTracker.size());
      for (int32_t i = 0; i < rows; ++i) {
        for (int32_t j = 0; j < columns; ++j) {
          double iou = trackIou(*frameTruth[static_cast<std::size_t>(i)],
                                *frameTracker[static_cast<std::size_t>(j)]);
          if (iou < 0.5 - kEpsilon) iou = 0.0;
          costs[static_cast<std::size_t>(i) * columns + j] = -iou;
        }
      }
      const std::span<const int32_t> pairs = assignment.solve(costs, rows, columns);
      for (int32_t i = 0; i < rows; ++i) {
        const int32_t j = pairs[static_cast<std::size_t>(i)];
        if (j < 0 || -costs[static_cast<std::size_t>(i) * columns + j] <= kEpsilon) continue;
        const TrackBox* partner = frameTruth[static_cast<std::size_t>(i)];
        matched[static_cast<std::size_t>(j)] = 1;
        const bool setAside = kitti ? kittiClassOf(truthClasses, *partner) == distractor ||
                                          partner->occlusion > kKittiMaxOcclusion ||
                                          partner->truncation > kKittiMaxTruncation
                                    : isDistractor(partner->label, rules.benchmark);
        if (setAside) removed[static_cast<std::size_t>(j)] = partner;
      }
    }
    // KITTI leaves out the tracker boxes paired with nothing that are too
    // short, or more than half inside one DontCare area.
    if (kitti) {
      for (std::size_t j = 0; j < frameTracker.size(); ++j) {
        if (matched[j]) continue;
        const TrackBox& box = *frameTracker[j];
        const TrackBox* area = nullptr;
        if (box.bottom - box.top <= kKittiMinHeight + kEpsilon) area = &box;
        for (std::size_t r = 0; area == nullptr && r < regions.size(); ++r) {
          if (overlapOverOwnArea(box, *regions[r]) > 0.5 + kEpsilon) area = regions[r];
        }
        // A box too short is its own reason: its partner is itself.
        if (area != nullptr) removed[j] = area;
      }
    }

    keptTrackerPositions.clear();
    for (std::size_t j = 0; j < frameTracker.size(); ++j) {
      if (removed[j] != nullptr) {
        prepared.setAsideLines.emplace_back(frameTracker[j]->line, removed[j]->line);
      } else {
        keptTrackerPositions.push_back(trackerPositions[j]);
      }
    }
    if (kitti) {
      refuseRepeatedIds(trackerBoxes, keptTrackerPositions, tracker, frame, label);
      refuseRepeatedIds(truthBoxes, keptTruthPositions, groundTruth, frame, label);
    }
    if (keptTruthPositions.empty() && keptTrackerPositions.empty()) continue;
    keep(KeptFrame{keptTruthPositions, keptTrackerPositions});
    prepared.frameNumbers.push_back(frame);
    truthKept += keptTruthPositions.size();
    trackerKept += keptTrackerPositions.size();
    prepared.groundTruthStart.push_back(truthKept);
    prepared.trackerStart.push_back(trackerKept);
  }
}

void startPrepared(PreparedTracks& prepared, const TrackSequence& groundTruth,
                   const TrackSequence& tracker) {
  prepared.frames = groundTruth.length;
  const std::size_t most = groundTruth.frames.size() + tracker.frames.size();
  prepared.frameNumbers.reserve(most);
  prepared.groundTruthStart.reserve(most + 1);
  prepared.trackerStart.reserve(most + 1);
  prepared.groundTruthStart.assign(1, 0);
  prepared.trackerStart.assign(1, 0);
}

void finishPrepared(PreparedTracks& prepared, const IdentityNumbers& truthIds,
                    const IdentityNumbers& trackerIds) {
  truthIds.renumber(prepared.groundTruth, prepared.groundTruthIdValues);
  trackerIds.renumber(prepared.tracker, prepared.trackerIdValues);
  prepared.groundTruthIds = static_cast<int32_t>(prepared.groundTruthIdValues.size());
  prepared.trackerIds = static_cast<int32_t>(prepared.trackerIdValues.size());
}

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
    case TrackBenchmark::kKitti:
      return "kitti";
  }
  return "plain";
}

int32_t kittiClassNamed(std::string_view type) {
  std::string lower(type);
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  static constexpr std::pair<std::string_view, int32_t> kTypes[] = {
      {"car", 1},     {"van", 2},  {"truck", 3}, {"pedestrian", 4}, {"person", 5},
      {"cyclist", 6}, {"tram", 7}, {"misc", 8},  {"dontcare", 9},   {"car_2", 1}};
  for (const auto& [name, number] : kTypes) {
    if (lower == name) return number;
  }
  return 0;
}

std::optional<TrackBenchmark> benchmarkNamed(std::string_view name) {
  if (name == "plain") return TrackBenchmark::kPlain;
  if (name == "mot15") return TrackBenchmark::kMot15;
  if (name == "mot" || name == "mot16" || name == "mot17") return TrackBenchmark::kMot16;
  if (name == "mot20") return TrackBenchmark::kMot20;
  if (name == "kitti") return TrackBenchmark::kKitti;
  return std::nullopt;
}

double trackIou(const TrackBox& g, const TrackBox& t) {
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
  if (rules.benchmark == TrackBenchmark::kKitti) {
    // Its evaluator turns each type into its number before it looks at
    // anything else, and stops on one it does not know: the first in the
    // file (but for a box of negative track id, dropped before; and the
    // ground truth's DontCare areas are known).
    for (const TrackSequence* sequence : {&groundTruth, &tracker}) {
      const std::vector<int32_t> classes = kittiClasses(*sequence);
      const TrackBox* first = nullptr;
      for (const TrackBox& box : sequence->boxes) {
        if (box.id < 0 || kittiClassOf(classes, box) != 0) continue;
        if (first == nullptr || box.line < first->line) first = &box;
      }
      if (first != nullptr) {
        const auto label = static_cast<std::size_t>(first->label);
        const std::string type =
            label < sequence->labelNames.size() ? sequence->labelNames[label] : "?";
        throw TrackInputError(
            sequence->source, first->line,
            "type " + type +
                " is not one the KITTI benchmark knows (Car, Van, Truck, Pedestrian, Person, "
                "Cyclist, Tram, Misc, DontCare, in any case; a person sitting is Person)");
      }
    }
    return;
  }
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
  startPrepared(prepared, groundTruth, tracker);
  IdentityNumbers truthIds;
  IdentityNumbers trackerIds;
  // Room for every box: what is never written takes no memory, and the
  // lists are not copied as they grow.
  prepared.groundTruth.reserve(groundTruth.boxes.size());
  prepared.tracker.reserve(tracker.boxes.size());
  const auto copy = [&](const KeptFrame& kept) {
    for (const uint64_t k : kept.truth) {
      TrackBox& box = prepared.groundTruth.emplace_back(groundTruth.boxes[k]);
      box.id = truthIds.numberOf(box.id);
    }
    for (const uint64_t k : kept.tracker) {
      TrackBox& box = prepared.tracker.emplace_back(tracker.boxes[k]);
      box.id = trackerIds.numberOf(box.id);
    }
  };
  chooseBoxes(groundTruth, groundTruth.boxes, tracker, tracker.boxes, rules, label, prepared, copy);
  finishPrepared(prepared, truthIds, trackerIds);
  return prepared;
}

PreparedTracks prepareTracks(TrackSequence&& groundTruth, TrackSequence&& tracker,
                             const TrackRules& rules, int32_t label) {
  PreparedTracks prepared;
  startPrepared(prepared, groundTruth, tracker);
  IdentityNumbers truthIds;
  IdentityNumbers trackerIds;
  // The boxes are read where they lie and the kept ones moved down: a kept
  // box never goes beyond its own place, and a frame's boxes are moved only
  // once all of them have been looked at, so nothing is overwritten before
  // it is read.
  prepared.groundTruth = std::move(groundTruth.boxes);
  prepared.tracker = std::move(tracker.boxes);
  const std::span<const TrackBox> truthBoxes = prepared.groundTruth;
  const std::span<const TrackBox> trackerBoxes = prepared.tracker;
  std::size_t truthKept = 0;
  std::size_t trackerKept = 0;
  const auto moveDown = [](std::vector<TrackBox>& boxes, std::span<const uint64_t> positions,
                           std::size_t& count, IdentityNumbers& ids) {
    for (const uint64_t k : positions) {
      TrackBox& box = boxes[count];
      if (count != k) box = boxes[k];
      box.id = ids.numberOf(box.id);
      ++count;
    }
  };
  const auto keep = [&](const KeptFrame& kept) {
    moveDown(prepared.groundTruth, kept.truth, truthKept, truthIds);
    moveDown(prepared.tracker, kept.tracker, trackerKept, trackerIds);
  };
  chooseBoxes(groundTruth, truthBoxes, tracker, trackerBoxes, rules, label, prepared, keep);
  // Shrinking keeps the storage (no second copy is made to fit it).
  prepared.groundTruth.resize(truthKept);
  prepared.tracker.resize(trackerKept);
  finishPrepared(prepared, truthIds, trackerIds);
  for (TrackSequence* sequence : {&groundTruth, &tracker}) {
    sequence->boxes.clear();
    std::vector<uint64_t>().swap(sequence->frameStart);
    std::vector<uint32_t>().swap(sequence->frames);
  }
  return prepared;
}

}  // namespace tracking
