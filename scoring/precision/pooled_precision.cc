#include "scoring/precision/pooled_precision.h"

#include <algorithm>
#include <stdexcept>
#include <string_view>
#include <unordered_map>

namespace precision {

namespace {

// Where each category's run of cells starts (cells are in (category, image)
// order), and one past the last run.
std::vector<std::size_t> categoryRuns(const CocoMatches& matches, std::size_t categories) {
  std::vector<std::size_t> start(categories + 1, matches.cells());
  for (std::size_t c = matches.cells(); c-- > 0;) start[matches.category[c]] = c;
  for (std::size_t k = categories; k-- > 0;) start[k] = std::min(start[k], start[k + 1]);
  return start;
}

bool sameCategories(const MatchedImages& a, const MatchedImages& b) {
  return a.categoryIds == b.categoryIds && a.categoryNames == b.categoryNames;
}

}  // namespace

MatchedImages matchImages(const ImageSet& set, const CocoParameters& parameters, unsigned threads) {
  MatchedImages out;
  out.categoryIds = set.categoryIds;
  out.categoryNames = set.categoryNames;
  out.images = set.imageIds.size();
  out.truthCount.assign(set.categoryIds.size(), 0);
  out.detectionCount.assign(set.categoryIds.size(), 0);
  for (const Cell& cell : set.cells) {
    for (const TruthBox& box : set.truthsOf(cell)) out.truthCount[cell.category] += !box.crowd;
    out.detectionCount[cell.category] += cell.detectionEnd - cell.detectionBegin;
  }
  out.matches = matchCoco(set, parameters, threads);
  return out;
}

std::vector<std::size_t> imageOffsets(std::span<const MatchedImages* const> parts) {
  std::vector<std::size_t> offsets(parts.size() + 1, 0);
  for (std::size_t p = 0; p < parts.size(); ++p) offsets[p + 1] = offsets[p] + parts[p]->images;
  return offsets;
}

MatchedImages poolMatches(std::span<const MatchedImages* const> parts) {
  MatchedImages out;
  if (parts.empty()) return out;
  const std::size_t areas = parts[0]->matches.areas;
  bool same = true;
  for (const MatchedImages* part : parts) {
    if (part->matches.areas != areas) {
      throw std::invalid_argument("the sequences were matched with other area ranges");
    }
    same = same && sameCategories(*part, *parts[0]);
  }

  // Each part's categories in the joined list.
  std::vector<std::vector<uint32_t>> joinedOf(parts.size());
  if (same) {
    out.categoryIds = parts[0]->categoryIds;
    out.categoryNames = parts[0]->categoryNames;
    for (std::size_t p = 0; p < parts.size(); ++p) {
      joinedOf[p].resize(out.categoryNames.size());
      for (uint32_t k = 0; k < joinedOf[p].size(); ++k) joinedOf[p][k] = k;
    }
  } else {
    std::unordered_map<std::string_view, uint32_t> byName;
    for (std::size_t p = 0; p < parts.size(); ++p) {
      for (const std::string& name : parts[p]->categoryNames) {
        const auto [at, added] = byName.emplace(name, static_cast<uint32_t>(byName.size()));
        if (added) out.categoryNames.push_back(name);
        joinedOf[p].push_back(at->second);
      }
    }
    for (std::size_t k = 0; k < out.categoryNames.size(); ++k) {
      out.categoryIds.push_back(static_cast<int64_t>(k + 1));
    }
  }
  const std::size_t categories = out.categoryNames.size();
  out.truthCount.assign(categories, 0);
  out.detectionCount.assign(categories, 0);
  const std::vector<std::size_t> offsets = imageOffsets(parts);
  out.images = offsets.back();

  // The part's category of each joined category (or none), and where its
  // cells are.
  constexpr uint32_t kNone = UINT32_MAX;
  std::vector<std::vector<uint32_t>> partCategory(parts.size(),
                                                  std::vector<uint32_t>(categories, kNone));
  std::vector<std::vector<std::size_t>> runs(parts.size());
  std::size_t cells = 0, detections = 0;
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const MatchedImages& part = *parts[p];
    for (uint32_t k = 0; k < joinedOf[p].size(); ++k) {
      partCategory[p][joinedOf[p][k]] = k;
      out.truthCount[joinedOf[p][k]] += part.truthCount[k];
      out.detectionCount[joinedOf[p][k]] += part.detectionCount[k];
    }
    runs[p] = categoryRuns(part.matches, part.categoryNames.size());
    cells += part.matches.cells();
    detections += part.matches.scores.size();
  }

  CocoMatches& joined = out.matches;
  joined.areas = areas;
  joined.category.reserve(cells);
  joined.image.reserve(cells);
  joined.begin.reserve(cells + 1);
  joined.scores.reserve(detections);
  joined.counted.reserve(cells * areas);
  joined.matched.reserve(detections * areas);
  joined.ignored.reserve(detections * areas);
  // Category by category, each part's cells of it in turn: (category,
  // image) order, the images of each part after those of the ones before.
  for (uint32_t k = 0; k < categories; ++k) {
    for (std::size_t p = 0; p < parts.size(); ++p) {
      const uint32_t own = partCategory[p][k];
      if (own == kNone) continue;
      const CocoMatches& m = parts[p]->matches;
      for (std::size_t c = runs[p][own]; c < runs[p][own + 1]; ++c) {
        joined.category.push_back(k);
        joined.image.push_back(static_cast<uint32_t>(m.image[c] + offsets[p]));
        joined.begin.push_back(static_cast<uint32_t>(joined.scores.size()));
        joined.scores.insert(joined.scores.end(), m.scores.begin() + m.begin[c],
                             m.scores.begin() + m.begin[c + 1]);
        joined.counted.insert(joined.counted.end(), m.counted.begin() + c * areas,
                              m.counted.begin() + (c + 1) * areas);
        joined.matched.insert(joined.matched.end(), m.matched.begin() + m.begin[c] * areas,
                              m.matched.begin() + m.begin[c + 1] * areas);
        joined.ignored.insert(joined.ignored.end(), m.ignored.begin() + m.begin[c] * areas,
                              m.ignored.begin() + m.begin[c + 1] * areas);
      }
    }
  }
  joined.begin.push_back(static_cast<uint32_t>(joined.scores.size()));
  return out;
}

CocoResult evaluateMatched(const MatchedImages& matched, const CocoParameters& parameters,
                           unsigned threads) {
  const std::size_t categories = matched.categoryNames.size();
  CocoResult result;
  if (matched.matches.cells() == 0 && matched.matches.areas != parameters.areaRanges.size()) {
    // Nothing matched (no sequence): the matches of no cells, in these ranges.
    CocoMatches none;
    none.areas = parameters.areaRanges.size();
    none.begin = {0};
    result = accumulateCoco(none, categories, parameters, threads);
  } else {
    result = accumulateCoco(matched.matches, categories, parameters, threads);
  }
  result.truthCount = matched.truthCount;
  result.detectionCount = matched.detectionCount;
  return result;
}

}  // namespace precision
