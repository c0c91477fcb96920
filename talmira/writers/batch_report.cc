#include "talmira/writers/batch_report.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <optional>
#include <set>
#include <stdexcept>

#include "talmira/pages/html_report.h"
#include "talmira/pages/sweep_plot.h"
#include "talmira/writers/batch_precision.h"
#include "talmira/writers/batch_tracking.h"
#include "talmira/writers/explain_report.h"
#include "talmira/writers/score_report.h"
#include "talmira/writers/sweep_report.h"

#ifndef TALMIRA_VERSION
#define TALMIRA_VERSION "unknown"
#endif

namespace talmira {

namespace {

constexpr const char* kPartialKind = "talmira batch partial";
constexpr int kPartialVersion = 1;

Json classesJson(const ClassSet& names, const std::vector<ClassCounts>& classes) {
  Json array = Json::array();
  for (std::size_t slot = 0; slot < classes.size(); ++slot) {
    array.push_back(classJson(names.row(slot), classes[slot]));
  }
  return array;
}

void addSourceJson(Json& json, const BatchSource& source) {
  if (source.list.empty()) {
    json["groundtruth_dir"] = source.groundTruthDir;
    json["system_dir"] = source.systemDir;
  } else {
    json["list"] = source.list;
  }
  json["confidence"] = jsonNumber(source.confidence);
  if (!source.reading.empty()) json["reading"] = source.reading;
  // Tracks are evaluated by their benchmark's rules, each sequence's named
  // with its figures: the counts' rules do not apply.
  if (!source.track) stateRules(json, source.rules);
  if (source.benchmark) json["benchmark"] = "mot";
  if (source.explain) json["near"] = jsonNumber(source.near);
  if (source.ap) json["ap"] = parametersJson(source.apParameters);
  if (source.track) {
    // Without -c every tracker box counts, as the evaluators use none.
    json["confidence"] =
        source.tracking.confidence ? jsonNumber(*source.tracking.confidence) : Json(nullptr);
    json["track"] = trackingSettingsJson(source.tracking);
  }
  if (source.sweep) {
    json["sweep"] = source.gridSteps > 0 ? Json{{"grid", source.gridSteps}} : Json{{"exact", true}};
  }
}

std::string sweepWords(const BatchSource& source) {
  return source.gridSteps > 0 ? "--sweep --grid " + std::to_string(source.gridSteps)
                              : std::string("--sweep --exact");
}

// The report of the pooled curves, as `talmira sweep` would make it of one
// pair: the same rows, sampling and best points.
SweepReport pooledSweepReport(const BatchResult& result) {
  return makeSweepReport("", "", result.classSet, result.pooledCurves, result.source.gridSteps);
}

Json bestPointsJson(const BatchSequence& s) {
  Json array = Json::array();
  for (std::size_t slot = 0; slot < s.best.size(); ++slot) {
    Json point{{"class", s.classSet->row(slot)}, {"frames", s.classes[slot].frames}};
    point.update(curvePointJson(s.best[slot]));
    array.push_back(std::move(point));
  }
  return array;
}

std::string describeSource(const BatchSource& source) {
  const std::string under =
      source.benchmark
          ? std::string(
                " (rules: mot, counted as the benchmark's evaluator counts, CLEAR at IoU "
                "0.5)")
      : source.rules.isDefault() ? std::string()
                                 : " (rules: " + rulesText(source.rules) + ")";
  if (!source.list.empty()) return source.list + under;
  return source.groundTruthDir + " against " + source.systemDir + under;
}

std::string csvRow(const std::string& sequence, std::string_view className, const ClassCounts& c) {
  return csvField(sequence) + "," + csvField(className) + "," + std::to_string(c.gt) + "," +
         std::to_string(c.det) + "," + std::to_string(c.fn) + "," + std::to_string(c.fp) + "," +
         std::to_string(c.frames) + "," + fixedSix(c.nmodta()) + "\n";
}

// Messages on one line, for the text summary.
std::string oneLine(std::string text) {
  for (std::size_t at; (at = text.find('\n')) != std::string::npos;) text.replace(at, 1, "; ");
  return text;
}

std::string failedLines(const BatchResult& result) {
  std::string text = "\nFailed:\n";
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) text += s.name + ": " + oneLine(s.error) + "\n";
  }
  return text;
}

std::string renderSweepTextOf(const BatchResult& result) {
  const std::size_t failed = failedCount(result.sequences);
  const std::size_t scored = result.sequences.size() - failed;
  std::string text = "Dataset " + describeSource(result.source) +
                     ", swept over every threshold: " + std::to_string(result.sequences.size()) +
                     " sequences";
  if (failed > 0) text += ", " + std::to_string(failed) + " failed (left out of the pool)";
  text +=
      "\n\nBest threshold of each class, pooled over " + std::to_string(scored) + " sequences:\n";
  text += renderSweepText(pooledSweepReport(result));
  text += "\nBest threshold of each sequence (class All):\n";
  std::vector<std::vector<std::string>> rows = {
      {"Sequence", "Best threshold", "GT", "Det", "FN", "FP", "Frames", "NMODTA"}};
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) {
      rows.push_back({s.name, "-", "-", "-", "-", "-", "-", "failed"});
      continue;
    }
    const CurvePoint& p = s.best[0];
    rows.push_back({s.name, shortestText(p.threshold), std::to_string(p.gt), std::to_string(p.det),
                    std::to_string(p.fn), std::to_string(p.fp), std::to_string(s.classes[0].frames),
                    fixedSix(p.nmodta())});
  }
  text += renderTable(rows);
  if (failed > 0) text += failedLines(result);
  return text;
}

// ---------------------------------------------------------------------------
// --explain

// The cause of most of a sequence's errors of All, misses first among
// equals, each side in its rules' order; "-" without errors.
std::string largestCause(const ClassExplanation& all) {
  std::string text = "-";
  int64_t most = 0;
  const auto consider = [&](int64_t count, const char* cause, const char* one, const char* many) {
    if (count <= most) return;
    most = count;
    text = std::string(cause) + ": " + std::to_string(count) + " " + (count == 1 ? one : many);
  };
  for (std::size_t k = 0; k < kMissCauseCount; ++k) {
    consider(all.misses[k], missCauseNames[k], "miss", "misses");
  }
  for (std::size_t k = 0; k < kFalseAlarmCauseCount; ++k) {
    consider(all.falseAlarms[k], falseAlarmCauseNames[k], "false alarm", "false alarms");
  }
  return text;
}

// The sequences whose errors of All cost the pooled NMODTA most: each error
// costs 1 / pooled GT, as a cause's errors do within a sequence.
std::string costliestSequences(const BatchResult& result, const ClassExplanation& pooledAll) {
  std::vector<const BatchSequence*> costly;
  for (const BatchSequence& s : result.sequences) {
    if (!s.failed() && s.classes[0].fn + s.classes[0].fp > 0) costly.push_back(&s);
  }
  // Stable: sequences of equal errors stay in list order.
  std::stable_sort(
      costly.begin(), costly.end(), [](const BatchSequence* a, const BatchSequence* b) {
        return a->classes[0].fn + a->classes[0].fp > b->classes[0].fn + b->classes[0].fp;
      });
  if (costly.size() > kWorstFrameCount) costly.resize(kWorstFrameCount);
  std::string text = "\nSequences that lost most points of All (cost = (FN + FP) / pooled GT):\n";
  if (costly.empty()) return text + "none: no sequence has an error\n";
  std::vector<std::vector<std::string>> rows = {{"Sequence", "FN", "FP", "Cost"}};
  for (const BatchSequence* s : costly) {
    const ClassCounts& c = s->classes[0];
    const std::optional<double> cost = pooledAll.cost(c.fn + c.fp);
    rows.push_back(
        {s->name, std::to_string(c.fn), std::to_string(c.fp), cost ? fixedSix(*cost) : "-"});
  }
  return text + renderTable(rows);
}

std::string renderExplainTextOf(const BatchResult& result) {
  const std::size_t failed = failedCount(result.sequences);
  const std::size_t scored = result.sequences.size() - failed;
  const Explanation pooled = pooledExplanation(result.sequences, result.classSet);
  std::string text = "Dataset " + describeSource(result.source) + ", confidence " +
                     shortestText(result.source.confidence) + ", near " +
                     shortestText(result.source.near) + ": " +
                     std::to_string(result.sequences.size()) + " sequences";
  if (failed > 0) text += ", " + std::to_string(failed) + " failed (left out of the totals)";
  text += "\n\nWhy points were lost, pooled over " + std::to_string(scored) + " sequences:\n";
  text += renderExplainTables(pooled);
  text += costliestSequences(result, pooled.classes[0]);
  text += "\nEach sequence (class All):\n";
  std::vector<std::vector<std::string>> rows = {
      {"Sequence", "GT", "Det", "FN", "FP", "Frames", "NMODTA"}};
  std::vector<std::string> causes = {"Largest cause"};
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) {
      rows.push_back({s.name, "-", "-", "-", "-", "-", "failed"});
      causes.emplace_back();
      continue;
    }
    const ClassCounts& c = s.classes[0];
    rows.push_back({s.name, std::to_string(c.gt), std::to_string(c.det), std::to_string(c.fn),
                    std::to_string(c.fp), std::to_string(c.frames), fixedSix(c.nmodta())});
    causes.push_back(largestCause(s.explanation->classes[0]));
  }
  // The causes are words: aligned left, after the numbers, whose column all
  // rows fill to the same width.
  const std::string table = renderTable(rows);
  std::size_t row = 0;
  for (std::size_t start = 0, end; (end = table.find('\n', start)) != std::string::npos;
       start = end + 1, ++row) {
    text += table.substr(start, end - start);
    if (!causes[row].empty()) text += "  " + causes[row];
    text += "\n";
  }
  if (failed > 0) text += failedLines(result);
  return text;
}

// Each sequence's rows of `talmira explain --format csv`, led by its name,
// then the pooled rows led by "(all)": one table for a script to group.
std::string renderExplainCsvOf(const BatchResult& result) {
  std::string text = "sequence,class,side,cause,count,cost\n";
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) continue;
    text += renderExplainCsvRows(*s.explanation, csvField(s.name) + ",");
  }
  return text +
         renderExplainCsvRows(pooledExplanation(result.sequences, result.classSet), "(all),");
}

Json explainedClassesJson(const Explanation& e) {
  Json classes = Json::array();
  for (std::size_t slot = 0; slot < e.classes.size(); ++slot) {
    classes.push_back(explainedClassJson(e.classSet->row(slot), e.classes[slot], e.frames));
  }
  return classes;
}

std::string renderText(const BatchResult& result) {
  if (result.source.ap) return renderPrecisionText(result);
  if (result.source.track) return renderTrackingText(result);
  if (result.source.sweep) return renderSweepTextOf(result);
  if (result.source.explain) return renderExplainTextOf(result);
  const std::size_t failed = failedCount(result.sequences);
  const std::size_t scored = result.sequences.size() - failed;
  std::string text = "Dataset " + describeSource(result.source) + ", confidence " +
                     shortestText(result.source.confidence) + ": " +
                     std::to_string(result.sequences.size()) + " sequences";
  if (failed > 0) text += ", " + std::to_string(failed) + " failed (left out of the totals)";
  text += "\n\nPooled over " + std::to_string(scored) + " sequences:\n";
  text += renderScoreText(*result.classSet, pooledCounts(result.sequences, *result.classSet));
  text += "\nEach sequence (class All):\n";
  std::vector<std::vector<std::string>> rows = {
      {"Sequence", "GT", "Det", "FN", "FP", "Frames", "NMODTA"}};
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) {
      rows.push_back({s.name, "-", "-", "-", "-", "-", "failed"});
      continue;
    }
    const ClassCounts& c = s.classes[0];
    rows.push_back({s.name, std::to_string(c.gt), std::to_string(c.det), std::to_string(c.fn),
                    std::to_string(c.fp), std::to_string(c.frames), fixedSix(c.nmodta())});
  }
  text += renderTable(rows);
  if (failed > 0) text += failedLines(result);
  return text;
}

std::string renderCsv(const BatchResult& result) {
  // With --sweep: the pooled curve's rows, as `talmira sweep` lists one
  // pair's, so that what reads one reads the other.
  if (result.source.sweep) return renderSweepCsv(pooledSweepReport(result));
  if (result.source.explain) return renderExplainCsvOf(result);
  if (result.source.ap) return renderPrecisionCsv(result);
  if (result.source.track) return renderTrackingCsv(result);
  // A failed sequence has no counts, so no rows; its message is on standard
  // error and in the JSON output.
  std::string text = "sequence,class,gt,det,fn,fp,frames,nmodta\n";
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) continue;
    for (std::size_t slot = 0; slot < s.classes.size(); ++slot) {
      text += csvRow(s.name, s.classSet->row(slot), s.classes[slot]);
    }
  }
  const std::vector<ClassCounts> pooled = pooledCounts(result.sequences, *result.classSet);
  for (std::size_t slot = 0; slot < pooled.size(); ++slot) {
    text += csvRow("(all)", result.classSet->row(slot), pooled[slot]);
  }
  return text;
}

Json batchJson(const BatchResult& result) {
  Json json = Json::object();
  addSourceJson(json, result.source);
  if (result.source.ap) {
    json.update(precisionJson(result));
    return json;
  }
  if (result.source.track) {
    json.update(trackingJson(result));
    return json;
  }
  Json sequences = Json::array();
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) {
      sequences.push_back(Json{{"sequence", s.name}, {"error", s.error}});
    } else if (result.source.sweep) {
      sequences.push_back(Json{{"sequence", s.name},
                               {"groundtruth", s.groundTruth},
                               {"system", s.system},
                               {"best", bestPointsJson(s)}});
    } else if (result.source.explain) {
      sequences.push_back(
          Json{{"sequence", s.name},
               {"groundtruth", s.groundTruth},
               {"system", s.system},
               {"classes", explainedClassesJson(*s.explanation)},
               {"confusion", confusionJson(*s.explanation->classSet, s.explanation->confusion)}});
    } else {
      sequences.push_back(Json{{"sequence", s.name},
                               {"groundtruth", s.groundTruth},
                               {"system", s.system},
                               {"classes", classesJson(*s.classSet, s.classes)}});
    }
  }
  json["sequences"] = std::move(sequences);
  const std::size_t failed = failedCount(result.sequences);
  if (result.source.explain) {
    const Explanation pooled = pooledExplanation(result.sequences, result.classSet);
    json["total"] = Json{{"sequences", result.sequences.size() - failed},
                         {"failed", failed},
                         {"classes", explainedClassesJson(pooled)},
                         {"confusion", confusionJson(*pooled.classSet, pooled.confusion)}};
    return json;
  }
  json["total"] =
      Json{{"sequences", result.sequences.size() - failed},
           {"failed", failed},
           {"classes",
            result.source.sweep
                ? sweepJson(pooledSweepReport(result)).at("classes")
                : classesJson(*result.classSet, pooledCounts(result.sequences, *result.classSet))}};
  return json;
}

// A partial's pooled curves: compact rows [threshold, gt, det, fn, fp], the
// threshold as its shortest text, which reads back as the same float; the
// classes by name ("All" first), each class's frames those of the pool.
Json poolJson(const CurvePool& pool) {
  Json classes = Json::array();
  const auto add = [&](const std::string& name, const ClassCurve& curve) {
    Json points = Json::array();
    for (const CurvePoint& p : curve.points) {
      points.push_back(Json::array({jsonNumber(p.threshold), p.gt, p.det, p.fn, p.fp}));
    }
    classes.push_back(
        Json{{"class", name}, {"frames", pool.frames}, {"points", std::move(points)}});
  };
  const auto all = pool.byClass.find(kEveryClass);
  add(std::string(kEveryClass), all != pool.byClass.end() ? all->second : addCurves({}));
  for (const auto& [name, curve] : pool.byClass) {
    if (name != kEveryClass) add(name, curve);
  }
  return classes;
}

CurvePoint pointOf(const Json& row) {
  CurvePoint p;
  p.threshold = static_cast<float>(row.at("threshold").get<double>());
  p.gt = row.at("gt").get<int64_t>();
  p.det = row.at("det").get<int64_t>();
  p.fn = row.at("fn").get<int64_t>();
  p.fp = row.at("fp").get<int64_t>();
  return p;
}

[[noreturn]] void notAPartial(const std::string& path, const std::string& why) {
  throw CommandError{kExitInputOrOutput, path + ": not a partial batch result: " + why};
}

// A partial's explanation of one sequence: every integer that the pooled
// outputs sum, the pairs' overlaps as their exact sums in units of 2^-26.
// The counts of each class are those of the sequence's "classes".
Json explanationPartJson(const Explanation& e) {
  Json classes = Json::array();
  for (std::size_t slot = 0; slot < e.classes.size(); ++slot) {
    const ClassExplanation& c = e.classes[slot];
    classes.push_back(Json{{"class", e.classSet->row(slot)},
                           {"misses", c.misses},
                           {"false_alarms", c.falseAlarms},
                           {"pairs", Json{{"count", c.pairs.count},
                                          {"overlap_units", c.pairs.overlapUnits},
                                          {"iou_units", c.pairs.iouUnits},
                                          {"histogram", c.pairs.histogram}}}});
  }
  // A small matrix whole, a large one as its cells that are not 0.
  Json confusion = Json::object();
  if (e.confusion.dense()) {
    confusion["matrix"] = e.confusion.square();
  } else {
    Json cells = Json::array();
    for (const Confusion::Cell& cell : e.confusion.nonZero()) {
      cells.push_back(Json::array({cell.truth, cell.system, cell.count}));
    }
    confusion["cells"] = std::move(cells);
  }
  confusion["set_aside"] = e.confusion.setAside;
  confusion["excluded"] = e.confusion.excluded;
  confusion["dropped_in_region"] = e.confusion.droppedInRegion;
  return Json{{"classes", std::move(classes)}, {"confusion", std::move(confusion)}};
}

// A count of a partial: a whole number from 0 up.
int64_t countOf(const Json& value, const std::string& path, const std::string& what) {
  if (!value.is_number_integer() || value.get<int64_t>() < 0) {
    notAPartial(path, what + " is not a count: " + value.dump());
  }
  return value.get<int64_t>();
}

template <std::size_t N>
std::array<int64_t, N> countsOf(const Json& array, const std::string& path,
                                const std::string& what) {
  if (!array.is_array() || array.size() != N) {
    notAPartial(path, what + " is not a list of " + std::to_string(N) + " counts");
  }
  std::array<int64_t, N> counts{};
  for (std::size_t i = 0; i < N; ++i) counts[i] = countOf(array[i], path, what);
  return counts;
}

std::vector<int64_t> countsOf(const Json& array, std::size_t n, const std::string& path,
                              const std::string& what) {
  if (!array.is_array() || array.size() != n) {
    notAPartial(path, what + " is not a list of " + std::to_string(n) + " counts");
  }
  std::vector<int64_t> counts(n);
  for (std::size_t i = 0; i < n; ++i) counts[i] = countOf(array[i], path, what);
  return counts;
}

// The sum of a partial's counts; -1, which no sum of counts equals, when it
// overflows (a damaged part) or a term is -1.
int64_t sumOf(const auto& counts) {
  int64_t sum = 0;
  for (const int64_t count : counts) {
    if (count < 0 || __builtin_add_overflow(sum, count, &sum)) return -1;
  }
  return sum;
}

// Reads explanationPartJson() back onto the sequence's counts, checking what
// the sums rely on: the causes add up to the misses and false alarms, the
// pairs to the matches, and the confusion matrix to All's counts.
std::shared_ptr<const Explanation> parseExplanation(const Json& json, const BatchSequence& s,
                                                    const std::string& path) {
  auto e = std::make_shared<Explanation>(s.classSet);
  e->frames = s.classes[0].frames;
  const Json& classes = json.at("classes");
  if (!classes.is_array() || classes.size() != s.classes.size()) {
    notAPartial(path, "the explanation of " + s.name + " does not have every class");
  }
  for (std::size_t slot = 0; slot < s.classes.size(); ++slot) {
    const Json& c = classes[slot];
    const std::string what =
        "the explanation of " + s.name + ", " + std::string(s.classSet->row(slot));
    if (c.at("class").get<std::string>() != s.classSet->row(slot)) {
      notAPartial(path, "the explanation of " + s.name + " has its classes out of order");
    }
    const ClassCounts& counts = s.classes[slot];
    if (counts.frames != e->frames) notAPartial(path, what + ": frames differ between classes");
    if (counts.gt < 0 || counts.det < 0 || counts.fn < 0 || counts.fp < 0 ||
        counts.fn > counts.gt || counts.fp > counts.det) {
      notAPartial(path, what + ": the counts are not those of a matching");
    }
    ClassExplanation& x = e->classes[slot];
    x.gt = counts.gt;
    x.det = counts.det;
    x.fn = counts.fn;
    x.fp = counts.fp;
    x.misses = countsOf<kMissCauseCount>(c.at("misses"), path, what + ", misses");
    x.falseAlarms =
        countsOf<kFalseAlarmCauseCount>(c.at("false_alarms"), path, what + ", false alarms");
    const Json& pairs = c.at("pairs");
    x.pairs.count = countOf(pairs.at("count"), path, what + ", pairs");
    x.pairs.overlapUnits = countOf(pairs.at("overlap_units"), path, what + ", overlap units");
    x.pairs.iouUnits = countOf(pairs.at("iou_units"), path, what + ", IoU units");
    x.pairs.histogram = countsOf<kOverlapBins>(pairs.at("histogram"), path, what + ", histogram");
    // An overlap or IoU is at most 1: 2^26 units.
    const int64_t mostUnits = x.pairs.count > (int64_t{1} << 36) ? -1 : x.pairs.count << 26;
    if (sumOf(x.misses) != x.fn || sumOf(x.falseAlarms) != x.fp || x.pairs.count != x.gt - x.fn ||
        sumOf(x.pairs.histogram) != x.pairs.count || mostUnits < 0 ||
        x.pairs.overlapUnits > mostUnits || x.pairs.iouUnits > mostUnits) {
      notAPartial(path, what + ": the causes or pairs do not add up to the counts");
    }
  }
  const Json& confusion = json.at("confusion");
  Confusion& m = e->confusion;  // of the sequence's classes
  const std::size_t size = m.size();
  const std::size_t none = m.none();
  // Each row's sum, each row's misses and the false alarms, which must add
  // up to the counts; a small matrix is written whole, a large one as cells.
  std::vector<int64_t> objects(none);
  std::vector<int64_t> missed(none);
  std::vector<int64_t> alarms;
  int64_t noneNone = 0;
  const auto take = [&](std::size_t row, std::size_t column, int64_t count) {
    m.add(row, column, count);
    if (row == none) {
      if (column == none) noneNone += count;
      alarms.push_back(count);
    } else {
      objects[row] = sumOf(std::array<int64_t, 2>{objects[row], count});
      if (column == none) missed[row] = count;
    }
  };
  if (confusion.contains("cells")) {
    for (const Json& cell : confusion.at("cells")) {
      if (!cell.is_array() || cell.size() != 3) {
        notAPartial(path,
                    "a cell of the confusion matrix of " + s.name + " is not [row, column, count]");
      }
      const int64_t row = countOf(cell[0], path, "a confusion row");
      const int64_t column = countOf(cell[1], path, "a confusion column");
      if (static_cast<uint64_t>(row) >= size || static_cast<uint64_t>(column) >= size) {
        notAPartial(path, "a cell of the confusion matrix of " + s.name + " is outside it");
      }
      take(static_cast<std::size_t>(row), static_cast<std::size_t>(column),
           countOf(cell[2], path, "the confusion matrix of " + s.name));
    }
  } else {
    const Json& matrix = confusion.at("matrix");
    if (!matrix.is_array() || matrix.size() != size) {
      notAPartial(
          path, "the confusion matrix of " + s.name + " is not " + std::to_string(size) + " rows");
    }
    for (std::size_t row = 0; row < size; ++row) {
      const std::vector<int64_t> cells =
          countsOf(matrix[row], size, path, "the confusion matrix of " + s.name);
      for (std::size_t column = 0; column < size; ++column) take(row, column, cells[column]);
    }
  }
  m.setAside = countOf(confusion.at("set_aside"), path, "set_aside");
  m.excluded = countOf(confusion.at("excluded"), path, "excluded");
  m.droppedInRegion = countOf(confusion.at("dropped_in_region"), path, "dropped_in_region");
  const ClassExplanation& all = e->classes[0];
  if (sumOf(objects) != all.gt || sumOf(missed) != all.fn || sumOf(alarms) != all.fp ||
      noneNone != 0) {
    notAPartial(path, "the confusion matrix of " + s.name + " does not add up to All's counts");
  }
  return e;
}

}  // namespace

namespace {

// The row of each of a sequence's rows in `classes`, which hold them all.
std::vector<std::size_t> rowsIn(const ClassSet& own, const ClassSet& classes) {
  std::vector<std::size_t> rows(own.rows());
  for (std::size_t slot = 0; slot < own.rows(); ++slot) {
    rows[slot] = &own == &classes ? slot : classes.rowOf(own.row(slot)).value();
  }
  return rows;
}

// `e` in the rows of `classes`, which hold every class of e's: a class it
// lacks has no boxes, so its counts, causes and pairs are all 0.
Explanation projected(const Explanation& e, const ClassSetPtr& classes) {
  if (*e.classSet == *classes) return e;
  Explanation out(classes);
  out.frames = e.frames;
  const std::vector<std::size_t> rowOf = rowsIn(*e.classSet, *classes);
  for (std::size_t slot = 0; slot < e.classes.size(); ++slot)
    out.classes[rowOf[slot]] = e.classes[slot];
  // The matrix's rows and columns are the classes (row - 1) and none.
  const auto index = [&](std::size_t at) {
    return at == e.confusion.none() ? out.confusion.none() : rowOf[at + 1] - 1;
  };
  for (const Confusion::Cell& cell : e.confusion.nonZero()) {
    out.confusion.add(index(cell.truth), index(cell.system), cell.count);
  }
  out.confusion.setAside = e.confusion.setAside;
  out.confusion.excluded = e.confusion.excluded;
  out.confusion.droppedInRegion = e.confusion.droppedInRegion;
  return out;
}

}  // namespace

std::vector<ClassCounts> pooledCounts(const std::vector<BatchSequence>& sequences,
                                      const ClassSet& classes) {
  std::vector<ClassCounts> pooled(classes.rows());
  for (const BatchSequence& s : sequences) {
    if (s.failed()) continue;
    // Every class counts the sequence's frames: a class it lacks has no boxes there.
    for (ClassCounts& row : pooled) row.frames += s.classes[0].frames;
    const std::vector<std::size_t> rows = rowsIn(*s.classSet, classes);
    for (std::size_t slot = 0; slot < s.classes.size(); ++slot) {
      ClassCounts& row = pooled[rows[slot]];
      row.gt += s.classes[slot].gt;
      row.det += s.classes[slot].det;
      row.fn += s.classes[slot].fn;
      row.fp += s.classes[slot].fp;
    }
  }
  return pooled;
}

Explanation pooledExplanation(const std::vector<BatchSequence>& sequences,
                              const ClassSetPtr& classes) {
  Explanation pooled(classes);
  for (const BatchSequence& s : sequences) {
    if (s.failed() || s.explanation == nullptr) continue;
    const Explanation e = projected(*s.explanation, classes);
    pooled.frames += e.frames;
    for (std::size_t slot = 0; slot < pooled.classes.size(); ++slot) {
      pooled.classes[slot] += e.classes[slot];
    }
    pooled.confusion += e.confusion;
  }
  return pooled;
}

void settleClasses(BatchResult& result, const CurvePool* pool) {
  // Every scored sequence's classes once, in list order; this format's ten
  // when they are all its files.
  std::vector<std::string> names;
  std::set<std::string, std::less<>> seen;
  bool standard = true;
  for (const BatchSequence& s : result.sequences) {
    if (s.failed()) continue;
    standard = standard && s.classSet->isStandard();
    for (const std::string& name : s.classSet->names()) {
      if (seen.insert(name).second) names.push_back(name);
    }
  }
  result.classSet = standard ? ClassSet::standard() : ClassSet::of(std::move(names));
  if (pool != nullptr) result.pooledCurves = pool->curvesOf(*result.classSet);
}

std::size_t failedCount(const std::vector<BatchSequence>& sequences) {
  std::size_t failed = 0;
  for (const BatchSequence& s : sequences) failed += s.failed() ? 1 : 0;
  return failed;
}

std::string renderBatch(const BatchResult& result, Format format) {
  switch (format) {
    case Format::kText:
      return renderText(result);
    case Format::kCsv:
      return renderCsv(result);
    case Format::kJson:
      return jsonText(batchJson(result));
  }
  return {};
}

std::string renderBatchReport(const BatchResult& result,
                              const std::vector<std::string>& viewPages) {
  DatasetReportInput input;
  input.list = describeSource(result.source);
  input.confidence = result.source.confidence;
  input.classSet = result.classSet;
  input.pooled = pooledCounts(result.sequences, *result.classSet);
  for (const BatchSequence& s : result.sequences) {
    input.sequences.push_back(DatasetSequenceRow{
        s.name,
        s.groundTruth,
        s.system,
        s.error,
        s.classes,
        result.source.sweep && !s.failed() ? std::optional(s.best[0]) : std::nullopt,
        {}});
    if (s.position < viewPages.size()) input.sequences.back().viewPage = viewPages[s.position];
  }
  if (result.source.sweep) input.pooledCurves = &result.pooledCurves;
  // The same words from batch and from merge, so that both give the same page.
  input.producedBy = "talmira " TALMIRA_VERSION " batch (confidence " +
                     shortestText(result.source.confidence) +
                     (result.source.sweep ? ", " + sweepWords(result.source) : "") + ")";
  return renderDatasetReport(input);
}

std::string renderBatchPlot(const BatchResult& result) {
  return renderSweepSvg(result.pooledCurves, "pooled over " + describeSource(result.source),
                        *result.classSet);
}

void CurvePool::add(const ClassSet& classes, const SweepCurves& curves) {
  // All classes or none: a sequence that fails here (out of memory) must not
  // be left half in the pool while it is reported as failed.
  std::vector<std::pair<std::string, ClassCurve>> sums;
  sums.reserve(curves.size());
  for (std::size_t slot = 0; slot < curves.size(); ++slot) {
    const std::string_view name = classes.row(slot);
    const auto found = byClass.find(name);
    sums.emplace_back(std::string(name), found == byClass.end()
                                             ? curves[slot]
                                             : addCurves({&found->second, &curves[slot]}));
  }
  for (auto& [name, curve] : sums) byClass.insert_or_assign(std::move(name), std::move(curve));
  frames += curves.empty() ? 0 : curves[0].frames;
}

void CurvePool::addAll(const std::vector<const CurvePool*>& pools) {
  // All the pools at once: a pool per sequence (as the Python module joins
  // them) must not make the sums be rebuilt once per pool.
  std::map<std::string, std::vector<const ClassCurve*>, std::less<>> curves;
  for (const auto& [name, curve] : byClass) curves[name].push_back(&curve);
  int64_t total = frames;
  for (const CurvePool* pool : pools) {
    for (const auto& [name, curve] : pool->byClass) curves[name].push_back(&curve);
    total += pool->frames;
  }
  std::map<std::string, ClassCurve, std::less<>> sums;
  for (const auto& [name, list] : curves) sums.emplace(name, addCurves(list));
  byClass = std::move(sums);
  frames = total;
}

SweepCurves CurvePool::curvesOf(const ClassSet& classes) const {
  SweepCurves out(classes.rows());
  for (std::size_t slot = 0; slot < classes.rows(); ++slot) {
    const auto found = byClass.find(classes.row(slot));
    out[slot] = found != byClass.end() ? found->second : addCurves({});
    // A class some sequences lack has no boxes there, and their frames.
    out[slot].frames = frames;
  }
  return out;
}

std::string digestOf(std::string_view bytes) {
  uint64_t hash = 0xcbf29ce484222325ULL;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
  return text;
}

std::string renderPartial(const BatchPart& part) {
  Json json = Json::object();
  json["kind"] = kPartialKind;
  json["version"] = kPartialVersion;
  json["partial"] = true;
  addSourceJson(json, part.source);
  if (part.source.explain) json["explain"] = true;
  json["list_digest"] = part.source.listDigest;
  json["sequence_count"] = part.source.sequenceCount;
  json["shard"] = std::to_string(part.shardIndex) + "/" + std::to_string(part.shardCount);
  Json positions = Json::array();
  for (const BatchSequence& s : part.sequences) positions.push_back(s.position);
  json["positions"] = std::move(positions);
  Json sequences = Json::array();
  for (const BatchSequence& s : part.sequences) {
    Json entry{{"position", s.position},
               {"sequence", s.name},
               {"groundtruth", s.groundTruth},
               {"system", s.system}};
    if (s.failed()) {
      entry["error"] = s.error;
    } else if (part.source.ap) {
      entry["precision"] = precisionPartJson(*s.precision);
    } else if (part.source.track) {
      entry["tracking"] = trackingPartJson(*s.tracking);
    } else {
      entry["classes"] = classesJson(*s.classSet, s.classes);
      if (part.source.sweep) entry["best"] = bestPointsJson(s);
      if (part.source.explain) entry["explanation"] = explanationPartJson(*s.explanation);
    }
    sequences.push_back(std::move(entry));
  }
  json["sequences"] = std::move(sequences);
  if (part.source.sweep) json["pooled_curves"] = poolJson(part.pooledCurves);
  return jsonText(json);
}

namespace {

// Reads poolJson() back, checking what the pooling relies on: each class
// once, its thresholds descending in [0, 1] from 1 down to 0.
CurvePool parsePool(const Json& classes, const std::string& path) {
  if (!classes.is_array() || classes.empty()) {
    notAPartial(path, "the pooled curves do not have every class");
  }
  CurvePool pool;
  for (std::size_t slot = 0; slot < classes.size(); ++slot) {
    const Json& c = classes[slot];
    const std::string name = c.at("class").get<std::string>();
    if (slot == 0 ? name != kEveryClass : name == kEveryClass) {
      notAPartial(path, "the pooled curves do not begin with All alone");
    }
    ClassCurve curve;
    curve.frames = c.at("frames").get<int64_t>();
    if (slot == 0) pool.frames = curve.frames;
    if (curve.frames != pool.frames) notAPartial(path, "the pooled curves' frames differ");
    for (const Json& row : c.at("points")) {
      if (!row.is_array() || row.size() != 5) {
        notAPartial(path, "a pooled curve row is not [threshold, gt, det, fn, fp]");
      }
      CurvePoint p{static_cast<float>(row[0].get<double>()), row[1].get<int64_t>(),
                   row[2].get<int64_t>(), row[3].get<int64_t>(), row[4].get<int64_t>()};
      if (!(p.threshold >= 0.0f && p.threshold <= 1.0f) ||
          (!curve.points.empty() && !(p.threshold < curve.points.back().threshold))) {
        notAPartial(path, "the pooled curve of " + name + " is not descending in [0, 1]");
      }
      curve.points.push_back(p);
    }
    if (curve.points.empty() || curve.points.front().threshold != 1.0f ||
        curve.points.back().threshold != 0.0f) {
      notAPartial(path, "the pooled curve of " + name + " does not run from 1 to 0");
    }
    if (!pool.byClass.emplace(name, std::move(curve)).second) {
      notAPartial(path, "the pooled curves hold " + name + " twice");
    }
  }
  return pool;
}

}  // namespace

// The rules a part states, as rulesJson() wrote them.
static ScoringRules rulesFromJson(const Json& json, const std::string& path) {
  ScoringRules rules;
  const std::optional<OverlapMeasure> overlap =
      overlapMeasureNamed(json.at("overlap").get<std::string>());
  if (!overlap) notAPartial(path, "rules " + json.dump() + " name no overlap measure");
  rules.overlap = *overlap;
  rules.minOverlap = static_cast<float>(json.at("min_overlap").get<double>());
  rules.regionCover = static_cast<float>(json.at("region_cover").get<double>());
  rules.minSide = json.at("min_side").get<double>();
  const std::string problem = rulesProblem(rules);
  if (!problem.empty()) notAPartial(path, "rules " + json.dump() + ": " + problem);
  return rules;
}

BatchPart parsePartial(const std::string& text, const std::string& path) {
  Json json;
  try {
    json = Json::parse(text);
  } catch (const Json::parse_error& e) {
    notAPartial(path, e.what());
  }
  BatchPart part;
  try {
    if (!json.is_object() || json.value("kind", "") != kPartialKind) {
      notAPartial(path, "it was not written by `talmira batch --shard`");
    }
    if (json.at("version").get<int>() != kPartialVersion) {
      notAPartial(path, "written by another version (" + json.at("version").dump() + ")");
    }
    BatchSource& source = part.source;
    if (json.contains("list")) {
      source.list = json.at("list").get<std::string>();
    } else {
      source.groundTruthDir = json.at("groundtruth_dir").get<std::string>();
      source.systemDir = json.at("system_dir").get<std::string>();
    }
    // The confidence was written as the shortest text of a float, so it reads
    // back as the same float.
    // A --track part without -c has none (every tracker box counts).
    const Json& confidence = json.at("confidence");
    source.confidence = confidence.is_null() && json.contains("track")
                            ? 0.0f
                            : static_cast<float>(confidence.get<double>());
    // Parts of runs that read files of this format have no "reading".
    source.reading = json.value("reading", "");
    // Parts written when the default rules went unstated have no "rules".
    if (json.contains("rules")) source.rules = rulesFromJson(json.at("rules"), path);
    // Parts counted as the benchmark's evaluator counts say so; others have none.
    if (json.contains("benchmark")) {
      if (json.at("benchmark") != "mot") {
        notAPartial(path, "benchmark " + json.at("benchmark").dump() + " is not mot");
      }
      source.benchmark = true;
    }
    if (json.contains("sweep")) {
      const Json& sweep = json.at("sweep");
      source.sweep = true;
      source.gridSteps = sweep.contains("grid") ? sweep.at("grid").get<int>() : 0;
      if (source.gridSteps < 0 || source.gridSteps > kMaxGridSteps ||
          (source.gridSteps == 0 && !sweep.value("exact", false))) {
        notAPartial(path, "sweep settings " + sweep.dump() + " are neither a grid nor exact");
      }
    }
    // Parts written before --ap have no "ap": they read as before.
    if (json.contains("ap")) {
      source.ap = true;
      source.apParameters = parametersFromJson(json.at("ap"), path);
      if (source.sweep) notAPartial(path, "it says both --sweep and --ap");
    }
    // Parts written before --track have no "track": they read as before.
    if (json.contains("track")) {
      source.track = true;
      source.tracking = trackingSettingsFromJson(json.at("track"), path);
      if (!json.at("confidence").is_null()) source.tracking.confidence = source.confidence;
      if (source.sweep) notAPartial(path, "it says both --sweep and --track");
      if (source.ap) notAPartial(path, "it says both --ap and --track");
    }
    // Parts written before --explain have no "explain": they read as before.
    if (json.value("explain", false)) {
      source.explain = true;
      source.near = static_cast<float>(json.at("near").get<double>());
      if (!(source.near >= 0.0f && source.near <= 1.0f)) {
        notAPartial(path, "near " + json.at("near").dump() + " is not from 0 to 1");
      }
      if (source.sweep) notAPartial(path, "it says both --sweep and --explain");
      if (source.ap) notAPartial(path, "it says both --explain and --ap");
      if (source.track) notAPartial(path, "it says both --explain and --track");
    }
    source.listDigest = json.at("list_digest").get<std::string>();
    source.sequenceCount = json.at("sequence_count").get<std::size_t>();
    const std::string shard = json.at("shard").get<std::string>();
    if (std::sscanf(shard.c_str(), "%zu/%zu", &part.shardIndex, &part.shardCount) != 2 ||
        part.shardIndex < 1 || part.shardIndex > part.shardCount) {
      notAPartial(path, "shard \"" + shard + "\" is not K/N");
    }
    const Json& positions = json.at("positions");
    const Json& sequences = json.at("sequences");
    if (!positions.is_array() || !sequences.is_array() || positions.size() != sequences.size()) {
      notAPartial(path, "the positions and the sequences do not agree");
    }
    for (std::size_t i = 0; i < sequences.size(); ++i) {
      const Json& entry = sequences[i];
      BatchSequence s;
      s.position = entry.at("position").get<std::size_t>();
      if (s.position != positions[i].get<std::size_t>() || s.position >= source.sequenceCount ||
          s.position % part.shardCount != part.shardIndex - 1) {
        notAPartial(path, "sequence " + std::to_string(i) + " has a wrong position");
      }
      s.name = entry.at("sequence").get<std::string>();
      s.groundTruth = entry.at("groundtruth").get<std::string>();
      s.system = entry.at("system").get<std::string>();
      if (entry.contains("error")) {
        s.error = entry.at("error").get<std::string>();
        if (s.error.empty()) notAPartial(path, "an empty error for " + s.name);
      } else if (source.ap) {
        s.precision = parsePrecisionPart(entry.at("precision"), source.apParameters, path, s.name);
      } else if (source.track) {
        s.tracking = parseTrackingPart(entry.at("tracking"), s, source.tracking, path);
      } else {
        // The sequence's classes are its rows after All.
        const Json& classes = entry.at("classes");
        if (!classes.is_array() || classes.empty() ||
            classes[0].at("class").get<std::string>() != kEveryClass) {
          notAPartial(path, "sequence " + s.name + " does not begin with All");
        }
        std::vector<std::string> names;
        for (std::size_t slot = 1; slot < classes.size(); ++slot) {
          names.push_back(classes[slot].at("class").get<std::string>());
        }
        if (const std::optional<std::string> problem = ClassSet::problemWith(names)) {
          notAPartial(path, "sequence " + s.name + ": " + *problem);
        }
        const bool standard = names.size() == knownClasses.size() &&
                              std::equal(names.begin(), names.end(), knownClasses.begin());
        s.classSet = standard ? ClassSet::standard() : ClassSet::of(std::move(names));
        s.classes.assign(classes.size(), ClassCounts{});
        for (std::size_t slot = 0; slot < classes.size(); ++slot) {
          const Json& c = classes[slot];
          s.classes[slot] = ClassCounts{c.at("gt").get<int64_t>(), c.at("det").get<int64_t>(),
                                        c.at("fn").get<int64_t>(), c.at("fp").get<int64_t>(),
                                        c.at("frames").get<int64_t>()};
        }
        if (source.sweep) {
          const Json& best = entry.at("best");
          if (!best.is_array() || best.size() != classes.size()) {
            notAPartial(path, "sequence " + s.name + " does not have a best point of every class");
          }
          s.best.assign(classes.size(), CurvePoint{});
          for (std::size_t slot = 0; slot < best.size(); ++slot) {
            if (best[slot].at("class").get<std::string>() != s.classSet->row(slot)) {
              notAPartial(path, "sequence " + s.name + " has its best points out of order");
            }
            s.best[slot] = pointOf(best[slot]);
          }
        }
        if (source.explain) s.explanation = parseExplanation(entry.at("explanation"), s, path);
      }
      part.sequences.push_back(std::move(s));
    }
    if (source.sweep) part.pooledCurves = parsePool(json.at("pooled_curves"), path);
  } catch (const Json::exception& e) {
    notAPartial(path, e.what());
  }
  return part;
}

namespace {

// `withRules`: the rules are named even when they are the defaults.
std::string describe(const BatchSource& s, bool withRules) {
  std::string text =
      s.list.empty() ? "folders " + s.groundTruthDir + " and " + s.systemDir : "list " + s.list;
  text += " (digest " + s.listDigest + ", " + std::to_string(s.sequenceCount) +
          " sequences) at confidence " + shortestText(s.confidence);
  if (!s.reading.empty()) text += " reading " + s.reading;
  if (withRules) text += " under the rules " + rulesText(s.rules);
  if (s.benchmark) text += " counted as the benchmark's evaluator counts";
  if (s.explain) return text + " with --explain --near " + shortestText(s.near);
  if (s.ap) return text + " with " + precisionWords(s.apParameters);
  if (s.track) return text + " with " + trackingWords(s.tracking);
  if (!s.sweep) return text + " without --sweep or --explain";
  return text + (s.gridSteps > 0 ? " with --sweep --grid " + std::to_string(s.gridSteps)
                                 : std::string(" with --sweep --exact"));
}

bool sameSource(const BatchSource& a, const BatchSource& b) {
  return a.list == b.list && a.groundTruthDir == b.groundTruthDir && a.systemDir == b.systemDir &&
         a.listDigest == b.listDigest && a.sequenceCount == b.sequenceCount &&
         a.confidence == b.confidence && a.sweep == b.sweep && a.gridSteps == b.gridSteps &&
         a.explain == b.explain && a.near == b.near && a.reading == b.reading &&
         a.rules == b.rules && a.benchmark == b.benchmark && a.ap == b.ap &&
         sameParameters(a.apParameters, b.apParameters) && a.track == b.track &&
         a.tracking == b.tracking;
}

[[noreturn]] void refuse(const std::string& message) {
  throw CommandError{kExitInputOrOutput, message};
}

}  // namespace

BatchResult joinParts(std::vector<BatchPart> parts, const std::vector<std::string>& names) {
  if (parts.empty() || names.size() != parts.size()) {
    throw CommandError{kExitInputOrOutput, "no parts to join"};
  }
  BatchResult result;
  // Position -> (sequence, index of its part). A map, not a table of the
  // announced size: a damaged part must not make merge allocate a table of
  // whatever size it claims.
  std::map<std::size_t, std::pair<const BatchSequence*, std::size_t>> held;
  for (std::size_t p = 0; p < parts.size(); ++p) {
    const std::string& path = names[p];
    const BatchPart& part = parts[p];
    if (p == 0) {
      result.source = part.source;
    } else if (!sameSource(part.source, result.source)) {
      const bool withRules = !part.source.rules.isDefault() || !result.source.rules.isDefault();
      refuse(path + " is a part of another run: " + describe(part.source, withRules) + ", where " +
             names[0] + " is of " + describe(result.source, withRules));
    }
    for (const BatchSequence& s : part.sequences) {
      const auto [at, inserted] = held.emplace(s.position, std::pair{&s, p});
      if (!inserted) {
        refuse(path + " and " + names[at->second.second] + " both hold position " +
               std::to_string(s.position) + " (" + s.name + ")");
      }
    }
  }
  const std::size_t count = result.source.sequenceCount;
  if (held.size() != count) {
    // Positions are all below the count (checked when read), so some are missing.
    std::string list;
    std::size_t shown = 0;
    std::size_t expected = 0;
    for (auto at = held.begin(); shown < 10 && expected < count; ++expected) {
      if (at != held.end() && at->first == expected) {
        ++at;
        continue;
      }
      list += (shown++ == 0 ? "" : ", ") + std::to_string(expected);
    }
    if (count - held.size() > shown) list += ", ...";
    std::string hint;
    std::set<std::size_t> counts;
    std::set<std::size_t> present;
    for (const BatchPart& part : parts) {
      counts.insert(part.shardCount);
      present.insert(part.shardIndex);
    }
    if (counts.size() == 1 && *counts.begin() <= 1000) {
      const std::size_t n = *counts.begin();
      std::string missing;
      std::size_t missingCount = 0;
      for (std::size_t k = 1; k <= n && k <= count; ++k) {
        if (present.count(k) != 0) continue;
        missing += (missingCount++ == 0 ? "" : ", ") + std::to_string(k) + "/" + std::to_string(n);
      }
      if (missingCount > 0)
        hint = "; missing shard" + std::string(missingCount > 1 ? "s " : " ") + missing;
    }
    refuse(std::to_string(count - held.size()) + " of " + std::to_string(count) +
           " positions are in no part (" + list + ")" + hint);
  }
  for (const auto& [position, entry] : held) result.sequences.push_back(*entry.first);
  // Each part holds its sequences' curves summed; summing the parts gives
  // the counts a single run sums, at the same thresholds.
  CurvePool pool;
  if (result.source.sweep) {
    std::vector<const CurvePool*> pools;
    for (const BatchPart& part : parts) pools.push_back(&part.pooledCurves);
    pool.addAll(pools);
  }
  settleClasses(result, result.source.sweep ? &pool : nullptr);
  settlePrecision(result, 1);
  settleTracking(result);
  return result;
}

CommandError sequencesFailed(const char* command, std::size_t failed, std::size_t total) {
  return CommandError{kExitInputOrOutput, std::string(command) + ": " + std::to_string(failed) +
                                              " of " + std::to_string(total) +
                                              " sequences failed; they are left out of the totals"};
}

}  // namespace talmira
