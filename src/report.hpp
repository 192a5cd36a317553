// Terminal width, fitting paths into the report's column, and the report of
// pending actions.
#ifndef KELVODA_REPORT_HPP_
#define KELVODA_REPORT_HPP_

#include <cstdint>
#include <string>
#include <string_view>

#include "console.hpp"
#include "records.hpp"

// Returns the column count of the terminal on file descriptor 1, or 100 when
// stdout is no terminal or reports 0 columns. Prints nothing.
std::int32_t get_terminal_width();

// Returns the width in bytes of the report's path column when no -c gives
// one: (get_terminal_width() - 6) / 2, measured now.
std::int32_t default_column_width();

// Returns `text` fitted into `width` bytes: right-aligned with leading
// blanks when it fits, otherwise "..." and its last `width` - 3 bytes (cut
// without regard to UTF-8 characters). Below a width of 3 a longer text
// becomes the first `width` bytes of "..."; at a negative width it is
// returned unchanged.
std::string format_left(std::string_view text, std::int32_t width);

// Writes to stdout one line per entry of `result` (its path as `console`
// shows it, fitted into `width` bytes, then what is to be done), then the
// summary of both trees' file counts and the number of lines of each kind.
void print_results(const CompareResult& result, std::int32_t width,
                   const Console& console);

// The same with every path as it is.
void print_results(const CompareResult& result, std::int32_t width);

#endif  // KELVODA_REPORT_HPP_
