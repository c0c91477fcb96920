#include "talmira/pages/view_page.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

#include "scoring/analysis/error_causes.h"
#include "scoring/analysis/sequence_explanation.h"
#include "talmira/cli_common.h"
#include "talmira/pages/explain_page.h"
#include "talmira/pages/markup.h"
#include "talmira/pages/page_frame.h"
#include "talmira/writers/ap_report.h"
#include "talmira/writers/event_rows.h"

namespace talmira {

using namespace std::string_view_literals;

namespace {

// Strokes keep their width however the frame is scaled.
constexpr std::string_view kFrameStyle = R"css(
.b { fill: none; stroke-width: 2; vector-effect: non-scaling-stroke; pointer-events: all; }
.b.sys { stroke-dasharray: 6 3; }
.b.match { stroke: #1b8a3a; }
.b.miss { stroke: #d62728; stroke-width: 3; }
.b.false_alarm { stroke: #ff7f0e; stroke-width: 3; }
.b.set_aside { stroke: #7f7f7f; }
.b.excluded { stroke: #9e9e9e; stroke-dasharray: 2 2; }
.b.in_region { stroke: #8e44ad; }
.b.none { stroke: #b0b0b0; stroke-width: 1; opacity: .6; }
.pair { stroke: #1b8a3a; stroke-width: 1; vector-effect: non-scaling-stroke; }
.dcr { fill: url(#dcr-hatch); stroke: #8e44ad; stroke-width: 1; vector-effect: non-scaling-stroke; }
)css";

constexpr std::string_view kHatch =
    "<pattern id=\"dcr-hatch\" width=\"8\" height=\"8\" patternUnits=\"userSpaceOnUse\" "
    "patternTransform=\"rotate(45)\"><rect width=\"8\" height=\"8\" fill=\"#8e44ad\" "
    "fill-opacity=\"0.08\"/><line x1=\"0\" y1=\"0\" x2=\"0\" y2=\"8\" stroke=\"#8e44ad\" "
    "stroke-width=\"2\" stroke-opacity=\"0.5\"/></pattern>";

constexpr std::string_view kPageStyle = R"css(
main { max-width: 1280px; }
#controls { display: flex; flex-wrap: wrap; gap: 8px 18px; align-items: center; margin: 8px 0; }
#controls button { font: inherit; padding: 2px 10px; }
#frame-info { font-weight: 600; font-variant-numeric: tabular-nums; }
#readout { min-height: 1.5em; color: #333; font-variant-numeric: tabular-nums; }
#timeline { display: block; width: 100%; height: 48px; cursor: pointer; background: #fafafa;
  border: 1px solid #ddd; }
#timeline .fn { fill: #d62728; }
#timeline .fp { fill: #ff7f0e; }
#tl-mark { fill: #2f6db5; fill-opacity: .35; stroke: #2f6db5; }
#stage { border: 1px solid #ddd; background: #f4f4f4; }
.frame-box { position: relative; width: 100%; }
.frame-box img { display: block; width: 100%; height: auto; }
.frame-box img + svg { position: absolute; left: 0; top: 0; width: 100%; height: 100%; }
.frame-box svg { display: block; width: 100%; height: auto; max-height: 78vh; overflow: visible; }
#stage:not(.faint) .b.none { display: none; }
.legend span { margin-right: 14px; white-space: nowrap; }
.legend i { display: inline-block; width: 22px; height: 0; border-top: 3px solid; vertical-align: middle;
  margin-right: 4px; }
)css";

// Moves among the held frames, keeps the timeline's mark and the readout
// up to date, and filters the boxes by class.
constexpr std::string_view kViewScript = R"js(
(function () {
  var data = JSON.parse(document.getElementById('view-data').textContent);
  var frames = Array.prototype.slice.call(document.querySelectorAll('template.frame'));
  var stage = document.getElementById('stage');
  var info = document.getElementById('frame-info');
  var readout = document.getElementById('readout');
  var mark = document.getElementById('tl-mark');
  var strip = document.getElementById('timeline');
  var classes = document.getElementById('class-filter');
  var faint = document.getElementById('show-faint');
  var at = 0;
  if (!frames.length) return;
  function columnOf(pos) {
    var lo = 0, hi = data.columns.length - 1;
    while (lo < hi) { var mid = (lo + hi + 1) >> 1; if (data.columns[mid][0] <= pos) lo = mid; else hi = mid - 1; }
    return lo;
  }
  function filter() {
    var chosen = classes.value;
    stage.classList.toggle('faint', faint.checked);
    stage.querySelectorAll('[data-class]').forEach(function (e) {
      e.style.display = chosen === 'All' || e.getAttribute('data-class') === chosen ? '' : 'none';
    });
  }
  function show(i) {
    at = Math.max(0, Math.min(frames.length - 1, i));
    var t = frames[at], d = t.dataset;
    stage.replaceChildren(t.content.cloneNode(true));
    info.textContent = 'Frame ' + d.frame + ' (' + (at + 1) + ' of ' + frames.length + ' held)' +
      (d.line ? ', line ' + d.line : '') + ': GT ' + d.gt + ', Det ' + d.det + ', FN ' + d.fn +
      ', FP ' + d.fp + (d.switches !== undefined ? ', IDSW ' + d.switches : '') +
      (d.picture === 'missing' ? ' (no picture for this frame)' : '');
    info.setAttribute('data-frame', d.frame);
    if (d.line) info.setAttribute('data-line', d.line);
    info.setAttribute('data-index', String(at));
    mark.setAttribute('x', String(columnOf(Number(d.pos))));
    readout.textContent = '';
    filter();
  }
  function errorFrom(step) {
    for (var i = at + step; i >= 0 && i < frames.length; i += step) {
      if (Number(frames[i].dataset.fn) + Number(frames[i].dataset.fp) > 0) return i;
    }
    return at;
  }
  function switchFrom(step) {
    for (var i = at + step; i >= 0 && i < frames.length; i += step) {
      if (Number(frames[i].dataset.switches || 0) > 0) return i;
    }
    return at;
  }
  document.addEventListener('keydown', function (e) {
    var tag = e.target && e.target.tagName;
    if (tag === 'SELECT' || tag === 'INPUT' || e.altKey || e.ctrlKey || e.metaKey) return;
    if (e.key === 'ArrowRight') show(at + 1);
    else if (e.key === 'ArrowLeft') show(at - 1);
    else if (e.key === 'n') show(errorFrom(1));
    else if (e.key === 'p') show(errorFrom(-1));
    else if (e.key === 's') show(switchFrom(1));
    else if (e.key === 'S') show(switchFrom(-1));
    else return;
    e.preventDefault();
  });
  strip.addEventListener('click', function (e) {
    var r = strip.getBoundingClientRect();
    var c = Math.max(0, Math.min(data.columns.length - 1,
      Math.floor((e.clientX - r.left) / r.width * data.columns.length)));
    var first = data.columns[c][0], last = data.columns[c][1], best = 0, gap = Infinity;
    frames.forEach(function (f, i) {
      var pos = Number(f.dataset.pos);
      var g = pos < first ? first - pos : pos > last ? pos - last : 0;
      if (g < gap) { gap = g; best = i; }
    });
    show(best);
  });
  stage.addEventListener('mouseover', function (e) {
    var b = e.target.closest ? e.target.closest('[data-line]') : null;
    if (!b) return;
    var g = function (n) { return b.getAttribute('data-' + n) || ''; };
    var text;
    if (b.hasAttribute('data-switch')) {
      text = 'identity switch of ground-truth track ' + g('gt-id') + ' (line ' + g('line') +
        '): tracker ' + g('from') + ' \u2192 ' + g('to');
    } else if (g('side') === '') {
      text = 'ground truth line ' + g('line') + ': don\u2019t-care region';
    } else {
      text = (g('side') === 'gt' ? 'ground truth' : 'system output') + ' line ' + g('line') + ': ' +
        g('class') + (g('id') ? ', id ' + g('id') : '') +
        (g('confidence') ? ', confidence ' + g('confidence') : '') + ', ' + g('event');
      if (g('cause')) text += ' (' + g('cause') + ')';
      if (g('overlap')) text += ', overlap ' + g('overlap');
      if (g('partner')) text += ' with line ' + g('partner');
    }
    readout.textContent = text;
  });
  document.getElementById('prev').addEventListener('click', function () { show(at - 1); });
  document.getElementById('next').addEventListener('click', function () { show(at + 1); });
  classes.addEventListener('change', filter);
  faint.addEventListener('change', filter);
  // An address ending in #frame=N opens frame N (or the held frame nearest
  // it), so that other pages can link to a frame.
  function fromAddress() {
    var m = /(?:^#|&)frame=(\d+)/.exec(location.hash);
    if (!m) return false;
    var want = Number(m[1]), best = 0, gap = Infinity;
    frames.forEach(function (f, i) {
      var g = Math.abs(Number(f.dataset.frame) - want);
      if (g < gap) { gap = g; best = i; }
    });
    show(best);
    return true;
  }
  window.addEventListener('hashchange', fromAddress);
  if (!fromAddress()) show(0);
})();
)js";

std::string number(double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    return std::to_string(static_cast<int64_t>(value));
  }
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", value);
  return text;
}

struct Extent {
  double minX = 0, minY = 0, maxX = 0, maxY = 0;
};

std::array<int32_t, 8> cornersOf(const ViewSource& source, bool systemSide, uint64_t line,
                                 const QuorTarget& target) {
  if (source.corners) {
    if (const auto known = source.corners(systemSide, line)) return *known;
  }
  return {target.minX, target.minY, target.maxX, target.minY,
          target.maxX, target.maxY, target.minX, target.maxY};
}

// Whether `name` is its own text with HTML's white space stripped from
// its ends and collapsed to single spaces, as an option without a value
// attribute takes its text for its value.
bool survivesCollapsing(std::string_view name) {
  constexpr std::string_view kSpace = " \t\n\f\r";
  if (name.empty()) return true;
  if (kSpace.find(name.front()) != std::string_view::npos) return false;
  if (kSpace.find(name.back()) != std::string_view::npos) return false;
  return name.find_first_of(kSpace.substr(1)) == std::string_view::npos &&
         name.find("  ") == std::string_view::npos;
}

// The classes of the pair's set that the boxes of the frames held bear,
// ordered by name (bytes); a class the set lacks by the name its code has.
std::vector<std::string_view> heldClasses(const ViewSource& source, const ViewPage& page) {
  std::vector<uint16_t> codes;
  for (const FrameView& view : page.frames) {
    const QuorFrame& truth = source.groundTruth.frames[view.truthFrame];
    for (const ViewBox& b : view.boxes) {
      if (b.region) continue;
      const auto at = static_cast<std::size_t>(b.box);
      const QuorTarget& target =
          *(b.systemSide
                ? source.system.frames[static_cast<std::size_t>(view.systemFrame)].targets[at]
                : truth.targets[at]);
      codes.push_back(target.classCode);
    }
  }
  std::sort(codes.begin(), codes.end());
  codes.erase(std::unique(codes.begin(), codes.end()), codes.end());
  const ClassSet& classes = *page.classSet;
  std::vector<int32_t> rowOfCode;
  for (std::size_t row = 1; row < classes.rows(); ++row) {
    const uint16_t code = classes.code(row);
    if (code >= rowOfCode.size()) rowOfCode.resize(std::size_t{code} + 1, -1);
    rowOfCode[code] = static_cast<int32_t>(row);
  }
  std::vector<std::string_view> names;
  names.reserve(codes.size());
  for (const uint16_t code : codes) {
    const bool inSet = code < rowOfCode.size() && rowOfCode[code] >= 0;
    names.push_back(inSet ? classes.row(static_cast<std::size_t>(rowOfCode[code]))
                          : std::string_view(classNameOf(code)));
  }
  std::sort(names.begin(), names.end());
  return names;
}

// Appends the decimal text of a whole number, as std::to_string writes it.
template <typename Whole>
void appendWhole(std::string& out, Whole value) {
  char text[24];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

// Appends number(value): the midpoints of whole corners are whole or end in
// .5, which "%.1f" writes exactly, so they need no printf.
void appendNumber(std::string& out, double value) {
  if (value == std::floor(value) && std::fabs(value) < 1e15) {
    appendWhole(out, static_cast<int64_t>(value));
    return;
  }
  const double twice = 2.0 * value;
  if (twice == std::floor(twice) && std::fabs(value) < 1e15) {
    if (value < 0) out += '-';
    appendWhole(out, static_cast<int64_t>(std::fabs(value)));  // the whole part, truncated
    out += ".5";
    return;
  }
  out += number(value);
}

void appendShortest(std::string& out, float value) {
  char text[64];
  const auto result = std::to_chars(text, text + sizeof text, value);
  out.append(text, result.ptr);
}

void appendPoints(std::string& out, const std::array<int32_t, 8>& c) {
  for (std::size_t i = 0; i < 8; i += 2) {
    if (i > 0) out += ' ';
    appendWhole(out, c[i]);
    out += ',';
    appendWhole(out, c[i + 1]);
  }
}

// What drawing frames reuses from one frame to the next: the text of the
// shapes and pairs before they go behind the frame's viewBox, and each
// class's name as markup.
struct FrameSvgScratch {
  std::string shapes;
  std::string pairs;
  std::vector<std::string> classNames;  // by class code; empty until first needed
  std::vector<bool> named;

  const std::string& classMarkup(const QuorTarget& target) {
    const std::size_t code = target.classCode;
    if (code >= classNames.size()) {
      classNames.resize(code + 1);
      named.resize(code + 1, false);
    }
    if (!named[code]) {
      classNames[code] = escapeMarkup(target.className());
      named[code] = true;
    }
    return classNames[code];
  }
};

// Appends renderFrameSvg()'s text to `svg`.
void appendFrameSvg(std::string& svg, const ViewSource& source, const FrameView& view,
                    const FramePicture* picture, bool standalone, bool faint,
                    FrameSvgScratch& scratch) {
  const QuorFrame& truth = source.groundTruth.frames[view.truthFrame];
  const QuorFrame* partner = view.systemFrame >= 0
                                 ? &source.system.frames[static_cast<std::size_t>(view.systemFrame)]
                                 : nullptr;
  const auto truthLines = source.truthLines.targetLines(view.truthFrame);
  const auto regionLines = source.truthLines.regionLines(view.truthFrame);
  const std::span<const uint64_t> systemLines =
      partner != nullptr
          ? source.systemLines.targetLines(static_cast<std::size_t>(view.systemFrame))
          : std::span<const uint64_t>();

  Extent extent;
  bool any = false;
  std::string& shapes = scratch.shapes;
  std::string& pairs = scratch.pairs;
  shapes.clear();
  pairs.clear();
  for (const ViewBox& b : view.boxes) {
    const auto at = static_cast<std::size_t>(b.box);
    const QuorTarget& target = *(b.region       ? truth.regions[at]
                                 : b.systemSide ? partner->targets[at]
                                                : truth.targets[at]);
    const uint64_t line = b.region       ? regionLines[at]
                          : b.systemSide ? systemLines[at]
                                         : truthLines[at];
    if (!b.takesPart && !b.region && !faint) continue;
    const std::array<int32_t, 8> corners = cornersOf(source, b.systemSide, line, target);
    for (std::size_t i = 0; i < 8; i += 2) {
      const double x = corners[i];
      const double y = corners[i + 1];
      if (!any) extent = {x, y, x, y};
      any = true;
      extent.minX = std::min(extent.minX, x);
      extent.maxX = std::max(extent.maxX, x);
      extent.minY = std::min(extent.minY, y);
      extent.maxY = std::max(extent.maxY, y);
    }
    if (b.region) {
      shapes += "<polygon class=\"dcr\" data-line=\""sv;
      appendWhole(shapes, line);
      shapes += "\" points=\""sv;
      appendPoints(shapes, corners);
      shapes += "\"/>"sv;
      continue;
    }
    const char* event = b.takesPart ? eventName(b.kind) : "none";
    const std::string& className = scratch.classMarkup(target);
    shapes += "<polygon class=\"b "sv;
    shapes += b.systemSide ? "sys " : "gt ";
    shapes += event;
    shapes += "\" data-side=\""sv;
    shapes += b.systemSide ? "sys" : "gt";
    shapes += "\" data-line=\""sv;
    appendWhole(shapes, line);
    shapes += "\" data-event=\""sv;
    shapes += event;
    shapes += "\" data-class=\""sv;
    shapes += className;
    // A box its file gave no score reads "none" (it is taken at every threshold).
    shapes += "\" data-confidence=\""sv;
    const QuorSequence& sequence = b.systemSide ? source.system : source.groundTruth;
    if (sequence.hasNoScore(target)) {
      shapes += "none"sv;
    } else {
      appendShortest(shapes, target.confidence);
    }
    shapes += '"';
    if (b.takesPart) {
      EventRow row;
      row.kind = b.kind;
      row.cause = b.cause;
      if (const char* cause = causeName(row)) {
        shapes += " data-cause=\""sv;
        shapes += cause;
        shapes += '"';
      }
      if (!std::isnan(b.overlap)) {
        shapes += " data-overlap=\""sv;
        appendShortest(shapes, b.overlap);
        shapes += '"';
      }
      if (b.partner >= 0) {
        const auto p = static_cast<std::size_t>(b.partner);
        uint64_t partnerLine = 0;
        if (b.kind == BoxEventKind::kInRegion) {
          partnerLine = regionLines[p];
        } else if (b.systemSide) {
          partnerLine = truthLines[p];
        } else {
          partnerLine = systemLines[p];
        }
        shapes += " data-partner=\""sv;
        appendWhole(shapes, partnerLine);
        shapes += '"';
        if (b.kind == BoxEventKind::kMatch && !b.systemSide) {
          // The pair joined once, from its ground-truth box's middle.
          const QuorTarget& other = *partner->targets[p];
          pairs += "<line class=\"pair\" data-class=\""sv;
          pairs += className;
          pairs += "\" x1=\""sv;
          appendNumber(pairs, (target.minX + target.maxX) / 2.0);
          pairs += "\" y1=\""sv;
          appendNumber(pairs, (target.minY + target.maxY) / 2.0);
          pairs += "\" x2=\""sv;
          appendNumber(pairs, (other.minX + other.maxX) / 2.0);
          pairs += "\" y2=\""sv;
          appendNumber(pairs, (other.minY + other.maxY) / 2.0);
          pairs += "\"/>"sv;
        }
      }
    }
    shapes += " points=\""sv;
    appendPoints(shapes, corners);
    shapes += "\"/>"sv;
  }

  // The frame's own coordinates: the picture's, or the boxes' with a margin.
  double x0 = 0;
  double y0 = 0;
  double width = 0;
  double height = 0;
  if (picture != nullptr && picture->width > 0 && picture->height > 0) {
    width = picture->width;
    height = picture->height;
  } else if (any) {
    x0 = std::min(0.0, extent.minX - 20);
    y0 = std::min(0.0, extent.minY - 20);
    width = extent.maxX + 20 - x0;
    height = extent.maxY + 20 - y0;
  } else {
    width = 640;
    height = 360;
  }
  svg += "<svg"sv;
  if (standalone) svg += " xmlns=\"http://www.w3.org/2000/svg\""sv;
  svg += " viewBox=\""sv;
  appendNumber(svg, x0);
  svg += ' ';
  appendNumber(svg, y0);
  svg += ' ';
  appendNumber(svg, width);
  svg += ' ';
  appendNumber(svg, height);
  svg += '"';
  if (standalone) svg += " width=\"" + number(std::min(width, 960.0)) + "\"";
  if (!standalone && picture != nullptr) svg += " preserveAspectRatio=\"none\""sv;
  svg += " role=\"img\" aria-label=\"frame "sv;
  appendWhole(svg, truth.frameNumber);
  svg += "\">"sv;
  if (standalone) {
    svg += "<style>" + std::string(kFrameStyle) + "</style><defs>" + std::string(kHatch) +
           "</defs><rect x=\"" + number(x0) + "\" y=\"" + number(y0) + "\" width=\"" +
           number(width) + "\" height=\"" + number(height) + "\" fill=\"#f4f4f4\"/>";
    if (picture != nullptr) {
      svg += "<image href=\"" + escapeMarkup(picture->href) + "\" x=\"0\" y=\"0\" width=\"" +
             number(width) + "\" height=\"" + number(height) + "\" preserveAspectRatio=\"none\"/>";
    }
  }
  svg += shapes;
  svg += pairs;
  svg += "</svg>"sv;
}

}  // namespace

std::string renderFrameSvg(const ViewSource& source, const FrameView& view,
                           const FramePicture* picture, bool standalone, bool faint) {
  std::string svg;
  FrameSvgScratch scratch;
  appendFrameSvg(svg, source, view, picture, standalone, faint, scratch);
  return svg;
}

std::string renderViewPage(const ViewSource& source, const ViewPage& page) {
  std::string html = pageStart("talmira view: " + page.groundTruthPath + " vs " + page.systemPath,
                               std::string(kPageStyle) + std::string(kFrameStyle),
                               page.pictures.empty() ? "data:" : "data: 'self' file: http: https:");
  html += "<h1>Frames, one at a time</h1>\n"sv;
  html +=
      "<p class=\"lead\">The ground truth (solid) and the system output (dashed) of each frame "
      "held, coloured by what became of each box for class " +
      escapeMarkup(page.className) + " at confidence " + shortestText(page.confidence) + ".</p>\n";
  html += "<dl class=\"facts\"><dt>Ground truth</dt><dd><code>" +
          escapeMarkup(page.groundTruthPath) + "</code></dd><dt>System output</dt><dd><code>" +
          escapeMarkup(page.systemPath) + "</code></dd><dt>Frames held</dt><dd id=\"held\">" +
          std::to_string(page.frames.size()) + " of " + std::to_string(page.errors.size()) +
          " (--frames " + escapeMarkup(page.framesText) + ")</dd></dl>\n";
  std::vector<std::string> notes;
  if (page.leftOut > 0) {
    notes.push_back(std::to_string(page.frames.size() + page.leftOut) +
                    " frames have errors; the " + std::to_string(page.frames.size()) +
                    " with the most are held and " + std::to_string(page.leftOut) +
                    " are left out (--frames all or a range A-B shows others).");
  }
  std::size_t missing = 0;
  for (const auto& picture : page.pictures) missing += picture ? 0 : 1;
  if (missing > 0) {
    notes.push_back(std::to_string(missing) + " of the " + std::to_string(page.frames.size()) +
                    " frames held have no picture: they are drawn without one.");
  }
  if (page.frames.empty()) notes.push_back("No frame is held: nothing to draw.");
  if (!notes.empty()) {
    html += "<ul class=\"warnings\" id=\"notes\">"sv;
    for (const std::string& note : notes) html += "<li>" + escapeMarkup(note) + "</li>";
    html += "</ul>\n"sv;
  }

  // The timeline: every frame's FN (down) and FP (up), binned.
  const std::vector<TimelineColumn> columns = binTimeline(page.errors);
  int64_t largest = 1;
  for (const TimelineColumn& c : columns) largest = std::max({largest, c.fn, c.fp});
  html += "<h2>Errors along the video</h2>\n"sv;
  html += "<svg id=\"timeline\" viewBox=\"0 0 " +
          std::to_string(std::max<std::size_t>(1, columns.size())) +
          " 40\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"misses (down) and false "
          "alarms (up) of every frame; click to go to a frame\">";
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const TimelineColumn& c = columns[k];
    if (c.fp > 0) {
      const double h = 19.0 * static_cast<double>(c.fp) / static_cast<double>(largest);
      html += "<rect class=\"fp\" x=\"" + std::to_string(k) + "\" y=\"" + number(20 - h) +
              "\" width=\"1\" height=\"" + number(h) + "\"/>";
    }
    if (c.fn > 0) {
      const double h = 19.0 * static_cast<double>(c.fn) / static_cast<double>(largest);
      html += "<rect class=\"fn\" x=\"" + std::to_string(k) + "\" y=\"20\" width=\"1\" height=\"" +
              number(h) + "\"/>";
    }
  }
  html +=
      "<rect id=\"tl-mark\" x=\"0\" y=\"0\" width=\"1\" height=\"40\" "
      "vector-effect=\"non-scaling-stroke\"/></svg>\n";
  html +=
      "<p class=\"hint\">False alarms up (orange), misses down (red); the shown frame is "
      "marked in blue. Click the strip to go to the held frame nearest. Keys: \u2192 and "
      "\u2190 next and previous frame, <kbd>n</kbd> and <kbd>p</kbd> next and previous frame "
      "with an error.</p>\n";

  // The controls, the frame and the readout.
  html +=
      "<h2>The frame</h2>\n<div id=\"controls\"><button id=\"prev\" type=\"button\">\u2190 "
      "previous</button><button id=\"next\" type=\"button\">next \u2192</button>"
      "<label>Class <select id=\"class-filter\"><option>All</option>";
  for (const std::string_view name : heldClasses(source, page)) {
    // The script compares the option's value with the boxes' data-class.
    html += survivesCollapsing(name) ? std::string("<option>")
                                     : "<option value=\"" + escapeMarkup(name) + "\">";
    html += escapeMarkup(name) + "</option>";
  }
  html +=
      "</select></label><label><input type=\"checkbox\" id=\"show-faint\"> boxes below the "
      "confidence or of another class</label></div>\n";
  html += "<p id=\"frame-info\""sv;
  if (!page.frames.empty()) {
    const FrameView& first = page.frames.front();
    html += " data-frame=\"" +
            std::to_string(source.groundTruth.frames[first.truthFrame].frameNumber) +
            "\" data-line=\"" + std::to_string(source.truthLines.frameLine(first.truthFrame)) +
            "\">Frame " + std::to_string(source.groundTruth.frames[first.truthFrame].frameNumber);
  } else {
    html += ">No frame"sv;
  }
  html +=
      "</p>\n<p class=\"legend note\"><span><i style=\"border-color:#1b8a3a\"></i>match</span>"
      "<span><i style=\"border-color:#d62728\"></i>miss</span><span><i "
      "style=\"border-color:#ff7f0e\"></i>false alarm</span><span><i "
      "style=\"border-color:#7f7f7f\"></i>set aside</span><span><i "
      "style=\"border-color:#9e9e9e\"></i>excluded</span><span><i "
      "style=\"border-color:#8e44ad\"></i>in a don't-care region (hatched)</span>"
      "<span>ground truth solid, system output dashed</span></p>\n";
  html += "<svg width=\"0\" height=\"0\" style=\"position:absolute\" aria-hidden=\"true\"><defs>" +
          std::string(kHatch) + "</defs></svg>\n";
  // Appends a held frame's picture and boxes to the page.
  FrameSvgScratch scratch;
  const auto addFrameBox = [&](std::size_t index) {
    const FramePicture* picture = nullptr;
    if (index < page.pictures.size() && page.pictures[index]) picture = &*page.pictures[index];
    html += "<div class=\"frame-box\">"sv;
    if (picture != nullptr) {
      html += "<img alt=\"\" src=\""sv;
      html += escapeMarkup(picture->href);
      html += "\" width=\"" + std::to_string(picture->width) + "\" height=\"" +
              std::to_string(picture->height) + "\">";
    }
    appendFrameSvg(html, source, page.frames[index], picture, false, true, scratch);
    html += "</div>"sv;
  };
  html += "<div id=\"stage\">"sv;
  if (!page.frames.empty()) addFrameBox(0);
  html += "</div>\n"sv;
  html +=
      "<p id=\"readout\" class=\"hint\">Point at a box to read its line, class, confidence, "
      "event, cause and overlap.</p>\n";
  for (std::size_t index = 0; index < page.frames.size(); ++index) {
    const FrameView& view = page.frames[index];
    html += "<template class=\"frame\" data-frame=\""sv;
    appendWhole(html, source.groundTruth.frames[view.truthFrame].frameNumber);
    html += "\" data-line=\""sv;
    appendWhole(html, source.truthLines.frameLine(view.truthFrame));
    html += "\" data-pos=\""sv;
    appendWhole(html, view.position);
    html += "\" data-gt=\""sv;
    appendWhole(html, view.gt);
    html += "\" data-det=\""sv;
    appendWhole(html, view.det);
    html += "\" data-fn=\""sv;
    appendWhole(html, view.errors.fn);
    html += "\" data-fp=\""sv;
    appendWhole(html, view.errors.fp);
    html += '"';
    if (!page.pictures.empty() && !page.pictures[index]) html += " data-picture=\"missing\""sv;
    html += ">"sv;
    addFrameBox(index);
    html += "</template>\n"sv;
  }
  std::string data = "{\"frames\":" + std::to_string(page.errors.size()) + ",\"columns\":[";
  for (std::size_t k = 0; k < columns.size(); ++k) {
    if (k > 0) data += ',';
    data += "[" + std::to_string(columns[k].first) + "," + std::to_string(columns[k].last) + "]";
  }
  if (columns.empty()) data += "[0,0]";
  data += "]}";
  html += "<script type=\"application/json\" id=\"view-data\">" + data + "</script>\n";
  html += pageEnd(page.producedBy, kViewScript);
  return html;
}

namespace {

// Tracks' boxes: coloured by track (an inline style), their event told by
// the stroke's pattern; a switch ringed in magenta.
constexpr std::string_view kTrackStyle = R"css(
.trk .b.gt.miss { stroke-dasharray: 1 4; stroke-width: 3; }
.trk .b.sys.match { stroke-width: 2; }
.trk .tid { font-family: sans-serif; font-weight: 600; paint-order: stroke; stroke: #fff;
  stroke-width: 3px; stroke-linejoin: round; pointer-events: none; }
.trk .sw rect { fill: none; stroke: #c2185b; stroke-width: 4; stroke-dasharray: none;
  vector-effect: non-scaling-stroke; pointer-events: stroke; }
.trk .sw text { fill: #c2185b; font-family: sans-serif; font-weight: 700; paint-order: stroke;
  stroke: #fff; stroke-width: 3px; }
#timeline .sw { fill: #c2185b; }
)css";

// A track's colour: hues a golden angle apart, so that tracks numbered
// close together differ most.
std::string trackColour(std::size_t classAt, int32_t track) {
  const double turn = std::fmod(
      (static_cast<double>(track) + 7.0 * static_cast<double>(classAt)) * 137.50776405003785,
      360.0);
  char text[48];
  std::snprintf(text, sizeof text, "hsl(%.0f,75%%,%d%%)", turn, track % 2 == 0 ? 40 : 32);
  return text;
}

struct Canvas {
  double x0 = 0, y0 = 0, width = 640, height = 360;
};

// Every frame in the same coordinates: the boxes' of the whole sequence
// with a margin, the origin kept in sight.
Canvas sequenceFrame(const FollowedTracks& followed) {
  bool any = false;
  double minX = 0, minY = 0, maxX = 0, maxY = 0;
  for (const tracking::TrackSequence* sequence :
       {&followed.pair.groundTruth, &followed.pair.system}) {
    for (const tracking::TrackBox& box : sequence->boxes) {
      const double left = std::min(box.left, box.right);
      const double right = std::max(box.left, box.right);
      const double top = std::min(box.top, box.bottom);
      const double bottom = std::max(box.top, box.bottom);
      if (!any) {
        minX = left, minY = top, maxX = right, maxY = bottom;
        any = true;
      }
      minX = std::min(minX, left);
      minY = std::min(minY, top);
      maxX = std::max(maxX, right);
      maxY = std::max(maxY, bottom);
    }
  }
  Canvas frame;
  if (!any) return frame;
  frame.x0 = std::min(0.0, minX - 20);
  frame.y0 = std::min(0.0, minY - 20);
  frame.width = maxX + 20 - frame.x0;
  frame.height = maxY + 20 - frame.y0;
  return frame;
}

std::string rectOf(const tracking::TrackBox& box, double grow = 0.0) {
  const double left = std::min(box.left, box.right) - grow;
  const double top = std::min(box.top, box.bottom) - grow;
  return "x=\"" + number(left) + "\" y=\"" + number(top) + "\" width=\"" +
         number(std::fabs(box.right - box.left) + 2 * grow) + "\" height=\"" +
         number(std::fabs(box.bottom - box.top) + 2 * grow) + "\"";
}

}  // namespace

std::string renderTrackFrameSvg(const TrackViewPage& page, uint32_t frameNumber,
                                const FramePicture* picture) {
  const FollowedTracks& followed = *page.followed;
  Canvas frame = sequenceFrame(followed);
  if (picture != nullptr && picture->width > 0 && picture->height > 0) {
    frame = {0, 0, static_cast<double>(picture->width), static_cast<double>(picture->height)};
  }
  const double font = std::max(12.0, frame.width / 90.0);
  const std::string fontSize = " font-size=\"" + number(std::round(font)) + "\"";
  std::string shapes;
  std::string labels;
  std::string marks;
  for (std::size_t c = 0; c < followed.classes.size(); ++c) {
    const FollowedClass& followedClass = followed.classes[c];
    const std::string className = escapeMarkup(followedClass.name);
    const auto [rowsBegin, rowsEnd] = followedClass.rowsOf(frameNumber);
    for (std::size_t r = rowsBegin; r < rowsEnd; ++r) {
      const TrackEventRow& row = followedClass.rows[r];
      const tracking::TrackBox& box = *row.box;
      const std::string colour = row.track >= 0 ? trackColour(c, row.track) : "";
      if (row.kind == TrackEventKind::kSwitch) {
        marks += "<g class=\"sw\" data-switch=\"1\" data-class=\"" + className + "\" data-line=\"" +
                 std::to_string(box.line) + "\" data-gt-id=\"" + std::to_string(*row.truthId) +
                 "\" data-from=\"" + std::to_string(*row.previousSystemId) + "\" data-to=\"" +
                 std::to_string(*row.systemId) + "\"><rect " + rectOf(box, font / 2) +
                 "/><text x=\"" + number(std::min(box.left, box.right) - font / 2) + "\" y=\"" +
                 number(std::max(box.top, box.bottom) + font * 1.5) + "\"" + fontSize + ">\u21c4 " +
                 std::to_string(*row.previousSystemId) + "\u2192" + std::to_string(*row.systemId) +
                 "</text></g>";
        continue;
      }
      if (row.kind == TrackEventKind::kFragment) continue;  // told in the events, not drawn
      const char* event = trackEventName(row.kind);
      std::string element = "<rect class=\"b ";
      element += row.systemSide ? "sys " : "gt ";
      element += event;
      element += "\" data-side=\"";
      element += row.systemSide ? "sys" : "gt";
      element += "\" data-line=\"" + std::to_string(box.line) + "\" data-event=\"" + event +
                 "\" data-class=\"" + className + "\" data-id=\"" + std::to_string(box.id) + "\"";
      if (box.confidence != -1.0f) {
        element += " data-confidence=\"" + shortestText(box.confidence) + "\"";
      }
      if (row.partnerLine) element += " data-partner=\"" + std::to_string(*row.partnerLine) + "\"";
      if (!std::isnan(row.overlap))
        element += " data-overlap=\"" + shortestDouble(row.overlap) + "\"";
      // A box of a track takes its colour; false alarms, excluded and set
      // aside boxes keep their event's.
      if (!colour.empty() && (row.kind == TrackEventKind::kMatch || !row.systemSide)) {
        element += " style=\"stroke:" + colour + "\"";
      }
      element += " " + rectOf(box) + "/>";
      shapes += element;
      if (row.kind == TrackEventKind::kMatch || row.kind == TrackEventKind::kMiss ||
          row.kind == TrackEventKind::kFalseAlarm) {
        // The identity: the ground truth's above its box, the tracker's below.
        const double x = std::min(box.left, box.right);
        const double y = row.systemSide ? std::max(box.top, box.bottom) + font
                                        : std::min(box.top, box.bottom) - font / 4;
        labels += "<text class=\"tid\" x=\"" + number(x) + "\" y=\"" + number(y) + "\"" + fontSize;
        labels += colour.empty() ? std::string(" style=\"fill:#ff7f0e\"")
                                 : " style=\"fill:" + colour + "\"";
        labels += ">" + std::string(row.systemSide ? "#" : "") + std::to_string(box.id) + "</text>";
      }
    }
    const auto [belowBegin, belowEnd] = followedClass.belowOf(frameNumber);
    for (std::size_t k = belowBegin; k < belowEnd; ++k) {
      const tracking::TrackBox& box = *followedClass.belowConfidence[k];
      shapes += "<rect class=\"b sys none\" data-side=\"sys\" data-line=\"" +
                std::to_string(box.line) + "\" data-event=\"none\" data-class=\"" + className +
                "\" data-id=\"" + std::to_string(box.id) + "\" data-confidence=\"" +
                shortestText(box.confidence) + "\" " + rectOf(box) + "/>";
    }
  }
  std::string svg = "<svg class=\"trk\" viewBox=\"" + number(frame.x0) + " " + number(frame.y0) +
                    " " + number(frame.width) + " " + number(frame.height) + "\"";
  if (picture != nullptr) svg += " preserveAspectRatio=\"none\"";
  svg += " role=\"img\" aria-label=\"frame " + std::to_string(frameNumber) + "\">";
  return svg + shapes + marks + labels + "</svg>";
}

std::string renderTrackViewPage(const TrackViewPage& page) {
  const FollowedTracks& followed = *page.followed;
  const TrackRequest& request = followed.request;
  std::string html =
      pageStart("talmira view --track: " + request.groundTruth + " vs " + request.system,
                std::string(kPageStyle) + std::string(kFrameStyle) + std::string(kTrackStyle),
                page.pictures.empty() ? "data:" : "data: 'self' file: http: https:");
  html += "<h1>Tracks, frame by frame</h1>\n";
  std::string classes;
  for (const FollowedClass& c : followed.classes) classes += (classes.empty() ? "" : ", ") + c.name;
  html +=
      "<p class=\"lead\">Each ground-truth track (solid) in a colour of its own, each tracker box "
      "(dashed) in the colour of the track CLEAR matches it to, false alarms orange; every "
      "identity switch ringed in magenta. Class " +
      escapeMarkup(classes) + ", rules " +
      escapeMarkup(std::string(tracking::benchmarkName(followed.pair.rules.benchmark))) +
      (request.confidence
           ? ", tracker boxes below " + shortestText(*request.confidence) + " left out"
           : std::string()) +
      ".</p>\n";
  int64_t switches = 0;
  for (const int64_t n : page.switches) switches += n;
  html += "<dl class=\"facts\"><dt>Ground truth</dt><dd><code>" +
          escapeMarkup(request.groundTruth) + "</code></dd><dt>System output</dt><dd><code>" +
          escapeMarkup(request.system) + "</code></dd><dt>Frames held</dt><dd id=\"held\">" +
          std::to_string(page.frames.size()) + " of " + std::to_string(page.errors.size()) +
          " (--frames " + escapeMarkup(page.framesText) +
          ")</dd><dt>Identity switches</dt><dd id=\"switches\">" + std::to_string(switches) +
          "</dd></dl>\n";
  std::vector<std::string> notes;
  if (page.leftOut > 0) {
    notes.push_back(std::to_string(page.frames.size() + page.leftOut) +
                    " frames have errors; the " + std::to_string(page.frames.size()) +
                    " with the most are held and " + std::to_string(page.leftOut) +
                    " are left out (--frames all or a range A-B shows others).");
  }
  std::size_t missing = 0;
  for (const auto& picture : page.pictures) missing += picture ? 0 : 1;
  if (missing > 0) {
    notes.push_back(std::to_string(missing) + " of the " + std::to_string(page.frames.size()) +
                    " frames held have no picture: they are drawn without one.");
  }
  if (page.frames.empty()) notes.push_back("No frame is held: nothing to draw.");
  if (!notes.empty()) {
    html += "<ul class=\"warnings\" id=\"notes\">";
    for (const std::string& note : notes) html += "<li>" + escapeMarkup(note) + "</li>";
    html += "</ul>\n";
  }

  // The timeline: FP up, FN down, and a mark for each column with a switch.
  const std::vector<TimelineColumn> columns = binTimeline(page.errors);
  int64_t largest = 1;
  for (const TimelineColumn& c : columns) largest = std::max({largest, c.fn, c.fp});
  html += "<h2>Errors along the video</h2>\n";
  html += "<svg id=\"timeline\" viewBox=\"0 0 " +
          std::to_string(std::max<std::size_t>(1, columns.size())) +
          " 40\" preserveAspectRatio=\"none\" role=\"img\" aria-label=\"misses (down), false "
          "alarms (up) and identity switches (marks) of every frame; click to go to a frame\">";
  for (std::size_t k = 0; k < columns.size(); ++k) {
    const TimelineColumn& c = columns[k];
    int64_t columnSwitches = 0;
    for (std::size_t pos = c.first; pos <= c.last && pos < page.switches.size(); ++pos) {
      columnSwitches += page.switches[pos];
    }
    if (columnSwitches > 0) {
      html += "<rect class=\"sw\" data-switches=\"" + std::to_string(columnSwitches) + "\" x=\"" +
              std::to_string(k) + "\" y=\"0\" width=\"1\" height=\"5\"/>";
    }
    if (c.fp > 0) {
      const double h = 14.0 * static_cast<double>(c.fp) / static_cast<double>(largest);
      html += "<rect class=\"fp\" x=\"" + std::to_string(k) + "\" y=\"" + number(20 - h) +
              "\" width=\"1\" height=\"" + number(h) + "\"/>";
    }
    if (c.fn > 0) {
      const double h = 19.0 * static_cast<double>(c.fn) / static_cast<double>(largest);
      html += "<rect class=\"fn\" x=\"" + std::to_string(k) + "\" y=\"20\" width=\"1\" height=\"" +
              number(h) + "\"/>";
    }
  }
  html +=
      "<rect id=\"tl-mark\" x=\"0\" y=\"0\" width=\"1\" height=\"40\" "
      "vector-effect=\"non-scaling-stroke\"/></svg>\n";
  html +=
      "<p class=\"hint\">False alarms up (orange), misses down (red), identity switches marked "
      "along the top (magenta); the shown frame is marked in blue. Click the strip to go to the "
      "held frame nearest. Keys: \u2192 and \u2190 next and previous frame, <kbd>n</kbd> and "
      "<kbd>p</kbd> next and previous frame with an error, <kbd>s</kbd> and <kbd>S</kbd> "
      "(shift) next and previous frame with an identity switch.</p>\n";

  html +=
      "<h2>The frame</h2>\n<div id=\"controls\"><button id=\"prev\" type=\"button\">\u2190 "
      "previous</button><button id=\"next\" type=\"button\">next \u2192</button>"
      "<label>Class <select id=\"class-filter\"><option>All</option>";
  for (const FollowedClass& c : followed.classes) {
    html += survivesCollapsing(c.name) ? std::string("<option>")
                                       : "<option value=\"" + escapeMarkup(c.name) + "\">";
    html += escapeMarkup(c.name) + "</option>";
  }
  html +=
      "</select></label><label><input type=\"checkbox\" id=\"show-faint\"> tracker boxes below "
      "the confidence</label></div>\n";
  html += "<p id=\"frame-info\"";
  if (!page.frames.empty()) {
    html += " data-frame=\"" + std::to_string(page.frames.front()) + "\">Frame " +
            std::to_string(page.frames.front());
  } else {
    html += ">No frame";
  }
  html +=
      "</p>\n<p class=\"legend note\"><span>ground truth solid, tracker dashed, each in its "
      "track's colour, labelled with its id (the tracker's as #id)</span><span><i "
      "style=\"border-color:#888;border-top-style:dotted\"></i>missed</span><span><i "
      "style=\"border-color:#ff7f0e\"></i>false alarm</span><span><i "
      "style=\"border-color:#c2185b\"></i>identity switch (from \u2192 to)</span><span><i "
      "style=\"border-color:#7f7f7f\"></i>set aside</span><span><i "
      "style=\"border-color:#9e9e9e\"></i>excluded</span></p>\n";
  const auto addFrameBox = [&](std::size_t index) {
    const FramePicture* picture = nullptr;
    if (index < page.pictures.size() && page.pictures[index]) picture = &*page.pictures[index];
    html += "<div class=\"frame-box\">";
    if (picture != nullptr) {
      html += "<img alt=\"\" src=\"";
      html += escapeMarkup(picture->href);
      html += "\" width=\"" + std::to_string(picture->width) + "\" height=\"" +
              std::to_string(picture->height) + "\">";
    }
    html += renderTrackFrameSvg(page, page.frames[index], picture);
    html += "</div>";
  };
  html += "<div id=\"stage\">";
  if (!page.frames.empty()) addFrameBox(0);
  html += "</div>\n";
  html +=
      "<p id=\"readout\" class=\"hint\">Point at a box to read its line, identity, event and "
      "overlap, or at a ring to read its switch.</p>\n";
  for (std::size_t index = 0; index < page.frames.size(); ++index) {
    const uint32_t frame = page.frames[index];
    const std::size_t pos = frame - 1;
    int64_t gt = 0;
    int64_t det = 0;
    for (const FollowedClass& c : followed.classes) {
      const auto [rowsBegin, rowsEnd] = c.rowsOf(frame);
      for (std::size_t r = rowsBegin; r < rowsEnd; ++r) {
        const TrackEventKind kind = c.rows[r].kind;
        gt += !c.rows[r].systemSide &&
              (kind == TrackEventKind::kMatch || kind == TrackEventKind::kMiss);
        det += c.rows[r].systemSide &&
               (kind == TrackEventKind::kMatch || kind == TrackEventKind::kFalseAlarm);
      }
    }
    html += "<template class=\"frame\" data-frame=\"" + std::to_string(frame) + "\" data-pos=\"" +
            std::to_string(pos) + "\" data-gt=\"" + std::to_string(gt) + "\" data-det=\"" +
            std::to_string(det) + "\" data-fn=\"" + std::to_string(page.errors[pos].fn) +
            "\" data-fp=\"" + std::to_string(page.errors[pos].fp) + "\" data-switches=\"" +
            std::to_string(page.switches[pos]) + "\"";
    if (!page.pictures.empty() && !page.pictures[index]) html += " data-picture=\"missing\"";
    html += ">";
    addFrameBox(index);
    html += "</template>\n";
  }
  std::string data = "{\"frames\":" + std::to_string(page.errors.size()) + ",\"columns\":[";
  for (std::size_t k = 0; k < columns.size(); ++k) {
    if (k > 0) data += ',';
    data += "[" + std::to_string(columns[k].first) + "," + std::to_string(columns[k].last) + "]";
  }
  if (columns.empty()) data += "[0,0]";
  data += "]}";
  html += "<script type=\"application/json\" id=\"view-data\">" + data + "</script>\n";
  html += pageEnd(page.producedBy, kViewScript);
  return html;
}

}  // namespace talmira
