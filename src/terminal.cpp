// The terminal line. Its descriptor and whether it is drawn are the only
// state of the process that outlives a call, since the interrupt and exit
// handlers must erase the line without a console in reach.
#include "terminal.hpp"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>

namespace {

// Back to the line's start, then clear to its end.
constexpr std::string_view ERASE = "\r\x1b[K";

// The one terminal line of the process: a console that shows a status line
// claims it, and at most one console does so at a time. Handlers read and
// write it, hence sig_atomic_t.
struct LineState {
  volatile std::sig_atomic_t fd = -1;
  volatile std::sig_atomic_t drawn = 0;
  volatile std::sig_atomic_t resized = 0;  // a SIGWINCH came since measuring
};
LineState line_state;

// The SIGWINCH handler: it only notes the resize; the next draw measures.
extern "C" void note_resize(int /*signal_number*/) {
  line_state.resized = 1;
}

}  // namespace

bool usable_terminal(int fd) {
  const char* term = std::getenv("TERM");
  return isatty(fd) == 1 && term != nullptr && *term != '\0' &&
         std::string_view(term) != "dumb";
}

bool same_terminal(int first, int second) {
  struct stat one {};
  struct stat other {};
  return fstat(first, &one) == 0 && fstat(second, &other) == 0 &&
         S_ISCHR(one.st_mode) && S_ISCHR(other.st_mode) &&
         one.st_rdev == other.st_rdev;
}

void claim_line(int fd, Handlers handlers) {
  line_state.fd = fd;
  line_state.drawn = 0;
  line_state.resized = handlers == Handlers::INSTALL ? 1 : 0;
  if (handlers == Handlers::INSTALL) {
    // SA_RESTART: a resize while the dialogue waits for its answer must not
    // end that read with EINTR, which would read as the end of the input.
    struct sigaction action {};
    action.sa_handler = note_resize;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGWINCH, &action, nullptr);
    std::atexit(erase_status_from_signal);
  }
}

void release_line() {
  put_line(line_state.fd, "", std::nullopt);
  line_state.fd = -1;
  signal(SIGWINCH, SIG_DFL);
}

int line_fd() {
  return line_state.fd;
}

bool line_drawn() {
  return line_state.drawn != 0;
}

std::int32_t line_width(std::int32_t known) {
  const int saved_errno = errno;
  winsize size{};
  if (line_state.resized != 0 && ioctl(line_state.fd, TIOCGWINSZ, &size) == 0 &&
      size.ws_col != 0) {
    known = size.ws_col;
  }
  line_state.resized = 0;
  errno = saved_errno;
  return known;
}

bool put_line(int fd, std::string_view text,
              std::optional<std::string_view> line) {
  std::string bytes(line_drawn() && (!line || !text.empty()) ? ERASE : "");
  bytes += text;
  if (line) {
    bytes.append("\r").append(*line).append("\x1b[K");
    // Marked before the write, so an interrupt during it erases what it drew.
    line_state.drawn = 1;
  }
  // Callers print errno's text right after the line's erasure.
  const int saved_errno = errno;
  std::string_view rest = bytes;
  while (!rest.empty()) {
    const ssize_t written = write(fd, rest.data(), rest.size());
    if (written < 0 && errno == EINTR) {
      continue;
    }
    if (written <= 0) {
      break;
    }
    rest.remove_prefix(static_cast<std::size_t>(written));
  }
  errno = saved_errno;
  if (!line) {
    line_state.drawn = 0;
  }
  return rest.empty();
}

// One write of a fixed text and no allocation, so the interrupt handlers may
// call it; errno is kept for the code they interrupt.
void erase_status_from_signal() {
  if (line_state.drawn == 0) {
    return;
  }
  const int saved_errno = errno;
  static_cast<void>(write(line_state.fd, ERASE.data(), ERASE.size()));
  line_state.drawn = 0;
  errno = saved_errno;
}
