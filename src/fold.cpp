// A table of the letters that FAT, exFAT and NTFS compare without case.
#include "fold.hpp"

#include <cctype>

namespace {

// Appends the code point `code` (below 0x800) to `out` in UTF-8.
void append_utf8(std::string& out, unsigned code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
    return;
  }
  out += static_cast<char>(0xC0 | (code >> 6));
  out += static_cast<char>(0x80 | (code & 0x3F));
}

// The small letter of the capital `code`, for the letters of two UTF-8 bytes
// that FAT, exFAT and NTFS compare without case; other code points stay.
unsigned lower_letter(unsigned code) {
  const bool latin1 = code >= 0xC0 && code <= 0xDE && code != 0xD7;
  const bool greek = code >= 0x391 && code <= 0x3A9 && code != 0x3A2;
  const bool cyrillic = code >= 0x410 && code <= 0x42F;
  if (latin1 || greek || cyrillic) {
    return code + 0x20;
  }
  if (code >= 0x400 && code <= 0x40F) {
    return code + 0x50;
  }
  const bool even_pairs =
      (code >= 0x100 && code <= 0x137) || (code >= 0x14A && code <= 0x177);
  const bool odd_pairs =
      (code >= 0x139 && code <= 0x148) || (code >= 0x179 && code <= 0x17E);
  if ((even_pairs && code % 2 == 0) || (odd_pairs && code % 2 == 1)) {
    return code + 1;
  }
  return code == 0x178 ? 0xFF : code;
}

}  // namespace

std::string fold_key(std::string_view rel) {
  std::string folded;
  folded.reserve(rel.size());
  const auto end_component = [&folded] {
    while (!folded.empty() && (folded.back() == '.' || folded.back() == ' ')) {
      folded.pop_back();
    }
  };
  for (std::size_t i = 0; i < rel.size(); ++i) {
    const auto byte = static_cast<unsigned char>(rel[i]);
    if (byte == '/') {
      end_component();
      folded += '/';
    } else if (byte < 0x80) {
      folded += static_cast<char>(std::tolower(byte));
    } else if ((byte & 0xE0) == 0xC0 && i + 1 < rel.size() &&
               (static_cast<unsigned char>(rel[i + 1]) & 0xC0) == 0x80) {
      const unsigned code = ((byte & 0x1FU) << 6) |
                            (static_cast<unsigned char>(rel[i + 1]) & 0x3FU);
      append_utf8(folded, lower_letter(code));
      ++i;
    } else {
      folded += static_cast<char>(byte);
    }
  }
  end_component();
  return folded;
}
