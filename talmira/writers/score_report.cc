#include "talmira/writers/score_report.h"

#include <algorithm>
#include <vector>

#include "talmira/cli_common.h"

namespace talmira {

namespace {

// The columns a cell takes: its characters, a UTF-8 letter of several bytes
// being one (class names are written as their datasets write them).
std::size_t columnsOf(const std::string& cell) {
  return static_cast<std::size_t>(std::count_if(cell.begin(), cell.end(), [](char c) {
    return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
  }));
}

}  // namespace

std::string renderTable(const std::vector<std::vector<std::string>>& rows,
                        std::size_t leftColumns) {
  std::vector<std::size_t> widths;
  for (const auto& row : rows) {
    widths.resize(std::max(widths.size(), row.size()), 0);
    for (std::size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], columnsOf(row[c]));
  }
  std::string text;
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) {
      const std::string padding(widths[c] - columnsOf(row[c]), ' ');
      const std::string gap = c == 0 ? "" : "  ";
      if (c < leftColumns) {
        line += gap + row[c] + padding;
      } else {
        line += gap + padding + row[c];
      }
    }
    while (!line.empty() && line.back() == ' ') line.pop_back();
    text += line + "\n";
  }
  return text;
}

std::string renderScoreText(const ClassSet& classSet, const std::vector<ClassCounts>& classes) {
  std::vector<std::vector<std::string>> rows = {
      {"Class", "GT", "Det", "FN", "FP", "Frames", "NMODTA"}};
  for (std::size_t slot = 0; slot < classes.size(); ++slot) {
    const ClassCounts& c = classes[slot];
    rows.push_back({std::string(classSet.row(slot)), std::to_string(c.gt), std::to_string(c.det),
                    std::to_string(c.fn), std::to_string(c.fp), std::to_string(c.frames),
                    fixedSix(c.nmodta())});
  }
  return renderTable(rows);
}

std::string renderScoreCsv(const ClassSet& classSet, const std::vector<ClassCounts>& classes) {
  std::string text = "class,gt,det,fn,fp,frames,nmodta\n";
  for (std::size_t slot = 0; slot < classes.size(); ++slot) {
    const ClassCounts& c = classes[slot];
    text += csvField(classSet.row(slot)) + "," + std::to_string(c.gt) + "," +
            std::to_string(c.det) + "," + std::to_string(c.fn) + "," + std::to_string(c.fp) + "," +
            std::to_string(c.frames) + "," + fixedSix(c.nmodta()) + "\n";
  }
  return text;
}

Json classJson(std::string_view className, const ClassCounts& counts) {
  return Json{{"class", className},
              {"gt", counts.gt},
              {"det", counts.det},
              {"fn", counts.fn},
              {"fp", counts.fp},
              {"frames", counts.frames},
              {"nmodta", jsonNumber(counts.nmodta())}};
}

Json scoreJson(const ScoreReport& report) {
  Json classes = Json::array();
  for (std::size_t slot = 0; slot < report.classes.size(); ++slot) {
    classes.push_back(classJson(report.classSet->row(slot), report.classes[slot]));
  }
  return Json{{"groundtruth", report.groundTruth},
              {"system", report.system},
              {"confidence", jsonNumber(report.confidence)},
              {"classes", classes}};
}

}  // namespace talmira
