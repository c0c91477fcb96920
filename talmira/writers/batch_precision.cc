#include "talmira/writers/batch_precision.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>
#include <numeric>

#include "talmira/writers/ap_report.h"
#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

// A figure for people: three decimals, or "-" where there is none.
std::string figureText(double value) {
  if (value <= -1) return "-";
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", value);
  return text;
}

std::size_t sumOf(const std::vector<std::size_t>& counts) {
  return std::accumulate(counts.begin(), counts.end(), std::size_t{0});
}

std::size_t failedOf(const BatchResult& result) {
  std::size_t failed = 0;
  for (const BatchSequence& s : result.sequences) failed += s.failed() ? 1 : 0;
  return failed;
}

std::string sourceText(const BatchSource& source) {
  return source.list.empty() ? source.groundTruthDir + " against " + source.systemDir : source.list;
}

// The pooled categories as the ap writers take them: an image set of no
// images in those categories.
precision::ImageSet categoriesOf(const BatchResult::PooledPrecision& pooled) {
  precision::ImageSet set;
  set.categoryIds = pooled.categoryIds;
  set.categoryNames = pooled.categoryNames;
  return set;
}

std::string figuresCsv(const std::array<double, 12>& figures) {
  std::string text;
  for (const double value : figures) {
    text += ',';
    text += shortestDouble(value);
  }
  return text;
}

Json figuresJson(const std::array<double, 12>& figures) {
  Json json = Json::object();
  for (std::size_t k = 0; k < figures.size(); ++k) json[kFigureKeys[k]] = figures[k];
  return json;
}

Json categoriesJson(const std::vector<int64_t>& ids, const std::vector<std::string>& names,
                    const std::vector<std::array<double, 12>>& figures,
                    const std::vector<std::size_t>& truths,
                    const std::vector<std::size_t>& detections) {
  Json categories = Json::array();
  for (std::size_t k = 0; k < names.size(); ++k) {
    Json c{{"id", ids[k]}, {"name", names[k]}};
    c.update(figuresJson(figures[k]));
    c["ground_truth"] = truths[k];
    c["detections"] = detections[k];
    categories.push_back(std::move(c));
  }
  return categories;
}

std::vector<std::array<double, 12>> everyCategory(const precision::CocoResult& result) {
  std::vector<std::array<double, 12>> figures;
  for (std::size_t k = 0; k < result.categories; ++k) {
    figures.push_back(categoryFigures(result, k));
  }
  return figures;
}

[[noreturn]] void notAPart(const std::string& path, const std::string& why) {
  throw CommandError{kExitInputOrOutput, path + ": not a partial batch result: " + why};
}

// Numbers in a string, separated by one space each.
template <typename Number>
std::string numbersText(const std::vector<Number>& numbers) {
  std::string text;
  text.reserve(numbers.size() * 4);
  char buffer[32];
  for (std::size_t k = 0; k < numbers.size(); ++k) {
    if (k > 0) text += ' ';
    const auto end = std::to_chars(buffer, buffer + sizeof buffer, numbers[k]).ptr;
    text.append(buffer, end);
  }
  return text;
}

template <typename Number>
std::vector<Number> numbersOf(const Json& json, const std::string& path, const std::string& what) {
  if (!json.is_string()) notAPart(path, what + " is not a string of numbers");
  const std::string& text = json.get_ref<const std::string&>();
  std::vector<Number> numbers;
  const char* at = text.data();
  const char* const end = text.data() + text.size();
  while (at < end) {
    if (!numbers.empty()) {
      if (*at != ' ') notAPart(path, what + " is not numbers separated by spaces");
      ++at;
    }
    Number value{};
    const auto [next, error] = std::from_chars(at, end, value);
    if (error != std::errc{} || next == at) notAPart(path, what + " holds something not a number");
    if constexpr (std::is_floating_point_v<Number>) {
      if (!std::isfinite(value)) notAPart(path, what + " holds a number that is not finite");
    }
    numbers.push_back(value);
    at = next;
  }
  return numbers;
}

}  // namespace

std::shared_ptr<const SequencePrecision> sequencePrecision(
    precision::MatchedImages matched, std::vector<std::string> warnings,
    const precision::CocoParameters& parameters) {
  auto out = std::make_shared<SequencePrecision>();
  const precision::CocoResult result = precision::evaluateMatched(matched, parameters, 1);
  out->stats = result.stats;
  out->categories = everyCategory(result);
  out->matched = std::move(matched);
  out->warnings = std::move(warnings);
  return out;
}

void settlePrecision(BatchResult& result, unsigned threads) {
  if (!result.source.ap) return;
  std::vector<const precision::MatchedImages*> parts;
  for (const BatchSequence& s : result.sequences) {
    if (!s.failed() && s.precision != nullptr) parts.push_back(&s.precision->matched);
  }
  precision::MatchedImages pooled = precision::poolMatches(parts);
  auto out = std::make_shared<BatchResult::PooledPrecision>();
  out->result = precision::evaluateMatched(pooled, result.source.apParameters, threads);
  out->categoryIds = std::move(pooled.categoryIds);
  out->categoryNames = std::move(pooled.categoryNames);
  out->images = pooled.images;
  result.pooledPrecision = std::move(out);
}

std::string renderPrecisionText(const BatchResult& result) {
  const BatchResult::PooledPrecision& pooled = *result.pooledPrecision;
  const std::size_t failed = failedOf(result);
  const std::size_t scored = result.sequences.size() - failed;
  std::string text = "Dataset " + sourceText(result.source) +
                     ", average precision (COCO), confidence " +
                     shortestText(result.source.confidence) + ": " +
                     std::to_string(result.sequences.size()) + " sequences";
  if (failed > 0) text += ", " + std::to_string(failed) + " failed (left out of the pool)";
  text += "\n\nPooled over " + std::to_string(scored) + " sequences (" +
          std::to_string(pooled.images) + " images, sequence by sequence):\n";
  text += renderCocoText(pooled.result, categoriesOf(pooled));
  text += "\nEach sequence:\n";
  std::vector<std::vector<std::string>> rows = {
      {"Sequence", "Images", "GT", "Det", "AP", "AP50", "AP75", "AR100"}};
  std::string failures;
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) {
      rows.push_back({s.name, "-", "-", "-", "-", "-", "-", "failed"});
      std::string message = s.error;
      for (std::size_t at; (at = message.find('\n')) != std::string::npos;) {
        message.replace(at, 1, "; ");
      }
      failures += s.name + ": " + message + "\n";
      continue;
    }
    const SequencePrecision& p = *s.precision;
    rows.push_back({s.name, std::to_string(p.matched.images),
                    std::to_string(sumOf(p.matched.truthCount)),
                    std::to_string(sumOf(p.matched.detectionCount)), figureText(p.stats[0]),
                    figureText(p.stats[1]), figureText(p.stats[2]), figureText(p.stats[8])});
  }
  text += renderTable(rows);
  if (!failures.empty()) text += "\nFailed:\n" + failures;
  return text;
}

std::string renderPrecisionCsv(const BatchResult& result) {
  std::string text = "sequence,category_id,category";
  for (const char* key : kFigureKeys) text += std::string(",") + key;
  text += ",ground_truth,detections\n";
  const auto rows = [&](const std::string& sequence, const std::array<double, 12>& all,
                        const std::vector<int64_t>& ids, const std::vector<std::string>& names,
                        const std::vector<std::array<double, 12>>& figures,
                        const std::vector<std::size_t>& truths,
                        const std::vector<std::size_t>& detections) {
    const std::string lead = csvField(sequence) + ",";
    text += lead + ",All" + figuresCsv(all) + "," + std::to_string(sumOf(truths)) + "," +
            std::to_string(sumOf(detections)) + "\n";
    for (std::size_t k = 0; k < names.size(); ++k) {
      text += lead + std::to_string(ids[k]) + "," + csvField(names[k]) + figuresCsv(figures[k]) +
              "," + std::to_string(truths[k]) + "," + std::to_string(detections[k]) + "\n";
    }
  };
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) continue;
    const SequencePrecision& p = *s.precision;
    rows(s.name, p.stats, p.matched.categoryIds, p.matched.categoryNames, p.categories,
         p.matched.truthCount, p.matched.detectionCount);
  }
  const BatchResult::PooledPrecision& pooled = *result.pooledPrecision;
  rows("(all)", pooled.result.stats, pooled.categoryIds, pooled.categoryNames,
       everyCategory(pooled.result), pooled.result.truthCount, pooled.result.detectionCount);
  return text;
}

Json precisionJson(const BatchResult& result) {
  Json sequences = Json::array();
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) {
      sequences.push_back(Json{{"sequence", s.name}, {"error", s.error}});
      continue;
    }
    const SequencePrecision& p = *s.precision;
    const precision::MatchedImages& m = p.matched;
    sequences.push_back(
        Json{{"sequence", s.name},
             {"groundtruth", s.groundTruth},
             {"system", s.system},
             {"images", m.images},
             {"ground_truth", sumOf(m.truthCount)},
             {"detections", sumOf(m.detectionCount)},
             {"stats", p.stats},
             {"categories", categoriesJson(m.categoryIds, m.categoryNames, p.categories,
                                           m.truthCount, m.detectionCount)},
             {"warnings", p.warnings}});
  }
  const BatchResult::PooledPrecision& pooled = *result.pooledPrecision;
  const std::size_t failed = failedOf(result);
  const Json coco = cocoJson(pooled.result, categoriesOf(pooled), false);
  Json total{{"sequences", result.sequences.size() - failed},
             {"failed", failed},
             {"images", pooled.images},
             {"ground_truth", sumOf(pooled.result.truthCount)},
             {"detections", sumOf(pooled.result.detectionCount)},
             {"stats", coco.at("stats")},
             {"summary", coco.at("summary")},
             {"categories",
              categoriesJson(pooled.categoryIds, pooled.categoryNames, everyCategory(pooled.result),
                             pooled.result.truthCount, pooled.result.detectionCount)}};
  return Json{{"sequences", std::move(sequences)}, {"total", std::move(total)}};
}

Json parametersJson(const precision::CocoParameters& parameters) {
  Json areas = Json::array();
  for (const precision::AreaRange& range : parameters.areaRanges) {
    areas.push_back({{"label", range.label}, {"low", range.low}, {"high", range.high}});
  }
  return Json{{"protocol", "coco"},
              {"iou_thresholds", parameters.iouThresholds},
              {"max_detections", parameters.maxDetections},
              {"area_ranges", std::move(areas)}};
}

precision::CocoParameters parametersFromJson(const Json& json, const std::string& path) {
  precision::CocoParameters parameters = precision::CocoParameters::standard();
  try {
    if (json.at("protocol").get<std::string>() != "coco") {
      notAPart(path, "the average precision is not COCO's");
    }
    parameters.iouThresholds = json.at("iou_thresholds").get<std::vector<double>>();
    parameters.maxDetections = json.at("max_detections").get<std::vector<int>>();
    parameters.areaRanges.clear();
    for (const Json& range : json.at("area_ranges")) {
      parameters.areaRanges.push_back({range.at("label").get<std::string>(),
                                       range.at("low").get<double>(),
                                       range.at("high").get<double>()});
    }
  } catch (const Json::exception& e) {
    notAPart(path, std::string("its average precision's parameters: ") + e.what());
  }
  bool fine = !parameters.iouThresholds.empty() && parameters.iouThresholds.size() <= 64 &&
              !parameters.maxDetections.empty() && !parameters.areaRanges.empty();
  for (const double t : parameters.iouThresholds) fine = fine && t >= 0 && t <= 1;
  for (const int m : parameters.maxDetections) fine = fine && m >= 0;
  for (const precision::AreaRange& range : parameters.areaRanges) {
    fine = fine && range.low <= range.high;
  }
  if (!fine) notAPart(path, "its average precision's parameters are out of range");
  return parameters;
}

bool sameParameters(const precision::CocoParameters& a, const precision::CocoParameters& b) {
  if (a.iouThresholds != b.iouThresholds || a.recallThresholds != b.recallThresholds ||
      a.maxDetections != b.maxDetections || a.areaRanges.size() != b.areaRanges.size()) {
    return false;
  }
  for (std::size_t k = 0; k < a.areaRanges.size(); ++k) {
    const precision::AreaRange& x = a.areaRanges[k];
    const precision::AreaRange& y = b.areaRanges[k];
    if (x.label != y.label || x.low != y.low || x.high != y.high) return false;
  }
  return true;
}

std::string precisionWords(const precision::CocoParameters& parameters) {
  std::string words = "--ap";
  if (sameParameters(parameters, precision::CocoParameters::standard())) return words;
  const auto list = [](const auto& values) {
    std::string text;
    for (const auto& v : values) {
      if (!text.empty()) text += ',';
      if constexpr (std::is_floating_point_v<std::decay_t<decltype(v)>>) {
        text += shortestDouble(v);
      } else {
        text += std::to_string(v);
      }
    }
    return text;
  };
  words += " --iou-thresholds " + list(parameters.iouThresholds);
  words += " --max-dets " + list(parameters.maxDetections);
  std::string areas;
  for (const precision::AreaRange& range : parameters.areaRanges) {
    areas += (areas.empty() ? "" : ",") + range.label + "=" + shortestDouble(range.low) + ":" +
             shortestDouble(range.high);
  }
  return words + " --area-ranges " + areas;
}

Json precisionPartJson(const SequencePrecision& p) {
  const precision::MatchedImages& m = p.matched;
  Json categories = Json::array();
  for (std::size_t k = 0; k < m.categoryNames.size(); ++k) {
    categories.push_back(
        Json::array({m.categoryIds[k], m.categoryNames[k], m.truthCount[k], m.detectionCount[k]}));
  }
  const precision::CocoMatches& c = m.matches;
  std::vector<uint32_t> cells;
  cells.reserve(c.cells() * 3);
  for (std::size_t k = 0; k < c.cells(); ++k) {
    cells.insert(cells.end(), {c.category[k], c.image[k], c.begin[k + 1] - c.begin[k]});
  }
  return Json{{"images", m.images},
              {"categories", std::move(categories)},
              {"warnings", p.warnings},
              {"cells", numbersText(cells)},
              {"scores", numbersText(c.scores)},
              {"counted", numbersText(c.counted)},
              {"matched", numbersText(c.matched)},
              {"ignored", numbersText(c.ignored)}};
}

std::shared_ptr<const SequencePrecision> parsePrecisionPart(
    const Json& json, const precision::CocoParameters& parameters, const std::string& path,
    const std::string& sequence) {
  const std::string of = "the matches of " + sequence;
  precision::MatchedImages m;
  std::vector<std::string> warnings;
  std::vector<uint32_t> cells;
  precision::CocoMatches& c = m.matches;
  try {
    m.images = json.at("images").get<std::size_t>();
    for (const Json& category : json.at("categories")) {
      if (!category.is_array() || category.size() != 4) {
        notAPart(path, of + ": a category is not [id, name, ground truth, detections]");
      }
      m.categoryIds.push_back(category[0].get<int64_t>());
      m.categoryNames.push_back(category[1].get<std::string>());
      m.truthCount.push_back(category[2].get<std::size_t>());
      m.detectionCount.push_back(category[3].get<std::size_t>());
    }
    warnings = json.at("warnings").get<std::vector<std::string>>();
    cells = numbersOf<uint32_t>(json.at("cells"), path, of + ", cells");
    c.scores = numbersOf<double>(json.at("scores"), path, of + ", scores");
    c.counted = numbersOf<uint32_t>(json.at("counted"), path, of + ", counted");
    c.matched = numbersOf<uint64_t>(json.at("matched"), path, of + ", matched");
    c.ignored = numbersOf<uint64_t>(json.at("ignored"), path, of + ", ignored");
  } catch (const Json::exception& e) {
    notAPart(path, of + ": " + e.what());
  }
  // Everything the pooling and the accumulation index by, checked.
  const std::size_t areas = parameters.areaRanges.size();
  const std::size_t categories = m.categoryNames.size();
  const std::size_t cut = static_cast<std::size_t>(parameters.maxDetections.back());
  if (m.images > std::numeric_limits<uint32_t>::max() || cells.size() % 3 != 0) {
    notAPart(path, of + ": the images or cells are not whole");
  }
  c.areas = areas;
  const std::size_t count = cells.size() / 3;
  c.begin.push_back(0);
  uint64_t previous = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const uint32_t category = cells[3 * k], image = cells[3 * k + 1], kept = cells[3 * k + 2];
    const uint64_t key = (static_cast<uint64_t>(category) << 32 | image) + 1;
    if (category >= categories || image >= m.images || key <= previous || kept > cut) {
      notAPart(path, of + ": cell " + std::to_string(k) + " is out of place");
    }
    previous = key;
    c.category.push_back(category);
    c.image.push_back(image);
    c.begin.push_back(c.begin.back() + kept);
  }
  const std::size_t detections = c.begin.back();
  const uint64_t thresholds = parameters.iouThresholds.size();
  const uint64_t limit = thresholds == 64 ? ~uint64_t{0} : (uint64_t{1} << thresholds) - 1;
  bool fine = c.scores.size() == detections && c.counted.size() == count * areas &&
              c.matched.size() == detections * areas && c.ignored.size() == detections * areas;
  for (std::size_t k = 0; fine && k < c.matched.size(); ++k) {
    fine = c.matched[k] <= limit && c.ignored[k] <= limit;
  }
  if (!fine) notAPart(path, of + ": its lists do not agree with its cells");
  return sequencePrecision(std::move(m), std::move(warnings), parameters);
}

}  // namespace talmira
