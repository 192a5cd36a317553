// The texts of the status line. They are built only when the line is drawn,
// at most ten times a second.
#include "status.hpp"

#include <algorithm>
#include <string_view>

#include "numbers.hpp"
#include "text.hpp"

namespace {

// The rate is measured over the last two to four seconds, so it follows a
// host whose cache has filled up.
constexpr std::int64_t RATE_WINDOW_MS = 2000;
// A file that takes this long gets its name and percentage on the line.
constexpr std::int64_t FILE_DETAIL_MS = 1000;

// How many in the form of `singular` or `plural`: "1 Datei", "2 Dateien".
std::string count_of(std::uint64_t number, std::string_view singular,
                     std::string_view plural) {
  return format_count(number) + " " +
         std::string(number == 1 ? singular : plural);
}

// "Lokal: 1.234 Dateien, 56 Ordner" for the tree at `tree`.
std::string scan_text(const StatusLine& line, std::size_t tree) {
  const ScanCount& scan = line.scans[tree];
  return std::string(tree == 0 ? "Lokal: " : "Host: ") +
         count_of(scan.files, "Datei", "Dateien") + ", " +
         count_of(scan.folders, "Ordner", "Ordner");
}

// Bytes per second over the rate window, moving the window on.
std::uint64_t current_rate(StatusLine& line, std::int64_t now,
                           std::uint64_t done) {
  if (now - line.window_middle.time >= RATE_WINDOW_MS) {
    line.window_start = line.window_middle;
    line.window_middle = {.time = now, .bytes = done};
  }
  const std::int64_t elapsed = now - line.window_start.time;
  if (elapsed <= 0 || done <= line.window_start.bytes) {
    return 0;
  }
  return static_cast<std::uint64_t>(
      static_cast<double>(done - line.window_start.bytes) * 1000.0 /
      static_cast<double>(elapsed));
}

std::string apply_text(StatusLine& line, std::int64_t now) {
  const bool deleting = line.doing == Doing::DELETE;
  std::string text = (deleting ? "Lösche " : "Kopiere ") +
                     format_count(line.done_files) + "/" +
                     count_of(line.total_files, "Datei", "Dateien");
  if (deleting) {
    return text;
  }
  std::uint64_t done = line.done_bytes;
  if (line.doing == Doing::COPY) {
    done += std::min(line.file_bytes, line.file_size);
  }
  const std::uint64_t total = line.total_bytes;
  if (total > 0) {
    done = std::min(done, total);
    text += ", " + format_size_of(done, total);
  } else if (done > 0) {
    text += ", " + format_size(done);
  }
  const std::uint64_t rate = current_rate(line, now, done);
  if (rate == 0) {
    return text;
  }
  text += ", " + format_rate(rate);
  if (total > 0) {
    text += ", noch " + format_duration((total - done + rate - 1) / rate);
  }
  return text;
}

// `text`, then as much of " – <name> <percent>" as the room allows: the name
// loses its front to "…" first, then the whole part goes; `text` itself is
// cut at its end. Takes at most `columns`.
std::string fitted(std::string_view text, std::string_view name,
                   std::string_view percent, std::size_t columns) {
  const std::size_t text_width = text_columns(text);
  if (text_width >= columns) {
    return std::string(first_columns(text, columns));
  }
  std::string line(text);
  if (percent.empty()) {
    return line;
  }
  const std::size_t room = columns - text_width;
  const std::size_t fixed = text_columns(" – ") + 1 + text_columns(percent);
  if (fixed + text_columns(name) <= room) {
    return line + " – " + std::string(name) + " " + std::string(percent);
  }
  const std::size_t ellipsis = text_columns("…");
  const std::string_view tail =
      fixed + ellipsis < room ? last_columns(name, room - fixed - ellipsis)
                              : std::string_view();
  if (tail.empty()) {
    return line;
  }
  return line + " – …" + std::string(tail) + " " + std::string(percent);
}

}  // namespace

std::string status_text(StatusLine& line, std::int64_t now,
                        std::size_t columns) {
  switch (line.phase) {
    case Phase::NONE:
      return {};
    case Phase::SCAN: {
      const std::string trees =
          line.both_trees ? scan_text(line, 0) + " · " + scan_text(line, 1)
                          : scan_text(line, line.last_tree);
      return fitted("Durchsuche " + trees, "", "", columns);
    }
    case Phase::APPLY:
      if (line.doing == Doing::COPY && line.file_size > 0 &&
          now - line.file_start >= FILE_DETAIL_MS) {
        const std::uint64_t percent =
            std::min(line.file_bytes, line.file_size) * 100 / line.file_size;
        return fitted(apply_text(line, now), terminal_form(line.file_name),
                      std::to_string(percent) + " %", columns);
      }
      return fitted(apply_text(line, now), "", "", columns);
    case Phase::SYNC:
      return fitted("Schreibe Daten auf den Host …", "", "", columns);
  }
  return {};
}

std::string final_text(const StatusLine& line, std::int64_t now) {
  const auto counted = [&line](Counted what) {
    return line.counted[static_cast<std::size_t>(what)];
  };
  std::string parts;
  const auto add = [&parts](const std::string& part) {
    parts += parts.empty() ? "Fertig: " : ", ";
    parts += part;
  };
  if (counted(Counted::COPIED) > 0) {
    add(count_of(counted(Counted::COPIED), "Datei", "Dateien") + " kopiert (" +
        format_size(line.copied_bytes) + ")");
  }
  if (counted(Counted::DELETED) > 0) {
    // Only the first part names what was counted.
    add((parts.empty() ? count_of(counted(Counted::DELETED), "Datei", "Dateien")
                       : format_count(counted(Counted::DELETED))) +
        " gelöscht");
  }
  if (counted(Counted::FOLDER_REMOVED) > 0) {
    add(count_of(counted(Counted::FOLDER_REMOVED), "Ordner", "Ordner") +
        " entfernt");
  }
  if (counted(Counted::FAILURE) > 0) {
    add(count_of(counted(Counted::FAILURE), "Fehler", "Fehler"));
  }
  if (parts.empty()) {
    parts = "Fertig: nichts geändert";
  }
  const std::int64_t elapsed = now - line.apply_start;
  const auto seconds =
      static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed + 500, 0)) /
      1000;
  return parts + " – " + format_duration(seconds) + "\n";
}
