// Numbers in the German forms the status line shows them in.
#ifndef KELVODA_NUMBERS_HPP_
#define KELVODA_NUMBERS_HPP_

#include <cstdint>
#include <string>

// Returns `number` with a "." between groups of three digits ("1.234").
std::string format_count(std::uint64_t number);

// Returns `bytes` in decimal units with one decimal below 100 of the unit
// ("999 B", "12,3 GB", "123 GB").
std::string format_size(std::uint64_t bytes);

// Returns `done` and `total` bytes in the unit and form that `total` takes
// alone ("1,2/3,4 GB").
std::string format_size_of(std::uint64_t done, std::uint64_t total);

// Returns `bytes_per_second` in decimal units with one decimal below 10 of
// the unit ("4,5 MB/s", "45 MB/s").
std::string format_rate(std::uint64_t bytes_per_second);

// Returns `seconds` as "12 s" below a minute, "4:32 min" below an hour and
// "1:02:03 h" above.
std::string format_duration(std::uint64_t seconds);

#endif  // KELVODA_NUMBERS_HPP_
