// The status line. An update only stores its numbers and compares the time
// of a coarse clock, which the vDSO answers without entering the kernel; the
// text is built and written only when the line is due, at most ten times a
// second, so the scan and copy loops make no system call for it.
#include "progress.hpp"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <iterator>
#include <limits>

bool progress_detail::enabled = false;

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
constexpr std::int32_t FALLBACK_WIDTH = 80;
constexpr std::string_view ERASE = "\r\x1b[K";

enum class Phase { NONE, SCAN, APPLY, SYNC };

// Bytes done at a point in time.
struct Sample {
  std::int64_t time = 0;
  std::uint64_t bytes = 0;
};

struct ProgressState {
  std::int32_t width = FALLBACK_WIDTH;
  ProgressClock clock = nullptr;
  Phase phase = Phase::NONE;
  std::int64_t phase_start = 0;
  std::int64_t last_draw = std::numeric_limits<std::int64_t>::min() / 2;
  bool suspended = false;

  Tree tree = Tree::LOCAL;
  std::uint64_t files_seen = 0;
  std::uint64_t folders_seen = 0;

  bool applied = false;  // apply_start ran and the final line is pending
  std::int64_t apply_start = 0;
  std::uint64_t total_files = 0;
  std::uint64_t total_bytes = 0;
  std::uint64_t done_files = 0;
  std::uint64_t done_bytes = 0;  // of the entries already done
  Sample window_start;
  Sample window_middle;
  bool copying = false;
  bool deleting = false;
  std::string file_name;  // last component of the file being copied
  std::uint64_t file_size = 0;
  std::uint64_t file_bytes = 0;
  std::int64_t file_start = 0;

  std::uint64_t copied_files = 0;
  std::uint64_t copied_bytes = 0;
  std::uint64_t deleted_files = 0;
  std::uint64_t removed_folders = 0;
  std::uint64_t failures = 0;

  std::string line;  // kept, so drawing reuses its buffer
};

ProgressState state;
// Read by the signal handlers, hence sig_atomic_t.
volatile std::sig_atomic_t output_fd = STDERR_FILENO;
volatile std::sig_atomic_t line_drawn = 0;
volatile std::sig_atomic_t resized = 0;

extern "C" void note_resize(int /*signal_number*/) {
  resized = 1;
}

void erase_at_exit() {
  progress_erase_from_signal();
}

std::int64_t coarse_milliseconds() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
  return std::int64_t{now.tv_sec} * 1000 + now.tv_nsec / 1000000;
}

// The callers check errno after their own failed calls and may print the
// status line's erasure just before the message, so errno is kept. A
// terminal takes the whole text in one write; a short write is not retried.
void write_text(std::string_view text) {
  const int saved_errno = errno;
  ssize_t written = 0;
  do {
    written = write(output_fd, text.data(), text.size());
  } while (written < 0 && errno == EINTR);
  errno = saved_errno;
}

std::int32_t measure_width(int fd, std::int32_t fallback) {
  const int saved_errno = errno;
  winsize size{};
  const bool known = ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col != 0;
  errno = saved_errno;
  return known ? size.ws_col : fallback;
}

void start_phase(Phase phase, std::int64_t now) {
  state.phase = phase;
  state.phase_start = now;
}

bool is_continuation(char byte) {
  return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

// Screen columns of one of our own texts: one per code point.
std::size_t text_columns(std::string_view text) {
  return static_cast<std::size_t>(
      std::count_if(text.begin(), text.end(),
                    [](char byte) { return !is_continuation(byte); }));
}

// The first `columns` code points of `text`.
std::string_view cut_to_columns(std::string_view text, std::size_t columns) {
  std::size_t end = 0;
  for (std::size_t taken = 0; end < text.size(); ++end) {
    if (!is_continuation(text[end]) && taken++ == columns) {
      break;
    }
  }
  return text.substr(0, end);
}

// Length of the well-formed UTF-8 sequence at the start of `text`, or 0.
// C1 control characters count as malformed, since a terminal acts on them.
std::size_t sequence_length(std::string_view text) {
  const auto lead = static_cast<unsigned char>(text[0]);
  std::size_t length = 0;
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    low = lead == 0xC2 ? 0xA0 : 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    low = lead == 0xE0 ? 0xA0 : 0x80;
    high = lead == 0xED ? 0x9F : 0xBF;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    low = lead == 0xF0 ? 0x90 : 0x80;
    high = lead == 0xF4 ? 0x8F : 0xBF;
  }
  if (length == 0 || text.size() < length) {
    return 0;
  }
  const auto second = static_cast<unsigned char>(text[1]);
  if (second < low || second > high) {
    return 0;
  }
  for (std::size_t i = 2; i < length; ++i) {
    if (!is_continuation(text[i])) {
      return 0;
    }
  }
  return length;
}

// A file name is any bytes: control characters and malformed UTF-8 become
// "?", so nothing in a name can move the cursor or start an escape sequence.
std::string printable_name(std::string_view name) {
  std::string result;
  result.reserve(name.size());
  while (!name.empty()) {
    const auto byte = static_cast<unsigned char>(name[0]);
    if (byte < 0x80) {
      result += byte < 0x20 || byte == 0x7F ? '?' : name[0];
      name.remove_prefix(1);
      continue;
    }
    const std::size_t length = sequence_length(name);
    if (length == 0) {
      result += '?';
      name.remove_prefix(1);
      continue;
    }
    result += name.substr(0, length);
    name.remove_prefix(length);
  }
  return result;
}

// Screen columns of a printable name, counted high: a character beyond
// ASCII may be a wide one, so it counts two.
std::size_t name_columns(std::string_view name) {
  std::size_t columns = 0;
  for (const char byte : name) {
    if (static_cast<unsigned char>(byte) < 0x80) {
      ++columns;
    } else if (!is_continuation(byte)) {
      columns += 2;
    }
  }
  return columns;
}

// The longest end of a printable name that takes at most `columns`.
std::string_view name_tail(std::string_view name, std::size_t columns) {
  std::size_t start = name.size();
  std::size_t taken = 0;
  while (start > 0) {
    std::size_t begin = start - 1;
    while (begin > 0 && is_continuation(name[begin])) {
      --begin;
    }
    const std::size_t width = begin + 1 == start ? 1 : 2;
    if (taken + width > columns) {
      break;
    }
    taken += width;
    start = begin;
  }
  return name.substr(start);
}

// Appends `text` to `line`, then as much of " – <name> <percent> %" as the
// room allows: the name loses its front to "…" first, then the whole part
// goes; `text` itself is cut at the end. Takes at most `columns` columns.
void append_fitted(std::string& line, std::string_view text,
                   std::string_view name, std::string_view percent,
                   std::size_t columns) {
  const std::size_t text_width = text_columns(text);
  if (text_width >= columns) {
    line += cut_to_columns(text, columns);
    return;
  }
  line += text;
  if (percent.empty()) {
    return;
  }
  constexpr std::string_view DASH = " – ";
  const std::size_t room = columns - text_width;
  const std::size_t fixed = text_columns(DASH) + 1 + text_columns(percent);
  if (fixed + name_columns(name) <= room) {
    line += DASH;
    line += name;
    line += ' ';
    line += percent;
    return;
  }
  const std::size_t ellipsis = 1;
  if (fixed + ellipsis >= room) {
    return;
  }
  const std::string_view tail = name_tail(name, room - fixed - ellipsis);
  if (tail.empty()) {
    return;
  }
  line += DASH;
  line += "…";
  line += tail;
  line += ' ';
  line += percent;
}

// How many in the form of `singular` or `plural`: "1 Datei", "2 Dateien".
std::string count_of(std::uint64_t number, std::string_view singular,
                     std::string_view plural) {
  return format_count(number) + " " +
         std::string(number == 1 ? singular : plural);
}

// `bytes` / `unit`, rounded half up.
std::uint64_t rounded(std::uint64_t bytes, std::uint64_t unit) {
  return bytes / unit + ((bytes % unit) * 2 >= unit ? 1 : 0);
}

struct SizeUnit {
  std::uint64_t factor = 1;
  std::string_view name;
};

constexpr SizeUnit SIZE_UNITS[] = {{1, "B"},
                                   {1000, "kB"},
                                   {1000000, "MB"},
                                   {1000000000, "GB"},
                                   {1000000000000, "TB"},
                                   {1000000000000000, "PB"},
                                   {1000000000000000000, "EB"}};

// How a number of bytes is written: in which unit and whether with a
// decimal.
struct SizeForm {
  std::size_t unit = 0;
  bool decimal = false;
};

// The largest unit not above `bytes`, or the next when rounding would give
// 1.000 of it; a decimal when the value rounds below `decimal_below`.
SizeForm size_form(std::uint64_t bytes, std::uint64_t decimal_below) {
  constexpr std::size_t LAST = std::size(SIZE_UNITS) - 1;
  SizeForm form;
  while (form.unit < LAST && bytes >= SIZE_UNITS[form.unit + 1].factor) {
    ++form.unit;
  }
  if (form.unit < LAST &&
      rounded(bytes, SIZE_UNITS[form.unit].factor) >= 1000) {
    ++form.unit;
  }
  form.decimal = form.unit > 0 && rounded(bytes, SIZE_UNITS[form.unit].factor /
                                                     10) < decimal_below * 10;
  return form;
}

// `bytes` as a number in `form`, without the unit.
std::string size_number(std::uint64_t bytes, SizeForm form) {
  const std::uint64_t factor = SIZE_UNITS[form.unit].factor;
  if (!form.decimal) {
    return format_count(rounded(bytes, factor));
  }
  const std::uint64_t tenths = rounded(bytes, factor / 10);
  return format_count(tenths / 10) + "," + std::to_string(tenths % 10);
}

// Bytes per second over the rate window, moving the window on.
std::uint64_t current_rate(std::int64_t now, std::uint64_t done) {
  if (now - state.window_middle.time >= RATE_WINDOW_MS) {
    state.window_start = state.window_middle;
    state.window_middle = {now, done};
  }
  const std::int64_t elapsed = now - state.window_start.time;
  if (elapsed <= 0 || done <= state.window_start.bytes) {
    return 0;
  }
  return static_cast<std::uint64_t>(
      static_cast<double>(done - state.window_start.bytes) * 1000.0 /
      static_cast<double>(elapsed));
}

std::string apply_text(std::int64_t now) {
  const std::uint64_t files_total = state.total_files;
  std::string text = state.deleting ? "Lösche " : "Kopiere ";
  text += format_count(state.done_files) + "/" +
          count_of(files_total, "Datei", "Dateien");
  if (state.deleting) {
    return text;
  }
  std::uint64_t done = state.done_bytes;
  if (state.copying) {
    done += std::min(state.file_bytes, state.file_size);
  }
  const std::uint64_t total = state.total_bytes;
  if (total == 0) {
    if (done > 0) {
      text += ", " + format_size(done);
    }
  } else {
    done = std::min(done, total);
    const SizeForm form = size_form(total, 100);
    text += ", " + size_number(done, form) + "/" + size_number(total, form) +
            " " + std::string(SIZE_UNITS[form.unit].name);
  }
  const std::uint64_t rate = current_rate(now, done);
  if (rate == 0) {
    return text;
  }
  text += ", " + format_rate(rate);
  if (total > 0) {
    text += ", noch " + format_duration((total - done + rate - 1) / rate);
  }
  return text;
}

// "Fertig: " and what was counted, then the `elapsed` milliseconds.
std::string final_line(std::int64_t elapsed) {
  std::string parts;
  const auto add = [&parts](const std::string& part) {
    parts += parts.empty() ? "Fertig: " : ", ";
    parts += part;
  };
  if (state.copied_files > 0) {
    add(count_of(state.copied_files, "Datei", "Dateien") + " kopiert (" +
        format_size(state.copied_bytes) + ")");
  }
  if (state.deleted_files > 0) {
    // Only the first part names what was counted.
    add((parts.empty() ? count_of(state.deleted_files, "Datei", "Dateien")
                       : format_count(state.deleted_files)) +
        " gelöscht");
  }
  if (state.removed_folders > 0) {
    add(count_of(state.removed_folders, "Ordner", "Ordner") + " entfernt");
  }
  if (state.failures > 0) {
    add(count_of(state.failures, "Fehler", "Fehler"));
  }
  if (parts.empty()) {
    parts = "Fertig: nichts geändert";
  }
  const auto seconds =
      static_cast<std::uint64_t>(std::max<std::int64_t>(elapsed + 500, 0)) /
      1000;
  return parts + " – " + format_duration(seconds) + "\n";
}

void draw(std::int64_t now) {
  if (resized != 0) {
    resized = 0;
    state.width = measure_width(output_fd, state.width);
  }
  std::string text;
  std::string name;
  std::string percent;
  switch (state.phase) {
    case Phase::NONE:
      return;
    case Phase::SCAN:
      text = std::string("Durchsuche ") +
             (state.tree == Tree::LOCAL ? "Lokal" : "Host") + ": " +
             count_of(state.files_seen, "Datei", "Dateien") + ", " +
             count_of(state.folders_seen, "Ordner", "Ordner");
      break;
    case Phase::APPLY:
      text = apply_text(now);
      if (state.copying && state.file_size > 0 &&
          now - state.file_start >= FILE_DETAIL_MS) {
        name = printable_name(state.file_name);
        percent = std::to_string(std::min(state.file_bytes, state.file_size) *
                                 100 / state.file_size) +
                  " %";
      }
      break;
    case Phase::SYNC:
      text = "Schreibe Daten auf den Host …";
      break;
  }
  // Writing into the last column makes some terminals wrap at once, so the
  // line keeps it free.
  const std::size_t columns =
      state.width > 1 ? static_cast<std::size_t>(state.width) - 1 : 0;
  state.line = "\r";
  append_fitted(state.line, text, name, percent, columns);
  state.line += "\x1b[K";
  // Marked before the write, so an interrupt during it erases what it drew.
  line_drawn = 1;
  write_text(state.line);
  state.last_draw = now;
}

void update(std::int64_t now) {
  if (state.suspended) {
    return;
  }
  // A line already shown follows a new phase at once; otherwise the phase
  // must have lasted a while.
  if (line_drawn == 0 && now - state.phase_start < DELAY_MS) {
    return;
  }
  if (now - state.last_draw < REDRAW_MS) {
    return;
  }
  draw(now);
}

}  // namespace

void progress_init() {
  const char* term = std::getenv("TERM");
  const bool terminal = isatty(STDERR_FILENO) == 1 && term != nullptr &&
                        *term != '\0' && std::string_view(term) != "dumb";
  if (!terminal) {
    progress_init_with(ProgressMode::OFF, STDERR_FILENO, FALLBACK_WIDTH,
                       coarse_milliseconds);
    return;
  }
  progress_init_with(ProgressMode::ON, STDERR_FILENO,
                     measure_width(STDERR_FILENO, FALLBACK_WIDTH),
                     coarse_milliseconds);
  // SA_RESTART: a resize while the dialogue waits for its answer must not
  // end that read with EINTR, which would read as the end of the input.
  struct sigaction action {};
  action.sa_handler = note_resize;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGWINCH, &action, nullptr);
  static const bool registered = std::atexit(erase_at_exit) == 0;
  static_cast<void>(registered);
}

void progress_init_with(ProgressMode mode, int fd, std::int32_t width,
                        ProgressClock clock) {
  state = ProgressState{};
  state.width = width;
  state.clock = clock;
  output_fd = fd;
  line_drawn = 0;
  resized = 0;
  progress_detail::enabled = mode == ProgressMode::ON;
}

void progress_detail::scan(Tree tree, std::uint64_t files,
                           std::uint64_t folders) {
  const std::int64_t now = state.clock();
  if (state.phase != Phase::SCAN || state.tree != tree) {
    start_phase(Phase::SCAN, now);
    state.tree = tree;
  }
  state.files_seen = files;
  state.folders_seen = folders;
  update(now);
}

void progress_detail::apply_start(std::uint64_t total_files,
                                  std::uint64_t total_bytes) {
  const std::int64_t now = state.clock();
  start_phase(Phase::APPLY, now);
  state.applied = true;
  state.apply_start = now;
  state.total_files = total_files;
  state.total_bytes = total_bytes;
  state.done_files = 0;
  state.done_bytes = 0;
  state.window_start = {now, 0};
  state.window_middle = {now, 0};
  state.copying = false;
  state.deleting = false;
  state.copied_files = 0;
  state.copied_bytes = 0;
  state.deleted_files = 0;
  state.removed_folders = 0;
  state.failures = 0;
}

void progress_detail::copy_start(std::string_view path, std::uint64_t size) {
  const std::int64_t now = state.clock();
  const std::size_t slash = path.rfind('/');
  state.file_name.assign(
      slash == std::string_view::npos ? path : path.substr(slash + 1));
  state.copying = true;
  state.deleting = false;
  state.file_size = size;
  state.file_bytes = 0;
  state.file_start = now;
  update(now);
}

void progress_detail::delete_start() {
  state.copying = false;
  state.deleting = true;
}

void progress_detail::add_bytes(std::uint64_t count) {
  state.file_bytes += count;
  update(state.clock());
}

void progress_detail::file_done() {
  ++state.done_files;
  if (state.copying) {
    state.done_bytes += std::max(state.file_size, state.file_bytes);
    state.copying = false;
  }
  update(state.clock());
}

void progress_detail::count_copied(std::uint64_t bytes) {
  ++state.copied_files;
  state.copied_bytes += bytes;
}

void progress_detail::count_deleted() {
  ++state.deleted_files;
}

void progress_detail::count_folder_removed() {
  ++state.removed_folders;
}

void progress_detail::count_failure() {
  ++state.failures;
}

void progress_detail::sync_start() {
  const std::int64_t now = state.clock();
  start_phase(Phase::SYNC, now);
  if (!state.suspended) {
    draw(now);
  }
}

void progress_detail::erase() {
  if (line_drawn != 0) {
    write_text(ERASE);
    line_drawn = 0;
  }
}

void progress_detail::suspend() {
  erase();
  state.suspended = true;
}

void progress_detail::resume() {
  state.suspended = false;
}

void progress_detail::finish() {
  if (!state.applied) {
    erase();
    return;
  }
  state.applied = false;
  state.phase = Phase::NONE;
  // The erasure and the final line go out in one write, so nothing can come
  // between them.
  std::string text = line_drawn != 0 ? std::string(ERASE) : std::string();
  text += final_line(state.clock() - state.apply_start);
  line_drawn = 0;
  write_text(text);
}

void progress_erase_from_signal() {
  if (line_drawn == 0) {
    return;
  }
  const int saved_errno = errno;
  constexpr char CLEAR[] = "\r\x1b[K";
  static_cast<void>(write(output_fd, CLEAR, sizeof CLEAR - 1));
  line_drawn = 0;
  errno = saved_errno;
}

std::string format_count(std::uint64_t number) {
  const std::string digits = std::to_string(number);
  std::string result;
  for (std::size_t i = 0; i < digits.size(); ++i) {
    if (i > 0 && (digits.size() - i) % 3 == 0) {
      result += '.';
    }
    result += digits[i];
  }
  return result;
}

std::string format_size(std::uint64_t bytes) {
  const SizeForm form = size_form(bytes, 100);
  return size_number(bytes, form) + " " +
         std::string(SIZE_UNITS[form.unit].name);
}

std::string format_rate(std::uint64_t bytes_per_second) {
  const SizeForm form = size_form(bytes_per_second, 10);
  return size_number(bytes_per_second, form) + " " +
         std::string(SIZE_UNITS[form.unit].name) + "/s";
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
