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
// The rate is measured over the last two to four seconds, so it follows a
// host whose cache has filled up.
constexpr std::int64_t RATE_WINDOW_MS = 2000;
// A file that takes this long gets its name and percentage on the line.
constexpr std::int64_t FILE_DETAIL_MS = 1000;

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

// Bytes done at a point in time.
struct Sample {
  std::int64_t time = 0;
  std::uint64_t bytes = 0;
};

// The numbers of one application.
struct Applying {
  std::int64_t start = 0;
  std::uint64_t total_files = 0;
  std::uint64_t total_bytes = 0;
  std::uint64_t done_files = 0;
  std::uint64_t done_bytes = 0;  // of the entries already done
  Sample window_start;           // the rate is measured from here
  Sample window_middle;          // and from here once it is old enough
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

// "Kopiere 1/3 Dateien, 1,2/3,4 GB, 60 MB/s, noch 37 s", and `percent` once
// the current file has taken a second. Moves the rate window on.
std::string copy_text(Applying& apply, std::int64_t now, std::string& percent) {
  const bool copying = apply.doing == Doing::COPY;
  const std::uint64_t file_done =
      copying ? std::min(apply.file_bytes, apply.file_size) : 0;
  if (copying && apply.file_size > 0 &&
      now - apply.file_start >= FILE_DETAIL_MS) {
    percent = std::to_string(file_done * 100 / apply.file_size) + " %";
  }
  const std::uint64_t total = apply.total_bytes;
  const std::uint64_t done =
      std::min(apply.done_bytes + file_done, total > 0 ? total : UINT64_MAX);
  std::string text = "Kopiere " + format_count(apply.done_files) + "/" +
                     file_count(apply.total_files);
  if (done > 0 || total > 0) {
    text += ", " + format_bytes(done, Bytes::SIZE, total);
  }
  if (now - apply.window_middle.time >= RATE_WINDOW_MS) {
    apply.window_start = apply.window_middle;
    apply.window_middle = {.time = now, .bytes = done};
  }
  const Sample from = apply.window_start;
  if (now <= from.time || done <= from.bytes) {
    return text;
  }
  const auto rate =
      static_cast<std::uint64_t>(static_cast<double>(done - from.bytes) *
                                 1000.0 / static_cast<double>(now - from.time));
  if (rate > 0) {
    text += ", " + format_bytes(rate, Bytes::RATE);
  }
  if (rate > 0 && total > 0) {
    text += ", noch " + format_duration((total - done + rate - 1) / rate);
  }
  return text;
}

// Builds the line's text anew at `now`. It keeps the terminal's last column
// free, since writing there makes some terminals wrap at once. The name in
// " – <name> <percent>" loses its front to "…" first, then the whole part
// goes, then the text is cut at its end.
void refresh(StatusLine& line, std::int64_t now) {
  line.width = line_width(line.width);
  line.last_draw = now;
  const auto columns = static_cast<std::size_t>(std::max(line.width - 1, 0));
  const Applying& apply = line.apply;
  std::string text = "Schreibe Daten auf den Host …";
  std::string percent;
  if (line.phase == Phase::SCAN) {
    const bool both = line.both_trees;
    text = "Durchsuche " +
           scan_text(line, both ? Tree::LOCAL : line.last_tree.load()) +
           (both ? " · " + scan_text(line, Tree::HOST) : "");
  } else if (line.phase == Phase::APPLY && apply.doing == Doing::DELETE) {
    text = "Lösche " + format_count(apply.done_files) + "/" +
           file_count(apply.total_files);
  } else if (line.phase == Phase::APPLY) {
    text = copy_text(line.apply, now, percent);
  }
  const std::size_t width = text_columns(text);
  if (width >= columns || percent.empty()) {
    line.text = first_columns(text, columns);
    return;
  }
  const std::string name = terminal_form(apply.file_name);
  const std::size_t fixed =
      width + text_columns(" – ") + 1 + text_columns(percent);
  const std::size_t ellipsis = text_columns("…");
  std::string_view tail = name;
  std::string cut;
  if (fixed + text_columns(name) > columns) {
    tail = fixed + ellipsis < columns
               ? last_columns(name, columns - fixed - ellipsis)
               : "";
    cut = "…";
  }
  line.text = tail.empty()
                  ? text
                  : text + " – " + cut + std::string(tail) + " " + percent;
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
                        std::uint64_t total_bytes) {
  if (StatusLine* line = console.status.get()) {
    const std::int64_t now = line->clock();
    line->phase = Phase::APPLY;
    line->phase_start = now;
    line->applied = true;
    line->apply = {.start = now,
                   .total_files = total_files,
                   .total_bytes = total_bytes,
                   .window_start = {.time = now},
                   .window_middle = {.time = now}};
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
