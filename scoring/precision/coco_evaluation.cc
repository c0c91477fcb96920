#include "scoring/precision/coco_evaluation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>
#include <stdexcept>
#include <thread>

#include "scoring/precision/index_workers.h"

namespace precision {

namespace {

// The double's machine epsilon, which the precision's denominator carries.
constexpr double kEpsilon = 2.220446049250313e-16;

// Intersection over union of a detection and a ground-truth box, over the
// detection's own area when the ground truth is a crowd.
double cocoIou(const DetectedBox& d, const TruthBox& g) {
  const double w = std::fmin(d.width + d.x, g.width + g.x) - std::fmax(d.x, g.x);
  if (w <= 0) return 0.0;
  const double h = std::fmin(d.height + d.y, g.height + g.y) - std::fmax(d.y, g.y);
  if (h <= 0) return 0.0;
  const double i = w * h;
  const double detectionArea = d.width * d.height;
  const double u = g.crowd ? detectionArea : detectionArea + g.width * g.height - i;
  return i / u;
}

void checkParameters(const CocoParameters& parameters) {
  if (parameters.iouThresholds.empty() || parameters.iouThresholds.size() > 64) {
    throw std::invalid_argument("give 1 to 64 IoU thresholds");
  }
  if (parameters.maxDetections.empty()) {
    throw std::invalid_argument("give at least one number of detections per image");
  }
  for (const int m : parameters.maxDetections) {
    if (m < 0) throw std::invalid_argument("a number of detections per image is negative");
  }
  if (parameters.areaRanges.empty()) throw std::invalid_argument("give at least one area range");
}

// Matches one cell into the slots that start at `first` (its kept
// detections) and at `cellIndex * areas` (its counted truths).
void matchCell(const ImageSet& set, const Cell& cell, const CocoParameters& parameters,
               std::size_t cellIndex, CocoMatches& out, std::vector<uint32_t>& order,
               std::vector<double>& ious, std::vector<uint32_t>& truthOrder,
               std::vector<char>& truthUsed) {
  const std::span<const DetectedBox> detections = set.detectionsOf(cell);
  const std::span<const TruthBox> truths = set.truthsOf(cell);
  const std::size_t areas = parameters.areaRanges.size();
  const std::size_t first = out.begin[cellIndex];
  const std::size_t kept = out.begin[cellIndex + 1] - first;
  order.resize(detections.size());
  std::iota(order.begin(), order.end(), 0u);
  std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) {
    return detections[a].score > detections[b].score;
  });
  const std::size_t g = truths.size();
  ious.assign(kept * g, 0.0);
  for (std::size_t d = 0; d < kept; ++d) {
    out.scores[first + d] = detections[order[d]].score;
    for (std::size_t k = 0; k < g; ++k) ious[d * g + k] = cocoIou(detections[order[d]], truths[k]);
  }
  truthOrder.resize(g);
  truthUsed.resize(g);
  for (std::size_t a = 0; a < areas; ++a) {
    const AreaRange& range = parameters.areaRanges[a];
    auto truthIgnored = [&](std::size_t k) {
      const TruthBox& t = truths[k];
      return t.crowd || t.area < range.low || t.area > range.high;
    };
    // The truths that count first, each part in file order.
    std::size_t counted = 0;
    for (std::size_t k = 0; k < g; ++k) {
      if (!truthIgnored(k)) truthOrder[counted++] = static_cast<uint32_t>(k);
    }
    for (std::size_t k = 0, at = counted; k < g; ++k) {
      if (truthIgnored(k)) truthOrder[at++] = static_cast<uint32_t>(k);
    }
    out.counted[cellIndex * areas + a] = static_cast<uint32_t>(counted);
    for (std::size_t t = 0; t < parameters.iouThresholds.size(); ++t) {
      const uint64_t bit = uint64_t{1} << t;
      std::fill(truthUsed.begin(), truthUsed.end(), 0);
      const double threshold = std::min(parameters.iouThresholds[t], 1 - 1e-10);
      for (std::size_t d = 0; d < kept; ++d) {
        double best = threshold;
        long partner = -1;  // a position in truthOrder
        for (std::size_t s = 0; s < g; ++s) {
          const uint32_t k = truthOrder[s];
          if (truthUsed[k] && !truths[k].crowd) continue;
          // Past the truths that count, once one of them is taken.
          if (partner >= 0 && static_cast<std::size_t>(partner) < counted && s >= counted) break;
          const double iou = ious[d * g + k];
          if (iou < best) continue;
          best = iou;
          partner = static_cast<long>(s);
        }
        uint64_t& matched = out.matched[(first + d) * areas + a];
        uint64_t& ignored = out.ignored[(first + d) * areas + a];
        if (partner >= 0) {
          truthUsed[truthOrder[partner]] = 1;
          matched |= bit;
          if (static_cast<std::size_t>(partner) >= counted) ignored |= bit;
        } else {
          const DetectedBox& box = detections[order[d]];
          const double area = box.width * box.height;
          if (area < range.low || area > range.high) ignored |= bit;
        }
      }
    }
  }
}

}  // namespace

std::vector<double> linspace(double start, double stop, std::size_t count) {
  std::vector<double> values(count);
  if (count == 0) return values;
  if (count == 1) {
    values[0] = start;
    return values;
  }
  const double step = (stop - start) / static_cast<double>(count - 1);
  for (std::size_t i = 0; i < count; ++i) values[i] = static_cast<double>(i) * step + start;
  values.back() = stop;
  return values;
}

std::array<SummaryLine, 12> summaryLines(const CocoParameters& parameters) {
  const std::vector<int>& md = parameters.maxDetections;
  const int last = md.size() > 2 ? md[2] : md.back();
  const int first = md.front();
  const int second = md.size() > 1 ? md[1] : md.back();
  const int hundred = std::find(md.begin(), md.end(), 100) != md.end() ? 100 : md.back();
  return {{{true, -1, "all", hundred},
           {true, 0.5, "all", last},
           {true, 0.75, "all", last},
           {true, -1, "small", last},
           {true, -1, "medium", last},
           {true, -1, "large", last},
           {false, -1, "all", first},
           {false, -1, "all", second},
           {false, -1, "all", last},
           {false, -1, "small", last},
           {false, -1, "medium", last},
           {false, -1, "large", last}}};
}

CocoParameters CocoParameters::standard() {
  CocoParameters p;
  p.iouThresholds = linspace(0.5, 0.95, 10);
  p.recallThresholds = linspace(0.0, 1.0, 101);
  p.maxDetections = {1, 10, 100};
  p.areaRanges = {{"all", 0.0, 1e10},
                  {"small", 0.0, 1024.0},
                  {"medium", 1024.0, 9216.0},
                  {"large", 9216.0, 1e10}};
  return p;
}

CocoMatches matchCoco(const ImageSet& set, const CocoParameters& parameters, unsigned threads) {
  checkParameters(parameters);
  const std::size_t areas = parameters.areaRanges.size();
  const std::size_t cut = static_cast<std::size_t>(parameters.maxDetections.back());
  CocoMatches out;
  out.areas = areas;
  const std::size_t cells = set.cells.size();
  out.category.resize(cells);
  out.image.resize(cells);
  out.begin.resize(cells + 1);
  std::size_t total = 0;
  for (std::size_t c = 0; c < cells; ++c) {
    const Cell& cell = set.cells[c];
    out.category[c] = cell.category;
    out.image[c] = cell.image;
    out.begin[c] = static_cast<uint32_t>(total);
    total += std::min<std::size_t>(cell.detectionEnd - cell.detectionBegin, cut);
  }
  out.begin[cells] = static_cast<uint32_t>(total);
  out.scores.resize(total);
  out.counted.resize(cells * areas);
  out.matched.assign(total * areas, 0);
  out.ignored.assign(total * areas, 0);
  // Cells in blocks, each block on one thread with its own scratch lists.
  constexpr std::size_t kBlock = 256;
  forEachIndex((cells + kBlock - 1) / kBlock, threads, [&](std::size_t block) {
    std::vector<uint32_t> order, truthOrder;
    std::vector<double> ious;
    std::vector<char> truthUsed;
    const std::size_t end = std::min(cells, (block + 1) * kBlock);
    for (std::size_t c = block * kBlock; c < end; ++c) {
      matchCell(set, set.cells[c], parameters, c, out, order, ious, truthOrder, truthUsed);
    }
  });
  return out;
}

CocoResult accumulateCoco(const CocoMatches& matches, std::size_t categories,
                          const CocoParameters& parameters, unsigned threads) {
  checkParameters(parameters);
  const std::size_t T = parameters.iouThresholds.size();
  const std::size_t R = parameters.recallThresholds.size();
  const std::size_t K = categories;
  const std::size_t A = parameters.areaRanges.size();
  const std::size_t M = parameters.maxDetections.size();
  if (matches.areas != A) throw std::invalid_argument("the matches are of other area ranges");
  CocoResult result;
  result.parameters = parameters;
  result.categories = K;
  result.precision.assign(T * R * K * A * M, -1.0);
  result.scores.assign(T * R * K * A * M, -1.0);
  result.recall.assign(T * K * A * M, -1.0);
  // The cells of each category: a run of the list.
  std::vector<std::size_t> runStart(K + 1, matches.cells());
  for (std::size_t c = matches.cells(); c-- > 0;) runStart[matches.category[c]] = c;
  for (std::size_t k = K; k-- > 0;) runStart[k] = std::min(runStart[k], runStart[k + 1]);

  forEachIndex(K, threads, [&](std::size_t k) {
    const std::size_t cellBegin = runStart[k], cellEnd = runStart[k + 1];
    if (cellBegin == cellEnd) return;
    std::vector<uint32_t> entries;  // positions in the matches' detection lists
    std::vector<double> recall, precision;
    for (std::size_t m = 0; m < M; ++m) {
      const std::size_t maxDet = static_cast<std::size_t>(parameters.maxDetections[m]);
      entries.clear();
      for (std::size_t c = cellBegin; c < cellEnd; ++c) {
        const std::size_t first = matches.begin[c];
        const std::size_t n = std::min<std::size_t>(matches.begin[c + 1] - first, maxDet);
        for (std::size_t d = 0; d < n; ++d) entries.push_back(static_cast<uint32_t>(first + d));
      }
      // Entries are in image order, each image's in its score order: a
      // stable sort by score gives the evaluator's order.
      std::stable_sort(entries.begin(), entries.end(), [&](uint32_t a, uint32_t b) {
        return matches.scores[a] > matches.scores[b];
      });
      const std::size_t nd = entries.size();
      for (std::size_t a = 0; a < A; ++a) {
        std::size_t counted = 0;
        for (std::size_t c = cellBegin; c < cellEnd; ++c) counted += matches.counted[c * A + a];
        if (counted == 0) continue;
        for (std::size_t t = 0; t < T; ++t) {
          const uint64_t bit = uint64_t{1} << t;
          recall.resize(nd);
          precision.resize(nd);
          double tp = 0.0, fp = 0.0;
          for (std::size_t i = 0; i < nd; ++i) {
            const std::size_t slot = static_cast<std::size_t>(entries[i]) * A + a;
            if (!(matches.ignored[slot] & bit)) {
              if (matches.matched[slot] & bit) {
                tp += 1.0;
              } else {
                fp += 1.0;
              }
            }
            recall[i] = tp / static_cast<double>(counted);
            precision[i] = tp / (fp + tp + kEpsilon);
          }
          result.recall[((t * K + k) * A + a) * M + m] = nd > 0 ? recall[nd - 1] : 0.0;
          for (std::size_t i = nd; i-- > 1;) {
            if (precision[i] > precision[i - 1]) precision[i - 1] = precision[i];
          }
          bool pastEnd = false;
          for (std::size_t r = 0; r < R; ++r) {
            const std::size_t cell = (((t * R + r) * K + k) * A + a) * M + m;
            double q = 0.0, s = 0.0;
            if (!pastEnd) {
              const std::size_t at = static_cast<std::size_t>(
                  std::lower_bound(recall.begin(), recall.end(), parameters.recallThresholds[r]) -
                  recall.begin());
              if (at >= nd) {
                pastEnd = true;  // this threshold and every later one stay 0
              } else {
                q = precision[at];
                s = matches.scores[entries[at]];
              }
            }
            result.precision[cell] = q;
            result.scores[cell] = s;
          }
        }
      }
    }
  });

  const std::array<SummaryLine, 12> lines = summaryLines(parameters);
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const SummaryLine& line = lines[k];
    result.stats[k] =
        result.summary(line.averagePrecision, line.iou, line.area, line.maxDetections);
  }
  return result;
}

double CocoResult::precisionAt(std::size_t t, std::size_t r, std::size_t k, std::size_t a,
                               std::size_t m) const {
  const std::size_t R = parameters.recallThresholds.size();
  const std::size_t A = parameters.areaRanges.size();
  const std::size_t M = parameters.maxDetections.size();
  return precision[(((t * R + r) * categories + k) * A + a) * M + m];
}

double CocoResult::recallAt(std::size_t t, std::size_t k, std::size_t a, std::size_t m) const {
  const std::size_t A = parameters.areaRanges.size();
  const std::size_t M = parameters.maxDetections.size();
  return recall[((t * categories + k) * A + a) * M + m];
}

double CocoResult::summary(bool averagePrecision, double iou, const std::string& area,
                           int maxDetections, long category) const {
  std::vector<std::size_t> thresholds, areaIndex, detIndex;
  for (std::size_t t = 0; t < parameters.iouThresholds.size(); ++t) {
    if (iou < 0 || parameters.iouThresholds[t] == iou) thresholds.push_back(t);
  }
  for (std::size_t a = 0; a < parameters.areaRanges.size(); ++a) {
    if (parameters.areaRanges[a].label == area) areaIndex.push_back(a);
  }
  for (std::size_t m = 0; m < parameters.maxDetections.size(); ++m) {
    if (parameters.maxDetections[m] == maxDetections) detIndex.push_back(m);
  }
  // numpy pairs the two index lists (one of length one stands for each).
  std::vector<std::pair<std::size_t, std::size_t>> pairs;
  if (areaIndex.size() == detIndex.size()) {
    for (std::size_t p = 0; p < areaIndex.size(); ++p)
      pairs.emplace_back(areaIndex[p], detIndex[p]);
  } else if (areaIndex.size() == 1) {
    for (const std::size_t m : detIndex) pairs.emplace_back(areaIndex[0], m);
  } else if (detIndex.size() == 1) {
    for (const std::size_t a : areaIndex) pairs.emplace_back(a, detIndex[0]);
  }
  std::vector<double> cells;
  const std::size_t firstK = category < 0 ? 0 : static_cast<std::size_t>(category);
  const std::size_t endK = category < 0 ? categories : firstK + 1;
  for (const std::size_t t : thresholds) {
    if (averagePrecision) {
      for (std::size_t r = 0; r < parameters.recallThresholds.size(); ++r) {
        for (std::size_t k = firstK; k < endK; ++k) {
          for (const auto& [a, m] : pairs) {
            const double v = precisionAt(t, r, k, a, m);
            if (v > -1) cells.push_back(v);
          }
        }
      }
    } else {
      for (std::size_t k = firstK; k < endK; ++k) {
        for (const auto& [a, m] : pairs) {
          const double v = recallAt(t, k, a, m);
          if (v > -1) cells.push_back(v);
        }
      }
    }
  }
  return cells.empty() ? -1.0 : numpyMean(cells);
}

CocoResult evaluateCoco(const ImageSet& set, const CocoParameters& parameters, unsigned threads) {
  CocoResult result = accumulateCoco(matchCoco(set, parameters, threads), set.categoryIds.size(),
                                     parameters, threads);
  result.truthCount.assign(set.categoryIds.size(), 0);
  result.detectionCount.assign(set.categoryIds.size(), 0);
  for (const Cell& cell : set.cells) {
    for (const TruthBox& box : set.truthsOf(cell)) result.truthCount[cell.category] += !box.crowd;
    result.detectionCount[cell.category] += cell.detectionEnd - cell.detectionBegin;
  }
  return result;
}

std::string cocoSummaryText(const CocoResult& result) {
  const std::array<SummaryLine, 12> lines = summaryLines(result.parameters);
  const std::vector<double>& thresholds = result.parameters.iouThresholds;
  std::string text;
  for (std::size_t k = 0; k < 12; ++k) {
    const SummaryLine& line = lines[k];
    char iou[64];
    if (line.iou < 0) {
      std::snprintf(iou, sizeof iou, "%0.2f:%0.2f", thresholds.front(), thresholds.back());
    } else {
      std::snprintf(iou, sizeof iou, "%0.2f", line.iou);
    }
    char row[256];
    std::snprintf(row, sizeof row, " %-18s %s @[ IoU=%-9s | area=%6s | maxDets=%3d ] = %0.3f\n",
                  line.averagePrecision ? "Average Precision" : "Average Recall",
                  line.averagePrecision ? "(AP)" : "(AR)", iou, line.area, line.maxDetections,
                  result.stats[k]);
    text += row;
  }
  return text;
}

}  // namespace precision
