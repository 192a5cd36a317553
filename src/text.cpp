// UTF-8 decoding, screen columns and the terminal form of names.
#include "text.hpp"

#include <algorithm>
#include <array>
#include <cerrno>

namespace {

// First and last code point of a range.
struct Range {
  char32_t first;
  char32_t last;
};

// A terminal acts on these instead of showing them: C0, DEL and C1; every
// bidirectional control (Bidi_Control), which turns the line around; the
// line and paragraph separators, which some terminals take as line ends.
constexpr std::array<Range, 7> CONTROLS = {{
    {0x00, 0x1F},
    {0x7F, 0x9F},
    {0x061C, 0x061C},  // Arabic letter mark
    {0x200E, 0x200F},  // left-to-right and right-to-left marks
    {0x2028, 0x2029},  // line and paragraph separators
    {0x202A, 0x202E},  // embeddings and overrides
    {0x2066, 0x2069},  // isolates
}};

bool is_control(const CodePoint& point) {
  return point.error != 0 ||
         std::any_of(CONTROLS.begin(), CONTROLS.end(), [&](const Range& range) {
           return point.code >= range.first && point.code <= range.last;
         });
}

}  // namespace

CodePoint decode_utf8(std::string_view text, std::size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) {
    return {.code = lead};
  }
  constexpr CodePoint MALFORMED{.error = EILSEQ};
  // The range of the second byte rules out overlong forms, surrogates and
  // code points beyond U+10FFFF.
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  }
  if (length == 0 || text.size() - at < length) {
    return MALFORMED;
  }
  char32_t code = lead & (0x7FU >> length);
  for (std::size_t i = 1; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[at + i]);
    if (byte < (i == 1 ? low : 0x80) || byte > (i == 1 ? high : 0xBF)) {
      return MALFORMED;
    }
    code = (code << 6U) | (byte & 0x3FU);
  }
  return {.code = code, .length = length};
}

std::size_t columns_of(char32_t code) {
  return code < 0x1100 || (code >= 0x2000 && code <= 0x206F) ? 1 : 2;
}

std::size_t text_columns(std::string_view text) {
  std::size_t columns = 0;
  for (std::size_t at = 0; at < text.size();) {
    const CodePoint point = decode_utf8(text, at);
    columns += columns_of(point.code);
    at += point.length;
  }
  return columns;
}

std::string_view first_columns(std::string_view text, std::size_t columns) {
  std::size_t at = 0;
  while (at < text.size()) {
    const CodePoint point = decode_utf8(text, at);
    if (columns_of(point.code) > columns) {
      break;
    }
    columns -= columns_of(point.code);
    at += point.length;
  }
  return text.substr(0, at);
}

std::string_view last_columns(std::string_view text, std::size_t columns) {
  std::size_t surplus = text_columns(text);
  std::size_t at = 0;
  while (surplus > columns) {
    const CodePoint point = decode_utf8(text, at);
    surplus -= columns_of(point.code);
    at += point.length;
  }
  return text.substr(at);
}

std::string terminal_form(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  for (std::size_t at = 0; at < text.size();) {
    const CodePoint point = decode_utf8(text, at);
    if (is_control(point)) {
      shown += '?';
    } else {
      shown += text.substr(at, point.length);
    }
    at += point.length;
  }
  return shown;
}
