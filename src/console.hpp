// What a run writes to its standard streams: permanent lines, names in a
// form that is safe on a terminal, and the status line kept below them.
#ifndef KELVODA_CONSOLE_HPP_
#define KELVODA_CONSOLE_HPP_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "estimate.hpp"

// The stream a permanent text goes to.
enum class Stream { OUT, ERR };
// The tree a scan walks.
enum class Tree { LOCAL, HOST };
// What the final line counts.
enum class Counted { COPIED, DELETED, FOLDER_REMOVED, RENAMED, FAILURE };

// Returns milliseconds on a clock that never goes back.
using Clock = std::int64_t (*)();

// The numbers of a status line; a console that shows one owns them.
struct StatusLine;
// Erases a status line still drawn, gives its terminal back and frees it.
struct EndStatusLine {
  void operator()(StatusLine* line) const;
};

// One run's console. A default one writes every text as it is and shows no
// status line.
struct Console {
  bool out_terminal = false;  // stdout is a terminal: names shown safely
  bool err_terminal = false;
  std::unique_ptr<StatusLine, EndStatusLine> status = nullptr;  // none: off
  // Single actions that failed, counted whether a status line shows or not.
  std::uint64_t failures = 0;
  // A permanent text could not be written in full to the line's terminal.
  bool text_lost = false;
};

// Returns the console of a run: a status line on stderr only when stderr is
// a terminal and TERM is set, not empty and not "dumb"; names shown safely
// on each of stdout and stderr that is a terminal. Prints nothing.
Console open_console();

// For tests: a console whose status line and stderr texts go to `fd`, with
// `width` columns and `clock`; stdout is elsewhere; no handler is installed.
Console open_test_console(int fd, std::int32_t width, Clock clock);

// Writes the permanent `text` to `stream`. Where the status line is drawn
// on the same terminal, the line is erased first and drawn again after the
// text, in the same write; elsewhere the status line stays as it is.
void say(Console& console, Stream stream, std::string_view text);

// Returns whether every text of the run so far reached its stream in full:
// none was refused (a full disk, a reader gone with SIGPIPE ignored).
bool output_complete(const Console& console);

// Returns `name` as it is shown on `stream`: where that stream is a
// terminal, each control character (C0, DEL, C1), bidirectional control,
// line or paragraph separator and malformed UTF-8 byte becomes "?";
// elsewhere `name` unchanged.
std::string shown(const Console& console, Stream stream, std::string_view name);

// The status line's content. Each call stores its numbers; the line is
// drawn only when it is due (at most ten times a second, once a phase has
// lasted half a second). With no status line, each call does nothing.

// The scan of `tree` has seen `files` files and `folders` folders so far.
// The two trees' scans may call it at once from two threads; it never waits
// for the other, and while both go on the line shows both trees.
void status_scan(Console& console, Tree tree, std::uint64_t files,
                 std::uint64_t folders);
// Applying begins: `total_files` entries, of which `copies` copy files
// and bytes.
void status_apply_start(Console& console, std::uint64_t total_files,
                        Work copies);
// The copy of `path` (relative) of `size` bytes begins.
void status_copy_start(Console& console, std::string_view path,
                       std::uint64_t size);
// A deletion begins.
void status_delete_start(Console& console);
// `count` more bytes of the current copy are done.
void status_bytes(Console& console, std::uint64_t count);
// The current copy or deletion has ended, whether it worked or not.
void status_file_done(Console& console);
// Counts one `what` for the final line; a copied file with `bytes`. A
// failure is counted in `console.failures` too, with or without a line.
void status_count(Console& console, Counted what, std::uint64_t bytes = 0);
// The final sync begins: its line is drawn at once.
void status_sync_start(Console& console);
// The run waits for its data to reach the disk: the first call after none
// or after `status_waited` notes when the wait began. Once it has lasted a
// second, the line says for how long it has waited: the copy line goes on
// with " – schreibe auf den Host … 12 s" in place of its rate and file
// (giving up its bytes where it would not fit), the final sync's line with
// " 12 s".
void status_waiting(Console& console);
// The wait has ended: a line that said so is drawn again at once.
void status_waited(Console& console);
// Erases the status line and draws none until `status_resume`.
void status_suspend(Console& console);
void status_resume(Console& console);
// Erases the status line and, once after `status_apply_start`, writes the
// final line on stderr.
void status_finish(Console& console);

#endif  // KELVODA_CONSOLE_HPP_
