#include "talmira/pages/page_frame.h"

#include "talmira/pages/markup.h"

namespace talmira {
namespace {

// One style for every page: tables first and readable, numbers aligned, the
// same on paper.
constexpr std::string_view kStyle = R"css(
:root { color-scheme: light; }
* { box-sizing: border-box; }
body { margin: 0; background: #fff; color: #1b1b1b;
  font: 15px/1.5 system-ui, -apple-system, "Segoe UI", "Liberation Sans", "DejaVu Sans", Arial, sans-serif; }
main { max-width: 1040px; margin: 0 auto; padding: 28px 24px 40px; }
h1 { font-size: 26px; line-height: 1.25; margin: 0 0 6px; font-weight: 650; }
h2 { font-size: 18px; margin: 30px 0 10px; padding-bottom: 4px; border-bottom: 1px solid #ddd; font-weight: 620; }
p { margin: 6px 0; }
.lead { color: #444; margin: 0 0 16px; }
.note, .hint { color: #555; font-size: 13.5px; }
dl.facts { display: grid; grid-template-columns: max-content 1fr; gap: 3px 18px; margin: 0; }
dl.facts dt { color: #555; }
dl.facts dd { margin: 0; overflow-wrap: anywhere; }
code { font-family: "Liberation Mono", "DejaVu Sans Mono", Menlo, Consolas, monospace; font-size: 13.5px; }
table { border-collapse: collapse; font-variant-numeric: tabular-nums; margin: 6px 0 4px; }
th, td { padding: 4px 12px; text-align: right; border-bottom: 1px solid #e6e6e6; white-space: nowrap; }
th { font-weight: 600; background: #f5f5f5; border-bottom: 2px solid #bdbdbd; vertical-align: bottom; }
th.text, td.text { text-align: left; }
td.message { text-align: left; white-space: pre-wrap; overflow-wrap: anywhere; color: #8a1f14; }
td.path { text-align: left; white-space: normal; overflow-wrap: anywhere; }
tbody tr:hover { background: #f7fafd; }
tr.all td { font-weight: 650; }
tr.empty td { color: #8a8a8a; }
.warnings { margin: 0; padding: 8px 14px 8px 34px; background: #fff8e1; border-left: 4px solid #d9a400; }
.warnings li + li { margin-top: 4px; }
.alert { padding: 8px 14px; background: #fdecea; border-left: 4px solid #c62828; }
.ok { color: #2e6b30; }
figure { margin: 10px 0 0; }
figure svg { display: block; max-width: 100%; height: auto; }
figcaption { color: #555; font-size: 13.5px; margin-top: 4px; }
th button { font: inherit; color: inherit; background: none; border: 0; padding: 0; cursor: pointer; text-align: inherit; }
th button:focus-visible { outline: 2px solid #2f6db5; outline-offset: 2px; }
th[aria-sort="ascending"] button::after { content: " \25B2"; font-size: 10px; }
th[aria-sort="descending"] button::after { content: " \25BC"; font-size: 10px; }
footer { margin-top: 36px; padding-top: 8px; border-top: 1px solid #ddd; color: #666; font-size: 13px; }
@media print {
  body { font-size: 10.5pt; }
  main { max-width: none; padding: 0; }
  h2 { break-after: avoid; }
  table, figure { break-inside: avoid; }
  tbody tr:hover { background: none; }
  .hint { display: none; }
}
)css";

}  // namespace

std::string pageStart(const std::string& title, std::string_view extraStyle,
                      std::string_view imageSources) {
  std::string html = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n";
  html += "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n";
  // Nothing on the page may come from elsewhere: the browser is told so too.
  html +=
      "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
      "style-src 'unsafe-inline'; script-src 'unsafe-inline'; img-src " +
      std::string(imageSources) + "\">\n";
  html += "<title>" + escapeMarkup(title) + "</title>\n<style>" + std::string(kStyle) +
          std::string(extraStyle) + "</style>\n";
  html += "</head>\n<body>\n<main>\n";
  return html;
}

std::string pageEnd(const std::string& producedBy, std::string_view script) {
  std::string html;
  html += "<footer>Produced by <code>" + escapeMarkup(producedBy.empty() ? "talmira" : producedBy) +
          "</code>. This page is self-contained: it needs no network.</footer>\n</main>\n";
  if (!script.empty()) html += "<script>" + std::string(script) + "</script>\n";
  html += "</body>\n</html>\n";
  return html;
}

}  // namespace talmira
