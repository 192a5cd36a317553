// Tests of the console: German number forms, names as a terminal shows them,
// when the status line is drawn, erased and drawn again below permanent
// lines, how it fits the terminal, the final line, and a plain console.
#include "console.hpp"

#include <fcntl.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "messages.hpp"
#include "numbers.hpp"
#include "terminal.hpp"
#include "test_util.hpp"
#include "text.hpp"

namespace {

const std::string ERASE_TEXT = "\r\x1b[K";

std::int64_t fake_now = 0;
std::int64_t fake_clock() {
  return fake_now;
}

// A pipe that the status line is written to.
struct Sink {
  int fds[2] = {-1, -1};
  Sink() { EXPECT_EQ(pipe2(fds, O_NONBLOCK), 0); }
  ~Sink() {
    close(fds[0]);
    close(fds[1]);
  }
  int fd() const { return fds[1]; }
  // What was written since the last call.
  std::string take() const {
    std::string text;
    char buffer[4096];
    for (ssize_t got = 0; (got = read(fds[0], buffer, sizeof buffer)) > 0;) {
      text.append(buffer, static_cast<std::size_t>(got));
    }
    return text;
  }
};

// The bytes that draw `text` as the status line.
std::string drawn(const std::string& text) {
  return "\r" + text + "\x1b[K";
}

// A console whose status line goes to `sink`, at the time 0.
Console test_console(const Sink& sink, std::int32_t width) {
  fake_now = 0;
  return open_test_console(sink.fd(), width, fake_clock);
}

// SAY writes "x\n" to stderr, which is on the status line's terminal. APPLY
// begins applying `files` empty files, COPIED copies `files` of them.
enum class Step {
  SCAN_LOCAL,
  SCAN_HOST,
  SAY,
  SIGNAL_ERASE,
  SUSPEND,
  RESUME,
  APPLY,
  COPIED,
  WAITING,
  WAITED,
  SYNC
};

// A call at `now`; the scans report `files` files and one folder.
struct Row {
  std::int64_t now;
  Step step;
  std::uint64_t files;
  std::string expected;
};

// Runs `rows` on a console 80 columns wide, each step followed by what it
// writes.
void run_rows(const std::vector<Row>& rows) {
  Sink sink;
  Console console = test_console(sink, 80);
  for (const Row& row : rows) {
    SCOPED_TRACE("at " + std::to_string(row.now) + " ms, " +
                 std::to_string(static_cast<int>(row.step)));
    fake_now = row.now;
    if (row.step == Step::SCAN_LOCAL || row.step == Step::SCAN_HOST) {
      status_scan(console,
                  row.step == Step::SCAN_LOCAL ? Tree::LOCAL : Tree::HOST,
                  row.files, 1);
    } else if (row.step == Step::SAY) {
      say(console, Stream::ERR, "x\n");
    } else if (row.step == Step::SIGNAL_ERASE) {
      erase_status_from_signal();
    } else if (row.step == Step::SUSPEND) {
      status_suspend(console);
    } else if (row.step == Step::RESUME) {
      status_resume(console);
    } else if (row.step == Step::APPLY) {
      status_apply_start(console, row.files, {.files = row.files});
    } else if (row.step == Step::COPIED) {
      for (std::uint64_t i = 0; i < row.files; ++i) {
        status_copy_start(console, "f", 0);
        status_file_done(console);
      }
    } else if (row.step == Step::WAITING) {
      status_waiting(console);
    } else if (row.step == Step::WAITED) {
      status_waited(console);
    } else {
      status_sync_start(console);
    }
    EXPECT_EQ(sink.take(), row.expected);
  }
}

// Applying `total` bytes in three files: the first of 1 GB is done after
// `first` bytes, the second of 2 GB at `path` has begun.
void copy_second(Console& console, std::uint64_t total, std::uint64_t first,
                 std::string_view path) {
  status_apply_start(console, 3, {.files = 3, .bytes = total});
  status_copy_start(console, "a", 1'000'000'000);
  status_bytes(console, first);
  status_file_done(console);
  status_copy_start(console, path, 2'000'000'000);
}

// The seconds of the time left in the last line `written` draws, or -1.
std::int64_t seconds_left(const std::string& written) {
  const std::size_t at = written.rfind(", noch ");
  std::array<int, 3> part = {-1, 0, 0};
  const int parts = at == std::string::npos
                        ? 0
                        : std::sscanf(written.c_str() + at + 7, "%d:%d:%d",
                                      &part[0], &part[1], &part[2]);
  return parts == 3   ? part[0] * 3600 + part[1] * 60 + part[2]
         : parts == 2 ? part[0] * 60 + part[1]
                      : part[0];
}

}  // namespace

// German forms: "." between thousands, "," before the one decimal, decimal
// units rounded up into the next at 1.000, three lengths of duration.
TEST(Console, FormatsNumbersTheGermanWay) {
  const std::pair<std::string, std::string> cases[] = {
      {format_count(0), "0"},
      {format_count(999), "999"},
      {format_count(1000), "1.000"},
      {format_count(1234567), "1.234.567"},
      {format_count(UINT64_MAX), "18.446.744.073.709.551.615"},
      {format_bytes(999, Bytes::SIZE), "999 B"},
      {format_bytes(1000, Bytes::SIZE), "1,0 kB"},
      {format_bytes(12'345'678, Bytes::SIZE), "12,3 MB"},
      {format_bytes(12'300'000'000, Bytes::SIZE), "12,3 GB"},
      {format_bytes(99'949'999, Bytes::SIZE), "99,9 MB"},
      {format_bytes(99'950'000, Bytes::SIZE), "100 MB"},
      {format_bytes(123'456'789'012, Bytes::SIZE), "123 GB"},
      {format_bytes(999'499'999, Bytes::SIZE), "999 MB"},
      {format_bytes(999'500'000, Bytes::SIZE), "1,0 GB"},
      {format_bytes(UINT64_MAX, Bytes::SIZE), "18,4 EB"},
      {format_bytes(1'200'000'000, Bytes::SIZE, 3'400'000'000), "1,2/3,4 GB"},
      {format_bytes(512, Bytes::RATE), "512 B/s"},
      {format_bytes(4'500'000, Bytes::RATE), "4,5 MB/s"},
      {format_bytes(9'960'000, Bytes::RATE), "10 MB/s"},
      {format_bytes(45'000'000, Bytes::RATE), "45 MB/s"},
      {format_duration(0), "0 s"},
      {format_duration(59), "59 s"},
      {format_duration(60), "1:00 min"},
      {format_duration(272), "4:32 min"},
      {format_duration(3599), "59:59 min"},
      {format_duration(3600), "1:00:00 h"},
      {format_duration(3723), "1:02:03 h"},
  };
  for (const auto& [got, want] : cases) {
    EXPECT_EQ(got, want);
  }
}

// On a terminal, escape sequences, C1 controls, every bidirectional control,
// the line and paragraph separators and malformed bytes are shown as "?",
// their neighbours as they are; elsewhere a name stays as it is.
TEST(Console, ShowsNamesAsATerminalDoes) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\x1b[2Jb\xC2\x9B"
       "c\xE2\x80\xAE"
       "d\xFF"
       "\xC3\xA9\xE6\x97\xA5.txt",
       "a?[2Jb?c?d?\xC3\xA9\xE6\x97\xA5.txt"},
      // U+061B, the Arabic letter mark U+061C, U+061D.
      {"\xD8\x9B\xD8\x9C\xD8\x9D", "\xD8\x9B?\xD8\x9D"},
      // U+200D, the marks U+200E and U+200F, U+2010.
      {"\xE2\x80\x8D\xE2\x80\x8E\xE2\x80\x8F\xE2\x80\x90",
       "\xE2\x80\x8D??\xE2\x80\x90"},
      // U+2027, the separators U+2028 and U+2029, U+202A to U+202E, U+202F.
      {"\xE2\x80\xA7\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAA\xE2\x80\xAB"
       "\xE2\x80\xAC\xE2\x80\xAD\xE2\x80\xAE\xE2\x80\xAF",
       "\xE2\x80\xA7???????\xE2\x80\xAF"},
      // U+2065, the isolates U+2066 to U+2069, U+206A.
      {"\xE2\x81\xA5\xE2\x81\xA6\xE2\x81\xA7\xE2\x81\xA8\xE2\x81\xA9"
       "\xE2\x81\xAA",
       "\xE2\x81\xA5????\xE2\x81\xAA"},
      // Fullwidth "Ａ" U+FF21 and halfwidth "ｶ" U+FF76, U+F000 and U+FFFF.
      {"\xEF\xBC\xA1\xEF\xBD\xB6\xEF\x80\x80\xEF\xBF\xBF",
       "\xEF\xBC\xA1\xEF\xBD\xB6\xEF\x80\x80\xEF\xBF\xBF"},
  };
  const Console console{.out_terminal = true};
  for (const auto& [name, on_terminal] : cases) {
    SCOPED_TRACE(testing::PrintToString(name));
    EXPECT_EQ(shown(console, Stream::OUT, name), on_terminal);
    EXPECT_EQ(shown(console, Stream::ERR, name), name);
    EXPECT_EQ(shown(Console{}, Stream::OUT, name), name);
  }
}

// Each well-formed character decodes with its length; an overlong form, a
// surrogate, a code point beyond U+10FFFF, a cut sequence and a stray or
// wrong continuation byte give EILSEQ for the one byte they start at.
TEST(Console, DecodesUtf8AndRefusesMalformedBytes) {
  const struct {
    std::string text;
    char32_t code;
    std::size_t length;
  } cases[] = {
      {"a", U'a', 1},
      {"\x7F", 0x7F, 1},
      {"\xC2\x80", 0x80, 2},
      {"\xC3\xA9", 0xE9, 2},
      {"\xDF\xBF", 0x7FF, 2},
      {"\xE0\xA0\x80", 0x800, 3},
      {"\xED\x9F\xBF", 0xD7FF, 3},
      {"\xEE\x80\x80", 0xE000, 3},
      {"\xEF\xBC\xA1", 0xFF21, 3},
      {"\xEF\xBF\xBF", 0xFFFF, 3},
      {"\xF0\x90\x80\x80", 0x10000, 4},
      {"\xF4\x8F\xBF\xBF", 0x10FFFF, 4},
      // Overlong forms of U+0000, U+007F, U+07FF and U+FFFF.
      {"\xC0\x80", 0, 0},
      {"\xC1\xBF", 0, 0},
      {"\xE0\x9F\xBF", 0, 0},
      {"\xF0\x8F\xBF\xBF", 0, 0},
      // Surrogates U+D800 and U+DFFF.
      {"\xED\xA0\x80", 0, 0},
      {"\xED\xBF\xBF", 0, 0},
      // Beyond U+10FFFF.
      {"\xF4\x90\x80\x80", 0, 0},
      {"\xF5\x80\x80\x80", 0, 0},
      {"\xFF", 0, 0},
      // Cut sequences.
      {"\xC3", 0, 0},
      {"\xE6\x97", 0, 0},
      {"\xF0\x9F\x98", 0, 0},
      // Stray continuation bytes, and a sequence whose continuation is none.
      {"\x80", 0, 0},
      {"\xBF\xBF", 0, 0},
      {"\xC3(", 0, 0},
      {"\xE6\x97(", 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    const CodePoint point = decode_utf8(c.text, 0);
    EXPECT_EQ(point.error, c.length == 0 ? EILSEQ : 0);
    EXPECT_EQ(point.length, c.length == 0 ? 1 : c.length);
    EXPECT_EQ(point.code, c.code);
  }
}

// A phase shows nothing in its first half second, then at most one line a
// tenth of a second; while a line is shown, a new tree's line follows at
// once, and a tree that goes on after the other began shows both.
TEST(Console, WaitsHalfASecondThenDrawsAtMostTenTimesASecond) {
  run_rows({
      {1000, Step::SCAN_LOCAL, 0, ""},
      {1499, Step::SCAN_LOCAL, 1, ""},
      {1500, Step::SCAN_LOCAL, 2,
       drawn("Durchsuche Lokal: 2 Dateien, 1 Ordner")},
      {1599, Step::SCAN_LOCAL, 3, ""},
      {1600, Step::SCAN_LOCAL, 1234,
       drawn("Durchsuche Lokal: 1.234 Dateien, 1 Ordner")},
      {1700, Step::SCAN_HOST, 1, drawn("Durchsuche Host: 1 Datei, 1 Ordner")},
      {1800, Step::SCAN_LOCAL, 5,
       drawn("Durchsuche Lokal: 5 Dateien, 1 Ordner · Host: 1 Datei, 1 "
             "Ordner")},
  });
}

// A permanent line on the status line's terminal erases a visible line and
// draws it again in the same write, built anew only when an update is due.
// Erasing writes only while a line is drawn; a suspended line stays away.
TEST(Console, KeepsTheLineBelowPermanentLines) {
  const std::string line = drawn("Durchsuche Lokal: 1 Datei, 1 Ordner");
  const std::string line2 = drawn("Durchsuche Lokal: 2 Dateien, 1 Ordner");
  run_rows({
      {0, Step::SCAN_LOCAL, 1, ""},
      {0, Step::SAY, 0, "x\n"},
      {0, Step::SIGNAL_ERASE, 0, ""},
      {500, Step::SCAN_LOCAL, 1, line},
      {500, Step::SAY, 0, ERASE_TEXT + "x\n" + line},
      {599, Step::SCAN_LOCAL, 1, ""},
      {600, Step::SCAN_LOCAL, 1, line},
      {600, Step::SIGNAL_ERASE, 0, ERASE_TEXT},
      {600, Step::SIGNAL_ERASE, 0, ""},
      {650, Step::SAY, 0, "x\n"},
      {700, Step::SCAN_LOCAL, 1, line},
      {750, Step::SCAN_LOCAL, 2, ""},
      {800, Step::SAY, 0, ERASE_TEXT + "x\n" + line2},
      {850, Step::SCAN_LOCAL, 3, ""},
      {880, Step::SAY, 0, ERASE_TEXT + "x\n" + line2},
      {900, Step::SUSPEND, 0, ERASE_TEXT},
      {950, Step::SAY, 0, "x\n"},
      {1000, Step::SCAN_LOCAL, 1, ""},
      {1000, Step::RESUME, 0, ""},
      {1001, Step::SCAN_LOCAL, 1, line},
  });
}

// While the run waits for the disk, the copy line says so once the wait has
// lasted a second, with its time, and stops saying so at once when it ends;
// the final sync's line likewise.
TEST(Console, SaysHowLongTheRunWaitsForTheDisk) {
  const std::string copied = "Kopiere 3/3 Dateien, noch 0 s";
  const std::string waited = copied + " – schreibe auf den Host …";
  const std::string sync = "Schreibe Daten auf den Host …";
  run_rows({
      {0, Step::APPLY, 3, ""},
      {0, Step::COPIED, 3, ""},
      {0, Step::WAITING, 0, ""},
      {999, Step::WAITING, 0, drawn(copied)},
      {1099, Step::WAITING, 0, drawn(waited + " 1 s")},
      {65'000, Step::WAITING, 0, drawn(waited + " 1:05 min")},
      {65'050, Step::SAY, 0, ERASE_TEXT + "x\n" + drawn(waited + " 1:05 min")},
      {65'060, Step::WAITED, 0, drawn(copied)},
      // A new wait counts from its own start; one under a second ends
      // without a word.
      {65'160, Step::WAITING, 0, drawn(copied)},
      {65'900, Step::WAITED, 0, ""},
      {66'000, Step::SYNC, 0, drawn(sync)},
      {66'000, Step::WAITING, 0, ""},
      {67'100, Step::WAITING, 0, drawn(sync + " 1 s")},
      {67'150, Step::WAITED, 0, drawn(sync)},
  });
}

// The copy line at several widths: in full; with the file name losing its
// front; without the file part; cut at the end. A name's control bytes are
// shown as "?" and a wide character takes two columns. While the run waits
// for the disk, the wait takes the place of the rate and the file, and the
// bytes go before the line is cut. A deletion shows only the count.
TEST(Console, FitsTheCopyLineIntoTheTerminal) {
  const std::string copy =
      "Kopiere 1/3 Dateien, 1,2/3,4 GB, 60 MB/s, noch 37 s";
  const std::pair<std::int32_t, std::string> cases[] = {
      {80, copy + " – Über?[2J日.iso 10 %"},
      {74, copy + " – Über?[2J日.iso 10 %"},
      {73, copy + " – …er?[2J日.iso 10 %"},
      {66, copy + " – ….iso 10 %"},
      {62, copy + " – …o 10 %"},
      {61, copy},
      {30, "Kopiere 1/3 Dateien, 1,2/3,4 "},
      {1, ""},
  };
  for (const auto& [width, line] : cases) {
    SCOPED_TRACE("width " + std::to_string(width));
    Sink sink;
    Console console = test_console(sink, width);
    copy_second(console, 3'400'000'000, 1'000'000'000,
                "filme/\xC3\x9C"
                "ber\x1b[2J\xE6\x97\xA5.iso");
    fake_now = 20'000;
    status_bytes(console, 200'000'000);
    EXPECT_EQ(sink.take(), drawn(line));
  }
  const std::string waited = " – schreibe auf den Host … 12 s";
  const std::pair<std::int32_t, std::string> waiting[] = {
      {71, "Kopiere 1/1 Datei, 3,4/3,4 GB, noch 0 s" + waited},
      {70, "Kopiere 1/1 Datei, noch 0 s" + waited},
      {58, "Kopiere 1/1 Datei, noch 0 s – schreibe auf den Host … 12 "},
  };
  for (const auto& [width, line] : waiting) {
    SCOPED_TRACE("waiting, width " + std::to_string(width));
    Sink sink;
    Console console = test_console(sink, width);
    status_apply_start(console, 1, {.files = 1, .bytes = 3'400'000'000});
    status_copy_start(console, "c", 3'400'000'000);
    status_bytes(console, 3'400'000'000);
    status_file_done(console);
    status_waiting(console);
    fake_now = 12'000;
    status_waiting(console);
    EXPECT_EQ(sink.take(), drawn(line));
  }
  Sink sink;
  Console console = test_console(sink, 80);
  status_apply_start(console, 1, {.files = 0});
  status_delete_start(console);
  fake_now = 500;
  status_file_done(console);
  EXPECT_EQ(sink.take(), drawn("Lösche 1/1 Datei"));
}

// A failed copy's bytes count as done, so the time left follows what is
// still to be copied. The time left counts files as well as bytes, comes
// from a rate smoothed over the waits, and once a fifth is done moves at most
// threefold from one draw to the next: in each run of `total` files of
// `size` bytes, drawn every 0.1 s while files are done at each pace until
// its time (none drawn at a pace below 0), every draw shows a time left of
// at most `most` seconds, and those at the checks' times one in their range.
TEST(Console, TimeLeftCountsFilesAndSmoothsTheRate) {
  Sink sink;
  {
    Console console = test_console(sink, 200);
    copy_second(console, 3'000'000'000, 500'000'000, "b");
    fake_now = 10'000;
    status_bytes(console, 0);
    EXPECT_EQ(sink.take(), drawn("Kopiere 1/3 Dateien, 1,0/3,0 GB, 100 MB/s, "
                                 "noch 20 s – b 0 %"));
  }
  sink.take();  // the line's erasure
  struct Check {
    std::int64_t at, least, most;
  };
  struct Run {
    std::string what;
    std::uint64_t total, size;
    std::vector<std::pair<std::int64_t, int>> paces;  // until, files a second
    std::vector<Check> checks;
    std::int64_t most = 1'000'000;
  };
  std::vector<Run> runs = {
      {"steady, empty", 1000, 0, {{10'000, 100}}, {{1000, 9, 9}, {5000, 5, 5}}},
      {"steady", 1000, 10'000, {{10'000, 100}}, {{1000, 9, 9}, {9000, 1, 1}}},
      // 15 s left, then a wait three times as long as the work so far.
      {"a long wait",
       20'000,
       10'000,
       {{5000, 1000}, {20'000, 0}, {35'000, 1000}},
       {{5000, 15, 15}, {20'000, 15, 149}, {20'100, 15, 149}},
       149},
      {"no draw for a minute",
       1000,
       10'000,
       {{4000, 100}, {63'900, -1}, {64'000, 0}},
       {{4000, 6, 6}, {64'000, 18, 18}}},
      // As when the host's cache is full: three minutes on, within a fifth.
      {"a pace that falls",
       40'000,
       10'000,
       {{10'000, 1000}, {190'000, 100}},
       {{190'000, 96, 144}}},
  };
  for (const Run& run : runs) {
    Console steps = test_console(sink, 200);
    status_apply_start(steps, run.total,
                       {.files = run.total, .bytes = run.total * run.size});
    for (const auto& [until, pace] : run.paces) {
      for (fake_now += 100; fake_now <= until; fake_now += 100) {
        SCOPED_TRACE(run.what + ", at " + std::to_string(fake_now) + " ms");
        if (pace < 0) {
          continue;
        }
        // Suspended, so the line is drawn once the files are done.
        status_suspend(steps);
        for (int file = 0; file < pace / 10; ++file) {
          status_copy_start(steps, "f", run.size);
          status_bytes(steps, run.size);
          status_file_done(steps);
        }
        status_resume(steps);
        status_bytes(steps, 0);
        const std::int64_t left = seconds_left(sink.take());
        EXPECT_LE(left, run.most);
        EXPECT_TRUE(fake_now < 500 || left >= 0);
        for (const Check& check : run.checks) {
          if (check.at == fake_now) {
            EXPECT_GE(left, check.least);
            EXPECT_LE(left, check.most);
          }
        }
      }
      fake_now -= 100;
    }
  }
}

// The final line replaces the status line, names only what happened, and
// comes once.
TEST(Console, FinishSaysWhatWasDoneAndHowLong) {
  // Copied, deleted, folders removed, renamed, failures; bytes copied;
  // duration.
  struct Case {
    std::array<std::uint64_t, 5> counts;
    std::uint64_t bytes;
    std::int64_t elapsed;
    std::string line;
  } cases[] = {
      {{2, 56, 7, 0, 3},
       12'300'000'000,
       272'000,
       "Fertig: 2 Dateien kopiert (12,3 GB), 56 gelöscht, 7 Ordner entfernt, "
       "3 Fehler – 4:32 min\n"},
      {{0, 1, 0, 0, 0}, 0, 12'400, "Fertig: 1 Datei gelöscht – 12 s\n"},
      {{1, 0, 1, 2, 1},
       1000,
       3'723'000,
       "Fertig: 1 Datei kopiert (1,0 kB), 1 Ordner entfernt, 2 umbenannt, 1 "
       "Fehler – 1:02:03 h\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    Sink sink;
    Console console = test_console(sink, 80);
    fake_now = 1000;
    status_apply_start(console, c.counts[0] + c.counts[1],
                       {.files = c.counts[0], .bytes = c.bytes});
    for (std::size_t what = 0; what < c.counts.size(); ++what) {
      for (std::uint64_t i = 0; i < c.counts[what]; ++i) {
        status_count(console, static_cast<Counted>(what),
                     what == 0 ? c.bytes / c.counts[0] : 0);
      }
    }
    fake_now = 1000 + c.elapsed;
    status_sync_start(console);
    EXPECT_EQ(sink.take(), drawn("Schreibe Daten auf den Host …"));
    status_finish(console);
    EXPECT_EQ(sink.take(), ERASE_TEXT + c.line);
    status_finish(console);
    EXPECT_EQ(sink.take(), "");
  }
}

// A failed action is said on stderr and counted, in the final line where a
// status line shows and for the exit status either way.
TEST(Console, FailedActionIsSaidAndCounted) {
  const std::string said =
      "Fehler beim Löschen von \"x\": " + error_text(EIO) + "\n";
  Sink sink;
  Console console = test_console(sink, 80);
  status_apply_start(console, 1, {.files = 0});
  report_failure(console, "Löschen von \"x\"", EIO);
  status_finish(console);
  EXPECT_EQ(sink.take(), said + "Fertig: 1 Fehler – 0 s\n");
  EXPECT_EQ(console.failures, 1u);
  const RunResult plain = run_in_child([] {
    Console without_line;
    report_failure(without_line, "Löschen von \"x\"", EIO);
    return static_cast<int>(without_line.failures);
  });
  expect_run(plain, "", said, 1);
}

// A text that the line's terminal refuses leaves the run's output
// incomplete.
TEST(Console, TextRefusedByTheTerminalIsLost) {
  const int read_only = open("/dev/null", O_RDONLY);
  {
    Console console = open_test_console(read_only, 80, fake_clock);
    EXPECT_TRUE(output_complete(console));
    say(console, Stream::ERR, "x\n");
    EXPECT_FALSE(output_complete(console));
  }
  close(read_only);
}

// Callers print errno's text after the status line's erasure, so a failing
// write leaves errno as it was.
TEST(Console, KeepsErrno) {
  const int read_only = open("/dev/null", O_RDONLY);
  {
    Console console = open_test_console(read_only, 80, fake_clock);
    fake_now = 0;
    status_scan(console, Tree::LOCAL, 1, 1);
    fake_now = 500;
    errno = ENOSPC;
    status_scan(console, Tree::LOCAL, 1, 1);
    say(console, Stream::ERR, "x\n");
    erase_status_from_signal();
    EXPECT_EQ(errno, ENOSPC);
  }
  close(read_only);
}

// A default console writes each text as it is and draws nothing; a text
// on a stream off the line's terminal leaves the line alone.
TEST(Console, TextsOffTheLinesTerminalAreWrittenAsTheyAre) {
  const RunResult plain = run_in_child([] {
    Console console;
    status_scan(console, Tree::LOCAL, 1, 1);
    status_apply_start(console, 1, {.files = 1, .bytes = 100});
    status_copy_start(console, "a", 100);
    status_bytes(console, 50);
    say(console, Stream::OUT, "a\x1b\n");
    say(console, Stream::ERR, "b\n");
    status_file_done(console);
    status_count(console, Counted::COPIED, 100);
    status_sync_start(console);
    erase_status_from_signal();
    status_suspend(console);
    status_resume(console);
    status_finish(console);
    return 0;
  });
  expect_run(plain, "a\x1b\n", "b\n", 0);
  const RunResult beside = run_in_child([] {
    Sink sink;
    Console console = test_console(sink, 80);
    status_scan(console, Tree::LOCAL, 1, 1);
    fake_now = 500;
    status_scan(console, Tree::LOCAL, 1, 1);
    say(console, Stream::OUT, "x\n");
    std::cerr << sink.take();
    return 0;
  });
  expect_run(beside, "x\n", drawn("Durchsuche Lokal: 1 Datei, 1 Ordner"), 0);
}

// Shown only on a terminal with a usable TERM; stdout shares the line only
// on the same terminal; the line fits the terminal's width, measured again
// after SIGWINCH, and is erased when the console ends.
TEST(Console, ShownOnlyOnATerminalWithAKnownTerm) {
  int master = -1;
  int slave = -1;
  winsize size{.ws_row = 24, .ws_col = 20, .ws_xpixel = 0, .ws_ypixel = 0};
  if (openpty(&master, &slave, nullptr, nullptr, &size) != 0) {
    GTEST_SKIP() << "no pseudo-terminal";
  }
  Sink pipe_end;
  struct Case {
    int fd;
    const char* term;
    int shown;
  } cases[] = {
      {slave, "xterm-256color", 1}, {slave, "dumb", 0},          {slave, "", 0},
      {slave, nullptr, 0},          {pipe_end.fd(), "xterm", 0},
  };
  for (const Case& c : cases) {
    const RunResult run = run_in_child([&c] {
      dup2(c.fd, STDERR_FILENO);
      c.term ? setenv("TERM", c.term, 1) : unsetenv("TERM");
      return open_console().status ? 1 : 0;
    });
    EXPECT_EQ(run.status, c.shown) << c.fd << " " << (c.term ? c.term : "-");
  }
  const int slave_again = open(ttyname(slave), O_RDWR | O_NOCTTY);
  int other_master = -1;
  int other_slave = -1;
  ASSERT_EQ(openpty(&other_master, &other_slave, nullptr, nullptr, &size), 0);
  EXPECT_TRUE(same_terminal(slave, slave_again));
  EXPECT_FALSE(same_terminal(slave, other_slave));
  EXPECT_FALSE(same_terminal(slave, pipe_end.fd()));
  close(other_slave);
  close(other_master);

  run_in_child([slave, master, &size] {
    dup2(slave, STDERR_FILENO);
    setenv("TERM", "xterm", 1);
    Console console = open_console();
    status_sync_start(console);
    size.ws_col = 40;
    ioctl(master, TIOCSWINSZ, &size);
    raise(SIGWINCH);
    status_sync_start(console);
    return 0;
  });
  close(slave);
  close(slave_again);
  std::string got;
  char buffer[256];
  for (ssize_t n = 0; (n = read(master, buffer, sizeof buffer)) > 0;) {
    got.append(buffer, static_cast<std::size_t>(n));
  }
  close(master);
  EXPECT_EQ(got, drawn("Schreibe Daten auf ") +
                     drawn("Schreibe Daten auf den Host …") + ERASE_TEXT);
}
