#include "scoring/precision/precision_bootstrap.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace precision {

namespace {

// The denominator's epsilon, as the accumulation adds it.
constexpr double kEpsilon = std::numeric_limits<double>::epsilon();

std::size_t onlyIndex(std::size_t count, const auto& matches, const char* what) {
  std::size_t found = count;
  for (std::size_t k = 0; k < count; ++k) {
    if (!matches(k)) continue;
    if (found != count) throw std::invalid_argument(what);
    found = k;
  }
  if (found == count) throw std::invalid_argument(what);
  return found;
}

}  // namespace

WeightedPrecision::WeightedPrecision(const MatchedImages& matched,
                                     std::span<const uint32_t> unitOfImage, std::size_t units,
                                     const CocoParameters& parameters)
    : units_(units),
      thresholds_(parameters.iouThresholds.size()),
      recallThresholds_(parameters.recallThresholds) {
  if (thresholds_ == 0 || thresholds_ > 64) {
    throw std::invalid_argument("give 1 to 64 IoU thresholds");
  }
  const std::vector<int>& md = parameters.maxDetections;
  // COCO's first two figures are taken at the third number of detections,
  // which the first names as 100.
  if (md.size() < 3 || md[2] != 100 || std::count(md.begin(), md.end(), 100) != 1) {
    throw std::invalid_argument("the figures need 100 as the third number of detections, once");
  }
  const std::size_t A = parameters.areaRanges.size();
  const std::size_t a = onlyIndex(
      A, [&](std::size_t k) { return parameters.areaRanges[k].label == "all"; },
      "the figures need one area range \"all\"");
  const CocoMatches& m = matched.matches;
  if (m.cells() > 0 && m.areas != A) {
    throw std::invalid_argument("the matches are of other area ranges");
  }
  if (unitOfImage.size() != matched.images) {
    throw std::invalid_argument("every image needs a unit");
  }
  for (std::size_t i = 0; i < unitOfImage.size(); ++i) {
    if (unitOfImage[i] >= units)
      throw std::invalid_argument("an image's unit is not below the units");
    if (i > 0 && unitOfImage[i] < unitOfImage[i - 1]) {
      throw std::invalid_argument("the units' images are not runs in image order");
    }
  }
  for (std::size_t t = 0; t < thresholds_; ++t) {
    if (parameters.iouThresholds[t] == 0.5) at50_.push_back(t);
  }
  every_ = thresholds_ == 64 ? ~uint64_t{0} : (uint64_t{1} << thresholds_) - 1;
  const std::size_t cut = static_cast<std::size_t>(md[2]);

  const std::size_t K = matched.categoryNames.size();
  categories_.resize(K);
  std::vector<std::size_t> runStart(K + 1, m.cells());
  for (std::size_t c = m.cells(); c-- > 0;) runStart[m.category[c]] = c;
  for (std::size_t k = K; k-- > 0;) runStart[k] = std::min(runStart[k], runStart[k + 1]);
  std::vector<std::pair<uint32_t, uint32_t>> kept;  // (detection, cell)
  for (std::size_t k = 0; k < K; ++k) {
    Category& category = categories_[k];
    kept.clear();
    for (std::size_t c = runStart[k]; c < runStart[k + 1]; ++c) {
      const std::size_t first = m.begin[c];
      const std::size_t n = std::min<std::size_t>(m.begin[c + 1] - first, cut);
      for (std::size_t d = 0; d < n; ++d) {
        kept.emplace_back(static_cast<uint32_t>(first + d), static_cast<uint32_t>(c));
      }
      const uint32_t counted = m.counted[c * A + a];
      const uint32_t unit = unitOfImage[m.image[c]];
      if (counted == 0) continue;
      if (!category.truths.empty() && category.truths.back().first == unit) {
        category.truths.back().second += counted;
      } else {
        category.truths.emplace_back(unit, counted);
      }
    }
    // The accumulation's order, fixed once: a stable sort by score of the
    // cells' kept detections in image order.
    std::stable_sort(kept.begin(), kept.end(), [&](const auto& x, const auto& y) {
      return m.scores[x.first] > m.scores[y.first];
    });
    uint32_t lastUnit = UINT32_MAX;
    double lastScore = 0.0;
    for (const auto& [detection, cell] : kept) {
      const std::size_t slot = static_cast<std::size_t>(detection) * A + a;
      const uint64_t counts = ~m.ignored[slot] & every_;
      const Entry entry{m.matched[slot] & counts, ~m.matched[slot] & counts};
      // Ignored at every threshold: it changes no count, and the points it
      // would repeat are there anyway.
      if ((entry.hit | entry.falseAlarm) == 0) continue;
      const double score = m.scores[detection];
      const uint32_t unit = unitOfImage[m.image[cell]];
      if (unit == lastUnit && score == lastScore) {
        ++category.groups.back().size;
      } else {
        category.groups.push_back({static_cast<uint32_t>(category.entries.size()), 1, unit});
      }
      category.entries.push_back(entry);
      lastUnit = unit;
      lastScore = score;
    }
  }
}

PrecisionFigures WeightedPrecision::figures(std::span<const uint32_t> weights) const {
  Scratch scratch;
  return figures(weights, scratch);
}

PrecisionFigures WeightedPrecision::figures(std::span<const uint32_t> weights,
                                            Scratch& scratch) const {
  if (weights.size() != units_) throw std::invalid_argument("a weight for every unit");
  const std::size_t K = categories_.size();
  const std::size_t T = thresholds_;
  const std::size_t R = recallThresholds_.size();
  std::vector<double>& cells = scratch.cells;  // [t][r][k], as the summary reads them
  cells.assign(T * R * K, -1.0);
  scratch.recall.resize(T);
  scratch.precision.resize(T);
  scratch.hits.resize(T);
  scratch.counted.resize(T);
  uint64_t* const tp = scratch.hits.data();
  uint64_t* const some = scratch.counted.data();  // counted at only some thresholds
  for (std::size_t k = 0; k < K; ++k) {
    const Category& category = categories_[k];
    uint64_t truths = 0;
    for (const auto& [unit, count] : category.truths) {
      truths += static_cast<uint64_t>(weights[unit]) * count;
    }
    if (truths == 0) continue;  // -1: no ground truth in this resample
    const double counted = static_cast<double>(truths);
    for (std::size_t t = 0; t < T; ++t) {
      tp[t] = some[t] = 0;
      scratch.recall[t].clear();
      scratch.precision[t].clear();
    }
    // Every threshold's walk at once, the detections read once. The counts
    // are whole numbers, as the accumulation's doubles are: at each
    // threshold the detections that count are the hits and the false
    // alarms, so FP = counted - TP, and most detections count at every
    // threshold (those matched to a crowd at some only). Only hits make
    // points: a false alarm's point has the recall of the one before it and
    // a lower precision, so neither the envelope nor a recall threshold
    // ever takes its value (the first point aside, whose precision is 0,
    // below any hit's).
    uint64_t everywhere = 0;  // the weight of the detections counted at every threshold
    const auto take = [&](const Entry& entry, uint64_t weight) {
      const uint64_t counts = entry.hit | entry.falseAlarm;
      if (counts == every_) {
        everywhere += weight;
      } else {
        for (uint64_t at = counts; at != 0; at &= at - 1) {
          some[static_cast<std::size_t>(__builtin_ctzll(at))] += weight;
        }
      }
      for (uint64_t hits = entry.hit; hits != 0; hits &= hits - 1) {
        const auto t = static_cast<std::size_t>(__builtin_ctzll(hits));
        tp[t] += weight;
        const double hit = static_cast<double>(tp[t]);
        const double falseAlarms = static_cast<double>(everywhere + some[t] - tp[t]);
        scratch.recall[t].push_back(hit / counted);
        scratch.precision[t].push_back(hit / (falseAlarms + hit + kEpsilon));
      }
    };
    for (const Group& group : category.groups) {
      const uint32_t weight = weights[group.unit];
      if (weight == 0) continue;
      const Entry* entries = category.entries.data() + group.first;
      if (group.size == 1) {
        // Its copies follow each other: one point where they end, since
        // the points between lie on the envelope's step.
        take(*entries, weight);
        continue;
      }
      for (uint32_t copy = 0; copy < weight; ++copy) {
        for (uint32_t e = 0; e < group.size; ++e) take(entries[e], 1);
      }
    }
    for (std::size_t t = 0; t < T; ++t) {
      const std::vector<double>& recall = scratch.recall[t];
      std::vector<double>& precision = scratch.precision[t];
      const std::size_t n = recall.size();
      for (std::size_t i = n; i-- > 1;) {
        if (precision[i] > precision[i - 1]) precision[i - 1] = precision[i];
      }
      double* const row = cells.data() + t * R * K + k;
      std::size_t i = 0;
      for (std::size_t r = 0; r < R; ++r) {
        while (i < n && recall[i] < recallThresholds_[r]) ++i;
        row[r * K] = i < n ? precision[i] : 0.0;
      }
    }
  }
  // The summary's means of the cells above -1: every threshold, then those at 0.5.
  std::vector<double>& means = scratch.means;
  const auto meanOf = [&](std::size_t begin, std::size_t end) {
    for (std::size_t c = begin; c < end; ++c) {
      if (cells[c] > -1) means.push_back(cells[c]);
    }
  };
  PrecisionFigures figures;
  means.clear();
  meanOf(0, cells.size());
  if (!means.empty()) figures.map = numpyMean(means);
  means.clear();
  for (const std::size_t t : at50_) meanOf(t * R * K, (t + 1) * R * K);
  if (!means.empty()) figures.ap50 = numpyMean(means);
  return figures;
}

PrecisionBootstrap precisionBootstrap(const WeightedPrecision& a, const WeightedPrecision& b,
                                      const BootstrapOptions& options) {
  const uint64_t resamples = options.resamples;
  if (resamples < 1 || resamples > kMaxResamples) {
    throw std::invalid_argument("the number of resamples is not from 1 to " +
                                std::to_string(kMaxResamples));
  }
  if (a.units() != b.units()) throw std::invalid_argument("both detectors need the same units");
  const uint64_t k = intervalRank(resamples, options.level);
  const std::size_t units = a.units();
  PrecisionBootstrap result;
  if (units == 0) return result;
  std::vector<double> mapDifferences(resamples), ap50Differences(resamples);
  forEachResample(
      units, options,
      [&, scratchA = WeightedPrecision::Scratch{}, scratchB = WeightedPrecision::Scratch{}](
          uint64_t r, std::span<const uint32_t> weights) mutable {
        const PrecisionFigures figuresA = a.figures(weights, scratchA);
        const PrecisionFigures figuresB = b.figures(weights, scratchB);
        mapDifferences[r] = figuresB.map - figuresA.map;
        ap50Differences[r] = figuresB.ap50 - figuresA.ap50;
      });
  result.map = summariseDifferences(mapDifferences, k);
  result.ap50 = summariseDifferences(ap50Differences, k);
  return result;
}

}  // namespace precision
