#include "scoring/precision/vid_evaluation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <thread>
#include <utility>

#include "scoring/precision/index_workers.h"

namespace precision {

namespace {

constexpr double kLowest = -std::numeric_limits<double>::infinity();
// The frames either side of a box that its motion IoU looks at.
constexpr uint64_t kMotionWindow = 10;

// A score as the sort sees it: NaN last, so that the order stays strict.
double scoreKey(double score) { return std::isnan(score) ? kLowest : score; }

double iouOf(const DetectedBox& d, const TruthBox& g) {
  return vidIou(d.x, d.y, d.width, d.height, g.x, g.y, g.width, g.height);
}

// What a detection met in the matching.
constexpr int64_t kUnmatched = -1;  // an FP overall; its weights per bin in `weights`
constexpr int64_t kCrowd = -2;      // took a crowd region: ignored everywhere

// How an unmatched detection weighs as an FP in one bin (two bits each).
enum Weight : uint8_t {
  kWeightOne = 0,    // its highest IoU is with an in-bin box
  kWeightZero = 1,   // ... with an out-of-bin box
  kWeightShare = 2,  // a tie: the share of out-of-bin boxes of its image and category
  kWeightEmpty = 3,  // no regular ground truth there: the bin's share of the set's
};

struct Matching {
  std::vector<int64_t> partner;  // per detection: a truth index, kUnmatched or kCrowd
  std::vector<uint8_t> weights;  // per detection: a Weight per bin, bin b in bits 2b..2b+1
};

// Matches one cell's detections to its ground truth; `motion` is empty
// without the split.
void matchCell(const ImageSet& set, const Cell& cell, const std::vector<double>& motion,
               Matching& matching) {
  const uint32_t truths = cell.truthEnd - cell.truthBegin;
  const uint32_t detections = cell.detectionEnd - cell.detectionBegin;
  std::vector<uint32_t> order(detections);
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return scoreKey(set.detections[cell.detectionBegin + a].score) >
           scoreKey(set.detections[cell.detectionBegin + b].score);
  });
  std::vector<double> threshold(truths);
  std::vector<char> taken(truths, 0);
  std::size_t regular = 0;
  for (uint32_t k = 0; k < truths; ++k) {
    const TruthBox& g = set.truths[cell.truthBegin + k];
    threshold[k] = vidThreshold(g);
    regular += g.crowd ? 0 : 1;
  }
  std::vector<double> overlap(truths);
  for (const uint32_t at : order) {
    const std::size_t d = cell.detectionBegin + at;
    const DetectedBox& box = set.detections[d];
    for (uint32_t k = 0; k < truths; ++k) overlap[k] = iouOf(box, set.truths[cell.truthBegin + k]);
    // A regular box first; a crowd region only when none qualifies.
    for (const bool crowdPass : {false, true}) {
      double best = kLowest;
      int64_t chosen = -1;
      for (uint32_t k = 0; k < truths; ++k) {
        if (set.truths[cell.truthBegin + k].crowd != crowdPass || taken[k]) continue;
        if (overlap[k] >= threshold[k] && overlap[k] > best) {
          best = overlap[k];
          chosen = k;
        }
      }
      if (chosen >= 0) {
        if (!crowdPass) taken[static_cast<std::size_t>(chosen)] = 1;
        matching.partner[d] = crowdPass ? kCrowd : cell.truthBegin + chosen;
        break;
      }
    }
    if (matching.partner[d] != kUnmatched || motion.empty()) continue;
    uint8_t weights = 0;
    for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
      Weight weight = kWeightEmpty;
      if (regular > 0) {
        double bestIn = kLowest, bestOut = kLowest;
        for (uint32_t k = 0; k < truths; ++k) {
          const std::size_t index = cell.truthBegin + k;
          if (set.truths[index].crowd) continue;
          double& best = inMotionBin(motion[index], bin) ? bestIn : bestOut;
          best = std::max(best, overlap[k]);
        }
        weight = bestIn > bestOut ? kWeightOne : bestOut > bestIn ? kWeightZero : kWeightShare;
      }
      weights = static_cast<uint8_t>(weights | (weight << (2 * bin)));
    }
    matching.weights[d] = weights;
  }
}

// One category's AP from its detections in score order: `gain(i)` gives
// detection i's (tp, fp) increments, (0, 0) for one that is ignored.
template <class Gain>
double categoryAp(std::size_t entries, std::size_t positives, const Gain& gain) {
  if (positives == 0) return -1.0;
  std::vector<double> precision, recall;
  double tp = 0.0, fp = 0.0;
  const double npos = static_cast<double>(positives);
  for (std::size_t i = 0; i < entries; ++i) {
    const auto [dtp, dfp] = gain(i);
    // A detection that adds nothing leaves the curve as it was.
    if (dtp == 0.0 && dfp == 0.0) continue;
    tp += dtp;
    fp += dfp;
    precision.push_back(tp / (tp + fp));
    recall.push_back(tp / npos);
  }
  return vocAveragePrecision(precision, recall);
}

double meanOf(const std::vector<double>& ap) {
  double sum = 0.0;
  std::size_t counted = 0;
  for (const double value : ap) {
    if (value < 0.0) continue;
    sum += value;
    ++counted;
  }
  return counted == 0 ? -1.0 : sum / static_cast<double>(counted);
}

}  // namespace

double vidThreshold(const TruthBox& truth) {
  const double w = truth.width + 1.0;
  const double h = truth.height + 1.0;
  return std::min(0.5, (w * h) / ((w + 10.0) * (h + 10.0)));
}

double vidIou(double ax, double ay, double aw, double ah, double bx, double by, double bw,
              double bh) {
  const double iw = std::min(ax + aw, bx + bw) - std::max(ax, bx) + 1.0;
  const double ih = std::min(ay + ah, by + bh) - std::max(ay, by) + 1.0;
  if (!(iw > 0.0 && ih > 0.0)) return 0.0;
  const double intersection = iw * ih;
  const double uni = (aw + 1.0) * (ah + 1.0) + (bw + 1.0) * (bh + 1.0) - intersection;
  return intersection / uni;
}

double vocAveragePrecision(std::span<const double> precision, std::span<const double> recall) {
  const std::size_t n = std::min(precision.size(), recall.size());
  std::vector<double> mrec(n + 2), mpre(n + 2);
  mrec[0] = 0.0;
  mpre[0] = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    mrec[i + 1] = recall[i];
    mpre[i + 1] = precision[i];
  }
  mrec[n + 1] = 1.0;
  mpre[n + 1] = 0.0;
  for (std::size_t i = n + 1; i-- > 0;) mpre[i] = std::max(mpre[i], mpre[i + 1]);
  double ap = 0.0;
  for (std::size_t i = 0; i + 1 < mrec.size(); ++i) {
    if (mrec[i + 1] != mrec[i]) ap += (mrec[i + 1] - mrec[i]) * mpre[i + 1];
  }
  return ap;
}

bool inMotionBin(double motionIou, std::size_t bin) {
  switch (bin) {
    case kMotionSlow:
      return motionIou >= 0.9 && motionIou <= 1.0;
    case kMotionMedium:
      return motionIou >= 0.7 && motionIou <= 0.9;
    case kMotionFast:
      return motionIou >= 0.0 && motionIou <= 0.7;
    default:
      return false;
  }
}

bool canSplitByMotion(const ImageSet& set) {
  if (set.imageSequence.size() != set.imageIds.size() ||
      set.imageFrame.size() != set.imageIds.size()) {
    return false;
  }
  return std::any_of(set.truths.begin(), set.truths.end(),
                     [](const TruthBox& g) { return !g.crowd && g.track >= 0; });
}

std::vector<double> vidMotionIous(const ImageSet& set, std::size_t* isolated) {
  std::vector<double> motion(set.truths.size(), std::numeric_limits<double>::quiet_NaN());
  // The tracked regular boxes in the order their sums take them: object,
  // frame, then the set's order.
  struct Tracked {
    uint32_t sequence;
    int64_t track;
    int64_t frame;
    std::size_t truth;
  };
  std::vector<Tracked> tracked;
  std::size_t alone = 0;
  for (const Cell& cell : set.cells) {
    for (uint32_t index = cell.truthBegin; index < cell.truthEnd; ++index) {
      const TruthBox& g = set.truths[index];
      if (g.crowd) continue;
      if (g.track < 0) {
        motion[index] = 0.0;
        ++alone;
        continue;
      }
      tracked.push_back(
          {set.imageSequence[cell.image], g.track, set.imageFrame[cell.image], index});
    }
  }
  std::stable_sort(tracked.begin(), tracked.end(), [](const Tracked& a, const Tracked& b) {
    if (a.sequence != b.sequence) return a.sequence < b.sequence;
    if (a.track != b.track) return a.track < b.track;
    return a.frame < b.frame;
  });
  // Frames as unsigned differences: exact for any two int64 frames in order.
  const auto apart = [](int64_t later, int64_t earlier) {
    return static_cast<uint64_t>(later) - static_cast<uint64_t>(earlier);
  };
  for (std::size_t begin = 0; begin < tracked.size();) {
    std::size_t end = begin;
    while (end < tracked.size() && tracked[end].sequence == tracked[begin].sequence &&
           tracked[end].track == tracked[begin].track) {
      ++end;
    }
    std::size_t low = begin;
    for (std::size_t at = begin; at < end; ++at) {
      const int64_t frame = tracked[at].frame;
      while (apart(frame, tracked[low].frame) > kMotionWindow) ++low;
      const TruthBox& g = set.truths[tracked[at].truth];
      double sum = 0.0;
      std::size_t count = 0;
      // From `low` on, the frames before this one are in the window; those
      // after it, up to the first too far.
      for (std::size_t other = low;
           other < end &&
           (tracked[other].frame <= frame || apart(tracked[other].frame, frame) <= kMotionWindow);
           ++other) {
        if (tracked[other].frame == frame) continue;
        const TruthBox& h = set.truths[tracked[other].truth];
        sum += vidIou(g.x, g.y, g.width, g.height, h.x, h.y, h.width, h.height);
        ++count;
      }
      if (count == 0) ++alone;
      motion[tracked[at].truth] = count == 0 ? 0.0 : sum / static_cast<double>(count);
    }
    begin = end;
  }
  if (isolated != nullptr) *isolated = alone;
  return motion;
}

VidResult evaluateVid(const ImageSet& set, unsigned threads) {
  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  const std::size_t categories = set.categoryIds.size();
  VidResult result;
  result.motionSplit = canSplitByMotion(set);
  std::vector<double> motion;
  if (result.motionSplit) motion = vidMotionIous(set, &result.isolatedTruthCount);

  result.truthCount.assign(categories, 0);
  result.crowdCount.assign(categories, 0);
  result.detectionCount.assign(categories, 0);
  std::array<std::size_t, kMotionBins> binTruths{};
  std::size_t regularTruths = 0;
  if (result.motionSplit) {
    for (auto& counts : result.motionTruthCount) counts.assign(categories, 0);
  }
  // Each category's cells, which the set lists together.
  std::vector<std::size_t> firstCell(categories + 1, set.cells.size());
  for (std::size_t c = set.cells.size(); c-- > 0;) firstCell[set.cells[c].category] = c;
  for (std::size_t k = categories; k-- > 0;)
    firstCell[k] = std::min(firstCell[k], firstCell[k + 1]);
  for (const Cell& cell : set.cells) {
    result.detectionCount[cell.category] += cell.detectionEnd - cell.detectionBegin;
    for (uint32_t index = cell.truthBegin; index < cell.truthEnd; ++index) {
      if (set.truths[index].crowd) {
        ++result.crowdCount[cell.category];
        continue;
      }
      ++result.truthCount[cell.category];
      ++regularTruths;
      if (!result.motionSplit) continue;
      for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
        if (!inMotionBin(motion[index], bin)) continue;
        ++result.motionTruthCount[bin][cell.category];
        ++binTruths[bin];
      }
    }
  }
  std::array<double, kMotionBins> emptyShare{};
  for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
    emptyShare[bin] = regularTruths == 0 ? 0.0
                                         : static_cast<double>(binTruths[bin]) /
                                               static_cast<double>(regularTruths);
  }

  Matching matching;
  matching.partner.assign(set.detections.size(), kUnmatched);
  matching.weights.assign(result.motionSplit ? set.detections.size() : 0, 0);
  forEachIndex(set.cells.size(), threads,
               [&](std::size_t c) { matchCell(set, set.cells[c], motion, matching); });

  result.ap.assign(categories, -1.0);
  if (result.motionSplit) {
    for (auto& ap : result.motionAp) ap.assign(categories, -1.0);
  }
  forEachIndex(categories, threads, [&](std::size_t category) {
    // The category's detections in image order, then file order, then
    // stably in descending score; with each, its cell's shares of
    // out-of-bin ground truth.
    struct Entry {
      double score;
      std::size_t detection;
      std::size_t cell;
    };
    std::vector<Entry> entries;
    std::vector<std::array<double, kMotionBins>> outShare;
    for (std::size_t c = firstCell[category]; c < firstCell[category + 1]; ++c) {
      const Cell& cell = set.cells[c];
      const std::size_t local = outShare.size();
      std::array<double, kMotionBins> share{};
      if (result.motionSplit) {
        std::size_t regular = 0;
        std::array<std::size_t, kMotionBins> out{};
        for (uint32_t index = cell.truthBegin; index < cell.truthEnd; ++index) {
          if (set.truths[index].crowd) continue;
          ++regular;
          for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
            out[bin] += inMotionBin(motion[index], bin) ? 0 : 1;
          }
        }
        for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
          share[bin] =
              regular == 0 ? 0.0 : static_cast<double>(out[bin]) / static_cast<double>(regular);
        }
      }
      outShare.push_back(share);
      for (uint32_t d = cell.detectionBegin; d < cell.detectionEnd; ++d) {
        entries.push_back({scoreKey(set.detections[d].score), d, local});
      }
    }
    std::stable_sort(entries.begin(), entries.end(),
                     [](const Entry& a, const Entry& b) { return a.score > b.score; });
    using Gain = std::pair<double, double>;
    result.ap[category] =
        categoryAp(entries.size(), result.truthCount[category], [&](std::size_t i) -> Gain {
          const int64_t partner = matching.partner[entries[i].detection];
          if (partner >= 0) return {1.0, 0.0};
          if (partner == kCrowd) return {0.0, 0.0};
          return {0.0, 1.0};
        });
    if (!result.motionSplit) return;
    for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
      result.motionAp[bin][category] = categoryAp(
          entries.size(), result.motionTruthCount[bin][category], [&](std::size_t i) -> Gain {
            const Entry& entry = entries[i];
            const int64_t partner = matching.partner[entry.detection];
            if (partner >= 0) {
              return {inMotionBin(motion[static_cast<std::size_t>(partner)], bin) ? 1.0 : 0.0, 0.0};
            }
            if (partner == kCrowd) return {0.0, 0.0};
            switch ((matching.weights[entry.detection] >> (2 * bin)) & 3u) {
              case kWeightOne:
                return {0.0, 1.0};
              case kWeightZero:
                return {0.0, 0.0};
              case kWeightShare:
                return {0.0, outShare[entry.cell][bin]};
              default:
                return {0.0, emptyShare[bin]};
            }
          });
    }
  });

  result.meanAp = meanOf(result.ap);
  if (result.motionSplit) {
    for (std::size_t bin = 0; bin < kMotionBins; ++bin) {
      result.motionMeanAp[bin] = meanOf(result.motionAp[bin]);
    }
  }
  return result;
}

}  // namespace precision
