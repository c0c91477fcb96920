#include "talmira/writers/explain_report.h"

#include <cmath>
#include <vector>

#include "talmira/writers/score_report.h"

namespace talmira {

namespace {

// A class says something when it has objects or false alarms.
bool worthShowing(const ClassExplanation& c) { return c.gt > 0 || c.fp > 0; }

std::string costText(const ClassExplanation& c, int64_t errors) {
  const std::optional<double> cost = c.cost(errors);
  return cost ? fixedSix(*cost) : "";
}

// A mean of the pairs, or "-" without pairs.
std::string meanText(double mean) { return std::isnan(mean) ? "-" : fixedSix(mean); }

Json optionalMean(double mean) { return std::isnan(mean) ? Json(nullptr) : Json(mean); }

// Whether the class of a confusion slot appears anywhere in its row or column.
bool confusionSlotUsed(const Confusion& confusion, std::size_t slot) {
  for (std::size_t other = 0; other < kConfusionSize; ++other) {
    if (confusion.cells[slot][other] != 0 || confusion.cells[other][slot] != 0) return true;
  }
  return false;
}

std::string frameTable(const std::vector<FrameSummary>& frames) {
  std::vector<std::vector<std::string>> rows = {{"Frame", "Line", "GT", "Det", "FN", "FP"}};
  for (const FrameSummary& f : frames) {
    rows.push_back({std::to_string(f.frame), std::to_string(f.line), std::to_string(f.gt),
                    std::to_string(f.det), std::to_string(f.fn), std::to_string(f.fp)});
  }
  return renderTable(rows, 0);
}

}  // namespace

const char* confusionLabel(std::size_t slot) {
  return slot < knownClasses.size() ? knownClasses[slot].data() : "none";
}

std::string renderExplainTables(const Explanation& e) {
  std::string text;
  std::vector<std::vector<std::string>> counts = {
      {"Class", "GT", "Det", "FN", "FP", "NMODTA", "Lost", "Pairs", "Mean overlap", "Mean IoU"}};
  std::vector<std::vector<std::string>> causes = {{"Class", "Error", "Cause", "Count", "Cost"}};
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const ClassExplanation& c = e.classes[slot];
    if (!worthShowing(c)) continue;
    const char* name = evaluationClasses[slot];
    counts.push_back({name, std::to_string(c.gt), std::to_string(c.det), std::to_string(c.fn),
                      std::to_string(c.fp), fixedSix(c.nmodta()), costText(c, c.fn + c.fp),
                      std::to_string(c.pairs.count), meanText(c.pairs.meanOverlap()),
                      meanText(c.pairs.meanIou())});
    for (std::size_t k = 0; k < kMissCauseCount; ++k) {
      if (c.misses[k] == 0) continue;
      causes.push_back(
          {name, "miss", missCauseNames[k], std::to_string(c.misses[k]), costText(c, c.misses[k])});
    }
    for (std::size_t k = 0; k < kFalseAlarmCauseCount; ++k) {
      if (c.falseAlarms[k] == 0) continue;
      causes.push_back({name, "false alarm", falseAlarmCauseNames[k],
                        std::to_string(c.falseAlarms[k]), costText(c, c.falseAlarms[k])});
    }
  }
  if (counts.size() == 1) {
    text += "No class has objects or false alarms.\n";
  } else {
    text += renderTable(counts);
    text += "\nPoints lost, by cause (cost = count / GT, what fixing them would add to NMODTA):\n";
    text += causes.size() == 1 ? "none\n" : renderTable(causes, 3);
  }

  // Only the classes that appear, so that the matrix fits a terminal.
  const Confusion& confusion = e.confusion;
  std::vector<std::size_t> used;
  for (std::size_t slot = 0; slot < kConfusionSize; ++slot) {
    if (confusionSlotUsed(confusion, slot)) used.push_back(slot);
  }
  text +=
      "\nConfusion matrix of All (rows: ground truth, columns: system output; none: unpaired):\n";
  if (used.empty()) {
    text += "empty\n";
  } else {
    std::vector<std::vector<std::string>> matrix(1, std::vector<std::string>{""});
    for (const std::size_t column : used) matrix[0].push_back(confusionLabel(column));
    for (const std::size_t row : used) {
      std::vector<std::string> cells = {confusionLabel(row)};
      for (const std::size_t column : used) {
        cells.push_back(row == kConfusionNone && column == kConfusionNone
                            ? "-"
                            : std::to_string(confusion.cells[row][column]));
      }
      matrix.push_back(std::move(cells));
    }
    text += renderTable(matrix);
  }
  text += "Not in the matrix: " + std::to_string(confusion.setAside) + " set aside, " +
          std::to_string(confusion.excluded) + " excluded, " +
          std::to_string(confusion.droppedInRegion) + " dropped in a don't-care region.\n";
  return text;
}

std::string renderExplainText(const ExplainReport& report) {
  const Explanation& e = report.explanation;
  std::string text = "Why points were lost: " + report.groundTruth + " against " + report.system +
                     ", confidence " + shortestText(report.confidence) + ", near " +
                     shortestText(report.near) + "\n\n";
  text += renderExplainTables(e);

  const std::vector<FrameSummary> worst = worstFrames(e.timeline, kWorstFrameCount);
  text += "\nWorst frames (most FN + FP of All):\n";
  text += worst.empty() ? "none: no frame has an error\n" : frameTable(worst);
  return text;
}

std::string renderExplainCsv(const ExplainReport& report) {
  return "class,side,cause,count,cost\n" + renderExplainCsvRows(report.explanation.classes, "");
}

std::string renderExplainCsvRows(const std::array<ClassExplanation, kClassCount>& classes,
                                 const std::string& prefix) {
  std::string text;
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    const ClassExplanation& c = classes[slot];
    const std::string name = prefix + evaluationClasses[slot];
    for (std::size_t k = 0; k < kMissCauseCount; ++k) {
      text += name + ",miss," + missCauseNames[k] + "," + std::to_string(c.misses[k]) + "," +
              costText(c, c.misses[k]) + "\n";
    }
    for (std::size_t k = 0; k < kFalseAlarmCauseCount; ++k) {
      text += name + ",false_alarm," + falseAlarmCauseNames[k] + "," +
              std::to_string(c.falseAlarms[k]) + "," + costText(c, c.falseAlarms[k]) + "\n";
    }
  }
  return text;
}

Json explainedClassJson(const char* className, const ClassExplanation& c, int64_t frames) {
  Json misses = Json::object(), falseAlarms = Json::object();
  Json missCosts = Json::object(), falseAlarmCosts = Json::object();
  for (std::size_t k = 0; k < kMissCauseCount; ++k) {
    misses[missCauseNames[k]] = c.misses[k];
    missCosts[missCauseNames[k]] = optionalJson(c.cost(c.misses[k]));
  }
  for (std::size_t k = 0; k < kFalseAlarmCauseCount; ++k) {
    falseAlarms[falseAlarmCauseNames[k]] = c.falseAlarms[k];
    falseAlarmCosts[falseAlarmCauseNames[k]] = optionalJson(c.cost(c.falseAlarms[k]));
  }
  return Json{{"class", className},
              {"gt", c.gt},
              {"det", c.det},
              {"fn", c.fn},
              {"fp", c.fp},
              {"frames", frames},
              {"nmodta", jsonNumber(c.nmodta())},
              {"misses", std::move(misses)},
              {"false_alarms", std::move(falseAlarms)},
              {"costs", Json{{"misses", std::move(missCosts)},
                             {"false_alarms", std::move(falseAlarmCosts)}}},
              {"pairs", Json{{"count", c.pairs.count},
                             {"mean_overlap", optionalMean(c.pairs.meanOverlap())},
                             {"mean_iou", optionalMean(c.pairs.meanIou())},
                             {"histogram", c.pairs.histogram}}}};
}

Json confusionJson(const Confusion& confusion) {
  Json labels = Json::array();
  for (std::size_t slot = 0; slot < kConfusionSize; ++slot) labels.push_back(confusionLabel(slot));
  return Json{{"labels", std::move(labels)},
              {"matrix", confusion.cells},
              {"set_aside", confusion.setAside},
              {"excluded", confusion.excluded},
              {"dropped_in_region", confusion.droppedInRegion}};
}

Json explainJson(const ExplainReport& report) {
  const Explanation& e = report.explanation;
  Json classes = Json::array();
  for (std::size_t slot = 0; slot < kClassCount; ++slot) {
    classes.push_back(explainedClassJson(evaluationClasses[slot], e.classes[slot], e.frames));
  }
  Json frames = Json::array();
  for (const FrameSummary& f : e.timeline) {
    frames.push_back(Json{{"frame", f.frame},
                          {"line", f.line},
                          {"gt", f.gt},
                          {"det", f.det},
                          {"fn", f.fn},
                          {"fp", f.fp}});
  }
  return Json{{"groundtruth", report.groundTruth},
              {"system", report.system},
              {"confidence", jsonNumber(report.confidence)},
              {"near", jsonNumber(report.near)},
              {"classes", std::move(classes)},
              {"confusion", confusionJson(e.confusion)},
              {"frames", std::move(frames)}};
}

}  // namespace talmira
