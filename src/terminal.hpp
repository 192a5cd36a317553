// The terminal line: one line below the output that is drawn, erased and
// drawn again, and the state the signal handlers need to erase it.
#ifndef KELVODA_TERMINAL_HPP_
#define KELVODA_TERMINAL_HPP_

#include <cstdint>
#include <optional>
#include <string_view>

// Whether claiming the line installs the handlers of a real run.
enum class Handlers { NONE, INSTALL };

// True when `fd` is a terminal and TERM is set, not empty and not "dumb".
bool usable_terminal(int fd);

// True when `first` and `second` are open on the same terminal device.
bool same_terminal(int first, int second);

// Makes `fd` the line's descriptor, with nothing drawn. With INSTALL, a
// SIGWINCH sets a flag (and restarts the call it interrupts) and a line
// still drawn is erased at exit.
void claim_line(int fd, Handlers handlers);

// Erases a drawn line and forgets the descriptor; SIGWINCH is ignored again.
void release_line();

// Returns the line's descriptor (-1 when none is claimed).
int line_fd();

// True while the line is drawn.
bool line_drawn();

// Returns the columns of the line's terminal, measured again when a SIGWINCH
// came since the last call; else, or when the terminal does not tell, `known`.
std::int32_t line_width(std::int32_t known);

// Writes to `fd`, which is on the line's terminal, in one write: the erasure
// of a drawn line unless `text` is empty and `line` given, then `text`, then
// "\r", `line` and "\x1b[K" when `line` is given. Keeps errno. Returns
// whether everything was written.
bool put_line(int fd, std::string_view text,
              std::optional<std::string_view> line);

// Clears the status line if one is drawn, with one write of a fixed text;
// async-signal-safe and keeps errno, for the interrupt handlers.
void erase_status_from_signal();

#endif  // KELVODA_TERMINAL_HPP_
