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

std::string frameTable(const std::vector<FrameSummary>& frames) {
  std::vector<std::vector<std::string>> rows = {{"Frame", "Line", "GT", "Det", "FN", "FP"}};
  for (const FrameSummary& f : frames) {
    rows.push_back({std::to_string(f.frame), std::to_string(f.line), std::to_string(f.gt),
                    std::to_string(f.det), std::to_string(f.fn), std::to_string(f.fp)});
  }
  return renderTable(rows, 0);
}

}  // namespace

std::string_view confusionLabel(const ClassSet& classes, std::size_t slot) {
  return slot < classes.names().size() ? std::string_view(classes.names()[slot]) : "none";
}

ConfusionView viewConfusion(const ClassSet& classes, const Confusion& confusion,
                            std::size_t limit) {
  const std::vector<Confusion::Cell> cells = confusion.nonZero();
  const std::size_t none = confusion.none();
  // How much of the matrix each slot takes: its row and its column.
  std::vector<int64_t> weight(confusion.size(), 0);
  std::vector<bool> used(confusion.size(), false);
  for (const Confusion::Cell& cell : cells) {
    weight[cell.truth] += cell.count;
    weight[cell.system] += cell.count;
    used[cell.truth] = used[cell.system] = true;
  }
  ConfusionView view;
  std::vector<std::size_t> classesUsed;
  for (std::size_t slot = 0; slot < confusion.size(); ++slot) {
    if (!used[slot]) {
      view.unused.push_back(slot);
    } else if (slot != none) {
      classesUsed.push_back(slot);
    }
  }
  if (classesUsed.size() > limit) {
    std::stable_sort(classesUsed.begin(), classesUsed.end(),
                     [&](std::size_t a, std::size_t b) { return weight[a] > weight[b]; });
    view.others = classesUsed.size() - limit;
    classesUsed.resize(limit);
    std::sort(classesUsed.begin(), classesUsed.end());
  }
  // The line of each slot: a class's own, the others', or none's.
  constexpr std::size_t kNoLine = SIZE_MAX;
  std::vector<std::size_t> lineOf(confusion.size(), kNoLine);
  for (const std::size_t slot : classesUsed) {
    lineOf[slot] = view.lines.size();
    view.lines.push_back(
        {ConfusionView::Kind::kClass, slot, std::string(confusionLabel(classes, slot))});
  }
  if (view.others > 0) {
    const std::size_t othersLine = view.lines.size();
    view.lines.push_back(
        {ConfusionView::Kind::kOthers, none, std::to_string(view.others) + " others"});
    for (std::size_t slot = 0; slot < none; ++slot) {
      if (used[slot] && lineOf[slot] == kNoLine) lineOf[slot] = othersLine;
    }
  }
  if (used[none]) {
    lineOf[none] = view.lines.size();
    view.lines.push_back({ConfusionView::Kind::kNone, none, "none"});
  }
  view.cells.assign(view.lines.size(), std::vector<int64_t>(view.lines.size(), 0));
  for (const Confusion::Cell& cell : cells) {
    view.cells[lineOf[cell.truth]][lineOf[cell.system]] += cell.count;
  }
  return view;
}

std::string renderExplainTables(const Explanation& e) {
  const ClassSet& set = *e.classSet;
  std::string text;
  std::vector<std::vector<std::string>> counts = {
      {"Class", "GT", "Det", "FN", "FP", "NMODTA", "Lost", "Pairs", "Mean overlap", "Mean IoU"}};
  std::vector<std::vector<std::string>> causes = {{"Class", "Error", "Cause", "Count", "Cost"}};
  for (std::size_t slot = 0; slot < e.classes.size(); ++slot) {
    const ClassExplanation& c = e.classes[slot];
    if (!worthShowing(c)) continue;
    const std::string name(set.row(slot));
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
  const ConfusionView view = viewConfusion(set, confusion);
  text +=
      "\nConfusion matrix of All (rows: ground truth, columns: system output; none: unpaired):\n";
  if (view.lines.empty()) {
    text += "empty\n";
  } else {
    std::vector<std::vector<std::string>> matrix(1, std::vector<std::string>{""});
    for (const ConfusionView::Line& column : view.lines) matrix[0].push_back(column.label);
    for (std::size_t row = 0; row < view.lines.size(); ++row) {
      std::vector<std::string> cells = {view.lines[row].label};
      for (std::size_t column = 0; column < view.lines.size(); ++column) {
        const bool blank = view.lines[row].kind == ConfusionView::Kind::kNone &&
                           view.lines[column].kind == ConfusionView::Kind::kNone;
        cells.push_back(blank ? "-" : std::to_string(view.cells[row][column]));
      }
      matrix.push_back(std::move(cells));
    }
    text += renderTable(matrix);
    if (view.others > 0) {
      text += "Shown: the " + std::to_string(view.classLines()) +
              " classes with the most objects and boxes in the matrix; the other " +
              std::to_string(view.others) + " that appear in it are summed in \"" +
              std::to_string(view.others) + " others\".\n";
    }
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
  return "class,side,cause,count,cost\n" + renderExplainCsvRows(report.explanation, "");
}

std::string renderExplainCsvRows(const Explanation& explanation, const std::string& prefix) {
  std::string text;
  for (std::size_t slot = 0; slot < explanation.classes.size(); ++slot) {
    const ClassExplanation& c = explanation.classes[slot];
    const std::string name = prefix + csvField(explanation.classSet->row(slot));
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

Json explainedClassJson(std::string_view className, const ClassExplanation& c, int64_t frames) {
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

Json confusionJson(const ClassSet& classes, const Confusion& confusion) {
  Json labels = Json::array();
  for (std::size_t slot = 0; slot < confusion.size(); ++slot) {
    labels.push_back(confusionLabel(classes, slot));
  }
  Json json{{"labels", std::move(labels)}};
  if (confusion.dense()) {
    json["matrix"] = confusion.square();
  } else {
    // A large set's square is mostly zeros: [row, column, count] of the others.
    Json cells = Json::array();
    for (const Confusion::Cell& cell : confusion.nonZero()) {
      cells.push_back(Json::array({cell.truth, cell.system, cell.count}));
    }
    json["cells"] = std::move(cells);
  }
  json["set_aside"] = confusion.setAside;
  json["excluded"] = confusion.excluded;
  json["dropped_in_region"] = confusion.droppedInRegion;
  return json;
}

Json explainJson(const ExplainReport& report) {
  const Explanation& e = report.explanation;
  Json classes = Json::array();
  for (std::size_t slot = 0; slot < e.classes.size(); ++slot) {
    classes.push_back(explainedClassJson(e.classSet->row(slot), e.classes[slot], e.frames));
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
              {"confusion", confusionJson(*e.classSet, e.confusion)},
              {"frames", std::move(frames)}};
}

namespace {

std::string trackerIdsText(const FollowedTrack& track, const char* separator) {
  std::string text;
  for (const int64_t id : track.trackerIds) {
    if (!text.empty()) text += separator;
    text += std::to_string(id);
  }
  return text;
}

}  // namespace

std::string renderTrackExplainText(const FollowedTracks& followed, std::size_t top) {
  const TrackRequest& request = followed.request;
  std::string text =
      "Identity switches and fragmentations: " + request.groundTruth + " against " +
      request.system +
      "\nRules: " + std::string(tracking::benchmarkName(followed.pair.rules.benchmark)) + ", " +
      std::to_string(followed.pair.groundTruth.length) + " frames (" + followed.pair.lengthFrom +
      ")";
  if (request.confidence) {
    text += ", boxes below " + shortestText(*request.confidence) + " left out";
  }
  text += "\n\n";
  std::vector<std::vector<std::string>> rows = {
      {"Class", "GT tracks", "Frames", "Matched", "IDSW", "Frag"}};
  for (const FollowedClass& c : followed.classes) {
    rows.push_back({c.name, std::to_string(c.tracks.size()),
                    std::to_string(c.sums.clearTp + c.sums.clearFn), std::to_string(c.sums.clearTp),
                    std::to_string(c.sums.idSwitches), std::to_string(c.sums.fragmentations)});
  }
  text += renderTable(rows);
  for (const FollowedClass& c : followed.classes) {
    const std::vector<const FollowedTrack*> worst = worstTracks(c, top);
    const std::size_t any = worstTracks(c, c.tracks.size()).size();
    text += "\n";
    if (worst.empty()) {
      text += "No " + c.name + " track was switched or fragmented.\n";
      continue;
    }
    text += "The " + c.name + " tracks with the most switches and fragmentations (" +
            std::to_string(worst.size()) + " of the " + std::to_string(any) + " with any):\n";
    std::vector<std::vector<std::string>> table = {{"GT id", "Frames", "Matched", "IDSW", "Frag"}};
    std::vector<std::string> lists = {"Tracker ids"};
    for (const FollowedTrack* track : worst) {
      table.push_back({std::to_string(track->id), std::to_string(track->frames),
                       std::to_string(track->matched), std::to_string(track->switches),
                       std::to_string(track->fragmentations)});
      lists.push_back(trackerIdsText(*track, ", "));
    }
    // The numbers right-aligned, then the tracker ids, a list, left-aligned.
    const std::string numbers = renderTable(table, 0);
    std::size_t at = 0;
    for (const std::string& list : lists) {
      const std::size_t end = numbers.find('\n', at);
      text += numbers.substr(at, end - at) + "  " + list + "\n";
      at = end + 1;
    }
  }
  return text;
}

std::string renderTrackExplainCsv(const FollowedTracks& followed, std::size_t top) {
  std::string csv = "class,gt_id,frames,matched,switches,fragmentations,tracker_ids\n";
  for (const FollowedClass& c : followed.classes) {
    for (const FollowedTrack* track : worstTracks(c, top)) {
      csv += csvField(c.name) + "," + std::to_string(track->id) + "," +
             std::to_string(track->frames) + "," + std::to_string(track->matched) + "," +
             std::to_string(track->switches) + "," + std::to_string(track->fragmentations) + "," +
             trackerIdsText(*track, " ") + "\n";
    }
  }
  return csv;
}

Json trackExplainJson(const FollowedTracks& followed, std::size_t top) {
  const TrackRequest& request = followed.request;
  Json json = {{"groundtruth", request.groundTruth},
               {"system", request.system},
               {"rules", tracking::benchmarkName(followed.pair.rules.benchmark)},
               {"frames", followed.pair.groundTruth.length},
               {"length_from", followed.pair.lengthFrom},
               {"confidence", request.confidence ? jsonNumber(*request.confidence) : Json(nullptr)},
               {"top", top}};
  Json classes = Json::array();
  for (const FollowedClass& c : followed.classes) {
    Json worst = Json::array();
    for (const FollowedTrack* track : worstTracks(c, top)) {
      worst.push_back({{"gt_id", track->id},
                       {"frames", track->frames},
                       {"matched", track->matched},
                       {"switches", track->switches},
                       {"fragmentations", track->fragmentations},
                       {"tracker_ids", track->trackerIds}});
    }
    classes.push_back({{"class", c.name},
                       {"tracks", c.tracks.size()},
                       {"tracks_with_any", worstTracks(c, c.tracks.size()).size()},
                       {"CLR_TP", c.sums.clearTp},
                       {"CLR_FN", c.sums.clearFn},
                       {"CLR_FP", c.sums.clearFp},
                       {"IDSW", c.sums.idSwitches},
                       {"Frag", c.sums.fragmentations},
                       {"worst_tracks", std::move(worst)}});
  }
  json["classes"] = std::move(classes);
  return json;
}

}  // namespace talmira
