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

// "Lokal: 1.234 Dateien, 56 Ordner" for the scan of `tree`.
std::string scan_text(const StatusLine& line, Tree tree) {
  const ScanCount& scan = line.scans[static_cast<std::size_t>(tree)];
  return std::string(tree == Tree::LOCAL ? "Lokal: " : "Host: ") +
         count_of(scan.files, "Datei", "Dateien") + ", " +
         count_of(scan.folders, "Ordner", "Ordner");
}

// Bytes per second over the rate window, moving the window on.
std::uint64_t current_rate(Applying& apply, std::int64_t now,
                           std::uint64_t done) {
  if (now - apply.window_middle.time >= RATE_WINDOW_MS) {
    apply.window_start = apply.window_middle;
    apply.window_middle = {.time = now, .bytes = done};
  }
  const std::int64_t elapsed = now - apply.window_start.time;
  if (elapsed <= 0 || done <= apply.window_start.bytes) {
    return 0;
  }
  return static_cast<std::uint64_t>(
      static_cast<double>(done - apply.window_start.bytes) * 1000.0 /
      static_cast<double>(elapsed));
}

// "Kopiere 1/3 Dateien, 1,2/3,4 GB, 60 MB/s, noch 37 s", or "Lösche 1/3
// Dateien" while deleting.
std::string apply_text(Applying& apply, std::int64_t now) {
  const bool deleting = apply.doing == Doing::DELETE;
  std::string text = (deleting ? "Lösche " : "Kopiere ") +
                     format_count(apply.done_files) + "/" +
                     count_of(apply.total_files, "Datei", "Dateien");
  if (deleting) {
    return text;
  }
  std::uint64_t done = apply.done_bytes;
  if (apply.doing == Doing::COPY) {
    done += std::min(apply.file_bytes, apply.file_size);
  }
  const std::uint64_t total = apply.total_bytes;
  if (total > 0) {
    done = std::min(done, total);
    text += ", " + format_size_of(done, total);
  } else if (done > 0) {
    text += ", " + format_size(done);
  }
  const std::uint64_t rate = current_rate(apply, now, done);
  if (rate > 0) {
    text += ", " + format_rate(rate);
  }
  if (rate > 0 && total > 0) {
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
  const std::size_t room = columns - text_width;
  const std::size_t fixed = text_columns(" – ") + 1 + text_columns(percent);
  std::string shown_name(name);
  if (fixed + text_columns(name) > room) {
    const std::size_t ellipsis = text_columns("…");
    const std::string_view tail =
        fixed + ellipsis < room ? last_columns(name, room - fixed - ellipsis)
                                : std::string_view();
    shown_name = tail.empty() ? "" : "…" + std::string(tail);
  }
  if (percent.empty() || shown_name.empty()) {
    return std::string(text);
  }
  return std::string(text) + " – " + shown_name + " " + std::string(percent);
}

}  // namespace

std::string status_text(StatusLine& line, std::int64_t now,
                        std::size_t columns) {
  const Applying& apply = line.apply;
  std::string text;
  std::string name;
  std::string percent;
  if (line.phase == Phase::SCAN) {
    const bool both = line.both_trees;
    text = "Durchsuche " +
           scan_text(line, both ? Tree::LOCAL : line.last_tree.load());
    text += both ? " · " + scan_text(line, Tree::HOST) : "";
  } else if (line.phase == Phase::APPLY) {
    text = apply_text(line.apply, now);
    if (apply.doing == Doing::COPY && apply.file_size > 0 &&
        now - apply.file_start >= FILE_DETAIL_MS) {
      name = terminal_form(apply.file_name);
      percent = std::to_string(std::min(apply.file_bytes, apply.file_size) *
                               100 / apply.file_size) +
                " %";
    }
  } else if (line.phase == Phase::SYNC) {
    text = "Schreibe Daten auf den Host …";
  }
  return fitted(text, name, percent, columns);
}

std::string final_text(const StatusLine& line, std::int64_t now) {
  const auto counted = [&line](Counted what) {
    return line.apply.counted[static_cast<std::size_t>(what)];
  };
  std::string parts;
  const auto add = [&parts](const std::string& part) {
    parts += (parts.empty() ? "Fertig: " : ", ") + part;
  };
  if (counted(Counted::COPIED) > 0) {
    add(count_of(counted(Counted::COPIED), "Datei", "Dateien") + " kopiert (" +
        format_size(line.apply.copied_bytes) + ")");
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
  const auto seconds =
      static_cast<std::uint64_t>(
          std::max<std::int64_t>(now - line.apply.start, 0) + 500) /
      1000;
  return (parts.empty() ? "Fertig: nichts geändert" : parts) + " – " +
         format_duration(seconds) + "\n";
}
