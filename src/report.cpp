// The report of pending actions. Every line is built in memory and written
// with one output operation: stdout is unit-buffered, so each operation costs
// a write of its own.
#include "report.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <iostream>

namespace {

std::string_view line_text(DiffType type) {
  switch (type) {
    case NEWER:
      return " -> lokal neuer, muß aktualisiert werden.\n";
    case MISSING:
      return " -> fehlt, muß zum Host kopiert werden.\n";
    case DELETED:
      return " -X fehlt lokal, muß auf Host gelöscht werden.\n";
  }
  return {};
}

}  // namespace

std::int32_t get_terminal_width() {
  winsize size{};
  if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col != 0) {
    return size.ws_col;
  }
  return 100;
}

std::int32_t default_column_width() {
  return (get_terminal_width() - 6) / 2;
}

std::string format_left(std::string_view text, std::int32_t width) {
  const auto length = static_cast<std::int64_t>(text.size());
  if (width >= length) {
    std::string result(static_cast<std::size_t>(width - length), ' ');
    result += text;
    return result;
  }
  if (width >= 3) {
    std::string result = "...";
    result += text.substr(static_cast<std::size_t>(length - width + 3));
    return result;
  }
  if (width >= 0) {
    return std::string("...", static_cast<std::size_t>(width));
  }
  return std::string(text);
}

void print_results(const CompareResult& result, std::int32_t width) {
  print_results(result, width, Console{});
}

void print_results(const CompareResult& result, std::int32_t width,
                   const Console& console) {
  std::uint64_t newer_lines = 0;
  std::uint64_t missing_lines = 0;
  std::uint64_t deleted_lines = 0;
  if (!result.entries.empty()) {
    std::cout << "\n";
  }
  std::string line;
  for (const DiffEntry& entry : result.entries) {
    std::string_view text = line_text(entry.type);
    if (text.empty()) {
      continue;
    }
    line = format_left(shown(console, Stream::OUT, entry.rel_path), width);
    line += text;
    std::cout << line;
    switch (entry.type) {
      case NEWER:
        ++newer_lines;
        break;
      case MISSING:
        ++missing_lines;
        break;
      case DELETED:
        ++deleted_lines;
        break;
    }
  }
  std::cout << "\nZusammenfassung für " +
                   std::to_string(result.local_total + result.host_total) +
                   " Dateien:\n" + std::to_string(newer_lines) +
                   " Dateien müssen aktualisiert werden. " +
                   std::to_string(missing_lines) +
                   " Dateien müssen bereit gestellt werden. " +
                   std::to_string(deleted_lines) +
                   " Dateien müssen gelöscht werden.\n";
}
