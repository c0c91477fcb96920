#include "scoring/tracking/track_measures.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <unordered_map>

#include "scoring/numeric/numpy_sums.h"
#include "scoring/tracking/identity_matching.h"
#include "scoring/tracking/linear_sum_assignment.h"

namespace tracking {

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kThreshold = 0.5;  // CLEAR's and Identity's IoU
constexpr double kContinuationBonus = 1000.0;

uint64_t pairKey(int32_t groundTruth, int32_t tracker) {
  return (static_cast<uint64_t>(static_cast<uint32_t>(groundTruth)) << 32) |
         static_cast<uint32_t>(tracker);
}

// A prepared box's renumbered identity (below PreparedTracks' counts).
int32_t idOf(const TrackBox& box) { return static_cast<int32_t>(box.id); }

// One frame's boxes and their IoU matrix (ground truth in rows, tracker
// boxes in columns, both in the order the files give them).
struct FrameView {
  std::span<const TrackBox> truth;
  std::span<const TrackBox> tracker;
  std::vector<double> iou;

  // The at-th of the frames with a box.
  void load(const PreparedTracks& tracks, std::size_t at) {
    truth = std::span(tracks.groundTruth)
                .subspan(tracks.groundTruthStart[at],
                         tracks.groundTruthStart[at + 1] - tracks.groundTruthStart[at]);
    tracker = std::span(tracks.tracker)
                  .subspan(tracks.trackerStart[at],
                           tracks.trackerStart[at + 1] - tracks.trackerStart[at]);
    iou.resize(truth.size() * tracker.size());
    for (std::size_t i = 0; i < truth.size(); ++i) {
      for (std::size_t j = 0; j < tracker.size(); ++j) {
        iou[i * tracker.size() + j] = trackIou(truth[i], tracker[j]);
      }
    }
  }
  int32_t rows() const { return static_cast<int32_t>(truth.size()); }
  int32_t columns() const { return static_cast<int32_t>(tracker.size()); }
  double at(std::size_t i, std::size_t j) const { return iou[i * tracker.size() + j]; }
};

// CLEAR's running state: per ground-truth identity, the tracker identity it
// was last matched to ever (switches) and in the last frame with both sides
// (continuations), and its frames present, matched and started.
class ClearCounter {
 public:
  ClearCounter(const PreparedTracks& tracks, ClearObserver* observer)
      : observer_(observer),
        previous_(static_cast<std::size_t>(tracks.groundTruthIds), -1),
        previousFrame_(static_cast<std::size_t>(tracks.groundTruthIds), -1),
        present_(static_cast<std::size_t>(tracks.groundTruthIds), 0),
        matched_(static_cast<std::size_t>(tracks.groundTruthIds), 0),
        unmatchedAtMatch_(observer ? static_cast<std::size_t>(tracks.groundTruthIds) : 0, 0),
        starts_(static_cast<std::size_t>(tracks.groundTruthIds), 0) {}

  void frame(uint32_t frameNumber, const FrameView& view, TrackSums& sums) {
    if (view.truth.empty()) {
      sums.clearFp += view.columns();
      return;
    }
    if (view.tracker.empty()) {
      sums.clearFn += view.rows();
      for (const TrackBox& g : view.truth) ++present_[static_cast<std::size_t>(g.id)];
      return;
    }
    const auto rows = static_cast<std::size_t>(view.rows());
    const auto columns = static_cast<std::size_t>(view.columns());
    score_.resize(rows * columns);
    cost_.resize(rows * columns);
    for (std::size_t i = 0; i < rows; ++i) {
      const int32_t continued = previousFrame_[static_cast<std::size_t>(view.truth[i].id)];
      for (std::size_t j = 0; j < columns; ++j) {
        const double iou = view.at(i, j);
        double score = (view.tracker[j].id == continued ? kContinuationBonus : 0.0) + iou;
        if (iou < kThreshold - kEpsilon) score = 0.0;
        score_[i * columns + j] = score;
        cost_[i * columns + j] = -score;
      }
    }
    const std::span<const int32_t> assigned = assignment_.solve(cost_, view.rows(), view.columns());
    for (const TrackBox& g : view.truth) ++present_[static_cast<std::size_t>(g.id)];
    matches_.clear();
    for (std::size_t i = 0; i < rows; ++i) {
      const int32_t j = assigned[i];
      if (j < 0 || !(score_[i * columns + static_cast<std::size_t>(j)] > kEpsilon)) continue;
      const auto g = static_cast<std::size_t>(view.truth[i].id);
      // Matched now: was it matched in the last frame that had both sides?
      matches_.push_back({i, static_cast<std::size_t>(j), previousFrame_[g] != -1});
    }
    // Continuations restart from this frame's matches alone.
    for (const int32_t g : continuing_) previousFrame_[static_cast<std::size_t>(g)] = -1;
    continuing_.clear();
    double iouSum = 0.0;
    told_.clear();
    for (const Match& match : matches_) {
      const auto g = static_cast<std::size_t>(view.truth[match.row].id);
      const int32_t h = idOf(view.tracker[match.column]);
      const bool switched = previous_[g] != -1 && previous_[g] != h;
      if (switched) ++sums.idSwitches;
      ++matched_[g];
      if (observer_) {
        // This frame counts among those present and those matched alike.
        const int64_t unmatched = present_[g] - matched_[g];
        told_.push_back({static_cast<uint32_t>(match.row), static_cast<uint32_t>(match.column),
                         static_cast<int32_t>(g), h, view.at(match.row, match.column), previous_[g],
                         switched, !match.continued && starts_[g] > 0,
                         unmatched - unmatchedAtMatch_[g]});
        unmatchedAtMatch_[g] = unmatched;
      }
      previous_[g] = h;
      previousFrame_[g] = h;
      continuing_.push_back(static_cast<int32_t>(g));
      if (!match.continued) ++starts_[g];
      iouSum += view.at(match.row, match.column);
    }
    if (observer_) observer_->matched(frameNumber, told_);
    const auto matches = static_cast<int64_t>(matches_.size());
    sums.clearTp += matches;
    sums.clearFn += view.rows() - matches;
    sums.clearFp += view.columns() - matches;
    if (matches > 0) sums.motpSum += iouSum;
  }

  void finish(TrackSums& sums) const {
    for (std::size_t g = 0; g < present_.size(); ++g) {
      if (present_[g] == 0) continue;
      const double ratio = static_cast<double>(matched_[g]) / static_cast<double>(present_[g]);
      if (ratio > 0.8) {
        ++sums.mostlyTracked;
      } else if (ratio >= 0.2) {
        ++sums.partlyTracked;
      }
      if (starts_[g] > 0) sums.fragmentations += starts_[g] - 1;
    }
    sums.mostlyLost =
        static_cast<int64_t>(present_.size()) - sums.mostlyTracked - sums.partlyTracked;
  }

 private:
  ClearObserver* observer_;
  std::vector<int32_t> previous_;
  std::vector<int32_t> previousFrame_;
  std::vector<int64_t> present_;
  std::vector<int64_t> matched_;
  std::vector<int64_t> unmatchedAtMatch_;  // for the observer: unmatched frames at the last match
  std::vector<int64_t> starts_;
  struct Match {
    std::size_t row;
    std::size_t column;
    bool continued;
  };
  std::vector<Match> matches_;
  std::vector<ClearMatch> told_;
  std::vector<int32_t> continuing_;  // the identities previousFrame_ holds
  std::vector<double> score_;
  std::vector<double> cost_;
  LinearSumAssignment assignment_;
};

// numpy's row sums of a frame's IoU matrix (pairwise along the row) and
// column sums (row after row).
void rowAndColumnSums(const FrameView& view, std::vector<double>& rowSums,
                      std::vector<double>& columnSums) {
  const auto rows = static_cast<std::size_t>(view.rows());
  const auto columns = static_cast<std::size_t>(view.columns());
  rowSums.resize(rows);
  columnSums.assign(columns, 0.0);
  for (std::size_t i = 0; i < rows; ++i) {
    rowSums[i] = numeric::numpySum(std::span(view.iou).subspan(i * columns, columns));
    for (std::size_t j = 0; j < columns; ++j) columnSums[j] += view.at(i, j);
  }
}

}  // namespace

const AlphaValues& hotaAlphas() {
  static const AlphaValues alphas = [] {
    AlphaValues values{};
    for (std::size_t k = 0; k < kAlphaCount; ++k) {
      values[k] = 0.05 + static_cast<double>(k) * 0.05;
    }
    return values;
  }();
  return alphas;
}

double alphaMean(const AlphaValues& values) { return numeric::numpyMean(values); }

TrackSums evaluateTracks(const PreparedTracks& tracks, ClearObserver* observer) {
  TrackSums sums;
  const auto truthBoxes = static_cast<int64_t>(tracks.groundTruth.size());
  const auto trackerBoxes = static_cast<int64_t>(tracks.tracker.size());
  if (truthBoxes == 0 || trackerBoxes == 0) {
    // The evaluator's early return: the counts only, frames not counted.
    sums.empty = true;
    sums.clearFn = truthBoxes;
    sums.clearFp = trackerBoxes;
    sums.mostlyLost = trackerBoxes == 0 ? tracks.groundTruthIds : 0;
    sums.idFn = truthBoxes;
    sums.idFp = trackerBoxes;
    sums.hotaFn.fill(static_cast<double>(truthBoxes));
    sums.hotaFp.fill(static_cast<double>(trackerBoxes));
    sums.locA.fill(1.0);
    return sums;
  }
  const auto truthIds = static_cast<std::size_t>(tracks.groundTruthIds);
  const auto trackerIds = static_cast<std::size_t>(tracks.trackerIds);
  sums.frames = tracks.frames;

  // First pass: CLEAR frame by frame, Identity's overlaps, and HOTA's
  // global alignment of identities.
  ClearCounter clear(tracks, observer);
  std::unordered_map<uint64_t, int64_t> overlapFrames;  // IoU >= 0.5
  std::unordered_map<uint64_t, double> alignment;       // summed frame similarity
  std::vector<double> truthCount(truthIds, 0.0);
  std::vector<double> trackerCount(trackerIds, 0.0);
  std::vector<double> rowSums;
  std::vector<double> columnSums;
  FrameView view;
  // Frames without a box change nothing, in either pass: only those with
  // one are gone over.
  const std::size_t frameCount = tracks.frameNumbers.size();
  for (std::size_t at = 0; at < frameCount; ++at) {
    view.load(tracks, at);
    clear.frame(tracks.frameNumbers[at], view, sums);
    for (const TrackBox& g : view.truth) truthCount[static_cast<std::size_t>(g.id)] += 1.0;
    for (const TrackBox& h : view.tracker) trackerCount[static_cast<std::size_t>(h.id)] += 1.0;
    if (view.truth.empty() || view.tracker.empty()) continue;
    rowAndColumnSums(view, rowSums, columnSums);
    for (std::size_t i = 0; i < view.truth.size(); ++i) {
      for (std::size_t j = 0; j < view.tracker.size(); ++j) {
        const double iou = view.at(i, j);
        if (iou == 0.0) continue;
        const uint64_t key = pairKey(idOf(view.truth[i]), idOf(view.tracker[j]));
        if (iou >= kThreshold) ++overlapFrames[key];
        const double denominator = columnSums[j] + rowSums[i] - iou;
        if (denominator > kEpsilon) alignment[key] += iou / denominator;
      }
    }
  }
  clear.finish(sums);

  // Identity: the best one-to-one pairing of identities.
  std::vector<IdentityPair> pairs;
  pairs.reserve(overlapFrames.size());
  for (const auto& [key, weight] : overlapFrames) {
    pairs.push_back(
        {static_cast<int32_t>(key >> 32), static_cast<int32_t>(key & 0xffffffffu), weight});
  }
  std::sort(pairs.begin(), pairs.end(), [](const IdentityPair& a, const IdentityPair& b) {
    return pairKey(a.groundTruth, a.tracker) < pairKey(b.groundTruth, b.tracker);
  });
  sums.idTp = maximumIdentityMatching(tracks.groundTruthIds, tracks.trackerIds, pairs);
  sums.idFn = truthBoxes - sums.idTp;
  sums.idFp = trackerBoxes - sums.idTp;

  // HOTA's alignment score of each pair of identities.
  for (auto& [key, similarity] : alignment) {
    const double both = truthCount[key >> 32] + trackerCount[key & 0xffffffffu];
    similarity = similarity / (both - similarity);
  }

  // Second pass: one assignment a frame on alignment times IoU, shared by
  // every alpha.
  AlphaValues least;
  for (std::size_t a = 0; a < kAlphaCount; ++a) least[a] = hotaAlphas()[a] - kEpsilon;
  std::unordered_map<uint64_t, std::array<double, kAlphaCount>> matchCounts;
  AlphaValues localisation = {};
  LinearSumAssignment assignment;
  std::vector<double> cost;
  std::vector<std::pair<std::size_t, std::size_t>> assigned;
  for (std::size_t at = 0; at < frameCount; ++at) {
    view.load(tracks, at);
    if (view.truth.empty()) {
      for (double& fp : sums.hotaFp) fp += static_cast<double>(view.tracker.size());
      continue;
    }
    if (view.tracker.empty()) {
      for (double& fn : sums.hotaFn) fn += static_cast<double>(view.truth.size());
      continue;
    }
    const std::size_t columns = view.tracker.size();
    cost.resize(view.iou.size());
    for (std::size_t i = 0; i < view.truth.size(); ++i) {
      for (std::size_t j = 0; j < columns; ++j) {
        const double iou = view.at(i, j);
        double score = 0.0;
        if (iou != 0.0) {
          const auto found = alignment.find(pairKey(idOf(view.truth[i]), idOf(view.tracker[j])));
          score = (found == alignment.end() ? 0.0 : found->second) * iou;
        }
        cost[i * columns + j] = -score;
      }
    }
    const std::span<const int32_t> columnOf = assignment.solve(cost, view.rows(), view.columns());
    assigned.clear();
    for (std::size_t i = 0; i < view.truth.size(); ++i) {
      if (columnOf[i] >= 0) assigned.emplace_back(i, static_cast<std::size_t>(columnOf[i]));
    }
    // Each pair once, for every alpha it reaches (the alphas rise, so the
    // pairs of an alpha are among those of the one before); each alpha's
    // IoUs are added in row order, as the evaluator adds them.
    std::array<int64_t, kAlphaCount> matches = {};
    AlphaValues iouSums = {};
    for (const auto& [i, j] : assigned) {
      const double iou = view.at(i, j);
      if (!(iou >= least[0])) continue;
      auto& counts = matchCounts[pairKey(idOf(view.truth[i]), idOf(view.tracker[j]))];
      for (std::size_t a = 0; a < kAlphaCount && iou >= least[a]; ++a) {
        ++matches[a];
        iouSums[a] += iou;
        counts[a] += 1.0;
      }
    }
    for (std::size_t a = 0; a < kAlphaCount; ++a) {
      sums.hotaTp[a] += static_cast<double>(matches[a]);
      sums.hotaFn[a] += static_cast<double>(static_cast<int64_t>(view.truth.size()) - matches[a]);
      sums.hotaFp[a] += static_cast<double>(static_cast<int64_t>(columns) - matches[a]);
      if (matches[a] > 0) localisation[a] += iouSums[a];
    }
  }

  // Association: sums over the whole G x H matrix of counts, in numpy's
  // order of its cells.
  std::vector<uint64_t> keys;
  keys.reserve(matchCounts.size());
  for (const auto& entry : matchCounts) keys.push_back(entry.first);
  std::sort(keys.begin(), keys.end());
  std::vector<uint64_t> positions(keys.size());
  std::vector<const std::array<double, kAlphaCount>*> countsOf(keys.size());
  for (std::size_t k = 0; k < keys.size(); ++k) {
    positions[k] = (keys[k] >> 32) * trackerIds + (keys[k] & 0xffffffffu);
    countsOf[k] = &matchCounts.find(keys[k])->second;
  }
  const uint64_t cells = static_cast<uint64_t>(truthIds) * trackerIds;
  std::vector<double> termsA(keys.size());
  std::vector<double> termsRe(keys.size());
  std::vector<double> termsPr(keys.size());
  for (std::size_t a = 0; a < kAlphaCount; ++a) {
    for (std::size_t k = 0; k < keys.size(); ++k) {
      const double count = (*countsOf[k])[a];
      const double nG = truthCount[keys[k] >> 32];
      const double nH = trackerCount[keys[k] & 0xffffffffu];
      termsA[k] = count * (count / std::max(1.0, nG + nH - count));
      termsRe[k] = count * (count / std::max(1.0, nG));
      termsPr[k] = count * (count / std::max(1.0, nH));
    }
    const double tp = std::max(1.0, sums.hotaTp[a]);
    sums.assA[a] = numeric::numpySparseSum(cells, positions, termsA) / tp;
    sums.assRe[a] = numeric::numpySparseSum(cells, positions, termsRe) / tp;
    sums.assPr[a] = numeric::numpySparseSum(cells, positions, termsPr) / tp;
    sums.locA[a] = std::max(1e-10, localisation[a]) / std::max(1e-10, sums.hotaTp[a]);
  }
  return sums;
}

TrackSums combineTracks(std::span<const TrackSums> sequences) {
  return combineTracks(sequences, std::vector<uint32_t>(sequences.size(), 1));
}

TrackSums combineTracks(std::span<const TrackSums> sequences, std::span<const uint32_t> weights) {
  if (weights.size() != sequences.size()) {
    throw std::invalid_argument("combineTracks: a weight for every sequence");
  }
  TrackSums combined;
  AlphaValues weightedA = {}, weightedRe = {}, weightedPr = {}, weightedLoc = {};
  for (std::size_t k = 0; k < sequences.size(); ++k) {
    const TrackSums& s = sequences[k];
    // Each copy added on its own, as the copies' rows would be: adding
    // weight times a value is not always the same double.
    for (uint32_t copy = 0; copy < weights[k]; ++copy) {
      combined.clearTp += s.clearTp;
      combined.clearFn += s.clearFn;
      combined.clearFp += s.clearFp;
      combined.idSwitches += s.idSwitches;
      combined.mostlyTracked += s.mostlyTracked;
      combined.partlyTracked += s.partlyTracked;
      combined.mostlyLost += s.mostlyLost;
      combined.fragmentations += s.fragmentations;
      combined.frames += s.frames;
      combined.motpSum += s.motpSum;
      combined.idTp += s.idTp;
      combined.idFn += s.idFn;
      combined.idFp += s.idFp;
      for (std::size_t a = 0; a < kAlphaCount; ++a) {
        combined.hotaTp[a] += s.hotaTp[a];
        combined.hotaFn[a] += s.hotaFn[a];
        combined.hotaFp[a] += s.hotaFp[a];
        weightedA[a] += s.assA[a] * s.hotaTp[a];
        weightedRe[a] += s.assRe[a] * s.hotaTp[a];
        weightedPr[a] += s.assPr[a] * s.hotaTp[a];
        weightedLoc[a] += s.locA[a] * s.hotaTp[a];
      }
    }
  }
  for (std::size_t a = 0; a < kAlphaCount; ++a) {
    const double tp = std::max(1.0, combined.hotaTp[a]);
    combined.assA[a] = weightedA[a] / tp;
    combined.assRe[a] = weightedRe[a] / tp;
    combined.assPr[a] = weightedPr[a] / tp;
    combined.locA[a] = std::max(1e-10, weightedLoc[a]) / std::max(1e-10, combined.hotaTp[a]);
  }
  return combined;
}

TrackMeasures trackMeasures(const TrackSums& s) {
  TrackMeasures m;
  m.sums = s;
  m.hotaTp = s.hotaTp;
  m.hotaFn = s.hotaFn;
  m.hotaFp = s.hotaFp;
  m.assA = s.assA;
  m.assRe = s.assRe;
  m.assPr = s.assPr;
  m.locA = s.locA;
  m.locAZero = s.locA[0];
  if (s.empty) {
    // As the evaluator returns an empty sequence: counts, and a track
    // ratio of one for the identities all lost.
    m.assA = {};
    m.assRe = {};
    m.assPr = {};
    m.mlRatio = 1.0;
    return m;
  }
  for (std::size_t a = 0; a < kAlphaCount; ++a) {
    const double tp = s.hotaTp[a];
    m.detRe[a] = tp / std::max(1.0, tp + s.hotaFn[a]);
    m.detPr[a] = tp / std::max(1.0, tp + s.hotaFp[a]);
    m.detA[a] = tp / std::max(1.0, tp + s.hotaFn[a] + s.hotaFp[a]);
    m.hota[a] = std::sqrt(m.detA[a] * m.assA[a]);
    m.owta[a] = std::sqrt(m.detRe[a] * m.assA[a]);
  }
  m.hotaZero = m.hota[0];
  m.hotaLocAZero = m.hotaZero * m.locAZero;

  const auto tp = static_cast<double>(s.clearTp);
  const auto fn = static_cast<double>(s.clearFn);
  const auto fp = static_cast<double>(s.clearFp);
  const auto idsw = static_cast<double>(s.idSwitches);
  const auto ids = static_cast<double>(s.mostlyTracked + s.partlyTracked + s.mostlyLost);
  m.mtRatio = static_cast<double>(s.mostlyTracked) / std::max(1.0, ids);
  m.mlRatio = static_cast<double>(s.mostlyLost) / std::max(1.0, ids);
  m.ptRatio = static_cast<double>(s.partlyTracked) / std::max(1.0, ids);
  const double positives = std::max(1.0, tp + fn);
  m.clearRecall = tp / positives;
  m.clearPrecision = tp / std::max(1.0, tp + fp);
  m.moda = (tp - fp) / positives;
  m.mota = (tp - fp - idsw) / positives;
  m.motp = s.motpSum / std::max(1.0, tp);
  m.smota = (s.motpSum - fp - idsw) / positives;
  m.clearF1 = tp / std::max(1.0, tp + 0.5 * fn + 0.5 * fp);
  m.fpPerFrame = fp / std::max(1.0, static_cast<double>(s.frames));
  const double logSwitches = s.idSwitches > 0 ? std::log10(idsw) : idsw;
  m.motal = (tp - fp - logSwitches) / positives;

  const auto idtp = static_cast<double>(s.idTp);
  const auto idfn = static_cast<double>(s.idFn);
  const auto idfp = static_cast<double>(s.idFp);
  m.idRecall = idtp / std::max(1.0, idtp + idfn);
  m.idPrecision = idtp / std::max(1.0, idtp + idfp);
  m.idf1 = idtp / std::max(1.0, idtp + 0.5 * idfp + 0.5 * idfn);
  return m;
}

}  // namespace tracking
