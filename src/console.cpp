// The run's console and what its status line says. Permanent lines on the
// line's terminal go out in one write with the line's erasure and its
// redrawing, so the line stays visible below them. The line's texts are
// built only when it is drawn, at most ten times a second.
#include "console.hpp"

#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <ctime>
#include <iostream>
#include <limits>
#include <mutex>
#include <optional>

#include "numbers.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace {

// A phase shows its line only once it has lasted this long, so quick runs
// look as they always did.
constexpr std::int64_t DELAY_MS = 500;
constexpr std::int64_t REDRAW_MS = 100;
// A file that takes this long gets its name and percentage on the line, and
// a wait for the disk that lasts this long its time.
constexpr std::int64_t FILE_DETAIL_MS = 1000;
constexpr std::int64_t WAIT_SHOWN_MS = 1000;

// The part of the run the line follows.
enum class Phase { NONE, SCAN, APPLY, SYNC };
// The entry of the application under way.
enum class Doing { NOTHING, COPY, DELETE };
// Whether a draw waits until one is due.
enum class When { DUE, NOW };

// One tree's scan, stored by the thread that walks it.
struct ScanCount {
  std::atomic<std::uint64_t> files = 0;
  std::atomic<std::uint64_t> folders = 0;
  std::atomic<bool> started = false;
};

// The numbers of one application.
struct Applying {
  std::int64_t start = 0;
  std::uint64_t total_files = 0;
  Work copies = {};  // in all
  std::uint64_t done_files = 0;
  std::uint64_t done_copies = 0;
  std::uint64_t done_bytes = 0;  // of the entries already done
  Estimate estimate = {};
  Doing doing = Doing::NOTHING;
  std::string file_name = {};  // last name of the file being copied
  std::uint64_t file_size = 0;
  std::uint64_t file_bytes = 0;
  std::int64_t file_start = 0;
  std::array<std::uint64_t, 5> counted = {};  // by Counted
  std::uint64_t copied_bytes = 0;
};

}  // namespace

// Two scans may store their counts at once; the rest is written by the
// thread that holds `drawing`, or by the one that applies.
struct StatusLine {
  Clock clock = nullptr;
  std::int32_t width = 80;
  int out_fd = -1;  // stdout, where it is on the line's terminal
  Phase phase = Phase::NONE;
  std::atomic<std::int64_t> phase_start = 0;  // a new tree's scan sets it
  std::int64_t last_draw = std::numeric_limits<std::int64_t>::min() / 2;
  bool suspended = false;
  std::string text = {};  // as last drawn
  bool waiting = false;   // for the disk
  std::int64_t wait_start = 0;
  bool wait_drawn = false;  // the text says how long the run has waited
  std::mutex drawing = {};
  std::array<ScanCount, 2> scans = {};        // by Tree
  std::atomic<Tree> last_tree = Tree::LOCAL;  // whose scan began last
  // The tree that began first went on after the other began: both are shown.
  std::atomic<bool> both_trees = false;
  bool applied = false;  // the final line is still to come
  Applying apply = {};
};

namespace {

// "1 Datei", "2 Dateien".
std::string file_count(std::uint64_t number) {
  return format_count(number) + (number == 1 ? " Datei" : " Dateien");
}

// "Lokal: 1.234 Dateien, 56 Ordner" for the scan of `tree`.
std::string scan_text(const StatusLine& line, Tree tree) {
  const ScanCount& scan = line.scans[static_cast<std::size_t>(tree)];
  return (tree == Tree::LOCAL ? "Lokal: " : "Host: ") + file_count(scan.files) +
         ", " + format_count(scan.folders) + " Ordner";
}

// The parts of the copy line: "Kopiere 1/3 Dateien", ", 1,2/3,4 GB",
// ", 60 MB/s", ", noch 37 s", and the current file's "10 %" once it has
// taken a second. A deletion's line has only its first part.
struct LineParts {
  std::string files = {};
  std::string bytes = {};
  std::string rate = {};
  std::string left = {};
  std::string percent = {};
};

// The copy line's parts at `now`; notes the work done in the estimate.
LineParts copy_parts(Applying& apply, std::int64_t now) {
  LineParts parts{.files = "Kopiere " + format_count(apply.done_files) + "/" +
                           file_count(apply.total_files)};
  const bool copying = apply.doing == Doing::COPY;
  const std::uint64_t file_done =
      copying ? std::min(apply.file_bytes, apply.file_size) : 0;
  if (copying && apply.file_size > 0 &&
      now - apply.file_start >= FILE_DETAIL_MS) {
    parts.percent = std::to_string(file_done * 100 / apply.file_size) + " %";
  }
  const std::uint64_t total = apply.copies.bytes;
  const std::uint64_t done =
      std::min(apply.done_bytes + file_done, total > 0 ? total : UINT64_MAX);
  if (done > 0 || total > 0) {
    parts.bytes = ", " + format_bytes(done, Bytes::SIZE, total);
  }
  const Outlook outlook =
      note_work(apply.estimate, now,
                {.files = apply.done_copies, .bytes = done}, apply.copies);
  if (outlook.bytes_per_second > 0) {
    parts.rate = ", " + format_bytes(outlook.bytes_per_second, Bytes::RATE);
  }
  if (outlook.seconds_left) {
    parts.left = ", noch " + format_duration(*outlook.seconds_left);
  }
  return parts;
}

// The line with " – <name> <percent>" after `parts`: the name loses its
// front to "…" first, then the whole part goes, then the text is cut at its
// end.
std::string with_file(const LineParts& parts, const std::string& file_name,
                      std::size_t columns) {
  const std::string text = parts.files + parts.bytes + parts.rate + parts.left;
  const std::size_t width = text_columns(text);
  if (width >= columns || parts.percent.empty()) {
    return std::string(first_columns(text, columns));
  }
  const std::string name = terminal_form(file_name);
  const std::size_t fixed =
      width + text_columns(" – ") + 1 + text_columns(parts.percent);
  const std::size_t ellipsis = text_columns("…");
  std::string_view tail = name;
  std::string cut;
  if (fixed + text_columns(name) > columns) {
    tail = fixed + ellipsis < columns
               ? last_columns(name, columns - fixed - ellipsis)
               : "";
    cut = "…";
  }
  return tail.empty()
             ? text
             : text + " – " + cut + std::string(tail) + " " + parts.percent;
}

// The line with `wait` at its end instead of the rate and the file, since
// nothing moves while the run waits: where the whole does not fit, the
// bytes go, then the text is cut at its end.
std::string with_wait(const LineParts& parts, const std::string& wait,
                      std::size_t columns) {
  std::string text = parts.files + parts.bytes + parts.left + wait;
  if (text_columns(text) > columns) {
    text = parts.files + parts.left + wait;
  }
  return std::string(first_columns(text, columns));
}

// " 12 s" once the wait for the disk has lasted a second at `now`, else "".
std::string waited_text(const StatusLine& line, std::int64_t now) {
  const std::int64_t waited = now - line.wait_start;
  if (!line.waiting || waited < WAIT_SHOWN_MS) {
    return "";
  }
  // Appended, not `" " + ...`: GCC 12 warns (-Wrestrict) about the inlined
  // insert at the front of a temporary.
  std::string text = " ";
  text += format_duration(static_cast<std::uint64_t>(waited) / 1000);
  return text;
}

// The scan's line: the tree that scans, or both while both do.
std::string scan_line(const StatusLine& line) {
  const bool both = line.both_trees;
  return "Durchsuche " +
         scan_text(line, both ? Tree::LOCAL : line.last_tree.load()) +
         (both ? " · " + scan_text(line, Tree::HOST) : "");
}

// Builds the line's text anew at `now`. It keeps the terminal's last column
// free, since writing there makes some terminals wrap at once.
void refresh(StatusLine& line, std::int64_t now) {
  line.width = line_width(line.width);
  line.last_draw = now;
  const auto columns = static_cast<std::size_t>(std::max(line.width - 1, 0));
  const std::string waited = waited_text(line, now);
  line.wait_drawn = !waited.empty();
  if (line.phase == Phase::SCAN) {
    line.text = first_columns(scan_line(line), columns);
    return;
  }
  if (line.phase != Phase::APPLY) {
    line.text =
        first_columns("Schreibe Daten auf den Host …" + waited, columns);
    return;
  }
  Applying& apply = line.apply;
  const LineParts parts =
      apply.doing == Doing::DELETE
          ? LineParts{.files = "Lösche " + format_count(apply.done_files) +
                               "/" + file_count(apply.total_files)}
          : copy_parts(apply, now);
  line.text =
      waited.empty()
          ? with_file(parts, apply.file_name, columns)
          : with_wait(parts, " – schreibe auf den Host …" + waited, columns);
}

// The line that stays once the application is done: "Fertig: ", what was
// counted and the time since it began.
std::string final_text(const Applying& apply, std::int64_t now) {
  const auto count = [&apply](Counted what) {
    return apply.counted[static_cast<std::size_t>(what)];
  };
  std::string text;
  const auto add = [&text](std::uint64_t number, const std::string& part) {
    if (number > 0) {
      text += (text.empty() ? "Fertig: " : ", ") + part;
    }
  };
  const std::uint64_t deleted = count(Counted::DELETED);
  add(count(Counted::COPIED),
      file_count(count(Counted::COPIED)) + " kopiert (" +
          format_bytes(apply.copied_bytes, Bytes::SIZE) + ")");
  // Only the first part names what was counted.
  add(deleted, (text.empty() ? file_count(deleted) : format_count(deleted)) +
                   " gelöscht");
  add(count(Counted::FOLDER_REMOVED),
      format_count(count(Counted::FOLDER_REMOVED)) + " Ordner entfernt");
  add(count(Counted::RENAMED),
      format_count(count(Counted::RENAMED)) + " umbenannt");
  add(count(Counted::FAILURE),
      format_count(count(Counted::FAILURE)) + " Fehler");
  const std::int64_t elapsed = std::max<std::int64_t>(now - apply.start, 0);
  return (text.empty() ? "Fertig: nichts geändert" : text) + " – " +
         format_duration(static_cast<std::uint64_t>(elapsed + 500) / 1000) +
         "\n";
}

// Draws the line at `now`: with DUE only once its phase has lasted DELAY_MS
// or a line is shown already, and at most every REDRAW_MS.
void draw(StatusLine& line, std::int64_t now, When when) {
  if (line.suspended ||
      (when == When::DUE &&
       (line.phase == Phase::NONE || now - line.last_draw < REDRAW_MS ||
        (!line_drawn() && now - line.phase_start < DELAY_MS)))) {
    return;
  }
  refresh(line, now);
  put_line(line_fd(), "", line.text);
}

// A coarse clock, which the vDSO answers without entering the kernel, so an
// update that draws nothing makes no system call.
std::int64_t coarse_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

}  // namespace

void EndStatusLine::operator()(StatusLine* line) const {
  release_line();
  delete line;
}

Console open_console() {
  Console console{.out_terminal = isatty(STDOUT_FILENO) == 1,
                  .err_terminal = isatty(STDERR_FILENO) == 1};
  if (usable_terminal(STDERR_FILENO)) {
    claim_line(STDERR_FILENO, Handlers::INSTALL);
    const bool shared = same_terminal(STDOUT_FILENO, STDERR_FILENO);
    // The width is measured before the first line is drawn.
    console.status.reset(new StatusLine{.clock = coarse_milliseconds,
                                        .out_fd = shared ? STDOUT_FILENO : -1});
  }
  return console;
}

Console open_test_console(int fd, std::int32_t width, Clock clock) {
  claim_line(fd, Handlers::NONE);
  Console console{.err_terminal = true};
  console.status.reset(new StatusLine{.clock = clock, .width = width});
  return console;
}

void say(Console& console, Stream stream, std::string_view text) {
  StatusLine* line = console.status.get();
  const int fd = line == nullptr         ? -1
                 : stream == Stream::ERR ? line_fd()
                                         : line->out_fd;
  if (fd < 0) {
    (stream == Stream::OUT ? std::cout : std::cerr) << text;
    return;
  }
  // A scan on another thread may be drawing.
  const std::lock_guard lock(line->drawing);
  const bool visible = line_drawn();
  // Said once per copied file: the text drawn last serves until an update
  // is due.
  if (const std::int64_t now = line->clock();
      visible && now - line->last_draw >= REDRAW_MS) {
    refresh(*line, now);
  }
  if (!put_line(fd, text,
                visible ? std::optional<std::string_view>(line->text)
                        : std::nullopt)) {
    console.text_lost = true;
  }
}

bool output_complete(const Console& console) {
  return !console.text_lost && !std::cout.fail() && !std::cerr.fail();
}

std::string shown(const Console& console, Stream stream,
                  std::string_view name) {
  const bool terminal =
      stream == Stream::OUT ? console.out_terminal : console.err_terminal;
  return terminal ? terminal_form(name) : std::string(name);
}

void status_scan(Console& console, Tree tree, std::uint64_t files,
                 std::uint64_t folders) {
  StatusLine* line = console.status.get();
  if (line == nullptr) {
    return;
  }
  ScanCount& scan = line->scans[static_cast<std::size_t>(tree)];
  scan.files = files;
  scan.folders = folders;
  const std::int64_t now = line->clock();
  if (!scan.started.exchange(true)) {
    line->phase_start = now;
    line->last_tree = tree;
  } else if (line->last_tree != tree) {
    line->both_trees = true;
  }
  // The other tree's scan may be drawing: this one goes on rather than
  // wait, and its counts show in the next line drawn.
  const std::unique_lock lock(line->drawing, std::try_to_lock);
  if (lock.owns_lock()) {
    line->phase = Phase::SCAN;
    draw(*line, now, When::DUE);
  }
}

void status_apply_start(Console& console, std::uint64_t total_files,
                        Work copies) {
  if (StatusLine* line = console.status.get()) {
    const std::int64_t now = line->clock();
    line->phase = Phase::APPLY;
    line->phase_start = now;
    line->applied = true;
    line->apply = {.start = now,
                   .total_files = total_files,
                   .copies = copies,
                   .estimate = start_estimate(now)};
  }
}

void status_copy_start(Console& console, std::string_view path,
                       std::uint64_t size) {
  if (StatusLine* line = console.status.get()) {
    Applying& apply = line->apply;
    // No "/" gives npos, and npos + 1 is 0: the whole path is the name.
    apply.file_name.assign(path.substr(path.rfind('/') + 1));
    apply.doing = Doing::COPY;
    apply.file_size = size;
    apply.file_bytes = 0;
    apply.file_start = line->clock();
    draw(*line, apply.file_start, When::DUE);
  }
}

void status_delete_start(Console& console) {
  if (console.status) {
    console.status->apply.doing = Doing::DELETE;
  }
}

void status_bytes(Console& console, std::uint64_t count) {
  if (StatusLine* line = console.status.get()) {
    line->apply.file_bytes += count;
    draw(*line, line->clock(), When::DUE);
  }
}

void status_file_done(Console& console) {
  if (StatusLine* line = console.status.get()) {
    Applying& apply = line->apply;
    ++apply.done_files;
    if (apply.doing == Doing::COPY) {
      ++apply.done_copies;
      apply.done_bytes += std::max(apply.file_size, apply.file_bytes);
      apply.doing = Doing::NOTHING;
    }
    draw(*line, line->clock(), When::DUE);
  }
}

void status_count(Console& console, Counted what, std::uint64_t bytes) {
  if (what == Counted::FAILURE) {
    ++console.failures;
  }
  if (StatusLine* line = console.status.get()) {
    ++line->apply.counted[static_cast<std::size_t>(what)];
    line->apply.copied_bytes += what == Counted::COPIED ? bytes : 0;
  }
}

void status_sync_start(Console& console) {
  if (StatusLine* line = console.status.get()) {
    line->phase = Phase::SYNC;
    line->phase_start = line->clock();
    draw(*line, line->phase_start, When::NOW);
  }
}

void status_waiting(Console& console) {
  if (StatusLine* line = console.status.get()) {
    const std::int64_t now = line->clock();
    if (!line->waiting) {
      line->waiting = true;
      line->wait_start = now;
    }
    draw(*line, now, When::DUE);
  }
}

void status_waited(Console& console) {
  if (StatusLine* line = console.status.get()) {
    line->waiting = false;
    if (line->wait_drawn && line_drawn()) {
      draw(*line, line->clock(), When::NOW);
    }
  }
}

void status_suspend(Console& console) {
  if (console.status) {
    put_line(line_fd(), "", std::nullopt);
    console.status->suspended = true;
  }
}

void status_resume(Console& console) {
  if (console.status) {
    console.status->suspended = false;
  }
}

void status_finish(Console& console) {
  if (StatusLine* line = console.status.get()) {
    // The erasure and the final line go out in one write, so nothing can
    // come between them.
    put_line(line_fd(),
             line->applied ? final_text(line->apply, line->clock()) : "",
             std::nullopt);
    line->applied = false;
    line->phase = Phase::NONE;
  }
}
