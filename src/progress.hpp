// A live status line on the terminal that shows how far the scan and the
// application have got, and the line that sums up an applied run.
#ifndef KELVODA_PROGRESS_HPP_
#define KELVODA_PROGRESS_HPP_

#include <cstdint>
#include <string>
#include <string_view>

#include "console.hpp"

// Whether the status line is shown at all.
enum class ProgressMode { OFF, ON };

// Returns milliseconds on a clock that never goes back.
using ProgressClock = std::int64_t (*)();

// The working parts behind the inline calls below, which test the flag first
// so that a run without a terminal pays one branch per call. Call them only
// through those.
namespace progress_detail {
extern bool enabled;
void scan(Tree tree, std::uint64_t files, std::uint64_t folders);
void apply_start(std::uint64_t total_files, std::uint64_t total_bytes);
void copy_start(std::string_view path, std::uint64_t size);
void delete_start();
void add_bytes(std::uint64_t count);
void file_done();
void count_copied(std::uint64_t bytes);
void count_deleted();
void count_folder_removed();
void count_failure();
void sync_start();
void erase();
void suspend();
void resume();
void finish();
}  // namespace progress_detail

// Decides once whether the status line is shown: only when stderr is a
// terminal and TERM is set, not empty and not "dumb". If so, measures the
// terminal's columns on stderr, has them measured again after each SIGWINCH
// (whose handler only sets a flag), and has a line still drawn erased at
// exit. Prints nothing. Call once before the scan.
void progress_init();

// Sets the module up as `mode` says instead of asking the terminal: the line
// goes to the descriptor `fd`, fits into `width` columns, and `clock` tells
// the time. Forgets every earlier phase and count; installs no handler. For
// tests.
void progress_init_with(ProgressMode mode, int fd, std::int32_t width,
                        ProgressClock clock);

// Reports that the scan of `tree` has seen `files` files and `folders`
// folders so far ("Durchsuche Host: 12.345 Dateien, 678 Ordner"). Reads the
// clock once; writes only when the line is due. Call per folder entered.
inline void progress_scan(Tree tree, std::uint64_t files,
                          std::uint64_t folders) {
  if (progress_detail::enabled) {
    progress_detail::scan(tree, files, folders);
  }
}

// Begins applying `total_files` entries (copies and deletions) that copy
// `total_bytes` bytes in all (0 when unknown: the line then shows no total
// and no time left). Resets the counts of the final line. Writes nothing.
inline void progress_apply_start(std::uint64_t total_files,
                                 std::uint64_t total_bytes) {
  if (progress_detail::enabled) {
    progress_detail::apply_start(total_files, total_bytes);
  }
}

// Begins the copy of the file at `path` (relative, "/" between components)
// of `size` bytes. Once the copy has taken a second the line names the
// path's last component and how many percent of it are done. Reads the
// clock once; writes only when the line is due.
inline void progress_copy_start(std::string_view path, std::uint64_t size) {
  if (progress_detail::enabled) {
    progress_detail::copy_start(path, size);
  }
}

// Begins a deletion; from now on the line says "Lösche". Writes nothing.
inline void progress_delete_start() {
  if (progress_detail::enabled) {
    progress_detail::delete_start();
  }
}

// Adds `count` bytes copied of the current file. Reads the clock once;
// writes only when the line is due. Call per chunk.
inline void progress_bytes(std::uint64_t count) {
  if (progress_detail::enabled) {
    progress_detail::add_bytes(count);
  }
}

// Ends the current copy or deletion, whether it worked or not: counts one
// more entry done, and the bytes of a copy as done in full. Reads the clock
// once; writes only when the line is due.
inline void progress_file_done() {
  if (progress_detail::enabled) {
    progress_detail::file_done();
  }
}

// Counts a file copied with `bytes` bytes for the final line. Writes nothing.
inline void progress_count_copied(std::uint64_t bytes) {
  if (progress_detail::enabled) {
    progress_detail::count_copied(bytes);
  }
}

// Counts a file deleted for the final line. Writes nothing.
inline void progress_count_deleted() {
  if (progress_detail::enabled) {
    progress_detail::count_deleted();
  }
}

// Counts a folder removed for the final line. Writes nothing.
inline void progress_count_folder_removed() {
  if (progress_detail::enabled) {
    progress_detail::count_folder_removed();
  }
}

// Counts a reported failure for the final line. Writes nothing.
inline void progress_count_failure() {
  if (progress_detail::enabled) {
    progress_detail::count_failure();
  }
}

// Begins writing the host's data to its disk: draws "Schreibe Daten auf den
// Host …" at once (unless suspended), without waiting, since the call that
// follows blocks and updates nothing.
inline void progress_sync_start() {
  if (progress_detail::enabled) {
    progress_detail::sync_start();
  }
}

// Clears the status line if one is drawn (one write of "\r\x1b[K"), else
// writes nothing. Call before every permanent line on stdout or stderr; the
// status line comes back with the next update that is due.
inline void progress_erase() {
  if (progress_detail::enabled) {
    progress_detail::erase();
  }
}

// Erases the status line and draws none until `progress_resume`: for the
// confirmation dialogue.
inline void progress_suspend() {
  if (progress_detail::enabled) {
    progress_detail::suspend();
  }
}

// Lets the status line be drawn again after `progress_suspend`. Writes
// nothing.
inline void progress_resume() {
  if (progress_detail::enabled) {
    progress_detail::resume();
  }
}

// Erases the status line; then, once after `progress_apply_start`, writes on
// stderr the line that stays: "Fertig: ", what was counted and the time
// since `progress_apply_start` ("Fertig: 1.234 Dateien kopiert (12,3 GB), 56
// gelöscht, 7 Ordner entfernt, 3 Fehler – 4:32 min\n").
inline void progress_finish() {
  if (progress_detail::enabled) {
    progress_detail::finish();
  }
}

// Clears the status line if one is drawn, by a single write of a fixed
// text; async-signal-safe and keeps errno, for interrupt handlers.
void progress_erase_from_signal();

// Returns `number` with a "." between groups of three digits ("1.234").
std::string format_count(std::uint64_t number);

// Returns `bytes` in decimal units with one decimal below 100 of the unit
// ("999 B", "12,3 GB", "123 GB").
std::string format_size(std::uint64_t bytes);

// Returns `bytes_per_second` in decimal units with one decimal below 10 of
// the unit ("4,5 MB/s", "45 MB/s").
std::string format_rate(std::uint64_t bytes_per_second);

// Returns `seconds` as "12 s" below a minute, "4:32 min" below an hour and
// "1:02:03 h" above.
std::string format_duration(std::uint64_t seconds);

#endif  // KELVODA_PROGRESS_HPP_
