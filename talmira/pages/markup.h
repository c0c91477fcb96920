// Text made safe to place in HTML and SVG documents.
#pragma once

#include <string>
#include <string_view>

namespace talmira {

/// `text` as character data or an attribute value (in double or single
/// quotes) of HTML or XML: &, <, >, " and ' become references; control
/// characters that XML forbids and bytes that are not UTF-8 become U+FFFD, so
/// that a path with any bytes in it still gives a well-formed document.
std::string escapeMarkup(std::string_view text);

}  // namespace talmira
