#include "talmira/pages/markup.h"

#include <cstdint>

namespace talmira {
namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the well-formed UTF-8 sequence at the start of `text` that
// encodes a character XML allows, or 0.
std::size_t validSequenceLength(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<uint8_t>(text[i]); };
  const uint8_t lead = byte(0);
  std::size_t length = 0;
  uint32_t code = 0;
  if (lead < 0x80) {
    // Tab, line feed and carriage return are the only control characters XML 1.0 takes.
    return (lead >= 0x20 || lead == '\t' || lead == '\n' || lead == '\r') && lead != 0x7F ? 1 : 0;
  } else if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (text.size() < length) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  const bool overlong = (length == 3 && code < 0x800) || (length == 4 && code < 0x10000);
  const bool surrogate = code >= 0xD800 && code <= 0xDFFF;
  const bool excluded =
      (code >= 0x80 && code <= 0x9F) || code == 0xFFFE || code == 0xFFFF || code > 0x10FFFF;
  return overlong || surrogate || excluded ? 0 : length;
}

}  // namespace

std::string escapeMarkup(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  while (!text.empty()) {
    switch (text.front()) {
      case '&':
        out += "&amp;";
        text.remove_prefix(1);
        continue;
      case '<':
        out += "&lt;";
        text.remove_prefix(1);
        continue;
      case '>':
        out += "&gt;";
        text.remove_prefix(1);
        continue;
      case '"':
        out += "&quot;";
        text.remove_prefix(1);
        continue;
      case '\'':
        out += "&#39;";
        text.remove_prefix(1);
        continue;
      default:
        break;
    }
    const std::size_t length = validSequenceLength(text);
    if (length == 0) {
      out += kReplacement;
      text.remove_prefix(1);
    } else {
      out.append(text.substr(0, length));
      text.remove_prefix(length);
    }
  }
  return out;
}

}  // namespace talmira
