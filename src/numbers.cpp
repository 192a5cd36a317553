// German number forms, rounded half up in integer arithmetic.
#include "numbers.hpp"

#include <array>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 7> UNITS = {"B",  "kB", "MB", "GB",
                                                   "TB", "PB", "EB"};

// `value` / `unit`, rounded half up.
std::uint64_t rounded(std::uint64_t value, std::uint64_t unit) {
  return value / unit + ((value % unit) * 2 >= unit ? 1 : 0);
}

}  // namespace

std::string format_count(std::uint64_t number) {
  const std::string digits = std::to_string(number);
  std::string result;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    result += i > 0 && (digits.size() - i) % 3 == 0 ? "." : "";
    result += digits[i];
  }
  return result;
}

std::string format_bytes(std::uint64_t bytes, Bytes kind, std::uint64_t total) {
  // The largest unit in which the scale does not round to 1.000 or more.
  const std::uint64_t scale = total > 0 ? total : bytes;
  std::size_t unit = 0;
  std::uint64_t factor = 1;
  while (unit + 1 < UNITS.size() && rounded(scale, factor) >= 1000) {
    ++unit;
    factor *= 1000;
  }
  const std::uint64_t decimal_below = kind == Bytes::SIZE ? 100 : 10;
  const bool decimal =
      unit > 0 && rounded(scale, factor / 10) < decimal_below * 10;
  const auto number = [factor, decimal](std::uint64_t value) {
    if (!decimal) {
      return format_count(rounded(value, factor));
    }
    const std::uint64_t tenths = rounded(value, factor / 10);
    return format_count(tenths / 10) + "," + std::to_string(tenths % 10);
  };
  // Appended piece by piece: GCC 12 warns (-Wrestrict) about an inlined
  // "/" + std::string that cannot overlap.
  std::string text = number(bytes);
  if (total > 0) {
    text += '/';
    text += number(total);
  }
  text += ' ';
  text += UNITS[unit];
  text += kind == Bytes::RATE ? "/s" : "";
  return text;
}

std::string format_duration(std::uint64_t seconds) {
  const auto colon_two_digits = [](std::uint64_t value) {
    return (value < 10 ? ":0" : ":") + std::to_string(value);
  };
  if (seconds < 60) {
    return std::to_string(seconds) + " s";
  }
  if (seconds < 3600) {
    return std::to_string(seconds / 60) + colon_two_digits(seconds % 60) +
           " min";
  }
  return std::to_string(seconds / 3600) + colon_two_digits(seconds / 60 % 60) +
         colon_two_digits(seconds % 60) + " h";
}
