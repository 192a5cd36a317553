// Tests of the status line: German number forms, when it is drawn and
// erased, how it fits the terminal, the final line, and silence when off.
#include "progress.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "gtest/gtest.h"

namespace {

const std::string ERASE_TEXT = "\r\x1b[K";

std::int64_t fake_now = 0;
std::int64_t fake_clock() {
  return fake_now;
}

// A pipe that the status line is written to.
class Sink {
 public:
  Sink() { EXPECT_EQ(pipe2(fds_, O_NONBLOCK), 0); }
  ~Sink() {
    close(fds_[0]);
    close(fds_[1]);
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;

  int fd() const { return fds_[1]; }
  // What was written since the last call.
  std::string take() {
    std::string text;
    char buffer[4096];
    ssize_t got = 0;
    while ((got = read(fds_[0], buffer, sizeof buffer)) > 0) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }

 private:
  int fds_[2] = {-1, -1};
};

// The bytes that draw `text` as the status line.
std::string drawn(const std::string& text) {
  return "\r" + text + "\x1b[K";
}

enum class Step { SCAN_LOCAL, SCAN_HOST, ERASE, SIGNAL_ERASE, SUSPEND, RESUME };

struct Row {
  std::int64_t now;
  Step step;
  std::uint64_t files;
  std::string expected;
};

void run_rows(const std::vector<Row>& rows) {
  Sink sink;
  progress_init_with(ProgressMode::ON, sink.fd(), 80, fake_clock);
  for (const Row& row : rows) {
    SCOPED_TRACE("at " + std::to_string(row.now) + " ms, " +
                 std::to_string(static_cast<int>(row.step)));
    fake_now = row.now;
    switch (row.step) {
      case Step::SCAN_LOCAL:
        progress_scan(Tree::LOCAL, row.files, 1);
        break;
      case Step::SCAN_HOST:
        progress_scan(Tree::HOST, row.files, 1);
        break;
      case Step::ERASE:
        progress_erase();
        break;
      case Step::SIGNAL_ERASE:
        progress_erase_from_signal();
        break;
      case Step::SUSPEND:
        progress_suspend();
        break;
      case Step::RESUME:
        progress_resume();
        break;
    }
    EXPECT_EQ(sink.take(), row.expected);
  }
}

}  // namespace

// German forms: "." between thousands, "," before the one decimal, decimal
// units rounded up into the next at 1.000, three lengths of duration.
TEST(Progress, FormatsNumbersTheGermanWay) {
  struct Case {
    std::string got;
    std::string want;
  } cases[] = {
      {format_count(0), "0"},
      {format_count(999), "999"},
      {format_count(1000), "1.000"},
      {format_count(1234567), "1.234.567"},
      {format_count(UINT64_MAX), "18.446.744.073.709.551.615"},
      {format_size(999), "999 B"},
      {format_size(1000), "1,0 kB"},
      {format_size(12'345'678), "12,3 MB"},
      {format_size(12'300'000'000), "12,3 GB"},
      {format_size(99'949'999), "99,9 MB"},
      {format_size(99'950'000), "100 MB"},
      {format_size(123'456'789'012), "123 GB"},
      {format_size(999'499'999), "999 MB"},
      {format_size(999'500'000), "1,0 GB"},
      {format_size(UINT64_MAX), "18,4 EB"},
      {format_rate(512), "512 B/s"},
      {format_rate(4'500'000), "4,5 MB/s"},
      {format_rate(9'960'000), "10 MB/s"},
      {format_rate(45'000'000), "45 MB/s"},
      {format_duration(0), "0 s"},
      {format_duration(59), "59 s"},
      {format_duration(60), "1:00 min"},
      {format_duration(272), "4:32 min"},
      {format_duration(3599), "59:59 min"},
      {format_duration(3600), "1:00:00 h"},
      {format_duration(3723), "1:02:03 h"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(c.got, c.want);
  }
}

// A phase shows nothing in its first half second, then at most one line a
// tenth of a second; while a line is shown, a new tree's line follows at
// once.
TEST(Progress, WaitsHalfASecondThenDrawsAtMostTenTimesASecond) {
  run_rows({
      {1000, Step::SCAN_LOCAL, 0, ""},
      {1499, Step::SCAN_LOCAL, 1, ""},
      {1500, Step::SCAN_LOCAL, 2,
       drawn("Durchsuche Lokal: 2 Dateien, 1 Ordner")},
      {1599, Step::SCAN_LOCAL, 3, ""},
      {1600, Step::SCAN_LOCAL, 1234,
       drawn("Durchsuche Lokal: 1.234 Dateien, 1 Ordner")},
      {1700, Step::SCAN_HOST, 1, drawn("Durchsuche Host: 1 Datei, 1 Ordner")},
  });
}

// Erasing writes only while a line is drawn; the line comes back with the
// next due update, but not while suspended.
TEST(Progress, ErasesOnlyWhatIsDrawn) {
  const std::string line = drawn("Durchsuche Lokal: 1 Datei, 1 Ordner");
  run_rows({
      {0, Step::SCAN_LOCAL, 1, ""},
      {0, Step::ERASE, 0, ""},
      {0, Step::SIGNAL_ERASE, 0, ""},
      {500, Step::SCAN_LOCAL, 1, line},
      {500, Step::ERASE, 0, ERASE_TEXT},
      {500, Step::ERASE, 0, ""},
      {599, Step::SCAN_LOCAL, 1, ""},
      {600, Step::SCAN_LOCAL, 1, line},
      {600, Step::SIGNAL_ERASE, 0, ERASE_TEXT},
      {600, Step::SIGNAL_ERASE, 0, ""},
      {700, Step::SCAN_LOCAL, 1, line},
      {700, Step::SUSPEND, 0, ERASE_TEXT},
      {900, Step::SCAN_LOCAL, 1, ""},
      {900, Step::RESUME, 0, ""},
      {901, Step::SCAN_LOCAL, 1, line},
  });
}

// The copy line at several widths: in full; with the file name losing its
// front; without the file part; cut at the end. A name's control bytes are
// shown as "?" and its non-ASCII characters count two columns.
TEST(Progress, FitsTheCopyLineIntoTheTerminal) {
  const std::string copy =
      "Kopiere 1/3 Dateien, 1,2/3,4 GB, 60 MB/s, noch 37 s";
  struct Case {
    std::int32_t width;
    std::string line;
  } cases[] = {
      {80, copy + " – Über?[2J.iso 10 %"},
      {73, copy + " – Über?[2J.iso 10 %"},
      {72, copy + " – …ber?[2J.iso 10 %"},
      {70, copy + " – …r?[2J.iso 10 %"},
      {62, copy + " – …o 10 %"},
      {61, copy},
      {30, "Kopiere 1/3 Dateien, 1,2/3,4 "},
      {1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("width " + std::to_string(c.width));
    Sink sink;
    progress_init_with(ProgressMode::ON, sink.fd(), c.width, fake_clock);
    fake_now = 0;
    progress_apply_start(3, 3'400'000'000);
    progress_copy_start("a.bin", 1'000'000'000);
    progress_bytes(1'000'000'000);
    progress_file_done();
    progress_copy_start(
        "filme/\xC3\x9C"
        "ber\x1b[2J.iso",
        2'000'000'000);
    fake_now = 20'000;
    progress_bytes(200'000'000);
    EXPECT_EQ(sink.take(), drawn(c.line));
  }
  Sink sink;
  progress_init_with(ProgressMode::ON, sink.fd(), 80, fake_clock);
  fake_now = 0;
  progress_apply_start(1, 0);
  progress_delete_start();
  fake_now = 500;
  progress_file_done();
  EXPECT_EQ(sink.take(), drawn("Lösche 1/1 Datei"));
}

// The rate is that of the last seconds, and a failed copy's bytes count as
// done, so the time left follows what is still to be copied.
TEST(Progress, TimeLeftFollowsTheRecentRate) {
  Sink sink;
  progress_init_with(ProgressMode::ON, sink.fd(), 200, fake_clock);
  fake_now = 0;
  progress_apply_start(3, 3'000'000'000);
  progress_copy_start("a", 1'000'000'000);
  progress_bytes(500'000'000);
  progress_file_done();
  progress_copy_start("b", 2'000'000'000);
  fake_now = 10'000;
  progress_bytes(0);
  EXPECT_EQ(sink.take(), drawn("Kopiere 1/3 Dateien, 1,0/3,0 GB, 100 MB/s, "
                               "noch 20 s – b 0 %"));
  fake_now = 20'000;
  progress_bytes(100'000'000);
  EXPECT_EQ(sink.take(), drawn("Kopiere 1/3 Dateien, 1,1/3,0 GB, 10 MB/s, "
                               "noch 3:10 min – b 5 %"));
}

// The final line replaces the status line, names only what happened, and
// comes once.
TEST(Progress, FinishSaysWhatWasDoneAndHowLong) {
  struct Case {
    std::uint64_t copied;
    std::uint64_t bytes;
    std::uint64_t deleted;
    std::uint64_t folders;
    std::uint64_t failures;
    std::int64_t elapsed;
    std::string line;
  } cases[] = {
      {2, 12'300'000'000, 56, 7, 3, 272'000,
       "Fertig: 2 Dateien kopiert (12,3 GB), 56 gelöscht, 7 Ordner entfernt, "
       "3 Fehler – 4:32 min\n"},
      {0, 0, 1, 0, 0, 12'400, "Fertig: 1 Datei gelöscht – 12 s\n"},
      {1, 1000, 0, 1, 1, 3'723'000,
       "Fertig: 1 Datei kopiert (1,0 kB), 1 Ordner entfernt, 1 Fehler – "
       "1:02:03 h\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Sink sink;
    progress_init_with(ProgressMode::ON, sink.fd(), 80, fake_clock);
    fake_now = 1000;
    progress_apply_start(c.copied + c.deleted, c.bytes);
    for (std::uint64_t i = 0; i < c.copied; ++i) {
      progress_count_copied(c.bytes / c.copied);
    }
    for (std::uint64_t i = 0; i < c.deleted; ++i) {
      progress_count_deleted();
    }
    for (std::uint64_t i = 0; i < c.folders; ++i) {
      progress_count_folder_removed();
    }
    for (std::uint64_t i = 0; i < c.failures; ++i) {
      progress_count_failure();
    }
    fake_now = 1000 + c.elapsed;
    progress_sync_start();
    EXPECT_EQ(sink.take(), drawn("Schreibe Daten auf den Host …"));
    progress_finish();
    EXPECT_EQ(sink.take(), ERASE_TEXT + c.line);
    progress_finish();
    EXPECT_EQ(sink.take(), "");
  }
}

// Callers print errno's text after the status line's erasure, so a failing
// write leaves errno as it was.
TEST(Progress, KeepsErrno) {
  progress_init_with(ProgressMode::ON, -1, 80, fake_clock);
  fake_now = 0;
  progress_scan(Tree::LOCAL, 1, 1);
  fake_now = 500;
  errno = ENOSPC;
  progress_scan(Tree::LOCAL, 1, 1);
  progress_erase();
  progress_scan(Tree::LOCAL, 1, 1);
  fake_now = 600;
  progress_scan(Tree::LOCAL, 1, 1);
  progress_erase_from_signal();
  EXPECT_EQ(errno, ENOSPC);
}

// Switched off, no call writes anything.
TEST(Progress, OffWritesNothing) {
  Sink sink;
  progress_init_with(ProgressMode::OFF, sink.fd(), 80, fake_clock);
  fake_now = 0;
  progress_scan(Tree::LOCAL, 1, 1);
  progress_apply_start(1, 100);
  progress_copy_start("a", 100);
  fake_now = 10'000;
  progress_scan(Tree::HOST, 1, 1);
  progress_bytes(50);
  progress_file_done();
  progress_count_copied(100);
  progress_sync_start();
  progress_erase();
  progress_erase_from_signal();
  progress_suspend();
  progress_resume();
  progress_finish();
  EXPECT_EQ(sink.take(), "");
}

// Shown only on a terminal with a usable TERM; the line fits the terminal's
// width, measured again after SIGWINCH.
TEST(Progress, ShownOnlyOnATerminalWithAKnownTerm) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    GTEST_SKIP() << "no pseudo-terminal";
  }
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  ASSERT_GE(slave, 0);
  winsize size{};
  size.ws_col = 20;
  ASSERT_EQ(ioctl(master, TIOCSWINSZ, &size), 0);
  Sink pipe_end;
  const char* term = std::getenv("TERM");
  const std::optional<std::string> saved_term =
      term ? std::optional<std::string>(term) : std::nullopt;
  const int saved_stderr = dup(STDERR_FILENO);

  struct Case {
    int fd;
    const char* term;
    bool shown;
  } cases[] = {
      {slave, "xterm-256color", true},
      {slave, "dumb", false},
      {slave, "", false},
      {slave, nullptr, false},
      {pipe_end.fd(), "xterm", false},
  };
  for (const Case& c : cases) {
    dup2(c.fd, STDERR_FILENO);
    if (c.term) {
      setenv("TERM", c.term, 1);
    } else {
      unsetenv("TERM");
    }
    progress_init();
    dup2(saved_stderr, STDERR_FILENO);
    EXPECT_EQ(progress_detail::enabled, c.shown)
        << (c.fd == slave ? "terminal, TERM=" : "pipe, TERM=")
        << (c.term ? c.term : "(unset)");
  }

  dup2(slave, STDERR_FILENO);
  setenv("TERM", "xterm", 1);
  progress_init();
  progress_sync_start();
  size.ws_col = 40;
  ioctl(master, TIOCSWINSZ, &size);
  raise(SIGWINCH);
  progress_sync_start();
  progress_erase();
  dup2(saved_stderr, STDERR_FILENO);
  close(saved_stderr);
  if (saved_term) {
    setenv("TERM", saved_term->c_str(), 1);
  } else {
    unsetenv("TERM");
  }

  const std::string expected = drawn("Schreibe Daten auf ") +
                               drawn("Schreibe Daten auf den Host …") +
                               ERASE_TEXT;
  std::string got;
  char buffer[256];
  pollfd ready{master, POLLIN, 0};
  while (got.size() < expected.size() && poll(&ready, 1, 2000) == 1) {
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0) {
      break;
    }
    got.append(buffer, static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, expected);
  close(slave);
  close(master);
}
