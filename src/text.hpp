// UTF-8 text as a terminal shows it: one decoder, one rule for the columns
// a character takes, and the form of a name that is safe to print.
#ifndef KELVODA_TEXT_HPP_
#define KELVODA_TEXT_HPP_

#include <cstddef>
#include <string>
#include <string_view>

// One character of UTF-8 text.
struct CodePoint {
  char32_t code = 0;
  std::size_t length = 1;  // its bytes; 1 for a malformed byte
  int error = 0;           // EILSEQ where the bytes are no well-formed UTF-8
};

// Decodes the character that starts at byte `at` of `text` (`at` below its
// size). Overlong forms, surrogates, code points beyond U+10FFFF, stray
// continuation bytes and cut sequences give EILSEQ for the one byte at `at`.
CodePoint decode_utf8(std::string_view text, std::size_t at);

// Returns the screen columns `code` takes, counted high where unsure: one
// below U+1100 and in the punctuation block U+2000 to U+206F, two for every
// other character, since the wide ones of East Asia and the emoji are among
// them. A malformed byte counts one, like the "?" shown for it.
std::size_t columns_of(char32_t code);

// Returns the screen columns of `text`.
std::size_t text_columns(std::string_view text);

// Returns the longest start of `text` that takes at most `columns`.
std::string_view first_columns(std::string_view text, std::size_t columns);

// Returns the longest end of `text` that takes at most `columns`.
std::string_view last_columns(std::string_view text, std::size_t columns);

// Returns `text` as `ls` shows it on a terminal: each control character (C0,
// DEL, C1), each bidirectional control (U+061C, U+200E, U+200F, U+202A to
// U+202E, U+2066 to U+2069), the line and paragraph separators (U+2028,
// U+2029) and each malformed byte becomes "?", so no name can move the
// cursor, start an escape sequence, break the line or turn it around.
std::string terminal_form(std::string_view text);

#endif  // KELVODA_TEXT_HPP_
