// Unicode case folding from utf8proc, which keeps its tables in step with
// Unicode; ASCII names, the common case, are folded here without it.
#include "fold.hpp"

#include <utf8proc.h>

#include <algorithm>
#include <cstdlib>
#include <memory>

std::string fold_name(std::string_view name) {
  if (std::all_of(name.begin(), name.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x80;
      })) {
    std::string folded(name);
    for (char& c : folded) {
      c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    return folded;
  }
  utf8proc_uint8_t* mapped = nullptr;
  const utf8proc_ssize_t length = utf8proc_map(
      reinterpret_cast<const utf8proc_uint8_t*>(name.data()),
      static_cast<utf8proc_ssize_t>(name.size()), &mapped,
      static_cast<utf8proc_option_t>(UTF8PROC_STABLE | UTF8PROC_DECOMPOSE |
                                     UTF8PROC_CASEFOLD));
  if (length < 0) {
    return std::string(name);
  }
  const std::unique_ptr<utf8proc_uint8_t, decltype(&std::free)> owned(
      mapped, &std::free);
  return {reinterpret_cast<const char*>(mapped),
          static_cast<std::size_t>(length)};
}
