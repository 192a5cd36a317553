// The report of pending actions. Its lines are built in memory and written
// in blocks: stdout is unit-buffered, so each output operation costs a write
// of its own.
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
    case TAKEN:
      return " -> fehlt, Name auf dem Host schon vergeben.\n";
    case REPLACED:
      return " -> auf dem Host eine andere Datei, muß ersetzt werden.\n";
  }
  return {};
}

constexpr std::size_t REPORT_BLOCK = std::size_t{64} * 1024;

constexpr std::string_view RENAME_TEXT =
    " -> auf dem Host anders geschrieben, muß umbenannt werden.\n";

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
  // Lines go out in blocks: one write a line would cost a system call each.
  std::string out;
  const auto add = [&out](std::string_view text) {
    out += text;
    if (out.size() >= REPORT_BLOCK) {
      std::cout << out;
      out.clear();
    }
  };
  if (!result.entries.empty() || !result.renames.empty()) {
    add("\n");
  }
  for (const Rename& rename : result.renames) {
    add(format_left(shown(console, Stream::OUT, rename.rel_path), width));
    add(RENAME_TEXT);
  }
  for (const DiffEntry& entry : result.entries) {
    std::string_view text = line_text(entry.type);
    if (text.empty()) {
      continue;
    }
    add(format_left(shown(console, Stream::OUT, entry.rel_path), width));
    add(text);
    switch (entry.type) {
      case NEWER:
      case REPLACED:
        ++newer_lines;
        break;
      case MISSING:
      case TAKEN:
        ++missing_lines;
        break;
      case DELETED:
        ++deleted_lines;
        break;
    }
  }
  std::cout << out + "\nZusammenfassung für " +
                   std::to_string(result.local_total + result.host_total) +
                   " Dateien:\n" + std::to_string(newer_lines) +
                   " Dateien müssen aktualisiert werden. " +
                   std::to_string(missing_lines) +
                   " Dateien müssen bereit gestellt werden. " +
                   std::to_string(deleted_lines) +
                   " Dateien müssen gelöscht werden.\n" +
                   (result.renames.empty()
                        ? ""
                        : std::to_string(result.renames.size()) +
                              " Namen müssen umbenannt werden.\n");
}
