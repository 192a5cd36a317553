// German number forms: "." between thousands, "," before the one decimal,
// decimal units that round up into the next at 1.000.
#include "numbers.hpp"

#include <array>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 7> UNITS = {"B",  "kB", "MB", "GB",
                                                   "TB", "PB", "EB"};

// How a number of bytes is written.
struct SizeForm {
  std::size_t unit = 0;      // index into UNITS
  std::uint64_t factor = 1;  // the unit in bytes
  bool decimal = false;
};

// `bytes` / `unit`, rounded half up.
std::uint64_t rounded(std::uint64_t bytes, std::uint64_t unit) {
  return bytes / unit + ((bytes % unit) * 2 >= unit ? 1 : 0);
}

// The largest unit in which `bytes` does not round to 1.000 or more; a
// decimal when the value rounds below `decimal_below` in it.
SizeForm size_form(std::uint64_t bytes, std::uint64_t decimal_below) {
  SizeForm form;
  while (form.unit + 1 < UNITS.size() && rounded(bytes, form.factor) >= 1000) {
    ++form.unit;
    form.factor *= 1000;
  }
  form.decimal =
      form.unit > 0 && rounded(bytes, form.factor / 10) < decimal_below * 10;
  return form;
}

// `bytes` as a number in `form`, without the unit.
std::string size_number(std::uint64_t bytes, SizeForm form) {
  if (!form.decimal) {
    return format_count(rounded(bytes, form.factor));
  }
  const std::uint64_t tenths = rounded(bytes, form.factor / 10);
  return format_count(tenths / 10) + "," + std::to_string(tenths % 10);
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

std::string format_size(std::uint64_t bytes) {
  const SizeForm form = size_form(bytes, 100);
  return size_number(bytes, form) + " " + std::string(UNITS[form.unit]);
}

std::string format_size_of(std::uint64_t done, std::uint64_t total) {
  return size_number(done, size_form(total, 100)) + "/" + format_size(total);
}

std::string format_rate(std::uint64_t bytes_per_second) {
  const SizeForm form = size_form(bytes_per_second, 10);
  return size_number(bytes_per_second, form) + " " +
         std::string(UNITS[form.unit]) + "/s";
}

std::string format_duration(std::uint64_t seconds) {
  const auto two_digits = [](std::uint64_t value) {
    return (value < 10 ? "0" : "") + std::to_string(value);
  };
  if (seconds < 60) {
    return std::to_string(seconds) + " s";
  }
  if (seconds < 3600) {
    return std::to_string(seconds / 60) + ":" + two_digits(seconds % 60) +
           " min";
  }
  return std::to_string(seconds / 3600) + ":" + two_digits(seconds / 60 % 60) +
         ":" + two_digits(seconds % 60) + " h";
}
