// The run's console. Permanent lines on the status line's terminal go out in
// one write with the line's erasure and its redrawing, so the line stays
// visible below them; elsewhere they are written as they are.
#include "console.hpp"

#include <unistd.h>

#include <algorithm>
#include <ctime>
#include <iostream>
#include <mutex>
#include <optional>
#include <utility>

#include "status.hpp"
#include "terminal.hpp"
#include "text.hpp"

namespace {

// A phase shows its line only once it has lasted this long, so quick runs
// look as they always did.
constexpr std::int64_t DELAY_MS = 500;
constexpr std::int64_t REDRAW_MS = 100;

// A coarse clock, which the vDSO answers without entering the kernel, so an
// update that draws nothing makes no system call.
std::int64_t coarse_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// Adds a status line on the line claimed at `fd` to `console`.
Console with_status_line(Console console, int fd, Handlers handlers,
                         std::int32_t width, Clock clock) {
  claim_line(fd, handlers);
  console.status.reset(new StatusLine);
  console.status->width = width;
  console.status->clock = clock;
  return console;
}

// Builds the line's text anew for `now`.
void refresh(StatusLine& line, std::int64_t now) {
  line.width = line_width(line.width);
  // Writing into the last column makes some terminals wrap at once, so the
  // line keeps it free.
  line.text = status_text(
      line, now, static_cast<std::size_t>(std::max(line.width - 1, 0)));
  line.last_draw = now;
}

// Builds the line anew and draws it.
void draw(StatusLine& line, std::int64_t now) {
  refresh(line, now);
  put_line(line_fd(), "", line.text);
}

// Draws the line at `now` if it is due.
void update(StatusLine& line, std::int64_t now) {
  // A line already shown follows a new phase at once; otherwise the phase
  // must have lasted a while.
  if (!line.suspended && line.phase != Phase::NONE &&
      (line_drawn() || now - line.phase_start >= DELAY_MS) &&
      now - line.last_draw >= REDRAW_MS) {
    draw(line, now);
  }
}

}  // namespace

void EndStatusLine::operator()(StatusLine* line) const {
  release_line();
  delete line;
}

Console open_console() {
  Console console{.out_terminal = isatty(STDOUT_FILENO) == 1,
                  .err_terminal = isatty(STDERR_FILENO) == 1};
  if (!status_line_wanted()) {
    return console;
  }
  // The width is measured before the first line is drawn.
  console = with_status_line(std::move(console), STDERR_FILENO,
                             Handlers::INSTALL, 80, coarse_milliseconds);
  if (same_terminal(STDOUT_FILENO, STDERR_FILENO)) {
    console.status->out_fd = STDOUT_FILENO;
  }
  return console;
}

bool status_line_wanted() {
  return usable_terminal(STDERR_FILENO);
}

Console open_test_console(int fd, std::int32_t width, Clock clock) {
  return with_status_line(Console{.err_terminal = true}, fd, Handlers::NONE,
                          width, clock);
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
  put_line(
      fd, text,
      visible ? std::optional<std::string_view>(line->text) : std::nullopt);
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
    line->scan_start = now;
    line->last_tree = tree;
  } else if (line->last_tree != tree) {
    line->both_trees = true;
  }
  // The other tree's scan may be drawing: this one goes on rather than
  // wait, and its counts show in the next line drawn.
  const std::unique_lock lock(line->drawing, std::try_to_lock);
  if (lock.owns_lock()) {
    line->phase = Phase::SCAN;
    line->phase_start = line->scan_start;
    update(*line, now);
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
    update(*line, apply.file_start);
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
    update(*line, line->clock());
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
    update(*line, line->clock());
  }
}

void status_count(Console& console, Counted what, std::uint64_t bytes) {
  if (StatusLine* line = console.status.get()) {
    ++line->apply.counted[static_cast<std::size_t>(what)];
    line->apply.copied_bytes += what == Counted::COPIED ? bytes : 0;
  }
}

void status_sync_start(Console& console) {
  if (StatusLine* line = console.status.get()) {
    line->phase = Phase::SYNC;
    line->phase_start = line->clock();
    if (!line->suspended) {
      draw(*line, line->phase_start);
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
  StatusLine* line = console.status.get();
  if (line == nullptr) {
    return;
  }
  // The erasure and the final line go out in one write, so nothing can come
  // between them.
  put_line(line_fd(), line->applied ? final_text(*line, line->clock()) : "",
           std::nullopt);
  line->applied = false;
  line->phase = Phase::NONE;
}

void erase_status_from_signal() {
  erase_line_from_signal();
}
