// Numbers in the German forms the status line shows them in: "." between
// thousands, "," before the one decimal, decimal units that round up into
// the next at 1.000.
#ifndef KELVODA_NUMBERS_HPP_
#define KELVODA_NUMBERS_HPP_

#include <cstdint>
#include <string>

// A number of bytes: a size has one decimal below 100 of its unit ("12,3 GB",
// "123 GB"), a rate one below 10 of it and "/s" ("4,5 MB/s", "45 MB/s").
enum class Bytes { SIZE, RATE };

// Returns `number` with a "." between groups of three digits ("1.234").
std::string format_count(std::uint64_t number);

// Returns `bytes` as `kind`; with a `total` above 0, `bytes` in the unit and
// form that `total` takes, a "/" and `total` ("1,2/3,4 GB").
std::string format_bytes(std::uint64_t bytes, Bytes kind,
                         std::uint64_t total = 0);

// Returns `seconds` as "12 s" below a minute, "4:32 min" below an hour and
// "1:02:03 h" above.
std::string format_duration(std::uint64_t seconds);

#endif  // KELVODA_NUMBERS_HPP_
