#include "talmira/pages/html_report.h"

#include <optional>
#include <string_view>

#include "talmira/cli_common.h"
#include "talmira/pages/markup.h"
#include "talmira/pages/page_frame.h"
#include "talmira/pages/precision_page.h"
#include "talmira/pages/sweep_plot.h"

namespace talmira {
namespace {

// Sorts the per-sequence table by a column heading; the order is kept in the
// address (#sort=<column>-<asc|desc>) so that a sorted view can be shared.
// Without it the rows stay in LIST order.
constexpr std::string_view kSortScript = R"js(
(function () {
  'use strict';
  var table = document.getElementById('sequences');
  if (!table || !table.tHead || !table.tBodies.length) return;
  var body = table.tBodies[0];
  var heads = Array.prototype.slice.call(table.tHead.rows[0].cells);
  function value(row, column) {
    var cell = row.cells[column];
    var text = cell ? cell.getAttribute('data-sort') : null;
    return text === null || text === '' ? null : text;
  }
  function sortBy(column, descending) {
    var numeric = heads[column].getAttribute('data-type') === 'number';
    var direction = descending ? -1 : 1;
    var rows = Array.prototype.slice.call(body.rows);
    rows.sort(function (a, b) {
      var x = value(a, column), y = value(b, column), order = 0;
      if (x === null || y === null) {
        order = x === y ? 0 : (x === null ? 1 : -1);  // no value: last either way
      } else if (numeric) {
        x = parseFloat(x); y = parseFloat(y);
        order = direction * (x < y ? -1 : x > y ? 1 : 0);
      } else {
        order = direction * x.localeCompare(y, undefined, {numeric: true});
      }
      return order || (+a.getAttribute('data-index') - +b.getAttribute('data-index'));
    });
    rows.forEach(function (row) { body.appendChild(row); });
    heads.forEach(function (head, at) {
      if (at === column) head.setAttribute('aria-sort', descending ? 'descending' : 'ascending');
      else head.removeAttribute('aria-sort');
    });
    try {
      history.replaceState(null, '', '#sort=' + heads[column].getAttribute('data-key') +
                           (descending ? '-desc' : '-asc'));
    } catch (e) { /* an address that cannot change keeps the old one */ }
  }
  heads.forEach(function (head, column) {
    if (!head.getAttribute('data-key')) return;
    var button = document.createElement('button');
    button.type = 'button';
    button.title = 'Sort by this column';
    while (head.firstChild) button.appendChild(head.firstChild);
    head.appendChild(button);
    button.addEventListener('click', function () {
      sortBy(column, head.getAttribute('aria-sort') === 'ascending');
    });
  });
  var hint = document.getElementById('sort-hint');
  if (hint) hint.hidden = false;
  var wanted = /^#sort=([a-z-]+)-(asc|desc)$/.exec(location.hash);
  if (wanted) {
    heads.forEach(function (head, column) {
      if (head.getAttribute('data-key') === wanted[1]) sortBy(column, wanted[2] === 'desc');
    });
  }
})();
)js";

std::string e(std::string_view text) { return escapeMarkup(text); }

std::string cell(const std::string& text) { return "<td>" + e(text) + "</td>"; }

std::string countsRow(std::string_view name, std::size_t slot, const ClassCounts& c, bool empty) {
  std::string row = "<tr data-class=\"" + e(name) + "\"";
  if (slot == 0)
    row += " class=\"all\"";
  else if (empty)
    row += " class=\"empty\"";
  row += "><td class=\"text\">" + e(name) + "</td>";
  row += cell(std::to_string(c.gt)) + cell(std::to_string(c.det)) + cell(std::to_string(c.fn)) +
         cell(std::to_string(c.fp)) + cell(std::to_string(c.frames)) + cell(fixedSix(c.nmodta()));
  return row + "</tr>\n";
}

// Every class's counts, as `talmira score` prints them.
std::string countsTable(const std::string& id, const ClassSet& names,
                        std::span<const ClassCounts> classes) {
  std::string html =
      "<table id=\"" + id +
      "\">\n<thead><tr><th class=\"text\">Class</th><th>GT</th>"
      "<th>Det</th><th>FN</th><th>FP</th><th>Frames</th><th>NMODTA</th></tr></thead>\n"
      "<tbody>\n";
  for (std::size_t slot = 0; slot < classes.size(); ++slot) {
    const ClassCounts& c = classes[slot];
    html += countsRow(names.row(slot), slot, c, c.gt == 0 && c.det == 0);
  }
  return html + "</tbody>\n</table>\n";
}

// The best point of every class; `atConfidence` adds each class's NMODTA at
// the table threshold for comparison.
std::string bestPointsTable(const SweepCurves& curves, const ClassSet& names, float confidence,
                            std::span<const ClassCounts> atConfidence) {
  std::string html =
      "<table id=\"best-points\">\n<thead><tr><th class=\"text\">Class</th>"
      "<th>Threshold</th><th>GT</th><th>Det</th><th>FN</th><th>FP</th>"
      "<th>NMODTA</th><th>AP</th>";
  if (!atConfidence.empty()) html += "<th>NMODTA at " + e(shortestText(confidence)) + "</th>";
  html += "</tr></thead>\n<tbody>\n";
  for (std::size_t slot = 0; slot < curves.size(); ++slot) {
    const ClassCurve& curve = curves[slot];
    const bool hasBest = !curve.points.empty();
    const CurvePoint best = hasBest ? ::bestPoint(curve) : CurvePoint{};
    const bool objects = hasObjects(curve);
    html += "<tr data-class=\"" + e(names.row(slot)) + "\"";
    if (slot == 0)
      html += " class=\"all\"";
    else if (!objects)
      html += " class=\"empty\" title=\"No objects of this class\"";
    html += "><td class=\"text\">" + e(names.row(slot)) + "</td>";
    if (hasBest) {
      html += cell(shortestText(best.threshold)) + cell(std::to_string(best.gt)) +
              cell(std::to_string(best.det)) + cell(std::to_string(best.fn)) +
              cell(std::to_string(best.fp)) + cell(fixedSix(best.nmodta()));
    } else {
      html += "<td colspan=\"6\" class=\"text\">no curve</td>";
    }
    // Average precision needs objects; NMODTA does not.
    const std::optional<double> ap = averagePrecision(curve);
    html += ap ? cell(fixedSix(*ap)) : "<td title=\"No objects: no recall\">\xE2\x80\x94</td>";
    if (!atConfidence.empty()) html += cell(fixedSix(atConfidence[slot].nmodta()));
    html += "</tr>\n";
  }
  return html + "</tbody>\n</table>\n";
}

std::string curvesFigure(const SweepCurves& curves, const ClassSet& names,
                         const std::string& caption) {
  return "<figure>\n" + renderSweepSvg(curves, caption, names) +
         "<figcaption>Counts are step functions of the threshold: a box is taken when its "
         "confidence is at least the threshold. Dots mark each class's best point; hover a line "
         "for its figures.</figcaption>\n</figure>\n";
}

// Precision and recall over every threshold, with the envelope whose area
// is the AP column of the best points.
std::string precisionRecallFigure(const SweepCurves& curves, const ClassSet& names,
                                  const std::string& caption) {
  return "<figure>\n" + renderPrecisionRecallSvg(curves, caption, names) +
         "<figcaption>Each class's points from the highest threshold down, as steps; dashed, the "
         "precision envelope (at each recall, the best precision at that recall or above), whose "
         "area is the class's average precision. Dots mark the best NMODTA "
         "threshold.</figcaption>\n</figure>\n";
}

const char* bestRule() {
  return "<p class=\"note\">The threshold with the highest NMODTA over the whole curve; among "
         "equals, the highest threshold. AP, the average precision, is the area under the "
         "precision envelope over recall, from the whole curve (all points).</p>\n";
}

}  // namespace

std::string renderSweepReport(const SweepReportInput& input) {
  const std::string caption = input.groundTruth + " vs " + input.system;
  std::string html = pageStart("Confidence sweep: " + caption);
  html += "<h1>Confidence sweep</h1>\n";
  html +=
      "<p class=\"lead\">How every class's counts move with the confidence threshold, and the "
      "threshold that scores best.</p>\n";
  html += "<dl class=\"facts\" id=\"inputs\">\n";
  html += "<dt>Ground truth</dt><dd><code>" + e(input.groundTruth) + "</code></dd>\n";
  html += "<dt>System output</dt><dd><code>" + e(input.system) + "</code></dd>\n";
  if (input.exact) {
    html += "<dt>Curve of All</dt><dd>" + std::to_string((*input.exact)[0].points.size()) +
            " thresholds, " + std::to_string((*input.exact)[0].frames) + " frames</dd>\n";
  }
  html += "</dl>\n";

  html += "<h2>Warnings</h2>\n";
  if (input.warnings.empty()) {
    html += "<p class=\"ok\" id=\"no-warnings\">The inputs raised no warnings.</p>\n";
  } else {
    html += "<ul class=\"warnings\" id=\"warnings\">\n";
    for (const std::string& warning : input.warnings) html += "<li>" + e(warning) + "</li>\n";
    html += "</ul>\n";
  }

  html += "<h2>Best operating points</h2>\n";
  if (input.exact) {
    html += bestRule();
    html += bestPointsTable(*input.exact, *input.classSet, input.confidence, input.atConfidence);
  } else {
    html += "<p class=\"note\">No curves were given.</p>\n";
  }

  html += "<h2>Counts at threshold " + e(shortestText(input.confidence)) + "</h2>\n";
  html += countsTable("at-confidence", *input.classSet, input.atConfidence);

  html += "<h2>Curves</h2>\n";
  if (input.exact) {
    html += curvesFigure(*input.exact, *input.classSet, caption);
  } else {
    html += "<p class=\"note\">No curves were given.</p>\n";
  }
  if (input.exact) {
    html += "<h2>Precision and recall</h2>\n";
    html += precisionRecallFigure(*input.exact, *input.classSet, caption);
  }
  if (input.coco) {
    html += "<h2>Precision and recall as COCO computes them</h2>\n";
    html +=
        "<p class=\"note\">Each frame an image and each class a category, matched greedily in "
        "score order at each IoU threshold as COCO's evaluator matches (talmira ap gives its "
        "figures); the curves above come from this format's own matching.</p>\n";
    html += cocoCurvesFigures(*input.coco, input.classSet->names(), caption);
  }
  return html + pageEnd(input.producedBy);
}

std::string renderDatasetReport(const DatasetReportInput& input) {
  std::size_t failed = 0;
  for (const DatasetSequenceRow& row : input.sequences) failed += row.error.empty() ? 0 : 1;
  const std::size_t scored = input.sequences.size() - failed;
  const bool withBest = input.pooledCurves != nullptr;

  std::string html = pageStart("Dataset results: " + input.list);
  html += "<h1>Dataset results</h1>\n";
  html += "<dl class=\"facts\" id=\"inputs\">\n";
  html += "<dt>Sequences from</dt><dd><code>" + e(input.list) + "</code></dd>\n";
  html += "<dt>Threshold</dt><dd>" + e(shortestText(input.confidence)) + "</dd>\n";
  html += "<dt>Sequences</dt><dd id=\"sequence-counts\">" + std::to_string(input.sequences.size()) +
          " listed, " + std::to_string(scored) + " scored, " + std::to_string(failed) +
          " failed</dd>\n";
  html += "</dl>\n";
  if (failed > 0) {
    html +=
        "<p class=\"alert\">" + std::to_string(failed) +
        (failed == 1 ? " sequence" : " sequences") + " could not be scored and " +
        (failed == 1 ? "is" : "are") +
        " left out of the totals: see <a href=\"#failed-sequences\">failed sequences</a>.</p>\n";
  }

  html += "<h2>Pooled over " + std::to_string(scored) + (scored == 1 ? " sequence" : " sequences") +
          " at threshold " + e(shortestText(input.confidence)) + "</h2>\n";
  html +=
      "<p class=\"note\">Counts and frames summed over the scored sequences; NMODTA from the "
      "sums.</p>\n";
  html += countsTable("pooled", *input.classSet, input.pooled);

  html += "<h2>Sequences</h2>\n";
  html +=
      "<p class=\"hint\" id=\"sort-hint\" hidden>Select a column heading to sort; again to "
      "reverse.</p>\n";
  html +=
      "<table id=\"sequences\">\n<thead><tr>"
      "<th data-key=\"index\" data-type=\"number\">#</th>"
      "<th class=\"text\" data-key=\"name\" data-type=\"text\">Sequence</th>"
      "<th data-key=\"gt\" data-type=\"number\">GT</th>"
      "<th data-key=\"det\" data-type=\"number\">Det</th>"
      "<th data-key=\"fn\" data-type=\"number\">FN</th>"
      "<th data-key=\"fp\" data-type=\"number\">FP</th>"
      "<th data-key=\"frames\" data-type=\"number\">Frames</th>"
      "<th data-key=\"nmodta\" data-type=\"number\">NMODTA</th>";
  if (withBest) {
    html +=
        "<th data-key=\"best-threshold\" data-type=\"number\">Best threshold</th>"
        "<th data-key=\"best-nmodta\" data-type=\"number\">Best NMODTA</th>";
  }
  html += "</tr></thead>\n<tbody>\n";
  const auto sortable = [](const std::string& text, const std::string& key) {
    return "<td data-sort=\"" + escapeMarkup(key) + "\">" + escapeMarkup(text) + "</td>";
  };
  for (std::size_t index = 0; index < input.sequences.size(); ++index) {
    const DatasetSequenceRow& row = input.sequences[index];
    if (!row.error.empty()) continue;
    const ClassCounts& all = row.classes[0];
    const std::string position = std::to_string(index + 1);
    const std::string nmodta = fixedSix(all.nmodta());
    html += "<tr data-index=\"" + position + "\">" + sortable(position, position) +
            "<td class=\"text\" data-sort=\"" + e(row.name) + "\" title=\"" +
            e(row.groundTruth + " vs " + row.system) + "\">" +
            (row.viewPage.empty() ? e(row.name)
                                  : "<a href=\"" + e(row.viewPage) + "\">" + e(row.name) + "</a>") +
            "</td>" + sortable(std::to_string(all.gt), std::to_string(all.gt)) +
            sortable(std::to_string(all.det), std::to_string(all.det)) +
            sortable(std::to_string(all.fn), std::to_string(all.fn)) +
            sortable(std::to_string(all.fp), std::to_string(all.fp)) +
            sortable(std::to_string(all.frames), std::to_string(all.frames)) +
            sortable(nmodta, nmodta);
    if (withBest) {
      if (row.bestAll) {
        const std::string threshold = shortestText(row.bestAll->threshold);
        const std::string best = fixedSix(row.bestAll->nmodta());
        html += sortable(threshold, threshold) + sortable(best, best);
      } else {
        html += "<td data-sort=\"\">\xE2\x80\x94</td><td data-sort=\"\">\xE2\x80\x94</td>";
      }
    }
    html += "</tr>\n";
  }
  if (scored == 0) {
    html += "<tr><td colspan=\"" + std::string(withBest ? "10" : "8") +
            "\" class=\"text\">No sequence was scored.</td></tr>\n";
  }
  html += "</tbody>\n</table>\n";
  html +=
      "<p class=\"note\">Counts of All (every class) for each sequence, in list order; hover a "
      "name for its files.</p>\n";

  if (failed > 0) {
    html += "<h2 id=\"failed-sequences\">Failed sequences</h2>\n";
    html +=
        "<table id=\"failed\">\n<thead><tr><th>#</th><th class=\"text\">Sequence</th>"
        "<th class=\"text\">Ground truth</th><th class=\"text\">System output</th>"
        "<th class=\"text\">Message</th></tr></thead>\n<tbody>\n";
    for (std::size_t index = 0; index < input.sequences.size(); ++index) {
      const DatasetSequenceRow& row = input.sequences[index];
      if (row.error.empty()) continue;
      html += "<tr data-index=\"" + std::to_string(index + 1) + "\">" +
              cell(std::to_string(index + 1)) + "<td class=\"text\">" + e(row.name) + "</td>" +
              "<td class=\"path\"><code>" + e(row.groundTruth) + "</code></td>" +
              "<td class=\"path\"><code>" + e(row.system) + "</code></td>" +
              "<td class=\"message\">" + e(row.error) + "</td></tr>\n";
    }
    html += "</tbody>\n</table>\n";
  }

  if (withBest) {
    html += "<h2>Pooled best operating points</h2>\n";
    html +=
        "<p class=\"note\">On the pooled curves: counts summed over the scored sequences at "
        "each threshold.</p>\n";
    html += bestRule();
    html += bestPointsTable(*input.pooledCurves, *input.classSet, input.confidence, input.pooled);
    html += "<h2>Pooled curves</h2>\n";
    html += curvesFigure(*input.pooledCurves, *input.classSet, input.list);
    html += "<h2>Pooled precision and recall</h2>\n";
    html += precisionRecallFigure(*input.pooledCurves, *input.classSet, input.list);
  }
  return html + pageEnd(input.producedBy, kSortScript);
}

}  // namespace talmira
